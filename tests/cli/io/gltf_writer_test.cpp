// The skinned glTF writer: round trips through the glTF reader, influence
// export, shear handling, refusals and atomic output. The files written to
// gltfOutputDir() are checked by the Khronos validator (gltf_validator test).
#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/io/gltf_writer.h"
#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "rig_builder.h"
#include "test_files.h"

namespace vantrel::io::test {
namespace {

namespace fs = std::filesystem;

// The read-back animation equals the rig's skinning within 1e-5 of the scene
// size; returns the largest distance seen.
double expectReproduces(const SkinnedRig& rig, const MeshAnimation& anim) {
    EXPECT_EQ(anim.vertexCount, rig.vertexCount());
    EXPECT_EQ(anim.frameCount(), rig.frameCount());
    std::vector<std::vector<double>> expected;
    for (std::size_t f = 0; f < rig.frameTimes.size(); ++f) expected.push_back(skinFrame(rig, f));
    const double tolerance = 1e-5 * sceneSize(expected);
    double worst = 0;
    for (std::size_t f = 0; f < expected.size() && f < anim.frames.size(); ++f) {
        EXPECT_NEAR(anim.timeOf(int(f)), rig.frameTimes[f], 1e-6);
        for (std::size_t i = 0; i < expected[f].size(); ++i) {
            worst = std::max(worst, std::abs(anim.frames[f][i] - expected[f][i]));
        }
    }
    EXPECT_LE(worst, tolerance);
    return worst;
}

TEST(GltfWriter, SkinnedRigRoundTripsThroughTheReader) {
    const SkinnedRig rig = makeRig({});
    for (const char* name : {"roundtrip.glb", "roundtrip.gltf"}) {
        SCOPED_TRACE(name);
        const std::string path = gltfOutputDir() + "/" + name;
        const WriteSummary summary = writeSkinnedGltf(rig, path);
        EXPECT_EQ(summary.vertexCount, 40);
        EXPECT_EQ(summary.jointCount, 3);
        EXPECT_EQ(summary.frameCount, 6);
        EXPECT_EQ(summary.influenceSets, 1);
        EXPECT_FALSE(summary.shearDropped);
        EXPECT_LT(summary.shearMaxError, 1e-9);
        EXPECT_EQ(summary.bytes, fs::file_size(path));

        const MeshAnimation anim = readAnimation(path);
        expectReproduces(rig, anim);
        EXPECT_EQ(anim.triangles, rig.triangles);
        ASSERT_EQ(anim.uvs.size(), rig.uvs.size());
        for (std::size_t i = 0; i < rig.uvs.size(); ++i) EXPECT_NEAR(anim.uvs[i], rig.uvs[i], 1e-7);
        EXPECT_EQ(anim.jointNames, rig.jointNames);
        EXPECT_EQ(anim.jointParents, std::vector<int>(3, -1));  // flat under the root
        ASSERT_EQ(anim.jointWorld.size(), 6u);
        for (std::size_t f = 0; f < 6; ++f) {
            for (std::size_t j = 0; j < 3; ++j) {
                for (std::size_t k = 0; k < 16; ++k)
                    EXPECT_NEAR(anim.jointWorld[f][j][k], rig.boneWorld[f][j][k], 1e-5);
            }
        }
        ASSERT_EQ(anim.skin.size(), 40u);
    }
    // .gltf embeds its buffer: a single self-contained file.
    std::ifstream written(gltfOutputDir() + "/roundtrip.gltf");
    const nlohmann::json document = nlohmann::json::parse(written);
    ASSERT_EQ(document.at("buffers").size(), 1u);
    EXPECT_EQ(document["buffers"][0].at("uri").get<std::string>().rfind("data:", 0), 0u);
    EXPECT_FALSE(fs::exists(gltfOutputDir() + "/roundtrip.bin"));
}

// Joints in a hierarchy: each node holds its matrix relative to its parent,
// and a player composing them gets the rig's world matrices back.
TEST(GltfWriter, AHierarchyNestsTheJointsAndPlaysTheSameWorldMatrices) {
    SkinnedRig rig = makeRig({});
    rig.jointParents = {1, -1, 1};  // joint 1 is the root of the other two
    // Rigid joints: a parent's non-uniform scale would shear its children.
    for (auto& frame : rig.boneWorld) {
        for (Matrix4& m : frame) {
            Trs trs = closestTrs(m).trs;
            trs.scale = {1, 1, 1};
            m = trsMatrix(trs);
        }
    }
    const std::string path = gltfOutputDir() + "/hierarchy.glb";
    const WriteSummary summary = writeSkinnedGltf(rig, path);
    EXPECT_FALSE(summary.shearDropped);
    EXPECT_LT(summary.shearMaxError, 1e-9);
    const MeshAnimation anim = readAnimation(path);
    EXPECT_EQ(anim.jointParents, rig.jointParents);
    expectReproduces(rig, anim);
    ASSERT_EQ(anim.jointWorld.size(), 6u);
    for (std::size_t f = 0; f < 6; ++f) {
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 16; ++k) EXPECT_NEAR(anim.jointWorld[f][j][k], rig.boneWorld[f][j][k], 1e-5);
        }
    }
    // The same matrices as a player composes them in double precision.
    const std::vector<std::vector<Matrix4>> played = playedBoneWorld(rig.jointParents, rig.boneWorld);
    for (std::size_t f = 0; f < 6; ++f) {
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 16; ++k) EXPECT_NEAR(played[f][j][k], rig.boneWorld[f][j][k], 1e-12);
        }
    }
}

TEST(GltfWriter, InfluencesAreCleanedSortedAndNormalised) {
    RigShape shape;
    shape.joints = 8;
    shape.influencesPerVertex = 6;
    shape.triangles = false;  // a point cloud: POINTS primitive, no normals
    shape.uvs = false;
    SkinnedRig rig = makeRig(shape);
    // Vertex 0: a duplicate joint, a zero weight and a ninth influence.
    rig.influences[0] = {{2, 0.5},  {3, 0.0},  {2, 0.25}, {1, 0.1},  {4, 0.3},
                         {5, 0.05}, {6, 0.02}, {7, 0.04}, {0, 0.03}, {3, 0.01}};
    // Vertex 1: nothing at all, bound to joint 0.
    rig.influences[1] = {{4, 0.0}};
    const std::string path = gltfOutputDir() + "/eight_influences.glb";
    const WriteSummary summary = writeSkinnedGltf(rig, path);
    EXPECT_EQ(summary.influenceSets, 2);

    const MeshAnimation anim = readAnimation(path);
    EXPECT_TRUE(anim.triangles.empty());
    ASSERT_EQ(anim.skin.size(), std::size_t(rig.vertexCount()));
    // Vertex 0 keeps 8 of its 9 distinct non-zero joints, 2 merged, by weight.
    const auto& v0 = anim.skin[0];
    ASSERT_EQ(v0.size(), 8u);
    EXPECT_EQ(v0[0].joint, 2);
    EXPECT_EQ(v0[1].joint, 4);
    EXPECT_EQ(v0[2].joint, 1);
    EXPECT_EQ(v0.back().joint, 3);  // 0.01, the smallest kept
    for (const auto& weights : anim.skin) {
        double sum = 0;
        for (std::size_t k = 0; k < weights.size(); ++k) {
            sum += weights[k].weight;
            if (k > 0) {
                EXPECT_LE(weights[k].weight, weights[k - 1].weight);
            }
            for (std::size_t l = 0; l < k; ++l) EXPECT_NE(weights[k].joint, weights[l].joint);
        }
        EXPECT_NEAR(sum, 1.0, 2e-7);
    }
    ASSERT_EQ(anim.skin[1].size(), 1u);
    EXPECT_EQ(anim.skin[1][0].joint, 0);
    // Skinning with the cleaned weights (vertex 0's ninth influence gone).
    rig.influences[0] = {{2, 0.75}, {1, 0.1}, {4, 0.3}, {5, 0.05}, {6, 0.02}, {7, 0.04}, {0, 0.03}, {3, 0.01}};
    rig.influences[1] = {{0, 1.0}};
    expectReproduces(rig, anim);
}

TEST(GltfWriter, ShearIsDroppedAndItsErrorReported) {
    RigShape shape;
    shape.shear = true;
    const SkinnedRig rig = makeRig(shape);
    const std::string path = gltfOutputDir() + "/sheared.glb";
    const WriteSummary summary = writeSkinnedGltf(rig, path);
    EXPECT_TRUE(summary.shearDropped);
    EXPECT_EQ(summary.jointFramesWithShear, 5);  // joint 1 at frames 1..5
    EXPECT_GT(summary.shearMaxError, 1e-3);
    EXPECT_LE(summary.shearRmsError, summary.shearMaxError);

    // What a viewer plays (the file read back) is off the exact skinning by
    // the reported amount.
    const MeshAnimation anim = readAnimation(path);
    double maxDistance = 0, sumSquared = 0;
    std::size_t n = 0;
    for (std::size_t f = 0; f < rig.frameTimes.size(); ++f) {
        const std::vector<double> exact = skinFrame(rig, f);
        for (std::size_t v = 0; v < exact.size() / 3; ++v, ++n) {
            double d2 = 0;
            for (std::size_t c = 0; c < 3; ++c) d2 += std::pow(anim.frames[f][3 * v + c] - exact[3 * v + c], 2);
            maxDistance = std::max(maxDistance, std::sqrt(d2));
            sumSquared += d2;
        }
    }
    EXPECT_NEAR(summary.shearMaxError, maxDistance, 1e-4 * maxDistance + 1e-5);
    EXPECT_NEAR(summary.shearRmsError, std::sqrt(sumSquared / double(n)), 1e-4 * maxDistance + 1e-5);
}

TEST(ClosestTrs, RecoversTrsAndMeasuresShear) {
    const double s = std::sqrt(0.5);
    const Matrix4 m = rotationScaleTranslation(s, 0, s, 1.2, {2, 0.5, 3}, {1, -2, 3});
    const TrsFit fit = closestTrs(m);
    EXPECT_LT(fit.shear, 1e-12);
    const Matrix4 back = trsMatrix(fit.trs);
    for (std::size_t k = 0; k < 16; ++k) EXPECT_NEAR(back[k], m[k], 1e-12);
    EXPECT_NEAR(fit.trs.scale[0], 2, 1e-12);
    EXPECT_NEAR(fit.trs.scale[2], 3, 1e-12);

    // A mirror becomes a negative scale with a proper rotation.
    const Matrix4 mirror = rotationScaleTranslation(0, 0, 1, 0.4, {1, -1, 1}, {0, 0, 0});
    const TrsFit mirrored = closestTrs(mirror);
    EXPECT_LT(mirrored.shear, 1e-12);
    EXPECT_NEAR(mirrored.trs.scale[0] * mirrored.trs.scale[1] * mirrored.trs.scale[2], -1, 1e-12);
    const Matrix4 mirrorBack = trsMatrix(mirrored.trs);
    for (std::size_t k = 0; k < 16; ++k) EXPECT_NEAR(mirrorBack[k], mirror[k], 1e-12);

    Matrix4 sheared = identityMatrix();
    sheared[4] = 0.5;
    EXPECT_GT(closestTrs(sheared).shear, 0.1);
}

TEST(ClosestTrs, RotationsAreUnitQuaternionsWithinTheirRange) {
    // Near-identity rotations, scaled: the quaternion of a rotation matrix
    // one rounding off orthonormal can come out a rounding above length 1,
    // and glTF validators refuse a component above 1.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int checked = 0;
    for (int i = 0; i < 20000; ++i) {
        const double angle = std::ldexp(unit(rng), -(i % 40));
        const double x = unit(rng), y = unit(rng), z = unit(rng);
        const double n = std::sqrt(x * x + y * y + z * z);
        if (!(n > 0.1)) continue;
        Matrix4 m = rotationScaleTranslation(x / n, y / n, z / n, angle, {1 + unit(rng) * 1e-3, 1, 2}, {0, 0, 0});
        // Every other one the identity a few roundings off, as re-expressing
        // a rest pose in a tree leaves it.
        if (i % 2) {
            m = identityMatrix();
            for (std::size_t k : {0, 1, 2, 4, 5, 6, 8, 9, 10}) m[k] += std::ldexp(unit(rng), -44 - (i / 2) % 10);
        }
        const std::array<double, 4>& q = closestTrs(m).trs.rotation;
        for (double c : q) ASSERT_LE(std::abs(c), 1.0) << "matrix " << i;
        ASSERT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-15) << "matrix " << i;
        ++checked;
    }
    EXPECT_GT(checked, 15000);
}

TEST(GltfWriter, RefusesInconsistentRigsWithoutWriting) {
    ScratchDir dir;
    const std::string path = dir.file("bad.glb");
    const auto refuses = [&](const SkinnedRig& rig, const std::string& fragment) {
        try {
            writeSkinnedGltf(rig, path);
        } catch (const WriteError& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
            EXPECT_FALSE(fs::exists(path));
            return;
        }
        ADD_FAILURE() << "no WriteError for " << fragment;
    };
    SkinnedRig rig = makeRig({});
    rig.frameTimes[3] = rig.frameTimes[2];
    refuses(rig, "frame times must increase");
    rig = makeRig({});
    rig.influences[5].push_back({7, 0.5});
    refuses(rig, "vertex 5 is influenced by joint 7 of 3");
    rig = makeRig({});
    rig.boneWorld[2][1][5] = std::nan("");
    refuses(rig, "frame 2, joint 1 has a non-finite bone matrix");
    // Finite, but past float32: the file would hold infinities.
    rig = makeRig({});
    rig.restPositions[4] = 1e39;
    refuses(rig, "rig has values too large for 32-bit floats (accessor 0)");
    rig = makeRig({});
    rig.boneWorld[1][2][13] = -5e38;
    refuses(rig, "rig has values too large for 32-bit floats");
    rig = makeRig({});
    rig.bindingMatrices.pop_back();
    refuses(rig, "one binding and one rest matrix per joint");
    rig = makeRig({});
    rig.triangles[0][1] = 40;
    refuses(rig, "triangle 0 uses vertex 40 of 40");
    rig = makeRig({});
    rig.jointParents = {-1, 2, 1};
    refuses(rig, "joint 1 is its own ancestor");
    rig.jointParents = {-1, 3, 0};
    refuses(rig, "joint 1 has parent 3 of 3");
    rig.jointParents = {-1, 0};
    refuses(rig, "rig needs one parent per joint");
    rig = makeRig({});
    try {
        writeSkinnedGltf(rig, dir.file("rig.fbx"));
        ADD_FAILURE() << "no WriteError";
    } catch (const WriteError& e) {
        EXPECT_NE(std::string(e.what()).find("unknown output format \".fbx\""), std::string::npos);
    }
}

TEST(GltfWriter, UnwritablePathLeavesNoFileBehind) {
    ScratchDir dir;
    const SkinnedRig rig = makeRig({});
    // The directory does not exist.
    const std::string missing = dir.file("no/such/dir/rig.glb");
    EXPECT_THROW(writeSkinnedGltf(rig, missing), WriteError);
    EXPECT_FALSE(fs::exists(missing));
    // The target is a directory: the rename fails after the temporary file was
    // written, which must be removed again.
    const std::string target = dir.file("taken.glb");
    fs::create_directory(target);
    try {
        writeSkinnedGltf(rig, target);
        ADD_FAILURE() << "no WriteError";
    } catch (const WriteError& e) {
        EXPECT_NE(std::string(e.what()).find("taken.glb"), std::string::npos);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"taken.glb"});
    EXPECT_TRUE(fs::is_empty(target));
    // A successful write replaces an existing file whole.
    const std::string good = dir.file("good.gltf");
    writeText(good, "old");
    writeSkinnedGltf(rig, good);
    EXPECT_GT(fs::file_size(good), 100u);
}

}  // namespace
}  // namespace vantrel::io::test
