// The storage node contract, through the loaded module as a host user runs
// it: each missing attribute and each failed check gives its one message and
// status, and a refused command leaves the scene as it found it.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <host/scene.h>
#include <host/session.h>
#include <maya/MStatus.h>

#include "plugin_scene.h"

using namespace plugin_test;

namespace {

const char* const kCommand = "vantrel -storageNode store body";

class StorageNodeContract : public testing::Test {
protected:
    void SetUp() override {
        loadPluginOnce();
        buildSkinnedColumn();
        host::createJoint("t0");
        host::createJoint("t1");
        host::createJoint("t2");
        host::setCurrentTime(7.0);
        host::clearMessages();
    }

    // Runs the command and checks it was refused with exactly `message` as
    // its only error, `status`, no output written and the time unchanged.
    void expectRefused(const std::string& message, MStatus::MStatusCode status, bool outputsAreArrays = true) {
        const CommandRun run = runCommand(kCommand);
        EXPECT_EQ(run.status, status) << message;
        EXPECT_EQ(errorMessages(), std::vector<std::string>{message});
        EXPECT_DOUBLE_EQ(host::currentFrame(), 7.0) << message;
        if (outputsAreArrays && host::hasAttribute("store", "weightIds")) {
            EXPECT_TRUE(host::elementIndices("store.weightIds").empty());
        }
        for (const std::string& line : run.lines) EXPECT_EQ(line.find("Solving"), std::string::npos) << line;
    }
};

struct MissingCase {
    const char* attribute;
    const char* message;
    MStatus::MStatusCode status;
};

// A missing attribute reports the host's own lookup status, except for the
// list attributes and setMatrices, which fail plainly.
const MissingCase kMissing[] = {
    {"frames", "Need attribute on storageNode : doubleArray 'frames'", MStatus::kFailure},
    {"sourceJoints", "Need attribute on storageNode : stringArray 'sourceJoints'", MStatus::kFailure},
    {"maxIteration", "Need attribute on storageNode : int 'maxIteration'", MStatus::kInvalidParameter},
    {"iterationFullSolver", "Need attribute on storageNode : int 'iterationFullSolver'", MStatus::kInvalidParameter},
    {"updateRestMatrices", "Need attribute on storageNode : bool 'updateRestMatrices'", MStatus::kInvalidParameter},
    {"rigidMatrices", "Need attribute on storageNode : bool 'rigidMatrices'", MStatus::kInvalidParameter},
    {"errorPercentBreak", "Need attribute on storageNode : double 'errorPercentBreak'", MStatus::kInvalidParameter},
    {"setMatrices", "Need attribute on storageNode : bool 'setMatrices'", MStatus::kFailure},
    {"targetJoints", "Need attribute on storageNode : stringArray 'targetJoints'", MStatus::kFailure},
    {"vertexIds", "Need attribute on storageNode : intArray 'vertexIds'", MStatus::kFailure},
    {"maxInfluence", "Need attribute on storageNode : int 'maxInfluence'", MStatus::kInvalidParameter},
    {"lagragian", "Need attribute on storageNode : double 'lagragian'", MStatus::kInvalidParameter},
    {"shape", "Need attribute on storageNode : string 'shape'", MStatus::kInvalidParameter},
    {"existingSkinCluster", "Need attribute on storageNode : string 'existingSkinCluster'", MStatus::kInvalidParameter},
    {"maxCPU", "Need attribute on storageNode : int 'maxCPU'", MStatus::kInvalidParameter},
    {"weightIds", "Need attribute on storageNode : intArray array 'weightIds'", MStatus::kInvalidParameter},
    {"weights", "Need attribute on storageNode : doubleArray array 'weights'", MStatus::kInvalidParameter},
    {"error", "Need attribute on storageNode : double 'error'", MStatus::kInvalidParameter},
    {"iterationDone", "Need attribute on storageNode : int 'iterationDone'", MStatus::kInvalidParameter},
};

}  // namespace

TEST_F(StorageNodeContract, EachMissingAttributeIsNamedWithItsStatus) {
    for (const MissingCase& missing : kMissing) {
        SCOPED_TRACE(missing.attribute);
        StorageSettings settings;
        settings.setMatrices = true;  // so targetJoints is read
        settings.targetJoints = {"t0", "t1", "t2"};
        SetUp();
        createStorageNode("store", settings, {missing.attribute});
        expectRefused(missing.message, missing.status);
    }
}

TEST_F(StorageNodeContract, EachFailedCheckShowsItsMessage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct CheckCase {
        const char* what;
        void (*change)(StorageSettings&);
        const char* message;
        MStatus::MStatusCode status;
    };
    static double badNumber;
    const CheckCase cases[] = {
        {"one frame", [](StorageSettings& s) { s.frames = {10}; }, "numFrame < 2,  need 1 restShape and 1+ shapes",
         MStatus::kFailure},
        {"frame twice",
         [](StorageSettings& s) {
             s.frames = {10, 20, 10};
         },
         "Duplicates found in Frames !", MStatus::kFailure},
        {"non-finite frame",
         [](StorageSettings& s) {
             s.frames = {1, badNumber};
         },
         "Frames must be finite numbers !", MStatus::kFailure},
        {"no joint", [](StorageSettings& s) { s.sourceJoints = {}; }, "num sourceJoint J < 1", MStatus::kFailure},
        {"joint twice",
         [](StorageSettings& s) {
             s.sourceJoints = {"j0", "j1", "j0"};
         },
         "Duplicates found in sourceJoints !", MStatus::kFailure},
        {"full solver past the limit", [](StorageSettings& s) { s.iterationFullSolver = 4; },
         "iterationFullSolver > maxIteration, bad", MStatus::kFailure},
        {"target count",
         [](StorageSettings& s) {
             s.setMatrices = true;
             s.targetJoints = {"t0", "t1"};
         },
         "num targetJoint != num sourceJoint", MStatus::kFailure},
        {"target twice",
         [](StorageSettings& s) {
             s.setMatrices = true;
             s.targetJoints = {"t0", "t1", "t0"};
         },
         "Duplicates found in targetJoints !", MStatus::kFailure},
        {"vertex twice",
         [](StorageSettings& s) {
             s.vertexIds = {3, 1, 3};
         },
         "Duplicates found in vertexIds !", MStatus::kFailure},
        {"no influence", [](StorageSettings& s) { s.maxInfluence = 0; }, "maxInfluence < 1 || maxInfluence > J ",
         MStatus::kInvalidParameter},
        {"more influences than joints", [](StorageSettings& s) { s.maxInfluence = 4; },
         "maxInfluence < 1 || maxInfluence > J ", MStatus::kInvalidParameter},
        {"zero lagragian", [](StorageSettings& s) { s.constraintWeight = 0.0; }, "lagragian <= .0", MStatus::kFailure},
        {"negative lagragian", [](StorageSettings& s) { s.constraintWeight = -1.0; }, "lagragian <= .0",
         MStatus::kFailure},
        {"non-finite lagragian", [](StorageSettings& s) { s.constraintWeight = badNumber; }, "lagragian <= .0",
         MStatus::kFailure},
        {"vertex outside the mesh",
         [](StorageSettings& s) {
             s.vertexIds = {0, 30};
         },
         "Vertex id 30 is outside the mesh (30 vertices)", MStatus::kFailure},
        {"negative vertex id", [](StorageSettings& s) { s.vertexIds = {-1}; },
         "Vertex id -1 is outside the mesh (30 vertices)", MStatus::kFailure},
    };
    for (double bad : {nan, inf}) {
        badNumber = bad;
        for (const CheckCase& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " with " + std::to_string(bad));
            SetUp();
            StorageSettings settings;
            c.change(settings);
            createStorageNode("store", settings);
            expectRefused(c.message, c.status);
        }
    }
}

TEST_F(StorageNodeContract, EmptyVertexListAndNonArrayOutputsAreRefused) {
    createStorageNode("store", StorageSettings(), {"vertexIds"});
    host::addAttribute("store", "vertexIds", host::AttributeType::IntArray);
    host::setIntArray("store.vertexIds", {});
    expectRefused("Used numVertex V <= 0", MStatus::kFailure);

    SetUp();
    createStorageNode("store", StorageSettings(), {}, /*plainOutputs=*/true);
    expectRefused("weightIds attribute must be .setArray( true )", MStatus::kFailure, false);

    SetUp();
    createStorageNode("store", StorageSettings(), {"weights"});
    host::addAttribute("store", "weights", host::AttributeType::DoubleArray, /*isArray=*/false);
    expectRefused("weights attribute must be .setArray( true )", MStatus::kFailure);
}

TEST_F(StorageNodeContract, NodeLookupsReportAsInformation) {
    // No flag: nothing is shown at all.
    createStorageNode("store", StorageSettings());
    CommandRun run = runCommand("vantrel body");
    EXPECT_EQ(run.status, MStatus::kNotFound);
    EXPECT_TRUE(host::messages().empty());

    run = runCommand("vantrel -sn nowhere body");
    EXPECT_EQ(run.status, MStatus::kUnknownParameter);
    EXPECT_EQ(infoMessages(), std::vector<std::string>{"Node does not exist : nowhere"});
    EXPECT_TRUE(errorMessages().empty());

    for (const auto& [shape, message, status] :
         {std::tuple<std::string, std::string, MStatus::MStatusCode>{"nothing", "Node does not exist : nothing",
                                                                     MStatus::kUnknownParameter},
          {"body", "Node must have specified Fn, check this : body", MStatus::kFailure}}) {
        SetUp();
        StorageSettings settings;
        settings.shape = shape;
        createStorageNode("store", settings);
        run = runCommand(kCommand);
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(infoMessages(), std::vector<std::string>{message});
        EXPECT_DOUBLE_EQ(host::currentFrame(), 7.0);
    }
}

TEST_F(StorageNodeContract, UnresolvedJointsStopTheCommand) {
    // Source and target joints alike: the lookup names the joint, and the
    // command ends before sampling, solving or keying anything.
    for (bool target : {false, true}) {
        SCOPED_TRACE(target ? "target joint" : "source joint");
        SetUp();
        StorageSettings settings;
        settings.setMatrices = true;
        settings.targetJoints = {"t0", "t1", "t2"};
        (target ? settings.targetJoints : settings.sourceJoints)[1] = "ghost";
        createStorageNode("store", settings);
        const CommandRun run = runCommand(kCommand);
        EXPECT_EQ(run.status, MStatus::kFailure);
        EXPECT_EQ(errorMessages(), (std::vector<std::string>{"Node does not exist : ghost",
                                                             "Node must have specified Fn, check this : ghost"}));
        EXPECT_EQ(run.lines, std::vector<std::string>{});
        EXPECT_DOUBLE_EQ(host::currentFrame(), 7.0);
        EXPECT_TRUE(host::elementIndices("store.weightIds").empty());
        for (const char* joint : {"t0", "t2"}) EXPECT_EQ(host::inputOf(std::string(joint) + ".tx"), "") << joint;
    }

    // A named skin cluster that does not exist ends the command as well.
    SetUp();
    StorageSettings settings;
    settings.existingSkinCluster = "noSuchCluster";
    createStorageNode("store", settings);
    const CommandRun run = runCommand(kCommand);
    EXPECT_EQ(run.status, MStatus::kFailure);
    EXPECT_EQ(infoMessages(), std::vector<std::string>{"Node does not exist : noSuchCluster"});
    EXPECT_DOUBLE_EQ(host::currentFrame(), 7.0);
}

TEST_F(StorageNodeContract, LenientSettingsAreAccepted) {
    // A single iteration needs none of the iteration settings.
    StorageSettings settings;
    settings.maxIteration = 1;
    createStorageNode("store", settings,
                      {"iterationFullSolver", "updateRestMatrices", "rigidMatrices", "errorPercentBreak"});
    EXPECT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_EQ(host::getInt("store.iterationDone"), 1);

    // iterationFullSolver below 1 is reported and kept; the run goes on.
    SetUp();
    settings = StorageSettings();
    settings.maxIteration = 2;
    settings.iterationFullSolver = 0;
    createStorageNode("store", settings);
    EXPECT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_EQ(errorMessages(), std::vector<std::string>{"iterationFullSolver <= 0, it must be >= 1"});
    EXPECT_EQ(host::getInt("store.iterationDone"), 2);

    // maxIteration 0 means 1000, so iterationFullSolver 1000 is in range; the
    // break percent above 1 ends the run after its first iteration.
    SetUp();
    settings = StorageSettings();
    settings.maxIteration = 0;
    settings.iterationFullSolver = 1000;
    settings.errorPercentBreak = 5.0;
    createStorageNode("store", settings);
    EXPECT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_EQ(host::getInt("store.iterationDone"), 1);

    // maxInfluence = J, unsorted frames and no target joints when not keying.
    SetUp();
    settings = StorageSettings();
    settings.maxInfluence = 3;
    settings.frames = {5, 1, 3};
    createStorageNode("store", settings, {"targetJoints"});
    EXPECT_EQ(runCommand(kCommand).status, MStatus::kSuccess);
    EXPECT_TRUE(errorMessages().empty());
}

TEST_F(StorageNodeContract, CpuLineShowsTheThreadRule) {
    const int threadsBefore = omp_get_max_threads();
    // With 4 threads available: maxCPU from 1 to 3 limits them, any other
    // value leaves all 4 in use.
    for (const auto& [maxCPU, line] :
         std::vector<std::pair<int, std::string>>{{0, "Vantrel : available CPU = 4, used = 4"},
                                                  {-2, "Vantrel : available CPU = 4, used = 4"},
                                                  {1, "Vantrel : available CPU = 4, used = 1"},
                                                  {3, "Vantrel : available CPU = 4, used = 3"},
                                                  {4, "Vantrel : available CPU = 4, used = 4"},
                                                  {64, "Vantrel : available CPU = 4, used = 4"}}) {
        SetUp();
        StorageSettings settings;
        settings.maxIteration = 1;
        settings.maxCPU = maxCPU;
        createStorageNode("store", settings);
        omp_set_num_threads(4);
        const CommandRun run = runCommand(kCommand);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.front(), line) << "maxCPU " << maxCPU;
    }
    omp_set_num_threads(threadsBefore);
}
