#pragma once
// Kernels of the bone step and the binding update. Detail header (exposes
// Eigen): only solver sources and tests include it.
//
// A fit maps rest positions to a bone's share of the target positions. For the
// n listed vertices of a bone: P (3 x n) holds w_i * (p_i - c_s) per column,
// Q (3 x n) holds r_i - w_i * c_t; c_s and c_t are the source and target
// centroids as row vectors. The result M has the linear part A in its top
// 3 x 3 block and t = c_t - c_s * A in row 3, so that p * M = p * A + t in the
// host's row-vector convention.

#include <cstdint>

#include <maya/MMatrix.h>
#include <Eigen/Core>

#include "common/decomposition_state.h"

// Weighted orthogonal Procrustes: A is the proper rotation (det +1) nearest
// the data in the least-squares sense, from the SVD P Q^T = U S V^T:
// A = U diag(1, 1, det(U V^T)) V^T, so that where U V^T is a reflection the
// singular pair of the smallest singular value (a flat region's normal) is
// the one turned.
MMatrix fitRigid(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                 const Eigen::RowVector3d& ct);

// Weighted linear least squares P^T X = Q^T by unpivoted Householder QR. The
// affine map is determined only by four or more rest positions that are not
// coplanar; for fewer, or flat, collinear or coincident ones, the result of
// fitRankDeficientAffine is returned instead.
MMatrix fitAffine(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                  const Eigen::RowVector3d& ct);

// The affine fit when the centred rest positions do not span three
// dimensions: least squares (minimum norm) within the directions they span,
// and the rigid fit's linear map across the others. Always finite for finite
// input; with no spanned direction at all it is the rigid fit.
MMatrix fitRankDeficientAffine(const Eigen::Matrix3Xd& P, const Eigen::Matrix3Xd& Q, const Eigen::RowVector3d& cs,
                               const Eigen::RowVector3d& ct);

// Centroid of the rest positions of a bone's listed vertices, weighted by
// their current weights over the plain weight sum. Not finite when the weights
// sum to zero.
Eigen::Vector3d bindingCentroid(const DecompositionState& state, int32_t bone);

// Moves `binding` so that its inverse, the bone's rest world matrix, keeps
// its linear part and has its origin at the centroid c. Leaves it as it is
// when c, the rest world matrix or the moved binding is not finite.
void moveBindingToCentroid(const Eigen::Vector3d& c, MMatrix& binding);

// How the bone step fitted its (shape, bone) pairs: from the 3 x 3 sums of
// the fast path, or by the explicit fit on the bone's residuals (bones marked
// exact, affine fits the sums cannot solve, and rigid fits whose smallest
// singular value lies within the sums' rounding).
struct BoneStepCounts {
    int64_t sumFits = 0;
    int64_t exactFits = 0;
};

// solveBones, adding its fit counts to *counts when counts is not null.
void solveBonesCounting(DecompositionState& state, BoneStepCounts* counts);
