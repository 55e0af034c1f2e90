#include "solver/bone_solver.h"

#include <algorithm>
#include <vector>

#include <Eigen/Dense>

#include "solver/fit_kernels.h"
#include "solver/matrix_utils.h"
#include "solver/parallel.h"
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

void solveBones(DecompositionState& state, int /*iteration*/) {
    const Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const int F = in.F;
    const int J = in.J;
    prepareParallelStep(state);
    if (F < 1 || J < 1) return;

    // The rest world matrix of every bone, shared by all shapes.
    std::vector<MMatrix> restWorld(static_cast<size_t>(J));
    for (int g = 0; g < J; ++g) restWorld[static_cast<size_t>(g)] = solver.bindingMatrices[g].inverse();

    // Resolve every listed vertex's map entries once, so the shapes loop does
    // no tree lookups. A missing entry reads as an empty list.
    struct ListedVertex {
        int32_t id;
        const std::vector<int32_t>* influences;
        const std::vector<double>* weights;
        int32_t slot;
    };
    static const std::vector<int32_t> noInfluences;
    static const std::vector<double> noWeights;
    // An index that was never built lists no vertices.
    const int indexed = std::min(J, static_cast<int>(solver.boneVertices.size()));
    std::vector<std::vector<ListedVertex>> listed(static_cast<size_t>(indexed));
    for (int g = 0; g < indexed; ++g) {
        const std::vector<int32_t>& vertices = solver.boneVertices[static_cast<size_t>(g)];
        const std::vector<int32_t>& slots = solver.boneVertexSlots[static_cast<size_t>(g)];
        for (size_t i = 0; i < vertices.size(); ++i) {
            const auto influencesIt = solver.vertexInfluences.find(vertices[i]);
            const auto weightsIt = solver.vertexWeights.find(vertices[i]);
            listed[static_cast<size_t>(g)].push_back(
                {vertices[i],
                 influencesIt != solver.vertexInfluences.end() ? &influencesIt->second : &noInfluences,
                 weightsIt != solver.vertexWeights.end() ? &weightsIt->second : &noWeights,
                 i < slots.size() ? slots[i] : -1});
        }
    }

#pragma omp parallel for schedule(static)
    for (int f = 0; f < F; ++f) {
        std::vector<MMatrix>& transforms = solver.boneTransforms[f];
        const MPointArray& targets = in.shapePoints[f];
        // binding * transform per bone, kept current as bones are refitted.
        std::vector<MMatrix> skinning(static_cast<size_t>(J));
        for (int k = 0; k < J; ++k) skinning[static_cast<size_t>(k)] = solver.bindingMatrices[k] * transforms[k];

        for (int g = 0; g < indexed; ++g) {
            const std::vector<ListedVertex>& vertices = listed[static_cast<size_t>(g)];
            const Eigen::Index n = static_cast<Eigen::Index>(vertices.size());
            if (n == 0) continue;

            Eigen::VectorXd w(n);
            double sum = 0.0;
            for (Eigen::Index i = 0; i < n; ++i) {
                const ListedVertex& v = vertices[static_cast<size_t>(i)];
                const bool valid = v.slot >= 0 && static_cast<size_t>(v.slot) < v.weights->size();
                w[i] = valid ? (*v.weights)[static_cast<size_t>(v.slot)] : 0.0;
                sum += w[i];
            }
            if (sum < kWeightThreshold) continue;

            Eigen::Matrix3Xd rest(3, n);
            Eigen::Matrix3Xd residual(3, n);
            for (Eigen::Index i = 0; i < n; ++i) {
                const ListedVertex& v = vertices[static_cast<size_t>(i)];
                const MPoint& p = in.restPoints[static_cast<unsigned>(v.id)];
                const MPoint& y = targets[static_cast<unsigned>(v.id)];
                double ax = 0.0, ay = 0.0, az = 0.0;
                const std::vector<int32_t>& B = *v.influences;
                const std::vector<double>& W = *v.weights;
                for (size_t j = 0; j < B.size() && j < W.size(); ++j) {
                    const int32_t k = B[j];
                    if (k == g || k < 0 || k >= J) continue;
                    const MPoint x = p * skinning[static_cast<size_t>(k)];
                    ax += W[j] * x.x;
                    ay += W[j] * x.y;
                    az += W[j] * x.z;
                }
                rest.col(i) << p.x, p.y, p.z;
                residual.col(i) << y.x - ax, y.y - ay, y.z - az;
            }

            const double squaredSum = w.squaredNorm();
            Eigen::RowVector3d cs = Eigen::RowVector3d::Zero();
            Eigen::RowVector3d ct = Eigen::RowVector3d::Zero();
            for (Eigen::Index i = 0; i < n; ++i) {
                cs += (w[i] * w[i]) * rest.col(i).transpose();
                ct += w[i] * residual.col(i).transpose();
            }
            cs /= squaredSum;
            ct /= squaredSum;

            Eigen::Matrix3Xd P(3, n);
            Eigen::Matrix3Xd Q(3, n);
            for (Eigen::Index i = 0; i < n; ++i) {
                P.col(i) = w[i] * (rest.col(i) - cs.transpose());
                Q.col(i) = residual.col(i) - w[i] * ct.transpose();
            }

            const MMatrix M = in.rigidMatrices ? fitRigid(P, Q, cs, ct) : fitAffine(P, Q, cs, ct);
            const MMatrix fitted = restWorld[static_cast<size_t>(g)] * M;
            // A singular binding matrix has no rest world matrix: keep the old
            // transform rather than store a non-finite one.
            if (!isFinite(fitted)) continue;
            transforms[g] = fitted;
            skinning[static_cast<size_t>(g)] = solver.bindingMatrices[g] * fitted;
        }
    }
}
