#pragma once
// Non-negative least squares: x >= 0 minimising |A x - b|^2 for a small dense
// A (m rows, n columns), by the Lawson-Hanson active-set method. The passive
// columns are kept as a Householder QR factorisation that is updated one
// column at a time, never recomputed from scratch.
//
// Detail header: only solver sources and tests include it (it exposes Eigen).

#include <cstdint>
#include <vector>

#include <Eigen/Core>

class NnlsSolver {
public:
    // maxIterations caps the passive-set solves of one solve() (<= 0: no cap);
    // epsilon is the optimality tolerance on the dual vector.
    NnlsSolver(const Eigen::MatrixXd& A, int32_t maxIterations, double epsilon);

    // True at an optimum (every variable passive, or no active variable with a
    // dual value of at least epsilon), false when the cap is reached; x()
    // holds the current iterate either way.
    bool solve(const Eigen::VectorXd& b);

    // Indexed by variable (column of A).
    const Eigen::VectorXd& x() const { return x_; }
    const Eigen::VectorXd& dual() const { return w_; }
    int32_t iterations() const { return iterations_; }
    Eigen::Index passiveCount() const { return passiveCount_; }
    // Positions 0..passiveCount()-1 hold the passive variables.
    const std::vector<Eigen::Index>& order() const { return order_; }

private:
    void updateDual();
    // False when the column at position t is numerically dependent on the
    // passive set: it is then left active and blocked until a variable leaves.
    bool addToPassiveSet(Eigen::Index t);
    // keepBlocks: the passive set returns to one whose blocked columns are
    // still dependent on it.
    void removeFromPassiveSet(Eigen::Index f, bool keepBlocks);
    void factorColumn(Eigen::Index q);
    void solvePassiveSet(const Eigen::VectorXd& b);

    int32_t maxIterations_;
    int32_t iterations_ = 0;
    double epsilon_;
    Eigen::MatrixXd A_;
    Eigen::MatrixXd AtA_;
    Eigen::VectorXd x_;
    Eigen::VectorXd w_;
    Eigen::VectorXd y_;
    Eigen::VectorXd Atb_;
    std::vector<Eigen::Index> order_;
    Eigen::Index passiveCount_ = 0;
    Eigen::MatrixXd qr_;
    Eigen::VectorXd householderCoeffs_;
    Eigen::VectorXd workspace_;
    Eigen::VectorXd columnNorms_;
    std::vector<char> blocked_;  // per variable: dependent on the current passive set
    Eigen::VectorXd rhs_;        // Q^T b during a passive-set solve
};

// Builds a solver for A, solves for b and returns x whether or not the cap was
// reached.
Eigen::VectorXd solveNonNegative(const Eigen::MatrixXd& A, const Eigen::VectorXd& b, int32_t maxIterations,
                                 double epsilon);
