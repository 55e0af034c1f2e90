#pragma once
// Non-negative least squares on the normal equations: the same active-set
// method as NnlsSolver (same entering, leaving, stopping and blocking rules),
// for a problem given by its normal equations instead of the tall A. A
// passive set's least-squares solution is the same on either form, so on a
// well-conditioned problem both reach the same iterate after every step, up
// to rounding.
//
// The normal equations come split in two parts,
//   A^T A = F + s v v^T,    A^T b = h + s rho v,
// that is |A x - b|^2 = |E x - e|^2 + s (v^T x - rho)^2 + const, where s v v^T
// is one heavy direction (for the weight step: what every column shares, the
// rest rows, the constraint row and the common translation of the shapes)
// and F = E^T E the light rest, which carries the differences between the
// columns. Forming A^T A itself would bury those differences in the rounding
// of the heavy part; F keeps them. With s = 0 the problem is plain normal
// equations F = A^T A, h = A^T b.
//
// The triangular factor R of F on the passive set (R^T R = F there, in
// position order) is updated column by column exactly where NnlsSolver
// updates its Householder QR, so a step costs O(k^2) for k passive columns
// instead of O(rows * k). The solver keeps S = R^{-1} rather than R
// (appending column q to R appends column q to S, found from S and the new
// column of R), so that every solve is a product with S or S^T, whose terms
// are independent, instead of a substitution, whose steps wait on each
// other. R^{-T} h and R^{-T} v on the passive set are kept with S: a column
// appended at position q changes only their entry q, as Q^T b does in the
// tall solve. The heavy direction enters each passive solve by the
// Sherman-Morrison formula,
//   z = F^{-1} h + mu F^{-1} v,  mu = s (rho - v^T F^{-1} h) / (1 + s v^T F^{-1} v),
// and mu = s (rho - v^T z) is kept for the dual, w = h + mu v - F x, so that
// the heavy part never meets a difference of nearly equal large numbers.
//
// What the normal equations cannot tell apart is a column that is nearly a
// combination of the passive ones: its pivot is then lost in the rounding of
// F. NnlsSolver decides such a column on the design matrix; so this solver
// stops with Undecided and the caller solves on the design matrix instead
// (the weight step: on its rows reduced to the span of the columns), unless
// the column is known to duplicate a passive column (within 1e-12 of its
// norm), which NnlsSolver always blocks.
//
// Detail header: only solver sources and tests include it (it exposes Eigen).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "solver/tolerances.h"

// Four consecutive doubles as one vector: the kernels below work in runs of
// four so that the compiler keeps each run in one register.
using Run4 = Eigen::Array4d;
inline Run4 loadRun(const double* p) { return Eigen::Map<const Run4>(p); }
inline void storeRun(double* p, const Run4& r) {
    Eigen::Map<Run4> out(p);
    out = r;
}
// The sum over i in [from, to) of term(i) (a Run4, not an expression that
// would outlive its operands), in two interleaved running sums so that
// consecutive terms do not wait on each other.
template <class Term>
inline Run4 sumRuns(Eigen::Index from, Eigen::Index to, Term term) {
    Run4 even = Run4::Zero(), odd = Run4::Zero();
    Eigen::Index i = from;
    for (; i + 1 < to; i += 2) {
        even += term(i);
        odd += term(i + 1);
    }
    if (i < to) even += term(i);
    return even + odd;
}

class GramNnlsSolver {
public:
    enum class Outcome { Optimal, CapReached, Undecided };

    // Scratch for problems of up to `capacity` variables; reused across
    // problems without allocating.
    explicit GramNnlsSolver(Eigen::Index capacity = 0) { reserve(capacity); }

    void reserve(Eigen::Index capacity) {
        if (capacity <= capacity_) return;
        capacity_ = capacity;
        ld_ = roundUp(capacity);
        x_.resize(capacity);
        w_.resize(capacity);
        y_.resize(ld_);
        r_.resize(ld_);
        g_.resize(ld_);
        c_.resize(ld_);
        cv_.resize(ld_);
        t_.resize(ld_);
        pivotRatio_.resize(ld_);
        Sc_.setZero(ld_ * capacity);
        Sr_.setZero(ld_ * capacity);
        columns_.resize(static_cast<size_t>(capacity));
        order_.resize(static_cast<size_t>(capacity));
        blocked_.resize(static_cast<size_t>(capacity));
    }

    // Source must offer:
    //   Eigen::Index size() const;              // n
    //   double atb(Eigen::Index i) const;       // h_i
    //   double diagonal(Eigen::Index i) const;  // F_ii
    //   const double* column(Eigen::Index j);   // F's column j, n entries
    //   double heavy(Eigen::Index i) const;     // v_i
    //   double heavyWeight() const;             // s >= 0
    //   double heavyTarget() const;             // rho
    //   bool duplicates(Eigen::Index i, Eigen::Index j) const;
    // `rows` is the row count of the tall A (a passive set never grows past
    // it); maxIterations and epsilon as for NnlsSolver. A column whose
    // squared pivot is below kGramPivotTolerance of its norm ends the solve
    // as Undecided.
    template <class Source>
    Outcome solve(Source& source, Eigen::Index rows, int32_t maxIterations, double epsilon);

    // Indexed by variable; the first size() entries are meaningful.
    Eigen::Ref<const Eigen::VectorXd> x() const { return x_.head(n_); }
    int32_t iterations() const { return iterations_; }
    Eigen::Index passiveCount() const { return passiveCount_; }
    // The variable at passive position p (0 <= p < passiveCount()).
    Eigen::Index passiveVariable(Eigen::Index p) const { return variable(p); }
    // The smallest squared pivot of the light part over the passive set of
    // the last solve, relative to its column's squared norm there (1 when
    // the set is empty): how near the passive columns are to dependent.
    double smallestPivotRatio() const {
        double smallest = 1.0;
        for (Eigen::Index p = 0; p < passiveCount_; ++p) smallest = std::min(smallest, pivotRatio_[p]);
        return smallest;
    }

    // One step of iterative refinement of the last solve's passive
    // solution: `gradient`, by passive position, is A^T (b - A x) on the
    // passive columns, formed from the tall rows (where its rounding is that
    // of the residual, not of the normal equations); x moves by
    // (A_P^T A_P)^{-1} gradient, applied through S and the heavy direction.
    // A weight the step would make negative is left at zero.
    void refine(const double* gradient);

private:
    enum class Added { Yes, Blocked, Undecided };

    template <class Source>
    bool factorColumn(Source& source, Eigen::Index q);
    template <class Source>
    Added addToPassiveSet(Source& source, Eigen::Index t);
    template <class Source>
    bool removeFromPassiveSet(Source& source, Eigen::Index f, bool keepBlocks);
    void solvePassiveSet();
    template <class Source>
    void updateDual(Source& source);

    static Eigen::Index roundUp(Eigen::Index i) { return (i + 3) / 4 * 4; }
    static Eigen::Index roundDown(Eigen::Index i) { return i / 4 * 4; }
    Eigen::Index variable(Eigen::Index p) const { return order_[static_cast<size_t>(p)]; }
    // S = R^{-1} by position, upper triangular: column j at Sc_[j * ld_],
    // row i at Sr_[i * ld_]. The products take whole runs of four from
    // these, so a run that passes the triangle holds zeros there.
    double* columnOfS(Eigen::Index j) { return Sc_.data() + j * ld_; }
    double* rowOfS(Eigen::Index i) { return Sr_.data() + i * ld_; }

    Eigen::Index capacity_ = 0;
    Eigen::Index ld_ = 0;
    Eigen::Index n_ = 0;
    int32_t iterations_ = 0;
    Eigen::VectorXd x_, w_;  // by variable
    // By position: the passive solve, a new column of R, the passive rows
    // of a new column of F, R^{-T} h, R^{-T} v, and h + mu v.
    Eigen::VectorXd y_, r_, g_, c_, cv_, t_;
    Eigen::VectorXd pivotRatio_;  // by position: pivot / F_qq when factored
    double s_ = 0.0, rho_ = 0.0;
    double mu_ = 0.0;  // s (rho - v^T x) at the current x
    Eigen::VectorXd Sc_, Sr_;
    std::vector<const double*> columns_;  // F's passive columns, by position
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
    s_ = source.heavyWeight();
    rho_ = source.heavyTarget();
    mu_ = s_ * rho_;
    for (Eigen::Index i = 0; i < n; ++i) {
        blocked_[static_cast<size_t>(i)] = 0;
        w_[i] = source.atb(i) + mu_ * source.heavy(i);
    }
    if (passiveCount_ == n) return Outcome::Optimal;

    for (;;) {
        double maxW = -std::numeric_limits<double>::infinity();
        Eigen::Index t = -1;
        for (Eigen::Index p = passiveCount_; p < n; ++p) {
            const Eigen::Index v = variable(p);
            if (blocked_[static_cast<size_t>(v)]) continue;
            if (w_[v] > maxW) {
                maxW = w_[v];
                t = p;
            }
        }
        if (t < 0 || maxW - epsilon < 0) return Outcome::Optimal;
        if (passiveCount_ >= rows) return Outcome::Optimal;
        const Eigen::Index entering = variable(t);
        const Added added = addToPassiveSet(source, t);
        if (added == Added::Undecided) return Outcome::Undecided;
        if (added == Added::Blocked) continue;

        bool firstPass = true;
        for (;;) {
            if (maxIterations > 0 && iterations_ >= maxIterations) return Outcome::CapReached;
            solvePassiveSet();
            ++iterations_;
            if (passiveCount_ == 0) break;

            double alpha = std::numeric_limits<double>::max();
            Eigen::Index f = -1;
            Eigen::Index firstInfeasible = -1;
            for (Eigen::Index p = 0; p < passiveCount_; ++p) {
                const double y = y_[p];
                if (y <= 0) {
                    if (firstInfeasible < 0) firstInfeasible = p;
                    const double x = x_[variable(p)];
                    const double r = x / (x - y);
                    if (r < alpha) {
                        alpha = r;
                        f = p;
                    }
                }
            }
            if (firstInfeasible < 0) break;
            if (f >= 0) {
                for (Eigen::Index p = 0; p < passiveCount_; ++p) {
                    const Eigen::Index v = variable(p);
                    x_[v] += alpha * (y_[p] - x_[v]);
                }
            } else {
                f = firstInfeasible;
            }
            const Eigen::Index leaving = variable(f);
            const bool bounced = firstPass && leaving == entering;
            if (!removeFromPassiveSet(source, f, bounced)) return Outcome::Undecided;
            if (bounced) blocked_[static_cast<size_t>(leaving)] = 1;
            firstPass = false;
        }

        // x = the passive solve, zero off the passive set.
        x_.head(n).setZero();
        for (Eigen::Index p = 0; p < passiveCount_; ++p) x_[variable(p)] = y_[p];
        updateDual(source);
        if (passiveCount_ == n) return Outcome::Optimal;
    }
}

template <class Source>
bool GramNnlsSolver::factorColumn(Source& source, Eigen::Index q) {
    const Eigen::Index v = variable(q);
    const double* g = source.column(v);
    columns_[static_cast<size_t>(q)] = g;
    const Eigen::Index end = roundUp(q);
    // Column q of R: r = R(0..q-1, 0..q-1)^{-T} F(passive, v) = S^T F(passive, v),
    // four entries at a time from the rows of S that reach them (row i is
    // zero before i within its run; entries q.. of the last run are not
    // part of r).
    double* r = r_.data();
    double* gathered = g_.data();
    for (Eigen::Index i = 0; i < q; ++i) gathered[i] = g[variable(i)];
    for (Eigen::Index j = 0; j < end; j += 4)
        storeRun(r + j, sumRuns(0, std::min(q, j + 4),
                                [&](Eigen::Index i) -> Run4 { return gathered[i] * loadRun(rowOfS(i) + j); }));
    // |r|^2, r . R^{-T} h and r . R^{-T} v, four running sums each.
    Run4 sum4 = Run4::Zero(), cr4 = Run4::Zero(), cv4 = Run4::Zero();
    const Eigen::Index whole = roundDown(q);
    for (Eigen::Index i = 0; i < whole; i += 4) {
        const Run4 ri = loadRun(r + i);
        sum4 += ri * ri;
        cr4 += ri * loadRun(c_.data() + i);
        cv4 += ri * loadRun(cv_.data() + i);
    }
    double sum = (sum4[0] + sum4[1]) + (sum4[2] + sum4[3]);
    double cr = (cr4[0] + cr4[1]) + (cr4[2] + cr4[3]);
    double cv = (cv4[0] + cv4[1]) + (cv4[2] + cv4[3]);
    for (Eigen::Index i = whole; i < q; ++i) {
        sum += r[i] * r[i];
        cr += r[i] * c_[i];
        cv += r[i] * cv_[i];
    }
    const double norm2 = source.diagonal(v);
    const double pivot = norm2 - sum;
    if (!(pivot >= kGramPivotTolerance * norm2) || !(norm2 > 0.0)) return false;
    // The tall solve blocks a column within kDependentColumnTolerance of the
    // passive span, measured against the column's whole norm (heavy part
    // included). The pivot of A is at least this one; near that line only
    // the tall matrix can tell.
    const double heavy = source.heavy(v);
    if (!(pivot > kGramDecidedPivot * (norm2 + s_ * heavy * heavy))) return false;
    pivotRatio_[q] = pivot / norm2;
    // Column q of S: -S r / R(q, q) above the diagonal, 1 / R(q, q) on it;
    // four entries at a time from the columns of S that reach them. S r
    // does not wait for the pivot's root.
    double* col = columnOfS(q);
    for (Eigen::Index j = 0; j < end; j += 4)
        storeRun(col + j, sumRuns(j, q, [&](Eigen::Index i) -> Run4 { return r[i] * loadRun(columnOfS(i) + j); }));
    const double inverse = 1.0 / std::sqrt(pivot);
    c_[q] = (source.atb(v) - cr) * inverse;
    cv_[q] = (heavy - cv) * inverse;
    for (Eigen::Index j = 0; j < end; j += 4) storeRun(col + j, loadRun(col + j) * -inverse);
    col[q] = inverse;
    for (Eigen::Index i = q + 1; i < roundUp(q + 1); ++i) col[i] = 0.0;
    for (Eigen::Index i = 0; i <= q; ++i) rowOfS(i)[q] = col[i];
    double* row = rowOfS(q);
    for (Eigen::Index j = roundDown(q); j < q; ++j) row[j] = 0.0;
    return true;
}

template <class Source>
GramNnlsSolver::Added GramNnlsSolver::addToPassiveSet(Source& source, Eigen::Index t) {
    std::swap(order_[static_cast<size_t>(t)], order_[static_cast<size_t>(passiveCount_)]);
    ++passiveCount_;
    const Eigen::Index q = passiveCount_ - 1;
    const Eigen::Index v = variable(q);
    // A zero column never carries weight.
    bool blocked = !(source.diagonal(v) > 0.0) && source.heavy(v) == 0.0;
    for (Eigen::Index i = 0; i < q && !blocked; ++i) blocked = source.duplicates(variable(i), v);
    if (!blocked) {
        if (factorColumn(source, q)) return Added::Yes;
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
    for (Eigen::Index q = f; q < passiveCount_; ++q)
        if (!factorColumn(source, q)) return false;
    if (!keepBlocks)
        for (Eigen::Index i = 0; i < n_; ++i) blocked_[static_cast<size_t>(i)] = 0;
    return true;
}

inline void GramNnlsSolver::solvePassiveSet() {
    // y = S (R^{-T} h + mu R^{-T} v), four entries at a time.
    const Eigen::Index k = passiveCount_;
    double vh = 0.0, vv = 0.0;
    for (Eigen::Index i = 0; i < k; ++i) {
        vh += cv_[i] * c_[i];
        vv += cv_[i] * cv_[i];
    }
    mu_ = s_ == 0.0 ? 0.0 : s_ * (rho_ - vh) / (1.0 + s_ * vv);
    for (Eigen::Index i = 0; i < k; ++i) t_[i] = c_[i] + mu_ * cv_[i];
    for (Eigen::Index j = 0; j < k; j += 4)
        storeRun(y_.data() + j,
                 sumRuns(j, k, [&](Eigen::Index i) -> Run4 { return t_[i] * loadRun(columnOfS(i) + j); }));
}

inline void GramNnlsSolver::refine(const double* gradient) {
    // z = S^T g less its heavy share (Sherman-Morrison, as in the solve),
    // then the step S z.
    const Eigen::Index k = passiveCount_;
    double vz = 0.0, vv = 0.0;
    for (Eigen::Index i = 0; i < k; ++i) {
        const double* col = columnOfS(i);
        double z = 0.0;
        for (Eigen::Index j = 0; j <= i; ++j) z += col[j] * gradient[j];
        t_[i] = z;
        vz += cv_[i] * z;
        vv += cv_[i] * cv_[i];
    }
    const double heavyShare = s_ == 0.0 ? 0.0 : s_ * vz / (1.0 + s_ * vv);
    for (Eigen::Index i = 0; i < k; ++i) t_[i] -= heavyShare * cv_[i];
    for (Eigen::Index j = 0; j < k; ++j) {
        const double* row = rowOfS(j);
        double step = 0.0;
        for (Eigen::Index i = j; i < k; ++i) step += row[i] * t_[i];
        y_[j] = std::max(y_[j] + step, 0.0);
        x_[variable(j)] = y_[j];
    }
}

// w(i .. i + 4 Runs - 1) = h + mu v - sum over p of x_p F(:, p) on those
// rows, each run of four summed in its own register.
template <int Runs, class Source>
inline void dualRuns(const Source& source, double mu, Eigen::Index i, const double* const* cols, const double* xs,
                     Eigen::Index k, double* w) {
    Run4 acc[Runs];
    for (int u = 0; u < Runs; ++u) {
        const Eigen::Index e = i + 4 * u;
        acc[u] = Run4(source.atb(e), source.atb(e + 1), source.atb(e + 2), source.atb(e + 3)) +
                 mu * Run4(source.heavy(e), source.heavy(e + 1), source.heavy(e + 2), source.heavy(e + 3));
    }
    for (Eigen::Index p = 0; p < k; ++p) {
        const double xv = xs[p];
        const double* g = cols[p] + i;
        for (int u = 0; u < Runs; ++u) acc[u] -= loadRun(g + 4 * u) * xv;
    }
    for (int u = 0; u < Runs; ++u) storeRun(w + i + 4 * u, acc[u]);
}

template <class Source>
void GramNnlsSolver::updateDual(Source& source) {
    // w = A^T b - A^T A x = h + mu v - F x, with mu = s (rho - v^T x) from
    // the passive solve that gave x; x is zero off the passive set, so only
    // passive columns count, taken in position order for every entry.
    const Eigen::Index k = passiveCount_;
    const double* const* cols = columns_.data();
    const double* xs = y_.data();
    double* w = w_.data();
    Eigen::Index i = 0;
    for (; i + 32 <= n_; i += 32) dualRuns<8>(source, mu_, i, cols, xs, k, w);
    if (i + 16 <= n_) {
        dualRuns<4>(source, mu_, i, cols, xs, k, w);
        i += 16;
    }
    if (i + 8 <= n_) {
        dualRuns<2>(source, mu_, i, cols, xs, k, w);
        i += 8;
    }
    if (i + 4 <= n_) {
        dualRuns<1>(source, mu_, i, cols, xs, k, w);
        i += 4;
    }
    for (; i < n_; ++i) {
        double acc = source.atb(i) + mu_ * source.heavy(i);
        for (Eigen::Index p = 0; p < k; ++p) acc -= cols[p][i] * xs[p];
        w[i] = acc;
    }
}
