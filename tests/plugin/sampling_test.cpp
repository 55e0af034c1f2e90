// Sampling the scene and seeding influences from a skin cluster.
#include <gtest/gtest.h>

#include <cmath>

#include <host/scene.h>
#include <host/session.h>
#include <maya/MBoundingBox.h>

#include "plugin_scene.h"

using namespace plugin_test;

namespace {

void expectSamePoints(const MPointArray& actual, const MPointArray& expected) {
    ASSERT_EQ(actual.length(), expected.length());
    for (unsigned int i = 0; i < actual.length(); ++i) EXPECT_TRUE(actual[i].isEquivalent(expected[i], 1e-12)) << i;
}

// World-space diagonal of the mesh's bounding box at the current time.
double worldDiagonal() {
    const MPointArray points = host::meshPoints("bodyShape", MSpace::kWorld);
    MBoundingBox box;
    for (unsigned int i = 0; i < points.length(); ++i) box.expand(points[i]);
    return (box.max() - box.min()).length();
}

}  // namespace

TEST(SceneSampling, FramesAreSampledRestFirstInListOrder) {
    buildSkinnedColumn();
    StorageSettings settings;
    settings.frames = {3, 5, 1, 2};
    createStorageNode("store", settings);
    host::setCurrentTime(9.0);

    DecompositionState state;
    ASSERT_EQ(parseStorage(state), MStatus::kSuccess);
    EXPECT_DOUBLE_EQ(state.savedTime.value(), 9.0);
    EXPECT_DOUBLE_EQ(host::currentFrame(), 2.0);  // left at the last sampled frame
    EXPECT_EQ(state.inputs.F, 3);
    EXPECT_DOUBLE_EQ(state.inputs.restFrame, 3.0);

    host::setCurrentTime(3.0);
    expectSamePoints(state.inputs.restPoints, host::meshPoints("bodyShape"));
    for (int j = 0; j < 3; ++j) {
        const std::string joint = "j" + std::to_string(j);
        EXPECT_TRUE(state.solver.bindingMatrices[j].isEquivalent(host::worldMatrix(joint).inverse(), 1e-12));
    }
    double diagonalSum = 0.0;
    const double frames[] = {5, 1, 2};
    for (int f = 0; f < 3; ++f) {
        host::setCurrentTime(frames[f]);
        expectSamePoints(state.inputs.shapePoints[f], host::meshPoints("bodyShape"));
        for (int j = 0; j < 3; ++j) {
            const std::string joint = "j" + std::to_string(j);
            EXPECT_TRUE(state.solver.boneTransforms[f][j].isEquivalent(host::worldMatrix(joint), 1e-12));
        }
        diagonalSum += worldDiagonal();
    }
    EXPECT_NEAR(state.inputs.diagonalSum, diagonalSum, 1e-12);
}

TEST(SceneSampling, AMeshMovedByItsTransformIsSampledInWorldSpace) {
    buildSkinnedColumn();
    // Unbind: a static mesh moved only by its transform.
    host::resetScene();
    host::setMessageEcho(false);
    host::createJoint("j0");
    host::createJoint("j1");
    host::createJoint("j2");
    host::createTransform("body");
    MPointArray points;
    points.append(MPoint(0, 0, 0));
    points.append(MPoint(1, 0, 0));
    points.append(MPoint(0, 2, 0));
    host::createMesh("bodyShape", "body", points, {{0, 1, 2}});
    host::setKey("body.tx", 1.0, 0.0);
    host::setKey("body.tx", 2.0, 10.0);
    host::setKey("body.sy", 1.0, 1.0);
    host::setKey("body.sy", 2.0, 3.0);
    StorageSettings settings;
    settings.frames = {1, 2};
    settings.vertexIds = {0, 1, 2};
    createStorageNode("store", settings);

    DecompositionState state;
    ASSERT_EQ(parseStorage(state), MStatus::kSuccess);
    EXPECT_TRUE(state.inputs.restPoints[1].isEquivalent(MPoint(1, 0, 0), 1e-12));
    EXPECT_TRUE(state.inputs.shapePoints[0][1].isEquivalent(MPoint(11, 0, 0), 1e-12));
    EXPECT_TRUE(state.inputs.shapePoints[0][2].isEquivalent(MPoint(10, 6, 0), 1e-12));
    // One shape: the diagonal of the 1 x 6 x 0 world box.
    EXPECT_NEAR(state.inputs.diagonalSum, std::sqrt(1.0 + 36.0), 1e-12);
}

namespace {

// Four joints and a cluster over them; vertex 0 is weighted 0.4, 0.3, 0.2,
// 0.1 by joints 3, 0, 1, 2, vertex 1 equally by joints 1 and 2. The sampled
// mesh "otherShape" is also instanced under "otherInstance"; "copyShape" is
// a second mesh with the same points. The cluster deforms `clusterGeometry`.
void buildSeedingScene(const std::string& clusterGeometry = "otherShape") {
    buildSkinnedColumn();
    host::createJoint("j3");
    host::createTransform("other");
    host::createTransform("otherInstance");
    host::createTransform("copy");
    MPointArray points;
    for (int i = 0; i < 3; ++i) points.append(MPoint(i, 0, 0));
    host::createMesh("otherShape", "other", points, {{0, 1, 2}});
    host::createMesh("copyShape", "copy", points, {{0, 1, 2}});
    host::instanceMesh("otherShape", "otherInstance");
    host::createSkinCluster("seedCluster", clusterGeometry, {"j0", "j1", "j2", "j3"});
    host::setSkinWeights("seedCluster", {{0.3, 0.2, 0.1, 0.4}, {0.0, 0.5, 0.5, 0.0}, {0.0, 0.0, 0.0, 1.0}});
}

StorageSettings seedingSettings() {
    StorageSettings settings;
    settings.sourceJoints = {"j0", "j1", "j2", "j3"};
    settings.shape = "otherShape";
    settings.existingSkinCluster = "seedCluster";
    settings.maxInfluence = 2;
    settings.maxIteration = 1;
    settings.vertexIds = {1, 0};
    return settings;
}

}  // namespace

TEST(SkinClusterSeeding, StrongestJointsFirstAndTiesToTheLargerIndex) {
    loadPluginOnce();
    // The cluster may report the sampled shape under another instance path,
    // or, as its only geometry, under a path of another shape.
    for (const char* clusterGeometry : {"otherShape", "otherInstance|otherShape", "copyShape"}) {
        SCOPED_TRACE(clusterGeometry);
        buildSeedingScene(clusterGeometry);
        createStorageNode("store", seedingSettings());
        DecompositionState state;
        ASSERT_EQ(parseStorage(state), MStatus::kSuccess);
        EXPECT_TRUE(errorMessages().empty());
        EXPECT_TRUE(state.inputs.useExistingSkinCluster);
        EXPECT_EQ(state.inputs.existingInfluences.at(0), (std::vector<int32_t>{3, 0}));
        EXPECT_EQ(state.inputs.existingInfluences.at(1), (std::vector<int32_t>{2, 1}));
        EXPECT_EQ(state.inputs.existingInfluences.count(2), 0u);
    }

    // The first iteration solves over exactly the seeded lists, which the
    // command writes back in their order.
    buildSeedingScene();
    createStorageNode("store", seedingSettings());
    ASSERT_EQ(runCommand("vantrel -sn store body").status, MStatus::kSuccess);
    EXPECT_EQ(host::getIntArray("store.weightIds[0]"), (std::vector<int>{3, 0}));
    EXPECT_EQ(host::getIntArray("store.weightIds[1]"), (std::vector<int>{2, 1}));
}

TEST(SkinClusterSeeding, EachFailureHasItsMessage) {
    loadPluginOnce();
    struct FailureCase {
        const char* what;
        void (*change)(StorageSettings&);
        const char* message;
    };
    const FailureCase cases[] = {
        {"fewer influences than joints",
         [](StorageSettings& s) {
             s.shape = "bodyShape";
             s.existingSkinCluster = "skinCluster1";
         },
         "inputs.J > numExisting_inf"},
        {"joint not an influence",
         [](StorageSettings& s) {
             s.sourceJoints = {"j0", "j1", "j2", "t9"};
         },
         "One (or more sourceJoints) is not in the existingSkinCluster_joints"},
        {"vertex without a source joint",
         [](StorageSettings& s) {
             s.sourceJoints = {"j0", "j1", "j2"};
             s.vertexIds = {0, 2};
         },
         "Each Vertex needs at least one influence, there's something wrong with the existingSkinCluster"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        buildSeedingScene();
        host::createJoint("t9");
        StorageSettings settings = seedingSettings();
        c.change(settings);
        createStorageNode("store", settings);
        host::setCurrentTime(8.0);
        host::clearMessages();
        EXPECT_EQ(runCommand("vantrel -sn store body").status, MStatus::kFailure);
        EXPECT_EQ(errorMessages(), std::vector<std::string>{c.message});
        EXPECT_DOUBLE_EQ(host::currentFrame(), 8.0);
    }
}
