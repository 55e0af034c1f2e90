#include "solver/nnls_solver.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Dense>

#include "nnls_problems.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

double objective(const MatrixXd& A, const VectorXd& x, const VectorXd& b) { return (A * x - b).squaredNorm(); }

// Smallest objective over every support whose unconstrained least-squares
// solution is non-negative: the NNLS optimum by exhaustion.
double bruteForceOptimum(const MatrixXd& A, const VectorXd& b, VectorXd* best) {
    const int n = static_cast<int>(A.cols());
    double bestValue = b.squaredNorm();
    *best = VectorXd::Zero(n);
    for (int mask = 1; mask < (1 << n); ++mask) {
        std::vector<int> columns;
        for (int k = 0; k < n; ++k)
            if (mask & (1 << k)) columns.push_back(k);
        MatrixXd sub(A.rows(), static_cast<Eigen::Index>(columns.size()));
        for (size_t i = 0; i < columns.size(); ++i) sub.col(static_cast<Eigen::Index>(i)) = A.col(columns[i]);
        const VectorXd z = sub.completeOrthogonalDecomposition().solve(b);
        if ((z.array() < 0).any()) continue;
        VectorXd x = VectorXd::Zero(n);
        for (size_t i = 0; i < columns.size(); ++i) x[columns[i]] = z[static_cast<Eigen::Index>(i)];
        const double value = objective(A, x, b);
        if (value < bestValue) {
            bestValue = value;
            *best = x;
        }
    }
    return bestValue;
}

// Random problem; with rankDeficient, some columns repeat or combine others
// (the shape of static or identically moving bones).
void randomProblem(std::mt19937& rng, int m, int n, bool rankDeficient, MatrixXd* A, VectorXd* b) {
    std::normal_distribution<double> normal(0.0, 1.0);
    *A = MatrixXd::NullaryExpr(m, n, [&]() { return normal(rng); });
    *b = VectorXd::NullaryExpr(m, [&]() { return normal(rng); });
    if (rankDeficient && n >= 3) {
        A->col(n - 1) = A->col(0);
        A->col(n - 2) = 0.5 * A->col(1) + 2.0 * A->col(0);
    }
}

TEST(NnlsEdgeCases, DualsBelowEpsilonGiveZeroWithoutAnySolve) {
    MatrixXd A(3, 2);
    A << 1, 0, 0, 1, 0, 0;
    VectorXd b(3);
    b << -1.0, 0.5e-10, 4.0;  // A^T b = (-1, 0.5e-10), both below 1e-10
    NnlsSolver solver(A, 20, 1e-10);
    EXPECT_TRUE(solver.solve(b));
    EXPECT_EQ(solver.iterations(), 0);
    EXPECT_EQ(solver.x(), VectorXd::Zero(2));
}

TEST(NnlsEdgeCases, SingleColumnIsTheScalarProjection) {
    MatrixXd A(3, 1);
    A << 1, 2, 2;
    VectorXd b(3);
    b << 3, 1, 4;
    NnlsSolver solver(A, 10, 1e-10);
    EXPECT_TRUE(solver.solve(b));
    EXPECT_EQ(solver.iterations(), 1);
    EXPECT_NEAR(solver.x()[0], 13.0 / 9.0, 1e-15);
}

TEST(NnlsEdgeCases, PositiveUnconstrainedSolutionIsReturnedAsIs) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    const MatrixXd A = MatrixXd::Random(12, 5);
    VectorXd truth = VectorXd::NullaryExpr(5, [&]() { return uniform(rng); });
    const VectorXd b = A * truth;
    const VectorXd x = solveNonNegative(A, b, 50, 1e-10);
    EXPECT_LT((x - truth).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(NnlsEdgeCases, EqualDualsLetTheEarlierPositionEnter) {
    // Equal duals: stopping after one solve shows which variable entered.
    MatrixXd A = MatrixXd::Identity(2, 2);
    VectorXd b(2);
    b << 1, 1;
    NnlsSolver solver(A, 1, 1e-10);
    EXPECT_FALSE(solver.solve(b));
    EXPECT_EQ(solver.x(), (VectorXd(2) << 1, 0).finished());
}

TEST(NnlsEdgeCases, EqualStepRatiosLetTheEarlierPositionLeave) {
    // Columns e1, e2 and c keep every reflector exact. a and b enter first
    // (x = 1, 1); with c the solution is (-0.5, -0.5, 8), so both step ratios
    // are exactly 2/3. The third solve is the last one allowed, so the state
    // right after the first removal is visible.
    MatrixXd A(3, 3);
    A << 1, 0, 3.0 / 16, 0, 1, 3.0 / 16, 0, 0, 0.25;
    VectorXd b(3);
    b << 1, 1, 2;
    NnlsSolver capped(A, 3, 1e-10);
    EXPECT_FALSE(capped.solve(b));
    ASSERT_EQ(capped.passiveCount(), 2);
    // a (position 0) left; c moved into its position, b stayed at 1.
    EXPECT_EQ(capped.order()[0], 2);
    EXPECT_EQ(capped.order()[1], 1);
    EXPECT_EQ(capped.order()[2], 0);
    EXPECT_NEAR(capped.x()[2], 16.0 / 3.0, 1e-14);

    NnlsSolver full(A, 0, 1e-10);
    EXPECT_TRUE(full.solve(b));
    VectorXd best;
    EXPECT_NEAR(objective(A, full.x(), b), bruteForceOptimum(A, b, &best), 1e-12);
}

TEST(NnlsEdgeCases, CapCountsPassiveSetSolves) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 100; ++trial) {
        MatrixXd A;
        VectorXd b;
        randomProblem(rng, 9, 6, trial % 2 == 1, &A, &b);
        NnlsSolver solver(A, 10 * 6, 1e-10);
        solver.solve(b);
        EXPECT_LE(solver.iterations(), 60);
        NnlsSolver tight(A, 2, 1e-10);
        const bool converged = tight.solve(b);
        EXPECT_LE(tight.iterations(), 2);
        if (!converged) {
            EXPECT_EQ(tight.iterations(), 2);
        }
    }
}

TEST(NnlsEdgeCases, ZeroDualThatEntersLeavesWithoutAStepAndStaysOut) {
    // With epsilon 0 a column with dual exactly 0 enters, its solution is 0
    // and its step ratio 0/0: no step is defined. Without a cap the solve
    // must still end, keeping the first variable's value.
    MatrixXd A = MatrixXd::Identity(2, 2);
    VectorXd b(2);
    b << 1, 0;
    NnlsSolver solver(A, 0, 0.0);
    EXPECT_TRUE(solver.solve(b));
    EXPECT_EQ(solver.x(), (VectorXd(2) << 1, 0).finished());
}

TEST(NnlsEdgeCases, MoreColumnsThanRowsNeverFactorsPastTheRows) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        MatrixXd A;
        VectorXd b;
        randomProblem(rng, 2 + trial % 3, 8, trial % 2 == 0, &A, &b);
        VectorXd best;
        const double optimum = bruteForceOptimum(A, b, &best);
        // A negative epsilon lets every remaining column try to enter once the
        // passive set spans all rows, which must then end the solve.
        for (double epsilon : {1e-10, -1.0}) {
            NnlsSolver solver(A, 0, epsilon);
            solver.solve(b);
            EXPECT_LE(solver.passiveCount(), A.rows());
            EXPECT_TRUE(solver.x().allFinite());
            EXPECT_TRUE((solver.x().array() >= 0).all());
            EXPECT_NEAR(objective(A, solver.x(), b), optimum, 1e-9);
        }
    }
}

TEST(NnlsEdgeCases, DuplicatedColumnsAtLargeScaleStayBounded) {
    // Identical columns, as two bones that never move give, in thousands of
    // units: rounding lifts the second copy's dual above an absolute 1e-10,
    // yet it must not enter and explode the passive solve.
    std::mt19937 rng(3);
    for (int trial = 0; trial < 50; ++trial) {
        MatrixXd A;
        VectorXd b;
        twinColumnsAtLargeScale(rng, A, b);
        NnlsSolver solver(A, 60, 1e-10);
        solver.solve(b);
        const VectorXd x = solver.x();
        ASSERT_TRUE(x.allFinite());
        int passiveCopies = 0;
        for (Eigen::Index p = 0; p < solver.passiveCount(); ++p) {
            const Eigen::Index v = solver.order()[p];
            passiveCopies += (v == 1 || v == 4 || v == 5) ? 1 : 0;
        }
        EXPECT_LE(passiveCopies, 1) << "trial " << trial;
        EXPECT_TRUE((x.array() >= 0).all());
        EXPECT_LT(x.sum(), 10.0);
        // The duplicates share one weight between them.
        const double shared = x[1] + x[4] + x[5];
        MatrixXd reduced = A.leftCols(4);
        VectorXd y = solveNonNegative(reduced, b, 40, 1e-10);
        EXPECT_NEAR(shared, y[1], 1e-8);
        EXPECT_NEAR(objective(A, x, b), objective(reduced, y, b), 1e-9 * b.squaredNorm());
    }
}

TEST(NnlsOptimality, RandomProblemsMeetTheOptimalityConditions) {
    std::mt19937 rng(2024);
    const double epsilon = 1e-10;
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 1 + trial % 9;
        const int m = n + static_cast<int>(rng() % 8);
        MatrixXd A;
        VectorXd b;
        randomProblem(rng, m, n, trial % 3 == 0, &A, &b);
        NnlsSolver solver(A, 0, epsilon);
        ASSERT_TRUE(solver.solve(b)) << "trial " << trial;
        const VectorXd& x = solver.x();
        // The dual is recomputed here rather than read back from the solver.
        const VectorXd w = A.transpose() * (b - A * x);
        const double slack = 1e-10 * (1.0 + A.norm() * b.norm());
        std::vector<bool> passive(static_cast<size_t>(n), false);
        for (Eigen::Index p = 0; p < solver.passiveCount(); ++p) passive[static_cast<size_t>(solver.order()[p])] = true;
        for (int k = 0; k < n; ++k) {
            EXPECT_GE(x[k], 0.0);
            if (passive[static_cast<size_t>(k)]) {
                EXPECT_NEAR(w[k], 0.0, slack) << "trial " << trial << " passive " << k;
            } else {
                EXPECT_EQ(x[k], 0.0);
                EXPECT_LE(w[k], epsilon + slack) << "trial " << trial << " active " << k;
            }
        }
    }
}

TEST(NnlsOptimality, AgreesWithExhaustiveSupportSearch) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        const int n = 2 + trial % 5;
        const int m = n + 1 + static_cast<int>(rng() % 4);
        MatrixXd A;
        VectorXd b;
        const bool deficient = trial % 4 == 0;
        randomProblem(rng, m, n, deficient, &A, &b);
        const VectorXd x = solveNonNegative(A, b, 10 * n, 1e-10);
        VectorXd best;
        const double optimum = bruteForceOptimum(A, b, &best);
        EXPECT_NEAR(objective(A, x, b), optimum, 1e-10 * (1.0 + optimum)) << "trial " << trial;
        // A full-rank problem has one minimiser.
        if (!deficient) {
            EXPECT_LT((x - best).cwiseAbs().maxCoeff(), 1e-9) << "trial " << trial;
        }
    }
}

}  // namespace
