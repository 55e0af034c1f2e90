// What the program makes of its input files: a skinned glTF is solved from
// its own bind pose whatever frames are chosen, glTF animations are clips that
// info lists and --clip selects, and what a reader assumed reaches the user.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/decompose.h"
#include "cli/frame_selection.h"
#include "cli/info.h"
#include "cli/io/gltf_writer.h"
#include "cli/io/io_error.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "cli/report_command.h"
#include "cli/report_page.h"
#include "rig_builder.h"
#include "test_files.h"

namespace {

using vantrel::io::test::ScratchDir;

nlohmann::json readJson(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

// The writer tests' bent tube with rigid joints, so that its own skin
// reproduces it exactly; no frame of it is the bind pose.
vantrel::io::SkinnedRig rigidTubeRig() {
    vantrel::io::test::RigShape shape;
    shape.frames = 8;
    vantrel::io::SkinnedRig rig = vantrel::io::test::makeRig(shape);
    const double s = std::sqrt(1.0 / 3.0);
    for (int f = 0; f < shape.frames; ++f)
        for (int j = 0; j < shape.joints; ++j)
            rig.boneWorld[f][j] = vantrel::io::test::rotationScaleTranslation(
                s, s, s, 0.1 * j + 0.3 * f * (j + 1) / shape.joints, {1, 1, 1},
                {0.2 * f, 4.0 * j / shape.joints + 0.1 * f * j, -0.1 * f});
    return rig;
}

TEST(InputFiles, ASkinnedGltfIsSolvedFromItsBindPoseWhateverFramesAreChosen) {
    ScratchDir dir;
    vantrel::io::writeSkinnedGltf(rigidTubeRig(), dir.file("tube.glb"));

    vantrel::cli::DecomposeOptions options;
    options.inputPath = dir.file("tube.glb");
    options.outputPath = dir.file("rig.glb");
    options.reportPath = dir.file("rig.json");
    options.frames = "3:6";
    options.iterations = 4;
    options.quiet = true;
    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    testing::internal::GetCapturedStdout();
    const nlohmann::json report = readJson(dir.file("rig.json"));
    EXPECT_LT(report["eRms"].get<double>(), 1e-3) << report["eRms"];
    EXPECT_EQ(report["settings"]["restFrame"], -1);
    EXPECT_EQ(report["settings"]["frames"], (std::vector<int>{-1, 3, 4, 5, 6}));
    // The bind pose is the rig's rest, not a frame it plays.
    EXPECT_EQ(vantrel::io::readAnimation(dir.file("rig.glb")).frameCount(), 4);

    // The page of that report reads the input again the same way.
    vantrel::io::test::writeText(dir.file("viewer.js"), "// viewer");
    vantrel::cli::ReportCommandOptions page;
    page.reportPath = dir.file("rig.json");
    page.htmlPath = dir.file("rig.html");
    page.viewerScriptPath = dir.file("viewer.js");
    page.quiet = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vantrel::cli::runReport(page), 0);
    testing::internal::GetCapturedStdout();

    // A rest frame given is used: the file's skin, bound elsewhere, cannot
    // reproduce the frames from there.
    options.restFrame = 3;
    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    testing::internal::GetCapturedStdout();
    const nlohmann::json fromFrame = readJson(dir.file("rig.json"));
    EXPECT_EQ(fromFrame["settings"]["restFrame"], 3);
    EXPECT_GT(fromFrame["eRms"].get<double>(), 100 * report["eRms"].get<double>());
}

// One vertex bound to one joint at x = 2 with weight 0.5 and to another at
// the origin with 0.25 (weights as a file may store them), two frames.
vantrel::io::MeshAnimation boundVertex() {
    vantrel::io::MeshAnimation animation;
    animation.vertexCount = 1;
    animation.frames = {{1, 2, 3}, {4, 5, 6}};
    animation.frameTimes = {0.5, 1.0};
    animation.jointNames = {"a", "b"};
    animation.jointParents = {-1, -1};
    vantrel::io::Matrix4 moved = vantrel::io::identityMatrix();
    moved[12] = 7;
    animation.jointWorld = {{moved, moved}, {moved, moved}};
    animation.skin = {{{0, 0.5}, {1, 0.25}}};
    vantrel::io::Matrix4 inverseBind = vantrel::io::identityMatrix();
    inverseBind[12] = -2;
    animation.inverseBindMatrices = {inverseBind, vantrel::io::identityMatrix()};
    animation.bindPositions = {2, 0, 4};
    return animation;
}

TEST(InputFiles, TheBindPoseIsTheRestFrameUnlessOneIsGiven) {
    using vantrel::cli::kBindPoseFrame;
    const vantrel::io::MeshAnimation animation = boundVertex();
    EXPECT_EQ(vantrel::cli::selectFrames(animation, "1", "", std::nullopt), (std::vector<int>{kBindPoseFrame, 1}));
    EXPECT_EQ(vantrel::cli::selectFrames(animation, "", "", 1), (std::vector<int>{1, 0}));

    const vantrel::io::MeshAnimation kept = vantrel::cli::keepFrames(boundVertex(), {kBindPoseFrame, 1});
    EXPECT_TRUE(kept.firstFrameIsBindPose);
    ASSERT_EQ(kept.frameCount(), 2);
    // Where the scene's skin puts it: every joint at its bind pose, weights as stored.
    EXPECT_EQ(kept.frames[0], (std::vector<double>{1.5, 0, 3}));
    EXPECT_EQ(kept.frames[1], (std::vector<double>{4, 5, 6}));
    EXPECT_DOUBLE_EQ(kept.jointWorld[0][0][12], 2.0);
    EXPECT_DOUBLE_EQ(kept.jointWorld[0][1][12], 0.0);
    EXPECT_DOUBLE_EQ(kept.jointWorld[1][0][12], 7.0);
    // It is no frame of the animation as played.
    EXPECT_EQ(vantrel::cli::timeOrder(kept), std::vector<int>{1});

    vantrel::io::MeshAnimation unbound = boundVertex();
    unbound.inverseBindMatrices.clear();
    EXPECT_EQ(vantrel::cli::selectFrames(unbound, "", "", std::nullopt), (std::vector<int>{0, 1}));
    EXPECT_THROW(vantrel::cli::keepFrames(std::move(unbound), {kBindPoseFrame, 1}), std::invalid_argument);
}

TEST(InputFiles, ZUpConversionTurnsTheBindPoseWithTheSkin) {
    vantrel::io::MeshAnimation animation = boundVertex();
    const vantrel::io::Matrix4 skinning =
        vantrel::io::multiply(animation.inverseBindMatrices[0], animation.jointWorld[1][0]);
    const vantrel::io::Vec3 before = vantrel::io::transformPoint({2, 0, 4}, skinning);
    vantrel::cli::convertZUpToYUp(animation);
    EXPECT_EQ(animation.bindPositions, (std::vector<double>{2, 4, 0}));
    const vantrel::io::Vec3 after = vantrel::io::transformPoint(
        {2, 4, 0}, vantrel::io::multiply(animation.inverseBindMatrices[0], animation.jointWorld[1][0]));
    // The skinned point turns as the frames do: (x, y, z) to (x, z, -y).
    EXPECT_NEAR(after[0], before[0], 1e-12);
    EXPECT_NEAR(after[1], before[2], 1e-12);
    EXPECT_NEAR(after[2], -before[1], 1e-12);
}

// A triangle with one morph target and two animations of its weight, the
// first named "open", and a second mesh that is not read.
std::string twoAnimationGltf(bool animated) {
    return std::string(R"({"asset": {"version": "2.0"},
      "buffers": [{"byteLength": 88, "uri": "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAABAAAAAAAAAAAAAAEBAAAAAAAAAgD8AAAAAAACAPw=="}],
      "bufferViews": [{"buffer": 0, "byteLength": 88}],
      "accessors": [
        {"bufferView": 0, "byteOffset": 0, "componentType": 5126, "count": 3, "type": "VEC3"},
        {"bufferView": 0, "byteOffset": 36, "componentType": 5126, "count": 3, "type": "VEC3"},
        {"bufferView": 0, "byteOffset": 72, "componentType": 5126, "count": 2, "type": "SCALAR", "min": [0], "max": [1]},
        {"bufferView": 0, "byteOffset": 80, "componentType": 5126, "count": 2, "type": "SCALAR"}],
      "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "targets": [{"POSITION": 1}]}]},
                 {"primitives": [{"attributes": {"POSITION": 0}}]}],
      "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}])") +
           (animated ? R"(,
      "animations": [
        {"name": "open", "samplers": [{"input": 2, "output": 3}],
         "channels": [{"sampler": 0, "target": {"node": 0, "path": "weights"}}]},
        {"samplers": [{"input": 2, "output": 3}],
         "channels": [{"sampler": 0, "target": {"node": 0, "path": "weights"}}]}]})"
                     : "}");
}

TEST(InputFiles, GltfAnimationsAreClipsAndReaderNotesReachTheUser) {
    ScratchDir dir;
    const std::string path = dir.file("morph.gltf");
    vantrel::io::test::writeText(path, twoAnimationGltf(true));

    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runInfo(path, ""), 0);
    const std::string info = testing::internal::GetCapturedStdout();
    EXPECT_NE(info.find("  clips:     2\n    open: frames 0 to 1\n    animation 1: frames 2 to 3\n"), std::string::npos)
        << info;
    EXPECT_NE(info.find("note: the file has 2 meshes; only mesh 0 is read\n"), std::string::npos) << info;

    vantrel::cli::DecomposeOptions options;
    options.inputPath = path;
    options.outputPath = dir.file("rig.glb");
    options.reportPath = dir.file("rig.json");
    options.clip = "animation 1";
    options.bones = 1;
    options.iterations = 2;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("note: the file has 2 meshes; only mesh 0 is read\n"), std::string::npos) << errors;
    const nlohmann::json report = readJson(dir.file("rig.json"));
    EXPECT_EQ(report["settings"]["frames"], (std::vector<int>{2, 3}));
    ASSERT_FALSE(report["notes"].empty());
    EXPECT_EQ(report["notes"][0], "the file has 2 meshes; only mesh 0 is read");

    // Without animations there is nothing to decompose, and the file is named.
    vantrel::io::test::writeText(path, twoAnimationGltf(false));
    options.clip.clear();
    try {
        vantrel::cli::runDecompose(options);
        ADD_FAILURE() << "no error";
    } catch (const vantrel::io::ReadError& error) {
        EXPECT_EQ(std::string(error.what()),
                  path + ": the file has no animations, only a still pose; a decomposition needs an animation");
    }
}

}  // namespace
