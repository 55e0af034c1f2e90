#pragma once
// Per-bone inverted index over the sparse weights, for the bone step and the
// binding update.

struct Inputs;
struct SolverState;

// Rebuilds solver.boneVertices (per bone, ascending ids of the used vertices
// that list it with a weight of at least 1e-7) and solver.boneVertexSlots
// (the bone's position in each such vertex's influence list).
void rebuildBoneInfluenceIndex(const Inputs& in, SolverState& solver);
