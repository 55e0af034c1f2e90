#include "solver/bone_solver.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include <omp.h>

#include <Eigen/Dense>

#include "solver/fit_kernels.h"
#include "solver/matrix_utils.h"
#include "solver/parallel.h"
#include "solver/step_data.h"
#include "solver/tolerances.h"

namespace {

MMatrix toMMatrix(const Eigen::Matrix3d& linear, const Eigen::RowVector3d& t) {
    double m[4][4];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) m[r][c] = linear(r, c);
        m[r][3] = 0.0;
    }
    m[3][0] = t[0];
    m[3][1] = t[1];
    m[3][2] = t[2];
    m[3][3] = 1.0;
    return MMatrix(m);
}

// The rotation A maximising trace(A^T H) for H = U Sigma V^T (singular
// values in decreasing order): U V^T when that is proper, otherwise
// U diag(1, 1, -1) V^T, which gives up the least of the trace by turning the
// pair of singular vectors of the smallest singular value. (Negating a fixed
// axis of U V^T instead is the least-squares rotation only when that axis
// happens to be the region's flat direction.)
Eigen::Matrix3d nearestRotation(const Eigen::Matrix3d& U, const Eigen::Matrix3d& V) {
    Eigen::Matrix3d Vt = V.transpose();
    if ((U * Vt).determinant() < 0) Vt.row(2) = -Vt.row(2);
    return U * Vt;
}

Eigen::Matrix3d linearPart(const MMatrix& m) {
    Eigen::Matrix3d a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a(r, c) = m[r][c];
    return a;
}

// Whether R, the QR factor of Pt (n x 3), shows three independent columns:
// its diagonal against the largest column norm of Pt.
bool hasFullColumnRank(const Eigen::MatrixXd& Pt, const Eigen::MatrixXd& R) {
    const double scale = Pt.colwise().norm().maxCoeff();
    bool fullRank = scale > 0.0;
    for (int i = 0; i < 3 && fullRank; ++i) fullRank = std::abs(R(i, i)) > kAffineRankTolerance * scale;
    return fullRank;
}

}  // namespace

MMatrix fitRigid(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                 const Eigen::RowVector3d& ct) {
    const Eigen::Matrix3d H = P * Q.transpose();
    Eigen::Matrix3d A = Eigen::Matrix3d::Identity();
    if (H.allFinite()) {
        // Thin U and V are only offered for dynamic-size matrices.
        const Eigen::JacobiSVD<Eigen::MatrixXd> svd(Eigen::MatrixXd(H), Eigen::ComputeThinU | Eigen::ComputeThinV);
        A = nearestRotation(svd.matrixU(), svd.matrixV());
    }
    return toMMatrix(A, ct - cs * A);
}

MMatrix fitRankDeficientAffine(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                               const Eigen::RowVector3d& ct) {
    const MMatrix rigid = fitRigid(P, Q, cs, ct);
    if (!P.allFinite() || !Q.allFinite()) return rigid;
    // Least squares within the directions the rest positions span (the
    // pseudo-inverse), the rigid fit's map across the others: a flat region
    // keeps its exact in-plane fit and a sensible normal.
    const Eigen::MatrixXd Pt = P.transpose();
    const Eigen::MatrixXd Qt = Q.transpose();
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(Pt, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const Eigen::VectorXd& sigma = svd.singularValues();
    Eigen::Matrix3d X = Eigen::Matrix3d::Zero();
    Eigen::Matrix3d unspanned = Eigen::Matrix3d::Identity();
    for (Eigen::Index i = 0; i < sigma.size(); ++i) {
        if (!(sigma[i] > kAffineRankTolerance * sigma[0])) break;  // sorted, largest first
        const Eigen::Vector3d v = svd.matrixV().col(i);
        X += v * (svd.matrixU().col(i).transpose() * Qt) / sigma[i];
        unspanned -= v * v.transpose();
    }
    X += unspanned * linearPart(rigid);
    if (!X.allFinite()) return rigid;
    return toMMatrix(X, ct - cs * X);
}

MMatrix fitAffine(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                  const Eigen::RowVector3d& ct) {
    // Centring makes the columns of P sum to zero under the weights, so fewer
    // than four vertices never determine the map.
    if (P.cols() >= 4) {
        const Eigen::MatrixXd Pt = P.transpose();
        const Eigen::HouseholderQR<Eigen::MatrixXd> qr(Pt);
        const Eigen::MatrixXd& R = qr.matrixQR();
        if (hasFullColumnRank(Pt, R)) {
            Eigen::MatrixXd c = Q.transpose();
            c.applyOnTheLeft(qr.householderQ().adjoint());
            const Eigen::Matrix3d X = R.topLeftCorner(3, 3).triangularView<Eigen::Upper>().solve(c.topRows(3));
            if (X.allFinite()) return toMMatrix(X, ct - cs * X);
        }
    }
    return fitRankDeficientAffine(P, Q, cs, ct);
}

namespace {

// Shapes whose target sums are formed in one pass over a bone's listed
// vertices: each vertex's source vector is then loaded once per block.
constexpr int kFrameBlock = 4;

// One listed vertex of a bone.
struct ListedEntry {
    int32_t row;  // row of the step's vertex arrays
    double w;
};

// What a bone's fits share across shapes. The listed vertices' weights and
// rest positions do not change during the step, so everything here is formed
// once, and a shape's fit needs only the sums of its targets.
//
// With s_i the source vector of listed vertex i (P_i, w_i), P_i = w_i (p_i -
// c_s) for the rigid fit or the row of the orthonormal basis of span(P^T) for
// the affine one, y_i its target and p~_i its rest position (x, y, z, w), the
// residual r_i = y_i - sum over the vertex's slots of another bone k of
// w_ik p~_i S_k (S_k the bone's current product, x, y, z columns), so
//   sum_i s_i r_i^T = sum_i s_i y_i^T - sum_k Z_gk S_k,
//   Z_gk = sum_i w_ik s_i p~_i^T (4 x 4, frame independent).
// Rows 0..2 then give P Q^T (or B^T Q) before the target centroid is taken
// out, row 3 the plain-weighted residual sum.
struct BoneFit {
    int32_t first = 0, count = 0;  // listed entries
    bool fitted = false;           // listed and with a weight sum of at least 1e-7
    // Residuals summed slot by slot for every shape instead: the affine fit
    // is not determined by the centred rest positions (the QR shows fewer
    // than three directions), or a product is not finite, where 0 * inf must
    // poison the sums as it does there.
    bool exact = false;
    double sourceSum = 0.0;  // rigid: sum_i |P_i|, scales the rounding of P Q^T
    double squaredSum = 0.0;
    Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
    Eigen::Vector3d weightedSource = Eigen::Vector3d::Zero();  // sum w_i (P_i or B_i): zero up to rounding
    Eigen::Matrix3d R = Eigen::Matrix3d::Identity();           // P^T = B R, B with orthonormal columns
    int32_t partners = 0;                                      // other bones sharing a listed vertex
};

// fitRigid from H = P Q^T, on a fixed-size SVD (no allocation). False, with
// M untouched, when H's smallest singular value is below `bound`: the
// rounding of H may then have turned the third singular pair, and with it
// the fit, so the caller fits from the residuals themselves.
bool rigidFromCovariance(const Eigen::Matrix3d& H, const Eigen::RowVector3d& cs, const Eigen::RowVector3d& ct,
                         double bound, MMatrix& M) {
    Eigen::Matrix3d A = Eigen::Matrix3d::Identity();
    if (H.allFinite()) {
        const Eigen::JacobiSVD<Eigen::Matrix3d> svd(H, Eigen::ComputeFullU | Eigen::ComputeFullV);
        if (svd.info() != Eigen::Success || !(svd.singularValues()[2] >= bound)) return false;
        A = nearestRotation(svd.matrixU(), svd.matrixV());
    }
    M = toMMatrix(A, ct - cs * A);
    return true;
}

// Reorders the rows so that vertices sharing their strongest bone sit
// together (ascending id within a group): a bone's listed vertices, mostly
// its own and its neighbours', are then a few runs of rows rather than a
// scatter over all of them. Returns the new rows in ascending id order.
std::vector<int32_t> groupRowsByStrongestBone(VertexEntries& entries, int J) {
    const size_t rows = entries.ids.size();
    std::vector<int32_t> group(rows, J);
    for (size_t r = 0; r < rows; ++r) {
        const std::vector<int32_t>* B = entries.influences[r];
        const std::vector<double>* W = entries.weights[r];
        if (!B || !W) continue;
        double best = -HUGE_VAL;
        for (size_t k = 0; k < B->size() && k < W->size(); ++k) {
            const int32_t bone = (*B)[k];
            if (bone >= 0 && bone < J && (*W)[k] > best) {
                best = (*W)[k];
                group[r] = bone;
            }
        }
    }
    std::vector<int32_t> first(static_cast<size_t>(J) + 2, 0);
    for (int32_t g : group) ++first[static_cast<size_t>(g) + 1];
    for (int g = 0; g <= J; ++g) first[static_cast<size_t>(g) + 1] += first[static_cast<size_t>(g)];
    VertexEntries grouped;
    std::vector<int32_t> byId(rows);
    grouped.ids.resize(rows);
    grouped.influences.resize(rows);
    grouped.weights.resize(rows);
    grouped.rowOfId = std::move(entries.rowOfId);
    for (size_t r = 0; r < rows; ++r) {
        const int32_t to = first[static_cast<size_t>(group[r])]++;
        grouped.ids[static_cast<size_t>(to)] = entries.ids[r];
        grouped.influences[static_cast<size_t>(to)] = entries.influences[r];
        grouped.weights[static_cast<size_t>(to)] = entries.weights[r];
        grouped.rowOfId[static_cast<size_t>(entries.ids[r])] = to;
        byId[r] = to;
    }
    entries = std::move(grouped);
    return byId;
}

// Four doubles in one vector register where the processor has them; the
// compiler splits it where it has narrower ones.
typedef double Double4 __attribute__((vector_size(32)));

// out[(b * 3 + c) * 4 + a] = sum over a bone's listed entries of s[a] * y[b][c]:
// the target sums of a block of Block shapes. `targets` holds per row Block
// shapes of x, y, z; `sources` four doubles per entry. Every sum runs over
// the entries in order whatever the block size, so a shape's sums do not
// depend on the shapes it is blocked with.
template <int Block>
void accumulateTargetSums(const ListedEntry* entries, const double* sources, int32_t count, const double* targets,
                          double* out) {
    constexpr int kTerms = 3 * Block;
    Double4 acc[kTerms] = {};
    for (int32_t i = 0; i < count; ++i) {
        Double4 s;
        std::memcpy(&s, sources + 4 * static_cast<size_t>(i), sizeof s);
        const double* y = targets + static_cast<size_t>(entries[i].row) * kTerms;
        for (int j = 0; j < kTerms; ++j) acc[j] += s * y[j];
    }
    std::memcpy(out, acc, sizeof acc);
}

void accumulateTargetSums(int block, const ListedEntry* entries, const double* sources, int32_t count,
                          const double* targets, double* out) {
    static_assert(kFrameBlock == 4, "one case per block size");
    switch (block) {
        case 1: return accumulateTargetSums<1>(entries, sources, count, targets, out);
        case 2: return accumulateTargetSums<2>(entries, sources, count, targets, out);
        case 3: return accumulateTargetSums<3>(entries, sources, count, targets, out);
        default: return accumulateTargetSums<4>(entries, sources, count, targets, out);
    }
}

// What the step forms once, before its shapes: the rows and their rest
// positions, each bone's listed entries with their weights and source
// vectors, and the couplings between bones that share listed vertices.
struct BoneStepData {
    VertexEntries entries;
    std::vector<int32_t> rowsById;  // rows by ascending id, listed ids outside inputs.vertexIds appended
    std::vector<int32_t> rowIds;    // mesh vertex id per row
    std::vector<ListedEntry> listed;
    std::vector<int32_t> listedSlots;  // per listed entry, its slot in the vertex's lists
    std::vector<BoneFit> bones;        // per indexed bone
    std::vector<MMatrix> products;     // skinningProducts at the start of the step
    bool finiteProducts = true;
    SlotRows slots;
    std::vector<double> rest;  // x, y, z, w per row
    double restSize = 0.0;     // the largest squared rest position
    // Per listed entry its source vector. Per bone g its partners, the other
    // bones of its listed vertices in order of first appearance, at g * J + n
    // for the n-th, and their couplings Z_gk (row-major 4 x 4) from
    // couplingFirst[g] on: storage follows the pairs that occur, not J^2.
    std::vector<double> sources;
    std::vector<int32_t> partnerBones;
    std::vector<size_t> couplingFirst;
    std::vector<double> coupling;
};

// Rows of the step: the used vertices, then any listed id outside
// inputs.vertexIds (a missing map entry reads as an empty list); and each
// bone's listed entries, in list order, with their slots.
void listBoneVertices(DecompositionState& state, int indexed, BoneStepData& step) {
    SolverState& solver = state.solver;
    step.entries = gatherVertexEntries(state);
    // Rows by ascending id, for reads that should stream through the point
    // arrays; listed ids outside inputs.vertexIds are appended.
    step.rowsById = groupRowsByStrongestBone(step.entries, state.inputs.J);
    step.rowIds = step.entries.ids;
    auto rowOfListed = [&](int32_t id) {
        int32_t row = rowOf(step.entries, id);
        if (row >= 0) return row;
        const auto influencesIt = solver.vertexInfluences.find(id);
        const auto weightsIt = solver.vertexWeights.find(id);
        step.entries.influences.push_back(influencesIt != solver.vertexInfluences.end() ? &influencesIt->second
                                                                                        : nullptr);
        step.entries.weights.push_back(weightsIt != solver.vertexWeights.end() ? &weightsIt->second : nullptr);
        step.rowIds.push_back(id);
        step.rowsById.push_back(static_cast<int32_t>(step.rowIds.size() - 1));
        return static_cast<int32_t>(step.rowIds.size() - 1);
    };
    step.bones.assign(static_cast<size_t>(indexed), BoneFit());
    for (int g = 0; g < indexed; ++g) {
        const std::vector<int32_t>& ids = solver.boneVertices[static_cast<size_t>(g)];
        const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(g)];
        BoneFit& bone = step.bones[static_cast<size_t>(g)];
        bone.first = static_cast<int32_t>(step.listed.size());
        bone.count = static_cast<int32_t>(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            const int32_t row = rowOfListed(ids[i]);
            step.listed.push_back({row, 0.0});
            step.listedSlots.push_back(i < slots.size() ? slots[i] : -1);
        }
    }
}

// Listed weights from the flat slots where the slot was kept (the lists'
// own storage is scattered over the heap), from the list otherwise.
void readListedWeights(BoneStepData& step) {
    const SlotRows& slots = step.slots;
    for (size_t i = 0; i < step.listed.size(); ++i) {
        const int32_t row = step.listed[i].row;
        const int32_t slot = step.listedSlots[i];
        bool found = false;
        for (int32_t t = slots.first[static_cast<size_t>(row)]; t < slots.first[static_cast<size_t>(row) + 1] && !found;
             ++t)
            if (slots.position[static_cast<size_t>(t)] == slot) {
                step.listed[i].w = slots.weight[static_cast<size_t>(t)];
                found = true;
            }
        const std::vector<double>* W = step.entries.weights[static_cast<size_t>(row)];
        if (!found && W && slot >= 0 && static_cast<size_t>(slot) < W->size())
            step.listed[i].w = (*W)[static_cast<size_t>(slot)];
    }
}

void gatherRestPositions(const Inputs& in, BoneStepData& step) {
    step.rest.assign(4 * step.rowIds.size(), 0.0);
    step.restSize = 0.0;
    for (const int32_t r : step.rowsById) {
        const size_t row = static_cast<size_t>(r);
        const MPoint& p = in.restPoints[static_cast<unsigned>(step.rowIds[row])];
        step.rest[4 * row] = p.x;
        step.rest[4 * row + 1] = p.y;
        step.rest[4 * row + 2] = p.z;
        step.rest[4 * row + 3] = p.w;
        step.restSize = std::max(step.restSize, p.x * p.x + p.y * p.y + p.z * p.z);
    }
}

// The bone's weight sums, source centroid and centred sources s; false, with
// the bone left unfitted, when its listed weights sum to less than
// kWeightThreshold.
bool centreSources(const BoneStepData& step, BoneFit& bone, Eigen::VectorXd& weightBuffer, double* s) {
    const ListedEntry* e = step.listed.data() + bone.first;
    double sum = 0.0;
    for (int32_t i = 0; i < bone.count; ++i) sum += e[i].w;
    if (sum < kWeightThreshold) return false;
    bone.fitted = true;
    for (int32_t i = 0; i < bone.count; ++i) weightBuffer[i] = e[i].w;
    const double s2 = weightBuffer.head(bone.count).squaredNorm();
    bone.squaredSum = s2;
    Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
    for (int32_t i = 0; i < bone.count; ++i) {
        const double* p = &step.rest[4 * static_cast<size_t>(e[i].row)];
        cs += (e[i].w * e[i].w) * Eigen::RowVector3d(p[0], p[1], p[2]);
    }
    cs /= s2;
    bone.cs = cs;
    for (int32_t i = 0; i < bone.count; ++i) {
        const double* p = &step.rest[4 * static_cast<size_t>(e[i].row)];
        for (int c = 0; c < 3; ++c) s[4 * i + c] = e[i].w * (p[c] - cs[c]);
        s[4 * i + 3] = e[i].w;
    }
    return true;
}

// Flat or not, each shape's rigid fit is checked against the rounding of its
// own sums (kCovarianceRounding), which scales with sum_i |P_i|.
void sumSourceLengths(BoneFit& bone, const double* s) {
    double sourceSum = 0.0;
    for (int32_t i = 0; i < bone.count; ++i)
        sourceSum += std::sqrt(s[4 * i] * s[4 * i] + s[4 * i + 1] * s[4 * i + 1] + s[4 * i + 2] * s[4 * i + 2]);
    bone.sourceSum = sourceSum;
    bone.exact = false;
}

// The affine fit's least squares P^T X = Q^T through the QR factor of P^T,
// as fitAffine takes it: X = R^{-1} B^T Q^T. The sources become the rows of
// B; a bone whose rest positions do not determine the fit stays exact.
void factorAffineSources(BoneFit& bone, double* s, Eigen::MatrixXd& Pt) {
    bone.exact = true;  // until the QR shows full rank
    if (bone.count < 4) return;
    Pt.resize(bone.count, 3);
    for (int32_t i = 0; i < bone.count; ++i)
        for (int c = 0; c < 3; ++c) Pt(i, c) = s[4 * i + c];
    const Eigen::HouseholderQR<Eigen::MatrixXd> qr(Pt);
    const Eigen::MatrixXd& R = qr.matrixQR();
    if (!hasFullColumnRank(Pt, R)) return;
    const Eigen::MatrixXd basis = qr.householderQ() * Eigen::MatrixXd::Identity(bone.count, 3);
    for (int32_t i = 0; i < bone.count; ++i)
        for (int c = 0; c < 3; ++c) s[4 * i + c] = basis(i, c);
    bone.R = R.topLeftCorner(3, 3).triangularView<Eigen::Upper>();
    bone.exact = false;
}

// The other bones of bone g's listed vertices, in list order. partnerOf is
// all -1 on entry and on return.
void listPartners(BoneStepData& step, int g, int J, std::vector<int32_t>& partnerOf) {
    BoneFit& bone = step.bones[static_cast<size_t>(g)];
    const ListedEntry* e = step.listed.data() + bone.first;
    const SlotRows& slots = step.slots;
    int32_t* partners = step.partnerBones.data() + static_cast<size_t>(g) * J;
    int32_t n = 0;
    for (int32_t i = 0; i < bone.count; ++i) {
        const size_t row = static_cast<size_t>(e[i].row);
        for (int32_t t = slots.first[row]; t < slots.first[row + 1]; ++t) {
            const int32_t k = slots.bone[static_cast<size_t>(t)];
            if (k == g || partnerOf[static_cast<size_t>(k)] >= 0) continue;
            partnerOf[static_cast<size_t>(k)] = n;
            partners[n++] = k;
        }
    }
    bone.partners = n;
    for (int32_t m = 0; m < n; ++m) partnerOf[static_cast<size_t>(partners[m])] = -1;
}

// Bone g's couplings Z_gk, each summed in list order. partnerOf is all -1 on
// entry and on return.
void accumulateCouplings(BoneStepData& step, int g, int J, std::vector<int32_t>& partnerOf) {
    const BoneFit& bone = step.bones[static_cast<size_t>(g)];
    if (bone.partners == 0) return;
    const ListedEntry* e = step.listed.data() + bone.first;
    const double* s = step.sources.data() + 4 * static_cast<size_t>(bone.first);
    const SlotRows& slots = step.slots;
    const int32_t* partners = step.partnerBones.data() + static_cast<size_t>(g) * J;
    for (int32_t m = 0; m < bone.partners; ++m) partnerOf[static_cast<size_t>(partners[m])] = m;
    double* Z = step.coupling.data() + step.couplingFirst[static_cast<size_t>(g)];
    for (int32_t i = 0; i < bone.count; ++i) {
        const size_t row = static_cast<size_t>(e[i].row);
        const double* p = &step.rest[4 * row];
        for (int32_t t = slots.first[row]; t < slots.first[row + 1]; ++t) {
            const int32_t k = slots.bone[static_cast<size_t>(t)];
            if (k == g) continue;
            const double w = slots.weight[static_cast<size_t>(t)];
            Eigen::Map<Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(Z + 16 * partnerOf[static_cast<size_t>(k)])
                .noalias() +=
                (w * Eigen::Map<const Eigen::Vector4d>(s + 4 * i)) * Eigen::Map<const Eigen::RowVector4d>(p);
        }
    }
    for (int32_t m = 0; m < bone.partners; ++m) partnerOf[static_cast<size_t>(partners[m])] = -1;
}

// Per bone what its shape fits share: source vectors, the affine fit's
// factor, partners and couplings. Bones in parallel, each formed alone.
void prepareBoneFits(bool rigid, int J, BoneStepData& step) {
    const int indexed = static_cast<int>(step.bones.size());
    step.sources.assign(4 * step.listed.size(), 0.0);
    step.partnerBones.assign(static_cast<size_t>(indexed) * J, 0);
    step.couplingFirst.assign(static_cast<size_t>(indexed) + 1, 0);
    int32_t longest = 0;
    for (const BoneFit& bone : step.bones) longest = std::max(longest, bone.count);

#pragma omp parallel
    {
        Eigen::VectorXd weightBuffer(longest);  // contiguous, aligned: sums round as on a vector
        std::vector<int32_t> partnerOf(static_cast<size_t>(J), -1);
        Eigen::MatrixXd Pt;
#pragma omp for schedule(static)
        for (int g = 0; g < indexed; ++g) {
            BoneFit& bone = step.bones[static_cast<size_t>(g)];
            if (bone.count == 0) continue;
            const ListedEntry* e = step.listed.data() + bone.first;
            double* s = step.sources.data() + 4 * static_cast<size_t>(bone.first);
            if (!centreSources(step, bone, weightBuffer, s)) continue;
            if (rigid)
                sumSourceLengths(bone, s);
            else
                factorAffineSources(bone, s, Pt);
            if (!step.finiteProducts) bone.exact = true;
            for (int32_t i = 0; i < bone.count; ++i)
                for (int c = 0; c < 3; ++c) bone.weightedSource[c] += e[i].w * s[4 * i + c];
            if (bone.exact) continue;
            listPartners(step, g, J, partnerOf);
        }
#pragma omp single
        {
            for (int g = 0; g < indexed; ++g)
                step.couplingFirst[static_cast<size_t>(g) + 1] =
                    step.couplingFirst[static_cast<size_t>(g)] +
                    16 * static_cast<size_t>(step.bones[static_cast<size_t>(g)].partners);
            step.coupling.assign(step.couplingFirst.back(), 0.0);
        }
#pragma omp for schedule(static)
        for (int g = 0; g < indexed; ++g) accumulateCouplings(step, g, J, partnerOf);
    }
}

// A thread's targets of one block of shapes: per row the block's x, y, z
// (zero past the last shape, so every block is summed by the same
// arithmetic), per bone whose fits use them their sums as
// accumulateTargetSums writes them (bone-major, then shape, then (c, a)),
// and the largest squared target of each shape.
struct ShapeBlock {
    int size = 0;          // shapes per block
    size_t rowStride = 0;  // 3 * size
    size_t sumSize = 0;    // 12 * size
    std::vector<double> targets;
    std::vector<double> sums;
    std::vector<double> targetSize;
};

// Targets read by ascending id, so the shapes' points stream in, then their
// sums for every bone in `summed`.
void loadShapeBlock(const Inputs& in, const BoneStepData& step, const std::vector<int32_t>& summed, int f0,
                    int blockFrames, ShapeBlock& block) {
    std::fill(block.targetSize.begin(), block.targetSize.end(), 0.0);
    for (const int32_t row : step.rowsById) {
        const unsigned id = static_cast<unsigned>(step.rowIds[static_cast<size_t>(row)]);
        double* y = &block.targets[static_cast<size_t>(row) * block.rowStride];
        for (int b = 0; b < block.size; ++b) {
            if (b < blockFrames) {
                const MPoint& q = in.shapePoints[f0 + b][id];
                y[3 * b] = q.x;
                y[3 * b + 1] = q.y;
                y[3 * b + 2] = q.z;
                block.targetSize[static_cast<size_t>(b)] =
                    std::max(block.targetSize[static_cast<size_t>(b)], q.x * q.x + q.y * q.y + q.z * q.z);
            } else {
                y[3 * b] = y[3 * b + 1] = y[3 * b + 2] = 0.0;
            }
        }
    }
    for (const int32_t g : summed) {
        const BoneFit& bone = step.bones[static_cast<size_t>(g)];
        accumulateTargetSums(block.size, step.listed.data() + bone.first,
                             step.sources.data() + 4 * static_cast<size_t>(bone.first), bone.count,
                             block.targets.data(), block.sums.data() + block.sumSize * static_cast<size_t>(g));
    }
}

// Residuals of bone g's listed vertices for shape b of the block, slot by
// slot against the current products `skinning`, and the fit on the explicit
// centred matrices P and Q.
MMatrix exactFit(const BoneStepData& step, const std::vector<MMatrix>& skinning, const ShapeBlock& block, bool rigid,
                 int g, int b, Eigen::Matrix3Xd& P, Eigen::Matrix3Xd& Q) {
    const BoneFit& bone = step.bones[static_cast<size_t>(g)];
    const ListedEntry* e = step.listed.data() + bone.first;
    const SlotRows& slots = step.slots;
    P.resize(3, bone.count);
    Q.resize(3, bone.count);
    Eigen::Vector3d weightedR = Eigen::Vector3d::Zero();
    for (int32_t i = 0; i < bone.count; ++i) {
        const size_t row = static_cast<size_t>(e[i].row);
        const double* p = &step.rest[4 * row];
        double ax = 0.0, ay = 0.0, az = 0.0;
        for (int32_t t = slots.first[row]; t < slots.first[row + 1]; ++t) {
            const int32_t k = slots.bone[static_cast<size_t>(t)];
            if (k == g) continue;
            double x[3];
            transformPoint(p, skinning[static_cast<size_t>(k)], x);
            const double w = slots.weight[static_cast<size_t>(t)];
            ax += w * x[0];
            ay += w * x[1];
            az += w * x[2];
        }
        const double* y = &block.targets[row * block.rowStride + 3 * static_cast<size_t>(b)];
        const Eigen::Vector3d r(y[0] - ax, y[1] - ay, y[2] - az);
        weightedR += e[i].w * r;
        for (int c = 0; c < 3; ++c) P(c, i) = e[i].w * (p[c] - bone.cs[c]);
        Q.col(i) = r;
    }
    const Eigen::RowVector3d ct = weightedR.transpose() / bone.squaredSum;
    for (int32_t i = 0; i < bone.count; ++i) Q.col(i) -= e[i].w * ct.transpose();
    return rigid ? fitRigid(P, Q, bone.cs, ct) : fitRankDeficientAffine(P, Q, bone.cs, ct);
}

// Bone g's fit for shape b of the block from its target sums minus the
// couplings with the other bones' current products (sum_i s_i r_i^T).
// False, with M untouched, when the sums cannot give the fit.
bool fitFromSums(const BoneStepData& step, const std::vector<MMatrix>& skinning, const ShapeBlock& block, bool rigid,
                 int J, int g, int b, double termSize, MMatrix& M) {
    const BoneFit& bone = step.bones[static_cast<size_t>(g)];
    Eigen::Matrix<double, 4, 3> T;
    const double* y = block.sums.data() + block.sumSize * static_cast<size_t>(g) + 12 * static_cast<size_t>(b);
    for (int c = 0; c < 3; ++c)
        for (int a = 0; a < 4; ++a) T(a, c) = y[4 * c + a];
    const double* Z = step.coupling.data() + step.couplingFirst[static_cast<size_t>(g)];
    const int32_t* partners = step.partnerBones.data() + static_cast<size_t>(g) * J;
    for (int32_t m = 0; m < bone.partners; ++m) {
        const MMatrix& S = skinning[static_cast<size_t>(partners[m])];
        const double* z = Z + 16 * m;
        for (int a = 0; a < 4; ++a)
            for (int c = 0; c < 3; ++c)
                T(a, c) -=
                    z[4 * a] * S[0][c] + z[4 * a + 1] * S[1][c] + z[4 * a + 2] * S[2][c] + z[4 * a + 3] * S[3][c];
    }
    const Eigen::RowVector3d ct = T.row(3) / bone.squaredSum;
    // Q's columns are r_i - w_i c_t.
    const Eigen::Matrix3d C = T.topRows(3) - bone.weightedSource * ct;
    if (rigid) return rigidFromCovariance(C, bone.cs, ct, kCovarianceRounding * bone.sourceSum * termSize, M);
    const Eigen::Matrix3d X = bone.R.triangularView<Eigen::Upper>().solve(C);
    if (!X.allFinite()) return false;
    M = toMMatrix(X, ct - bone.cs * X);
    return true;
}

// Every shape's fits. Each thread takes a contiguous share of the shapes, as
// a static schedule deals them, and fits them a block at a time; within a
// shape the bones are refitted in index order against the current products,
// refreshed as bones are refitted. Each shape's arithmetic is the same
// whoever runs it.
void fitAllShapes(DecompositionState& state, const BoneStepData& step, const std::vector<MMatrix>& restWorld,
                  BoneStepCounts* counts) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = in.F;
    const int J = in.J;
    const bool rigid = in.rigidMatrices;
    const int indexed = static_cast<int>(step.bones.size());
    std::vector<int32_t> summed;  // the bones whose shape fits use the target sums
    for (int g = 0; g < indexed; ++g)
        if (step.bones[static_cast<size_t>(g)].fitted && !step.bones[static_cast<size_t>(g)].exact) summed.push_back(g);

    int64_t sumFits = 0, exactFits = 0;
#pragma omp parallel reduction(+ : sumFits, exactFits)
    {
        std::vector<MMatrix> skinning(static_cast<size_t>(J));
        Eigen::Matrix3Xd P, Q;  // explicit: exact bones and the affine fit's fallback
        const int threads = omp_get_num_threads();
        const int thread = omp_get_thread_num();
        const int share = F / threads, extra = F % threads;
        const int begin = thread * share + std::min(thread, extra);
        const int end = begin + share + (thread < extra ? 1 : 0);
        ShapeBlock block;
        // Shapes per block: fewer when the thread has fewer, so that a short
        // animation on a large mesh keeps no padding per row.
        block.size = std::max(1, std::min(kFrameBlock, end - begin));
        block.rowStride = 3 * static_cast<size_t>(block.size);
        block.sumSize = 12 * static_cast<size_t>(block.size);
        block.targets.resize(end > begin ? block.rowStride * step.rowIds.size() : 0);
        block.sums.resize(end > begin ? block.sumSize * static_cast<size_t>(indexed) : 0);
        block.targetSize.resize(static_cast<size_t>(block.size));

        for (int f0 = begin; f0 < end; f0 += block.size) {
            const int blockFrames = std::min(block.size, end - f0);
            loadShapeBlock(in, step, summed, f0, blockFrames, block);
            for (int b = 0; b < blockFrames; ++b) {
                const int f = f0 + b;
                // The size of the residuals' terms: targets, and the other
                // bones' images of rest positions, which are of the size of
                // the targets and the rest positions wherever the rig fits.
                const double termSize = std::sqrt(std::max(block.targetSize[static_cast<size_t>(b)], step.restSize));
                std::vector<MMatrix>& transforms = solver.boneTransforms[f];
                for (int k = 0; k < J; ++k)
                    skinning[static_cast<size_t>(k)] = step.products[static_cast<size_t>(f) * J + k];
                for (int g = 0; g < indexed; ++g) {
                    const BoneFit& bone = step.bones[static_cast<size_t>(g)];
                    if (!bone.fitted) continue;
                    MMatrix M;
                    if (!bone.exact && fitFromSums(step, skinning, block, rigid, J, g, b, termSize, M)) {
                        ++sumFits;
                    } else {
                        M = exactFit(step, skinning, block, rigid, g, b, P, Q);
                        ++exactFits;
                    }
                    const MMatrix fitted = restWorld[static_cast<size_t>(g)] * M;
                    // A singular binding matrix has no rest world matrix: keep
                    // the old transform rather than store a non-finite one.
                    if (!isFinite(fitted)) continue;
                    transforms[g] = fitted;
                    skinning[static_cast<size_t>(g)] = solver.bindingMatrices[g] * fitted;
                }
            }
        }
    }
    if (counts) {
        counts->sumFits += sumFits;
        counts->exactFits += exactFits;
    }
}

}  // namespace

void solveBones(DecompositionState& state) { solveBonesCounting(state, nullptr); }

void solveBonesCounting(DecompositionState& state, BoneStepCounts* counts) {
    const Inputs& in = state.inputs;
    const int J = in.J;
    prepareParallelStep(state);
    if (in.F < 1 || J < 1) return;

    const std::vector<MMatrix> restWorld = restWorldMatrices(state.solver, J);
    BoneStepData step;
    listBoneVertices(state, std::min(J, static_cast<int>(state.solver.boneVertices.size())), step);
    // When every product is finite a zero weight adds an exact zero, and its
    // slot is left out.
    step.products = skinningProducts(state);
    step.finiteProducts = allFinite(step.products);
    gatherSlotRows(state, step.entries, step.finiteProducts, step.slots);
    readListedWeights(step);
    gatherRestPositions(in, step);
    prepareBoneFits(in.rigidMatrices, J, step);
    fitAllShapes(state, step, restWorld, counts);
}
