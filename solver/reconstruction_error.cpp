#include "solver/reconstruction_error.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "solver/matrix_utils.h"
#include "solver/parallel.h"

void measureReconstructionError(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
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
    const double error = rms * 1000.0 / in.diagonalSum;
    const double improvement =
        solver.improvementHistory.empty() ? 1.0 : std::fabs(1.0 - error / solver.errorHistory.back()) * 100.0;
    solver.errorHistory.push_back(error);
    solver.improvementHistory.push_back(improvement);
}
