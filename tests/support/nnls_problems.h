#pragma once
// Least-squares problems that the non-negative solvers' tests share.

#include <random>

#include <Eigen/Dense>

// Identical columns at a large scale, as two bones that never move give, in
// thousands of units: a 31 x 6 design matrix whose columns 4 and 5 copy
// column 1, and a target near 0.3 times column 1 plus 0.7 times column 2.
// Rounding lifts the copies' duals above a small absolute epsilon.
inline void twinColumnsAtLargeScale(std::mt19937& rng, Eigen::MatrixXd& A, Eigen::VectorXd& b) {
    std::uniform_real_distribution<double> coordinate(-4000.0, 4000.0);
    A = Eigen::MatrixXd::NullaryExpr(31, 6, [&]() { return coordinate(rng); });
    A.col(4) = A.col(1);
    A.col(5) = A.col(1);
    b = 0.3 * A.col(1) + 0.7 * A.col(2) + 0.01 * Eigen::VectorXd::NullaryExpr(31, [&]() { return coordinate(rng); });
}
