#include "solver/step_data.h"

#include <algorithm>
#include <cmath>

#include <omp.h>

#include "solver/matrix_utils.h"

namespace {

// Below this many vertices a walk is quicker than waking a second thread.
constexpr int kParallelWalkVertices = 4096;

}  // namespace

void resetVertexLists(const Inputs& in, SolverState& solver) {
    for (int j = 0; j < in.V; ++j) {
        const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
        solver.vertexInfluences[id] = {};
        solver.vertexWeights[id] = {};
    }
}

VertexEntries gatherVertexEntries(const Inputs& in, SolverState& solver) {
    const int V = in.V > 0 ? in.V : 0;
    VertexEntries entries;
    int32_t maxId = -1;
    for (int j = 0; j < V; ++j) maxId = std::max(maxId, in.vertexIds[static_cast<unsigned>(j)]);
    // Mark the used ids, then number them in ascending order.
    entries.rowOfId.assign(static_cast<size_t>(maxId + 1), -1);
    for (int j = 0; j < V; ++j) {
        const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
        if (id >= 0) entries.rowOfId[static_cast<size_t>(id)] = 0;
    }
    entries.ids.reserve(static_cast<size_t>(V));
    for (int32_t id = 0; id <= maxId; ++id) {
        int32_t& row = entries.rowOfId[static_cast<size_t>(id)];
        if (row < 0) continue;
        row = static_cast<int32_t>(entries.ids.size());
        entries.ids.push_back(id);
    }
    entries.influences.assign(entries.ids.size(), nullptr);
    entries.weights.assign(entries.ids.size(), nullptr);
    // In-order walks: each map is visited once, without a search per vertex.
    // The walks chase pointers through memory, so on large meshes the two
    // maps are walked side by side when a second thread is allowed.
    auto walk = [&entries](auto& map, auto& pointers) {
        for (auto& [id, list] : map) {
            const int32_t row = rowOf(entries, id);
            if (row >= 0) pointers[static_cast<size_t>(row)] = &list;
        }
    };
    const bool sideBySide = V >= kParallelWalkVertices && omp_get_max_threads() > 1;
#pragma omp parallel sections num_threads(2) if (sideBySide)
    {
#pragma omp section
        walk(solver.vertexInfluences, entries.influences);
#pragma omp section
        walk(solver.vertexWeights, entries.weights);
    }
    return entries;
}

void gatherSlotRows(const DecompositionState& state, const VertexEntries& entries, bool dropZeros, SlotRows& rows) {
    const int J = state.inputs.J;
    const size_t V = entries.influences.size();
    rows.first.assign(V + 1, 0);
    rows.bone.clear();
    rows.weight.clear();
    rows.position.clear();
    for (size_t j = 0; j < V; ++j) {
        const std::vector<int32_t>* B = entries.influences[j];
        const std::vector<double>* W = entries.weights[j];
        if (B && W) {
            const size_t count = std::min(B->size(), W->size());
            for (size_t k = 0; k < count; ++k) {
                const int32_t bone = (*B)[k];
                const double w = (*W)[k];
                if (bone < 0 || bone >= J) continue;
                if (dropZeros && w == 0.0) continue;
                rows.bone.push_back(bone);
                rows.weight.push_back(w);
                rows.position.push_back(static_cast<int32_t>(k));
            }
        }
        rows.first[j + 1] = static_cast<int32_t>(rows.bone.size());
    }
}

bool allFinite(const std::vector<MMatrix>& products) {
    for (const MMatrix& m : products)
        if (!isFinite(m)) return false;
    return true;
}
