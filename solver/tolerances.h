#pragma once
// Every numerical threshold of the solver steps, in one place.

// Weights below this are pruned by the weight step, left out of the per-bone
// index, and a bone whose listed weights sum to less than it is not refitted.
constexpr double kWeightThreshold = 1e-7;

// Optimality tolerance on the dual vector of the non-negative least-squares
// solves of the weight step (absolute, in squared scene units).
constexpr double kNnlsEpsilon = 1e-10;

// A column whose new diagonal entry of R is at most this fraction of its norm
// is numerically a combination of the passive columns. Letting it enter would
// divide by a rounding residue; its true dual value is zero anyway, so it is
// held at zero instead. Householder rounding stays near 1e-13 of the norm for
// the problem sizes here, so this sits well above it.
constexpr double kDependentColumnTolerance = 1e-9;

// The affine bone fit is determined only when the centred rest positions span
// three dimensions; a diagonal entry of their R factor at most this fraction of
// the largest column norm marks a flat, collinear or coincident set.
constexpr double kAffineRankTolerance = 1e-9;

// Smallest eigenvalue of P P^T (the centred rest positions of a bone),
// relative to the largest, below which the positions count as flat for the
// rigid fit: a singular value ratio of about 1e-7, while the eigenvalues are
// known to about 1e-16 of the largest. The sign of such a fit's normal follows
// the rounding of its residuals.
constexpr double kFlatTolerance = 1e-14;
