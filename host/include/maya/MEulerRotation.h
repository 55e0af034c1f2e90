#pragma once
// A rotation as three angles in radians about the x, y and z axes, applied in
// the order's letter order (kXYZ: x first). With row vectors the matrix of
// order kXYZ is Rx * Ry * Rz, where Rx(a) has rows (1, 0, 0), (0, cos a,
// sin a), (0, -sin a, cos a) and Ry, Rz follow the same pattern.

#include <maya/MMatrix.h>
#include <maya/MVector.h>

class MEulerRotation {
public:
    // One less than MTransformationMatrix::RotationOrder.
    enum RotationOrder { kXYZ = 0, kYZX, kZXY, kXZY, kYXZ, kZYX };

#ifndef VANTREL_HOST_API_SUBSET
    MEulerRotation() = default;
#endif
    MEulerRotation(double xx, double yy, double zz, RotationOrder ord = kXYZ) : x(xx), y(yy), z(zz), order(ord) {}
#ifndef VANTREL_HOST_API_SUBSET
    MEulerRotation(const MVector& v, RotationOrder ord = kXYZ) : x(v.x), y(v.y), z(v.z), order(ord) {}
#endif

#ifndef VANTREL_HOST_API_SUBSET
    MEulerRotation& setValue(double xx, double yy, double zz, RotationOrder ord = kXYZ);
    MVector asVector() const { return MVector(x, y, z); }
#endif
    // The rotation matrix (upper 3x3; no translation).
    MMatrix asMatrix() const;

    // The same orientation expressed in another order (same matrix).
    MEulerRotation& reorderIt(RotationOrder ord);
#ifndef VANTREL_HOST_API_SUBSET
    MEulerRotation reorder(RotationOrder ord) const;
#endif

    // Angles of a matrix's rotation in the given order. The upper 3x3 must be
    // a proper rotation. Near gimbal lock the last angle is 0.
    static MEulerRotation decompose(const MMatrix& matrix, RotationOrder ord);

#ifndef VANTREL_HOST_API_SUBSET
    bool isEquivalent(const MEulerRotation& other, double tolerance = 1e-10) const;
    bool operator==(const MEulerRotation& other) const;
    bool operator!=(const MEulerRotation& other) const { return !(*this == other); }
    double operator[](unsigned int i) const { return i == 0 ? x : (i == 1 ? y : z); }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    static const MEulerRotation identity;
#endif

    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    RotationOrder order = kXYZ;
};
