// Joint placement: recovery of known rigid parts, rigid parts fewer than
// bones, degenerate animations, non-rigid motion, determinism, bad input.
#include "cli/rig/joint_placement.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>
#include <stdexcept>

namespace vantrel::rig {
namespace {

using Frames = std::vector<std::vector<double>>;
using RowMatrix4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;

struct Animation {
    int vertexCount = 0;
    Frames frames;
    std::vector<int> part;  // generating part of each vertex
};

// Parts of `perPart` vertices, each moved by its own rotation and translation
// per frame; frame 0 is the rest pose. Part 1 is flat (one plane), which
// makes its Procrustes problem rank deficient. `interleaved` puts every part
// in the same box so only motion tells them apart.
Animation rigidParts(int parts, int perPart, int frameCount, bool interleaved, double scale = 1.0, double offset = 0.0,
                     unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Animation a;
    a.vertexCount = parts * perPart;
    std::vector<Eigen::RowVector3d> rest;
    for (int p = 0; p < parts; ++p)
        for (int i = 0; i < perPart; ++i) {
            Eigen::RowVector3d x(unit(rng), unit(rng), p == 1 ? 0.25 : unit(rng));
            if (!interleaved) x[0] += 3.0 * p;
            rest.push_back(x);
            a.part.push_back(p);
        }
    a.frames.assign(frameCount, std::vector<double>(3 * a.vertexCount));
    for (int f = 0; f < frameCount; ++f) {
        for (int p = 0; p < parts; ++p) {
            Eigen::Vector3d axis(unit(rng), unit(rng), unit(rng));
            const Eigen::Matrix3d r =
                Eigen::AngleAxisd(f == 0 ? 0.0 : 0.3 + unit(rng), axis.normalized()).toRotationMatrix();
            const Eigen::RowVector3d t =
                f == 0 ? Eigen::RowVector3d::Zero() : Eigen::RowVector3d(unit(rng), unit(rng), unit(rng));
            for (int v = 0; v < a.vertexCount; ++v) {
                if (a.part[v] != p) continue;
                const Eigen::RowVector3d y = rest[v] * r + t;
                for (int c = 0; c < 3; ++c) a.frames[f][3 * v + c] = offset + scale * y[c];
            }
        }
    }
    return a;
}

// A cylinder along x bending smoothly about z: no rigid parts at all.
Animation bendingCylinder(int rings, int perRing, int frameCount) {
    Animation a;
    a.vertexCount = rings * perRing;
    a.frames.assign(frameCount, std::vector<double>(3 * a.vertexCount));
    for (int f = 0; f < frameCount; ++f) {
        const double bend = 0.02 * f;
        for (int i = 0; i < rings; ++i)
            for (int j = 0; j < perRing; ++j) {
                const int v = i * perRing + j;
                const double x = 0.2 * i;
                const double phi = 2.0 * M_PI * j / perRing;
                const double y = 0.3 * std::cos(phi);
                const double z = 0.3 * std::sin(phi);
                const double angle = bend * x;
                a.frames[f][3 * v + 0] = x * std::cos(angle) - y * std::sin(angle);
                a.frames[f][3 * v + 1] = x * std::sin(angle) + y * std::cos(angle);
                a.frames[f][3 * v + 2] = z;
            }
    }
    return a;
}

// A leg and a foot with toes along x, a tube of rings: the foot (part 1)
// turns about x = 2 against the leg (part 0), skinned with weights that blend
// the two over 1.6 < x < 2.4, and the toes (part 2, x > 4) turn a little
// against the foot about x = 4, sharply. Frame 0 is the rest pose.
Animation footWithToes(int frameCount) {
    constexpr int kRings = 45, kPerRing = 8;
    Animation a;
    a.vertexCount = kRings * kPerRing;
    a.frames.assign(frameCount, std::vector<double>(3 * a.vertexCount));
    auto turn = [](double angle, double pivot, double& x, double& y) {
        const double dx = x - pivot, dy = y;
        x = pivot + dx * std::cos(angle) - dy * std::sin(angle);
        y = dx * std::sin(angle) + dy * std::cos(angle);
    };
    for (int f = 0; f < frameCount; ++f) {
        const double foot = 1.2 * f / std::max(frameCount - 1, 1);
        const double toes = 0.25 * std::sin(2.5 * f);
        for (int i = 0; i < kRings; ++i)
            for (int j = 0; j < kPerRing; ++j) {
                const int v = i * kPerRing + j;
                const double x0 = 0.1 * i, phi = 2.0 * M_PI * j / kPerRing;
                const double y0 = 0.3 * std::cos(phi), z = 0.3 * std::sin(phi);
                const double w = std::clamp((x0 - 1.6) / 0.8, 0.0, 1.0);
                double x = x0, y = y0;
                if (x0 > 4.0) turn(toes, 4.0, x, y);
                double fx = x, fy = y;
                turn(foot, 2.0, fx, fy);
                double* out = &a.frames[f][3 * v];
                out[0] = (1.0 - w) * x + w * fx;
                out[1] = (1.0 - w) * y + w * fy;
                out[2] = z;
                if (f == 0) a.part.push_back(x0 > 4.0 ? 2 : (w < 0.5 ? 0 : 1));
            }
    }
    return a;
}

// Largest distance between a frame's point and its rest point carried by its
// bone, computed independently of rigidFitRms.
double maxFitError(const Animation& a, const JointPlacement& jp, int restFrame = 0) {
    std::vector<RowMatrix4> inverseRest;
    for (const Matrix4& m : jp.restWorld) inverseRest.push_back(Eigen::Map<const RowMatrix4>(m.data()).inverse());
    double worst = 0.0;
    for (std::size_t f = 0; f < a.frames.size(); ++f)
        for (int v = 0; v < a.vertexCount; ++v) {
            const int b = jp.vertexBone[v];
            const RowMatrix4 world = Eigen::Map<const RowMatrix4>(jp.frameWorld[f][b].data());
            const double* p = &a.frames[restFrame][3 * v];
            const Eigen::RowVector4d y = Eigen::RowVector4d(p[0], p[1], p[2], 1.0) * inverseRest[b] * world;
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(y[c] - a.frames[f][3 * v + c]));
        }
    return worst;
}

// Shapes, finiteness, non-empty bones, proper rigid matrices, rest matrices
// at the bone centroids, and frameWorld equal to restWorld at the rest frame.
void expectWellFormed(const Animation& a, const JointPlacement& jp, int restFrame = 0) {
    ASSERT_GE(jp.boneCount, 1);
    ASSERT_EQ(jp.vertexBone.size(), static_cast<std::size_t>(a.vertexCount));
    ASSERT_EQ(jp.restWorld.size(), static_cast<std::size_t>(jp.boneCount));
    ASSERT_EQ(jp.frameWorld.size(), a.frames.size());
    std::vector<int> count(jp.boneCount, 0);
    std::vector<Eigen::Vector3d> sum(jp.boneCount, Eigen::Vector3d::Zero());
    for (int v = 0; v < a.vertexCount; ++v) {
        const int b = jp.vertexBone[v];
        ASSERT_GE(b, 0);
        ASSERT_LT(b, jp.boneCount);
        ++count[b];
        sum[b] += Eigen::Vector3d(&a.frames[restFrame][3 * v]);
    }
    for (int b = 0; b < jp.boneCount; ++b) {
        EXPECT_GT(count[b], 0) << "bone " << b << " is empty";
        const Eigen::Vector3d c = sum[b] / count[b];
        const Matrix4& r = jp.restWorld[b];
        for (int i = 0; i < 12; ++i) EXPECT_EQ(r[i], (i % 5 == 0) ? 1.0 : 0.0);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(r[12 + i], c[i], 1e-12 * (1.0 + c.cwiseAbs().maxCoeff()));
        EXPECT_EQ(r[15], 1.0);
    }
    for (std::size_t f = 0; f < a.frames.size(); ++f) {
        ASSERT_EQ(jp.frameWorld[f].size(), static_cast<std::size_t>(jp.boneCount));
        for (int b = 0; b < jp.boneCount; ++b) {
            const Matrix4& m = jp.frameWorld[f][b];
            for (double x : m) ASSERT_TRUE(std::isfinite(x));
            const RowMatrix4 mm = Eigen::Map<const RowMatrix4>(m.data());
            EXPECT_TRUE(mm.col(3).isApprox(Eigen::Vector4d(0, 0, 0, 1)));
            const Eigen::Matrix3d rot = mm.topLeftCorner<3, 3>();
            EXPECT_LT((rot * rot.transpose() - Eigen::Matrix3d::Identity()).norm(), 1e-12);
            EXPECT_NEAR(rot.determinant(), 1.0, 1e-12);
            if (static_cast<int>(f) == restFrame) {
                EXPECT_EQ(m, jp.restWorld[b]);
            }
        }
    }
}

// Each bone's vertices come from one part (bones refine the parts); returns
// the part of each bone.
std::vector<int> partOfBone(const Animation& a, const JointPlacement& jp) {
    std::vector<int> part(jp.boneCount, -1);
    for (int v = 0; v < a.vertexCount; ++v) {
        int& p = part[jp.vertexBone[v]];
        if (p < 0) p = a.part[v];
        EXPECT_EQ(p, a.part[v]) << "bone " << jp.vertexBone[v] << " straddles parts";
    }
    return part;
}

// The bones are exactly the parts, up to relabelling.
void expectPartsRecovered(const Animation& a, const JointPlacement& jp, int parts) {
    ASSERT_EQ(jp.boneCount, parts);
    const std::vector<int> part = partOfBone(a, jp);
    EXPECT_EQ(std::set<int>(part.begin(), part.end()).size(), static_cast<std::size_t>(parts));
}

double extent(const Animation& a) {
    double e = 0.0;
    for (const auto& f : a.frames)
        for (double x : f) e = std::max(e, std::abs(x));
    return e;
}

JointPlacementOptions bones(int n) {
    JointPlacementOptions o;
    o.boneCount = n;
    return o;
}

TEST(JointPlacementRecovery, SeparatedRigidPartsAreFoundExactly) {
    const Animation a = rigidParts(5, 40, 21, false);
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(5));
    expectWellFormed(a, jp);
    expectPartsRecovered(a, jp, 5);
    EXPECT_EQ(jp.note, "");
    EXPECT_LT(maxFitError(a, jp), 1e-9 * extent(a));
    EXPECT_LT(rigidFitRms(a.vertexCount, a.frames, 0, jp), 1e-9 * extent(a));
}

TEST(JointPlacementRecovery, InterleavedPartsAreToldApartByMotion) {
    const Animation a = rigidParts(6, 30, 20, true, 1.0, 0.0, 11);
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(6));
    expectWellFormed(a, jp);
    expectPartsRecovered(a, jp, 6);
    EXPECT_LT(maxFitError(a, jp), 1e-9 * extent(a));
}

TEST(JointPlacementRecovery, SmallPartsAreNotCapturedByNeighbours) {
    // Two to eight parts of 3 to 42 vertices over 1 to 25 moving frames, apart
    // and interleaved.
    for (unsigned seed = 1; seed <= 100; ++seed) {
        for (bool interleaved : {false, true}) {
            const int parts = 2 + seed % 7;
            const Animation a =
                rigidParts(parts, 3 + (seed * 7) % 40, 2 + (seed * 3) % 25, interleaved, 1.0, 0.0, seed);
            const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(parts));
            SCOPED_TRACE(testing::Message() << "seed " << seed << " interleaved " << interleaved);
            expectPartsRecovered(a, jp, parts);
            EXPECT_LT(maxFitError(a, jp), 1e-9 * extent(a));
        }
    }
}

TEST(JointPlacementRecovery, LargeMeshesClusteredOnASubsetStillPlaceEveryVertex) {
    // Clustered on every 12th vertex; the others must join their own part, at
    // any thread count.
    const Animation a = rigidParts(6, 200, 20, true, 1.0, 0.0, 17);
    JointPlacementOptions o = bones(6);
    o.clusteredVertices = 100;
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const JointPlacement serial = placeJoints(a.vertexCount, a.frames, o);
    omp_set_num_threads(2);
    const JointPlacement threaded = placeJoints(a.vertexCount, a.frames, o);
    omp_set_num_threads(saved);
    expectWellFormed(a, serial);
    expectPartsRecovered(a, serial, 6);
    EXPECT_TRUE(serial.explainsEveryVertex);
    EXPECT_LT(maxFitError(a, serial), 1e-9 * extent(a));
    EXPECT_EQ(serial.vertexBone, threaded.vertexBone);
    EXPECT_EQ(serial.frameWorld, threaded.frameWorld);
}

TEST(JointPlacementRecovery, RestFrameInsideTheAnimationAndFewClusteringFrames) {
    const Animation a = rigidParts(4, 25, 20, false, 1.0, 0.0, 3);
    JointPlacementOptions o = bones(4);
    o.restFrame = 7;
    o.assignmentFrames = 3;  // clustering sees 3 of the 19 moving frames
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, o);
    expectWellFormed(a, jp, 7);
    expectPartsRecovered(a, jp, 4);
    EXPECT_LT(maxFitError(a, jp, 7), 1e-9 * extent(a));
}

TEST(JointPlacementRecovery, HugeCoordinatesKeepTheirRelativeAccuracy) {
    for (double scale : {1e-150, 1e6, 1e150, 1e306}) {
        SCOPED_TRACE(scale);
        const Animation a = rigidParts(4, 20, 20, false, scale, 40.0 * scale);
        const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(4));
        expectWellFormed(a, jp);
        expectPartsRecovered(a, jp, 4);
        EXPECT_LT(maxFitError(a, jp), 1e-9 * extent(a));
    }
    // A jump from near the largest double to near its negative: differences
    // between frames exceed the double range.
    Animation jump;
    jump.vertexCount = 4;
    jump.part.assign(4, 0);
    const double offsets[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (double base : {1e308, -1e308}) {
        std::vector<double> frame;
        for (const auto& o : offsets)
            for (double x : o) frame.push_back(base + 1e300 * x);
        jump.frames.push_back(frame);
    }
    const JointPlacement jp = placeJoints(jump.vertexCount, jump.frames, bones(1));
    expectWellFormed(jump, jp);
    EXPECT_LT(maxFitError(jump, jp), 1e-9 * 1e308);
    EXPECT_LT(rigidFitRms(jump.vertexCount, jump.frames, 0, jp), 1e-9 * 1e308);
}

TEST(JointPlacementParts, MoreBonesThanPartsSplitOrMergeAsAsked) {
    for (int parts : {3, 1}) {
        SCOPED_TRACE(parts);
        const Animation a = rigidParts(parts, 30, 20, false);
        const int more = parts + 4;
        const JointPlacement split = placeJoints(a.vertexCount, a.frames, bones(more));
        expectWellFormed(a, split);
        ASSERT_EQ(split.boneCount, more);
        const std::vector<int> part = partOfBone(a, split);
        EXPECT_EQ(std::set<int>(part.begin(), part.end()).size(), static_cast<std::size_t>(parts));
        EXPECT_EQ(split.note, "the animation moves as " + std::to_string(parts) + " rigid part" +
                                  (parts == 1 ? "" : "s") + "; the other 4 bones share a part's motion");
        EXPECT_LT(maxFitError(a, split), 1e-9 * extent(a));
        // Bones sharing a part sit at different places.
        for (int b = 0; b < more; ++b)
            for (int c = b + 1; c < more; ++c)
                if (part[b] == part[c]) {
                    EXPECT_NE(split.restWorld[b], split.restWorld[c]);
                }

        JointPlacementOptions o = bones(more);
        o.mergeRigidParts = true;
        const JointPlacement merged = placeJoints(a.vertexCount, a.frames, o);
        expectWellFormed(a, merged);
        expectPartsRecovered(a, merged, parts);
        EXPECT_NE(merged.note.find(": one bone per part"), std::string::npos) << merged.note;
        EXPECT_LT(maxFitError(a, merged), 1e-9 * extent(a));
    }
}

TEST(JointPlacementParts, RigidToleranceDecidesWhatCountsAsRigid) {
    const Animation exact = rigidParts(3, 30, 20, false);
    auto noisy = [&](double amplitude) {
        Animation a = exact;
        std::mt19937 rng(99);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        const double size = extent(exact);
        for (std::size_t f = 1; f < a.frames.size(); ++f)
            for (double& x : a.frames[f]) x += amplitude * size * unit(rng);
        return a;
    };
    const Animation quiet = noisy(1e-9);
    const Animation loud = noisy(1e-3);
    const JointPlacement belowTolerance = placeJoints(quiet.vertexCount, quiet.frames, bones(6));
    EXPECT_EQ(belowTolerance.boneCount, 6);
    EXPECT_NE(belowTolerance.note.find("moves as 3 rigid parts"), std::string::npos);
    const JointPlacement aboveTolerance = placeJoints(loud.vertexCount, loud.frames, bones(6));
    expectWellFormed(loud, aboveTolerance);
    EXPECT_EQ(aboveTolerance.boneCount, 6);
    EXPECT_EQ(aboveTolerance.note, "");
    JointPlacementOptions lenient = bones(6);
    lenient.rigidTolerance = 1e-2;
    lenient.mergeRigidParts = true;
    const JointPlacement merged = placeJoints(loud.vertexCount, loud.frames, lenient);
    expectWellFormed(loud, merged);
    expectPartsRecovered(loud, merged, 3);
    EXPECT_LT(maxFitError(loud, merged), 3e-3 * extent(loud));
}

TEST(JointPlacementDegenerate, NoMotionClustersByRestPosition) {
    Animation still = rigidParts(1, 60, 1, false);  // a single frame
    for (int frameCount : {1, 5}) {
        SCOPED_TRACE(frameCount);
        still.frames.resize(frameCount, still.frames[0]);
        const JointPlacement jp = placeJoints(still.vertexCount, still.frames, bones(4));
        expectWellFormed(still, jp);
        EXPECT_EQ(jp.boneCount, 4);
        EXPECT_EQ(jp.note, "no motion between frames: bones placed by rest position");
        EXPECT_LT(maxFitError(still, jp), 1e-12);
        // Split by position: every bone sits somewhere else.
        for (int b = 0; b < 4; ++b)
            for (int c = b + 1; c < 4; ++c) EXPECT_NE(jp.restWorld[b], jp.restWorld[c]);
    }
    JointPlacementOptions o = bones(4);
    o.mergeRigidParts = true;
    const JointPlacement one = placeJoints(still.vertexCount, still.frames, o);
    EXPECT_EQ(one.boneCount, 1);
    EXPECT_EQ(one.note, "no motion between frames: one bone");
}

TEST(JointPlacementDegenerate, IdenticalPointsGiveOneBone) {
    Animation a;
    a.vertexCount = 10;
    a.part.assign(10, 0);
    for (int f = 0; f < 4; ++f) {
        std::vector<double> frame;
        for (int v = 0; v < 10; ++v) frame.insert(frame.end(), {0.1, 0.2 + f, 0.3});
        a.frames.push_back(frame);
    }
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(3));
    expectWellFormed(a, jp);
    EXPECT_EQ(jp.boneCount, 1);
    EXPECT_NE(jp.note.find("placed 1 of 3 bones"), std::string::npos) << jp.note;
    EXPECT_LT(maxFitError(a, jp), 1e-12);
}

TEST(JointPlacementDegenerate, FewerVerticesThanBonesAndTinyClusters) {
    // Two vertices moving apart: each becomes a bone of its own.
    const Animation two = rigidParts(2, 1, 6, false);
    const JointPlacement jp = placeJoints(two.vertexCount, two.frames, bones(5));
    expectWellFormed(two, jp);
    expectPartsRecovered(two, jp, 2);
    EXPECT_NE(jp.note.find("only 2 vertices for 5 bones: placed 2 of 5 bones"), std::string::npos) << jp.note;
    EXPECT_LT(maxFitError(two, jp), 1e-12);

    // Two-vertex parts: a bone of two only follows their mean translation, so
    // they end one bone per vertex, each exact and finite.
    const Animation tiny = rigidParts(3, 2, 8, false, 1.0, 0.0, 5);
    const JointPlacement t = placeJoints(tiny.vertexCount, tiny.frames, bones(6));
    expectWellFormed(tiny, t);
    EXPECT_EQ(t.boneCount, 6);
    EXPECT_LT(maxFitError(tiny, t), 1e-12);

    // An absurd request ends with one bone per vertex.
    const Animation three = rigidParts(3, 10, 5, false);
    const JointPlacement all = placeJoints(three.vertexCount, three.frames, bones(1000000));
    expectWellFormed(three, all);
    EXPECT_EQ(all.boneCount, 30);
    EXPECT_NE(all.note.find("only 30 vertices for 1000000 bones"), std::string::npos) << all.note;

    Animation none;
    none.frames.assign(3, {});
    const JointPlacement empty = placeJoints(0, none.frames, bones(2));
    EXPECT_EQ(empty.boneCount, 0);
    EXPECT_EQ(empty.frameWorld.size(), 3u);
    EXPECT_EQ(empty.note, "no vertices: no bones placed");
}

TEST(JointPlacementDegenerate, CoincidentVerticesStayTogetherWhenSplitting) {
    // Twenty copies of each of three rest points, static.
    Animation a;
    a.vertexCount = 60;
    std::vector<double> frame;
    for (int v = 0; v < 60; ++v) {
        const int site = v % 3;
        a.part.push_back(site);
        frame.insert(frame.end(), {1.0 * site, 0.5 * site * site, 0.0});
    }
    a.frames.assign(3, frame);
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, bones(5));
    expectWellFormed(a, jp);
    expectPartsRecovered(a, jp, 3);
    EXPECT_NE(jp.note.find("placed 3 of 5 bones"), std::string::npos) << jp.note;
}

TEST(JointPlacementDegenerate, SplitAtRestHalvesAlongTheLongAxisAndKeepsCoincidentPointsTogether) {
    // Points along x (two of them coincident at x = 2), with two outsiders
    // that are not members.
    const std::vector<double> rest = {0, 0, 0, 1, 0.1, 0, 2, 0, 0, 2, 0, 0, 3, -0.1, 0, 9, 9, 9, 4, 0, 0, -9, 9, 9};
    const std::array<std::vector<int>, 2> halves = splitAtRest(rest, {6, 4, 3, 2, 1, 0});
    EXPECT_EQ(halves[0], (std::vector<int>{0, 1}));
    EXPECT_EQ(halves[1], (std::vector<int>{2, 3, 4, 6}));

    const std::array<std::vector<int>, 2> same = splitAtRest(rest, {3, 2, 2});
    EXPECT_EQ(same[0], (std::vector<int>{2, 3}));
    EXPECT_TRUE(same[1].empty());

    try {
        splitAtRest(rest, {0, 8});
        ADD_FAILURE() << "accepted a member outside the rest points";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "splitAtRest: a member outside the rest points");
    }
}

TEST(JointPlacementDeforming, BendingMeshGetsEveryBone) {
    const Animation a = bendingCylinder(30, 12, 15);
    const JointPlacement one = placeJoints(a.vertexCount, a.frames, bones(1));
    const JointPlacement six = placeJoints(a.vertexCount, a.frames, bones(6));
    expectWellFormed(a, six);
    EXPECT_EQ(six.boneCount, 6);
    EXPECT_EQ(six.note, "");
    // More bones follow the bend more closely.
    EXPECT_LT(rigidFitRms(a.vertexCount, a.frames, 0, six), 0.2 * rigidFitRms(a.vertexCount, a.frames, 0, one));
}

TEST(JointPlacementCandidates, RigidPartsNeedOneCandidateBendingSkinGetsCompactOnes) {
    const Animation parts = rigidParts(4, 30, 12, false);
    const std::vector<JointPlacement> exact = placeJointCandidates(parts.vertexCount, parts.frames, bones(4));
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_TRUE(exact.front().explainsEveryVertex);
    expectPartsRecovered(parts, exact.front(), 4);

    const Animation bend = bendingCylinder(40, 10, 12);
    JointPlacementOptions o = bones(6);
    const std::vector<JointPlacement> tried = placeJointCandidates(bend.vertexCount, bend.frames, o);
    // The grown clustering, one per k-means seed, the one grown under blends,
    // the halving one and the merged one.
    ASSERT_EQ(tried.size(), static_cast<std::size_t>(o.restSeededCandidates + 4));
    for (std::size_t c = 0; c < tried.size(); ++c) {
        SCOPED_TRACE(testing::Message() << "candidate " << c);
        expectWellFormed(bend, tried[c]);
        EXPECT_EQ(tried[c].boneCount, 6);
        EXPECT_FALSE(tried[c].explainsEveryVertex);
        // Compact candidates give every bone a fair share of the vertices.
        if (c == 0 || c == static_cast<std::size_t>(o.restSeededCandidates + 1)) continue;
        std::vector<int> size(6, 0);
        for (int b : tried[c].vertexBone) ++size[b];
        EXPECT_GE(*std::min_element(size.begin(), size.end()), bend.vertexCount / (4 * 6));
    }
    // The chosen placement is one of the candidates.
    const JointPlacement chosen = placeJoints(bend.vertexCount, bend.frames, o);
    bool found = false;
    for (const JointPlacement& candidate : tried) found |= candidate.vertexBone == chosen.vertexBone;
    EXPECT_TRUE(found);

    // A compact candidate replaces the grown one only when it follows the
    // motion more closely: with 12 bones on this bend the grown one does.
    JointPlacementOptions twelve = bones(12);
    const std::vector<JointPlacement> more = placeJointCandidates(bend.vertexCount, bend.frames, twelve);
    const double chosenRms =
        rigidFitRms(bend.vertexCount, bend.frames, 0, placeJoints(bend.vertexCount, bend.frames, twelve));
    for (int c = 0; c <= twelve.restSeededCandidates; ++c)
        EXPECT_LE(chosenRms, rigidFitRms(bend.vertexCount, bend.frames, 0, more[c]) * (1.0 + 1e-9))
            << "candidate " << c;
}

// Where skin weights blend two bones, their rigid motions leave a large
// error that a blend of the two would not: the clustering grown under blends
// gives its third bone to the toes, which turn against the foot, where the
// one grown from the rigid residual gives it to the blend zone.
TEST(JointPlacementCandidates, GrownUnderBlendsGivesABoneToThePartThatTurnsNotToTheBlendZone) {
    const Animation foot = footWithToes(16);
    JointPlacementOptions o = bones(3);
    const std::vector<JointPlacement> tried = placeJointCandidates(foot.vertexCount, foot.frames, o);
    ASSERT_EQ(tried.size(), static_cast<std::size_t>(o.restSeededCandidates + 4));
    // Whether one bone holds every toe vertex and none short of the foot's
    // end (vertices next to the toes' pivot fit either motion).
    auto toesHaveABone = [&](const JointPlacement& jp) {
        std::set<int> toeBones, otherBones;
        for (int v = 0; v < foot.vertexCount; ++v) {
            if (foot.part[v] == 2) toeBones.insert(jp.vertexBone[v]);
            if (foot.frames[0][3 * v] < 3.5) otherBones.insert(jp.vertexBone[v]);
        }
        return toeBones.size() == 1 && !otherBones.count(*toeBones.begin());
    };
    const JointPlacement& underBlends = tried[o.restSeededCandidates + 1];
    expectWellFormed(foot, underBlends);
    EXPECT_EQ(underBlends.boneCount, 3);
    EXPECT_TRUE(toesHaveABone(underBlends));
    EXPECT_FALSE(toesHaveABone(tried[0]));
    // Merged down from many clusters, the pieces of the blend zone join the
    // leg or the foot before the toes join anything.
    const JointPlacement& merged = tried[o.restSeededCandidates + 3];
    expectWellFormed(foot, merged);
    EXPECT_EQ(merged.boneCount, 3);
    EXPECT_TRUE(toesHaveABone(merged));
}

// Pieces of one rigid part merge at no cost, and so do two parts apart that
// move alike: merged down to four bones, five parts of which two move as one
// are fitted exactly, where merging any other pair would leave a bone with
// two motions.
TEST(JointPlacementCandidates, MergedDownJoinsWhatMovesAlikeFirst) {
    for (const bool interleaved : {false, true}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "separated");
        Animation parts = rigidParts(5, 30, 12, interleaved);
        std::vector<int> third;
        for (int v = 0; v < parts.vertexCount; ++v)
            if (parts.part[v] == 3) third.push_back(v);
        const std::vector<Matrix4> world = fitRigidMotion(parts.frames, 0, third);
        const RowMatrix4 inverseRest = Eigen::Map<const RowMatrix4>(world[0].data()).inverse();
        for (std::size_t f = 0; f < parts.frames.size(); ++f) {
            const RowMatrix4 carry = inverseRest * Eigen::Map<const RowMatrix4>(world[f].data());
            for (int v = 0; v < parts.vertexCount; ++v) {
                if (parts.part[v] != 4) continue;
                const Eigen::RowVector4d rest(parts.frames[0][3 * v], parts.frames[0][3 * v + 1],
                                              parts.frames[0][3 * v + 2], 1.0);
                const Eigen::RowVector4d moved = rest * carry;
                for (int c = 0; c < 3; ++c) parts.frames[f][3 * v + c] = moved[c];
            }
        }
        JointPlacementOptions o = bones(4);
        o.candidate = o.restSeededCandidates + 3;
        const JointPlacement merged = placeJoints(parts.vertexCount, parts.frames, o);
        expectWellFormed(parts, merged);
        EXPECT_EQ(merged.boneCount, 4);
        EXPECT_TRUE(merged.explainsEveryVertex);
        EXPECT_LT(rigidFitRms(parts.vertexCount, parts.frames, 0, merged), 1e-9 * extent(parts));
    }
}

TEST(JointPlacementCandidates, FitRigidMotionCarriesTheMembersExactly) {
    const Animation a = rigidParts(3, 20, 6, false, 1.0, 1e4);
    std::vector<int> members;
    for (int v = 0; v < a.vertexCount; ++v)
        if (a.part[v] == 2) members.push_back(v);
    const std::vector<Matrix4> world = fitRigidMotion(a.frames, 0, members);
    ASSERT_EQ(world.size(), a.frames.size());
    const RowMatrix4 inverseRest = Eigen::Map<const RowMatrix4>(world[0].data()).inverse();
    for (std::size_t f = 0; f < a.frames.size(); ++f) {
        const RowMatrix4 m = Eigen::Map<const RowMatrix4>(world[f].data());
        const Eigen::Matrix3d rotation = m.topLeftCorner<3, 3>();
        EXPECT_NEAR(rotation.determinant(), 1.0, 1e-12);
        for (int v : members) {
            const double* p = &a.frames[0][3 * v];
            const Eigen::RowVector4d y = Eigen::RowVector4d(p[0], p[1], p[2], 1.0) * inverseRest * m;
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(y[c], a.frames[f][3 * v + c], 1e-9);
        }
    }
    EXPECT_THROW(fitRigidMotion(a.frames, 0, {}), std::invalid_argument);
}

// One part fits to rounding; two parts that move apart leave the error of
// their one best rigid motion, the same that rigidFitRms measures of it, from
// any rest frame.
TEST(JointPlacementCandidates, RigidFitSquaredErrorMeasuresHowFarMembersAreFromOneRigidMotion) {
    const Animation a = rigidParts(3, 20, 6, false, 1.0, 1e4);
    std::vector<int> one, two;
    for (int v = 0; v < a.vertexCount; ++v) {
        if (a.part[v] == 2) one.push_back(v);
        if (a.part[v] != 1) two.push_back(v);
    }
    for (const int restFrame : {0, 3}) {
        SCOPED_TRACE(restFrame);
        EXPECT_LT(rigidFitSquaredError(a.frames, restFrame, one), 1e-18 * one.size() * a.frames.size());
        // The members alone, as one bone moving as fitRigidMotion fits them.
        JointPlacement placement;
        const std::vector<Matrix4> world = fitRigidMotion(a.frames, restFrame, two);
        placement.restWorld = {world[restFrame]};
        for (const Matrix4& m : world) placement.frameWorld.push_back({m});
        Frames membersOnly(a.frames.size());
        for (std::size_t f = 0; f < a.frames.size(); ++f)
            for (int v : two) membersOnly[f].insert(membersOnly[f].end(), &a.frames[f][3 * v], &a.frames[f][3 * v + 3]);
        placement.vertexBone.assign(two.size(), 0);
        const double rms = rigidFitRms(static_cast<int>(two.size()), membersOnly, restFrame, placement);
        const double squared = rigidFitSquaredError(a.frames, restFrame, two);
        EXPECT_GT(squared, 1.0);
        EXPECT_NEAR(squared, rms * rms * two.size() * a.frames.size(), 1e-9 * squared);
    }
    EXPECT_THROW(rigidFitSquaredError(a.frames, 0, {}), std::invalid_argument);
}

TEST(JointPlacementDeterminism, IdenticalForRepeatedRunsAndThreadCounts) {
    // Large enough for the parallel loops to split the work.
    const Animation parts = rigidParts(5, 240, 20, true, 1.0, 0.0, 21);
    const Animation bend = bendingCylinder(100, 12, 20);
    for (const Animation* a : {&parts, &bend}) {
        const int saved = omp_get_max_threads();
        omp_set_num_threads(1);
        const JointPlacement serial = placeJoints(a->vertexCount, a->frames, bones(7));
        omp_set_num_threads(3);
        const JointPlacement threaded = placeJoints(a->vertexCount, a->frames, bones(7));
        const JointPlacement again = placeJoints(a->vertexCount, a->frames, bones(7));
        omp_set_num_threads(saved);
        for (const JointPlacement* other : {&threaded, &again}) {
            EXPECT_EQ(serial.boneCount, other->boneCount);
            EXPECT_EQ(serial.vertexBone, other->vertexBone);
            EXPECT_EQ(serial.restWorld, other->restWorld);
            EXPECT_EQ(serial.frameWorld, other->frameWorld);
            EXPECT_EQ(serial.note, other->note);
        }
    }
}

TEST(JointPlacementDeterminism, CandidatesIdenticalForThreadCounts) {
    // Every kind of candidate (grown, k-means seeded with re-seeding of small
    // clusters, halving) on skin that bends, and more bones than rigid parts
    // (clusters whose motions nearly agree), large enough to split the work.
    const Animation bend = bendingCylinder(120, 12, 24);
    const Animation parts = rigidParts(3, 400, 16, true, 1.0, 0.0, 5);
    for (const Animation* a : {&bend, &parts}) {
        const int saved = omp_get_max_threads();
        omp_set_num_threads(1);
        const std::vector<JointPlacement> serial = placeJointCandidates(a->vertexCount, a->frames, bones(9));
        omp_set_num_threads(2);
        const std::vector<JointPlacement> threaded = placeJointCandidates(a->vertexCount, a->frames, bones(9));
        omp_set_num_threads(saved);
        ASSERT_EQ(serial.size(), threaded.size());
        for (std::size_t c = 0; c < serial.size(); ++c) {
            SCOPED_TRACE(testing::Message() << "candidate " << c);
            EXPECT_EQ(serial[c].vertexBone, threaded[c].vertexBone);
            EXPECT_EQ(serial[c].frameWorld, threaded[c].frameWorld);
            EXPECT_EQ(serial[c].note, threaded[c].note);
        }
    }
}

TEST(JointPlacementDeterminism, ConvergedClusteringLeavesNoVertexWithABetterBone) {
    // With every frame used for clustering and rounds enough to converge, no
    // vertex is carried clearly better by another bone's motion than by its
    // own: a cluster wrongly ruled out for a vertex would show here.
    const Animation a = bendingCylinder(60, 12, 20);
    JointPlacementOptions o = bones(7);
    o.candidate = 0;
    o.maxIterations = 1000;
    const JointPlacement jp = placeJoints(a.vertexCount, a.frames, o);
    ASSERT_EQ(jp.boneCount, 7);
    std::vector<RowMatrix4> carry;  // rest point -> frame point, per frame and bone
    for (std::size_t f = 0; f < a.frames.size(); ++f)
        for (int b = 0; b < jp.boneCount; ++b)
            carry.push_back(Eigen::Map<const RowMatrix4>(jp.restWorld[b].data()).inverse() *
                            Eigen::Map<const RowMatrix4>(jp.frameWorld[f][b].data()));
    int better = 0;
    for (int v = 0; v < a.vertexCount; ++v) {
        std::vector<double> error(jp.boneCount, 0.0);
        for (int b = 0; b < jp.boneCount; ++b)
            for (std::size_t f = 1; f < a.frames.size(); ++f) {
                const double* p = &a.frames[0][3 * v];
                const Eigen::RowVector4d y = Eigen::RowVector4d(p[0], p[1], p[2], 1.0) * carry[f * jp.boneCount + b];
                for (int c = 0; c < 3; ++c) error[b] += std::pow(y[c] - a.frames[f][3 * v + c], 2);
            }
        const double own = error[jp.vertexBone[v]];
        for (int b = 0; b < jp.boneCount; ++b)
            if (error[b] < own * (1.0 - 1e-6) - 1e-20) ++better;
    }
    EXPECT_EQ(better, 0);
}

TEST(JointPlacementInput, MalformedInputIsRejected) {
    const Animation a = rigidParts(2, 4, 3, false);
    auto rejects = [&](int vertexCount, const Frames& frames, const JointPlacementOptions& o,
                       const std::string& message) {
        try {
            placeJoints(vertexCount, frames, o);
            ADD_FAILURE() << "accepted, expected: " << message;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    };
    rejects(a.vertexCount, a.frames, bones(0), "bone count must be at least 1");
    rejects(a.vertexCount, {}, bones(2), "no frames");
    JointPlacementOptions o = bones(2);
    o.restFrame = 3;
    rejects(a.vertexCount, a.frames, o, "rest frame 3 outside the 3 frames");
    o = bones(2);
    o.maxIterations = 0;
    rejects(a.vertexCount, a.frames, o, "maxIterations");
    Frames shortFrame = a.frames;
    shortFrame[2].pop_back();
    rejects(a.vertexCount, shortFrame, bones(2), "frame 2 holds 23 values, expected 24");
    Frames bad = a.frames;
    bad[1][3 * 5 + 1] = std::nan("");
    rejects(a.vertexCount, bad, bones(2), "frame 1, vertex 5: non-finite coordinate");
}

TEST(JointPlacementInput, RigidFitRmsMeasuresTheCarriedRestPoints) {
    // One vertex, one bone held at rest while the point moves by (3, 4, 0).
    const Frames frames = {{1.0, 2.0, 3.0}, {4.0, 6.0, 3.0}};
    JointPlacement jp;
    jp.boneCount = 1;
    jp.vertexBone = {0};
    Matrix4 rest{};
    rest[0] = rest[5] = rest[10] = rest[15] = 1.0;
    rest[12] = 1.0;
    jp.restWorld = {rest};
    jp.frameWorld = {{rest}, {rest}};
    EXPECT_DOUBLE_EQ(rigidFitRms(1, frames, 0, jp), std::sqrt(25.0 / 2.0));
    // Moving the bone by the same offset makes the fit exact.
    jp.frameWorld[1][0][12] += 3.0;
    jp.frameWorld[1][0][13] += 4.0;
    EXPECT_DOUBLE_EQ(rigidFitRms(1, frames, 0, jp), 0.0);
    jp.vertexBone = {1};  // no such bone
    EXPECT_THROW(rigidFitRms(1, frames, 0, jp), std::invalid_argument);
    jp.vertexBone.clear();
    EXPECT_THROW(rigidFitRms(1, frames, 0, jp), std::invalid_argument);
}

}  // namespace
}  // namespace vantrel::rig
