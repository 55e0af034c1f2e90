// Scene files: a saved and reloaded scene evaluates identically; malformed
// files are refused with the place of the fault and change nothing.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <maya/MFnTransform.h>
#include <maya/MPlug.h>

#include <host/scene_file.h>

#include "host_test_fixture.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class SceneFile : public HostTest {
protected:
    void TearDown() override {
        std::remove(path_.c_str());
        HostTest::TearDown();
    }

    // A scene with something of everything the builder makes.
    static void buildScene() {
        host::setTimeUnit(MTime::kNTSCFrame);
        host::createNode("store");
        host::addAttribute("store", "frames", host::AttributeType::DoubleArray);
        host::addAttribute("store", "sourceJoints", host::AttributeType::StringArray);
        host::addAttribute("store", "vertexIds", host::AttributeType::IntArray);
        host::addAttribute("store", "maxIteration", host::AttributeType::Int);
        host::addAttribute("store", "rigidMatrices", host::AttributeType::Bool);
        host::addAttribute("store", "lagragian", host::AttributeType::Double);
        host::addAttribute("store", "shape", host::AttributeType::String);
        host::addAttribute("store", "weightIds", host::AttributeType::IntArray, true);
        host::addAttribute("store", "weights", host::AttributeType::DoubleArray, true);
        host::addAttribute("store", "names", host::AttributeType::String, true);
        host::setDoubleArray("store.frames", {0.1, 1.0 / 3.0, -1e-300, 6.02214076e23});
        host::setStringArray("store.sourceJoints", {"hip", "knee", "with \"quotes\" and \\ é"});
        host::setIntArray("store.vertexIds", {7, 2, -2147483647 - 1});
        host::setInt("store.maxIteration", 12);
        host::setBool("store.rigidMatrices", true);
        host::setDouble("store.lagragian", std::nextafter(1.0, 2.0));
        host::setString("store.shape", "bodyShape");
        host::setIntArray("store.weightIds[7]", {1, 0});
        host::setDoubleArray("store.weights[7]", {0.7, 0.3});
        host::setDoubleArray("store.weights[2]", {});
        host::setString("store.names[4294967295]", "last");
        host::setKeyable("store.lagragian", true);

        host::createJoint("hip", "", MTransformationMatrix::kZXY, MVector(0.1, -0.2, 0.3));
        host::createJoint("knee", "hip", MTransformationMatrix::kYXZ);
        host::setDouble("knee.ty", -4.25);
        host::setDouble("knee.shyz", 0.125);
        host::setKeyable("knee.shyz", true);
        host::setKey("hip.rx", 0.0, 0.0);
        host::setKey("hip.rx", 10.0, 0.9);
        host::setKey("hip.tz", 3.0, 1.0 / 7.0);
        host::setKey("knee.rz", 5.0, -0.4);
        host::setKey("knee.rz", 12.0, 0.6);
        host::setKey("knee.shyz", 12.0, 0.5);
        host::connect("knee.rz", "hip.ry");  // a plain connection between channels

        host::createTransform("body");
        host::setDouble("body.tx", 0.5);
        MPointArray rest;
        for (int i = 0; i < 5; ++i) rest.append(MPoint(0.1 * i, i * i / 3.0, -i));
        host::createMesh("bodyShape", "body", rest, {{0, 1, 2}, {2, 3, 4, 0}});
        host::createSkinCluster("skin", "bodyShape", {"hip", "knee"});
        host::setSkinWeights("skin", {{1, 0}, {0.6, 0.4}, {0.5, 0.5}, {0.2, 0.8}, {0, 1}});
        MMatrix bindPre;
        bindPre[3][1] = 4.25 + 1e-12;
        host::setBindPreMatrix("skin", 1, bindPre);

        host::createTransform("cloth", "body");
        MPointArray a, b;
        a.append(MPoint(0, 0, 0));
        a.append(MPoint(1, 1, 1));
        b.append(MPoint(0.3, 0, 0));
        b.append(MPoint(1, 2.5, 1));
        host::createMesh("clothShape", "cloth", a, {});
        host::setPointCache("clothShape", {a, b, a}, 4.0, MTime::kFilm);
        host::setCurrentTime(7.0);
    }

    // Everything the scene evaluates to at one time, in a fixed order.
    static std::vector<double> evaluation(double frame) {
        host::setCurrentTime(frame);
        std::vector<double> values;
        for (const char* node : {"hip", "knee", "body", "bodyShape", "cloth", "clothShape"}) {
            const MMatrix m = host::worldMatrix(node);
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) values.push_back(m[r][c]);
        }
        for (const char* mesh : {"bodyShape", "clothShape"}) {
            const MPointArray points = host::meshPoints(mesh);
            for (unsigned v = 0; v < points.length(); ++v)
                values.insert(values.end(), {points[v].x, points[v].y, points[v].z});
        }
        for (const char* channel : {"hip.rx", "hip.ry", "hip.tz", "knee.rz", "knee.shyz", "knee.ty"})
            values.push_back(host::getDouble(channel));
        return values;
    }

    static std::vector<std::vector<double>> evaluationAtEveryKey() {
        std::vector<std::vector<double>> all;
        for (double frame : {-2.0, 0.0, 3.0, 4.5, 5.0, 7.0, 10.0, 12.0, 20.0}) all.push_back(evaluation(frame));
        return all;
    }

    const std::string path_ = "/tmp/vantrel_scene_file_test_" + std::to_string(getpid()) + ".json";
};

}  // namespace

TEST_F(SceneFile, SavedSceneLoadsBackLosslessly) {
    buildScene();
    host::saveScene(path_);
    const auto before = evaluationAtEveryKey();
    host::setCurrentTime(7.0);
    const std::string saved = readFile(path_);

    host::resetScene();
    host::createNode("leftover");
    host::loadScene(path_);
    EXPECT_FALSE(host::nodeExists("leftover"));
    EXPECT_EQ(host::timeUnit(), MTime::kNTSCFrame);
    EXPECT_EQ(host::currentFrame(), 7.0);
    EXPECT_EQ(evaluationAtEveryKey(), before);  // bit for bit

    // Values, elements, flags and connections come back as they were.
    EXPECT_EQ(host::getDoubleArray("store.frames"), (std::vector<double>{0.1, 1.0 / 3.0, -1e-300, 6.02214076e23}));
    EXPECT_EQ(host::getStringArray("store.sourceJoints")[2], "with \"quotes\" and \\ é");
    EXPECT_EQ(host::getIntArray("store.vertexIds")[2], -2147483647 - 1);
    EXPECT_EQ(host::getDouble("store.lagragian"), std::nextafter(1.0, 2.0));
    EXPECT_EQ(host::elementIndices("store.weights"), (std::vector<unsigned>{2, 7}));
    EXPECT_EQ(host::getString("store.names[4294967295]"), "last");
    EXPECT_TRUE(host::isKeyable("store.lagragian"));
    EXPECT_TRUE(host::isKeyable("knee.shyz"));
    EXPECT_FALSE(host::isKeyable("knee.shxy"));
    EXPECT_EQ(host::inputOf("hip.ry"), "knee.rz");
    EXPECT_EQ(host::skinWeights("skin", 3), (std::vector<double>{0.2, 0.8}));
    EXPECT_EQ(MFnTransform(host::nodeObject("hip")).rotationOrder(), MTransformationMatrix::kZXY);

    // Saving the loaded scene writes the same file.
    host::setCurrentTime(7.0);
    host::saveScene(path_);
    EXPECT_EQ(readFile(path_), saved);
}

TEST_F(SceneFile, MalformedFilesAreRefusedAndChangeNothing) {
    buildScene();
    host::saveScene(path_);
    const std::string valid = readFile(path_);

    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = valid;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::pair<std::string, std::string> cases[] = {
        {valid.substr(0, valid.size() / 2), "byte"},
        {"", "byte 1: not valid JSON"},
        {"[1, 2]", "document: expected an object"},
        {replaced("\"vantrel-scene\"", "\"other\""), "format: expected \"vantrel-scene\""},
        {replaced("\"version\":1", "\"version\":9"), "version: unsupported version"},
        {replaced("\"timeUnit\":\"ntsc\"", "\"timeUnit\":\"fortnights\""), "timeUnit: unknown time unit"},
        {replaced("\"type\":\"joint\"", "\"type\":\"camera\""), "nodes[1].type: unknown node type \"camera\""},
        {replaced("\"name\":\"knee\"", "\"name\":\"hip\""), "nodes[2]: a node named 'hip' already exists"},
        {replaced("\"value\":12", "\"value\":\"twelve\""), "nodes[0].attributes[3].value: expected a 32-bit integer"},
        {replaced("\"type\":\"doubleArray\"", "\"type\":\"matrix\""),
         "nodes[0].attributes[0].type: unknown attribute type"},
        {replaced("\"type\":\"mesh\",\"parent\":\"body\"", "\"type\":\"mesh\",\"parent\":\"nowhere\""),
         "nodes[8]: no node named 'nowhere'"},
        {replaced("\"polygons\":[[0,", "\"polygons\":[[9,"),
         "nodes[8]: mesh 'bodyShape': polygon 0 uses vertex 9 of 5"},
        {replaced("\"hip.ry\"", "\"hip.nothing\""), "connections[1]: 'hip.nothing': node 'hip' has no attribute"},
        {replaced("\"keys\":[[0.0", "\"keys\":[[99.0"), "nodes[3].keys[1][0]: key times must increase"},
        {replaced("\"weights\":[[1.0,0.0]", "\"weights\":[[1.0]"),
         "nodes[9].weights[0]: expected one weight per influence"},
        {replaced("\"bindGeometryMatrix\":[1.0,", "\"bindGeometryMatrix\":[\"one\","),
         "nodes[9].bindGeometryMatrix[0]: expected a number"},
    };
    for (const auto& [text, expected] : cases) {
        host::resetScene();
        host::setTimeUnit(MTime::kPALFrame);
        host::createNode("keep");
        host::setCurrentTime(4.0);
        writeFile(path_, text);
        try {
            host::loadScene(path_);
            ADD_FAILURE() << "accepted a file that should fail with: " << expected;
        } catch (const host::Error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(path_ + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(expected), std::string::npos) << message;
        }
        EXPECT_EQ(host::nodeNames(), std::vector<std::string>{"keep"}) << expected;
        EXPECT_EQ(host::timeUnit(), MTime::kPALFrame) << expected;
        EXPECT_EQ(host::currentFrame(), 4.0) << expected;
    }
    EXPECT_THROW(host::loadScene("/nonexistent/scene.json"), host::Error);
    EXPECT_THROW(host::saveScene("/nonexistent/dir/scene.json"), host::Error);
}
