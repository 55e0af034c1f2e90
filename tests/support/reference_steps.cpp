// The solver steps as first written, renamed into namespace reference. Kept
// unchanged apart from the names so the benchmark can time and check the fast
// steps against them; the per-vertex pieces that were always computed
// directly (design matrix, target vector, products, rest world matrices,
// binding centroid and the move of the binding to it) are the solver's own.

#include "reference_steps.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "solver/fit_kernels.h"
#include "solver/matrix_utils.h"
#include "solver/nnls_solver.h"
#include "solver/parallel.h"
#include "solver/step_data.h"
#include "solver/tolerances.h"
#include "solver/weight_kernels.h"

namespace reference {

void solveWeights(DecompositionState& state, int iteration) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int V = in.V;

    if (iteration == 0) resetVertexLists(in, solver);

    const std::vector<MMatrix> products = skinningProducts(state);
    const bool reselect = iteration == 0 || iteration < in.iterationFullSolver;
    const bool seedFromSkinCluster = iteration == 0 && in.useExistingSkinCluster;
    const int32_t fullCap = nnlsIterationCap(in.J);
    const int32_t restrictedCap = nnlsIterationCap(in.maxInfluence);

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
            seedInfluencesFromSkinCluster(in, id, influences);
        } else if (reselect) {
            const Eigen::VectorXd x = solveNonNegative(A, b, fullCap, kNnlsEpsilon);
            selectInfluences(x, in.maxInfluence, influences);
        }
        const Eigen::MatrixXd restricted = gatherInfluenceColumns(influences, A);
        const Eigen::VectorXd x = solveNonNegative(restricted, b, restrictedCap, kNnlsEpsilon);
        pruneAndNormalize(x, kWeightThreshold, weightsIt->second);
    }
}

void solveBones(DecompositionState& state) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = in.F;
    const int J = in.J;
    prepareParallelStep(state);
    if (F < 1 || J < 1) return;

    const std::vector<MMatrix> restWorld = restWorldMatrices(solver, J);

    // Resolve every listed vertex's map entries once, so the shapes loop does
    // no tree lookups. A missing entry reads as an empty list.
    struct ListedVertex {
        int32_t id;
        const std::vector<int32_t>* influences;
        const std::vector<double>* weights;
        int32_t slot;
    };
    static const std::vector<int32_t> noInfluences;
    static const std::vector<double> noWeights;
    // An index that was never built lists no vertices.
    const int indexed = std::min(J, static_cast<int>(solver.boneVertices.size()));
    std::vector<std::vector<ListedVertex>> listed(static_cast<size_t>(indexed));
    for (int g = 0; g < indexed; ++g) {
        const std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(g)];
        const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(g)];
        for (size_t i = 0; i < vertices.size(); ++i) {
            const auto influencesIt = solver.vertexInfluences.find(vertices[i]);
            const auto weightsIt = solver.vertexWeights.find(vertices[i]);
            listed[static_cast<size_t>(g)].push_back(
                {vertices[i], influencesIt != solver.vertexInfluences.end() ? &influencesIt->second : &noInfluences,
                 weightsIt != solver.vertexWeights.end() ? &weightsIt->second : &noWeights,
                 i < slots.size() ? slots[i] : -1});
        }
    }

#pragma omp parallel for schedule(static)
    for (int f = 0; f < F; ++f) {
        std::vector<MMatrix>& transforms = solver.boneTransforms[f];
        const MPointArray& targets = in.shapePoints[f];
        // binding * transform per bone, kept current as bones are refitted.
        std::vector<MMatrix> skinning(static_cast<size_t>(J));
        for (int k = 0; k < J; ++k) skinning[static_cast<size_t>(k)] = solver.bindingMatrices[k] * transforms[k];

        for (int g = 0; g < indexed; ++g) {
            const std::vector<ListedVertex>& vertices = listed[static_cast<size_t>(g)];
            const Eigen::Index n = static_cast<Eigen::Index>(vertices.size());
            if (n == 0) continue;

            Eigen::VectorXd w(n);
            double sum = 0.0;
            for (Eigen::Index i = 0; i < n; ++i) {
                const ListedVertex& v = vertices[static_cast<size_t>(i)];
                const bool valid = v.slot >= 0 && static_cast<size_t>(v.slot) < v.weights->size();
                w[i] = valid ? (*v.weights)[static_cast<size_t>(v.slot)] : 0.0;
                sum += w[i];
            }
            if (sum < kWeightThreshold) continue;

            Eigen::Matrix3Xd rest(3, n);
            Eigen::Matrix3Xd residual(3, n);
            for (Eigen::Index i = 0; i < n; ++i) {
                const ListedVertex& v = vertices[static_cast<size_t>(i)];
                const MPoint& p = in.restPoints[static_cast<unsigned>(v.id)];
                const MPoint& y = targets[static_cast<unsigned>(v.id)];
                double ax = 0.0, ay = 0.0, az = 0.0;
                const std::vector<int32_t>& B = *v.influences;
                const std::vector<double>& W = *v.weights;
                for (size_t j = 0; j < B.size() && j < W.size(); ++j) {
                    const int32_t k = B[j];
                    if (k == g || k < 0 || k >= J) continue;
                    const MPoint x = p * skinning[static_cast<size_t>(k)];
                    ax += W[j] * x.x;
                    ay += W[j] * x.y;
                    az += W[j] * x.z;
                }
                rest.col(i) << p.x, p.y, p.z;
                residual.col(i) << y.x - ax, y.y - ay, y.z - az;
            }

            const double squaredSum = w.squaredNorm();
            Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
            Eigen::RowVector3d ct = Eigen::RowVector3d::Zero();
            for (Eigen::Index i = 0; i < n; ++i) {
                cs += (w[i] * w[i]) * rest.col(i).transpose();
                ct += w[i] * residual.col(i).transpose();
            }
            cs /= squaredSum;
            ct /= squaredSum;

            Eigen::Matrix3Xd P(3, n);
            Eigen::Matrix3Xd Q(3, n);
            for (Eigen::Index i = 0; i < n; ++i) {
                P.col(i) = w[i] * (rest.col(i) - cs.transpose());
                Q.col(i) = residual.col(i) - w[i] * ct.transpose();
            }

            const MMatrix M = in.rigidMatrices ? fitRigid(P, Q, cs, ct) : fitAffine(P, Q, cs, ct);
            const MMatrix fitted = restWorld[static_cast<size_t>(g)] * M;
            // A singular binding matrix has no rest world matrix: keep the old
            // transform rather than store a non-finite one.
            if (!isFinite(fitted)) continue;
            transforms[g] = fitted;
            skinning[static_cast<size_t>(g)] = solver.bindingMatrices[g] * fitted;
        }
    }
}

void updateBindingMatrices(DecompositionState& state) {
    SolverState& solver = state.solver;
    // An index that was never built lists no vertices.
    const int J = std::min(state.inputs.J, static_cast<int>(solver.boneVertices.size()));

    prepareParallelStep(state);
#pragma omp parallel for schedule(static)
    for (int b = 0; b < J; ++b) {
        if (solver.boneVertices[static_cast<size_t>(b)].empty()) continue;
        moveBindingToCentroid(bindingCentroid(state, b), solver.bindingMatrices[b]);
    }
}

double reconstructionError(const DecompositionState& state) {
    const Inputs& in = state.inputs;
    const SolverState& solver = state.solver;
    const int F = in.F;
    const int V = in.V;
    const int J = in.J;
    const std::vector<MMatrix> products = skinningProducts(state);
    std::vector<double> frameSums(static_cast<size_t>(F > 0 ? F : 0), 0.0);
    // Resolve the map entries once; a missing entry reads as an empty list.
    static const std::vector<int32_t> noInfluences;
    static const std::vector<double> noWeights;
    std::vector<std::pair<const std::vector<int32_t>*, const std::vector<double>*>> lists(
        static_cast<size_t>(V > 0 ? V : 0));
    for (int j = 0; j < V; ++j) {
        const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
        const auto influencesIt = solver.vertexInfluences.find(id);
        const auto weightsIt = solver.vertexWeights.find(id);
        lists[static_cast<size_t>(j)] = {
            influencesIt != solver.vertexInfluences.end() ? &influencesIt->second : &noInfluences,
            weightsIt != solver.vertexWeights.end() ? &weightsIt->second : &noWeights};
    }

    prepareParallelStep(state);
#pragma omp parallel for schedule(static)
    for (int f = 0; f < F; ++f) {
        double sum = 0.0;
        for (int j = 0; j < V; ++j) {
            const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
            const std::vector<int32_t>& B = *lists[static_cast<size_t>(j)].first;
            const std::vector<double>& W = *lists[static_cast<size_t>(j)].second;
            const MPoint& rest = in.restPoints[static_cast<unsigned>(id)];
            double x = 0.0, y = 0.0, z = 0.0;
            const size_t count = std::min(B.size(), W.size());
            for (size_t k = 0; k < count; ++k) {
                const int32_t bone = B[k];
                if (bone < 0 || bone >= J) continue;
                const MPoint q = rest * products[static_cast<size_t>(f) * J + bone];
                x += W[k] * q.x;
                y += W[k] * q.y;
                z += W[k] * q.z;
            }
            const MPoint& target = in.shapePoints[f][static_cast<unsigned>(id)];
            const double dx = x - target.x, dy = y - target.y, dz = z - target.z;
            sum += dx * dx + dy * dy + dz * dz;
        }
        frameSums[static_cast<size_t>(f)] = sum;
    }

    double total = 0.0;
    for (double s : frameSums) total += s;
    const double rms = std::sqrt(total / (V * 3.0 * F));
    return rms * 1000.0 / in.diagonalSum;
}

void measureReconstructionError(DecompositionState& state) {
    SolverState& solver = state.solver;
    const double error = reconstructionError(state);
    const double improvement =
        solver.improvementHistory.empty() ? 1.0 : std::fabs(1.0 - error / solver.errorHistory.back()) * 100.0;
    solver.errorHistory.push_back(error);
    solver.improvementHistory.push_back(improvement);
}

void rebuildBoneInfluenceIndex(DecompositionState& state) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int J = in.J > 0 ? in.J : 0;

    std::vector<std::set<int32_t>> members(static_cast<size_t>(J));
    for (int j = 0; j < in.V; ++j) {
        const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
        const auto influencesIt = solver.vertexInfluences.find(id);
        const auto weightsIt = solver.vertexWeights.find(id);
        if (influencesIt == solver.vertexInfluences.end() || weightsIt == solver.vertexWeights.end()) continue;
        const std::vector<int32_t>& B = influencesIt->second;
        const std::vector<double>& W = weightsIt->second;
        for (size_t k = 0; k < B.size() && k < W.size(); ++k) {
            if (W[k] < kWeightThreshold) continue;  // NaN compares false and is kept
            if (B[k] < 0 || B[k] >= J) continue;
            members[static_cast<size_t>(B[k])].insert(id);
        }
    }

    solver.boneVertices.assign(static_cast<size_t>(J), {});
    solver.boneVertexSlots.assign(static_cast<size_t>(J), {});
    for (int b = 0; b < J; ++b) {
        std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(b)];
        std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(b)];
        vertices.assign(members[static_cast<size_t>(b)].begin(), members[static_cast<size_t>(b)].end());
        slots.assign(vertices.size(), -1);
        for (size_t i = 0; i < vertices.size(); ++i) {
            const std::vector<int32_t>& B = solver.vertexInfluences.find(vertices[i])->second;
            for (size_t k = 0; k < B.size(); ++k) {
                if (B[k] == b) {
                    slots[i] = static_cast<int32_t>(k);
                    break;
                }
            }
        }
    }
}

}  // namespace reference
