#include "solver/binding_update.h"

#include <algorithm>
#include <limits>

#include "solver/fit_kernels.h"
#include "solver/matrix_utils.h"
#include "solver/parallel.h"
#include "solver/step_data.h"

Eigen::Vector3d bindingCentroid(const DecompositionState& state, int32_t bone) {
    const SolverState& solver = state.solver;
    const std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(bone)];
    const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(bone)];
    Eigen::Vector3d weighted = Eigen::Vector3d::Zero();
    double sum = 0.0;
    for (size_t i = 0; i < vertices.size(); ++i) {
        const auto it = solver.vertexWeights.find(vertices[i]);
        const int32_t slot = slots[i];
        if (it == solver.vertexWeights.end() || slot < 0 || static_cast<size_t>(slot) >= it->second.size()) continue;
        const double w = it->second[static_cast<size_t>(slot)];
        const MPoint& p = state.inputs.restPoints[static_cast<unsigned>(vertices[i])];
        weighted += w * Eigen::Vector3d(p.x, p.y, p.z);
        sum += w;
    }
    if (!(sum > 0.0)) return Eigen::Vector3d::Constant(std::numeric_limits<double>::quiet_NaN());
    return weighted / sum;
}

void moveBindingToCentroid(const Eigen::Vector3d& c, MMatrix& binding) {
    if (!c.allFinite()) return;
    MMatrix moved = binding.inverse();
    if (!isFinite(moved)) return;
    moved[3][0] = c.x();
    moved[3][1] = c.y();
    moved[3][2] = c.z();
    const MMatrix movedBinding = moved.inverse();
    if (!isFinite(movedBinding)) return;
    binding = movedBinding;
}

void updateBindingMatrices(DecompositionState& state) {
    SolverState& solver = state.solver;
    // An index that was never built lists no vertices.
    const int J = std::min(state.inputs.J, static_cast<int>(solver.boneVertices.size()));
    // Weight lists by vertex position, so the bone loop does no map search;
    // an id outside inputs.vertexIds takes the search, as bindingCentroid.
    const VertexEntries entries = gatherVertexEntries(state);

    prepareParallelStep(state);
#pragma omp parallel for schedule(static)
    for (int b = 0; b < J; ++b) {
        const std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(b)];
        const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(b)];
        if (vertices.empty()) continue;
        // bindingCentroid's sums, in its order.
        Eigen::Vector3d weighted = Eigen::Vector3d::Zero();
        double sum = 0.0;
        for (size_t i = 0; i < vertices.size(); ++i) {
            const int32_t row = rowOf(entries, vertices[i]);
            const std::vector<double>* W = nullptr;
            if (row >= 0) {
                W = entries.weights[static_cast<size_t>(row)];
            } else {
                const auto it = solver.vertexWeights.find(vertices[i]);
                if (it != solver.vertexWeights.end()) W = &it->second;
            }
            const int32_t slot = i < slots.size() ? slots[i] : -1;
            if (!W || slot < 0 || static_cast<size_t>(slot) >= W->size()) continue;
            const double w = (*W)[static_cast<size_t>(slot)];
            const MPoint& p = state.inputs.restPoints[static_cast<unsigned>(vertices[i])];
            weighted += w * Eigen::Vector3d(p.x, p.y, p.z);
            sum += w;
        }
        if (!(sum > 0.0)) continue;
        moveBindingToCentroid(weighted / sum, solver.bindingMatrices[b]);
    }
}
