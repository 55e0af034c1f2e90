#pragma once
// The per-vertex pieces of the weight step. Detail header (exposes Eigen):
// only solver sources and tests include it.
//
// Design matrix of a vertex: 3 * numFrame + 1 rows, J columns. Rows 3f..3f+2
// hold xyz(p * bindingMatrices[k] * boneTransforms[f][k]) per shape f, rows
// 3F..3F+2 the rest position p in every column, and the last row lagragian.

#include <cstdint>
#include <utility>
#include <vector>

#include <maya/MMatrix.h>
#include <Eigen/Core>

#include "common/decomposition_state.h"

Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, int32_t vertexId);
// Same, with the products of skinningProducts() computed once for all vertices.
Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, const std::vector<MMatrix>& products,
                                  int32_t vertexId);
// Sampled positions per shape, then the rest position, then lagragian.
Eigen::VectorXd buildTargetVector(const DecompositionState& state, int32_t vertexId);

// Column i is column influences[i] of A; a bone index outside A is a zero
// column, which can never take weight.
Eigen::MatrixXd gatherInfluenceColumns(const std::vector<int32_t>& influences, const Eigen::MatrixXd& A);

// The maxInfluence bones with the largest weights, strongest first; equal
// weights put the higher bone index first, so padding takes zero-weight bones
// from the highest index down.
void selectInfluences(const Eigen::Ref<const Eigen::VectorXd>& x, int32_t maxInfluence,
                      std::vector<int32_t>& influences);
// Same, ranking in the caller's scratch (no allocation once it has grown).
void selectInfluences(const Eigen::Ref<const Eigen::VectorXd>& x, int32_t maxInfluence,
                      std::vector<int32_t>& influences, std::vector<std::pair<double, int32_t>>& ranked);

// weights[i] = v[i] / sum of the kept values, a value below threshold (or not
// finite) kept as 0. When nothing is kept, all weight goes to the largest
// value's slot (the earliest on ties), so the list still sums to one.
void pruneAndNormalize(const Eigen::Ref<const Eigen::VectorXd>& v, double threshold, std::vector<double>& weights);

// The influence list a vertex starts from when the weight step seeds from the
// existing skin cluster: that cluster's list for the vertex, or none.
inline void seedInfluencesFromSkinCluster(const Inputs& in, int32_t vertexId, std::vector<int32_t>& influences) {
    const auto existing = in.existingInfluences.find(vertexId);
    if (existing != in.existingInfluences.end())
        influences = existing->second;
    else
        influences.clear();
}

// Solves counted by the system they ran on during one weight step: the
// split normal equations, or, for a vertex whose normal equations could not
// decide a near-dependent column, the design matrix reduced to the rows that
// its columns span (an orthogonal change of rows: the same solve as on the
// whole design matrix, on about 4J + 1 rows instead of 3F + 1).
struct WeightStepCounts {
    int64_t gramSolves = 0;
    int64_t reducedSolves = 0;
    // Of the gramSolves, list solves refined once on the tall rows.
    int64_t refinedSolves = 0;
};

// solveWeights, adding its solve counts to *counts when counts is not null.
void solveWeightsCounting(DecompositionState& state, int iteration, WeightStepCounts* counts);
