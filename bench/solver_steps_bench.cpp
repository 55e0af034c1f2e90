// Time of each solver step for one iteration, on generated rigs of two
// sizes. Names start with the size, so `--benchmark_filter=small` runs only
// the small one; the large data set is generated only when one of its
// benchmarks runs.

#include <map>
#include <ostream>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "known_rig.h"
#include "plugin/progress_log.h"
#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/reconstruction_error.h"
#include "solver/weight_solver.h"

namespace {

struct Size {
    const char* name;
    int vertices, frames, bones, maxInfluence;
};

const Size kSizes[] = {{"small", 10000, 100, 30, 4}, {"large", 50000, 200, 60, 8}};

// One data set per size, past its first iteration (weights and index built),
// with perturbed transforms so the bone step has work to do.
DecompositionState& dataset(const Size& size) {
    static std::map<std::string, std::unique_ptr<DecompositionState>> cache;
    auto& slot = cache[size.name];
    if (!slot) {
        RigOptions options;
        options.vertices = size.vertices;
        options.frames = size.frames;
        options.bones = size.bones;
        options.maxInfluence = size.maxInfluence;
        KnownRig rig = makeKnownRig(options);
        perturbTransforms(rig.state, 0.1, 0.05, 3);
        runIterations(rig.state, 1);
        slot = std::make_unique<DecompositionState>(std::move(rig.state));
    }
    return *slot;
}

void registerSize(const Size& size) {
    const std::string prefix = std::string(size.name) + "/";
    auto add = [&](const std::string& step, void (*run)(DecompositionState&)) {
        benchmark::RegisterBenchmark((prefix + step).c_str(),
                                     [size, run](benchmark::State& st) {
                                         // The binding update's progress line would
                                         // drown the report.
                                         logStream.rdbuf(nullptr);
                                         DecompositionState& state = dataset(size);
                                         for (auto _ : st) run(state);
                                     })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    // Iteration 0 reselects influences over all bones; later iterations
    // solve over each vertex's list only.
    add("solveWeights/select", [](DecompositionState& s) { solveWeights(s, 0); });
    add("solveWeights/restricted", [](DecompositionState& s) { solveWeights(s, s.inputs.iterationFullSolver); });
    add("solveBones/rigid", [](DecompositionState& s) {
        s.inputs.rigidMatrices = true;
        solveBones(s, 1);
    });
    add("solveBones/affine", [](DecompositionState& s) {
        s.inputs.rigidMatrices = false;
        solveBones(s, 1);
    });
    add("updateBindingMatrices", [](DecompositionState& s) { updateBindingMatrices(s); });
    add("measureReconstructionError", [](DecompositionState& s) { measureReconstructionError(s, 1); });
    add("rebuildBoneInfluenceIndex", [](DecompositionState& s) { rebuildBoneInfluenceIndex(s, 1); });
}

// Registered during static initialisation, as the benchmark macros do.
const bool registered = [] {
    for (const Size& size : kSizes) registerSize(size);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
