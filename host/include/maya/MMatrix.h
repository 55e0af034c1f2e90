#pragma once
// 4x4 double matrix in the host's row-vector convention: a point is a row
// vector multiplied on the left (p * M), the translation sits in row 3, and
// A * B applies A first. Elements are addressed [row][column].

class MMatrix {
public:
    MMatrix() {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) matrix[r][c] = (r == c) ? 1.0 : 0.0;
    }
    explicit MMatrix(const double m[4][4]) {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) matrix[r][c] = m[r][c];
    }

    double operator()(unsigned int row, unsigned int col) const { return matrix[row][col]; }
    double& operator()(unsigned int row, unsigned int col) { return matrix[row][col]; }
    const double* operator[](unsigned int row) const { return matrix[row]; }
    double* operator[](unsigned int row) { return matrix[row]; }

    MMatrix operator*(const MMatrix& right) const {
        MMatrix out;
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                out.matrix[r][c] = matrix[r][0] * right.matrix[0][c] + matrix[r][1] * right.matrix[1][c] +
                                   matrix[r][2] * right.matrix[2][c] + matrix[r][3] * right.matrix[3][c];
            }
        }
        return out;
    }
#ifndef VANTREL_HOST_API_SUBSET
    MMatrix& operator*=(const MMatrix& right) { return *this = *this * right; }
    MMatrix operator+(const MMatrix& right) const;
    MMatrix operator-(const MMatrix& right) const;
    MMatrix operator*(double scale) const;
    bool operator==(const MMatrix& other) const;
    bool operator!=(const MMatrix& other) const { return !(*this == other); }
#endif

    // Full 4x4 inverse by Gauss-Jordan elimination with partial pivoting. A
    // singular matrix gives non-finite entries, as the division by a zero
    // pivot does.
    MMatrix inverse() const;
    MMatrix transpose() const;
#ifndef VANTREL_HOST_API_SUBSET
    MMatrix& setToIdentity() { return *this = MMatrix(); }
#endif
    double det3x3() const;
    double det4x4() const;
    bool isEquivalent(const MMatrix& other, double tolerance = 1e-10) const;
#ifndef VANTREL_HOST_API_SUBSET
    bool isSingular() const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    static const MMatrix identity;
#endif

    double matrix[4][4];
};
