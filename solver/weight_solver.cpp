#include "solver/weight_solver.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <Eigen/QR>

#include "solver/gram_nnls.h"
#include "solver/matrix_utils.h"
#include "solver/nnls_solver.h"
#include "solver/parallel.h"
#include "solver/step_data.h"
#include "solver/tolerances.h"
#include "solver/weight_kernels.h"

Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, int32_t vertexId) {
    return buildDesignMatrix(state, skinningProducts(state), vertexId);
}

Eigen::MatrixXd buildDesignMatrix(const DecompositionState& state, const std::vector<MMatrix>& products,
                                  int32_t vertexId) {
    const Inputs& in = state.inputs;
    const int F = in.F;
    const int J = in.J;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    Eigen::MatrixXd A(rows, J);
    const MPoint& p = in.restPoints[static_cast<unsigned>(vertexId)];
    for (int k = 0; k < J; ++k) {
        for (int f = 0; f < F; ++f) {
            const MPoint q = p * products[static_cast<size_t>(f) * J + k];
            A(3 * f, k) = q.x;
            A(3 * f + 1, k) = q.y;
            A(3 * f + 2, k) = q.z;
        }
        A(3 * F, k) = p.x;
        A(3 * F + 1, k) = p.y;
        A(3 * F + 2, k) = p.z;
        A(rows - 1, k) = in.constraintWeight;
    }
    return A;
}

Eigen::VectorXd buildTargetVector(const DecompositionState& state, int32_t vertexId) {
    const Inputs& in = state.inputs;
    const int F = in.F;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    Eigen::VectorXd b(rows);
    const unsigned id = static_cast<unsigned>(vertexId);
    for (int f = 0; f < F; ++f) {
        const MPoint& q = in.shapePoints[f][id];
        b[3 * f] = q.x;
        b[3 * f + 1] = q.y;
        b[3 * f + 2] = q.z;
    }
    const MPoint& p = in.restPoints[id];
    b[3 * F] = p.x;
    b[3 * F + 1] = p.y;
    b[3 * F + 2] = p.z;
    b[rows - 1] = in.constraintWeight;
    return b;
}

Eigen::MatrixXd gatherInfluenceColumns(const std::vector<int32_t>& influences, const Eigen::MatrixXd& A) {
    Eigen::MatrixXd out(A.rows(), static_cast<Eigen::Index>(influences.size()));
    for (size_t i = 0; i < influences.size(); ++i) {
        const int32_t k = influences[i];
        if (k >= 0 && k < A.cols())
            out.col(static_cast<Eigen::Index>(i)) = A.col(k);
        else
            out.col(static_cast<Eigen::Index>(i)).setZero();
    }
    return out;
}

void selectInfluences(const Eigen::Ref<const Eigen::VectorXd>& x, int32_t maxInfluence,
                      std::vector<int32_t>& influences) {
    std::vector<std::pair<double, int32_t>> ranked;
    selectInfluences(x, maxInfluence, influences, ranked);
}

void selectInfluences(const Eigen::Ref<const Eigen::VectorXd>& x, int32_t maxInfluence,
                      std::vector<int32_t>& influences, std::vector<std::pair<double, int32_t>>& ranked) {
    const Eigen::Index n = x.size();
    const size_t count = std::min(static_cast<size_t>(n), static_cast<size_t>(std::max(maxInfluence, 0)));
    // The best `count` so far, largest first, lexicographic on (weight,
    // bone): bones are distinct, so the order is strict and the result is
    // what a full sort would put first. Bones come in ascending order, so a
    // new one ranks above every kept one of equal weight.
    ranked.resize(count);
    size_t kept = 0;
    for (Eigen::Index k = 0; k < n && count > 0; ++k) {
        // NaN cannot be ordered; rank it below every number.
        const double value = std::isnan(x[k]) ? -HUGE_VAL : x[k];
        size_t at;
        if (kept < count) {
            at = kept++;
        } else {
            if (!(value >= ranked[count - 1].first)) continue;
            at = count - 1;
        }
        for (; at > 0 && value >= ranked[at - 1].first; --at) ranked[at] = ranked[at - 1];
        ranked[at] = {value, static_cast<int32_t>(k)};
    }
    influences.resize(count);
    for (size_t i = 0; i < count; ++i) influences[i] = ranked[i].second;
}

void pruneAndNormalize(const Eigen::Ref<const Eigen::VectorXd>& v, double threshold, std::vector<double>& weights) {
    const size_t n = static_cast<size_t>(v.size());
    weights.assign(n, 0.0);
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double value = v[static_cast<Eigen::Index>(i)];
        if (value < threshold || !std::isfinite(value)) continue;
        weights[i] = value;
        sum += value;
    }
    if (sum > 0.0 && std::isfinite(sum)) {
        for (double& w : weights) w /= sum;
        return;
    }
    // Nothing survived: the vertex follows its strongest influence alone.
    if (n == 0) return;
    size_t strongest = 0;
    double best = -HUGE_VAL;
    for (size_t i = 0; i < n; ++i) {
        const double value = v[static_cast<Eigen::Index>(i)];
        if (std::isfinite(value) && value > best) {
            best = value;
            strongest = i;
        }
    }
    std::fill(weights.begin(), weights.end(), 0.0);
    weights[strongest] = 1.0;
}

namespace {

// Vertices are solved in fixed blocks of this many, by ascending id, whatever
// the thread count: the block's targets feed one matrix product, and a fixed
// partition keeps every vertex's arithmetic the same for any thread count.
constexpr int kVertexBlock = 128;

// p~ p~^T in ten terms: xx yy zz ww, then xy xz xw yz yw zw.
inline void quadraticTerms(const double p[4], double t[10]) {
    t[0] = p[0] * p[0];
    t[1] = p[1] * p[1];
    t[2] = p[2] * p[2];
    t[3] = p[3] * p[3];
    t[4] = p[0] * p[1];
    t[5] = p[0] * p[2];
    t[6] = p[0] * p[3];
    t[7] = p[1] * p[2];
    t[8] = p[1] * p[3];
    t[9] = p[2] * p[3];
}

// What every vertex of one weight step shares.
//
// The columns of a vertex's design matrix share a large common part: the
// rest rows (p) and the constraint row (lagragian) are the same in every
// column, and when the body sits far from the origin so is most of every
// shape row. Write A = c 1^T + E with c = (w o'_f per shape, p, lagragian),
// where o'_f is one point per shape near the whole body (the median over
// bones of where they carry the rest centroid o) and w the rest point's
// homogeneous coordinate, and E holds only what is left of the shape rows:
//   E(3f..3f+2, k) = p~' N_fk,  p~' = (p - w o, w),
//   N_fk = M_fk with o * (rows 0..2) + row 3 - o'_f as its row 3,
// all of the size of the body rather than of its distance to the origin.
// With s = |c|^2, u = E^T c, beta = b - c (the shape rows' targets less
// w o'_f, zero elsewhere),
//   |A x - b|^2 = |E_perp x - beta_perp|^2 + s (v^T x - rho)^2,
//   v = 1 + u / s,  rho = 1 + c^T beta / s,
//   F = E_perp^T E_perp = E^T E - u u^T / s,  h = E^T beta - u c^T beta / s,
// the light and heavy parts GramNnlsSolver takes. E^T E comes from 4 x 4
// sums over the shapes of N_fk N_fl^T, which depend on the bones only.
struct WeightTables {
    int F = 0;
    int J = 0;
    int paddedJ = 0;                     // J rounded up to whole vectors
    double origin[3] = {0.0, 0.0, 0.0};  // o
    // 3F: o'_f per shape, and the sum over shapes of |o'_f|^2.
    std::vector<double> shift;
    double shift2 = 0.0;
    // 3F x 4J, W(3f + c, 4k + r) = N_fk[r][c]: the rows of E are the
    // vertex's p~' times blocks of W's transpose.
    Eigen::MatrixXd W;
    // 4J: W^T o' (o' stacked), so that u_k = w p~' . links(4k .. 4k + 3).
    Eigen::VectorXd links;
    // The 4 x 4 block k, l of W^T W symmetrised to the ten terms of
    // quadraticTerms (off-diagonal entries summed), the same numbers for
    // (l, k) so that E^T E is symmetric. Term i of pair (k, l) sits at
    // (l * 10 + i) * paddedJ + k: a column of E^T E is ten runs of
    // contiguous terms, zero past J.
    std::vector<double> gram;
    // Term i of pair (k, k) at i * paddedJ + k, for the diagonal.
    std::vector<double> diagonal;
    // Per bone pair: sum over shapes of |N_fk - N_fl|^2 (Frobenius).
    std::vector<double> difference;

    double term(int k, int l, int i) const { return gram[(static_cast<size_t>(l) * 10 + i) * paddedJ + k]; }
};

// The bone-only parts: o, o', W, W^T o', then (inside the step's parallel
// region, from every thread) the 4 x 4 sums.
void sizeWeightTables(const DecompositionState& state, const VertexEntries& entries, WeightTables& t) {
    const Inputs& in = state.inputs;
    const int F = std::max(in.F, 0);
    const int J = std::max(in.J, 0);
    t.F = F;
    t.J = J;
    t.paddedJ = (J + 3) / 4 * 4;
    // The vertex rows need only W: the products are not kept.
    const std::vector<MMatrix> products = skinningProducts(state);
    // o: the centroid of the used rest points, in id order.
    double sum[3] = {0.0, 0.0, 0.0};
    for (const int32_t id : entries.ids) {
        const MPoint& p = in.restPoints[static_cast<unsigned>(id)];
        sum[0] += p.x;
        sum[1] += p.y;
        sum[2] += p.z;
    }
    const double count = static_cast<double>(std::max<size_t>(entries.ids.size(), 1));
    for (int c = 0; c < 3; ++c) t.origin[c] = std::isfinite(sum[c]) ? sum[c] / count : 0.0;
    // Per shape, row 3 of N before the shift (where each bone carries o),
    // and o'_f the median of those points, coordinate by coordinate: a bone
    // far from the body cannot drag it away.
    std::vector<double> carried(static_cast<size_t>(F) * 3 * J);
    t.shift.assign(static_cast<size_t>(3) * F, 0.0);
    t.shift2 = 0.0;
    std::vector<double> values(static_cast<size_t>(J));
    for (int f = 0; f < F; ++f) {
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < J; ++k) {
                const MMatrix& M = products[static_cast<size_t>(f) * J + k];
                const double x = t.origin[0] * M[0][c] + t.origin[1] * M[1][c] + t.origin[2] * M[2][c] + M[3][c];
                carried[(static_cast<size_t>(f) * 3 + c) * J + k] = x;
                values[static_cast<size_t>(k)] = std::isfinite(x) ? x : 0.0;
            }
            double median = 0.0;
            if (J > 0) {
                auto middle = values.begin() + J / 2;
                std::nth_element(values.begin(), middle, values.end());
                median = *middle;
            }
            t.shift[static_cast<size_t>(3 * f + c)] = median;
            t.shift2 += median * median;
        }
    }
    t.W.resize(3 * F, 4 * J);
    for (int k = 0; k < J; ++k)
        for (int f = 0; f < F; ++f) {
            const MMatrix& M = products[static_cast<size_t>(f) * J + k];
            for (int c = 0; c < 3; ++c) {
                for (int r = 0; r < 3; ++r) t.W(3 * f + c, 4 * k + r) = M[r][c];
                t.W(3 * f + c, 4 * k + 3) =
                    carried[(static_cast<size_t>(f) * 3 + c) * J + k] - t.shift[static_cast<size_t>(3 * f + c)];
            }
        }
    t.links = t.W.transpose() * Eigen::Map<const Eigen::VectorXd>(t.shift.data(), 3 * F);
    t.gram.assign(static_cast<size_t>(J) * 10 * t.paddedJ, 0.0);
    t.diagonal.assign(static_cast<size_t>(10) * t.paddedJ, 0.0);
    t.difference.assign(static_cast<size_t>(J) * J, 0.0);
}

// Work-shared loop: call from every thread of the region. Bones are handed
// out as threads come free (each bone's sums are the same whoever makes them).
void fillWeightTables(WeightTables& t, Eigen::MatrixXd& band) {
    const int J = t.J;
    band.resize(4, 4 * J);  // one bone's rows of W^T W
#pragma omp for schedule(dynamic)
    for (int k = 0; k < J; ++k) {
        band.noalias() = t.W.middleCols(4 * k, 4).transpose() * t.W;
        for (int l = k; l < J; ++l) {
            const auto S = band.middleCols(4 * l, 4);
            const double sym[10] = {S(0, 0),           S(1, 1),           S(2, 2),           S(3, 3),
                                    S(0, 1) + S(1, 0), S(0, 2) + S(2, 0), S(0, 3) + S(3, 0), S(1, 2) + S(2, 1),
                                    S(1, 3) + S(3, 1), S(2, 3) + S(3, 2)};
            double d2 = 0.0;
            if (l != k) {
                const auto D = t.W.middleCols(4 * k, 4) - t.W.middleCols(4 * l, 4);
                d2 = D.squaredNorm();
            }
            for (int i = 0; i < 10; ++i) {
                t.gram[(static_cast<size_t>(l) * 10 + i) * t.paddedJ + k] = sym[i];
                t.gram[(static_cast<size_t>(k) * 10 + i) * t.paddedJ + l] = sym[i];
            }
            if (l == k)
                for (int i = 0; i < 10; ++i) t.diagonal[static_cast<size_t>(i) * t.paddedJ + k] = sym[i];
            t.difference[static_cast<size_t>(k) * J + l] = d2;
            t.difference[static_cast<size_t>(l) * J + k] = d2;
        }
    }
}

// An orthonormal basis of the shape rows where every column of E lies, for
// the vertices whose normal equations cannot decide a column. W = Q R (thin
// Householder QR, Q: 3F x m with m = min(3F, 4J)), so a vertex's column k of
// E is Q times R(:, 4k..4k+3) p~', and the design matrix becomes, after an
// orthogonal change of rows that keeps every column norm and every R factor
// of the tall solve,
//   rows 0..m-1:  R(:, 4k..4k+3) p~' + w Q^T o'     target  w Q^T o' + Q^T beta
//   row m:        |d| in every column                target  |d| + w o'_perp . beta / |d|
// with o'_perp = o' - Q Q^T o' and d the common column part outside span(Q):
// |d|^2 = w^2 |o'_perp|^2 + |p|^2 + lagragian^2. What the rows drop is
// orthogonal to every column: a constant of the objective. m + 1 rows instead
// of 3F + 1, and no rounding of a large common part into the differences.
struct VertexTerms;

struct ReducedRows {
    Eigen::MatrixXd Q;         // 3F x m
    Eigen::MatrixXd R;         // m x 4J
    Eigen::VectorXd shiftIn;   // Q^T o', m
    Eigen::VectorXd shiftOut;  // o'_perp, 3F
    double shiftOut2 = 0.0;    // |o'_perp|^2

    void build(const WeightTables& t) {
        const Eigen::Index rows = t.W.rows(), cols = t.W.cols();
        const Eigen::Index m = std::min(rows, cols);
        Eigen::HouseholderQR<Eigen::MatrixXd> qr(t.W);
        Q = qr.householderQ() * Eigen::MatrixXd::Identity(rows, m);
        R = qr.matrixQR().topRows(m).triangularView<Eigen::Upper>();
        const Eigen::Map<const Eigen::VectorXd> shift(t.shift.data(), rows);
        shiftIn = Q.transpose() * shift;
        shiftOut = shift - Q * shiftIn;
        shiftOut2 = shiftOut.squaredNorm();
    }

    // The vertex's reduced design matrix and target; beta is its column of
    // shifted targets (3F).
    void vertex(const VertexTerms& v, const Eigen::Ref<const Eigen::VectorXd>& beta, Eigen::MatrixXd& A,
                Eigen::VectorXd& b) const;
};

// A vertex's rest position and the terms of its split normal equations that
// do not depend on the bones, then (set per vertex) the heavy part's
// numbers that do.
struct VertexTerms {
    double p[4];   // p~' = (p - w o, w)
    double t[10];  // p~' p~'^T
    double w;
    double s;  // |c|^2 = w^2 sum |o'_f|^2 + |p|^2 + lagragian^2
    double inverseS;
    double rest2;     // |p|^2 + lagragian^2: the rest and constraint rows of c
    double scale;     // |p~'|^2 / (|p|^2 + lagragian^2): bounds a column difference
    double cb = 0.0;  // c^T beta
    void set(const WeightTables& tables, const MPoint& point, double lagragian) {
        w = point.w;
        p[0] = point.x - w * tables.origin[0];
        p[1] = point.y - w * tables.origin[1];
        p[2] = point.z - w * tables.origin[2];
        p[3] = w;
        quadraticTerms(p, t);
        rest2 = point.x * point.x + point.y * point.y + point.z * point.z + lagragian * lagragian;
        s = w * w * tables.shift2 + rest2;
        inverseS = 1.0 / s;
        scale = (t[0] + t[1] + t[2] + t[3]) / rest2;
    }
    // u_k = c^T e_k.
    double link(const WeightTables& tables, int k) const {
        const double* g = tables.links.data() + 4 * k;
        return w * (p[0] * g[0] + p[1] * g[1] + p[2] * g[2] + p[3] * g[3]);
    }
    // One entry of E^T E. gramColumn adds the same terms in the same order.
    double gram(const WeightTables& tables, int k, int l) const {
        double g = 0.0;
        for (int i = 0; i < 10; ++i) g += tables.term(k, l, i) * t[i];
        return g;
    }
    // out[k] = F_kl = (E^T E)_kl - u_k u_l / s for k < paddedJ (u zero past
    // J), from ten runs of `paddedJ` terms: `terms` is the column's first
    // run. Eight rows at a time, each summed in registers (the terms are
    // copied first: `out` might otherwise alias them).
    void gramColumn(const double* terms, int paddedJ, const double* u, double ul, double* out) const {
        Run4 tv[10];
        for (int i = 0; i < 10; ++i) tv[i] = Run4::Constant(t[i]);
        const Run4 b = Run4::Constant(-ul * inverseS);
        int k = 0;
        for (; k + 8 <= paddedJ; k += 8) {
            Run4 acc0 = Run4::Zero(), acc1 = Run4::Zero();
            for (int i = 0; i < 10; ++i) {
                const double* run = terms + static_cast<size_t>(i) * paddedJ + k;
                acc0 += loadRun(run) * tv[i];
                acc1 += loadRun(run + 4) * tv[i];
            }
            storeRun(out + k, acc0 + b * loadRun(u + k));
            storeRun(out + k + 4, acc1 + b * loadRun(u + k + 4));
        }
        if (k < paddedJ) {
            Run4 acc = Run4::Zero();
            for (int i = 0; i < 10; ++i) acc += loadRun(terms + static_cast<size_t>(i) * paddedJ + k) * tv[i];
            storeRun(out + k, acc + b * loadRun(u + k));
        }
    }
    bool duplicates(const WeightTables& tables, int k, int l) const {
        return tables.difference[static_cast<size_t>(k) * tables.J + l] * scale <=
               kDuplicateTolerance * kDuplicateTolerance;
    }
};

void ReducedRows::vertex(const VertexTerms& v, const Eigen::Ref<const Eigen::VectorXd>& beta, Eigen::MatrixXd& A,
                         Eigen::VectorXd& b) const {
    const Eigen::Index m = R.rows();
    const Eigen::Index J = R.cols() / 4;
    const Eigen::Map<const Eigen::Vector4d> p(v.p);
    const double d = std::sqrt(v.w * v.w * shiftOut2 + v.rest2);
    A.resize(m + 1, J);
    for (Eigen::Index k = 0; k < J; ++k) {
        A.col(k).head(m).noalias() = R.middleCols(4 * k, 4) * p;
        A.col(k).head(m) += v.w * shiftIn;
        A(m, k) = d;
    }
    b.resize(m + 1);
    b.head(m).noalias() = Q.transpose() * beta;
    b.head(m) += v.w * shiftIn;
    b[m] = d + v.w * shiftOut.dot(beta) / d;
}

// A vertex's split normal equations over all J bones (the selection solve).
// F's columns are formed the first time the solver asks for them.
class AllBonesSource {
public:
    explicit AllBonesSource(int J, int paddedJ)
        : light_(J),
          atb_(J),
          heavy_(J),
          u_(Eigen::VectorXd::Zero(paddedJ)),
          diagonal_(paddedJ),
          columns_(paddedJ, J),
          formed_(static_cast<size_t>(J)) {}

    // e: the vertex's column of W^T beta (4J entries, bone-major).
    void set(const WeightTables* tables, const VertexTerms* v, const double* e) {
        tables_ = tables;
        v_ = v;
        const int J = tables->J;
        const double inverseS = v->inverseS, cb = v->cb * inverseS;
        for (int k = 0; k < J; ++k) {
            const double u = v->link(*tables, k);
            u_[k] = u;
            heavy_[k] = 1.0 + u * inverseS;
            light_[k] = v->p[0] * e[4 * k] + v->p[1] * e[4 * k + 1] + v->p[2] * e[4 * k + 2] + v->p[3] * e[4 * k + 3];
            atb_[k] = light_[k] - u * cb;
        }
        // The diagonal: E^T E's, less u_k^2 / s.
        v->gramColumn(tables->diagonal.data(), tables->paddedJ, u_.data(), 0.0, diagonal_.data());
        for (int k = 0; k < J; ++k) diagonal_[k] -= u_[k] * u_[k] * inverseS;
        std::fill(formed_.begin(), formed_.end(), 0);
    }
    Eigen::Index size() const { return tables_->J; }
    double atb(Eigen::Index i) const { return atb_[i]; }
    double heavy(Eigen::Index i) const { return heavy_[i]; }
    double heavyWeight() const { return v_->s; }
    double heavyTarget() const { return 1.0 + v_->cb * v_->inverseS; }
    double diagonal(Eigen::Index i) const { return diagonal_[i]; }
    const double* column(Eigen::Index j) {
        double* c = &columns_(0, j);
        if (!formed_[static_cast<size_t>(j)]) {
            const int paddedJ = tables_->paddedJ;
            v_->gramColumn(&tables_->gram[static_cast<size_t>(j) * 10 * paddedJ], paddedJ, u_.data(), u_[j], c);
            formed_[static_cast<size_t>(j)] = 1;
        }
        return c;
    }
    bool duplicates(Eigen::Index i, Eigen::Index j) const {
        return v_->duplicates(*tables_, static_cast<int>(i), static_cast<int>(j));
    }
    // The pieces of bone k that the restricted solve reuses: (E^T beta)_k and u_k.
    double light(int k) const { return light_[k]; }
    double link(int k) const { return u_[k]; }

private:
    const WeightTables* tables_ = nullptr;
    const VertexTerms* v_ = nullptr;
    Eigen::VectorXd light_, atb_, heavy_, u_;
    Eigen::VectorXd diagonal_;
    Eigen::MatrixXd columns_;
    std::vector<char> formed_;
};

// A vertex's split normal equations over the bones of its influence list. A
// bone index outside 0..J-1 is a zero column, as gatherInfluenceColumns
// makes it: no light part and no share of the heavy one.
class ListSource {
public:
    explicit ListSource(int capacity) { reserve(capacity); }
    void reserve(Eigen::Index n) {
        if (n <= G_.cols()) return;
        G_.resize(n, n);
        atb_.resize(n);
        heavy_.resize(n);
        u_.resize(n);
        bones_.resize(static_cast<size_t>(n));
    }
    // lightOfBone(k): (E^T beta)_k of a valid bone k; linkOfBone(k): u_k.
    template <class LightOfBone, class LinkOfBone>
    void set(const WeightTables* tables, const VertexTerms* v, const std::vector<int32_t>& list,
             LightOfBone lightOfBone, LinkOfBone linkOfBone) {
        tables_ = tables;
        v_ = v;
        n_ = static_cast<Eigen::Index>(list.size());
        reserve(n_);
        const double inverseS = v->inverseS, cb = v->cb * inverseS;
        for (Eigen::Index i = 0; i < n_; ++i) {
            const int32_t k = list[static_cast<size_t>(i)];
            const bool valid = k >= 0 && k < tables->J;
            bones_[static_cast<size_t>(i)] = valid ? k : -1;
            const double u = valid ? linkOfBone(k) : 0.0;
            u_[i] = u;
            heavy_[i] = valid ? 1.0 + u * inverseS : 0.0;
            atb_[i] = valid ? lightOfBone(k) - u * cb : 0.0;
        }
        for (Eigen::Index j = 0; j < n_; ++j) {
            const int32_t l = bones_[static_cast<size_t>(j)];
            for (Eigen::Index i = 0; i <= j; ++i) {
                const int32_t k = bones_[static_cast<size_t>(i)];
                const double g = (k >= 0 && l >= 0) ? v->gram(*tables, k, l) - u_[i] * u_[j] * inverseS : 0.0;
                G_(i, j) = g;
                G_(j, i) = g;
            }
        }
    }
    Eigen::Index size() const { return n_; }
    double atb(Eigen::Index i) const { return atb_[i]; }
    double heavy(Eigen::Index i) const { return heavy_[i]; }
    double heavyWeight() const { return v_->s; }
    double heavyTarget() const { return 1.0 + v_->cb * v_->inverseS; }
    double diagonal(Eigen::Index i) const { return G_(i, i); }
    const double* column(Eigen::Index j) const { return &G_(0, j); }
    bool duplicates(Eigen::Index i, Eigen::Index j) const {
        const int32_t k = bones_[static_cast<size_t>(i)];
        const int32_t l = bones_[static_cast<size_t>(j)];
        return k >= 0 && l >= 0 && v_->duplicates(*tables_, k, l);
    }

private:
    const WeightTables* tables_ = nullptr;
    const VertexTerms* v_ = nullptr;
    Eigen::Index n_ = 0;
    Eigen::MatrixXd G_;
    Eigen::VectorXd atb_, heavy_, u_;
    std::vector<int32_t> bones_;
};

// A^T (b - A x) on the passive columns of a list solve, by passive
// position, from the vertex's tall rows: with sigma = sum x and
// d = beta - E x (the shape rows, E's columns W_k p~'), the residual is
// c (1 - sigma) + d on the shape rows and c (1 - sigma) on the rest and
// constraint rows, so column k's entry is
//   (1 - sigma) (s + u_k) + w o'^T d + p~'^T W_k^T d.
// d is formed as a difference of the targets and the fit, rounded to the
// size of the residual rather than of the normal equations.
void tallGradient(const WeightTables& t, const VertexTerms& v, const Eigen::Ref<const Eigen::VectorXd>& beta,
                  const std::vector<int32_t>& list, const GramNnlsSolver& nnls, Eigen::VectorXd& d, double* gradient) {
    const Eigen::Map<const Eigen::Vector4d> p(v.p);
    const Eigen::Index k = nnls.passiveCount();
    d = beta;
    double sigma = 0.0;
    for (Eigen::Index i = 0; i < k; ++i) {
        const Eigen::Index variable = nnls.passiveVariable(i);
        const double x = nnls.x()[variable];
        sigma += x;
        const int bone = list[static_cast<size_t>(variable)];
        d.noalias() -= t.W.middleCols(4 * bone, 4) * (x * p);
    }
    const Eigen::Map<const Eigen::VectorXd> shift(t.shift.data(), 3 * t.F);
    const double spare = 1.0 - sigma;
    const double common = spare * v.s + v.w * shift.dot(d);
    for (Eigen::Index i = 0; i < k; ++i) {
        const int bone = list[static_cast<size_t>(nnls.passiveVariable(i))];
        const Eigen::Vector4d e = t.W.middleCols(4 * bone, 4).transpose() * d;
        gradient[i] = common + spare * v.link(t, bone) + p.dot(e);
    }
}

// Column v of `targets`: beta of block vertex v (the block's rows begin ..
// begin + count - 1), q_f - w o'_f for f = 0 .. F-1; shape by shape, the
// block's targets are a run of nearby ids.
void loadBlockTargets(const Inputs& in, const VertexEntries& entries, const WeightTables& tables, int begin, int count,
                      Eigen::MatrixXd& targets) {
    double homogeneous[kVertexBlock];
    for (int v = 0; v < count; ++v)
        homogeneous[v] = in.restPoints[static_cast<unsigned>(entries.ids[static_cast<size_t>(begin + v)])].w;
    for (int f = 0; f < tables.F; ++f) {
        const MPointArray& shape = in.shapePoints[f];
        const double* o = &tables.shift[static_cast<size_t>(3 * f)];
        for (int v = 0; v < count; ++v) {
            const MPoint& q = shape[static_cast<unsigned>(entries.ids[static_cast<size_t>(begin + v)])];
            const double w = homogeneous[v];
            targets(3 * f, v) = q.x - w * o[0];
            targets(3 * f + 1, v) = q.y - w * o[1];
            targets(3 * f + 2, v) = q.z - w * o[2];
        }
    }
}

}  // namespace

void solveWeights(DecompositionState& state, int iteration) { solveWeightsCounting(state, iteration, nullptr); }

void solveWeightsCounting(DecompositionState& state, int iteration, WeightStepCounts* counts) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int V = in.V;

    // Every entry exists before the region, which then only looks them up.
    if (iteration == 0) resetVertexLists(in, solver);
    if (V < 1) return;

    const VertexEntries entries = gatherVertexEntries(state);
    prepareParallelStep(state);
    WeightTables tables;
    sizeWeightTables(state, entries, tables);
    ReducedRows reduced;
    const int F = tables.F;
    const int J = tables.J;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    const bool reselect = iteration == 0 || iteration < in.iterationFullSolver;
    const bool seedFromSkinCluster = iteration == 0 && in.useExistingSkinCluster;
    const bool select = reselect && !seedFromSkinCluster;
    const int32_t fullCap = nnlsIterationCap(in.J);
    const int32_t restrictedCap = nnlsIterationCap(in.maxInfluence);
    const int rowCount = static_cast<int>(entries.ids.size());
    const int blocks = (rowCount + kVertexBlock - 1) / kVertexBlock;
    int64_t gramSolves = 0, reducedSolves = 0, refinedSolves = 0;

#pragma omp parallel reduction(+ : gramSolves, reducedSolves, refinedSolves)
    {
        // One thread factors W for the reduced rows while the others start
        // on the 4 x 4 sums; both are done at the sums' closing barrier.
#pragma omp single nowait
        reduced.build(tables);
        Eigen::MatrixXd band;
        fillWeightTables(tables, band);

        // Per-thread scratch, reused by every vertex of the thread.
        Eigen::MatrixXd targets(3 * F, kVertexBlock);  // see loadBlockTargets
        Eigen::MatrixXd U(select ? 4 * J : 0, kVertexBlock);
        Eigen::Vector4d u;
        AllBonesSource all(select ? J : 0, select ? tables.paddedJ : 0);
        ListSource listed(std::max(in.maxInfluence, 1));
        GramNnlsSolver nnls(std::max(J, 1));
        std::vector<std::pair<double, int32_t>> ranked;
        ranked.reserve(static_cast<size_t>(J));
        VertexTerms terms;
        Eigen::MatrixXd A;  // a vertex's reduced rows, when it needs them
        Eigen::VectorXd b;
        Eigen::VectorXd shiftOfTargets(kVertexBlock);  // o'^T beta per block vertex
        Eigen::VectorXd residual(3 * F);               // a refined vertex's shape rows
        std::vector<double> gradient(static_cast<size_t>(std::max(in.maxInfluence, 1)));
        const Eigen::Map<const Eigen::VectorXd> shift(tables.shift.data(), 3 * F);

#pragma omp for schedule(static)
        for (int block = 0; block < blocks; ++block) {
            const int begin = block * kVertexBlock;
            const int count = std::min(kVertexBlock, rowCount - begin);
            loadBlockTargets(in, entries, tables, begin, count, targets);
            if (select) U.leftCols(count).noalias() = tables.W.transpose() * targets.leftCols(count);
            shiftOfTargets.head(count).noalias() = targets.leftCols(count).transpose() * shift;

            for (int v = 0; v < count; ++v) {
                const int j = begin + v;
                std::vector<int32_t>* influencesEntry = entries.influences[static_cast<size_t>(j)];
                std::vector<double>* weightsEntry = entries.weights[static_cast<size_t>(j)];
                if (!influencesEntry || !weightsEntry) continue;
                std::vector<int32_t>& influences = *influencesEntry;
                const int32_t id = entries.ids[static_cast<size_t>(j)];
                terms.set(tables, in.restPoints[static_cast<unsigned>(id)], in.constraintWeight);
                terms.cb = terms.w * shiftOfTargets[v];

                // The reduced rows, built only for a vertex the normal
                // equations cannot decide.
                bool haveReduced = false;
                auto reduce = [&]() {
                    if (!haveReduced) reduced.vertex(terms, targets.col(v), A, b);
                    haveReduced = true;
                };

                if (seedFromSkinCluster) {
                    seedInfluencesFromSkinCluster(in, id, influences);
                } else if (select) {
                    all.set(&tables, &terms, U.col(v).data());
                    if (nnls.solve(all, rows, fullCap, kNnlsEpsilon) != GramNnlsSolver::Outcome::Undecided) {
                        ++gramSolves;
                        selectInfluences(nnls.x(), in.maxInfluence, influences, ranked);
                    } else {
                        ++reducedSolves;
                        reduce();
                        selectInfluences(solveNonNegative(A, b, fullCap, kNnlsEpsilon), in.maxInfluence, influences,
                                         ranked);
                    }
                }

                if (select) {
                    listed.set(
                        &tables, &terms, influences, [&](int32_t k) { return all.light(k); },
                        [&](int32_t k) { return all.link(k); });
                } else {
                    listed.set(
                        &tables, &terms, influences,
                        [&](int32_t k) {
                            u.noalias() = tables.W.middleCols(4 * k, 4).transpose() * targets.col(v);
                            return terms.p[0] * u[0] + terms.p[1] * u[1] + terms.p[2] * u[2] + terms.p[3] * u[3];
                        },
                        [&](int32_t k) { return terms.link(tables, k); });
                }
                const GramNnlsSolver::Outcome outcome = nnls.solve(listed, rows, restrictedCap, kNnlsEpsilon);
                if (outcome != GramNnlsSolver::Outcome::Undecided) {
                    ++gramSolves;
                    if (outcome == GramNnlsSolver::Outcome::Optimal && nnls.smallestPivotRatio() < kGramRefinePivot) {
                        ++refinedSolves;
                        if (gradient.size() < influences.size()) gradient.resize(influences.size());
                        tallGradient(tables, terms, targets.col(v), influences, nnls, residual, gradient.data());
                        nnls.refine(gradient.data());
                    }
                    pruneAndNormalize(nnls.x(), kWeightThreshold, *weightsEntry);
                } else {
                    ++reducedSolves;
                    reduce();
                    const Eigen::MatrixXd restricted = gatherInfluenceColumns(influences, A);
                    pruneAndNormalize(solveNonNegative(restricted, b, restrictedCap, kNnlsEpsilon), kWeightThreshold,
                                      *weightsEntry);
                }
            }
        }
    }
    if (counts) {
        counts->gramSolves += gramSolves;
        counts->reducedSolves += reducedSolves;
        counts->refinedSolves += refinedSolves;
    }
}
