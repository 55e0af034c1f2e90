#include "solver/weight_solver.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "solver/matrix_utils.h"
#include "solver/nnls_solver.h"
#include "solver/parallel.h"
#include "solver/tolerances.h"
#include "solver/weight_kernels.h"

Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, int32_t vertexId) {
    return buildDesignMatrix(state, skinningProducts(state), vertexId);
}

Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, const std::vector<MMatrix>& products,
                                  int32_t vertexId) {
    const Inputs& in = state.inputs;
    const int F = in.F;
    const int J = in.J;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    Eigen::MatrixXd A(rows, J);
    const MPoint& p = in.restPoints[static_cast<unsigned>(vertexId)];
    for (int k = 0; k < J; ++k) {
        for (int f = 0; f < F; ++f) {
            const MPoint q = p * products[static_cast<size_t>(f) * J + k];
            A(3 * f, k) = q.x;
            A(3 * f + 1, k) = q.y;
            A(3 * f + 2, k) = q.z;
        }
        A(3 * F, k) = p.x;
        A(3 * F + 1, k) = p.y;
        A(3 * F + 2, k) = p.z;
        A(rows - 1, k) = in.lagragian;
    }
    return A;
}

Eigen::VectorXd buildTargetVector(const DecompositionState& state, int32_t vertexId) {
    const Inputs& in = state.inputs;
    const int F = in.F;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    Eigen::VectorXd b(rows);
    const unsigned id = static_cast<unsigned>(vertexId);
    for (int f = 0; f < F; ++f) {
        const MPoint& q = in.shapePoints[f][id];
        b[3 * f] = q.x;
        b[3 * f + 1] = q.y;
        b[3 * f + 2] = q.z;
    }
    const MPoint& p = in.restPoints[id];
    b[3 * F] = p.x;
    b[3 * F + 1] = p.y;
    b[3 * F + 2] = p.z;
    b[rows - 1] = in.lagragian;
    return b;
}

Eigen::MatrixXd gatherInfluenceColumns(const std::vector<int32_t>& influences, const Eigen::MatrixXd& A) {
    Eigen::MatrixXd out(A.rows(), static_cast<Eigen::Index>(influences.size()));
    for (size_t i = 0; i < influences.size(); ++i) {
        const int32_t k = influences[i];
        if (k >= 0 && k < A.cols())
            out.col(static_cast<Eigen::Index>(i)) = A.col(k);
        else
            out.col(static_cast<Eigen::Index>(i)).setZero();
    }
    return out;
}

void selectInfluences(const Eigen::VectorXd& x, int32_t maxInfluence, std::vector<int32_t>& influences) {
    std::vector<std::pair<double, int32_t>> ranked(static_cast<size_t>(x.size()));
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        // NaN cannot be ordered; rank it below every number.
        const double value = std::isnan(x[k]) ? -HUGE_VAL : x[k];
        ranked[static_cast<size_t>(k)] = {value, static_cast<int32_t>(k)};
    }
    const size_t count = std::min(ranked.size(), static_cast<size_t>(std::max(maxInfluence, 0)));
    // Lexicographic on (weight, bone), largest first.
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count), ranked.end(),
                      [](const auto& a, const auto& b) { return a > b; });
    influences.resize(count);
    for (size_t i = 0; i < count; ++i) influences[i] = ranked[i].second;
}

void pruneAndNormalize(const Eigen::VectorXd& v, double threshold, std::vector<double>& weights) {
    const size_t n = static_cast<size_t>(v.size());
    weights.assign(n, 0.0);
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double value = v[static_cast<Eigen::Index>(i)];
        if (value < threshold || !std::isfinite(value)) continue;
        weights[i] = value;
        sum += value;
    }
    if (sum > 0.0 && std::isfinite(sum)) {
        for (double& w : weights) w /= sum;
        return;
    }
    // Nothing survived: the vertex follows its strongest influence alone.
    if (n == 0) return;
    size_t strongest = 0;
    double best = -HUGE_VAL;
    for (size_t i = 0; i < n; ++i) {
        const double value = v[static_cast<Eigen::Index>(i)];
        if (std::isfinite(value) && value > best) {
            best = value;
            strongest = i;
        }
    }
    std::fill(weights.begin(), weights.end(), 0.0);
    weights[strongest] = 1.0;
}

void solveWeights(DecompositionState& state, int iteration) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int V = in.V;

    // Every entry exists before the region, which then only looks them up.
    if (iteration == 0) {
        for (int j = 0; j < V; ++j) {
            const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
            solver.vertexInfluences[id] = {};
            solver.vertexWeights[id] = {};
        }
    }

    const std::vector<MMatrix> products = skinningProducts(state);
    const bool reselect = iteration == 0 || iteration < in.iterationFullSolver;
    const bool seedFromSkinCluster = iteration == 0 && in.useExistingSkinCluster;
    const int32_t fullCap = 10 * in.J;
    const int32_t restrictedCap = 10 * in.maxInfluence;

    prepareParallelStep(state);
#pragma omp parallel for schedule(static)
    for (int j = 0; j < V; ++j) {
        const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
        const auto influencesIt = solver.vertexInfluences.find(id);
        const auto weightsIt = solver.vertexWeights.find(id);
        if (influencesIt == solver.vertexInfluences.end() || weightsIt == solver.vertexWeights.end()) continue;
        std::vector<int32_t>& influences = influencesIt->second;

        const Eigen::MatrixXd A = buildDesignMatrix(state, products, id);
        const Eigen::VectorXd b = buildTargetVector(state, id);
        if (seedFromSkinCluster) {
            const auto existing = in.existingInfluences.find(id);
            if (existing != in.existingInfluences.end())
                influences = existing->second;
            else
                influences.clear();
        } else if (reselect) {
            const Eigen::VectorXd x = solveNonNegative(A, b, fullCap, kNnlsEpsilon);
            selectInfluences(x, in.maxInfluence, influences);
        }
        const Eigen::MatrixXd restricted = gatherInfluenceColumns(influences, A);
        const Eigen::VectorXd x = solveNonNegative(restricted, b, restrictedCap, kNnlsEpsilon);
        pruneAndNormalize(x, kWeightThreshold, weightsIt->second);
    }
}
