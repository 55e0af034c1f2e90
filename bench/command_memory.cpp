// Peak memory of a whole run of the plug-in's command in the headless host,
// against the memory of the point arrays the command samples. Builds the scene
// from a known rig (a mesh animated by a point cache, joints keyed with
// perturbed bone transforms to start from, target joints to key, the storage
// node), drops the generator's data, loads the plug-in module from disk, and
// runs `vantrel` once, printing the resident set before the command and at its
// peak (VmHWM, reset just before the command where the kernel allows it).
//
//   command_memory [V F J K iterations]   (default: the large size, 4 iterations)

#include <malloc.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <host/scene.h>
#include <host/session.h>
#include <maya/MEulerRotation.h>
#include <maya/MTransformationMatrix.h>

#include "input/storage_node_setup.h"
#include "memory_run.h"
#include "stdout_capture.h"

namespace {

const char* const kStorage = "vantrelStorage";
const char* const kMesh = "animatedMesh";
const char* const kMeshShape = "animatedMeshShape";

double megabytes(long kb) { return kb * 1024.0 / 1e6; }

// Keys a joint under the world so that it evaluates to the rigid matrix
// `world` at `frame`.
void keyRigidWorld(const std::string& joint, double frame, const MMatrix& world) {
    const MEulerRotation rotation = MTransformationMatrix(world).eulerRotation();
    const std::pair<const char*, double> channels[] = {{"tx", world[3][0]}, {"ty", world[3][1]}, {"tz", world[3][2]},
                                                       {"rx", rotation.x},  {"ry", rotation.y},  {"rz", rotation.z}};
    for (const auto& [channel, value] : channels) host::setKey(joint + "." + channel, frame, value);
}

// The scene the command runs on: sample 0 (the rest pose) at frame 0, shape f
// at frame f + 1. The starting joints sit at the rig's rest pose at frame 0
// and follow its bone transforms, perturbed, on the shape frames.
void buildScene(const RigOptions& options, int iterations) {
    host::resetScene();
    host::setTimeUnit(MTime::kFilm);
    host::setCurrentTime(0.0);

    KnownRig rig = makeKnownRig(options);
    perturbTransforms(rig.state, 0.1, 0.05, 3);
    Inputs& in = rig.state.inputs;
    const SolverState& start = rig.state.solver;

    std::vector<std::string> sourceJoints, targetJoints;
    for (int j = 0; j < in.J; ++j) {
        sourceJoints.push_back("start_" + std::to_string(j));
        targetJoints.push_back("joint_" + std::to_string(j));
        host::createJoint(sourceJoints[j]);
        keyRigidWorld(sourceJoints[j], 0.0, start.bindingMatrices[j].inverse());
        for (int f = 0; f < in.F; ++f) keyRigidWorld(sourceJoints[j], f + 1.0, start.boneTransforms[f][j]);
        host::createJoint(targetJoints[j]);
    }

    // No polygons: the command reads points only.
    host::createTransform(kMesh);
    host::createMesh(kMeshShape, kMesh, in.restPoints, {});
    {
        // The host keeps its own copy; the generator's arrays move out and go.
        std::vector<MPointArray> cache;
        cache.reserve(static_cast<size_t>(in.F) + 1);
        cache.push_back(std::move(in.restPoints));
        for (MPointArray& shape : in.shapePoints) cache.push_back(std::move(shape));
        in.shapePoints.clear();
        host::setPointCache(kMeshShape, cache, 0.0, MTime::kFilm);
    }

    StorageNodeSettings settings;
    settings.frames.resize(static_cast<size_t>(in.F) + 1);
    for (size_t s = 0; s < settings.frames.size(); ++s) settings.frames[s] = static_cast<double>(s);
    settings.sourceJoints = sourceJoints;
    settings.maxIteration = iterations;
    settings.iterationFullSolver = 2;
    settings.updateRestMatrices = true;
    settings.rigidMatrices = true;
    settings.errorPercentBreak = 0.0;
    settings.setMatrices = true;
    settings.targetJoints = targetJoints;
    settings.vertexIds.resize(in.vertexIds.length());
    for (unsigned i = 0; i < in.vertexIds.length(); ++i) settings.vertexIds[i] = in.vertexIds[i];
    settings.maxInfluence = in.maxInfluence;
    settings.constraintWeight = in.constraintWeight;
    settings.shape = kMeshShape;
    settings.maxCPU = 0;
    createStorageNode(kStorage, settings);
}

// Runs a command line with standard output (the plug-in's progress lines)
// sent to a temporary file; returns the status and the number of lines.
std::pair<MStatus, int> runSilenced(const std::string& commandLine) {
    std::string text;
    MStatus status;
    {
        StdoutCapture capture;
        status = host::executeCommand(commandLine);
        text = capture.text();
    }
    int lines = 0;
    for (const char c : text)
        if (c == '\n') ++lines;
    return {status, lines};
}

}  // namespace

int main(int argc, char** argv) {
    const MemoryRunSize size = memoryRunSize(argc, argv);
    const RigOptions& options = size.rig;
    const int iterations = size.iterations;

    host::setMessageEcho(false);
    if (!host::loadPlugin(VANTREL_PLUGIN_PATH)) {
        std::fprintf(stderr, "command_memory: cannot load %s\n", VANTREL_PLUGIN_PATH);
        return 1;
    }
    buildScene(options, iterations);
    const unsigned meshPoints = host::meshPoints(kMeshShape, MSpace::kObject).length();
    const double pointBytes = (options.frames + 1.0) * meshPoints * sizeof(MPoint);
    // Hand the generator's freed heap back to the system, so that the command
    // cannot reuse it unseen.
    malloc_trim(0);

    const long before = statusKb("VmRSS");
    resetPeakResident();
    const auto start = std::chrono::steady_clock::now();
    const auto [status, lines] = runSilenced(std::string("vantrel -storageNode ") + kStorage + " " + kMesh);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peak = statusKb("VmHWM");

    if (!status) {
        std::fprintf(stderr, "command_memory: the command failed\n");
        for (const host::Message& m : host::messages()) std::fprintf(stderr, "  %s\n", m.text.c_str());
        return 1;
    }
    const double error = host::getDouble(std::string(kStorage) + ".error");
    const int done = host::getInt(std::string(kStorage) + ".iterationDone");
    std::printf("V %d F %d J %d K %d (mesh of %u points), %d iterations, error %.6g, %d progress lines, %.1f s\n",
                options.vertices, options.frames, options.bones, options.maxInfluence, meshPoints, done, error, lines,
                seconds);
    std::printf("point arrays %.1f MB, resident before the command %.1f MB, peak during the command %.1f MB\n",
                pointBytes / 1e6, megabytes(before), megabytes(peak));
    std::printf("(peak - before) / point arrays = %.3f\n", (peak - before) * 1024.0 / pointBytes);
    std::printf("peak / point arrays = %.3f\n", peak * 1024.0 / pointBytes);
    if (!std::isfinite(error)) {
        std::fprintf(stderr, "command_memory: the final error is not finite\n");
        return 1;
    }
    return 0;
}
