#include "solver/reconstruction_error.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "solver/parallel.h"
#include "solver/step_data.h"

namespace {

// Vertices are summed in fixed blocks of this many, by ascending id, and the
// block sums in block order: the result does not depend on the thread count.
constexpr int kErrorBlock = 64;

}  // namespace

void measureReconstructionError(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = std::max(in.F, 0);
    const int V = std::max(in.V, 0);
    const int J = std::max(in.J, 0);

    // Products with the shape index innermost: for one vertex and slot, the
    // blend over every shape is a run of independent multiply-adds.
    // at(k, r, c) points at F values of products[f * J + k][r][c].
    std::vector<MMatrix> products;
    formSkinningProducts(state, products);
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
                double* by = bx + F;
                double* bz = by + F;
                for (int32_t s = slots.first[static_cast<size_t>(j)]; s < slots.first[static_cast<size_t>(j) + 1]; ++s) {
                    const int k = slots.bone[static_cast<size_t>(s)];
                    const double w = slots.weight[static_cast<size_t>(s)];
                    const double a0 = w * p.x, a1 = w * p.y, a2 = w * p.z, a3 = w * p.w;
                    const double* m0x = at(k, 0, 0);
                    const double* m1x = at(k, 1, 0);
                    const double* m2x = at(k, 2, 0);
                    const double* m3x = at(k, 3, 0);
                    const double* m0y = at(k, 0, 1);
                    const double* m1y = at(k, 1, 1);
                    const double* m2y = at(k, 2, 1);
                    const double* m3y = at(k, 3, 1);
                    const double* m0z = at(k, 0, 2);
                    const double* m1z = at(k, 1, 2);
                    const double* m2z = at(k, 2, 2);
                    const double* m3z = at(k, 3, 2);
                    for (int f = 0; f < F; ++f) {
                        bx[f] += a0 * m0x[f] + a1 * m1x[f] + a2 * m2x[f] + a3 * m3x[f];
                        by[f] += a0 * m0y[f] + a1 * m1y[f] + a2 * m2y[f] + a3 * m3y[f];
                        bz[f] += a0 * m0z[f] + a1 * m1z[f] + a2 * m2z[f] + a3 * m3z[f];
                    }
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
