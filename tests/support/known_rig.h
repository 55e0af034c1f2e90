#pragma once
// Test and benchmark data: a mesh animation generated from a known
// linear-blend-skinning rig, and a small loop that drives the solver steps in
// the run driver's order.

#include <cstdint>
#include <map>
#include <vector>

#include <maya/MMatrix.h>

#include "common/decomposition_state.h"

struct RigOptions {
    int vertices = 300;  // used vertices; the mesh has a few unused ones too
    int bones = 5;       // bones along the cylinder's axis
    int frames = 12;     // sampled shapes
    int maxInfluence = 4;
    bool rigid = true;    // how the solver fits bones (the rig itself is rigid)
    double scale = 1.0;   // multiplies every coordinate
    double offset = 0.0;  // added to every coordinate after scaling
    bool flat = false;    // vertices on a plane instead of a cylinder
    uint32_t seed = 1;
};

// Options for a rig of the given size, every other option at its default.
inline RigOptions rigOfSize(int vertices, int bones, int frames) {
    RigOptions options;
    options.vertices = vertices;
    options.bones = bones;
    options.frames = frames;
    return options;
}

struct KnownRig {
    DecompositionState state;
    // Per used vertex id, the true weight of every bone (J entries).
    std::map<int32_t, std::vector<double>> weights;
    std::vector<std::vector<MMatrix>> transforms;  // F x J true bone transforms
};

// A cylinder (or a flat strip) along y with bones spaced along it; each vertex
// has hat-function weights over its two nearest bones; every bone moves
// rigidly. The state holds the true binding matrices and transforms, and the
// used vertex ids are a shuffled subset of the mesh's ids.
KnownRig makeKnownRig(const RigOptions& options);

// A character-like rig: chains of bones from a common root (a spine and
// limbs), each bone turned by a small, smoothly varying angle relative to its
// parent, skin on tubes around the chains with smooth weights over up to
// three neighbouring bones of a chain, and the whole body walking along a
// path far from the origin. inputs.constraintWeight is the rest pose's bounding-box
// diagonal (the model's size), as a user would set it. Lengths in scene
// units; a chain's bones are `boneLength` long and the tubes `radius` thick.
struct ChainRigOptions {
    int chains = 5;         // chains from the root
    int bonesPerChain = 8;  // J = chains * bonesPerChain
    int vertices = 400;     // used vertices
    int frames = 300;       // sampled shapes
    int maxInfluence = 4;
    double boneLength = 0.25;
    double radius = 0.08;
    double angle = 0.12;   // largest turn of a bone relative to its parent, radians
    double offset = 1e4;   // added to every coordinate of the rest pose
    double travel = 20.0;  // length of the body's path over the animation
    double noise = 0.0;    // standard deviation of noise added to the shapes
    uint32_t seed = 1;
};
KnownRig makeChainRig(const ChainRigOptions& options);

// Recomputes inputs.shapePoints and inputs.diagonalSum from the given dense
// weights and transforms (used after a test edits the rig).
void resampleShapes(DecompositionState& state, const std::map<int32_t, std::vector<double>>& weights,
                    const std::vector<std::vector<MMatrix>>& transforms);

// Makes bones 0 and 1 static and bone 3 an exact copy of bone 2 (binding and
// transforms), then resamples the shapes from the changed rig.
void makeStaticAndDuplicatedBones(KnownRig& rig);

// Multiplies every bone transform by a random rotation (up to `angle`
// radians) about the bone's own pivot and a random shift (up to `shift`).
void perturbTransforms(DecompositionState& state, double angle, double shift, uint32_t seed);

// The run driver's iteration order without its break test: binding update
// (when enabled, from i = 1), bones (from i = 1), weights, error, and the
// index rebuild when i == 0 or i < iterationFullSolver.
void runIterations(DecompositionState& state, int iterations);

// A state with identity binding matrices and transforms, zero points, F
// shapes, J bones, a mesh of meshPoints points and no used vertices yet.
DecompositionState blankState(int F, int J, int meshPoints);

// Rigid transform: rotation by `angle` about the unit `axis`, then `t`.
MMatrix rigidMatrix(const double axis[3], double angle, const double t[3]);
// Translation by (x, y, z).
MMatrix translation(double x, double y, double z);

// Dense copy (J entries) of a vertex's stored sparse weights.
std::vector<double> denseWeights(const DecompositionState& state, int32_t id);
