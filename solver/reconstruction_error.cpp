#include "solver/reconstruction_error.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "solver/matrix_utils.h"
#include "solver/parallel.h"
#include "solver/step_data.h"

namespace {

// Vertices are summed in fixed blocks of this many, by ascending id, and the
// block sums in block order: the result does not depend on the thread count.
constexpr int kErrorBlock = 64;

// One slot's share of a vertex's blend over all F shapes:
// blend[c F + f] += sum_r a_r m[(3 r + c) F + f], with m the bone's products
// by shape (row r, column c, shape f). The runs never overlap, which the
// vectoriser must be told.
void addSlotBlend(int F, double a0, double a1, double a2, double a3, const double* __restrict m,
                  double* __restrict blend) {
    for (int c = 0; c < 3; ++c) {
        const double* m0 = m + static_cast<size_t>(c) * F;
        const double* m1 = m0 + 3 * static_cast<size_t>(F);
        const double* m2 = m1 + 3 * static_cast<size_t>(F);
        const double* m3 = m2 + 3 * static_cast<size_t>(F);
        double* b = blend + static_cast<size_t>(c) * F;
        for (int f = 0; f < F; ++f) b[f] += a0 * m0[f] + a1 * m1[f] + a2 * m2[f] + a3 * m3[f];
    }
}

}  // namespace

void measureReconstructionError(DecompositionState& state) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = std::max(in.F, 0);
    const int V = std::max(in.V, 0);
    const int J = std::max(in.J, 0);

    // Products with the shape index innermost: for one vertex and slot, the
    // blend over every shape is a run of independent multiply-adds.
    // at(k, r, c) points at F values of products[f * J + k][r][c].
    const std::vector<MMatrix> products = skinningProducts(state);
    std::vector<double> byShape(static_cast<size_t>(J) * 12 * F);
    auto at = [&](int k, int r, int c) { return &byShape[((static_cast<size_t>(k) * 4 + r) * 3 + c) * F]; };
    for (int k = 0; k < J; ++k)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 3; ++c) {
                double* out = at(k, r, c);
                for (int f = 0; f < F; ++f) out[f] = products[static_cast<size_t>(f) * J + k][r][c];
            }
    // When every product is finite a zero weight adds an exact zero, so its
    // slot is left out.
    const VertexEntries entries = gatherVertexEntries(state);
    SlotRows slots;
    gatherSlotRows(state, entries, allFinite(products), slots);
    const int rowCount = static_cast<int>(entries.ids.size());
    const int blocks = (rowCount + kErrorBlock - 1) / kErrorBlock;
    std::vector<double> blockSums(static_cast<size_t>(blocks), 0.0);

    prepareParallelStep(state);
#pragma omp parallel
    {
        // Per block vertex v, its blended x, y, z over all shapes at
        // blended[(3 v + c) F + f], and its sum of squared distances.
        std::vector<double> blended(3 * static_cast<size_t>(kErrorBlock) * F);
        std::vector<double> vertexSums(static_cast<size_t>(kErrorBlock));
#pragma omp for schedule(static)
        for (int block = 0; block < blocks; ++block) {
            const int begin = block * kErrorBlock;
            const int count = std::min(rowCount, begin + kErrorBlock) - begin;
            std::fill(blended.begin(), blended.end(), 0.0);
            for (int v = 0; v < count; ++v) {
                const int j = begin + v;
                const MPoint& p = in.restPoints[static_cast<unsigned>(entries.ids[static_cast<size_t>(j)])];
                double* bx = &blended[3 * static_cast<size_t>(v) * F];
                for (int32_t s = slots.first[static_cast<size_t>(j)]; s < slots.first[static_cast<size_t>(j) + 1];
                     ++s) {
                    const int k = slots.bone[static_cast<size_t>(s)];
                    const double w = slots.weight[static_cast<size_t>(s)];
                    addSlotBlend(F, w * p.x, w * p.y, w * p.z, w * p.w, at(k, 0, 0), bx);
                }
            }
            // Shape by shape, the block's targets are a run of nearby ids.
            std::fill(vertexSums.begin(), vertexSums.end(), 0.0);
            for (int f = 0; f < F; ++f) {
                const MPointArray& shape = in.shapePoints[f];
                for (int v = 0; v < count; ++v) {
                    const MPoint& target = shape[static_cast<unsigned>(entries.ids[static_cast<size_t>(begin + v)])];
                    const double* b = &blended[3 * static_cast<size_t>(v) * F + f];
                    const double dx = b[0] - target.x, dy = b[F] - target.y, dz = b[2 * F] - target.z;
                    vertexSums[static_cast<size_t>(v)] += dx * dx + dy * dy + dz * dz;
                }
            }
            double sum = 0.0;
            for (int v = 0; v < count; ++v) sum += vertexSums[static_cast<size_t>(v)];
            blockSums[static_cast<size_t>(block)] = sum;
        }
    }

    double total = 0.0;
    for (double s : blockSums) total += s;
    const double rms = std::sqrt(total / (V * 3.0 * F));
    const double error = rms * 1000.0 / in.diagonalSum;
    const double improvement =
        solver.improvementHistory.empty() ? 1.0 : std::fabs(1.0 - error / solver.errorHistory.back()) * 100.0;
    solver.errorHistory.push_back(error);
    solver.improvementHistory.push_back(improvement);
}
