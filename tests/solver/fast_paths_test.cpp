// The fast solver paths against direct computations of the same quantities:
// the normal-equation solve against NnlsSolver on the tall matrix, the weight
// step against a per-vertex solve on the full design matrix, the bone step
// and the error against the reference steps' straightforward loops over the
// maps. Random and
// degenerate inputs; thread counts must not change any bit.

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <Eigen/Dense>

#include "known_rig.h"
#include "nnls_problems.h"
#include "reference_steps.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/fit_kernels.h"
#include "solver/gram_nnls.h"
#include "solver/nnls_solver.h"
#include "solver/reconstruction_error.h"
#include "solver/tolerances.h"
#include "solver/weight_kernels.h"
#include "solver/weight_solver.h"
#include "state_checks.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Normal equations for GramNnlsSolver: the light part G and h, and the
// heavy direction s v v^T (none unless set); columns listed in `twins` are
// declared duplicates of each other.
struct Source {
    MatrixXd G;
    VectorXd rhs;
    VectorXd v;
    double s = 0.0, rho = 0.0;
    std::vector<std::pair<Eigen::Index, Eigen::Index>> twins;
    Eigen::Index size() const { return G.cols(); }
    double atb(Eigen::Index i) const { return rhs[i]; }
    double diagonal(Eigen::Index i) const { return G(i, i); }
    const double* column(Eigen::Index j) const { return &G(0, j); }
    double heavy(Eigen::Index i) const { return v.size() ? v[i] : 0.0; }
    double heavyWeight() const { return s; }
    double heavyTarget() const { return rho; }
    bool duplicates(Eigen::Index i, Eigen::Index j) const {
        for (const auto& [a, b] : twins)
            if ((a == i && b == j) || (a == j && b == i)) return true;
        return false;
    }
};

Source normalEquations(const MatrixXd& A, const VectorXd& b) {
    Source s;
    s.G = A.transpose() * A;
    s.rhs = A.transpose() * b;
    return s;
}

// The split form of A = c 1^T + E with b = c + beta: F = E_perp^T E_perp,
// h = E_perp^T beta_perp, and the heavy direction s v v^T with s = |c|^2,
// v = 1 + E^T c / s.
Source splitNormalEquations(const VectorXd& c, const MatrixXd& E, const VectorXd& beta) {
    Source split;
    split.s = c.squaredNorm();
    const VectorXd u = E.transpose() * c;
    split.G = E.transpose() * E - u * u.transpose() / split.s;
    split.rhs = E.transpose() * beta - u * (c.dot(beta) / split.s);
    split.v = VectorXd::Ones(E.cols()) + u / split.s;
    split.rho = 1.0 + c.dot(beta) / split.s;
    return split;
}

TEST(GramNnls, AgreesWithTheTallSolveOnRandomProblems) {
    std::mt19937 rng(31);
    std::normal_distribution<double> normal(0.0, 1.0);
    GramNnlsSolver gram;
    int decided = 0;
    // Up to 40 variables as well: the solver works on runs of four rows and
    // groups of up to 32, and a problem of ten never fills either.
    for (int trial = 0; trial < 360; ++trial) {
        const int n = trial < 300 ? 1 + trial % 10 : 11 + trial % 30;
        const int m = n + 2 + static_cast<int>(rng() % 10);
        const MatrixXd A = MatrixXd::NullaryExpr(m, n, [&]() { return normal(rng); });
        const VectorXd b = VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        NnlsSolver tall(A, 10 * n, kNnlsEpsilon);
        const bool tallOptimal = tall.solve(b);
        Source source = normalEquations(A, b);
        const GramNnlsSolver::Outcome outcome = gram.solve(source, m, 10 * n, kNnlsEpsilon);
        if (outcome == GramNnlsSolver::Outcome::Undecided) continue;
        ++decided;
        EXPECT_EQ(outcome == GramNnlsSolver::Outcome::Optimal, tallOptimal) << "trial " << trial;
        EXPECT_EQ(gram.iterations(), tall.iterations()) << "trial " << trial;
        EXPECT_EQ(gram.passiveCount(), tall.passiveCount()) << "trial " << trial;
        EXPECT_LT((gram.x() - tall.x()).cwiseAbs().maxCoeff(), 1e-9) << "trial " << trial;
    }
    // Gaussian columns are far from dependent: every problem is decided.
    EXPECT_EQ(decided, 360);
}

TEST(GramNnls, AHeavySharedColumnPartKeepsTheDifferencesDecidable) {
    // A = c 1^T + E: every column carries c, 1e5 times larger than the
    // columns' differences E (a vertex 1e4 from the origin, or a heavy
    // constraint row). A^T A buries E in its rounding, the split form keeps
    // it.
    std::mt19937 rng(12);
    std::normal_distribution<double> normal(0.0, 1.0);
    GramNnlsSolver gram;
    int plainUndecided = 0;
    for (int trial = 0; trial < 100; ++trial) {
        const int n = 2 + trial % 6, m = 3 * n + 4;
        const VectorXd c = 1e5 * VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        const MatrixXd E = MatrixXd::NullaryExpr(m, n, [&]() { return normal(rng); });
        const MatrixXd A = c * Eigen::RowVectorXd::Ones(n) + E;
        const VectorXd beta = VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        const VectorXd b = c + beta;  // weights near summing to one
        const Source split = splitNormalEquations(c, E, beta);
        NnlsSolver tall(A, 10 * n, kNnlsEpsilon);
        const bool tallOptimal = tall.solve(b);
        const GramNnlsSolver::Outcome outcome = gram.solve(split, m, 10 * n, kNnlsEpsilon);
        ASSERT_NE(outcome, GramNnlsSolver::Outcome::Undecided) << trial;
        EXPECT_EQ(outcome == GramNnlsSolver::Outcome::Optimal, tallOptimal) << trial;
        EXPECT_EQ(gram.passiveCount(), tall.passiveCount()) << trial;
        // The tall solve is good to about eps |c| / |E| = 1e-11 here.
        EXPECT_LT((gram.x() - tall.x()).cwiseAbs().maxCoeff(), 1e-10) << trial;
        Source plain = normalEquations(A, b);
        if (gram.solve(plain, m, 10 * n, kNnlsEpsilon) == GramNnlsSolver::Outcome::Undecided) ++plainUndecided;
    }
    // The same problems as plain normal equations: most cannot be decided.
    EXPECT_GT(plainUndecided, 50);
}

// Columns close to dependent (squared pivots near 1e-5 of their norms) with
// a heavy shared part: the normal equations decide the passive set but lose
// digits in the weights; one refinement step with the gradient taken on the
// tall rows brings them to the tall solve's accuracy.
TEST(GramNnls, RefinementOnTheTallRowsRecoversTheWeights) {
    using VectorL = Eigen::Matrix<long double, Eigen::Dynamic, 1>;
    std::mt19937 rng(44);
    std::normal_distribution<double> normal(0.0, 1.0);
    GramNnlsSolver gram;
    double worstBefore = 0.0, worstAfter = 0.0;
    for (int trial = 0; trial < 50; ++trial) {
        const int n = 3 + trial % 6, m = 60;
        const VectorXd c = 1e2 * VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        MatrixXd E = MatrixXd::NullaryExpr(m, n, [&]() { return normal(rng); });
        for (int k = 1; k < n; ++k)
            E.col(k) = E.col(k - 1) + 3e-3 * VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        const MatrixXd A = c * Eigen::RowVectorXd::Ones(n) + E;
        const VectorXd truth = VectorXd::Constant(n, 1.0 / n);
        const VectorXd b = A * truth + 1e-6 * VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
        const VectorXd beta = b - c;
        const Source split = splitNormalEquations(c, E, beta);
        ASSERT_EQ(gram.solve(split, m, 10 * n, kNnlsEpsilon), GramNnlsSolver::Outcome::Optimal) << trial;
        ASSERT_EQ(gram.passiveCount(), n) << trial;
        ASSERT_LT(gram.smallestPivotRatio(), kGramRefinePivot) << trial;
        const VectorL exact = A.cast<long double>().householderQr().solve(b.cast<long double>());
        auto error = [&]() {
            double worst = 0.0;
            for (int k = 0; k < n; ++k) worst = std::max(worst, std::fabs(gram.x()[k] - static_cast<double>(exact[k])));
            return worst;
        };
        worstBefore = std::max(worstBefore, error());
        const VectorL residual = b.cast<long double>() - A.cast<long double>() * gram.x().cast<long double>();
        const VectorL gradientByVariable = A.cast<long double>().transpose() * residual;
        std::vector<double> gradient(static_cast<size_t>(n));
        for (Eigen::Index p = 0; p < n; ++p)
            gradient[static_cast<size_t>(p)] = static_cast<double>(gradientByVariable[gram.passiveVariable(p)]);
        gram.refine(gradient.data());
        worstAfter = std::max(worstAfter, error());
    }
    // Measured: 1.8e-10 before, 2.3e-15 after.
    EXPECT_GT(worstBefore, 1e-11);
    EXPECT_LT(worstAfter, 1e-13);
}

TEST(GramNnls, NearDependentColumnsAreLeftToTheTallSolve) {
    std::mt19937 rng(8);
    std::normal_distribution<double> normal(0.0, 1.0);
    GramNnlsSolver gram;
    for (int trial = 0; trial < 50; ++trial) {
        MatrixXd A = MatrixXd::NullaryExpr(12, 4, [&]() { return normal(rng); });
        // Column 3 leans on columns 0 and 1 to within 1e-5 of its norm.
        A.col(3) = A.col(0) - 0.5 * A.col(1) + 1e-5 * VectorXd::NullaryExpr(12, [&]() { return normal(rng); });
        const VectorXd b = A * VectorXd::Constant(4, 1.0);
        Source source = normalEquations(A, b);
        EXPECT_EQ(gram.solve(source, 12, 40, kNnlsEpsilon), GramNnlsSolver::Outcome::Undecided) << trial;
    }
}

TEST(GramNnls, DeclaredTwinsAreBlockedAsTheTallSolveBlocksThem) {
    // Identical columns at a large scale: rounding lifts the copy's dual over
    // epsilon, the tall solve blocks it, and so must the normal equations.
    std::mt19937 rng(3);
    GramNnlsSolver gram;
    for (int trial = 0; trial < 50; ++trial) {
        MatrixXd A;
        VectorXd b;
        twinColumnsAtLargeScale(rng, A, b);
        Source source = normalEquations(A, b);
        source.twins = {{1, 4}, {1, 5}, {4, 5}};
        const GramNnlsSolver::Outcome outcome = gram.solve(source, 31, 60, kNnlsEpsilon);
        ASSERT_NE(outcome, GramNnlsSolver::Outcome::Undecided) << trial;
        const VectorXd x = gram.x();
        ASSERT_TRUE(x.allFinite());
        EXPECT_TRUE((x.array() >= 0).all());
        const VectorXd tall = solveNonNegative(A, b, 60, kNnlsEpsilon);
        EXPECT_NEAR(x[1] + x[4] + x[5], tall[1] + tall[4] + tall[5], 1e-9) << trial;
        EXPECT_NEAR((A * x - b).squaredNorm(), (A * tall - b).squaredNorm(), 1e-9 * b.squaredNorm());
    }
}

// Per vertex id, the unrestricted weights of the direct selection solve.
using Selections = std::map<int32_t, VectorXd>;

// The weight step done directly, vertex by vertex on the full design matrix;
// the selection solves' weights go to *selections when it is not null.
void directWeights(DecompositionState& state, int iteration, Selections* selections = nullptr) {
    const Inputs& in = state.inputs;
    const bool reselect = iteration == 0 || iteration < in.iterationFullSolver;
    for (unsigned j = 0; j < in.vertexIds.length(); ++j) {
        const int32_t id = in.vertexIds[j];
        std::vector<int32_t>& influences = state.solver.vertexInfluences[id];
        const MatrixXd A = buildDesignMatrix(state, id);
        const VectorXd b = buildTargetVector(state, id);
        if (reselect) {
            const VectorXd x = solveNonNegative(A, b, nnlsIterationCap(in.J), kNnlsEpsilon);
            if (selections) (*selections)[id] = x;
            selectInfluences(x, in.maxInfluence, influences);
        }
        const MatrixXd L = gatherInfluenceColumns(influences, A);
        pruneAndNormalize(solveNonNegative(L, b, nnlsIterationCap(in.maxInfluence), kNnlsEpsilon), kWeightThreshold,
                          state.solver.vertexWeights[id]);
    }
}

// Exact lists, or (exactFit) the weights per bone only: where the shapes
// are exactly a blend of some bones, every other bone has a zero dual and a
// zero weight, and whether one of them ends at +1e-14 or at 0 (and so where
// it lands in the list) is rounding in the tall solve itself.
void expectSameWeights(const DecompositionState& direct, const DecompositionState& fast, const char* what,
                       bool exactFit) {
    if (!exactFit) {
        EXPECT_EQ(direct.solver.vertexInfluences, fast.solver.vertexInfluences) << what;
    }
    for (const auto& [id, w] : direct.solver.vertexWeights) {
        const std::vector<double> a = denseWeights(direct, id), b = denseWeights(fast, id);
        for (size_t k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], 1e-9) << what << " id " << id;
    }
}

// Both weight solves, selecting then restricted, on a copy each.
WeightStepCounts compareWeightSteps(const DecompositionState& start, const char* what, bool exactFit = false) {
    DecompositionState direct = start, fast = start;
    WeightStepCounts counts;
    for (int iteration : {0, 1, start.inputs.iterationFullSolver}) {
        directWeights(direct, iteration);
        solveWeightsCounting(fast, iteration, &counts);
        expectSameWeights(direct, fast, what, exactFit);
    }
    return counts;
}

KnownRig noisyRig(RigOptions options, double noise) {
    KnownRig rig = makeKnownRig(options);
    perturbTransforms(rig.state, 0.1, 0.05, 21);
    std::mt19937 rng(options.seed + 5);
    std::normal_distribution<double> normal(0.0, noise);
    for (auto& shape : rig.state.inputs.shapePoints)
        for (unsigned id = 0; id < shape.length(); ++id) {
            shape[id].x += normal(rng);
            shape[id].y += normal(rng);
            shape[id].z += normal(rng);
        }
    return rig;
}

// Bone 3 moves as bone 2 does, turned by 1e-4 radians about its pivot, and
// takes 30% of bone 2's weight: the solves need both nearly equal columns.
DecompositionState nearTwinRig(double offset = 0.0, double angle = 1e-4) {
    RigOptions options;
    options.vertices = 203;  // not a multiple of the weight step's vertex block
    options.bones = 6;
    options.frames = 4;
    options.offset = offset;
    KnownRig rig = makeKnownRig(options);
    DecompositionState& state = rig.state;
    const double axis[3] = {0.3, 1.0, 0.2}, zero[3] = {0.0, 0.0, 0.0};
    state.solver.bindingMatrices[3] = state.solver.bindingMatrices[2];
    for (int f = 0; f < state.inputs.F; ++f)
        rig.transforms[f][3] = rigidMatrix(axis, angle, zero) * rig.transforms[f][2];
    for (auto& [id, w] : rig.weights) {
        w[3] += 0.3 * w[2];
        w[2] *= 0.7;
    }
    state.solver.boneTransforms = rig.transforms;
    resampleShapes(state, rig.weights, rig.transforms);
    return state;
}

TEST(FastWeights, NormalEquationsMatchTheDesignMatrixSolve) {
    RigOptions options = rigOfSize(200, 7, 9);
    options.maxInfluence = 3;
    const WeightStepCounts counts = compareWeightSteps(noisyRig(options, 0.01).state, "noisy");
    EXPECT_GT(counts.gramSolves, 0);
}

TEST(FastWeights, DegenerateRigsMatchTheDesignMatrixSolve) {
    // Bones that never move and an exact copy of a bone: identical columns.
    {
        RigOptions options = rigOfSize(150, 6, 5);
        KnownRig rig = makeKnownRig(options);
        DecompositionState& state = rig.state;
        makeStaticAndDuplicatedBones(rig);
        compareWeightSteps(state, "static and duplicated bones", true);
    }
    // Coordinates in the thousands with static bones.
    {
        RigOptions options = rigOfSize(120, 6, 6);
        options.scale = 1000.0;
        options.offset = 3000.0;
        KnownRig rig = makeKnownRig(options);
        for (int f = 0; f < rig.state.inputs.F; ++f)
            for (int j : {0, 1}) rig.transforms[f][j] = rig.state.solver.bindingMatrices[j].inverse();
        rig.state.solver.boneTransforms = rig.transforms;
        resampleShapes(rig.state, rig.weights, rig.transforms);
        perturbTransforms(rig.state, 0.05, 20.0, 2);
        compareWeightSteps(rig.state, "large coordinates");
    }
    // More bones than design matrix rows: one shape, 3 * 2 + 1 = 7 rows.
    {
        RigOptions options = rigOfSize(80, 9, 1);
        options.maxInfluence = 4;
        compareWeightSteps(noisyRig(options, 0.02).state, "more bones than rows");
    }
    // A bone that follows another to within 1e-6: near-dependent columns,
    // which the reduced design matrix decides.
    {
        const WeightStepCounts counts = compareWeightSteps(nearTwinRig(), "near twin", true);
        EXPECT_GT(counts.reducedSolves, 0);
        EXPECT_GT(counts.gramSolves, 0);
    }
    // A flat strip and a dominant constraint row.
    {
        RigOptions options;
        options.vertices = 100;
        options.flat = true;
        options.offset = 2.0;
        KnownRig rig = noisyRig(options, 0.01);
        rig.state.inputs.constraintWeight = 1e3;
        compareWeightSteps(rig.state, "flat, heavy constraint");
    }
}

// How closely the normal equations reproduce the tall solve: weights within
// 1e-10 where coordinates are up to about 1e2. Far from the origin the tall
// solve itself is no closer than that to the exact weights of its own
// design matrix: its Householder rounding is eps times columns of about
// |offset| that differ by parts of the body's size, so at 1e4 it sits up to
// about 1e-10 from them (measured: 9e-11 against a long-double solve), and
// two solves that are each that close may be twice as far apart. There the
// normal equations are held to 1e-10 of the exact weights instead
// (expectExactWeights), and to 3e-10 of the tall solve.
constexpr double kWeightAgreement = 1e-10;
constexpr double kFarWeightAgreement = 3e-10;

// Two bones whose direct unrestricted weights differ by at most twice the
// agreement may change places in a list: each solve may have moved each
// weight by up to that much. That is what happens to the zero-weight bones
// that pad a noise-free vertex's list, where the solves leave +-1e-16 of
// rounding on them.
void expectEquivalentLists(const DecompositionState& direct, const DecompositionState& fast,
                           const Selections& selections, double agreement, const std::string& what) {
    for (const auto& [id, a] : direct.solver.vertexInfluences) {
        const std::vector<int32_t>& b = fast.solver.vertexInfluences.at(id);
        ASSERT_EQ(a.size(), b.size()) << what << " id " << id;
        const auto x = selections.find(id);
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            ASSERT_NE(x, selections.end()) << what << " id " << id;
            EXPECT_LE(std::fabs(x->second[a[i]] - x->second[b[i]]), 2.0 * agreement)
                << what << " id " << id << " position " << i;
        }
    }
}

// The fast step's weights against the exact least-squares weights of the
// design matrix on the bones it left positive (long-double Householder QR,
// so that only the matrix's own rounding remains), pruned and normalised
// as the step does. Meaningful where those bones are the true optimum's,
// that is on noisy data whose weights sit well above zero.
void expectExactWeights(const DecompositionState& fast, double agreement, const std::string& what) {
    using MatrixL = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
    using VectorL = Eigen::Matrix<long double, Eigen::Dynamic, 1>;
    double worst = 0.0;
    for (const auto& [id, list] : fast.solver.vertexInfluences) {
        const std::vector<double>& w = fast.solver.vertexWeights.at(id);
        const MatrixXd A = gatherInfluenceColumns(list, buildDesignMatrix(fast, id));
        const VectorXd b = buildTargetVector(fast, id);
        std::vector<Eigen::Index> positive;
        for (size_t i = 0; i < w.size(); ++i)
            if (w[i] > 0.0) positive.push_back(static_cast<Eigen::Index>(i));
        MatrixL AL(A.rows(), static_cast<Eigen::Index>(positive.size()));
        for (size_t i = 0; i < positive.size(); ++i)
            AL.col(static_cast<Eigen::Index>(i)) = A.col(positive[i]).cast<long double>();
        const VectorL z = AL.householderQr().solve(b.cast<long double>());
        long double sum = 0.0L;
        for (Eigen::Index i = 0; i < z.size(); ++i) sum += z[i];
        for (size_t i = 0; i < positive.size(); ++i)
            worst = std::max(worst, std::fabs(w[static_cast<size_t>(positive[i])] -
                                              static_cast<double>(z[static_cast<Eigen::Index>(i)] / sum)));
    }
    EXPECT_LE(worst, agreement) << what;
}

// Selecting, selecting again, then restricted, on a copy each: lists as
// above, weights within `agreement` of the tall solve's.
WeightStepCounts compareOnHardInput(const DecompositionState& start, double agreement, const std::string& what,
                                    DecompositionState* result = nullptr) {
    DecompositionState direct = start, fast = start;
    WeightStepCounts counts;
    Selections selections;
    for (int iteration : {0, 1, start.inputs.iterationFullSolver}) {
        Selections latest;
        directWeights(direct, iteration, &latest);
        if (!latest.empty()) selections = std::move(latest);
        solveWeightsCounting(fast, iteration, &counts);
        const std::string at = what + " iteration " + std::to_string(iteration);
        expectEquivalentLists(direct, fast, selections, agreement, at);
        double worst = 0.0;
        for (const auto& [id, w] : direct.solver.vertexWeights) {
            const std::vector<double> a = denseWeights(direct, id), b = denseWeights(fast, id);
            for (size_t k = 0; k < a.size(); ++k) worst = std::max(worst, std::fabs(a[k] - b[k]));
        }
        EXPECT_LE(worst, agreement) << at;
        EXPECT_TRUE(stateIsSound(fast)) << at;
    }
    if (result) *result = std::move(fast);
    return counts;
}

// The normal equations decide all but a rare vertex: the reduced design
// matrix takes under 1% of the solves.
void expectRareFallback(const WeightStepCounts& counts, const std::string& what) {
    EXPECT_GT(counts.gramSolves, 0) << what;
    EXPECT_LT(static_cast<double>(counts.reducedSolves),
              0.01 * static_cast<double>(counts.gramSolves + counts.reducedSolves))
        << what << ": " << counts.reducedSolves << " reduced of " << counts.gramSolves + counts.reducedSolves;
}

// Character-like rigs: forty bones in chains with small relative angles,
// smooth weights over neighbouring bones, lagragian the model's size, noisy
// shapes of a body far from the origin, started off the true transforms as
// in a solve under way.
TEST(FastWeights, CharacterRigsFarFromTheOriginStayOnTheNormalEquations) {
    struct Case {
        std::string name;
        double offset, lagragian, angle;
    };
    const Case cases[] = {
        {"at the origin", 0.0, 0.0, 0.12},
        {"offset 1e2", 1e2, 0.0, 0.12},
        {"small relative angles", 1e2, 0.0, 0.02},
        {"offset 1e4", 1e4, 0.0, 0.12},
        {"offset 1e4, lagragian 1e4", 1e4, 1e4, 0.12},
    };
    for (const Case& c : cases) {
        ChainRigOptions options;
        options.vertices = 150;
        options.frames = 16;
        options.noise = 1e-3;
        options.offset = c.offset;
        options.angle = c.angle;
        KnownRig rig = makeChainRig(options);
        if (c.lagragian > 0.0) rig.state.inputs.constraintWeight = c.lagragian;
        perturbTransforms(rig.state, 0.02, 0.01, 4);
        const bool far = c.offset > 1e3;
        DecompositionState fast;
        expectRareFallback(compareOnHardInput(rig.state, far ? kFarWeightAgreement : kWeightAgreement, c.name, &fast),
                           c.name);
        expectExactWeights(fast, kWeightAgreement, c.name);
    }
}

// Near twins 1e2 from the origin: the normal equations leave the twins'
// columns to the reduced design matrix, whose weights must be the tall
// solve's and the exact ones, to the far-coordinates bound (measured: 1.4e-10
// and 1.7e-10; the tall solve itself keeps within 1e-10 of the exact ones).
TEST(FastWeights, ReducedDesignMatrixMatchesTheTallSolveOnNearTwins) {
    DecompositionState start = nearTwinRig(1e2, 1e-3);
    start.inputs.constraintWeight = 10.0;
    DecompositionState fast;
    const WeightStepCounts counts = compareOnHardInput(start, kFarWeightAgreement, "near twin, offset 1e2", &fast);
    EXPECT_GT(counts.reducedSolves, 0);
    EXPECT_GT(counts.gramSolves, 0);
    expectExactWeights(fast, kFarWeightAgreement, "near twin, offset 1e2");
}

// The cylinder rig of makeKnownRig (bones turning at random, hat weights
// over two neighbours) moved far off, with a light and a heavy constraint
// row, noisy and noise-free: a noise-free vertex's zero-weight bones carry
// only rounding, so there the list order of the padding is free within the
// bound of expectEquivalentLists.
TEST(FastWeights, SyntheticRigsFarFromTheOriginStayOnTheNormalEquations) {
    for (double noise : {0.01, 0.0})
        for (double offset : {1e2, 1e4})
            for (double lagragian : {10.0, 1e4}) {
                RigOptions options = rigOfSize(150, 7, 9);
                options.maxInfluence = 3;
                options.offset = offset;
                KnownRig rig = makeKnownRig(options);
                if (noise > 0.0) rig = noisyRig(options, noise);
                rig.state.inputs.constraintWeight = lagragian;
                const std::string name = "noise " + std::to_string(noise) + ", offset " + std::to_string(offset) +
                                         ", lagragian " + std::to_string(lagragian);
                const double agreement = offset > 1e3 ? kFarWeightAgreement : kWeightAgreement;
                expectRareFallback(compareOnHardInput(rig.state, agreement, name), name);
            }
}

TEST(FastWeights, ThreadCountChangesNoBit) {
    // Near twins: some vertices take the tall solve, and the blocks do not
    // divide evenly. A character rig far from the origin: the tables of the
    // split normal equations and the bone step's per-shape guard.
    ChainRigOptions chains;
    chains.vertices = 150;
    chains.frames = 16;
    chains.noise = 1e-3;
    KnownRig character = makeChainRig(chains);
    perturbTransforms(character.state, 0.02, 0.01, 4);
    for (const DecompositionState& start : {nearTwinRig(), character.state}) {
        DecompositionState one = start, two = start, three = start;
        one.limitThreads = two.limitThreads = three.limitThreads = true;
        one.usedCPU = 1;
        two.usedCPU = 2;
        three.usedCPU = 3;
        for (int iteration : {0, 1, 5}) {
            if (iteration > 0) {
                solveBones(one);
                solveBones(two);
                solveBones(three);
                EXPECT_EQ(one.solver.boneTransforms, two.solver.boneTransforms);
                EXPECT_EQ(one.solver.boneTransforms, three.solver.boneTransforms);
            }
            solveWeights(one, iteration);
            solveWeights(two, iteration);
            solveWeights(three, iteration);
            EXPECT_EQ(one.solver.vertexInfluences, two.solver.vertexInfluences);
            EXPECT_EQ(one.solver.vertexWeights, two.solver.vertexWeights);
            EXPECT_EQ(one.solver.vertexWeights, three.solver.vertexWeights);
            measureReconstructionError(one);
            measureReconstructionError(two);
            measureReconstructionError(three);
            EXPECT_EQ(one.solver.errorHistory, two.solver.errorHistory);
            EXPECT_EQ(one.solver.errorHistory, three.solver.errorHistory);
            if (iteration == 0) {
                rebuildBoneInfluenceIndex(one.inputs, one.solver);
                rebuildBoneInfluenceIndex(two.inputs, two.solver);
                rebuildBoneInfluenceIndex(three.inputs, three.solver);
            }
        }
    }
}

double largestDifference(const std::vector<std::vector<MMatrix>>& a, const std::vector<std::vector<MMatrix>>& b,
                         int bones) {
    double worst = 0.0;
    for (size_t f = 0; f < a.size(); ++f)
        for (size_t k = 0; k < static_cast<size_t>(bones); ++k)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) worst = std::max(worst, std::fabs(a[f][k][r][c] - b[f][k][r][c]));
    return worst;
}

// The fast step reproduces every fit, also of flat rest positions and of a
// bone with three listed vertices: the rigid fit turns the smallest singular
// pair, so a vanishing singular value no longer decides the result, and a
// shape whose sums cannot be trusted is fitted from its residuals.
TEST(FastBonesAndError, MatchDirectLoops) {
    for (bool rigid : {true, false}) {
        // full, one rank-deficient bone, flat rig, index gone stale
        for (int variant : {0, 1, 2, 3}) {
            RigOptions options = rigOfSize(250, 6, 7);
            options.rigid = rigid;
            options.flat = variant == 2;
            KnownRig rig = noisyRig(options, 0.005);
            DecompositionState& state = rig.state;
            runIterations(state, 1);
            if (variant == 1) {
                // The last bone keeps three listed vertices: its affine fit is rank
                // deficient, its rigid fit flat.
                ASSERT_GT(state.solver.boneVertices[5].size(), 3u);
                state.solver.boneVertices[5].resize(3);
                state.solver.boneVertexSlots[5].resize(3);
            }
            if (variant == 3) {
                // The weights moved on since the index was built: a listed
                // vertex lost its weight for the bone, another had its list
                // reordered so that its listed slot now holds another bone.
                SolverState& s = state.solver;
                const int32_t lost = s.boneVertices[0][0];
                s.vertexWeights[lost][static_cast<size_t>(s.boneVertexSlots[0][0])] = 0.0;
                const int32_t moved = s.boneVertices[1][1];
                ASSERT_GT(s.vertexInfluences[moved].size(), 1u);
                std::reverse(s.vertexInfluences[moved].begin(), s.vertexInfluences[moved].end());
                std::reverse(s.vertexWeights[moved].begin(), s.vertexWeights[moved].end());
            } else {
                EXPECT_NEAR(state.solver.errorHistory.back(), reference::reconstructionError(state),
                            1e-12 * state.solver.errorHistory.back());
            }
            DecompositionState direct = state;
            solveBones(state);
            reference::solveBones(direct);
            EXPECT_LT(largestDifference(state.solver.boneTransforms, direct.solver.boneTransforms, 6), 1e-9)
                << "rigid " << rigid << " variant " << variant;
            measureReconstructionError(state);
            if (variant != 1) {
                EXPECT_NEAR(state.solver.errorHistory.back(), reference::reconstructionError(direct),
                            1e-9 * state.solver.errorHistory.back())
                    << "rigid " << rigid << " variant " << variant;
            }
            if (variant != 3) {  // variant 3 broke a weight sum on purpose
                EXPECT_TRUE(stateIsSound(state));
            }
        }
    }
}

// Largest difference of the matrix entries relative to max(1, |entry|):
// translations far from the origin are compared to their size.
double largestRelativeDifference(const std::vector<std::vector<MMatrix>>& a,
                                 const std::vector<std::vector<MMatrix>>& b) {
    double worst = 0.0;
    for (size_t f = 0; f < a.size(); ++f)
        for (size_t k = 0; k < a[f].size(); ++k)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) {
                    const double d = std::fabs(a[f][k][r][c] - b[f][k][r][c]) / std::max(1.0, std::fabs(a[f][k][r][c]));
                    worst = std::max(worst, std::isnan(d) ? HUGE_VAL : d);
                }
    return worst;
}

// Every rigid linear part stored is a proper rotation.
void expectProperRotations(const DecompositionState& state, const std::string& what) {
    for (size_t f = 0; f < state.solver.boneTransforms.size(); ++f)
        for (size_t k = 0; k < state.solver.boneTransforms[f].size(); ++k) {
            const MMatrix M = state.solver.bindingMatrices[k] * state.solver.boneTransforms[f][k];
            Eigen::Matrix3d A;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) A(r, c) = M[r][c];
            EXPECT_LT((A.transpose() * A - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-9) << what;
            EXPECT_NEAR(A.determinant(), 1.0, 1e-9) << what;
        }
}

// The bone step against the direct fits of every shape and bone. Its rigid
// fits come from 3 x 3 sums whose rounding (kCovarianceRounding) is far
// below 1e-9 of the fitted rotations wherever those sums' smallest singular
// value clears it, and from the residuals themselves where it does not; so
// every transform agrees to 1e-9 relative.
void expectBonesMatchTheDirectFit(const DecompositionState& start, const std::string& what) {
    DecompositionState fast = start, direct = start;
    solveBones(fast);
    reference::solveBones(direct);
    EXPECT_LT(largestRelativeDifference(fast.solver.boneTransforms, direct.solver.boneTransforms), 1e-9) << what;
    if (start.inputs.rigidMatrices) expectProperRotations(fast, what);
}

// Vertices of single influence after the first weight step: a bone's share
// of a target is then the target itself.
void keepStrongestInfluenceOnly(DecompositionState& state) {
    for (auto& [id, list] : state.solver.vertexInfluences) {
        std::vector<double>& w = state.solver.vertexWeights[id];
        const size_t best = static_cast<size_t>(std::max_element(w.begin(), w.end()) - w.begin());
        list = {list[best]};
        w = {1.0};
    }
    rebuildBoneInfluenceIndex(state.inputs, state.solver);
}

TEST(FastBones, CharacterRigsFarFromTheOriginMatchTheDirectFit) {
    for (double offset : {1e2, 1e4}) {
        ChainRigOptions options;
        options.vertices = 300;
        options.frames = 8;
        options.noise = 1e-3;
        options.offset = offset;
        KnownRig rig = makeChainRig(options);
        perturbTransforms(rig.state, 0.05, 0.02, 6);
        runIterations(rig.state, 1);
        expectBonesMatchTheDirectFit(rig.state, "offset " + std::to_string(offset));
        // Bones of a region one unit across, 1e4 from the origin, whose
        // shares of the targets collapse onto a plane (or to within 1e-9
        // of one) in some shapes: normals along x, y, z and oblique.
        keepStrongestInfluenceOnly(rig.state);
        const Eigen::Vector3d normals[] = {Eigen::Vector3d::UnitX(), Eigen::Vector3d::UnitY(), Eigen::Vector3d::UnitZ(),
                                           Eigen::Vector3d(2.0, -1.0, 2.0) / 3.0};
        for (int f = 0; f < 8; ++f) {
            const Eigen::Vector3d n = normals[f % 4];
            const double keep = f < 4 ? 0.0 : 1e-9;  // flat, then near-flat
            MPointArray& shape = rig.state.inputs.shapePoints[static_cast<size_t>(f)];
            Eigen::Vector3d centre = Eigen::Vector3d::Zero();
            for (unsigned j = 0; j < rig.state.inputs.vertexIds.length(); ++j) {
                const MPoint& q = shape[static_cast<unsigned>(rig.state.inputs.vertexIds[j])];
                centre += Eigen::Vector3d(q.x, q.y, q.z) / rig.state.inputs.V;
            }
            for (unsigned j = 0; j < rig.state.inputs.vertexIds.length(); ++j) {
                MPoint& q = shape[static_cast<unsigned>(rig.state.inputs.vertexIds[j])];
                const Eigen::Vector3d y(q.x, q.y, q.z);
                const Eigen::Vector3d flat = y - (1.0 - keep) * n.dot(y - centre) * n;
                q = MPoint(flat.x(), flat.y(), flat.z());
            }
        }
        expectBonesMatchTheDirectFit(rig.state, "collapsed targets, offset " + std::to_string(offset));
    }
}

TEST(FastBones, FlatRegionsInEveryOrientationMatchTheDirectFit) {
    // Two bones over a flat patch 1e4 from the origin, each vertex on one of
    // them: the rest positions span a plane, so every fit's smallest
    // singular value is rounding and the shape's fit comes from the
    // residuals. The result is the true motion up to the noise, whichever
    // way the plane faces.
    const Eigen::Vector3d normals[] = {Eigen::Vector3d::UnitX(), Eigen::Vector3d::UnitY(), Eigen::Vector3d::UnitZ(),
                                       Eigen::Vector3d(1.0, 2.0, 2.0) / 3.0};
    const char* names[] = {"x", "y", "z", "oblique"};
    for (int o = 0; o < 4; ++o) {
        const int F = 6, points = 60;
        DecompositionState state = blankState(F, 2, points);
        state.inputs.rigidMatrices = true;
        std::mt19937 rng(40 + o);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::normal_distribution<double> noise(0.0, 1e-3);
        const Eigen::Vector3d n = normals[o], e1 = n.unitOrthogonal(), e2 = n.cross(e1);
        const Eigen::Vector3d centre = Eigen::Vector3d::Constant(1e4);
        std::map<int32_t, std::vector<double>> weights;
        state.solver.boneVertices.assign(2, {});
        state.solver.boneVertexSlots.assign(2, {});
        for (int id = 0; id < points; ++id) {
            const Eigen::Vector3d p = centre + u(rng) * e1 + 0.5 * u(rng) * e2;
            state.inputs.restPoints[static_cast<unsigned>(id)] = MPoint(p.x(), p.y(), p.z());
            state.inputs.vertexIds.append(id);
            const int g = id % 2;
            state.solver.vertexInfluences[id] = {g};
            state.solver.vertexWeights[id] = {1.0};
            weights[id] = g == 0 ? std::vector<double>{1.0, 0.0} : std::vector<double>{0.0, 1.0};
            state.solver.boneVertices[static_cast<size_t>(g)].push_back(id);
            state.solver.boneVertexSlots[static_cast<size_t>(g)].push_back(0);
        }
        state.inputs.V = points;
        const double pivot[3] = {centre.x(), centre.y(), centre.z()};
        for (int g = 0; g < 2; ++g)
            state.solver.bindingMatrices[static_cast<size_t>(g)] = rigidMatrix(n.data(), 0.0, pivot).inverse();
        std::vector<std::vector<MMatrix>> truth(F, std::vector<MMatrix>(2));
        for (int f = 0; f < F; ++f)
            for (int g = 0; g < 2; ++g) {
                const double axis[3] = {u(rng), u(rng), u(rng)};
                const double shift[3] = {centre.x() + u(rng), centre.y() + u(rng), centre.z() + u(rng)};
                truth[f][g] = rigidMatrix(axis, 2.5 * u(rng), shift);
            }
        resampleShapes(state, weights, truth);
        for (auto& shape : state.inputs.shapePoints)
            for (int id = 0; id < points; ++id) {
                MPoint& q = shape[static_cast<unsigned>(id)];
                q.x += noise(rng);
                q.y += noise(rng);
                q.z += noise(rng);
            }
        expectBonesMatchTheDirectFit(state, names[o]);
        DecompositionState fast = state;
        solveBones(fast);
        for (int f = 0; f < F; ++f)
            for (int g = 0; g < 2; ++g)
                EXPECT_TRUE(fast.solver.boneTransforms[f][g].isEquivalent(truth[f][g], 0.05))
                    << names[o] << " shape " << f << " bone " << g;
    }
}

TEST(FastBonesAndError, ZeroWeightsWithNonFiniteProductsStillPoisonTheSums) {
    // A zero weight on a bone whose product is not finite: the direct sums
    // take 0 * inf = NaN, and so must the fast ones.
    RigOptions options = rigOfSize(40, 3, 2);
    KnownRig rig = makeKnownRig(options);
    DecompositionState& state = rig.state;
    runIterations(state, 1);
    for (auto& [id, B] : state.solver.vertexInfluences) {
        B.push_back(2);
        state.solver.vertexWeights[id].push_back(0.0);
    }
    state.solver.boneTransforms[1][2][3][0] = HUGE_VAL;
    measureReconstructionError(state);
    EXPECT_TRUE(std::isnan(state.solver.errorHistory.back()));
    EXPECT_TRUE(std::isnan(reference::reconstructionError(state)));
}

}  // namespace

// Eight influences over chains with small relative angles: a vertex's list
// holds bones that move nearly alike, so its normal equations have small
// pivots, and those solves are refined once on the tall rows. The weights
// must still be the tall solve's and the exact ones, and the reduced
// design matrix stay rare.
TEST(FastWeights, RefinedListSolvesMatchTheTallSolve) {
    for (const double offset : {0.0, 1e2}) {
        ChainRigOptions options;
        options.vertices = 200;
        options.frames = 60;
        options.maxInfluence = 8;
        options.noise = 1e-3;
        options.offset = offset;
        options.angle = 0.02;
        KnownRig rig = makeChainRig(options);
        perturbTransforms(rig.state, 0.02, 0.01, 5);
        const std::string what = "eight influences, offset " + std::to_string(offset);
        DecompositionState fast;
        const WeightStepCounts counts = compareOnHardInput(rig.state, kWeightAgreement, what, &fast);
        EXPECT_GT(counts.refinedSolves, 0) << what;
        expectRareFallback(counts, what);
        expectExactWeights(fast, kWeightAgreement, what);
    }
}
