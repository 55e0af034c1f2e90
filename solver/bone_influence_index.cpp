#include "solver/bone_influence_index.h"

#include <set>
#include <vector>

#include "plugin/decomposition_state.h"
#include "solver/tolerances.h"

void rebuildBoneInfluenceIndex(DecompositionState& state, int /*iteration*/) {
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
