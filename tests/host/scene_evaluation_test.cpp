// Evaluation of the scene at the current time: keyed joint hierarchies, meshes
// under moving transforms, skin clusters, point caches, curves and the graph
// edits the plug-in makes.
#include <cmath>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include <maya/MAnimControl.h>
#include <maya/MBoundingBox.h>
#include <maya/MDGModifier.h>
#include <maya/MDagPath.h>
#include <maya/MFnAnimCurve.h>
#include <maya/MFnDagNode.h>
#include <maya/MFnDoubleArrayData.h>
#include <maya/MFnIntArrayData.h>
#include <maya/MFnMesh.h>
#include <maya/MFnSingleIndexedComponent.h>
#include <maya/MFnSkinCluster.h>
#include <maya/MFnTransform.h>
#include <maya/MGlobal.h>
#include <maya/MPlugArray.h>
#include <maya/MSelectionList.h>
#include <maya/MThreadUtils.h>

#include "host_test_fixture.h"
#include "matrix_checks.h"
#include "reference_matrices.h"

namespace {

MDagPath pathOf(const char* name) {
    MSelectionList list;
    EXPECT_TRUE(list.add(name));
    MDagPath path;
    EXPECT_TRUE(list.getDagPath(0, path));
    return path;
}

MPointArray cubePoints() {
    MPointArray points;
    for (int i = 0; i < 8; ++i) points.append(MPoint(i & 1 ? 1.0 : -1.0, i & 2 ? 2.0 : -2.0, i & 4 ? 0.5 : -0.5));
    return points;
}

const std::vector<std::vector<int>> kCubeFaces = {{0, 1, 3, 2}, {4, 6, 7, 5}, {0, 4, 5, 1},
                                                  {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 5, 7, 3}};

// Linear between (t0, v0) and (t1, v1), held outside.
double keyed(double t, double t0, double v0, double t1, double v1) {
    if (t <= t0) return v0;
    if (t >= t1) return v1;
    return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
}

}  // namespace

using SceneEvaluation = HostTest;

TEST_F(SceneEvaluation, KeyedJointHierarchyGivesWorldMatricesAtEveryTime) {
    host::createJoint("hip", "", MTransformationMatrix::kYZX, MVector(0.1, 0.2, -0.3));
    host::createJoint("knee", "hip", MTransformationMatrix::kZXY, MVector(0.0, 0.5, 0.0));
    host::createJoint("ankle", "knee", MTransformationMatrix::kZYX);
    host::setDouble("hip.tx", 1.0);
    host::setDouble("hip.sy", 2.0);
    host::setDouble("knee.ty", 3.0);
    host::setDouble("knee.shxy", 0.25);
    host::setDouble("ankle.tz", -1.5);
    host::setKey("hip.rx", 0.0, 0.0);
    host::setKey("hip.rx", 10.0, 1.0);
    host::setKey("knee.rz", 0.0, -0.5);
    host::setKey("knee.rz", 20.0, 1.5);
    host::setKey("knee.tx", 10.0, 2.0);
    host::setKey("knee.tx", 20.0, 4.0);
    host::setKey("ankle.ry", 5.0, 0.7);
    host::setKey("ankle.ry", 15.0, -0.7);

    const MDagPath hip = pathOf("hip"), knee = pathOf("knee"), ankle = pathOf("ankle");
    EXPECT_EQ(MFnTransform(knee).rotationOrder(), MTransformationMatrix::kZXY);
    for (double frame : {-5.0, 0.0, 2.5, 5.0, 10.0, 12.0, 15.0, 20.0, 30.0}) {
        ASSERT_TRUE(MAnimControl::setCurrentTime(MTime(frame, MTime::uiUnit())));
        const MMatrix hipLocal = reference::scale(1, 2, 1) * reference::euler("yzx", keyed(frame, 0, 0, 10, 1), 0, 0) *
                                 reference::euler("xyz", 0.1, 0.2, -0.3) * reference::translation(1, 0, 0);
        const MMatrix kneeLocal =
            reference::shear(0.25, 0, 0) * reference::euler("zxy", 0, 0, keyed(frame, 0, -0.5, 20, 1.5)) *
            reference::euler("xyz", 0, 0.5, 0) * reference::translation(keyed(frame, 10, 2, 20, 4), 3, 0);
        const MMatrix ankleLocal =
            reference::euler("zyx", 0, keyed(frame, 5, 0.7, 15, -0.7), 0) * reference::translation(0, 0, -1.5);
        const MMatrix hipWorld = hipLocal;
        const MMatrix kneeWorld = kneeLocal * hipWorld;
        const MMatrix ankleWorld = ankleLocal * kneeWorld;
        EXPECT_TRUE(matricesNear(hip.inclusiveMatrix(), hipWorld)) << "frame " << frame;
        EXPECT_TRUE(matricesNear(knee.inclusiveMatrix(), kneeWorld)) << "frame " << frame;
        EXPECT_TRUE(matricesNear(ankle.inclusiveMatrix(), ankleWorld)) << "frame " << frame;
        EXPECT_TRUE(matricesNear(ankle.exclusiveMatrix(), kneeWorld)) << "frame " << frame;
        EXPECT_TRUE(matricesNear(ankle.inclusiveMatrixInverse() * ankleWorld, MMatrix())) << "frame " << frame;
        EXPECT_TRUE(matricesNear(host::worldMatrix("ankle"), ankleWorld));
    }
}

TEST_F(SceneEvaluation, MeshUnderAMovingTransformFollowsIt) {
    host::createTransform("box");
    host::createMesh("boxShape", "box", cubePoints(), kCubeFaces);
    host::setKey("box.tx", 0.0, 0.0);
    host::setKey("box.tx", 10.0, 5.0);
    host::setKey("box.ry", 0.0, 0.0);
    host::setKey("box.ry", 10.0, M_PI / 2);
    host::setDouble("box.sz", 3.0);

    const MDagPath shape = pathOf("boxShape");
    MFnMesh mesh(shape);
    EXPECT_EQ(mesh.numVertices(), 8);
    EXPECT_EQ(mesh.numPolygons(), 6);
    for (double frame : {0.0, 5.0, 10.0}) {
        host::setCurrentTime(frame);
        const MMatrix world = reference::scale(1, 1, 3) *
                              reference::euler("xyz", 0, keyed(frame, 0, 0, 10, M_PI / 2), 0) *
                              reference::translation(keyed(frame, 0, 0, 10, 5), 0, 0);
        EXPECT_TRUE(matricesNear(shape.inclusiveMatrix(), world));
        MPointArray points;
        ASSERT_TRUE(mesh.getPoints(points, MSpace::kWorld));
        ASSERT_EQ(points.length(), 8u);
        MBoundingBox expected;
        for (unsigned v = 0; v < 8; ++v) {
            const MPoint p = cubePoints()[v] * world;
            EXPECT_NEAR(points[v].x, p.x, 1e-12);
            EXPECT_NEAR(points[v].y, p.y, 1e-12);
            EXPECT_NEAR(points[v].z, p.z, 1e-12);
            expected.expand(p);
        }
        // The node's box is in object space; moved to world it is the box of
        // the world points (the mesh's points are its box's corners).
        MBoundingBox box = MFnDagNode(shape.node()).boundingBox();
        EXPECT_NEAR(box.min().x, -1, 1e-12);
        EXPECT_NEAR(box.max().y, 2, 1e-12);
        box.transformUsing(shape.inclusiveMatrix());
        EXPECT_TRUE(box.min().isEquivalent(expected.min(), 1e-12));
        EXPECT_TRUE(box.max().isEquivalent(expected.max(), 1e-12));
    }
    // World space needs the path: a mesh function set made from the node
    // alone cannot say where the mesh is.
    MPointArray points;
    EXPECT_EQ(MFnMesh(shape.node()).getPoints(points, MSpace::kWorld), MS::kInvalidParameter);
    EXPECT_TRUE(MFnMesh(shape.node()).getPoints(points, MSpace::kObject));
    MDagPath viaNode;
    EXPECT_TRUE(MFnMesh(shape.node()).getPath(viaNode));
    EXPECT_EQ(viaNode, shape);
    EXPECT_EQ(points[7], cubePoints()[7]);
}

TEST_F(SceneEvaluation, SkinnedMeshDeformsByLinearBlendSkinning) {
    host::createJoint("root");
    host::createJoint("tip", "root");
    host::setDouble("tip.tx", 2.0);
    host::createTransform("body");
    host::setDouble("body.ty", 1.0);  // the skinned mesh need not sit at the origin
    MPointArray rest;
    for (int i = 0; i < 4; ++i) rest.append(MPoint(i, 0.5, 0));
    host::createMesh("bodyShape", "body", rest, {{0, 1, 2, 3}});
    host::createSkinCluster("skin", "bodyShape", {"root", "tip"});
    host::setSkinWeights("skin", {{1.0, 0.0}, {0.75, 0.25}, {0.25, 0.75}, {0.0, 1.0}});
    host::setKey("root.rz", 0.0, 0.0);
    host::setKey("root.rz", 10.0, 0.8);
    host::setKey("tip.ry", 0.0, 0.0);
    host::setKey("tip.ry", 10.0, -0.6);
    host::setKey("body.tx", 0.0, 0.0);
    host::setKey("body.tx", 10.0, 3.0);  // moving the mesh's transform moves nothing

    const MMatrix bindBody = reference::translation(0, 1, 0);
    const MMatrix bindRoot = MMatrix(), bindTip = reference::translation(2, 0, 0);
    const MDagPath shape = pathOf("bodyShape");
    for (double frame : {0.0, 4.0, 10.0}) {
        host::setCurrentTime(frame);
        const MMatrix rootWorld = reference::euler("xyz", 0, 0, keyed(frame, 0, 0, 10, 0.8));
        const MMatrix tipWorld =
            reference::euler("xyz", 0, keyed(frame, 0, 0, 10, -0.6), 0) * reference::translation(2, 0, 0) * rootWorld;
        MPointArray points;
        ASSERT_TRUE(MFnMesh(shape).getPoints(points, MSpace::kWorld));
        const double weights[4][2] = {{1, 0}, {0.75, 0.25}, {0.25, 0.75}, {0, 1}};
        for (unsigned v = 0; v < 4; ++v) {
            const MPoint p = rest[v] * bindBody;
            const MPoint a = p * bindRoot.inverse() * rootWorld, b = p * bindTip.inverse() * tipWorld;
            const MPoint expected(weights[v][0] * a.x + weights[v][1] * b.x, weights[v][0] * a.y + weights[v][1] * b.y,
                                  weights[v][0] * a.z + weights[v][1] * b.z);
            EXPECT_TRUE(points[v].isEquivalent(expected, 1e-9)) << "frame " << frame << " vertex " << v;
        }
    }

    MFnSkinCluster skin(host::nodeObject("skin"));
    MDagPathArray influences;
    EXPECT_EQ(skin.influenceObjects(influences), 2u);
    EXPECT_EQ(influences[0], pathOf("root"));
    EXPECT_EQ(influences[1].fullPathName(), "|root|tip");

    // The affected points: one item, the deformed mesh and its vertex ids with
    // non-zero weight, and the weights in the same order.
    MSelectionList affected;
    MDoubleArray weights;
    ASSERT_TRUE(skin.getPointsAffectedByInfluence(pathOf("tip"), affected, weights));
    ASSERT_EQ(affected.length(), 1u);
    MDagPath meshPath;
    MObject component;
    ASSERT_TRUE(affected.getDagPath(0, meshPath, component));
    EXPECT_EQ(meshPath, shape);
    EXPECT_TRUE(component.hasFn(MFn::kSingleIndexedComponent));
    MIntArray ids;
    ASSERT_TRUE(MFnSingleIndexedComponent(component).getElements(ids));
    EXPECT_EQ(ids.items(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(weights.items(), (std::vector<double>{0.25, 0.75, 1.0}));

    host::setSkinWeights("skin", 3, {1.0, 0.0});
    host::setSkinWeights("skin", 2, {1.0, 0.0});
    host::setSkinWeights("skin", 1, {1.0, 0.0});
    ASSERT_TRUE(skin.getPointsAffectedByInfluence(pathOf("tip"), affected, weights));
    EXPECT_EQ(affected.length(), 0u);
    EXPECT_EQ(weights.length(), 0u);
    EXPECT_EQ(skin.getPointsAffectedByInfluence(pathOf("body"), affected, weights), MS::kInvalidParameter);
    EXPECT_THROW(host::setSkinWeights("skin", 0, {1.0}), host::Error);
    EXPECT_THROW(host::setPointCache("bodyShape", {}), host::Error);
}

TEST_F(SceneEvaluation, PointCacheInterpolatesBetweenFramesAndHoldsOutside) {
    host::createTransform("cloth");
    MPointArray a, b, c;
    a.append(MPoint(0, 0, 0));
    b.append(MPoint(2, 4, 0));
    c.append(MPoint(2, 4, 8));
    host::createMesh("clothShape", "cloth", a, {});
    host::setPointCache("clothShape", {a, b, c}, 10.0);  // frames 10, 11, 12 in film
    const auto at = [](double frame) {
        host::setCurrentTime(frame);
        return host::meshPoints("clothShape")[0];
    };
    EXPECT_EQ(at(10.0), MPoint(0, 0, 0));
    EXPECT_EQ(at(10.25), MPoint(0.5, 1, 0));
    EXPECT_EQ(at(11.0), MPoint(2, 4, 0));
    EXPECT_EQ(at(11.5), MPoint(2, 4, 4));
    EXPECT_EQ(at(-3.0), MPoint(0, 0, 0));
    EXPECT_EQ(at(99.0), MPoint(2, 4, 8));
    // Frame times belong to the cache's unit, whatever the UI unit becomes:
    // 0.4375 s is film frame 10.5.
    host::setTimeUnit(MTime::kNTSCFrame);
    host::setCurrentTime(MTime(0.4375, MTime::kSeconds));
    EXPECT_TRUE(host::meshPoints("clothShape")[0].isEquivalent(MPoint(1, 2, 0), 1e-12));
    EXPECT_EQ(MAnimControl::currentTime().unit(), MTime::kNTSCFrame);
    EXPECT_NEAR(MAnimControl::currentTime().value(), 13.125, 1e-12);
    EXPECT_THROW(host::setPointCache("clothShape", {a, MPointArray()}), host::Error);
}

TEST_F(SceneEvaluation, CurvesDriveChannelsAtTheCurrentTime) {
    host::createJoint("arm");
    MFnDependencyNode arm(host::nodeObject("arm"));
    MPlug tx = arm.findPlug("tx", true);
    MFnAnimCurve curve;
    MStatus status;
    const MObject curveNode = curve.create(tx, nullptr, &status);
    ASSERT_TRUE(status);
    EXPECT_TRUE(curveNode.hasFn(MFn::kAnimCurve));
    EXPECT_EQ(curve.addKey(MTime(20.0, MTime::kFilm), 4.0), 0u);
    EXPECT_EQ(curve.addKey(MTime(10.0, MTime::kFilm), 2.0, MFnAnimCurve::kTangentGlobal, MFnAnimCurve::kTangentGlobal),
              0u);
    EXPECT_EQ(curve.addKey(MTime(30.0, MTime::kFilm), -2.0), 2u);
    EXPECT_EQ(curve.numKeys(), 3u);
    EXPECT_EQ(host::inputOf("arm.tx"), curve.name().asChar() + std::string(".output"));

    const double expected[][2] = {{0, 2}, {10, 2}, {15, 3}, {20, 4}, {25, 1}, {30, -2}, {40, -2}};
    for (const auto& [frame, value] : expected) {
        MAnimControl::setCurrentTime(MTime(frame, MTime::kFilm));
        EXPECT_DOUBLE_EQ(tx.asDouble(), value) << "frame " << frame;
        EXPECT_DOUBLE_EQ(host::worldMatrix("arm")[3][0], value);
        EXPECT_DOUBLE_EQ(curve.evaluate(MTime(frame, MTime::kFilm)), value);
    }
    // A second curve cannot take a channel that already has an input, and a
    // driven channel cannot be set directly.
    MFnAnimCurve second;
    second.create(tx, nullptr, &status);
    EXPECT_EQ(status, MS::kInvalidParameter);
    EXPECT_FALSE(tx.setDouble(1.0));
    EXPECT_THROW(host::setDouble("arm.tx", 1.0), host::Error);
}

TEST_F(SceneEvaluation, QueuedDisconnectionsWaitForDoItAndKeepTheCurrentValue) {
    host::createJoint("leg");
    host::setKey("leg.ty", 0.0, 1.0);
    host::setKey("leg.ty", 10.0, 3.0);
    host::setCurrentTime(5.0);
    MFnDependencyNode leg(host::nodeObject("leg"));
    MPlug ty = leg.findPlug("translateY", true);
    MPlugArray sources;
    ASSERT_TRUE(ty.connectedTo(sources, true, false));
    ASSERT_EQ(sources.length(), 1u);
    EXPECT_FALSE(leg.findPlug("tz", true).connectedTo(sources, true, false));
    EXPECT_EQ(sources.length(), 0u);
    ASSERT_TRUE(ty.connectedTo(sources, true, false));

    MDGModifier modifier;
    ASSERT_TRUE(modifier.disconnect(sources[0], ty));
    EXPECT_TRUE(ty.isConnected());  // only queued so far
    ASSERT_TRUE(modifier.doIt());
    EXPECT_FALSE(ty.isConnected());
    host::setCurrentTime(10.0);
    EXPECT_DOUBLE_EQ(ty.asDouble(), 2.0);  // held at the value of frame 5
    EXPECT_TRUE(modifier.undoIt());
    EXPECT_DOUBLE_EQ(ty.asDouble(), 3.0);
    // Disconnecting what is not connected fails at doIt.
    MDGModifier stale;
    stale.disconnect(leg.findPlug("tx", true), ty);
    EXPECT_FALSE(stale.doIt());
}

TEST_F(SceneEvaluation, DynamicAttributesAndArrayElements) {
    host::createNode("store");
    host::addAttribute("store", "frames", host::AttributeType::DoubleArray);
    host::addAttribute("store", "count", host::AttributeType::Int);
    host::addAttribute("store", "flag", host::AttributeType::Bool);
    host::addAttribute("store", "shape", host::AttributeType::String);
    host::addAttribute("store", "weightIds", host::AttributeType::IntArray, true);
    host::addAttribute("store", "weights", host::AttributeType::DoubleArray, true);
    host::addAttribute("store", "error", host::AttributeType::Double);
    MFnDependencyNode store(host::nodeObject("store"));

    MStatus status;
    store.findPlug("missing", true, &status);
    EXPECT_TRUE(status.error());
    MPlug frames = store.findPlug("frames", true, &status);
    ASSERT_TRUE(status);
    // An unset data attribute reads as empty data of its type.
    MFnDoubleArrayData empty(frames.asMObject(), &status);
    ASSERT_TRUE(status);
    EXPECT_EQ(empty.array().length(), 0u);
    host::setDoubleArray("store.frames", {1.5, -2.0});
    EXPECT_EQ(MFnDoubleArrayData(frames.asMObject()).array().items(), (std::vector<double>{1.5, -2.0}));
    EXPECT_FALSE(MFnIntArrayData(frames.asMObject(), &status).array().length());
    EXPECT_EQ(status, MS::kInvalidParameter);

    MPlug weightIds = store.findPlug("weightIds", true);
    EXPECT_TRUE(weightIds.isArray());
    EXPECT_FALSE(frames.isArray());
    EXPECT_EQ(weightIds.numElements(), 0u);
    MFnIntArrayData idData;
    MIntArray ids;
    ids.append(3);
    ids.append(0);
    MObject idObject = idData.create(ids);
    EXPECT_TRUE(weightIds.elementByLogicalIndex(7).setMObject(idObject));
    EXPECT_TRUE(weightIds.elementByLogicalIndex(2).setMObject(idObject));
    EXPECT_EQ(weightIds.numElements(), 2u);
    EXPECT_EQ(weightIds.elementByPhysicalIndex(1).logicalIndex(), 7u);
    EXPECT_EQ(host::elementIndices("store.weightIds"), (std::vector<unsigned>{2, 7}));
    EXPECT_EQ(host::getIntArray("store.weightIds[7]"), (std::vector<int>{3, 0}));
    // The array plug itself holds no value; the wrong data type is refused.
    EXPECT_FALSE(weightIds.setMObject(idObject));
    MFnDoubleArrayData doubleData;
    MObject doubleObject = doubleData.create(MDoubleArray(2, 0.5));
    EXPECT_EQ(weightIds.elementByLogicalIndex(1).setMObject(doubleObject), MS::kInvalidParameter);
    EXPECT_TRUE(frames.elementByLogicalIndex(0, &status).isNull());
    EXPECT_TRUE(status.error());

    // Numbers convert between int, bool and double; strings do not.
    MPlug count = store.findPlug("count", true);
    EXPECT_TRUE(count.setDouble(4.75));
    EXPECT_EQ(count.asInt(), 4);
    EXPECT_TRUE(store.findPlug("flag", true).setInt(2));
    EXPECT_TRUE(host::getBool("store.flag"));
    EXPECT_EQ(store.findPlug("shape", true).setInt(1), MS::kInvalidParameter);
    store.findPlug("shape", true).asDouble(&status);
    EXPECT_EQ(status, MS::kInvalidParameter);
    host::setString("store.shape", "bodyShape");
    EXPECT_EQ(store.findPlug("shape", true).asString(), "bodyShape");

    EXPECT_FALSE(count.isKeyable());
    count.setKeyable(true);
    EXPECT_TRUE(host::isKeyable("store.count"));
    EXPECT_THROW(host::addAttribute("store", "count", host::AttributeType::Int), host::Error);
}

TEST_F(SceneEvaluation, NamesPathsAndFunctionSetTypes) {
    host::createNode("store");
    host::createTransform("rig");
    host::createJoint("spine", "rig");
    host::createMesh("spineShape", "spine", cubePoints(), kCubeFaces);
    host::createSkinCluster("spineSkin", "spineShape", {"spine"});

    MSelectionList list;
    EXPECT_EQ(list.add("nothing"), MS::kInvalidParameter);
    EXPECT_EQ(list.add("|spine"), MS::kInvalidParameter);  // not under the world
    EXPECT_TRUE(list.add("|rig|spine"));
    EXPECT_TRUE(list.add("spine|spineShape"));
    EXPECT_TRUE(list.add("store"));
    EXPECT_EQ(list.length(), 3u);
    MDagPath spine, shape;
    EXPECT_TRUE(list.getDagPath(0, spine));
    EXPECT_TRUE(list.getDagPath(1, shape));
    EXPECT_EQ(spine, pathOf("spine"));
    EXPECT_NE(spine, shape);
    EXPECT_EQ(shape.fullPathName(), "|rig|spine|spineShape");
    EXPECT_TRUE(shape.transform() == spine.node());
    MDagPath none;
    EXPECT_EQ(list.getDagPath(2, none), MS::kInvalidParameter);

    struct Expectation {
        const char* node;
        std::vector<MFn::Type> has, hasNot;
    };
    const Expectation expectations[] = {
        {"store", {MFn::kBase, MFn::kDependencyNode}, {MFn::kDagNode, MFn::kJoint, MFn::kMesh}},
        {"rig", {MFn::kBase, MFn::kDagNode, MFn::kTransform}, {MFn::kJoint}},
        {"spine", {MFn::kBase, MFn::kDagNode, MFn::kTransform, MFn::kJoint}, {MFn::kMesh}},
        {"spineShape", {MFn::kBase, MFn::kDagNode, MFn::kMesh}, {MFn::kTransform, MFn::kJoint}},
        {"spineSkin", {MFn::kBase, MFn::kDependencyNode, MFn::kSkinClusterFilter}, {MFn::kDagNode}},
    };
    for (const auto& expectation : expectations) {
        const MObject object = host::nodeObject(expectation.node);
        for (MFn::Type type : expectation.has) EXPECT_TRUE(object.hasFn(type)) << expectation.node << " " << type;
        for (MFn::Type type : expectation.hasNot) EXPECT_FALSE(object.hasFn(type)) << expectation.node << " " << type;
    }
    EXPECT_EQ(MFn::kJoint, 110);
    EXPECT_EQ(MFn::kMesh, 295);
    EXPECT_EQ(MFn::kSkinClusterFilter, 672);

    // The world is the parent of root nodes; its path has identity matrices.
    // An empty path answers identity too, but with a failing status.
    MStatus status;
    const MObject world = MFnDagNode(host::nodeObject("rig")).parent(0, &status);
    ASSERT_TRUE(status);
    EXPECT_TRUE(world.hasFn(MFn::kWorld));
    MDagPath worldPath;
    ASSERT_TRUE(MFnDagNode(world).getPath(worldPath));
    EXPECT_TRUE(worldPath.inclusiveMatrixInverse(&status) == MMatrix());
    EXPECT_TRUE(status);
    EXPECT_TRUE(MDagPath().inclusiveMatrix(&status) == MMatrix());
    EXPECT_TRUE(status.error());
    MFnMesh notAMesh(host::nodeObject("spine"), &status);
    EXPECT_EQ(status, MS::kInvalidParameter);

    // Handles to nodes of a scene that was reset reach nothing.
    const MObject old = host::nodeObject("store");
    host::resetScene();
    host::createNode("store");
    MFnDependencyNode(old).name(&status);
    EXPECT_TRUE(status.error());
    EXPECT_FALSE(old == host::nodeObject("store"));
}

TEST_F(SceneEvaluation, MessagesAndThreadSetting) {
    host::setMessageEcho(true);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    MGlobal::displayError("Duplicates found in Frames !");
    MGlobal::displayWarning("careful");
    MGlobal::displayInfo("Vantrel : Undone\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "// Error: Duplicates found in Frames !\n// Warning: careful\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Vantrel : Undone\n");
    const auto log = host::messages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, host::MessageKind::Error);
    EXPECT_EQ(log[0].text, "Duplicates found in Frames !");
    EXPECT_EQ(log[1].kind, host::MessageKind::Warning);
    EXPECT_EQ(log[2].kind, host::MessageKind::Info);
    EXPECT_EQ(log[2].text, "Vantrel : Undone\n");
    host::clearMessages();
    EXPECT_TRUE(host::messages().empty());

    EXPECT_GE(MThreadUtils::getNumThreads(), 1);
    host::setThreadCount(3);
    EXPECT_EQ(MThreadUtils::getNumThreads(), 3);
}

TEST_F(SceneEvaluation, PointFramesHoldFloatsOnlyWhenEveryValueIsOneAndGiveBackTheSameDoubles) {
    // 0.1 is not a float: the whole store turns to doubles at the frame that
    // holds it, and the frames stored as floats before it keep their values.
    std::vector<std::vector<double>> exact = {{0.5, -2.0, 1e6, -0.0, 3.25, 7.0}, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}};
    std::vector<std::vector<double>> mixed = exact;
    mixed.push_back({0.1, 0.0, 0.0, 1.0, 1.0, 1.0});
    const std::vector<std::vector<double>> exactCopy = exact, mixedCopy = mixed;

    const host::PointFrames floats(std::move(exact));
    EXPECT_TRUE(floats.holdsFloats());
    EXPECT_EQ(floats.bytes(), 12u * sizeof(float));
    const host::PointFrames doubles(std::move(mixed));
    EXPECT_FALSE(doubles.holdsFloats());
    EXPECT_EQ(doubles.bytes(), 18u * sizeof(double));
    // The source frames are released, their count kept.
    // NOLINTBEGIN(bugprone-use-after-move): the moved-from frames are what is checked
    ASSERT_EQ(exact.size(), 2u);
    EXPECT_TRUE(exact[0].empty() && exact[1].empty());
    EXPECT_TRUE(mixed[2].empty());
    // NOLINTEND(bugprone-use-after-move)

    for (const auto& [store, source] : {std::make_pair(&floats, &exactCopy), std::make_pair(&doubles, &mixedCopy)}) {
        ASSERT_EQ(store->frameCount(), source->size());
        ASSERT_EQ(store->pointCount(), 2u);
        for (size_t f = 0; f < source->size(); ++f) {
            const std::vector<double> back = store->frame(f);
            ASSERT_EQ(back.size(), 6u);
            for (size_t i = 0; i < 6; ++i) {
                EXPECT_EQ(back[i], (*source)[f][i]);
                EXPECT_EQ(std::signbit(back[i]), std::signbit((*source)[f][i]));  // -0.0 stays -0.0
            }
            EXPECT_EQ(store->point(f, 1), MPoint((*source)[f][3], (*source)[f][4], (*source)[f][5]));
        }
    }
    std::vector<std::vector<double>> ragged = {{1, 2, 3}, {1, 2, 3, 4, 5, 6}};
    EXPECT_THROW(host::PointFrames{std::move(ragged)}, host::Error);
    std::vector<std::vector<double>> partial = {{1, 2}};
    EXPECT_THROW(host::PointFrames{std::move(partial)}, host::Error);
}

TEST_F(SceneEvaluation, PointFramesKeptInAFileGiveBackTheSameValues) {
    // 20 frames of 3,001 points: frames span several pages and share pages
    // at their ends, so giving back one frame's pages must not lose its
    // neighbours' values.
    const size_t frameCount = 20, values = 3 * 3001;
    std::vector<std::vector<double>> source(frameCount, std::vector<double>(values));
    for (size_t f = 0; f < frameCount; ++f)
        for (size_t i = 0; i < values; ++i) source[f][i] = static_cast<float>(0.25 * f - 1e-3 * i);
    std::vector<std::vector<double>> moved = source;
    auto store = std::make_unique<host::PointFrames>(std::move(moved));
    const size_t bytes = store->bytes();
    ASSERT_TRUE(store->keepInFile(std::filesystem::temp_directory_path().string()));
    EXPECT_TRUE(store->inFile());
    EXPECT_FALSE(store->keepInFile(std::filesystem::temp_directory_path().string()));  // once
    EXPECT_EQ(store->bytes(), bytes);
    // A copy shares the file and outlives the original.
    const host::PointFrames copy = *store;
    store.reset();
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t f : {size_t{3}, size_t{2}, size_t{4}, size_t{0}, size_t{19}}) {
            EXPECT_EQ(copy.frame(f), source[f]) << "frame " << f;
            const std::vector<MPoint> points = copy.framePoints(f);
            EXPECT_EQ(points[1000], MPoint(source[f][3000], source[f][3001], source[f][3002]));
            EXPECT_EQ(copy.value(f, values - 1), source[f][values - 1]);
        }
        copy.releaseResident();
    }

    // Doubles stay in memory, and so does anything when the folder is
    // unusable.
    std::vector<std::vector<double>> tenths = {{0.1, 0.2, 0.3}};
    host::PointFrames doubles(std::move(tenths));
    EXPECT_FALSE(doubles.keepInFile(std::filesystem::temp_directory_path().string()));
    EXPECT_FALSE(doubles.inFile());
    std::vector<std::vector<double>> halves = {{0.5, 1.5, 2.5}};
    host::PointFrames floats(std::move(halves));
    EXPECT_FALSE(floats.keepInFile("/nonexistent-folder/below"));
    EXPECT_FALSE(floats.inFile());
    EXPECT_EQ(floats.frame(0), (std::vector<double>{0.5, 1.5, 2.5}));
}

TEST_F(SceneEvaluation, ASharedPointCacheServesTheSamePointsAsACopiedOne) {
    // Frames of float-exact and of double-only values, through both builders:
    // every time, on and between frames, gives identical points.
    const std::vector<std::vector<double>> frames = {
        {0, 0, 0, 1, 2, 3}, {0.25, -1, 4, 1.5, 2, 3}, {0.1, 0.2, 0.3, 1e-3, 2, 3}};
    std::vector<MPointArray> arrays;
    for (const auto& frame : frames) {
        MPointArray points;
        points.append(MPoint(frame[0], frame[1], frame[2]));
        points.append(MPoint(frame[3], frame[4], frame[5]));
        arrays.push_back(points);
    }
    host::createTransform("copied");
    host::createMesh("copiedShape", "copied", arrays[0], {});
    host::setPointCache("copiedShape", arrays, 1.0);
    host::createTransform("shared");
    host::createMesh("sharedShape", "shared", arrays[0], {});
    std::vector<std::vector<double>> source = frames;
    auto positions = std::make_shared<const host::PointFrames>(std::move(source));
    host::setSharedPointCache("sharedShape", positions, 1.0);
    EXPECT_EQ(positions.use_count(), 2);  // the scene holds the same store, no copy
    for (double frame : {0.0, 1.0, 1.5, 2.0, 2.75, 3.0, 9.0}) {
        host::setCurrentTime(frame);
        const MPointArray copied = host::meshPoints("copiedShape"), shared = host::meshPoints("sharedShape");
        ASSERT_EQ(copied.length(), 2u);
        ASSERT_EQ(shared.length(), 2u);
        for (unsigned p = 0; p < 2; ++p) {
            EXPECT_EQ(copied[p], shared[p]) << "frame " << frame << ", point " << p;
            EXPECT_EQ(shared[p].w, 1.0);
        }
    }
    host::setCurrentTime(3.0);
    EXPECT_EQ(host::meshPoints("sharedShape")[0], MPoint(0.1, 0.2, 0.3));
    // A store of another point count, or with a non-finite value, is refused.
    std::vector<std::vector<double>> three = {{0, 0, 0, 1, 1, 1, 2, 2, 2}};
    EXPECT_THROW(host::setSharedPointCache("sharedShape", std::make_shared<const host::PointFrames>(std::move(three))),
                 host::Error);
    std::vector<std::vector<double>> infinite = {{0, 0, 0, 1, HUGE_VAL, 1}};
    EXPECT_THROW(
        host::setSharedPointCache("sharedShape", std::make_shared<const host::PointFrames>(std::move(infinite))),
        host::Error);
    host::setCurrentTime(3.0);
    EXPECT_EQ(host::meshPoints("sharedShape")[0], MPoint(0.1, 0.2, 0.3));  // unchanged by the refusals
}
