#include "solver/bone_influence_index.h"

#include <algorithm>
#include <vector>

#include "common/decomposition_state.h"
#include "solver/step_data.h"
#include "solver/tolerances.h"

void rebuildBoneInfluenceIndex(const Inputs& in, SolverState& solver) {
    const int J = in.J > 0 ? in.J : 0;
    const VertexEntries entries = gatherVertexEntries(in, solver);

    // Each kept entry of a row, by ascending id: a bone meets each vertex at
    // most once (a list naming the bone twice still counts once), so every
    // list comes out ascending and without repeats, as an ordered set gives
    // it. Counted first, so each bone's lists are sized once.
    const size_t rows = entries.influences.size();
    auto forEachMember = [&](auto&& visit) {
        for (size_t j = 0; j < rows; ++j) {
            const std::vector<int32_t>* B = entries.influences[j];
            const std::vector<double>* W = entries.weights[j];
            if (!B || !W) continue;
            for (size_t k = 0; k < B->size() && k < W->size(); ++k) {
                if ((*W)[k] < kWeightThreshold) continue;  // NaN compares false and is kept
                const int32_t bone = (*B)[k];
                if (bone < 0 || bone >= J) continue;
                // The slot is the bone's first position in the list.
                size_t first = 0;
                while ((*B)[first] != bone) ++first;
                bool seen = false;  // kept at an earlier position already
                for (size_t e = first; e < k && !seen; ++e)
                    seen = (*B)[e] == bone && e < W->size() && !((*W)[e] < kWeightThreshold);
                if (!seen) visit(bone, entries.ids[j], static_cast<int32_t>(first));
            }
        }
    };
    std::vector<size_t> counts(static_cast<size_t>(J), 0);
    forEachMember([&](int32_t bone, int32_t, int32_t) { ++counts[static_cast<size_t>(bone)]; });
    solver.boneVertices.assign(static_cast<size_t>(J), {});
    solver.boneVertexSlots.assign(static_cast<size_t>(J), {});
    for (int b = 0; b < J; ++b) {
        solver.boneVertices[static_cast<size_t>(b)].reserve(counts[static_cast<size_t>(b)]);
        solver.boneVertexSlots[static_cast<size_t>(b)].reserve(counts[static_cast<size_t>(b)]);
    }
    forEachMember([&](int32_t bone, int32_t id, int32_t slot) {
        solver.boneVertices[static_cast<size_t>(bone)].push_back(id);
        solver.boneVertexSlots[static_cast<size_t>(bone)].push_back(slot);
    });
}
