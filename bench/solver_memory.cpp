// Peak memory of a decomposition run against the memory of its sampled point
// arrays. Generates a rig of the given size into a decomposition state (rest
// points and F shapes of MPoint, as sampling fills them), drops the generator's
// own data, then runs the run driver's steps for a few iterations and prints
// the resident set before and at its peak (VmHWM, reset after generation where
// the kernel allows it).
//
//   solver_memory [V F J K iterations]   (default: the large size, 4 iterations)

#include <cstdio>
#include <ostream>
#include <string>

#include "memory_run.h"
#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/reconstruction_error.h"
#include "solver/weight_solver.h"

int main(int argc, char** argv) {
    const MemoryRunSize size = memoryRunSize(argc, argv);
    const RigOptions& options = size.rig;
    const int iterations = size.iterations;

    DecompositionState state;
    {
        KnownRig rig = makeKnownRig(options);
        perturbTransforms(rig.state, 0.1, 0.05, 3);
        state = std::move(rig.state);
    }
    state.inputs.updateRestMatrices = true;
    state.inputs.iterationFullSolver = 2;
    const double pointBytes =
        static_cast<double>(state.inputs.F + 1) * state.inputs.restPoints.length() * sizeof(MPoint);
    const long before = statusKb("VmRSS");
    resetPeakResident();
    for (int i = 0; i < iterations; ++i) {
        if (i > 0) {
            updateBindingMatrices(state);
            solveBones(state);
        }
        solveWeights(state, i);
        measureReconstructionError(state);
        if (i == 0 || i < state.inputs.iterationFullSolver) rebuildBoneInfluenceIndex(state.inputs, state.solver);
    }
    const long peak = statusKb("VmHWM");
    std::printf("V %d F %d J %d K %d, %d iterations, error %.6g\n", options.vertices, options.frames, options.bones,
                options.maxInfluence, iterations, state.solver.errorHistory.back());
    std::printf("point arrays %.1f MB, resident before the run %.1f MB, peak during the run %.1f MB\n",
                pointBytes / 1e6, before * 1024.0 / 1e6, peak * 1024.0 / 1e6);
    std::printf("peak / point arrays = %.3f\n", peak * 1024.0 / pointBytes);
    return 0;
}
