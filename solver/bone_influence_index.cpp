#include "solver/bone_influence_index.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "plugin/decomposition_state.h"
#include "solver/step_data.h"
#include "solver/tolerances.h"

void rebuildBoneInfluenceIndex(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int J = in.J > 0 ? in.J : 0;
    const VertexEntries entries = gatherVertexEntries(state);

    // Per bone, (id, row) of every used vertex that lists it with a weight of
    // at least 1e-7. Rows run by ascending id, so each list comes out
    // ascending and without repeats, as an ordered set gives it.
    std::vector<std::vector<std::pair<int32_t, int32_t>>> members(static_cast<size_t>(J));
    for (size_t j = 0; j < entries.influences.size(); ++j) {
        const std::vector<int32_t>* B = entries.influences[j];
        const std::vector<double>* W = entries.weights[j];
        if (!B || !W) continue;
        const int32_t id = entries.ids[j];
        for (size_t k = 0; k < B->size() && k < W->size(); ++k) {
            if ((*W)[k] < kWeightThreshold) continue;  // NaN compares false and is kept
            const int32_t bone = (*B)[k];
            if (bone < 0 || bone >= J) continue;
            members[static_cast<size_t>(bone)].emplace_back(id, static_cast<int32_t>(j));
        }
    }

    solver.boneVertices.assign(static_cast<size_t>(J), {});
    solver.boneVertexSlots.assign(static_cast<size_t>(J), {});
    for (int b = 0; b < J; ++b) {
        const auto& list = members[static_cast<size_t>(b)];
        std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(b)];
        std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(b)];
        vertices.resize(list.size());
        slots.assign(list.size(), -1);
        for (size_t i = 0; i < list.size(); ++i) {
            vertices[i] = list[i].first;
            const std::vector<int32_t>& B = *entries.influences[static_cast<size_t>(list[i].second)];
            for (size_t k = 0; k < B.size(); ++k) {
                if (B[k] == b) {
                    slots[i] = static_cast<int32_t>(k);
                    break;
                }
            }
        }
    }
}
