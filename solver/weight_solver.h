#pragma once
// Skin weight step: with the bone transforms fixed, solves per used vertex a
// small non-negative least-squares problem for its influences and weights.

struct DecompositionState;

// Writes solver.vertexInfluences and solver.vertexWeights for every id of
// inputs.vertexIds. Influences are reselected at iteration 0 and at indices
// below inputs.iterationFullSolver; weights are refitted every time. Each
// stored weight list is non-negative and sums to one.
void solveWeights(DecompositionState& state, int iteration);
