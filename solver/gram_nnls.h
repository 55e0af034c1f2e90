#pragma once
// Non-negative least squares on the normal equations: the same active-set
// method as NnlsSolver (same entering, leaving, stopping and blocking rules),
// for a problem given by G = A^T A and A^T b instead of the tall A. A passive
// set's least-squares solution is the same on either form, so on a
// well-conditioned problem both reach the same iterate after every step, up
// to rounding. The triangular factor R of the passive columns (R^T R = G on
// the passive set, in position order) is updated column by column exactly
// where NnlsSolver updates its Householder QR, so a step costs O(k^2) for k
// passive columns instead of O(rows * k).
//
// What the normal equations cannot tell apart is a column that is nearly a
// combination of the passive ones: its pivot is then lost in the rounding of
// G. NnlsSolver decides such a column on the tall matrix; so this solver stops
// with Undecided and the caller solves the tall system instead, unless the
// column is known to duplicate a passive column (within 1e-12 of its norm),
// which NnlsSolver always blocks.
//
// Detail header: only solver sources and tests include it (it exposes Eigen).

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <Eigen/Core>

// Smallest squared pivot, relative to the column's squared norm, that the
// normal equations decide on their own: the pivot is then known to about
// 1e-10 relative, and the passive solves lose at most about 1e-16 / 1e-6 of
// the tall solve's accuracy.
constexpr double kGramPivotTolerance = 1e-6;

class GramNnlsSolver {
public:
    enum class Outcome { Optimal, CapReached, Undecided };

    // Scratch for problems of up to `capacity` variables; reused across
    // problems without allocating.
    explicit GramNnlsSolver(Eigen::Index capacity = 0) { reserve(capacity); }

    void reserve(Eigen::Index capacity) {
        if (capacity <= capacity_) return;
        capacity_ = capacity;
        x_.resize(capacity);
        w_.resize(capacity);
        y_.resize(capacity);
        rhs_.resize(capacity);
        R_.resize(capacity, capacity);
        order_.resize(static_cast<size_t>(capacity));
        blocked_.resize(static_cast<size_t>(capacity));
    }

    // Source must offer:
    //   Eigen::Index size() const;          // n
    //   double atb(Eigen::Index i) const;   // (A^T b)_i
    //   double diagonal(Eigen::Index i) const;  // G_ii
    //   const double* column(Eigen::Index j);   // G's column j, n entries
    //   bool duplicates(Eigen::Index i, Eigen::Index j) const;
    // `rows` is the row count of the tall A (a passive set never grows past
    // it); maxIterations and epsilon as for NnlsSolver.
    template <class Source>
    Outcome solve(Source& source, Eigen::Index rows, int32_t maxIterations, double epsilon);

    // Indexed by variable; the first size() entries are meaningful.
    Eigen::Ref<const Eigen::VectorXd> x() const { return x_.head(n_); }
    int32_t iterations() const { return iterations_; }
    Eigen::Index passiveCount() const { return passiveCount_; }

private:
    enum class Added { Yes, Blocked, Undecided };

    template <class Source>
    bool factorColumn(Source& source, Eigen::Index q, double* pivot);
    template <class Source>
    Added addToPassiveSet(Source& source, Eigen::Index t);
    template <class Source>
    bool removeFromPassiveSet(Source& source, Eigen::Index f, bool keepBlocks);
    template <class Source>
    void solvePassiveSet(Source& source);
    template <class Source>
    void updateDual(Source& source);

    Eigen::Index capacity_ = 0;
    Eigen::Index n_ = 0;
    int32_t iterations_ = 0;
    Eigen::VectorXd x_, w_, y_, rhs_;
    Eigen::MatrixXd R_;  // upper triangle, by position
    std::vector<Eigen::Index> order_;
    Eigen::Index passiveCount_ = 0;
    std::vector<char> blocked_;
};

template <class Source>
GramNnlsSolver::Outcome GramNnlsSolver::solve(Source& source, Eigen::Index rows, int32_t maxIterations,
                                              double epsilon) {
    const Eigen::Index n = source.size();
    reserve(n);
    n_ = n;
    iterations_ = 0;
    x_.head(n).setZero();
    for (Eigen::Index i = 0; i < n; ++i) order_[static_cast<size_t>(i)] = i;
    passiveCount_ = 0;
    for (Eigen::Index i = 0; i < n; ++i) {
        blocked_[static_cast<size_t>(i)] = 0;
        w_[i] = source.atb(i);
    }
    if (passiveCount_ == n) return Outcome::Optimal;

    for (;;) {
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
        if (t < 0 || maxW - epsilon < 0) return Outcome::Optimal;
        if (passiveCount_ >= rows) return Outcome::Optimal;
        const Eigen::Index entering = order_[static_cast<size_t>(t)];
        const Added added = addToPassiveSet(source, t);
        if (added == Added::Undecided) return Outcome::Undecided;
        if (added == Added::Blocked) continue;

        bool firstPass = true;
        for (;;) {
            if (maxIterations > 0 && iterations_ >= maxIterations) return Outcome::CapReached;
            solvePassiveSet(source);
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
                f = firstInfeasible;
            }
            const Eigen::Index leaving = order_[static_cast<size_t>(f)];
            const bool bounced = firstPass && leaving == entering;
            if (!removeFromPassiveSet(source, f, bounced)) return Outcome::Undecided;
            if (bounced) blocked_[static_cast<size_t>(leaving)] = 1;
            firstPass = false;
        }

        x_.head(n) = y_.head(n);
        updateDual(source);
        if (passiveCount_ == n) return Outcome::Optimal;
    }
}

template <class Source>
bool GramNnlsSolver::factorColumn(Source& source, Eigen::Index q, double* pivot) {
    const Eigen::Index v = order_[static_cast<size_t>(q)];
    const double* g = source.column(v);
    // Column q of R: R(0..q-1, 0..q-1)^T r = G(passive, v), then the pivot.
    double sum = 0.0;
    for (Eigen::Index i = 0; i < q; ++i) {
        double r = g[order_[static_cast<size_t>(i)]];
        for (Eigen::Index j = 0; j < i; ++j) r -= R_(j, i) * R_(j, q);
        r /= R_(i, i);
        R_(i, q) = r;
        sum += r * r;
    }
    const double norm2 = source.diagonal(v);
    *pivot = norm2 - sum;
    if (!(*pivot >= kGramPivotTolerance * norm2) || !(norm2 > 0.0)) return false;
    R_(q, q) = std::sqrt(*pivot);
    return true;
}

template <class Source>
GramNnlsSolver::Added GramNnlsSolver::addToPassiveSet(Source& source, Eigen::Index t) {
    std::swap(order_[static_cast<size_t>(t)], order_[static_cast<size_t>(passiveCount_)]);
    ++passiveCount_;
    const Eigen::Index q = passiveCount_ - 1;
    const Eigen::Index v = order_[static_cast<size_t>(q)];
    bool blocked = !(source.diagonal(v) > 0.0);  // a zero column never carries weight
    for (Eigen::Index i = 0; i < q && !blocked; ++i) blocked = source.duplicates(order_[static_cast<size_t>(i)], v);
    if (!blocked) {
        double pivot = 0.0;
        if (factorColumn(source, q, &pivot)) return Added::Yes;
        if (std::isfinite(source.diagonal(v))) return Added::Undecided;
        blocked = true;  // as the tall solve, a non-finite column fails its test
    }
    --passiveCount_;
    std::swap(order_[static_cast<size_t>(t)], order_[static_cast<size_t>(passiveCount_)]);
    blocked_[static_cast<size_t>(v)] = 1;
    return Added::Blocked;
}

template <class Source>
bool GramNnlsSolver::removeFromPassiveSet(Source& source, Eigen::Index f, bool keepBlocks) {
    std::swap(order_[static_cast<size_t>(f)], order_[static_cast<size_t>(passiveCount_ - 1)]);
    --passiveCount_;
    double pivot = 0.0;
    for (Eigen::Index q = f; q < passiveCount_; ++q)
        if (!factorColumn(source, q, &pivot)) return false;
    if (!keepBlocks)
        for (Eigen::Index i = 0; i < n_; ++i) blocked_[static_cast<size_t>(i)] = 0;
    return true;
}

template <class Source>
void GramNnlsSolver::solvePassiveSet(Source& source) {
    const Eigen::Index k = passiveCount_;
    // R^T c = (A^T b) on the passive set, then R z = c.
    for (Eigen::Index i = 0; i < k; ++i) {
        double c = source.atb(order_[static_cast<size_t>(i)]);
        for (Eigen::Index j = 0; j < i; ++j) c -= R_(j, i) * rhs_[j];
        rhs_[i] = c / R_(i, i);
    }
    for (Eigen::Index i = k - 1; i >= 0; --i) {
        double z = rhs_[i];
        for (Eigen::Index j = i + 1; j < k; ++j) z -= R_(i, j) * rhs_[j];
        rhs_[i] = z / R_(i, i);
    }
    y_.head(n_).setZero();
    for (Eigen::Index p = 0; p < k; ++p) y_[order_[static_cast<size_t>(p)]] = rhs_[p];
}

template <class Source>
void GramNnlsSolver::updateDual(Source& source) {
    // x is zero off the passive set, so only passive columns of G count.
    for (Eigen::Index i = 0; i < n_; ++i) w_[i] = source.atb(i);
    for (Eigen::Index p = 0; p < passiveCount_; ++p) {
        const Eigen::Index v = order_[static_cast<size_t>(p)];
        const double xv = x_[v];
        const double* g = source.column(v);
        for (Eigen::Index i = 0; i < n_; ++i) w_[i] -= g[i] * xv;
    }
}
