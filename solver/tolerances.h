#pragma once
// Every numerical threshold of the solver steps, in one place.

#include <cstdint>
#include <limits>

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

// Smallest squared pivot of the normal equations' light part (the
// differences between a vertex's columns, the shared part taken out),
// relative to the column's squared norm there, that they decide on their
// own: the pivot is then known to about 1e-8 relative, so its sign is sure,
// and the passive solves lose at most about 1e-16 / 1e-8 of the tall solve's
// accuracy. Choosing influences, that is up to about 1e-8 in weights whose rank
// decides the list only where candidates tie that closely; the list solve
// that gives the weights is refined (below). At 1e-6, 2 % of a morph-target
// blob's selections went to the reduced design matrix; at 1e-8, 0.1 %.
constexpr double kGramPivotTolerance = 1e-8;

// A solve over a vertex's influence list whose smallest squared pivot, so
// measured, is below this is refined once on the vertex's tall rows: several
// near-dependent pivots compound. On a motion-captured character (24k
// vertices, 40 joints, 8 influences) the normal equations alone leave
// weights up to 1.5e-9 from the tall solve's; refining the 11 % of list
// solves below this brings them within 3e-11 (5e-5: 5 %, 1.2e-10).
constexpr double kGramRefinePivot = 1e-4;

// A squared pivot of the light part below this fraction of the column's
// whole squared norm is too near the line where the tall solve blocks the
// column (kDependentColumnTolerance, squared) for the normal equations to
// take the same side: a factor of 100 above it, they leave it to the tall
// solve.
constexpr double kGramDecidedPivot = 1e2 * kDependentColumnTolerance * kDependentColumnTolerance;

// A duplicate column within this fraction of its norm is dependent on any
// passive set holding its twin, so the tall solve always blocks it.
constexpr double kDuplicateTolerance = 1e-12;

// The affine bone fit is determined only when the centred rest positions span
// three dimensions; a diagonal entry of their R factor at most this fraction of
// the largest column norm marks a flat, collinear or coincident set.
constexpr double kAffineRankTolerance = 1e-9;

// Rounding of the 3 x 3 sum P Q^T that the bone step forms for a rigid fit
// from per-bone sums instead of from each shape's residuals, per unit of
// sum_i |P_i| * Y, with P_i the centred, weighted rest positions and Y the
// size of the largest target or rest position. Each entry of the sum is a sum
// over the listed vertices of P_i times a target, less P_i times the other
// bones' images of rest positions (the couplings), less the weighted P_i
// times the target centroid: terms of at most |P_i| Y each, every product and
// every addition rounded to a relative eps. Their errors are of either sign,
// so an entry is off by a few eps sum_i |P_i| Y (about 3: product, sum,
// difference), and the spectral norm of the error by at most the Frobenius
// norm, sqrt(9) times that: about 10 eps. A smallest singular value below
// this may belong to the rounding alone, and with it the sign of the third
// singular pair, so that shape's fit is taken from the residuals instead.
constexpr double kCovarianceRounding = 10.0 * std::numeric_limits<double>::epsilon();

// Cap on the passive-set solves of one vertex's non-negative least-squares
// solve over `columns` candidates: the selection over every bone (columns =
// J) and the solve over the vertex's influence list (columns = maxInfluence).
constexpr int32_t nnlsIterationCap(int32_t columns) { return 10 * columns; }
