#pragma once
// Matrices built independently of the host, straight from the row-vector
// definitions, to check the host's composition against.

#include <cmath>
#include <string>

#include <maya/MMatrix.h>

namespace reference {

inline MMatrix rotation(char axis, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    if (axis == 'x') m[1][1] = c, m[1][2] = s, m[2][1] = -s, m[2][2] = c;
    if (axis == 'y') m[0][0] = c, m[0][2] = -s, m[2][0] = s, m[2][2] = c;
    if (axis == 'z') m[0][0] = c, m[0][1] = s, m[1][0] = -s, m[1][1] = c;
    return MMatrix(m);
}

// R for an order such as "yzx": the letters' rotations multiplied in order.
inline MMatrix euler(const std::string& order, double rx, double ry, double rz) {
    MMatrix r;
    for (char axis : order) r = r * rotation(axis, axis == 'x' ? rx : (axis == 'y' ? ry : rz));
    return r;
}

inline MMatrix scale(double sx, double sy, double sz) {
    MMatrix m;
    m[0][0] = sx, m[1][1] = sy, m[2][2] = sz;
    return m;
}

inline MMatrix shear(double xy, double xz, double yz) {
    MMatrix m;
    m[1][0] = xy, m[2][0] = xz, m[2][1] = yz;
    return m;
}

inline MMatrix translation(double x, double y, double z) {
    MMatrix m;
    m[3][0] = x, m[3][1] = y, m[3][2] = z;
    return m;
}

// Orders in MEulerRotation numbering (kXYZ = 0 ... kZYX = 5).
inline const char* orderName(int order) {
    static const char* names[] = {"xyz", "yzx", "zxy", "xzy", "yxz", "zyx"};
    return names[order];
}

}  // namespace reference
