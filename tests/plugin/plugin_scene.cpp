#include "plugin_scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include <host/scene.h>
#include <host/session.h>
#include <maya/MArgList.h>

#include "input/storage_node.h"
#include "plugin/vantrel_command.h"
#include "stdout_capture.h"

namespace plugin_test {

StorageSettings::StorageSettings() {
    frames = {1, 2, 3, 4, 5};
    sourceJoints = {"j0", "j1", "j2"};
    maxIteration = 3;
    iterationFullSolver = 1;
    vertexIds = allVertexIds();
    maxInfluence = 2;
    constraintWeight = 1.0;
    shape = "bodyShape";
}

std::vector<int> allVertexIds(const ColumnMesh& mesh) {
    std::vector<int> ids(static_cast<size_t>(mesh.vertexCount()));
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(i);
    return ids;
}

void createAnimatedChain(const std::string& prefix, double pace) {
    const std::string j0 = prefix + "0", j1 = prefix + "1", j2 = prefix + "2";
    host::createJoint(j0);
    host::createJoint(j1, j0);
    host::createJoint(j2, j1);
    host::setDouble(j1 + ".ty", 2.0);
    host::setDouble(j2 + ".ty", 2.0);
    // Distinct, non-trivial motion per frame for every joint.
    for (int frame = 1; frame <= 5; ++frame) {
        const double t = pace * (frame - 1);
        host::setKey(j0 + ".tx", frame, 0.3 * t);
        host::setKey(j0 + ".tz", frame, -0.1 * t * t);
        host::setKey(j0 + ".ry", frame, 0.15 * t);
        host::setKey(j1 + ".rz", frame, 0.2 * t);
        host::setKey(j1 + ".rx", frame, -0.05 * t);
        host::setKey(j2 + ".rx", frame, 0.25 * t);
        host::setKey(j2 + ".ty", frame, 2.0 + 0.05 * t);
    }
}

std::vector<std::vector<double>> buildSkinnedColumn(const ColumnMesh& mesh) {
    host::resetScene();
    host::setMessageEcho(false);
    host::clearMessages();

    createAnimatedChain("j", 1.0);

    MPointArray points;
    for (int ring = 0; ring < mesh.rings; ++ring) {
        const double y = 6.0 * ring / (mesh.rings - 1);
        for (int k = 0; k < mesh.perRing; ++k) {
            const double a = 2.0 * M_PI * k / mesh.perRing;
            points.append(MPoint(0.5 * std::cos(a) + 0.05 * ring, y, 0.5 * std::sin(a)));
        }
    }
    std::vector<std::vector<int>> polygons;
    for (int ring = 0; ring + 1 < mesh.rings; ++ring) {
        for (int k = 0; k < mesh.perRing; ++k) {
            const int next = (k + 1) % mesh.perRing;
            polygons.push_back({ring * mesh.perRing + k, ring * mesh.perRing + next, (ring + 1) * mesh.perRing + next,
                                (ring + 1) * mesh.perRing + k});
        }
    }
    host::createTransform("body");
    host::createMesh("bodyShape", "body", points, polygons);

    host::setCurrentTime(1.0);
    host::createSkinCluster("skinCluster1", "bodyShape", {"j0", "j1", "j2"});
    std::vector<std::vector<double>> weights(static_cast<size_t>(mesh.vertexCount()), std::vector<double>(3, 0.0));
    for (int v = 0; v < mesh.vertexCount(); ++v) {
        const double y = 6.0 * (v / mesh.perRing) / (mesh.rings - 1);
        // Blend between the two joints nearest in height.
        const double s = std::min(y / 2.0, 2.0);
        const int lower = std::min(static_cast<int>(s), 1);
        const double u = std::min(s - lower, 1.0);
        weights[v][lower] = 1.0 - u;
        weights[v][lower + 1] += u;
    }
    host::setSkinWeights("skinCluster1", weights);
    return weights;
}

std::string pluginPath() { return VANTREL_PLUGIN_PATH; }

void loadPluginOnce() {
    static const bool loaded = [] {
        host::setMessageEcho(false);
        return static_cast<bool>(host::loadPlugin(pluginPath()));
    }();
    ASSERT_TRUE(loaded) << "cannot load " << pluginPath();
}

CommandRun runCommand(const std::string& commandLine) {
    CommandRun run;
    std::string text;
    {
        StdoutCapture capture;
        run.status = host::executeCommand(commandLine);
        text = capture.text();
    }
    std::istringstream out(text);
    for (std::string line; std::getline(out, line);) run.lines.push_back(line);
    return run;
}

MStatus parseStorage(DecompositionState& state) {
    MArgList args;
    args.addArg("-sn").addArg("store").addArg("body");
    StdoutCapture discarded;
    return parseStorageNode(state, Vantrel::newSyntax(), args);
}

namespace {
std::vector<std::string> messagesOf(host::MessageKind kind) {
    std::vector<std::string> texts;
    for (const host::Message& m : host::messages())
        if (m.kind == kind) texts.push_back(m.text);
    return texts;
}
}  // namespace

std::vector<std::string> errorMessages() { return messagesOf(host::MessageKind::Error); }
std::vector<std::string> infoMessages() { return messagesOf(host::MessageKind::Info); }

}  // namespace plugin_test
