#pragma once
// Flat per-step views of the decomposition state, gathered once at the start
// of a step so that its loops index arrays instead of searching the weight
// maps. They live for one step only: nothing here copies the sampled points.

#include <cstdint>
#include <vector>

#include <maya/MMatrix.h>

#include "common/decomposition_state.h"

// The used vertices as rows in ascending id order (the order of the weight
// maps, of the per-bone lists and of the point arrays, so that walks over
// them move forward through memory), with each row's entries in the two
// weight maps, or null where a map has none. One in-order walk of each map.
struct VertexEntries {
    std::vector<int32_t> ids;
    std::vector<std::vector<int32_t>*> influences;
    std::vector<std::vector<double>*> weights;
    std::vector<int32_t> rowOfId;  // mesh vertex id -> row, -1 for unused ids
};
VertexEntries gatherVertexEntries(const Inputs& in, SolverState& solver);

// An empty influence list and weight list for every id of inputs.vertexIds,
// as the weight step starts its first iteration with: a parallel region
// after it only looks the entries up.
void resetVertexLists(const Inputs& in, SolverState& solver);
inline VertexEntries gatherVertexEntries(DecompositionState& state) {
    return gatherVertexEntries(state.inputs, state.solver);
}

// Row of a mesh vertex id, or -1 when the id is not used.
inline int32_t rowOf(const VertexEntries& entries, int32_t id) {
    return id >= 0 && static_cast<size_t>(id) < entries.rowOfId.size() ? entries.rowOfId[static_cast<size_t>(id)] : -1;
}

// The sparse weights of the rows in compressed form: the slots of row j are first[j] .. first[j + 1] - 1, in list
// order, with their bone and weight. A slot whose bone lies outside 0..J-1 is dropped (it cannot be skinned), and so,
// when dropZeros is set, is a slot of weight exactly 0, whose term is an exact zero as long as the products are finite.
struct SlotRows {
    std::vector<int32_t> first;
    std::vector<int32_t> bone;
    std::vector<double> weight;
    std::vector<int32_t> position;  // the slot's position in the vertex's influence list
};
void gatherSlotRows(const DecompositionState& state, const VertexEntries& entries, bool dropZeros, SlotRows& rows);

// True when every product is finite, so that a zero weight contributes an
// exact zero.
bool allFinite(const std::vector<MMatrix>& products);

// x, y, z of p * m, in the host's operation order.
inline void transformPoint(const double p[4], const MMatrix& m, double out[3]) {
    const auto& a = m.matrix;
    out[0] = p[0] * a[0][0] + p[1] * a[1][0] + p[2] * a[2][0] + p[3] * a[3][0];
    out[1] = p[0] * a[0][1] + p[1] * a[1][1] + p[2] * a[2][1] + p[3] * a[3][1];
    out[2] = p[0] * a[0][2] + p[1] * a[1][2] + p[2] * a[2][2] + p[3] * a[3][2];
}
