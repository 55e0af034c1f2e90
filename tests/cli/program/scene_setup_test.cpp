// What the program hands the command: every option on its own storage-node
// attribute, and the command's progress lines read back into the error of
// each iteration.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <host/scene.h>

#include "cli/decompose_options.h"
#include "cli/progress.h"
#include "cli/scene_setup.h"

namespace vantrel::cli {
namespace {

io::Matrix4 identity() {
    io::Matrix4 m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

// A triangle over two samples with two starting joints; every setting that
// the options carry differs from every other, so a swap shows.
SceneNames buildTriangleScene(const DecomposeOptions& options, double lagrangian) {
    io::MeshAnimation samples;
    samples.vertexCount = 3;
    samples.triangles = {{0, 1, 2}};
    std::vector<std::vector<double>> frames = {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 0, 1, 1, 0, 1, 0, 1, 1}};
    auto positions = std::make_shared<const host::PointFrames>(std::move(frames));
    StartingJoints joints;
    joints.names = {"hip", "knee"};
    joints.world.assign(2, std::vector<io::Matrix4>(2, identity()));
    return buildDecompositionScene(samples, positions, joints, options, lagrangian);
}

TEST(DecompositionScene, EachOptionSetsItsOwnAttribute) {
    DecomposeOptions options;
    options.iterations = 37;
    options.fullSolverIterations = 11;
    options.updateRest = true;
    options.affine = true;
    options.breakPercent = 0.25;
    options.influences = 2;
    options.threads = 3;
    const SceneNames names = buildTriangleScene(options, 4.5);
    const std::string node = names.storageNode + ".";
    EXPECT_EQ(host::getDoubleArray(node + "frames"), (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(host::getStringArray(node + "sourceJoints"), names.sourceJoints);
    EXPECT_EQ(host::getStringArray(node + "targetJoints"), names.targetJoints);
    EXPECT_NE(names.sourceJoints, names.targetJoints);
    EXPECT_EQ(host::getInt(node + "maxIteration"), 37);
    EXPECT_EQ(host::getInt(node + "iterationFullSolver"), 11);
    EXPECT_TRUE(host::getBool(node + "updateRestMatrices"));
    EXPECT_FALSE(host::getBool(node + "rigidMatrices"));
    EXPECT_DOUBLE_EQ(host::getDouble(node + "errorPercentBreak"), 0.25);
    EXPECT_TRUE(host::getBool(node + "setMatrices"));
    EXPECT_EQ(host::getIntArray(node + "vertexIds"), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(host::getInt(node + "maxInfluence"), 2);
    EXPECT_DOUBLE_EQ(host::getDouble(node + "lagragian"), 4.5);
    EXPECT_EQ(host::getString(node + "shape"), names.meshShape);
    EXPECT_EQ(host::getString(node + "existingSkinCluster"), "");
    EXPECT_EQ(host::getInt(node + "maxCPU"), 3);

    // The two switches the other way round.
    options.updateRest = false;
    options.affine = false;
    const SceneNames again = buildTriangleScene(options, 4.5);
    EXPECT_FALSE(host::getBool(again.storageNode + ".updateRestMatrices"));
    EXPECT_TRUE(host::getBool(again.storageNode + ".rigidMatrices"));

    // A later run's iteration settings.
    setIterationSettings(again, 6, 2, 0.5);
    EXPECT_EQ(host::getInt(again.storageNode + ".maxIteration"), 6);
    EXPECT_EQ(host::getInt(again.storageNode + ".iterationFullSolver"), 2);
    EXPECT_DOUBLE_EQ(host::getDouble(again.storageNode + ".errorPercentBreak"), 0.5);
    EXPECT_EQ(decompositionCommand(again), "vantrel -storageNode " + again.storageNode + " " + again.meshTransform);
}

TEST(ProgressLines, IterationErrorsAreReadFromTheCommandsLines) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    Progress progress(false, 20, log);
    progress.beginRun("first solve", 20);
    for (const char* line : {"Vantrel : available CPU = 2, used = 2", "Vantrel : Arguments Parsed",
                             "Vantrel : Iteration 1 Solving Skinning", "Vantrel : Iteration 1 Error = 2.5",
                             "Vantrel : bindingMatrices updated", "Vantrel : Iteration 2 Solving Bones",
                             "Vantrel : Iteration 2 Solving Skinning", "Vantrel : Iteration 2 Error = 0.125",
                             "Vantrel : Result not improved by 0.05 %, break", "Vantrel : Setting Outputs"})
        progress.commandLine(line);
    progress.beginRun("repeat", 3);
    progress.commandLine("Vantrel : Iteration 1 Error = 1e-05");
    progress.commandLine("Vantrel : Iteration 12 Error = 3");
    progress.commandLine("Vantrel : TimeElapsed 0.25 sec");
    progress.finish();
    EXPECT_EQ(progress.iterationErrors(), (std::vector<double>{2.5, 0.125, 1e-05, 3.0}));
    std::fclose(log);
}

}  // namespace
}  // namespace vantrel::cli
