// The smaller API objects and the builder's refusals: argument parsing,
// bounding boxes, compound connections, curves made through a modifier, time,
// and misuse of the builder that must leave the scene unchanged.
#include <host/scene_file.h>
#include <maya/MAnimControl.h>
#include <maya/MArgDatabase.h>
#include <maya/MBoundingBox.h>
#include <maya/MDGModifier.h>
#include <maya/MDagPath.h>
#include <maya/MDagPathArray.h>
#include <maya/MDoubleArray.h>
#include <maya/MFnAnimCurve.h>
#include <maya/MFnDagNode.h>
#include <maya/MFnMesh.h>
#include <maya/MFnSkinCluster.h>
#include <maya/MSelectionList.h>

#include "host_test_fixture.h"
#include "reference_matrices.h"

namespace {

MArgList words(std::initializer_list<const char*> list) {
    MArgList args;
    for (const char* word : list) args.addArg(word);
    return args;
}

MSyntax exampleSyntax() {
    MSyntax syntax;
    EXPECT_TRUE(syntax.addFlag("sn", "storageNode", MSyntax::kString));
    EXPECT_TRUE(syntax.addFlag("-r", "-range", MSyntax::kDouble, MSyntax::kDouble));
    EXPECT_TRUE(syntax.addFlag("u", "unsigned", MSyntax::kUnsigned));
    EXPECT_TRUE(syntax.addFlag("q", "quiet"));
    syntax.setMinObjects(1);
    syntax.setMaxObjects(1);
    return syntax;
}

}  // namespace

TEST(ArgumentParsing, FlagsByEitherNameWithTypedArguments) {
    MStatus status;
    const MArgDatabase parser(exampleSyntax(), words({"-storageNode", "store", "-r", "-1.5", "2", "-q", "-7"}),
                              &status);
    ASSERT_TRUE(status) << parser.errorText();
    for (const char* name : {"sn", "-sn", "storageNode", "-storageNode"}) EXPECT_TRUE(parser.isFlagSet(name)) << name;
    EXPECT_TRUE(parser.isFlagSet("quiet"));
    EXPECT_FALSE(parser.isFlagSet("u"));
    MString node;
    EXPECT_TRUE(parser.getFlagArgument("sn", 0, node));
    EXPECT_EQ(node, "store");
    double low = 0, high = 0;
    EXPECT_TRUE(parser.getFlagArgument("range", 0, low));
    EXPECT_TRUE(parser.getFlagArgument("-r", 1, high));
    EXPECT_EQ(low, -1.5);
    EXPECT_EQ(high, 2.0);
    EXPECT_EQ(parser.getFlagArgument("range", 2, low), MS::kInvalidParameter);
    EXPECT_EQ(parser.getFlagArgument("u", 0, node), MS::kInvalidParameter);  // not given
    int asInt = 0;
    EXPECT_EQ(parser.getFlagArgument("sn", 0, asInt), MS::kInvalidParameter);  // "store" is no number
    // A dash and a digit make a number, not a flag.
    MStringArray objects;
    parser.getObjects(objects);
    ASSERT_EQ(objects.length(), 1u);
    EXPECT_EQ(objects[0], "-7");

    MSyntax syntax = exampleSyntax();
    EXPECT_EQ(syntax.addFlag("sn", "other"), MS::kInvalidParameter);
    EXPECT_EQ(syntax.addFlag("x", "storageNode"), MS::kInvalidParameter);
    const MArgParser negative(syntax, words({"-u", "-3", "obj"}), &status);
    EXPECT_EQ(status, MS::kInvalidParameter);
    EXPECT_EQ(negative.errorText(), "Flag '-u' expects an unsigned integer, not '-3'");
    EXPECT_FALSE(negative.isFlagSet("u"));

    const MArgList list = words({"12", "0.5", "on", "x"});
    EXPECT_EQ(list.asInt(0), 12);
    EXPECT_EQ(list.asDouble(1), 0.5);
    EXPECT_TRUE(list.asBool(2));
    list.asInt(3, &status);
    EXPECT_EQ(status, MS::kInvalidParameter);
    list.asString(4, &status);
    EXPECT_EQ(status, MS::kInvalidParameter);
}

TEST(BoundingBox, TransformKeepsTheBoxOfTheCorners) {
    MBoundingBox box;
    EXPECT_TRUE(box.isEmpty());
    box.transformUsing(reference::translation(5, 5, 5));
    EXPECT_TRUE(box.isEmpty());
    box.expand(MPoint(1, 0, 0));
    box.expand(MPoint(-1, 2, 1));
    EXPECT_EQ(box.min(), MPoint(-1, 0, 0));
    EXPECT_EQ(box.max(), MPoint(1, 2, 1));
    EXPECT_EQ(box.center(), MPoint(0, 1, 0.5));
    // An eighth turn about z widens the box to the corners' extent.
    box.transformUsing(reference::rotation('z', M_PI / 4) * reference::translation(10, 0, 0));
    const double r = std::sqrt(0.5);
    EXPECT_NEAR(box.min().x, 10 - 3 * r, 1e-12);
    EXPECT_NEAR(box.max().x, 10 + r, 1e-12);
    EXPECT_NEAR(box.min().y, -r, 1e-12);
    EXPECT_NEAR(box.max().y, 3 * r, 1e-12);
    EXPECT_NEAR(box.depth(), 1.0, 1e-12);
}

using ApiObjects = HostTest;

TEST_F(ApiObjects, CompoundConnectionsFeedEveryChild) {
    host::createTransform("driver");
    host::createTransform("follower");
    host::connect("driver.t", "follower.translate");
    host::setDouble("driver.ty", 2.0);
    host::setKey("driver.tx", 0.0, 0.0);
    host::setKey("driver.tx", 10.0, 10.0);
    host::setCurrentTime(5.0);
    EXPECT_EQ(host::getDouble("follower.tx"), 5.0);
    EXPECT_TRUE(host::worldMatrix("follower") == reference::translation(5, 2, 0));
    EXPECT_THROW(host::setDouble("follower.ty", 1.0), host::Error);  // fed through its parent
    EXPECT_THROW(host::connect("driver.t", "follower.t"), host::Error);
    EXPECT_THROW(host::connect("driver.t", "follower.tx"), host::Error);   // compound into a number
    EXPECT_THROW(host::connect("driver.tx", "follower.tz"), host::Error);  // fed through its parent

    host::disconnect("driver.t", "follower.t");
    host::setCurrentTime(10.0);
    EXPECT_EQ(host::getDouble("follower.tx"), 5.0);  // kept from the moment of the cut
    EXPECT_EQ(host::getDouble("follower.ty"), 2.0);
    EXPECT_EQ(host::getDouble("driver.tx"), 10.0);
    EXPECT_THROW(host::disconnect("driver.t", "follower.t"), host::Error);
}

TEST_F(ApiObjects, CurvesCreatedThroughAModifierConnectAtDoIt) {
    host::createJoint("elbow");
    MFnDependencyNode elbow(host::nodeObject("elbow"));
    MDGModifier modifier;
    MFnAnimCurve rotation;
    MStatus status;
    rotation.create(elbow.findPlug("rz", true), &modifier, &status);
    ASSERT_TRUE(status);
    rotation.addKey(MTime(0.0), 1.0);
    EXPECT_FALSE(elbow.findPlug("rz", true).isConnected());
    EXPECT_EQ(host::getDouble("elbow.rz"), 0.0);
    ASSERT_TRUE(modifier.doIt());
    EXPECT_EQ(host::getDouble("elbow.rz"), 1.0);
    EXPECT_EQ(rotation.animCurveType(), MFnAnimCurve::kAnimCurveTA);
    EXPECT_EQ(MFnAnimCurve(elbow.findPlug("rz", true)).name(), rotation.name());
    EXPECT_EQ(rotation.name(), "elbow_rotateZ");
    // Curves are typed by what they drive: angles, distances.
    host::setKey("elbow.tx", 0.0, 1.0);
    EXPECT_EQ(MFnAnimCurve(elbow.findPlug("tx", true)).animCurveType(), MFnAnimCurve::kAnimCurveTL);
    ASSERT_TRUE(modifier.undoIt());
    EXPECT_FALSE(elbow.findPlug("rz", true).isConnected());
}

TEST_F(ApiObjects, TimeIsKeptInItsUnitAndReadInTheUiUnit) {
    host::createJoint("j");
    host::setKey("j.tx", 24.0, 1.0);  // one second in film
    host::setKey("j.tx", 48.0, 3.0);
    host::setTimeUnit(MTime::kNTSCFrame);
    MAnimControl::setCurrentTime(MTime(45.0, MTime::kNTSCFrame));  // 1.5 s
    EXPECT_DOUBLE_EQ(host::getDouble("j.tx"), 2.0);
    EXPECT_EQ(MAnimControl::currentTime().unit(), MTime::kNTSCFrame);
    EXPECT_DOUBLE_EQ(MAnimControl::currentTime().as(MTime::kFilm), 36.0);
    EXPECT_EQ(MAnimControl::setCurrentTime(MTime(1.0, MTime::kInvalid)), MS::kInvalidParameter);
    EXPECT_DOUBLE_EQ(host::currentFrame(), 45.0);
    EXPECT_TRUE(MTime(1.0, MTime::kSeconds) < MTime(25.0, MTime::kFilm));
    // Keys given as frames use the UI unit of the moment.
    host::setKey("j.ty", 30.0, 4.0);  // 1 s
    host::setKey("j.ty", 60.0, 8.0);  // 2 s
    host::setTimeUnit(MTime::kFilm);
    host::setCurrentTime(36.0);  // 1.5 s
    EXPECT_DOUBLE_EQ(host::getDouble("j.ty"), 6.0);
}

TEST_F(ApiObjects, DagQueries) {
    host::createTransform("a");
    host::createTransform("b", "a");
    host::createJoint("c", "b");
    MDagPath c;
    ASSERT_TRUE(MDagPath::getAPathTo(host::nodeObject("c"), c));
    EXPECT_EQ(c.length(), 3u);
    EXPECT_EQ(c.fullPathName(), "|a|b|c");
    EXPECT_EQ(c.partialPathName(), "c");
    EXPECT_TRUE(c.hasFn(MFn::kJoint));
    MFnDagNode b(host::nodeObject("b"));
    EXPECT_EQ(b.childCount(), 1u);
    EXPECT_TRUE(b.child(0) == host::nodeObject("c"));
    EXPECT_TRUE(b.parent(0) == host::nodeObject("a"));
    MStatus status;
    b.parent(1, &status);
    EXPECT_EQ(status, MS::kInvalidParameter);
    EXPECT_EQ(MDagPath::getAPathTo(MObject(), c), MS::kInvalidParameter);
    host::createNode("plain");
    MSelectionList list;
    list.add("plain");
    MDagPath none;
    EXPECT_EQ(list.getDagPath(0, none), MS::kInvalidParameter);
    EXPECT_FALSE(none.isValid());
}

TEST_F(ApiObjects, AnInstancedMeshHasOnePathPerParent) {
    host::createTransform("a");
    host::createTransform("b");
    host::setDouble("b.tx", 5.0);
    MPointArray points;
    points.append(MPoint(1, 0, 0));
    host::createMesh("m", "a", points, {});
    host::instanceMesh("m", "b");
    EXPECT_THROW(host::instanceMesh("m", "b"), host::Error);
    EXPECT_THROW(host::instanceMesh("m", "a"), host::Error);

    host::createJoint("j");
    EXPECT_THROW(host::createSkinCluster("skin", "j|m", {"j"}), host::Error);
    host::createSkinCluster("skin", "b|m", {"j"});
    host::setSkinWeights("skin", {{1.0}});
    MDagPathArray influences;
    MFnSkinCluster skin(host::nodeObject("skin"));
    skin.influenceObjects(influences);
    MSelectionList affected;
    MDoubleArray weights;
    ASSERT_TRUE(skin.getPointsAffectedByInfluence(influences[0], affected, weights));
    MDagPath viaB;
    ASSERT_TRUE(affected.getDagPath(0, viaB));
    MDagPath viaA;
    ASSERT_TRUE(MFnDagNode(host::nodeObject("m")).getPath(viaA));

    EXPECT_NE(viaA, viaB);
    EXPECT_TRUE(viaA.node() == viaB.node());
    EXPECT_EQ(viaA.fullPathName(), "|a|m");
    EXPECT_EQ(viaB.fullPathName(), "|b|m");
    EXPECT_EQ(viaB.length(), 2u);
    EXPECT_TRUE(viaB.transform() == host::nodeObject("b"));
    EXPECT_DOUBLE_EQ(viaB.inclusiveMatrix()[3][0], 5.0);
    EXPECT_DOUBLE_EQ(viaB.exclusiveMatrix()[3][0], 5.0);
    EXPECT_DOUBLE_EQ(viaA.inclusiveMatrix()[3][0], 0.0);
    MFnDagNode mesh(host::nodeObject("m"));
    EXPECT_EQ(mesh.parentCount(), 2u);
    EXPECT_TRUE(mesh.parent(1) == host::nodeObject("b"));
    EXPECT_TRUE(MFnDagNode(host::nodeObject("b")).child(0) == host::nodeObject("m"));
    MPointArray world;
    MFnMesh(viaB).getPoints(world, MSpace::kWorld);
    EXPECT_TRUE(world[0].isEquivalent(MPoint(6, 0, 0), 1e-12));
    // A scene file keeps one parent per DAG node.
    EXPECT_THROW(host::saveScene(testing::TempDir() + "instanced_scene.json"), host::Error);
}

TEST_F(ApiObjects, BuilderRefusesMisuseAndChangesNothing) {
    host::createNode("store");
    host::addAttribute("store", "count", host::AttributeType::Int);
    host::createTransform("xf");
    const auto namesBefore = host::nodeNames();

    EXPECT_THROW(host::createNode("store"), host::Error);
    for (const char* bad : {"", "a.b", "a|b", "a b", "w[0]", "q\"q"})
        EXPECT_THROW(host::createNode(bad), host::Error) << bad;
    EXPECT_THROW(host::createTransform("child", "missing"), host::Error);
    EXPECT_THROW(host::createTransform("child", "store"), host::Error);
    EXPECT_THROW(host::createMesh("m", "", MPointArray(), {}), host::Error);
    EXPECT_THROW(host::createMesh("m", "xf", MPointArray(3, MPoint()), {{0, 1}}), host::Error);
    EXPECT_THROW(host::createJoint("j", "", MTransformationMatrix::kLast), host::Error);
    EXPECT_THROW(host::createSkinCluster("s", "xf", {"xf"}), host::Error);
    EXPECT_EQ(host::nodeNames(), namesBefore);

    EXPECT_THROW(host::setInt("store.nothing", 1), host::Error);
    EXPECT_THROW(host::setInt("store.count[1]", 1), host::Error);  // not an array
    EXPECT_THROW(host::setInt("store.count[x]", 1), host::Error);
    EXPECT_THROW(host::setInt("store", 1), host::Error);
    EXPECT_THROW(host::setString("store.count", "3"), host::Error);
    EXPECT_THROW(host::getString("store.count"), host::Error);
    EXPECT_TRUE(host::elementIndices("store.count").empty());
    EXPECT_THROW(host::worldMatrix("store"), host::Error);
    EXPECT_THROW(host::setTimeUnit(MTime::kInvalid), host::Error);
    EXPECT_EQ(host::getInt("store.count"), 0);

    host::connect("xf.tx", "store.count");
    EXPECT_THROW(host::setKey("store.count", 1.0, 2.0), host::Error);  // driven by a transform
    EXPECT_EQ(host::inputOf("store.count"), "xf.tx");
    host::setDouble("xf.tx", 3.9);
    EXPECT_EQ(host::getInt("store.count"), 3);
}
