#pragma once
// The state of one decomposition: the command's own fields and its two
// records, `inputs` (settings and sampled scene) and `solver` (the model being
// solved and its histories).
//
// Index conventions:
//   bone j      0..J-1, the position of the joint in the sourceJoints attribute;
//   shape f     0..F-1, the position in shapeFrames (the rest frame has none);
//   vertex id   the mesh's own vertex index. Point arrays hold the whole mesh
//               and are indexed by id; per-vertex maps are keyed by id. The
//               position of an id inside vertexIds only enumerates used vertices.
// Matrices are MMatrix in the host's row-vector convention (p * M, translation
// in row 3); points are MPoint with w = 1; lengths are scene units.

#include <cstdint>
#include <map>
#include <vector>

#include <maya/MDoubleArray.h>
#include <maya/MIntArray.h>
#include <maya/MMatrix.h>
#include <maya/MPointArray.h>
#include <maya/MString.h>
#include <maya/MTime.h>

// The iteration limit that a maxIteration below 1 stands for.
constexpr int32_t kDefaultMaxIteration = 1000;

// Settings read from the storage node and the scene sampled for them.
struct Inputs {
    int32_t numFrame = 0;                 // length of the frames attribute (>= 2)
    MDoubleArray frames;                  // the frames attribute as read
    int32_t F = 0;                        // sampled shapes = numFrame - 1
    double restFrame = 0.0;               // first frame value, host UI time unit
    MDoubleArray shapeFrames;             // the other F frame values, in attribute order
    int32_t J = 0;                        // number of bones
    std::vector<MString> sourceJoints;    // J joint names, one per bone
    std::vector<MString> targetJoints;    // J names to key, or empty when !setMatrices
    bool setMatrices = false;             // key the target joints after the run
    int32_t V = 0;                        // number of used vertices
    MIntArray vertexIds;                  // V used vertex ids, no id twice
    int32_t maxInfluence = 0;             // most bones per vertex, 1..J
    double constraintWeight = 0.0;        // weight of the sum-to-one row (> 0), attribute lagragian
    int32_t maxIteration = 0;             // iteration count limit (>= 1)
    int32_t iterationFullSolver = 0;      // iterations (by index) that reselect influences
    bool updateRestMatrices = false;      // run the binding update from the 2nd iteration on
    bool rigidMatrices = true;            // bone transforms are rotation + translation only
    double errorPercentBreak = 0.0;       // early-stop threshold in percent (<= 0: off)
    double diagonalSum = 0.0;             // sum over shapes of the world bounding-box diagonal
    bool useExistingSkinCluster = false;  // a skin cluster seeded the influences
    std::map<int32_t, std::vector<int32_t>> existingInfluences;  // id -> bones, strongest first
    MString shape;                                               // name of the mesh shape
    MPointArray restPoints;                                      // world points at the rest frame, by vertex id
    std::vector<MPointArray> shapePoints;                        // F world point arrays, by vertex id
};

// The model being solved and the histories of the run.
struct SolverState {
    std::vector<MMatrix> bindingMatrices;                      // J: inverse rest world matrix per bone
    std::vector<std::vector<MMatrix>> boneTransforms;          // F x J: bone world matrix per shape
    std::map<int32_t, std::vector<int32_t>> vertexInfluences;  // id -> bone indices
    std::map<int32_t, std::vector<double>> vertexWeights;      // id -> weights, parallel
    std::vector<std::vector<int32_t>> boneVertices;            // J: ascending ids per bone
    std::vector<std::vector<int32_t>> boneVertexSlots;         // J: slot of the bone in each id's list
    std::vector<double> errorHistory;                          // one normalised error per iteration
    std::vector<double> improvementHistory;                    // one improvement (percent) per iteration
    int32_t iterationDone = 0;                                 // iterations started in this run
};

// The command's data members, after its host base class.
struct DecompositionState {
    MString storageNodeName;    // argument of -storageNode
    MTime savedTime;            // host current time before sampling
    bool limitThreads = false;  // parallel steps run on usedCPU threads
    int32_t availableCPU = 1;   // OpenMP maximum thread count at parse time
    int32_t usedCPU = 1;        // thread count of the parallel steps when limitThreads
    Inputs inputs;
    SolverState solver;
};
