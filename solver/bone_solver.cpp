#include "solver/bone_solver.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

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

Eigen::Matrix3d linearPart(const MMatrix& m) {
    Eigen::Matrix3d a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a(r, c) = m[r][c];
    return a;
}

}  // namespace

MMatrix fitRigid(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                 const Eigen::RowVector3d& ct) {
    const Eigen::Matrix3d H = P * Q.transpose();
    Eigen::Matrix3d A = Eigen::Matrix3d::Identity();
    if (H.allFinite()) {
        // Thin U and V are only offered for dynamic-size matrices.
        const Eigen::JacobiSVD<Eigen::MatrixXd> svd(Eigen::MatrixXd(H), Eigen::ComputeThinU | Eigen::ComputeThinV);
        Eigen::Matrix3d R = svd.matrixV() * svd.matrixU().transpose();
        if (R.determinant() < 0) R.col(2) = -R.col(2);
        A = R.transpose();
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
        const double scale = Pt.colwise().norm().maxCoeff();
        bool fullRank = scale > 0.0;
        for (int i = 0; i < 3 && fullRank; ++i) fullRank = std::abs(R(i, i)) > kAffineRankTolerance * scale;
        if (fullRank) {
            Eigen::MatrixXd c = Q.transpose();
            c.applyOnTheLeft(qr.householderQ().adjoint());
            const Eigen::Matrix3d X = R.topLeftCorner(3, 3).triangularView<Eigen::Upper>().solve(c.topRows(3));
            if (X.allFinite()) return toMMatrix(X, ct - cs * X);
        }
    }
    return fitRankDeficientAffine(P, Q, cs, ct);
}

namespace {

// Smallest eigenvalue of P P^T, relative to the largest, below which a
// bone's centred rest positions are flat for the rigid fit (a singular value
// ratio of about 1e-7; the eigenvalues are known to about 1e-16 of the
// largest).
constexpr double kFlatTolerance = 1e-14;

// A vertex of the step: its rest position and its weighted slots.
struct StepVertex {
    int32_t id;
    double p[4];
};

// One listed vertex of a bone, with the frame-independent parts of its fit.
struct ListedEntry {
    int32_t vertex;  // row of the step's vertex arrays
    double w;
    // Sum of the weights of the row's slots of this bone: its own share of
    // the row's blend, which the residual leaves out.
    double ownWeight;
    double P[3];  // w (p - c_s): column of the centred source matrix
};

enum class AffineKind { FullRank, Deficient };

// What a bone's fits share across shapes: the listed vertices' weights and
// rest positions do not change during the step, so the source centroid, the
// centred source matrix and the QR factor of its transpose are formed once.
struct BoneFit {
    int32_t first = 0, count = 0;  // listed entries
    bool fitted = false;           // listed and with a weight sum of at least 1e-7
    // The centred rest positions span fewer than three directions (to
    // rounding): H = P Q^T then has a vanishing singular value, the sign of
    // det(V U^T) is decided by rounding, and the rigid fit (also inside the
    // rank-deficient affine fit) follows it. Such a bone's residuals are
    // summed slot by slot and its P and Q formed explicitly, as the direct
    // computation takes them, so that it rounds the same way.
    bool flat = false;
    // With o_i the own weight and p~_i the rest position (x, y, z, w), a
    // residual is r_i = e_i + o_i p~_i M_g, e_i the row's target minus its
    // blend and M_g the bone's current product (x, y, z columns). So
    //   sum P_i r_i^T = sum P_i e_i^T + ownP M_g,   ownP = sum o_i P_i p~_i^T,
    //   sum w_i r_i   = sum w_i e_i   + ownW M_g,   ownW = sum w_i o_i p~_i^T,
    // and the same with the affine basis rows: the own share costs nothing
    // per vertex.
    Eigen::Matrix<double, 3, 4> ownP = Eigen::Matrix<double, 3, 4>::Zero();
    Eigen::Matrix<double, 3, 4> ownB = Eigen::Matrix<double, 3, 4>::Zero();
    Eigen::RowVector4d ownW = Eigen::RowVector4d::Zero();
    double squaredSum = 0.0;
    Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
    Eigen::Vector3d weightedP = Eigen::Vector3d::Zero();  // sum w_i P_i: zero up to rounding
    Eigen::Vector3d weightedB = Eigen::Vector3d::Zero();
    AffineKind affine = AffineKind::Deficient;
    Eigen::Matrix3d R = Eigen::Matrix3d::Identity();  // P^T = B R, B with orthonormal columns
};

// fitRigid from H = P Q^T, on a fixed-size SVD (no allocation).
MMatrix rigidFromCovariance(const Eigen::Matrix3d& H, const Eigen::RowVector3d& cs, const Eigen::RowVector3d& ct) {
    Eigen::Matrix3d A = Eigen::Matrix3d::Identity();
    if (H.allFinite()) {
        const Eigen::JacobiSVD<Eigen::Matrix3d> svd(H, Eigen::ComputeFullU | Eigen::ComputeFullV);
        Eigen::Matrix3d R = svd.matrixV() * svd.matrixU().transpose();
        if (R.determinant() < 0) R.col(2) = -R.col(2);
        A = R.transpose();
    }
    return toMMatrix(A, ct - cs * A);
}

// Reorders the rows so that vertices sharing their strongest bone sit
// together (ascending id within a group): a bone's listed vertices, mostly
// its own and its neighbours', are then a few runs of rows rather than a
// scatter over all of them.
void groupRowsByStrongestBone(VertexEntries& entries, int J) {
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
    }
    entries = std::move(grouped);
}

}  // namespace

void solveBones(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = in.F;
    const int J = in.J;
    prepareParallelStep(state);
    if (F < 1 || J < 1) return;
    const bool rigid = in.rigidMatrices;

    // The rest world matrix of every bone, shared by all shapes.
    std::vector<MMatrix> restWorld(static_cast<size_t>(J));
    for (int g = 0; g < J; ++g) restWorld[static_cast<size_t>(g)] = solver.bindingMatrices[g].inverse();

    // Rows of the step: the used vertices by ascending id, then any listed id outside
    // inputs.vertexIds (a missing map entry reads as an empty list).
    VertexEntries entries = gatherVertexEntries(state);
    groupRowsByStrongestBone(entries, J);
    std::vector<StepVertex> vertices(entries.influences.size());
    for (size_t j = 0; j < vertices.size(); ++j) vertices[j].id = entries.ids[j];
    const int indexed = std::min(J, static_cast<int>(solver.boneVertices.size()));
    auto rowOfListed = [&](int32_t id) {
        int32_t row = rowOf(entries, id);
        if (row >= 0) return row;
        const auto influencesIt = solver.vertexInfluences.find(id);
        const auto weightsIt = solver.vertexWeights.find(id);
        entries.influences.push_back(influencesIt != solver.vertexInfluences.end() ? &influencesIt->second : nullptr);
        entries.weights.push_back(weightsIt != solver.vertexWeights.end() ? &weightsIt->second : nullptr);
        vertices.push_back({id, {0.0, 0.0, 0.0, 1.0}});
        return static_cast<int32_t>(vertices.size() - 1);
    };
    std::vector<ListedEntry> listed;
    std::vector<BoneFit> bones(static_cast<size_t>(indexed));
    for (int g = 0; g < indexed; ++g) {
        const std::vector<int32_t>& ids = solver.boneVertices[static_cast<size_t>(g)];
        const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(g)];
        BoneFit& bone = bones[static_cast<size_t>(g)];
        bone.first = static_cast<int32_t>(listed.size());
        bone.count = static_cast<int32_t>(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            const int32_t row = rowOfListed(ids[i]);
            const std::vector<double>* W = entries.weights[static_cast<size_t>(row)];
            const int32_t slot = i < slots.size() ? slots[i] : -1;
            const bool valid = W && slot >= 0 && static_cast<size_t>(slot) < W->size();
            listed.push_back({row, valid ? (*W)[static_cast<size_t>(slot)] : 0.0, 0.0, {}});
        }
    }
    for (StepVertex& v : vertices) {
        const MPoint& p = in.restPoints[static_cast<unsigned>(v.id)];
        v.p[0] = p.x;
        v.p[1] = p.y;
        v.p[2] = p.z;
        v.p[3] = p.w;
    }
    auto restOfRow = [&](int32_t row) { return vertices[static_cast<size_t>(row)].p; };

    // Initial products of every shape; when all are finite a zero weight adds
    // an exact zero, and its slot is left out of the residuals.
    std::vector<MMatrix> products;
    formSkinningProducts(state, products);
    SlotRows slots;
    gatherSlotRows(state, entries, allFinite(products), slots);
    // Per bone, the slots that carry it, so a refit updates exactly those.
    std::vector<int32_t> slotsOfBoneFirst(static_cast<size_t>(J) + 1, 0);
    std::vector<int32_t> slotsOfBone(slots.bone.size());
    for (int32_t k : slots.bone) ++slotsOfBoneFirst[static_cast<size_t>(k) + 1];
    for (int k = 0; k < J; ++k) slotsOfBoneFirst[static_cast<size_t>(k) + 1] += slotsOfBoneFirst[static_cast<size_t>(k)];
    {
        std::vector<int32_t> fill(slotsOfBoneFirst.begin(), slotsOfBoneFirst.end() - 1);
        for (size_t s = 0; s < slots.bone.size(); ++s)
            slotsOfBone[static_cast<size_t>(fill[static_cast<size_t>(slots.bone[s])]++)] = static_cast<int32_t>(s);
    }
    std::vector<int32_t> rowOfSlot(slots.bone.size());
    for (size_t r = 0; r + 1 < slots.first.size(); ++r)
        for (int32_t s = slots.first[r]; s < slots.first[r + 1]; ++s) rowOfSlot[static_cast<size_t>(s)] = static_cast<int32_t>(r);
    // The same slots, bone by bone, with what a refit needs of them in one
    // record: a refit then streams its bone's records.
    struct BoneSlot {
        int32_t row;
        double w;
        double p[4];
    };
    std::vector<BoneSlot> boneSlots(slotsOfBone.size());
    for (size_t i = 0; i < slotsOfBone.size(); ++i) {
        const size_t slot = static_cast<size_t>(slotsOfBone[i]);
        const int32_t row = rowOfSlot[slot];
        const double* p = restOfRow(row);
        boneSlots[i] = {row, slots.weight[slot], {p[0], p[1], p[2], p[3]}};
    }

    for (int g = 0; g < indexed; ++g) {
        const BoneFit& bone = bones[static_cast<size_t>(g)];
        for (int32_t i = bone.first; i < bone.first + bone.count; ++i) {
            ListedEntry& e = listed[static_cast<size_t>(i)];
            for (int32_t s = slots.first[static_cast<size_t>(e.vertex)]; s < slots.first[static_cast<size_t>(e.vertex) + 1];
                 ++s)
                if (slots.bone[static_cast<size_t>(s)] == g) e.ownWeight += slots.weight[static_cast<size_t>(s)];
        }
    }

    std::vector<int32_t> rowsById(vertices.size());
    for (size_t row = 0; row < rowsById.size(); ++row) rowsById[row] = static_cast<int32_t>(row);
    std::sort(rowsById.begin(), rowsById.end(), [&](int32_t a, int32_t b) {
        return vertices[static_cast<size_t>(a)].id < vertices[static_cast<size_t>(b)].id;
    });

    // Per listed entry of an affine fit, its row of the orthonormal basis of
    // span(P^T); kept apart so the rigid fits stream less.
    std::vector<double> basisRows(rigid ? 0 : 3 * listed.size());

    // Frame-independent parts of each bone's fit, in the reference's sum order.
    int32_t longest = 0;
    for (const BoneFit& bone : bones) longest = std::max(longest, bone.count);
#pragma omp parallel
    {
        Eigen::VectorXd weightBuffer(longest);  // contiguous, aligned: sums round as on a vector
#pragma omp for schedule(static)
        for (int g = 0; g < indexed; ++g) {
            BoneFit& bone = bones[static_cast<size_t>(g)];
            if (bone.count == 0) continue;
            ListedEntry* e = listed.data() + bone.first;
            double sum = 0.0;
            for (int32_t i = 0; i < bone.count; ++i) sum += e[i].w;
            if (sum < kWeightThreshold) continue;
            bone.fitted = true;
            bone.flat = !rigid;  // until the affine QR shows full rank
            for (int32_t i = 0; i < bone.count; ++i) weightBuffer[i] = e[i].w;
            const double s2 = weightBuffer.head(bone.count).squaredNorm();
            bone.squaredSum = s2;
            Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
            for (int32_t i = 0; i < bone.count; ++i) {
                const double* p = vertices[static_cast<size_t>(e[i].vertex)].p;
                cs += (e[i].w * e[i].w) * Eigen::RowVector3d(p[0], p[1], p[2]);
            }
            cs /= s2;
            bone.cs = cs;
            for (int32_t i = 0; i < bone.count; ++i) {
                const double* p = vertices[static_cast<size_t>(e[i].vertex)].p;
                for (int c = 0; c < 3; ++c) e[i].P[c] = e[i].w * (p[c] - cs[c]);
                for (int c = 0; c < 3; ++c) bone.weightedP[c] += e[i].w * e[i].P[c];
                const Eigen::RowVector4d pt(p[0], p[1], p[2], p[3]);
                bone.ownP.noalias() += (e[i].ownWeight * Eigen::Vector3d(e[i].P[0], e[i].P[1], e[i].P[2])) * pt;
                bone.ownW += (e[i].w * e[i].ownWeight) * pt;
            }
            if (rigid) {
                Eigen::Matrix3d spread = Eigen::Matrix3d::Zero();
                for (int32_t i = 0; i < bone.count; ++i) {
                    const Eigen::Vector3d Pi(e[i].P[0], e[i].P[1], e[i].P[2]);
                    spread.noalias() += Pi * Pi.transpose();
                }
                const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(spread, Eigen::EigenvaluesOnly);
                const Eigen::Vector3d& lambda = eigen.eigenvalues();  // ascending
                bone.flat = !(lambda[0] > kFlatTolerance * lambda[2]);
                continue;
            }
            if (bone.count < 4) continue;
            // The affine fit's least squares P^T X = Q^T through the QR factor of
            // P^T, as fitAffine takes it: X = R^{-1} B^T Q^T.
            Eigen::MatrixXd Pt(bone.count, 3);
            for (int32_t i = 0; i < bone.count; ++i)
                for (int c = 0; c < 3; ++c) Pt(i, c) = e[i].P[c];
            const Eigen::HouseholderQR<Eigen::MatrixXd> qr(Pt);
            const Eigen::MatrixXd& R = qr.matrixQR();
            const double scale = Pt.colwise().norm().maxCoeff();
            bool fullRank = scale > 0.0;
            for (int i = 0; i < 3 && fullRank; ++i) fullRank = std::abs(R(i, i)) > kAffineRankTolerance * scale;
            if (!fullRank) continue;
            const Eigen::MatrixXd basis = qr.householderQ() * Eigen::MatrixXd::Identity(bone.count, 3);
            for (int32_t i = 0; i < bone.count; ++i)
                for (int c = 0; c < 3; ++c) {
                    basisRows[3 * static_cast<size_t>(bone.first + i) + c] = basis(i, c);
                    bone.weightedB[c] += e[i].w * basisRows[3 * static_cast<size_t>(bone.first + i) + c];
                }
            for (int32_t i = 0; i < bone.count; ++i) {
                const double* p = vertices[static_cast<size_t>(e[i].vertex)].p;
                const double* b = &basisRows[3 * static_cast<size_t>(bone.first + i)];
                bone.ownB.noalias() +=
                    (e[i].ownWeight * Eigen::Vector3d(b[0], b[1], b[2])) * Eigen::RowVector4d(p[0], p[1], p[2], p[3]);
            }
            bone.R = R.topLeftCorner(3, 3).triangularView<Eigen::Upper>();
            bone.affine = AffineKind::FullRank;
            bone.flat = false;
        }
    }

#pragma omp parallel
    {
        // Per thread: the current product per bone, refreshed as bones are
        // refitted, and per row this shape's target and the blend of all the
        // row's weighted slots.
        std::vector<MMatrix> skinning(static_cast<size_t>(J));
        // Per row: target x, y, z then blend x, y, z, side by side so that a
        // residual touches one cache line.
        std::vector<double> rowData(6 * vertices.size());
        double* const targets = rowData.data();
        double* const blend = rowData.data() + 3;
        Eigen::Matrix3Xd P, Q;  // explicit: flat bones and the affine fit's fallback

#pragma omp for schedule(static)
        for (int f = 0; f < F; ++f) {
            std::vector<MMatrix>& transforms = solver.boneTransforms[f];
            const MPointArray& shape = in.shapePoints[f];
            for (int k = 0; k < J; ++k) skinning[static_cast<size_t>(k)] = products[static_cast<size_t>(f) * J + k];
            // Targets read by ascending id, so the shape's points stream in.
            for (const int32_t row : rowsById) {
                const MPoint& y = shape[static_cast<unsigned>(vertices[static_cast<size_t>(row)].id)];
                targets[6 * static_cast<size_t>(row)] = y.x;
                targets[6 * static_cast<size_t>(row) + 1] = y.y;
                targets[6 * static_cast<size_t>(row) + 2] = y.z;
            }
            for (size_t row = 0; row < vertices.size(); ++row) {
                double bx = 0.0, by = 0.0, bz = 0.0;
                for (int32_t s = slots.first[row]; s < slots.first[row + 1]; ++s) {
                    double x[3];
                    transformPoint(vertices[row].p, skinning[static_cast<size_t>(slots.bone[static_cast<size_t>(s)])], x);
                    const double w = slots.weight[static_cast<size_t>(s)];
                    bx += w * x[0];
                    by += w * x[1];
                    bz += w * x[2];
                }
                blend[6 * row] = bx;
                blend[6 * row + 1] = by;
                blend[6 * row + 2] = bz;
            }

            for (int g = 0; g < indexed; ++g) {
                const BoneFit& bone = bones[static_cast<size_t>(g)];
                if (!bone.fitted) continue;
                const ListedEntry* e = listed.data() + bone.first;
                Eigen::Matrix<double, 4, 3> Mg;  // the bone's current product, x, y, z columns
                for (int r = 0; r < 4; ++r)
                    for (int c = 0; c < 3; ++c) Mg(r, c) = skinning[static_cast<size_t>(g)][r][c];
                // One pass over the listed rows: their residuals against the
                // full blend, summed with the weights and crossed with P (and
                // the affine basis); the own share is added after.
                Eigen::Matrix3d H = Eigen::Matrix3d::Zero();
                Eigen::Matrix3d C = Eigen::Matrix3d::Zero();
                Eigen::Vector3d weightedR = Eigen::Vector3d::Zero();
                const bool exact = bone.flat;
                if (exact) {
                    P.resize(3, bone.count);
                    Q.resize(3, bone.count);
                }
                for (int32_t i = 0; i < bone.count && exact; ++i) {
                    // The other slots summed in list order.
                    const size_t row = static_cast<size_t>(e[i].vertex);
                    double ax = 0.0, ay = 0.0, az = 0.0;
                    for (int32_t s = slots.first[row]; s < slots.first[row + 1]; ++s) {
                        const int32_t k = slots.bone[static_cast<size_t>(s)];
                        if (k == g) continue;
                        double x[3];
                        transformPoint(vertices[row].p, skinning[static_cast<size_t>(k)], x);
                        const double w = slots.weight[static_cast<size_t>(s)];
                        ax += w * x[0];
                        ay += w * x[1];
                        az += w * x[2];
                    }
                    const Eigen::Vector3d r(targets[6 * row] - ax, targets[6 * row + 1] - ay, targets[6 * row + 2] - az);
                    weightedR += e[i].w * r;
                    P.col(i) << e[i].P[0], e[i].P[1], e[i].P[2];
                    Q.col(i) = r;
                }
                for (int32_t i = 0; i < bone.count && !exact; ++i) {
                    const size_t row = static_cast<size_t>(e[i].vertex);
                    const Eigen::Vector3d r(targets[6 * row] - blend[6 * row], targets[6 * row + 1] - blend[6 * row + 1],
                                            targets[6 * row + 2] - blend[6 * row + 2]);
                    weightedR += e[i].w * r;
                    const Eigen::Vector3d Pi(e[i].P[0], e[i].P[1], e[i].P[2]);
                    H.noalias() += Pi * r.transpose();
                    if (!rigid) {
                        const double* Bi = &basisRows[3 * static_cast<size_t>(bone.first + i)];
                        C.noalias() += Eigen::Vector3d(Bi[0], Bi[1], Bi[2]) * r.transpose();
                    }
                }
                if (!exact) {
                    H.noalias() += bone.ownP * Mg;
                    weightedR.noalias() += (bone.ownW * Mg).transpose();
                    if (!rigid) C.noalias() += bone.ownB * Mg;
                }
                const Eigen::RowVector3d ct = weightedR.transpose() / bone.squaredSum;
                // Q's columns are r_i - w_i c_t.
                H.noalias() -= bone.weightedP * ct;
                MMatrix M;
                if (exact) {
                    for (int32_t i = 0; i < bone.count; ++i) Q.col(i) -= e[i].w * ct.transpose();
                    M = rigid ? fitRigid(P, Q, bone.cs, ct) : fitRankDeficientAffine(P, Q, bone.cs, ct);
                } else if (rigid) {
                    M = rigidFromCovariance(H, bone.cs, ct);
                } else {
                    C.noalias() -= bone.weightedB * ct;
                    const Eigen::Matrix3d X = bone.R.triangularView<Eigen::Upper>().solve(C);
                    if (X.allFinite()) {
                        M = toMMatrix(X, ct - bone.cs * X);
                    } else {
                        P.resize(3, bone.count);
                        Q.resize(3, bone.count);
                        for (int32_t i = 0; i < bone.count; ++i) {
                            // Residuals again: the rare fallback keeps the one pass lean.
                            const size_t row = static_cast<size_t>(e[i].vertex);
                            const double* p = vertices[row].p;
                            const Eigen::Vector3d r =
                                Eigen::Vector3d(targets[6 * row] - blend[6 * row], targets[6 * row + 1] - blend[6 * row + 1],
                                                targets[6 * row + 2] - blend[6 * row + 2]) +
                                (e[i].ownWeight * (Eigen::RowVector4d(p[0], p[1], p[2], p[3]) * Mg)).transpose();
                            P.col(i) << e[i].P[0], e[i].P[1], e[i].P[2];
                            Q.col(i) = r - e[i].w * ct.transpose();
                        }
                        M = fitRankDeficientAffine(P, Q, bone.cs, ct);
                    }
                }
                const MMatrix fitted = restWorld[static_cast<size_t>(g)] * M;
                // A singular binding matrix has no rest world matrix: keep the old
                // transform rather than store a non-finite one.
                if (!isFinite(fitted)) continue;
                transforms[g] = fitted;
                MMatrix& current = skinning[static_cast<size_t>(g)];
                const MMatrix previous = current;
                current = solver.bindingMatrices[g] * fitted;
                // The rows carrying the bone move by w p~ (new - old).
                MMatrix change;
                for (int r = 0; r < 4; ++r)
                    for (int c = 0; c < 4; ++c) change[r][c] = current[r][c] - previous[r][c];
                for (int32_t s = slotsOfBoneFirst[static_cast<size_t>(g)]; s < slotsOfBoneFirst[static_cast<size_t>(g) + 1];
                     ++s) {
                    const BoneSlot& b = boneSlots[static_cast<size_t>(s)];
                    double d[3];
                    transformPoint(b.p, change, d);
                    for (int c = 0; c < 3; ++c) blend[6 * static_cast<size_t>(b.row) + c] += b.w * d[c];
                }
            }
        }
    }
}
