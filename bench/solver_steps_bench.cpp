// Time of each solver step for one iteration, fast (solver/) against the
// direct reference (reference_steps.cpp), on generated rigs: the two
// production sizes, a sweep of V, F and J around the small one, and a
// character-like rig far from the origin ("chains", makeChainRig).
//
// Every benchmark first runs the reference and the fast step once each on
// copies of the same state and checks them against each other (same
// influence lists, weights within 1e-9, matrices within 1e-9, errors within
// 1e-9 relative), then times the fast step. Counters (also in
// --benchmark_format=json):
//   reference_ms  best time of the reference step (up to 3 runs, once per
//                 process and case)
//   fast_ms       best time of the fast step over the timed iterations
//   speedup       reference_ms / fast_ms
//   gflops        model arithmetic of the step (its dominant products, see
//                 stepFlops) / fast_ms
//   eigen_gflops  Eigen's matrix-product rate on this machine with the same
//                 thread count and build flags
//   peak_fraction gflops / eigen_gflops
//   checked       1 when the fast results match the reference
//   reduced_solves weight steps: vertex solves the normal equations left to
//                 the reduced design matrix
//   fallback_rate weight steps: reduced_solves over all vertex solves
//   refined_rate  weight steps: list solves of the normal equations refined
//                 once on the tall rows, over all vertex solves
//   exact_fits    bone steps: (shape, bone) fits made on the bone's residuals
//                 rather than from its 3 x 3 sums (the guard's fallback)
//   exact_fit_rate bone steps: exact_fits over all (shape, bone) fits
// Names are <size>/<step>/threads:<n>; `--benchmark_filter=small` runs only
// the small size, and a data set is generated only when one of its cases runs.
// `--skip_reference` times the fast steps alone (for profilers and counters).
// `--real_data=DIR` adds the "character" size: the production-size character
// that bench/data/make-datasets --production writes into DIR
// (mocap-0103-production-dqs.pc2), placed at 40 joints by the program's
// joint placement and solved for two iterations; without it those cases are
// skipped.

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <Eigen/Core>

#include "cli/io/pc2_reader.h"
#include "cli/rig/joint_placement.h"
#include "known_rig.h"
#include "reference_steps.h"
#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/fit_kernels.h"
#include "solver/reconstruction_error.h"
#include "solver/weight_kernels.h"
#include "solver/weight_solver.h"

namespace {

using Clock = std::chrono::steady_clock;

bool skipReference = false;
std::string realDataFolder;

struct Size {
    std::string name;
    int vertices, frames, bones, maxInfluence;
    bool chains = false;     // the character-like rig of makeChainRig (bones = its J)
    bool character = false;  // the real character of --real_data (vertices, frames: the file's)
};

// The two production sizes, then a sweep around the small one: V, F and J in
// turn at half and twice their value.
const std::vector<Size>& sizes() {
    static const std::vector<Size> list = {
        {"small", 10000, 100, 30, 4},
        {"large", 50000, 200, 60, 8},
        {"sweep_V5000", 5000, 100, 30, 4},
        {"sweep_V20000", 20000, 100, 30, 4},
        {"sweep_F50", 10000, 50, 30, 4},
        {"sweep_F200", 10000, 200, 30, 4},
        {"sweep_J15", 10000, 100, 15, 4},
        {"sweep_J60", 10000, 100, 60, 4},
        // Five chains of eight bones walking 1e4 units from the origin,
        // lagragian the model's size: the inputs the fast paths must not
        // leave to their fallbacks.
        {"chains", 4000, 300, 40, 4, true},
        // A real animation: a motion-capture walk on a 24,229-vertex body,
        // dual-quaternion skinned, 300 frames.
        {"character", 0, 0, 40, 8, false, true},
        // A random rig of the character's size, to compare with.
        {"character_synthetic", 24229, 300, 40, 8},
    };
    return list;
}

MMatrix toMMatrix(const vantrel::rig::Matrix4& m) {
    double rows[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) rows[r][c] = m[static_cast<size_t>(4 * r + c)];
    return MMatrix(rows);
}

// The production character as the program starts it: its first frame the
// rest pose, joints placed by motion clustering (the clustering grown from
// the worst residual), lagragian 100 x the rest bounding-box diagonal as the
// program's default, then four iterations (three reselecting) so that
// weights blend as they do when the program's solve is under way.
DecompositionState characterState(const Size& size) {
    const std::string path = realDataFolder + "/mocap-0103-production-dqs.pc2";
    const vantrel::io::MeshAnimation animation = vantrel::io::readPc2(path);
    const int V = animation.vertexCount;
    const int F = static_cast<int>(animation.frames.size()) - 1;
    vantrel::rig::JointPlacementOptions placement;
    placement.boneCount = size.bones;
    placement.restSeededCandidates = 0;
    const vantrel::rig::JointPlacement joints = vantrel::rig::placeJoints(V, animation.frames, placement);
    const int J = joints.boneCount;

    DecompositionState state = blankState(F, J, V);
    Inputs& in = state.inputs;
    double diagonalSum = 0.0, restDiagonal = 0.0;
    for (int f = 0; f <= F; ++f) {
        const std::vector<double>& frame = animation.frames[static_cast<size_t>(f)];
        MPointArray& points = f == 0 ? in.restPoints : in.shapePoints[static_cast<size_t>(f - 1)];
        double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (int v = 0; v < V; ++v) {
            const double* q = &frame[static_cast<size_t>(3 * v)];
            points[static_cast<unsigned>(v)] = MPoint(q[0], q[1], q[2]);
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::min(lo[c], q[c]);
                hi[c] = std::max(hi[c], q[c]);
            }
        }
        const double diagonal = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                          (hi[2] - lo[2]) * (hi[2] - lo[2]));
        if (f == 0)
            restDiagonal = diagonal;
        else
            diagonalSum += diagonal;
    }
    in.V = V;
    in.vertexIds.setLength(static_cast<unsigned>(V));
    for (int v = 0; v < V; ++v) in.vertexIds[static_cast<unsigned>(v)] = v;
    in.maxInfluence = size.maxInfluence;
    in.constraintWeight = 100.0 * restDiagonal;
    in.maxIteration = 30;
    in.iterationFullSolver = 3;
    in.diagonalSum = diagonalSum;
    for (int j = 0; j < J; ++j)
        state.solver.bindingMatrices[static_cast<size_t>(j)] =
            toMMatrix(joints.restWorld[static_cast<size_t>(j)]).inverse();
    for (int f = 0; f < F; ++f)
        for (int j = 0; j < J; ++j)
            state.solver.boneTransforms[static_cast<size_t>(f)][static_cast<size_t>(j)] =
                toMMatrix(joints.frameWorld[static_cast<size_t>(f + 1)][static_cast<size_t>(j)]);
    runIterations(state, 4);
    in.updateRestMatrices = true;
    return state;
}

// One data set per size, past its first iteration (weights and index built),
// with perturbed transforms so the bone step has work to do.
DecompositionState& dataset(const Size& size) {
    static std::map<std::string, std::unique_ptr<DecompositionState>> cache;
    auto& slot = cache[size.name];
    if (!slot && size.character) slot = std::make_unique<DecompositionState>(characterState(size));
    if (!slot && size.chains) {
        ChainRigOptions options;
        options.vertices = size.vertices;
        options.frames = size.frames;
        options.bonesPerChain = size.bones / options.chains;
        options.maxInfluence = size.maxInfluence;
        options.noise = 1e-3;  // captured motion is never exactly a blend of rigid bones
        KnownRig rig = makeChainRig(options);
        perturbTransforms(rig.state, 0.02, 0.01, 3);
        runIterations(rig.state, 1);
        rig.state.inputs.updateRestMatrices = true;
        slot = std::make_unique<DecompositionState>(std::move(rig.state));
    }
    if (!slot) {
        RigOptions options;
        options.vertices = size.vertices;
        options.frames = size.frames;
        options.bones = size.bones;
        options.maxInfluence = size.maxInfluence;
        KnownRig rig = makeKnownRig(options);
        perturbTransforms(rig.state, 0.1, 0.05, 3);
        runIterations(rig.state, 1);
        rig.state.inputs.updateRestMatrices = true;
        slot = std::make_unique<DecompositionState>(std::move(rig.state));
    }
    return *slot;
}

using StepFn = void (*)(DecompositionState&);

struct Step {
    const char* name;
    StepFn fast;
    StepFn reference;
};

// Iteration index 1 reselects influences (iterationFullSolver is 3 in the
// generated rigs); index iterationFullSolver solves over each list only.
int reselecting(const DecompositionState&) { return 1; }
int restricted(const DecompositionState& s) { return s.inputs.iterationFullSolver; }

const Step kSteps[] = {
    {"solveWeights/select", [](DecompositionState& s) { solveWeights(s, reselecting(s)); },
     [](DecompositionState& s) { reference::solveWeights(s, reselecting(s)); }},
    {"solveWeights/restricted", [](DecompositionState& s) { solveWeights(s, restricted(s)); },
     [](DecompositionState& s) { reference::solveWeights(s, restricted(s)); }},
    {"solveBones/rigid",
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         solveBones(s);
     },
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         reference::solveBones(s);
     }},
    {"solveBones/affine",
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = false;
         solveBones(s);
     },
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = false;
         reference::solveBones(s);
     }},
    {"updateBindingMatrices", [](DecompositionState& s) { updateBindingMatrices(s); },
     [](DecompositionState& s) { reference::updateBindingMatrices(s); }},
    {"measureReconstructionError", [](DecompositionState& s) { measureReconstructionError(s); },
     [](DecompositionState& s) { reference::measureReconstructionError(s); }},
    {"rebuildBoneInfluenceIndex", [](DecompositionState& s) { rebuildBoneInfluenceIndex(s.inputs, s.solver); },
     [](DecompositionState& s) { reference::rebuildBoneInfluenceIndex(s); }},
    // One whole iteration in the run driver's order, rigid bones: binding
    // update, bones, weights, error, and the index when influences were
    // reselected.
    {"iteration/select",
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         updateBindingMatrices(s);
         solveBones(s);
         solveWeights(s, reselecting(s));
         measureReconstructionError(s);
         rebuildBoneInfluenceIndex(s.inputs, s.solver);
     },
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         reference::updateBindingMatrices(s);
         reference::solveBones(s);
         reference::solveWeights(s, reselecting(s));
         reference::measureReconstructionError(s);
         reference::rebuildBoneInfluenceIndex(s);
     }},
    {"iteration/restricted",
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         updateBindingMatrices(s);
         solveBones(s);
         solveWeights(s, restricted(s));
         measureReconstructionError(s);
     },
     [](DecompositionState& s) {
         s.inputs.rigidMatrices = true;
         reference::updateBindingMatrices(s);
         reference::solveBones(s);
         reference::solveWeights(s, restricted(s));
         reference::measureReconstructionError(s);
     }},
};

// Model arithmetic of a step, in flops: the products that dominate the fast
// step, counted once (a multiply-add is two flops). Weight step: A^T b is
// 24 F flops per bone solved over (J when selecting, the list otherwise),
// plus the per-step 4 x 4 sums, 2 (4J)^2 3F. Bone step: per shape, each
// listed vertex adds its source vector times its target (24 flops), and each
// pair of bones sharing a listed vertex a 4 x 4 by 4 x 3 product (96).
// Error: per shape and vertex, 30 per weighted slot plus 9. Binding update and
// index: one pass over the slots.
double stepFlops(const std::string& step, const DecompositionState& s) {
    const double V = s.inputs.V, F = s.inputs.F, J = s.inputs.J;
    double slots = 0.0, weighted = 0.0, listed = 0.0;
    for (const auto& [id, w] : s.solver.vertexWeights) {
        slots += static_cast<double>(w.size());
        for (double x : w) weighted += x != 0.0 ? 1.0 : 0.0;
    }
    double pairs = 0.0;
    std::vector<char> partner;
    for (size_t g = 0; g < s.solver.boneVertices.size(); ++g) {
        const auto& list = s.solver.boneVertices[g];
        listed += static_cast<double>(list.size());
        partner.assign(static_cast<size_t>(std::max(s.inputs.J, 0)), 0);
        for (int32_t id : list) {
            const auto it = s.solver.vertexInfluences.find(id);
            if (it == s.solver.vertexInfluences.end()) continue;
            for (int32_t k : it->second)
                if (k >= 0 && k < s.inputs.J && static_cast<size_t>(k) != g && !partner[static_cast<size_t>(k)]) {
                    partner[static_cast<size_t>(k)] = 1;
                    pairs += 1.0;
                }
        }
    }
    const double tables = 2.0 * (4 * J) * (4 * J) * 3 * F;
    const double selectW = 24.0 * F * J * V + tables;
    const double restrictedW = 24.0 * F * slots + tables;
    const double bones = F * (24.0 * listed + 96.0 * pairs);
    const double error = F * (30.0 * weighted + 9.0 * V);
    const double binding = 6.0 * listed;
    if (step == "solveWeights/select") return selectW;
    if (step == "solveWeights/restricted") return restrictedW;
    if (step.rfind("solveBones", 0) == 0) return bones;
    if (step == "measureReconstructionError") return error;
    if (step == "updateBindingMatrices") return binding;
    if (step == "rebuildBoneInfluenceIndex") return slots;
    if (step == "iteration/select") return binding + bones + selectW + error + slots;
    if (step == "iteration/restricted") return binding + bones + restrictedW + error;
    return 0.0;
}

// Eigen's general matrix product rate, GFLOP/s, with the given thread count.
double eigenProductRate(int threads) {
    static std::map<int, double> cache;
    auto it = cache.find(threads);
    if (it != cache.end()) return it->second;
    const int n = 768;
    const Eigen::MatrixXd a = Eigen::MatrixXd::Random(n, n), b = Eigen::MatrixXd::Random(n, n);
    Eigen::MatrixXd c(n, n);
    omp_set_dynamic(0);
    omp_set_num_threads(threads);
    double best = HUGE_VAL;
    for (int r = 0; r < 5; ++r) {
        const auto t0 = Clock::now();
        c.noalias() = a * b;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        benchmark::DoNotOptimize(c.data());
    }
    const double rate = 2.0 * n * n * n / best * 1e-9;
    cache[threads] = rate;
    return rate;
}

struct Deviation {
    bool sameLists = true;
    double weight = 0.0;  // largest |difference| of a weight
    double matrix = 0.0;  // largest |difference| / max(1, |value|) of a matrix entry
    double error = 0.0;   // largest relative difference of an error entry
};

void compareMatrix(const MMatrix& a, const MMatrix& b, double& worst) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const double d = std::fabs(a[r][c] - b[r][c]) / std::max(1.0, std::fabs(a[r][c]));
            worst = std::max(worst, std::isnan(d) ? HUGE_VAL : d);
        }
}

Deviation compare(const SolverState& a, const SolverState& b) {
    Deviation d;
    d.sameLists = a.vertexInfluences == b.vertexInfluences && a.boneVertices == b.boneVertices &&
                  a.boneVertexSlots == b.boneVertexSlots && a.errorHistory.size() == b.errorHistory.size();
    for (const auto& [id, wa] : a.vertexWeights) {
        const auto it = b.vertexWeights.find(id);
        if (it == b.vertexWeights.end() || it->second.size() != wa.size()) {
            d.sameLists = false;
            continue;
        }
        for (size_t k = 0; k < wa.size(); ++k) d.weight = std::max(d.weight, std::fabs(wa[k] - it->second[k]));
    }
    for (size_t k = 0; k < a.bindingMatrices.size() && k < b.bindingMatrices.size(); ++k)
        compareMatrix(a.bindingMatrices[k], b.bindingMatrices[k], d.matrix);
    for (size_t f = 0; f < a.boneTransforms.size() && f < b.boneTransforms.size(); ++f)
        for (size_t k = 0; k < a.boneTransforms[f].size(); ++k)
            compareMatrix(a.boneTransforms[f][k], b.boneTransforms[f][k], d.matrix);
    for (size_t i = 0; i < a.errorHistory.size() && i < b.errorHistory.size(); ++i)
        d.error = std::max(
            d.error, std::fabs(a.errorHistory[i] - b.errorHistory[i]) / std::max(std::fabs(a.errorHistory[i]), 1e-300));
    return d;
}

double seconds(StepFn run, DecompositionState& state) {
    const auto t0 = Clock::now();
    run(state);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Baseline {
    double referenceSeconds = 0.0;
    Deviation deviation;
    int64_t reducedSolves = 0;
    int64_t gramSolves = 0;
    int64_t refinedSolves = 0;
    BoneStepCounts bones;
};

// Runs the reference and the fast step on copies of the data set, once per
// process and case: the reference's best time and the deviation.
const Baseline& baseline(const Size& size, const Step& step, int threads) {
    static std::map<std::string, Baseline> cache;
    const std::string key = size.name + "/" + step.name + "/" + std::to_string(threads);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    Baseline result;
    if (skipReference) return cache[key] = result;
    const DecompositionState& data = dataset(size);
    double best = HUGE_VAL, total = 0.0;
    DecompositionState ref;
    for (int r = 0; r < 3 && (r == 0 || total < 3.0); ++r) {
        ref = data;
        const double t = seconds(step.reference, ref);
        best = std::min(best, t);
        total += t;
    }
    result.referenceSeconds = best;
    DecompositionState fast = data;
    WeightStepCounts counts;
    if (std::string(step.name).rfind("solveWeights", 0) == 0) {
        const bool select = std::string(step.name) == "solveWeights/select";
        solveWeightsCounting(fast, select ? reselecting(fast) : restricted(fast), &counts);
    } else if (std::string(step.name).rfind("solveBones", 0) == 0) {
        fast.inputs.rigidMatrices = std::string(step.name) == "solveBones/rigid";
        solveBonesCounting(fast, &result.bones);
    } else {
        step.fast(fast);
    }
    result.reducedSolves = counts.reducedSolves;
    result.gramSolves = counts.gramSolves;
    result.refinedSolves = counts.refinedSolves;
    result.deviation = compare(ref.solver, fast.solver);
    const Deviation& d = result.deviation;
    if (!d.sameLists || !(d.weight <= 1e-9) || !(d.matrix <= 1e-9) || !(d.error <= 1e-9))
        std::fprintf(stderr, "MISMATCH %s: lists %s, weight %.3g, matrix %.3g, error %.3g\n", key.c_str(),
                     d.sameLists ? "same" : "differ", d.weight, d.matrix, d.error);
    return cache[key] = result;
}

void registerCase(const Size& size, const Step& step, int threads) {
    const std::string name = size.name + "/" + step.name + "/threads:" + std::to_string(threads);
    benchmark::RegisterBenchmark(
        name.c_str(),
        [size, step, threads](benchmark::State& st) {
            if (size.character && realDataFolder.empty()) {
                st.SkipWithError("needs --real_data=DIR (bench/data/make-datasets --production)");
                return;
            }
            const double eigenRate = eigenProductRate(threads);
            DecompositionState& state = dataset(size);
            state.limitThreads = true;
            state.usedCPU = threads;
            const Baseline& base = baseline(size, step, threads);
            const double flops = stepFlops(step.name, state);
            double best = HUGE_VAL;
            for (auto _ : st) best = std::min(best, seconds(step.fast, state));
            const Deviation& d = base.deviation;
            st.counters["fast_ms"] = best * 1e3;
            st.counters["gflops"] = flops / best * 1e-9;
            st.counters["eigen_gflops"] = eigenRate;
            st.counters["peak_fraction"] = flops / best * 1e-9 / eigenRate;
            if (skipReference) return;
            st.counters["reference_ms"] = base.referenceSeconds * 1e3;
            st.counters["speedup"] = base.referenceSeconds / best;
            st.counters["checked"] = d.sameLists && d.weight <= 1e-9 && d.matrix <= 1e-9 && d.error <= 1e-9;
            st.counters["max_weight_diff"] = d.weight;
            st.counters["max_matrix_diff"] = d.matrix;
            st.counters["max_error_diff"] = d.error;
            if (base.reducedSolves + base.gramSolves > 0) {
                st.counters["reduced_solves"] = static_cast<double>(base.reducedSolves);
                st.counters["fallback_rate"] =
                    static_cast<double>(base.reducedSolves) / static_cast<double>(base.reducedSolves + base.gramSolves);
                st.counters["refined_rate"] =
                    static_cast<double>(base.refinedSolves) / static_cast<double>(base.reducedSolves + base.gramSolves);
            }
            const int64_t boneFits = base.bones.sumFits + base.bones.exactFits;
            if (boneFits > 0) {
                st.counters["exact_fits"] = static_cast<double>(base.bones.exactFits);
                st.counters["exact_fit_rate"] =
                    static_cast<double>(base.bones.exactFits) / static_cast<double>(boneFits);
            }
        })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

// Registered during static initialisation, as the benchmark macros do.
const bool registered = [] {
    for (const Size& size : sizes()) {
        const bool production = size.name == "small" || size.name == "large";
        for (const Step& step : kSteps) {
            const std::string name = step.name;
            // The character-like rig and the real character time the weight
            // and rigid bone steps and whole iterations.
            if (size.chains || size.character || size.name == "character_synthetic") {
                if (name.rfind("solveWeights", 0) == 0 || name == "solveBones/rigid" || name.rfind("iteration", 0) == 0)
                    for (int threads : {1, 2}) registerCase(size, step, threads);
                continue;
            }
            // The sweep times whole iterations only.
            if (!production && name.rfind("iteration", 0) != 0) continue;
            for (int threads : {1, 2}) {
                if (!production && threads == 1) continue;
                registerCase(size, step, threads);
            }
        }
    }
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    // Our own flags first; the library rejects flags it does not know.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--skip_reference")
            skipReference = true;
        else if (arg.rfind("--real_data=", 0) == 0)
            realDataFolder = arg.substr(std::string("--real_data=").size());
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
