#pragma once
// A 3-component double vector.

#include <cmath>

class MVector {
public:
    MVector() = default;
    MVector(double xx, double yy, double zz = 0.0) : x(xx), y(yy), z(zz) {}

    double length() const { return std::sqrt(x * x + y * y + z * z); }
#ifndef VANTREL_HOST_API_SUBSET
    MVector normal() const {
        double len = length();
        return len > 0.0 ? MVector(x / len, y / len, z / len) : *this;
    }
#endif
    double operator*(const MVector& other) const { return x * other.x + y * other.y + z * other.z; }
    MVector operator^(const MVector& o) const {
        return MVector(y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x);
    }
#ifndef VANTREL_HOST_API_SUBSET
    MVector operator*(double s) const { return MVector(x * s, y * s, z * s); }
    MVector operator/(double s) const { return MVector(x / s, y / s, z / s); }
    MVector operator+(const MVector& o) const { return MVector(x + o.x, y + o.y, z + o.z); }
    MVector operator-(const MVector& o) const { return MVector(x - o.x, y - o.y, z - o.z); }
    MVector operator-() const { return MVector(-x, -y, -z); }
    MVector& operator+=(const MVector& o) {
        x += o.x, y += o.y, z += o.z;
        return *this;
    }
    double operator[](unsigned int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    bool isEquivalent(const MVector& o, double tolerance = 1e-10) const {
        return std::fabs(x - o.x) <= tolerance && std::fabs(y - o.y) <= tolerance && std::fabs(z - o.z) <= tolerance;
    }
#endif

    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

#ifndef VANTREL_HOST_API_SUBSET
inline MVector operator*(double s, const MVector& v) { return v * s; }
#endif
