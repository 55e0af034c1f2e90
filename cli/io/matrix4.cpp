#include "cli/io/matrix4.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace vantrel::io {

namespace {
using RowMatrix = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
}  // namespace

Matrix4 identityMatrix() {
    Matrix4 m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += a[std::size_t(4 * i + k)] * b[std::size_t(4 * k + j)];
            r[std::size_t(4 * i + j)] = s;
        }
    }
    return r;
}

Matrix4 inverse(const Matrix4& m) {
    const Eigen::Map<const RowMatrix> a(m.data());
    Eigen::FullPivLU<Eigen::Matrix4d> lu(a);
    Matrix4 r;
    if (!lu.isInvertible()) {
        r.fill(std::numeric_limits<double>::quiet_NaN());
        return r;
    }
    Eigen::Map<RowMatrix>(r.data()) = lu.inverse();
    return r;
}

Matrix4 trsMatrix(const Trs& trs) {
    const Eigen::Quaterniond q(trs.rotation[3], trs.rotation[0], trs.rotation[1], trs.rotation[2]);
    const Eigen::Matrix3d rs =
        q.normalized().toRotationMatrix() * Eigen::Vector3d(trs.scale[0], trs.scale[1], trs.scale[2]).asDiagonal();
    Matrix4 m = identityMatrix();
    // Row-vector matrix = column-vector matrix transposed.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[std::size_t(4 * i + j)] = rs(j, i);
        m[std::size_t(12 + i)] = trs.translation[std::size_t(i)];
    }
    return m;
}

TrsFit closestTrs(const Matrix4& m) {
    Eigen::Matrix3d a;  // column-vector 3x3 part
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) a(j, i) = m[std::size_t(4 * i + j)];
    }
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d u = svd.matrixU();
    const Eigen::Matrix3d v = svd.matrixV();
    Eigen::Matrix3d r = u * v.transpose();
    if (r.determinant() < 0) {
        u.col(2) = -u.col(2);  // the smallest singular value's axis takes the reflection
        r = u * v.transpose();
    }
    const Eigen::Matrix3d stretch = r.transpose() * a;
    const Eigen::Vector3d scale = stretch.diagonal();

    TrsFit fit;
    // Normalised and clamped: a rotation one rounding off orthonormal can give
    // a component a rounding above 1, which glTF refuses.
    const Eigen::Quaterniond q = Eigen::Quaterniond(r).normalized();
    fit.trs.rotation = {std::clamp(q.x(), -1.0, 1.0), std::clamp(q.y(), -1.0, 1.0), std::clamp(q.z(), -1.0, 1.0),
                        std::clamp(q.w(), -1.0, 1.0)};
    fit.trs.scale = {scale[0], scale[1], scale[2]};
    fit.trs.translation = {m[12], m[13], m[14]};
    const double norm = a.norm();
    fit.shear = norm > 0 ? (a - r * scale.asDiagonal()).norm() / norm : 0.0;
    return fit;
}

}  // namespace vantrel::io
