#include "solver/weight_solver.h"

#include <algorithm>
#include <cmath>
#include <utility>

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
        A(rows - 1, k) = in.lagragian;
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
    b[rows - 1] = in.lagragian;
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

void selectInfluences(const Eigen::Ref<const Eigen::VectorXd>& x, int32_t maxInfluence, std::vector<int32_t>& influences,
                      std::vector<std::pair<double, int32_t>>& ranked) {
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

// A duplicate column within this fraction of its norm is dependent on any
// passive set holding its twin, so the tall solve always blocks it.
constexpr double kDuplicateTolerance = 1e-12;

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

// What every vertex of one weight step shares. With M_fk the product of bone
// k at shape f and m_fk its x, y, z columns (4 x 3), column k of a vertex's
// design matrix has shape rows p~ m_fk, so
//   (A^T A)_kl = p~ (sum_f m_fk m_fl^T) p~^T + |p|^2 + lagragian^2,
//   (A^T b)_k  = p~ (sum_f m_fk q_f^T) + |p|^2 + lagragian^2.
// The 4 x 4 sums depend on the bones only and are formed here once.
struct WeightTables {
    int F = 0;
    int J = 0;
    int paddedJ = 0;  // J rounded up to whole vectors
    std::vector<MMatrix> products;
    // 3F x 4J, W(3f + c, 4k + r) = M_fk[r][c]: the shape rows of every
    // design matrix are the vertex's p~ times blocks of W's transpose.
    Eigen::MatrixXd W;
    // The 4 x 4 block k, l of W^T W symmetrised to the ten terms of
    // quadraticTerms (off-diagonal entries summed), the same numbers for
    // (l, k) so that A^T A is symmetric. Term i of pair (k, l) sits at
    // (l * 10 + i) * paddedJ + k: a column of A^T A is ten runs of
    // contiguous terms, zero past J.
    std::vector<double> gram;
    // Term i of pair (k, k) at i * paddedJ + k, for the diagonal.
    std::vector<double> diagonal;
    // Per bone pair: sum over shapes of |m_fk - m_fl|^2 (Frobenius).
    std::vector<double> difference;

    double term(int k, int l, int i) const { return gram[(static_cast<size_t>(l) * 10 + i) * paddedJ + k]; }
};

// The bone-only parts: W, then (inside the step's parallel region, from
// every thread) the 4 x 4 sums.
void sizeWeightTables(const DecompositionState& state, WeightTables& t) {
    const int F = std::max(state.inputs.F, 0);
    const int J = std::max(state.inputs.J, 0);
    t.F = F;
    t.J = J;
    t.paddedJ = (J + 3) / 4 * 4;
    t.products = skinningProducts(state);
    t.W.resize(3 * F, 4 * J);
    for (int k = 0; k < J; ++k)
        for (int r = 0; r < 4; ++r)
            for (int f = 0; f < F; ++f)
                for (int c = 0; c < 3; ++c)
                    t.W(3 * f + c, 4 * k + r) = t.products[static_cast<size_t>(f) * J + k][r][c];
    t.gram.assign(static_cast<size_t>(J) * 10 * t.paddedJ, 0.0);
    t.diagonal.assign(static_cast<size_t>(10) * t.paddedJ, 0.0);
    t.difference.assign(static_cast<size_t>(J) * J, 0.0);
}

// Work-shared loop: call from every thread of the region.
void fillWeightTables(WeightTables& t, Eigen::MatrixXd& band) {
    const int J = t.J;
    band.resize(4, 4 * J);  // one bone's rows of W^T W
#pragma omp for schedule(static)
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

// The rest position of a vertex and the terms of its normal equations that
// do not depend on the bones.
struct VertexTerms {
    double p[4];
    double t[10];
    double base;   // |p|^2 + lagragian^2: the rest rows and the constraint row
    double scale;  // |p~|^2 / (|p|^2 + lagragian^2): bounds a column difference
    void set(const MPoint& point, double lagragian) {
        p[0] = point.x;
        p[1] = point.y;
        p[2] = point.z;
        p[3] = point.w;
        quadraticTerms(p, t);
        const double p2 = t[0] + t[1] + t[2];
        base = p2 + lagragian * lagragian;
        scale = (p2 + t[3]) / base;
    }
    // One entry of A^T A. gramColumn adds the same terms in the same order.
    double gram(const WeightTables& tables, int k, int l) const {
        double g = 0.0;
        for (int i = 0; i < 10; ++i) g += tables.term(k, l, i) * t[i];
        return g + base;
    }
    // out[k] = (A^T A)_kl for k < paddedJ (base past J), from ten runs of
    // `paddedJ` terms: `terms` is the column's first run. Eight rows at a
    // time, each summed in registers (the terms are copied first: `out`
    // might otherwise alias them).
    void gramColumn(const double* terms, int paddedJ, double* out) const {
        Run4 tv[10];
        for (int i = 0; i < 10; ++i) tv[i] = Run4::Constant(t[i]);
        const Run4 b = Run4::Constant(base);
        int k = 0;
        for (; k + 8 <= paddedJ; k += 8) {
            Run4 acc0 = Run4::Zero(), acc1 = Run4::Zero();
            for (int i = 0; i < 10; ++i) {
                const double* run = terms + static_cast<size_t>(i) * paddedJ + k;
                acc0 += loadRun(run) * tv[i];
                acc1 += loadRun(run + 4) * tv[i];
            }
            storeRun(out + k, acc0 + b);
            storeRun(out + k + 4, acc1 + b);
        }
        if (k < paddedJ) {
            Run4 acc = Run4::Zero();
            for (int i = 0; i < 10; ++i) acc += loadRun(terms + static_cast<size_t>(i) * paddedJ + k) * tv[i];
            storeRun(out + k, acc + b);
        }
    }
    bool duplicates(const WeightTables& tables, int k, int l) const {
        return tables.difference[static_cast<size_t>(k) * tables.J + l] * scale <=
               kDuplicateTolerance * kDuplicateTolerance;
    }
};

// A vertex's normal equations over all J bones (the selection solve). G's
// columns are formed the first time the solver asks for them.
class AllBonesSource {
public:
    explicit AllBonesSource(int J, int paddedJ)
        : atb_(J), diagonal_(paddedJ), columns_(paddedJ, J), formed_(static_cast<size_t>(J)) {}

    // u: the vertex's column of W^T Q (4J entries, bone-major).
    void set(const WeightTables* tables, const VertexTerms* v, const double* u) {
        tables_ = tables;
        v_ = v;
        const int J = tables->J;
        for (int k = 0; k < J; ++k)
            atb_[k] = v->p[0] * u[4 * k] + v->p[1] * u[4 * k + 1] + v->p[2] * u[4 * k + 2] + v->p[3] * u[4 * k + 3] +
                      v->base;
        v->gramColumn(tables->diagonal.data(), tables->paddedJ, diagonal_.data());
        std::fill(formed_.begin(), formed_.end(), 0);
    }
    Eigen::Index size() const { return tables_->J; }
    double atb(Eigen::Index i) const { return atb_[i]; }
    double diagonal(Eigen::Index i) const { return diagonal_[i]; }
    const double* column(Eigen::Index j) {
        double* c = &columns_(0, j);
        if (!formed_[static_cast<size_t>(j)]) {
            const int paddedJ = tables_->paddedJ;
            v_->gramColumn(&tables_->gram[static_cast<size_t>(j) * 10 * paddedJ], paddedJ, c);
            formed_[static_cast<size_t>(j)] = 1;
        }
        return c;
    }
    bool duplicates(Eigen::Index i, Eigen::Index j) const {
        return v_->duplicates(*tables_, static_cast<int>(i), static_cast<int>(j));
    }

private:
    const WeightTables* tables_ = nullptr;
    const VertexTerms* v_ = nullptr;
    Eigen::VectorXd atb_;
    Eigen::VectorXd diagonal_;
    Eigen::MatrixXd columns_;
    std::vector<char> formed_;
};

// A vertex's normal equations over the bones of its influence list. A bone
// index outside 0..J-1 is a zero column, as gatherInfluenceColumns makes it.
class ListSource {
public:
    explicit ListSource(int capacity) { reserve(capacity); }
    void reserve(Eigen::Index n) {
        if (n <= G_.cols()) return;
        G_.resize(n, n);
        atb_.resize(n);
        bones_.resize(static_cast<size_t>(n));
    }
    // atbOfBone(k): (A^T b)_k of a valid bone k.
    template <class AtbOfBone>
    void set(const WeightTables* tables, const VertexTerms* v, const std::vector<int32_t>& list, AtbOfBone atbOfBone) {
        tables_ = tables;
        v_ = v;
        n_ = static_cast<Eigen::Index>(list.size());
        reserve(n_);
        for (Eigen::Index i = 0; i < n_; ++i) {
            const int32_t k = list[static_cast<size_t>(i)];
            const bool valid = k >= 0 && k < tables->J;
            bones_[static_cast<size_t>(i)] = valid ? k : -1;
            atb_[i] = valid ? atbOfBone(k) : 0.0;
        }
        for (Eigen::Index j = 0; j < n_; ++j) {
            const int32_t l = bones_[static_cast<size_t>(j)];
            for (Eigen::Index i = 0; i <= j; ++i) {
                const int32_t k = bones_[static_cast<size_t>(i)];
                const double g = (k >= 0 && l >= 0) ? v->gram(*tables, k, l) : 0.0;
                G_(i, j) = g;
                G_(j, i) = g;
            }
        }
    }
    Eigen::Index size() const { return n_; }
    double atb(Eigen::Index i) const { return atb_[i]; }
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
    Eigen::VectorXd atb_;
    std::vector<int32_t> bones_;
};

}  // namespace

void solveWeights(DecompositionState& state, int iteration) { solveWeightsCounting(state, iteration, nullptr); }

void solveWeightsCounting(DecompositionState& state, int iteration, WeightStepCounts* counts) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int V = in.V;

    // Every entry exists before the region, which then only looks them up.
    if (iteration == 0) {
        for (int j = 0; j < V; ++j) {
            const int32_t id = in.vertexIds[static_cast<unsigned>(j)];
            solver.vertexInfluences[id] = {};
            solver.vertexWeights[id] = {};
        }
    }
    if (V < 1) return;

    const VertexEntries entries = gatherVertexEntries(state);
    prepareParallelStep(state);
    WeightTables tables;
    sizeWeightTables(state, tables);
    const int F = tables.F;
    const int J = tables.J;
    const Eigen::Index rows = 3 * static_cast<Eigen::Index>(in.numFrame) + 1;
    const bool reselect = iteration == 0 || iteration < in.iterationFullSolver;
    const bool seedFromSkinCluster = iteration == 0 && in.useExistingSkinCluster;
    const bool select = reselect && !seedFromSkinCluster;
    const int32_t fullCap = 10 * in.J;
    const int32_t restrictedCap = 10 * in.maxInfluence;
    const int rowCount = static_cast<int>(entries.ids.size());
    const int blocks = (rowCount + kVertexBlock - 1) / kVertexBlock;
    int64_t gramSolves = 0, tallSolves = 0;

#pragma omp parallel reduction(+ : gramSolves, tallSolves)
    {
        Eigen::MatrixXd band;
        fillWeightTables(tables, band);

        // Per-thread scratch, reused by every vertex of the thread.
        Eigen::MatrixXd targets(3 * F, kVertexBlock);  // column v: q_0 .. q_{F-1} of block vertex v
        Eigen::MatrixXd U(select ? 4 * J : 0, kVertexBlock);
        Eigen::Vector4d u;
        AllBonesSource all(select ? J : 0, select ? tables.paddedJ : 0);
        ListSource listed(std::max(in.maxInfluence, 1));
        GramNnlsSolver nnls(std::max(J, 1));
        std::vector<std::pair<double, int32_t>> ranked;
        ranked.reserve(static_cast<size_t>(J));
        VertexTerms terms;

#pragma omp for schedule(static)
        for (int block = 0; block < blocks; ++block) {
            const int begin = block * kVertexBlock;
            const int count = std::min(kVertexBlock, rowCount - begin);
            for (int f = 0; f < F; ++f) {
                const MPointArray& shape = in.shapePoints[f];
                for (int v = 0; v < count; ++v) {
                    const MPoint& q = shape[static_cast<unsigned>(entries.ids[static_cast<size_t>(begin + v)])];
                    targets(3 * f, v) = q.x;
                    targets(3 * f + 1, v) = q.y;
                    targets(3 * f + 2, v) = q.z;
                }
            }
            if (select) U.leftCols(count).noalias() = tables.W.transpose() * targets.leftCols(count);

            for (int v = 0; v < count; ++v) {
                const int j = begin + v;
                std::vector<int32_t>* influencesEntry = entries.influences[static_cast<size_t>(j)];
                std::vector<double>* weightsEntry = entries.weights[static_cast<size_t>(j)];
                if (!influencesEntry || !weightsEntry) continue;
                std::vector<int32_t>& influences = *influencesEntry;
                const int32_t id = entries.ids[static_cast<size_t>(j)];
                terms.set(in.restPoints[static_cast<unsigned>(id)], in.lagragian);

                // The tall system, built only for a vertex the normal equations
                // cannot decide (allocates; rare).
                Eigen::MatrixXd A;
                Eigen::VectorXd b;
                auto tall = [&]() {
                    if (A.size() == 0) {
                        A = buildDesignMatrix(state, tables.products, id);
                        b = buildTargetVector(state, id);
                    }
                };

                if (seedFromSkinCluster) {
                    const auto existing = in.existingInfluences.find(id);
                    if (existing != in.existingInfluences.end())
                        influences = existing->second;
                    else
                        influences.clear();
                } else if (select) {
                    all.set(&tables, &terms, U.col(v).data());
                    if (nnls.solve(all, rows, fullCap, kNnlsEpsilon) != GramNnlsSolver::Outcome::Undecided) {
                        ++gramSolves;
                        selectInfluences(nnls.x(), in.maxInfluence, influences, ranked);
                    } else {
                        ++tallSolves;
                        tall();
                        selectInfluences(solveNonNegative(A, b, fullCap, kNnlsEpsilon), in.maxInfluence, influences,
                                         ranked);
                    }
                }

                if (select) {
                    listed.set(&tables, &terms, influences, [&](int32_t k) { return all.atb(k); });
                } else {
                    listed.set(&tables, &terms, influences, [&](int32_t k) {
                        u.noalias() = tables.W.middleCols(4 * k, 4).transpose() * targets.col(v);
                        return terms.p[0] * u[0] + terms.p[1] * u[1] + terms.p[2] * u[2] + terms.p[3] * u[3] +
                               terms.base;
                    });
                }
                if (nnls.solve(listed, rows, restrictedCap, kNnlsEpsilon) != GramNnlsSolver::Outcome::Undecided) {
                    ++gramSolves;
                    pruneAndNormalize(nnls.x(), kWeightThreshold, *weightsEntry);
                } else {
                    ++tallSolves;
                    tall();
                    const Eigen::MatrixXd restricted = gatherInfluenceColumns(influences, A);
                    pruneAndNormalize(solveNonNegative(restricted, b, restrictedCap, kNnlsEpsilon),
                                      kWeightThreshold, *weightsEntry);
                }
            }
        }
    }
    if (counts) {
        counts->gramSolves += gramSolves;
        counts->tallSolves += tallSolves;
    }
}
