// The one home of the readers' and writer's matrix helpers, in the row-vector
// convention of mesh_animation.h: 16 doubles row major, a point p maps to
// p * M, translation in elements 12..14. The same 16 numbers read column major
// are glTF's matrix (M transposed), so no copy is transposed in memory.
#pragma once

#include <array>

namespace vantrel::io {

using Matrix4 = std::array<double, 16>;
using Vec3 = std::array<double, 3>;

Matrix4 identityMatrix();
// First a, then b: p * a * b.
Matrix4 multiply(const Matrix4& a, const Matrix4& b);
// Inline: the export's error measure calls it for every vertex, frame and
// influence.
inline Vec3 transformPoint(const Vec3& p, const Matrix4& m) {
    return {p[0] * m[0] + p[1] * m[4] + p[2] * m[8] + m[12], p[0] * m[1] + p[1] * m[5] + p[2] * m[9] + m[13],
            p[0] * m[2] + p[1] * m[6] + p[2] * m[10] + m[14]};
}
// General 4x4 inverse; an all-NaN matrix when m is singular.
Matrix4 inverse(const Matrix4& m);

// glTF node transform parts: the column-vector matrix is T * R * S.
struct Trs {
    Vec3 translation{0, 0, 0};
    std::array<double, 4> rotation{0, 0, 0, 1};  // unit quaternion x, y, z, w
    Vec3 scale{1, 1, 1};
};

// The row-vector matrix of a TRS.
Matrix4 trsMatrix(const Trs& trs);

struct TrsFit {
    Trs trs;
    // How far the 3x3 part is from the fitted rotation * scale:
    // |A - R S|_F / |A|_F (0 for an exact TRS, up to rounding).
    double shear = 0.0;
};

// The closest TRS to an affine matrix, kept simple: the rotation R is the
// proper rotation of the polar decomposition of the 3x3 part A (from its SVD,
// A = U S V^T, R = U V^T with U's last column negated when that would be a
// reflection), the scale is the diagonal of R^T A (the stretch along R's
// axes; a reflection becomes a negative scale), the translation is kept.
// Off-diagonal stretch (shear) is dropped and measured in `shear`.
TrsFit closestTrs(const Matrix4& m);

}  // namespace vantrel::io
