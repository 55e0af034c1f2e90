#pragma once
// Small helpers on the host's matrix types shared by the solver steps.

#include <cmath>
#include <vector>

#include <maya/MMatrix.h>

#include "common/decomposition_state.h"

inline bool isFinite(const MMatrix& m) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(m.matrix[r][c])) return false;
    return true;
}

// Per shape f and bone k, bindingMatrices[k] * boneTransforms[f][k] at index
// f * J + k: the matrix that carries a rest position into bone k's frame f.
// Computed once per step so the per-vertex loops only read it.
inline std::vector<MMatrix> skinningProducts(const DecompositionState& state) {
    const int F = state.inputs.F;
    const int J = state.inputs.J;
    std::vector<MMatrix> products;
    if (F < 1 || J < 1) return products;
    products.resize(static_cast<size_t>(F) * static_cast<size_t>(J));
    for (int f = 0; f < F; ++f)
        for (int k = 0; k < J; ++k)
            products[static_cast<size_t>(f) * J + k] =
                state.solver.bindingMatrices[k] * state.solver.boneTransforms[f][k];
    return products;
}

// The rest world matrix of every bone, the inverse of its binding matrix:
// what a bone fit maps out of the bone's frame.
inline std::vector<MMatrix> restWorldMatrices(const SolverState& solver, int J) {
    std::vector<MMatrix> restWorld(static_cast<size_t>(J));
    for (int g = 0; g < J; ++g) restWorld[static_cast<size_t>(g)] = solver.bindingMatrices[g].inverse();
    return restWorld;
}
