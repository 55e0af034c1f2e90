#include <maya/MMatrix.h>

#include <cmath>
#include <utility>

const MMatrix MMatrix::identity;

MMatrix MMatrix::operator+(const MMatrix& right) const {
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.matrix[r][c] = matrix[r][c] + right.matrix[r][c];
    return out;
}

MMatrix MMatrix::operator-(const MMatrix& right) const {
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.matrix[r][c] = matrix[r][c] - right.matrix[r][c];
    return out;
}

MMatrix MMatrix::operator*(double scale) const {
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.matrix[r][c] = matrix[r][c] * scale;
    return out;
}

bool MMatrix::operator==(const MMatrix& other) const {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (matrix[r][c] != other.matrix[r][c]) return false;
    return true;
}

MMatrix MMatrix::inverse() const {
    double a[4][4];
    MMatrix out;  // identity, becomes the inverse
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) a[r][c] = matrix[r][c];
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        if (pivot != col) {
            for (int c = 0; c < 4; ++c) {
                std::swap(a[pivot][c], a[col][c]);
                std::swap(out.matrix[pivot][c], out.matrix[col][c]);
            }
        }
        const double inv = 1.0 / a[col][col];
        for (int c = 0; c < 4; ++c) {
            a[col][c] *= inv;
            out.matrix[col][c] *= inv;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            const double f = a[r][col];
            if (f == 0.0) continue;
            for (int c = 0; c < 4; ++c) {
                a[r][c] -= f * a[col][c];
                out.matrix[r][c] -= f * out.matrix[col][c];
            }
        }
    }
    return out;
}

MMatrix MMatrix::transpose() const {
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out.matrix[r][c] = matrix[c][r];
    return out;
}

double MMatrix::det3x3() const {
    const auto& m = matrix;
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

double MMatrix::det4x4() const {
    const auto& m = matrix;
    double det = 0.0;
    for (int c = 0; c < 4; ++c) {
        // Minor of element (0, c).
        int cols[3], k = 0;
        for (int j = 0; j < 4; ++j)
            if (j != c) cols[k++] = j;
        const double minor = m[1][cols[0]] * (m[2][cols[1]] * m[3][cols[2]] - m[2][cols[2]] * m[3][cols[1]]) -
                             m[1][cols[1]] * (m[2][cols[0]] * m[3][cols[2]] - m[2][cols[2]] * m[3][cols[0]]) +
                             m[1][cols[2]] * (m[2][cols[0]] * m[3][cols[1]] - m[2][cols[1]] * m[3][cols[0]]);
        det += ((c % 2) ? -1.0 : 1.0) * m[0][c] * minor;
    }
    return det;
}

bool MMatrix::isEquivalent(const MMatrix& other, double tolerance) const {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!(std::fabs(matrix[r][c] - other.matrix[r][c]) <= tolerance)) return false;
    return true;
}

bool MMatrix::isSingular() const { return det4x4() == 0.0; }
