#pragma once
// The headless scene a decomposition runs in: the animated mesh, the joints
// the command starts from, the joints it keys, and the storage node with
// every setting; and reading the solved rig back from it afterwards.

#include <memory>
#include <string>
#include <vector>

#include <host/point_frames.h>

#include "cli/decompose_options.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/skinned_rig.h"

namespace vantrel::cli {

// Joints to start from: per sample (rest first, as the animation's frames)
// the world matrix of every joint, in the row-vector convention.
struct StartingJoints {
    std::vector<std::string> names;
    std::vector<std::vector<io::Matrix4>> world;  // [sample][joint]
    // Set when the joints come with a skin that produced the animation: the
    // mesh is then deformed by a skin cluster over the joints (which also
    // seeds each vertex's influences) instead of a point cache.
    std::vector<std::vector<io::SkinInfluence>> skin;  // per vertex, or empty
    std::vector<io::Matrix4> inverseBindMatrices;      // per joint, with skin
    std::vector<double> bindPositions;                 // 3 per vertex, with skin
};

// Node names of the scene, for the command line and the read-back.
struct SceneNames {
    std::string storageNode = "vantrelStorage";
    std::string meshTransform = "animatedMesh";
    std::string meshShape = "animatedMeshShape";
    std::string skinCluster = "existingSkin";
    std::vector<std::string> sourceJoints;  // the joints the command starts from
    std::vector<std::string> targetJoints;  // the joints it keys
};

// Resets the headless scene and builds it. Sample s of the animation is at
// frame s (film units): the rest pose at frame 0, the others from 1 on.
// `positions` are the samples' positions (samples.frames, which may have been
// handed over to them): the mesh's point cache shares them, no copy is made.
// `lagrangian` is the weight of the sum-to-one row.
SceneNames buildDecompositionScene(const io::MeshAnimation& samples, std::shared_ptr<const host::PointFrames> positions,
                                   const StartingJoints& joints, const DecomposeOptions& options, double lagrangian);

// Keys the starting joints anew ([sample][joint] world matrices), for a run
// that continues from another rig. Only for scenes whose mesh is not deformed
// by those joints.
void keyStartingJoints(const SceneNames& names, const std::vector<std::vector<io::Matrix4>>& world);

// The storage node's iteration settings, for the next run of the command.
void setIterationSettings(const SceneNames& names, int iterations, int fullSolverIterations, double breakPercent);

// The command line a host user would type for the scene.
std::string decompositionCommand(const SceneNames& names);

// The solved rig from the scene after the command: weights from the storage
// node, bone world matrices from the keyed target joints at every sample
// (sample 0, the rest pose, gives the binding matrices).
struct SolvedRig {
    std::vector<std::vector<io::SkinInfluence>> influences;  // per vertex
    std::vector<io::Matrix4> bindingMatrices;                // per joint
    std::vector<std::vector<io::Matrix4>> boneWorld;         // [sample][joint], sample 0 = rest
    double commandError = 0.0;                               // the storage node's "error"
    int iterationsDone = 0;
};
SolvedRig readSolvedRig(const SceneNames& names, int vertexCount, int sampleCount);

}  // namespace vantrel::cli
