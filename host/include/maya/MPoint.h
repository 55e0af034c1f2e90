#pragma once
// Homogeneous double point (x, y, z, w), a row vector in the host's matrix
// convention: p * M is the full 4-component product, with no division by w.

#include <cmath>

#include <maya/MMatrix.h>
#include <maya/MVector.h>

class MPoint {
public:
    MPoint() = default;
    MPoint(double xx, double yy, double zz = 0.0, double ww = 1.0) : x(xx), y(yy), z(zz), w(ww) {}
#ifndef VANTREL_HOST_API_SUBSET
    explicit MPoint(const MVector& v) : x(v.x), y(v.y), z(v.z) {}
#endif

    MPoint operator*(const MMatrix& m) const {
        const auto& a = m.matrix;
        return MPoint(x * a[0][0] + y * a[1][0] + z * a[2][0] + w * a[3][0],
                      x * a[0][1] + y * a[1][1] + z * a[2][1] + w * a[3][1],
                      x * a[0][2] + y * a[1][2] + z * a[2][2] + w * a[3][2],
                      x * a[0][3] + y * a[1][3] + z * a[2][3] + w * a[3][3]);
    }
#ifndef VANTREL_HOST_API_SUBSET
    MPoint& operator*=(const MMatrix& m) { return *this = *this * m; }
#endif
    MVector operator-(const MPoint& o) const { return MVector(x - o.x, y - o.y, z - o.z); }
    MPoint operator+(const MVector& v) const { return MPoint(x + v.x, y + v.y, z + v.z, w); }
#ifndef VANTREL_HOST_API_SUBSET
    MPoint operator-(const MVector& v) const { return MPoint(x - v.x, y - v.y, z - v.z, w); }
    bool operator==(const MPoint& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const MPoint& o) const { return !(*this == o); }
    double operator[](unsigned int i) const { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
    double& operator[](unsigned int i) { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    double distanceTo(const MPoint& o) const { return (*this - o).length(); }
    bool isEquivalent(const MPoint& o, double tolerance = 1e-10) const {
        return std::fabs(x - o.x) <= tolerance && std::fabs(y - o.y) <= tolerance && std::fabs(z - o.z) <= tolerance &&
               std::fabs(w - o.w) <= tolerance;
    }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    static const MPoint origin;
#endif

    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};
