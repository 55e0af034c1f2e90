#include <maya/MEulerRotation.h>

#include <cmath>

namespace {

// Axes of each order in application order (x = 0, y = 1, z = 2).
const int kAxes[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {0, 2, 1}, {1, 0, 2}, {2, 1, 0}};

MMatrix axisRotation(int axis, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    const int u = (axis + 1) % 3, v = (axis + 2) % 3;
    MMatrix m;
    m[u][u] = c;
    m[u][v] = s;
    m[v][u] = -s;
    m[v][v] = c;
    return m;
}

}  // namespace

const MEulerRotation MEulerRotation::identity;

MEulerRotation& MEulerRotation::setValue(double xx, double yy, double zz, RotationOrder ord) {
    x = xx, y = yy, z = zz, order = ord;
    return *this;
}

MMatrix MEulerRotation::asMatrix() const {
    const int* axes = kAxes[order];
    const double angles[3] = {x, y, z};
    return axisRotation(axes[0], angles[axes[0]]) * axisRotation(axes[1], angles[axes[1]]) *
           axisRotation(axes[2], angles[axes[2]]);
}

MEulerRotation MEulerRotation::decompose(const MMatrix& matrix, RotationOrder ord) {
    // In column-vector terms the row-vector matrix R_i * R_j * R_k is
    // M = Rk * Rj * Ri with M[r][c] = matrix[c][r]: a rotation about fixed
    // axes i, j, k in turn. Orders that are odd permutations of xyz are the
    // mirror image of even ones, which negates the angles.
    const int i = kAxes[ord][0], j = kAxes[ord][1], k = kAxes[ord][2];
    const bool odd = ord == kXZY || ord == kYXZ || ord == kZYX;
    auto m = [&](int r, int c) { return matrix.matrix[c][r]; };
    // Angle about the last axis first; the first angle is then solved with
    // it removed, which stays exact near gimbal lock (where the split between
    // the two is free).
    const double last = std::atan2(m(j, i), m(i, i));
    const double middle = std::atan2(-m(k, i), std::hypot(m(i, i), m(j, i)));
    const double sl = std::sin(last), cl = std::cos(last);
    const double first = std::atan2(sl * m(i, k) - cl * m(j, k), cl * m(j, j) - sl * m(i, j));
    double angles[3];
    angles[i] = odd ? -first : first;
    angles[j] = odd ? -middle : middle;
    angles[k] = odd ? -last : last;
    return MEulerRotation(angles[0], angles[1], angles[2], ord);
}

MEulerRotation& MEulerRotation::reorderIt(RotationOrder ord) { return *this = decompose(asMatrix(), ord); }

MEulerRotation MEulerRotation::reorder(RotationOrder ord) const { return decompose(asMatrix(), ord); }

bool MEulerRotation::isEquivalent(const MEulerRotation& other, double tolerance) const {
    return asMatrix().isEquivalent(other.asMatrix(), tolerance);
}

bool MEulerRotation::operator==(const MEulerRotation& other) const {
    return x == other.x && y == other.y && z == other.z && order == other.order;
}
