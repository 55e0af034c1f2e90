#pragma once
// Soundness checks on a decomposition state, for tests.

#include <cmath>

#include <gtest/gtest.h>

#include "common/decomposition_state.h"

// Every stored weight and matrix is finite, every weight list is
// non-negative and sums to one.
inline ::testing::AssertionResult stateIsSound(const DecompositionState& state) {
    const SolverState& s = state.solver;
    for (size_t b = 0; b < s.bindingMatrices.size(); ++b)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if (!std::isfinite(s.bindingMatrices[b][r][c]))
                    return ::testing::AssertionFailure() << "binding matrix " << b << " not finite";
    for (size_t f = 0; f < s.boneTransforms.size(); ++f)
        for (size_t b = 0; b < s.boneTransforms[f].size(); ++b)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    if (!std::isfinite(s.boneTransforms[f][b][r][c]))
                        return ::testing::AssertionFailure() << "transform " << f << "," << b << " not finite";
    for (unsigned j = 0; j < state.inputs.vertexIds.length(); ++j) {
        const int32_t id = state.inputs.vertexIds[j];
        const auto it = s.vertexWeights.find(id);
        if (it == s.vertexWeights.end()) return ::testing::AssertionFailure() << "no weights for id " << id;
        double sum = 0.0;
        for (double w : it->second) {
            if (!std::isfinite(w) || w < 0.0) return ::testing::AssertionFailure() << "weight " << w << " at id " << id;
            sum += w;
        }
        if (std::fabs(sum - 1.0) > 1e-9)
            return ::testing::AssertionFailure() << "weights of id " << id << " sum to " << sum;
    }
    return ::testing::AssertionSuccess();
}
