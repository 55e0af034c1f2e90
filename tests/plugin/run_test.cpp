// Whole runs of the command through the loaded module: progress lines, the
// stop rule, the index schedule, thread settings, write-back, recovery of the
// rig that made the animation, joint keys, undo, redo and unloading.
#include <gtest/gtest.h>
#include <omp.h>

#include <maya/MFnAnimCurve.h>
#include <maya/MObject.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include <host/scene.h>
#include <host/session.h>

#include "known_rig.h"
#include "plugin_scene.h"
#include "stdout_capture.h"

using namespace plugin_test;

namespace {

const char* const kCommand = "vantrel -storageNode store body";

// The lines of a run with the numbers masked: "<n>" for the CPU counts,
// "<x>" for errors and times.
std::vector<std::string> masked(const std::vector<std::string>& lines) {
    // Replaces the text after `key` up to `end` (or the line's end) by `mask`.
    auto mask = [](std::string& line, const std::string& key, const std::string& end, const std::string& text) {
        const size_t start = line.find(key);
        if (start == std::string::npos) return;
        const size_t from = start + key.size();
        const size_t to = end.empty() ? line.size() : line.find(end, from);
        if (to == std::string::npos) return;
        line.replace(from, to - from, text);
    };
    std::vector<std::string> out;
    for (std::string line : lines) {
        mask(line, "available CPU = ", ",", "<n>");
        mask(line, ", used = ", "", "<n>");
        mask(line, "Error = ", "", "<x>");
        mask(line, "TimeElapsed ", " sec", "<x>");
        out.push_back(line);
    }
    return out;
}

class CommandRunTest : public testing::Test {
protected:
    void SetUp() override {
        loadPluginOnce();
        trueWeights_ = buildSkinnedColumn();
        host::setCurrentTime(11.0);
    }
    std::vector<std::vector<double>> trueWeights_;
};

}  // namespace

namespace {

// Runs the command on a storage node made from `settings` and returns its
// log with the numbers masked.
std::vector<std::string> maskedRunLog(const StorageSettings& settings) {
    createStorageNode("store", settings);
    const CommandRun run = runCommand(kCommand);
    EXPECT_EQ(run.status, MStatus::kSuccess);
    return masked(run.lines);
}

// A whole run's masked log around the lines of its iterations.
std::vector<std::string> runLog(const std::vector<std::string>& iterationLines) {
    std::vector<std::string> lines = {"Vantrel : available CPU = <n>, used = <n>", "Vantrel : Arguments Parsed"};
    lines.insert(lines.end(), iterationLines.begin(), iterationLines.end());
    lines.push_back("Vantrel : Setting Outputs");
    lines.push_back("Vantrel : TimeElapsed <x> sec");
    return lines;
}

}  // namespace

TEST_F(CommandRunTest, SingleIterationLog) {
    StorageSettings settings;
    settings.maxIteration = 1;
    EXPECT_EQ(maskedRunLog(settings), runLog({
                                          "Vantrel : Iteration 1 Solving Skinning",
                                          "Vantrel : Iteration 1 Error = <x>",
                                      }));
    EXPECT_EQ(host::getInt("store.iterationDone"), 1);
    EXPECT_DOUBLE_EQ(host::currentFrame(), 11.0);
}

TEST_F(CommandRunTest, ThreeIterationsWithoutBreakAndRestUpdate) {
    StorageSettings settings;
    settings.maxIteration = 3;
    settings.iterationFullSolver = 2;
    settings.updateRestMatrices = true;
    EXPECT_EQ(maskedRunLog(settings), runLog({
                                          "Vantrel : Iteration 1 Solving Skinning",
                                          "Vantrel : Iteration 1 Error = <x>",
                                          "Vantrel : bindingMatrices updated",
                                          "Vantrel : Iteration 2 Solving Bones",
                                          "Vantrel : Iteration 2 Solving Skinning",
                                          "Vantrel : Iteration 2 Error = <x>",
                                          "Vantrel : bindingMatrices updated",
                                          "Vantrel : Iteration 3 Solving Bones",
                                          "Vantrel : Iteration 3 Solving Skinning",
                                          "Vantrel : Iteration 3 Error = <x>",
                                      }));
    EXPECT_EQ(host::getInt("store.iterationDone"), 3);
}

TEST_F(CommandRunTest, BreakPrintsTheThresholdAfterTheFirstIteration) {
    StorageSettings settings;
    settings.maxIteration = 10;
    settings.errorPercentBreak = 5.0;
    createStorageNode("store", settings);
    const CommandRun run = runCommand(kCommand);
    ASSERT_EQ(run.status, MStatus::kSuccess);
    ASSERT_GE(run.lines.size(), 6u);
    EXPECT_EQ(run.lines[3].rfind("Vantrel : Iteration 1 Error = ", 0), 0u);
    EXPECT_EQ(run.lines[4], "Vantrel : Result not improved by 5 %, break");
    EXPECT_EQ(run.lines[5], "Vantrel : Setting Outputs");
    EXPECT_EQ(host::getInt("store.iterationDone"), 1);
    // The error written is the one printed.
    const std::string printed = run.lines[3].substr(run.lines[3].find("= ") + 2);
    EXPECT_NEAR(host::getDouble("store.error"), std::stod(printed), 1e-5 * std::fabs(std::stod(printed)) + 1e-12);
}

namespace {

// Adds starting joints k0..k2 moving at half the animation's pace and returns
// settings that start from them: the first weights fit them poorly, and the
// refitted bones of the second iteration lead to other influence lists.
StorageSettings startFromHalfPaceJoints(int maxIteration) {
    createAnimatedChain("k", 0.5);
    StorageSettings settings;
    settings.sourceJoints = {"k0", "k1", "k2"};
    settings.maxIteration = maxIteration;
    settings.iterationFullSolver = 2;
    return settings;
}

// The command's run reproduced step by step from the parsed storage node
// "store", for `iterations` iterations without a break.
DecompositionState solvedFromStorage(int iterations) {
    DecompositionState state;
    EXPECT_EQ(parseStorage(state), MStatus::kSuccess);
    runIterations(state, iterations);
    return state;
}

}  // namespace

TEST_F(CommandRunTest, BreakAtALaterIterationKeepsItsResult) {
    // One influence per vertex: the column's blended vertices cannot be
    // fitted exactly, and the error falls by less and less.
    StorageSettings settings;
    settings.maxIteration = 8;
    settings.maxInfluence = 1;
    createStorageNode("store", settings);
    const DecompositionState reference = solvedFromStorage(8);
    // A threshold below every improvement before iteration k + 1 and above
    // its own breaks there, after k + 1 iterations.
    const std::vector<double>& improvements = reference.solver.improvementHistory;
    size_t k = 1;
    double lowestBefore = improvements[0];
    for (; k < improvements.size() && improvements[k] >= lowestBefore; ++k)
        lowestBefore = std::min(lowestBefore, improvements[k]);
    ASSERT_LT(k, improvements.size());
    const double threshold = 0.5 * (improvements[k] + lowestBefore);
    ASSERT_GT(threshold, 0.0);

    SetUp();
    settings.errorPercentBreak = threshold;
    createStorageNode("store", settings);
    const CommandRun run = runCommand(kCommand);
    ASSERT_EQ(run.status, MStatus::kSuccess);
    std::ostringstream breakLine;
    breakLine << "Vantrel : Result not improved by " << threshold << " %, break";
    const auto at = std::find(run.lines.begin(), run.lines.end(), breakLine.str());
    ASSERT_TRUE(at != run.lines.end() && at != run.lines.begin() && at + 1 != run.lines.end()) << breakLine.str();
    EXPECT_EQ((at - 1)->rfind("Vantrel : Iteration " + std::to_string(k + 1) + " Error = ", 0), 0u);
    EXPECT_EQ(*(at + 1), "Vantrel : Setting Outputs");
    EXPECT_EQ(host::getInt("store.iterationDone"), static_cast<int>(k + 1));
    EXPECT_EQ(host::getDouble("store.error"), reference.solver.errorHistory[k]);
}

TEST_F(CommandRunTest, TheIndexIsRebuiltAfterEachIterationThatReselects) {
    // iterationFullSolver 2: the lists are chosen again in the second
    // iteration, and the bone step of the third must walk those new lists.
    createStorageNode("store", startFromHalfPaceJoints(4));
    const DecompositionState afterOne = solvedFromStorage(1);
    const DecompositionState afterTwo = solvedFromStorage(2);
    ASSERT_NE(afterOne.solver.vertexInfluences, afterTwo.solver.vertexInfluences);
    const DecompositionState reference = solvedFromStorage(4);

    ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_EQ(host::getInt("store.iterationDone"), 4);
    EXPECT_EQ(host::getDouble("store.error"), reference.solver.errorHistory.back());
    for (const auto& [id, weights] : reference.solver.vertexWeights)
        EXPECT_EQ(host::getDoubleArray("store.weights[" + std::to_string(id) + "]"), weights) << "vertex " << id;
}

TEST_F(CommandRunTest, AThreadLimitLastsOnlyForTheRun) {
    const int dynamicBefore = omp_get_dynamic();
    const int threadsBefore = omp_get_max_threads();
    omp_set_dynamic(1);
    omp_set_num_threads(3);
    host::setThreadCount(2);  // the run's own default
    StorageSettings settings;
    settings.maxCPU = 1;
    createStorageNode("store", settings);
    const CommandRun run = runCommand(kCommand);
    const int dynamicAfter = omp_get_dynamic();
    const int threadsAfter = omp_get_max_threads();
    omp_set_dynamic(dynamicBefore);
    omp_set_num_threads(threadsBefore);
    host::setThreadCount(0);

    ASSERT_EQ(run.status, MStatus::kSuccess);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.front(), "Vantrel : available CPU = 3, used = 1");
    // Dynamic adjustment back on, and the count found when parsing.
    EXPECT_EQ(dynamicAfter, 1);
    EXPECT_EQ(threadsAfter, 3);
}

TEST_F(CommandRunTest, WeightsLandAtTheVertexIdsAndOthersStay) {
    StorageSettings settings;
    settings.maxIteration = 1;
    settings.vertexIds = {7, 2};
    createStorageNode("store", settings);
    host::setIntArray("store.weightIds[20]", {9, 9});
    host::setDoubleArray("store.weights[20]", {0.5, 0.5});
    ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_EQ(host::elementIndices("store.weightIds"), (std::vector<unsigned>{2, 7, 20}));
    EXPECT_EQ(host::elementIndices("store.weights"), (std::vector<unsigned>{2, 7, 20}));
    EXPECT_EQ(host::getIntArray("store.weightIds[20]"), (std::vector<int>{9, 9}));
    for (int id : {7, 2}) {
        const std::vector<int> bones = host::getIntArray("store.weightIds[" + std::to_string(id) + "]");
        const std::vector<double> weights = host::getDoubleArray("store.weights[" + std::to_string(id) + "]");
        ASSERT_EQ(bones.size(), 2u);
        ASSERT_EQ(weights.size(), 2u);
        EXPECT_NEAR(weights[0] + weights[1], 1.0, 1e-12);
    }
}

TEST_F(CommandRunTest, RecoversTheRigThatMadeTheAnimation) {
    for (bool rigid : {true, false}) {
        SCOPED_TRACE(rigid ? "rigid" : "affine");
        SetUp();
        StorageSettings settings;
        settings.maxIteration = 4;
        settings.iterationFullSolver = 2;
        settings.rigidMatrices = rigid;
        createStorageNode("store", settings);
        ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
        EXPECT_LT(host::getDouble("store.error"), 1e-6);
        for (int v = 0; v < ColumnMesh().vertexCount(); ++v) {
            const std::vector<int> bones = host::getIntArray("store.weightIds[" + std::to_string(v) + "]");
            const std::vector<double> weights = host::getDoubleArray("store.weights[" + std::to_string(v) + "]");
            std::vector<double> solved(3, 0.0);
            for (size_t k = 0; k < bones.size(); ++k) solved[bones[k]] += weights[k];
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(solved[j], trueWeights_[v][j], 1e-6) << "vertex " << v;
        }
    }
}

namespace {

// Target joints t0 -> t1 -> t2 under a moving group, with rotation orders and
// joint orientations, and an existing curve driving t1.tx.
void buildTargets() {
    host::createTransform("group");
    host::setKey("group.tx", 1.0, 0.0);
    host::setKey("group.tx", 5.0, 4.0);
    host::setKey("group.rz", 1.0, 0.0);
    host::setKey("group.rz", 5.0, 0.7);
    host::createJoint("t0", "group", MTransformationMatrix::kZXY, MVector(0.1, 0.0, 0.3));
    host::createJoint("t1", "t0", MTransformationMatrix::kYXZ, MVector(0.0, -0.4, 0.2));
    host::createJoint("t2", "t1", MTransformationMatrix::kXYZ);
    host::setKey("t1.tx", 1.0, 3.0);
    host::setKey("t1.tx", 5.0, 6.0);
}

unsigned keyCount(const std::string& plug) {
    const std::string source = host::inputOf(plug);
    if (source.empty()) return 0;
    const MObject curve = host::nodeObject(source.substr(0, source.find('.')));
    return MFnAnimCurve(curve).numKeys();
}

}  // namespace

TEST_F(CommandRunTest, KeyedTargetsReproduceTheJointsInEitherListOrder) {
    // One iteration keeps the sampled joint matrices as the bone transforms,
    // so the targets must follow the source joints exactly.
    for (bool childFirst : {false, true}) {
        SCOPED_TRACE(childFirst ? "children listed first" : "parents listed first");
        SetUp();
        buildTargets();
        const std::string oldCurve = host::inputOf("t1.tx");
        StorageSettings settings;
        settings.maxIteration = 1;
        settings.setMatrices = true;
        settings.sourceJoints =
            childFirst ? std::vector<std::string>{"j2", "j1", "j0"} : std::vector<std::string>{"j0", "j1", "j2"};
        settings.targetJoints =
            childFirst ? std::vector<std::string>{"t2", "t1", "t0"} : std::vector<std::string>{"t0", "t1", "t2"};
        createStorageNode("store", settings);
        ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
        EXPECT_DOUBLE_EQ(host::currentFrame(), 11.0);

        EXPECT_NE(host::inputOf("t1.tx"), oldCurve);
        for (const char* joint : {"t0", "t1", "t2"}) {
            for (const char* channel : {"tx", "ty", "tz", "rx", "ry", "rz"})
                EXPECT_EQ(keyCount(std::string(joint) + "." + channel), 5u) << joint << "." << channel;
            EXPECT_EQ(keyCount(std::string(joint) + ".sx"), 0u);  // rigid: scale is not keyed
        }
        for (double frame = 1; frame <= 5; ++frame) {
            host::setCurrentTime(frame);
            for (int j = 0; j < 3; ++j) {
                const MMatrix expected = host::worldMatrix("j" + std::to_string(j));
                const MMatrix actual = host::worldMatrix("t" + std::to_string(j));
                EXPECT_TRUE(actual.isEquivalent(expected, 1e-9)) << "joint " << j << " frame " << frame;
            }
        }
    }
}

TEST_F(CommandRunTest, RigidKeysCutScaleAndShearAndHoldTheirRestValues) {
    struct RigidCase {
        const char* what;
        int maxIteration;
        bool rigidMatrices;
    };
    // A single iteration is rigid whatever rigidMatrices says.
    for (const RigidCase& c : {RigidCase{"rigid bones", 2, true}, RigidCase{"single iteration", 1, false}}) {
        SCOPED_TRACE(c.what);
        SetUp();
        buildTargets();
        host::setKey("t1.sx", 1.0, 1.5);
        host::setKey("t1.sx", 5.0, 3.0);
        host::setKey("t1.shxy", 1.0, 0.25);
        host::setKey("t1.shxy", 5.0, -0.5);
        StorageSettings settings;
        settings.maxIteration = c.maxIteration;
        settings.rigidMatrices = c.rigidMatrices;
        settings.setMatrices = true;
        settings.targetJoints = {"t0", "t1", "t2"};
        createStorageNode("store", settings);
        ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);

        for (const char* joint : {"t0", "t1", "t2"}) {
            const std::string prefix = std::string(joint) + ".";
            for (const char* channel : {"tx", "ty", "tz", "rx", "ry", "rz"})
                EXPECT_EQ(keyCount(prefix + channel), 5u) << joint << "." << channel;
            for (const char* channel : {"sx", "sy", "sz", "shxy", "shxz", "shyz"})
                EXPECT_EQ(host::inputOf(prefix + channel), "") << joint << "." << channel;
        }
        // Cut at the rest frame (1), the channels keep their values there.
        for (double frame : {1.0, 3.0, 5.0}) {
            host::setCurrentTime(frame);
            EXPECT_DOUBLE_EQ(host::getDouble("t1.sx"), 1.5) << "frame " << frame;
            EXPECT_DOUBLE_EQ(host::getDouble("t1.shxy"), 0.25) << "frame " << frame;
        }
    }
}

TEST_F(CommandRunTest, UndoKeepsResultsAndRedoRunsAgain) {
    StorageSettings settings;
    settings.maxIteration = 2;
    createStorageNode("store", settings);
    ASSERT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    const double error = host::getDouble("store.error");

    host::clearMessages();
    {
        StdoutCapture discarded;
        EXPECT_EQ(host::undo(), MStatus::kSuccess);
    }
    EXPECT_EQ(infoMessages(), std::vector<std::string>{"Vantrel : Undone\n"});
    EXPECT_DOUBLE_EQ(host::getDouble("store.error"), error);
    EXPECT_EQ(host::getInt("store.iterationDone"), 2);

    // Redo parses the storage node again and repeats the run.
    host::setInt("store.iterationDone", 0);
    std::string output;
    {
        StdoutCapture capture;
        EXPECT_EQ(host::redo(), MStatus::kSuccess);
        output = capture.text();
    }
    EXPECT_NE(output.find("Vantrel : Arguments Parsed"), std::string::npos);
    EXPECT_NE(output.find("Vantrel : Iteration 2 Solving Bones"), std::string::npos);
    EXPECT_EQ(host::getInt("store.iterationDone"), 2);
}

TEST_F(CommandRunTest, TheModuleUnloadsAndDeregisters) {
    EXPECT_TRUE(host::commandExists("vantrel"));
    EXPECT_EQ(host::unloadPlugin(pluginPath()), MStatus::kSuccess);
    EXPECT_FALSE(host::commandExists("vantrel"));
    EXPECT_NE(host::executeCommand(kCommand), MStatus::kSuccess);
    EXPECT_EQ(host::loadPlugin(pluginPath()), MStatus::kSuccess);
    EXPECT_TRUE(host::commandExists("vantrel"));
}
