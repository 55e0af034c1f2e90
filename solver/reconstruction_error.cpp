#include "solver/reconstruction_error.h"

#include <cmath>
#include <vector>

#include "solver/parallel.h"
#include "solver/step_data.h"

void measureReconstructionError(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = in.F;
    const int V = in.V;

    // Flat per-step views: products, rest positions and weighted slots. When
    // every product is finite a zero weight adds an exact zero, so its slot
    // is left out; the sums keep the reference's order term by term.
    std::vector<MMatrix> products;
    formSkinningProducts(state, products);
    const VertexEntries entries = gatherVertexEntries(state);
    SlotRows slots;
    gatherSlotRows(state, entries, allFinite(products), slots);
    std::vector<double> rest(4 * static_cast<size_t>(V > 0 ? V : 0));
    for (int j = 0; j < V; ++j) {
        const MPoint& p = in.restPoints[static_cast<unsigned>(in.vertexIds[static_cast<unsigned>(j)])];
        double* r = &rest[4 * static_cast<size_t>(j)];
        r[0] = p.x;
        r[1] = p.y;
        r[2] = p.z;
        r[3] = p.w;
    }
    std::vector<double> frameSums(static_cast<size_t>(F > 0 ? F : 0), 0.0);
    const int J = in.J;

    prepareParallelStep(state);
#pragma omp parallel for schedule(static)
    for (int f = 0; f < F; ++f) {
        const MMatrix* frame = products.data() + static_cast<size_t>(f) * J;
        const MPointArray& targets = in.shapePoints[f];
        double sum = 0.0;
        for (int j = 0; j < V; ++j) {
            const double* p = &rest[4 * static_cast<size_t>(j)];
            double x = 0.0, y = 0.0, z = 0.0;
            const int32_t end = slots.first[static_cast<size_t>(j) + 1];
            for (int32_t s = slots.first[static_cast<size_t>(j)]; s < end; ++s) {
                double q[3];
                transformPoint(p, frame[slots.bone[static_cast<size_t>(s)]], q);
                const double w = slots.weight[static_cast<size_t>(s)];
                x += w * q[0];
                y += w * q[1];
                z += w * q[2];
            }
            const MPoint& target = targets[static_cast<unsigned>(in.vertexIds[static_cast<unsigned>(j)])];
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
