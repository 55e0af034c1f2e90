#include "solver/nnls_solver.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Householder>

#include "solver/tolerances.h"

NnlsSolver::NnlsSolver(const Eigen::MatrixXd& A, int32_t maxIterations, double epsilon)
    : maxIterations_(maxIterations),
      epsilon_(epsilon),
      A_(A),
      AtA_(A.cols(), A.cols()),
      x_(Eigen::VectorXd::Zero(A.cols())),
      w_(Eigen::VectorXd::Zero(A.cols())),
      y_(Eigen::VectorXd::Zero(A.cols())),
      Atb_(Eigen::VectorXd::Zero(A.cols())),
      order_(static_cast<size_t>(A.cols())),
      qr_(Eigen::MatrixXd::Zero(A.rows(), A.cols())),
      householderCoeffs_(Eigen::VectorXd::Zero(A.cols())),
      workspace_(Eigen::VectorXd::Zero(A.cols())),
      columnNorms_(A.colwise().norm().transpose()),
      blocked_(static_cast<size_t>(A.cols()), 0),
      rhs_(A.rows()) {
    AtA_.noalias() = A_.transpose() * A_;
}

bool NnlsSolver::solve(const Eigen::VectorXd& b) {
    const Eigen::Index n = A_.cols();
    const Eigen::Index m = A_.rows();
    iterations_ = 0;
    x_.setZero();
    for (Eigen::Index i = 0; i < n; ++i) order_[static_cast<size_t>(i)] = i;
    passiveCount_ = 0;
    std::fill(blocked_.begin(), blocked_.end(), 0);

    Atb_.setZero();
    Atb_.noalias() += A_.transpose() * b;
    updateDual();
    if (passiveCount_ == n) return true;

    for (;;) {
        // Entering variable: the first active position holding the largest
        // dual. A NaN dual never wins, so a poisoned entry cannot enter.
        double maxW = -std::numeric_limits<double>::infinity();
        Eigen::Index t = -1;
        for (Eigen::Index p = passiveCount_; p < n; ++p) {
            const Eigen::Index v = order_[static_cast<size_t>(p)];
            if (blocked_[static_cast<size_t>(v)]) continue;
            if (w_[v] > maxW) {
                maxW = w_[v];
                t = p;
            }
        }
        if (t < 0 || maxW - epsilon_ < 0) return true;
        // m independent passive columns span every row: the residual is zero
        // up to rounding and there is no row left for another reflector.
        if (passiveCount_ >= m) return true;
        const Eigen::Index entering = order_[static_cast<size_t>(t)];
        if (!addToPassiveSet(t)) continue;

        bool firstPass = true;
        for (;;) {
            if (maxIterations_ > 0 && iterations_ >= maxIterations_) return false;
            solvePassiveSet(b);
            ++iterations_;
            if (passiveCount_ == 0) break;

            double alpha = std::numeric_limits<double>::max();
            Eigen::Index f = -1;
            Eigen::Index firstInfeasible = -1;
            for (Eigen::Index p = 0; p < passiveCount_; ++p) {
                const Eigen::Index v = order_[static_cast<size_t>(p)];
                if (y_[v] <= 0) {
                    if (firstInfeasible < 0) firstInfeasible = p;
                    const double r = x_[v] / (x_[v] - y_[v]);
                    if (r < alpha) {
                        alpha = r;
                        f = p;
                    }
                }
            }
            if (firstInfeasible < 0) break;
            if (f >= 0) {
                for (Eigen::Index p = 0; p < passiveCount_; ++p) {
                    const Eigen::Index v = order_[static_cast<size_t>(p)];
                    x_[v] += alpha * (y_[v] - x_[v]);
                }
            } else {
                // Every candidate was 0/0: no step length is defined. The
                // offending variables already sit at zero, so take no step and
                // let the first of them leave; the next pass sees the rest.
                f = firstInfeasible;
            }
            // The variable that just entered leaving at once means its positive
            // dual was rounding: the passive set is back where it was, so block
            // it rather than let it enter again and cycle.
            const Eigen::Index leaving = order_[static_cast<size_t>(f)];
            const bool bounced = firstPass && leaving == entering;
            removeFromPassiveSet(f, bounced);
            if (bounced) blocked_[static_cast<size_t>(leaving)] = 1;
            firstPass = false;
        }

        x_ = y_;
        updateDual();
        if (passiveCount_ == n) return true;
    }
}

void NnlsSolver::updateDual() {
    w_ = Atb_;
    w_.noalias() -= AtA_ * x_;
}

bool NnlsSolver::addToPassiveSet(Eigen::Index t) {
    std::swap(order_[static_cast<size_t>(t)], order_[static_cast<size_t>(passiveCount_)]);
    ++passiveCount_;
    const Eigen::Index q = passiveCount_ - 1;
    factorColumn(q);
    const Eigen::Index v = order_[static_cast<size_t>(q)];
    if (std::abs(qr_(q, q)) > kDependentColumnTolerance * columnNorms_[v]) return true;
    // Undo: positions before q keep their reflectors, so nothing to refactor.
    --passiveCount_;
    std::swap(order_[static_cast<size_t>(t)], order_[static_cast<size_t>(passiveCount_)]);
    blocked_[static_cast<size_t>(v)] = 1;
    return false;
}

void NnlsSolver::removeFromPassiveSet(Eigen::Index f, bool keepBlocks) {
    std::swap(order_[static_cast<size_t>(f)], order_[static_cast<size_t>(passiveCount_ - 1)]);
    --passiveCount_;
    for (Eigen::Index q = f; q < passiveCount_; ++q) factorColumn(q);
    // A smaller passive set may no longer span a column that was blocked.
    if (!keepBlocks) std::fill(blocked_.begin(), blocked_.end(), 0);
}

void NnlsSolver::factorColumn(Eigen::Index q) {
    const Eigen::Index m = A_.rows();
    qr_.col(q) = A_.col(order_[static_cast<size_t>(q)]);
    for (Eigen::Index i = 0; i < q; ++i) {
        qr_.col(q).segment(i, m - i).applyHouseholderOnTheLeft(qr_.col(i).segment(i + 1, m - i - 1),
                                                               householderCoeffs_[i], workspace_.data());
    }
    double beta = 0.0;
    qr_.col(q).segment(q, m - q).makeHouseholderInPlace(householderCoeffs_[q], beta);
    qr_(q, q) = beta;
}

void NnlsSolver::solvePassiveSet(const Eigen::VectorXd& b) {
    const Eigen::Index k = passiveCount_;
    rhs_ = b;
    if (k > 0) {
        Eigen::HouseholderSequence<Eigen::MatrixXd, Eigen::VectorXd> reflectors(qr_, householderCoeffs_);
        reflectors.setLength(k);
        rhs_.applyOnTheLeft(reflectors.adjoint());
        qr_.topLeftCorner(k, k).triangularView<Eigen::Upper>().solveInPlace(rhs_.head(k));
    }
    y_.setZero();
    for (Eigen::Index p = 0; p < k; ++p) y_[order_[static_cast<size_t>(p)]] = rhs_[p];
}

Eigen::VectorXd solveNonNegative(const Eigen::MatrixXd& A, const Eigen::VectorXd& b, int32_t maxIterations,
                                 double epsilon) {
    NnlsSolver solver(A, maxIterations, epsilon);
    solver.solve(b);
    return solver.x();
}
