#pragma once
// A transformation as channels: scale, shear, rotation (with its order) and
// translation, composed with row vectors as S * Sh * R * T. S = diag(sx, sy,
// sz); Sh is the identity with [1][0] = xy, [2][0] = xz, [2][1] = yz; R is the
// Euler rotation; T carries the translation in row 3.
//
// Built from a matrix, the upper 3x3 is split into S * Sh * R by Gram-Schmidt
// on its rows (row 0 first), a negative determinant is carried by a negative
// sz, and R is expressed in order kXYZ. asMatrix() gives the matrix back to
// rounding. Only kTransform space is distinct for these channels; every space
// argument reads the same values.

#include <maya/MEulerRotation.h>
#include <maya/MMatrix.h>
#include <maya/MStatus.h>
#include <maya/MTypes.h>
#include <maya/MVector.h>

class MTransformationMatrix {
public:
    enum RotationOrder { kInvalid = 0, kXYZ, kYZX, kZXY, kXZY, kYXZ, kZYX, kLast };

#ifndef VANTREL_HOST_API_SUBSET
    MTransformationMatrix() = default;
#endif
    MTransformationMatrix(const MMatrix& matrix);  // NOLINT: implicit as in the SDK

    MMatrix asMatrix() const;
#ifndef VANTREL_HOST_API_SUBSET
    MMatrix asMatrixInverse() const;
#endif

    MEulerRotation eulerRotation() const { return rotation_; }
#ifndef VANTREL_HOST_API_SUBSET
    MTransformationMatrix& rotateTo(const MEulerRotation& rotation);
    RotationOrder rotationOrder(MStatus* ReturnStatus = NULL) const;
    // Keeps the orientation, expresses it in another order.
    MStatus reorderRotation(const RotationOrder& order);
#endif

    MStatus getScale(double scale[3], MSpace::Space space) const;
#ifndef VANTREL_HOST_API_SUBSET
    MStatus setScale(const double scale[3], MSpace::Space space);
#endif
    // Shear as (xy, xz, yz).
    MStatus getShear(double shear[3], MSpace::Space space) const;
#ifndef VANTREL_HOST_API_SUBSET
    MStatus setShear(const double shear[3], MSpace::Space space);
    MVector getTranslation(MSpace::Space space, MStatus* ReturnStatus = NULL) const;
    MStatus setTranslation(const MVector& vector, MSpace::Space space);
#endif

#ifndef VANTREL_HOST_API_SUBSET
    bool isEquivalent(const MTransformationMatrix& other, double tolerance = 1e-10) const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    static const MTransformationMatrix identity;
#endif

private:
    double scale_[3] = {1.0, 1.0, 1.0};
    double shear_[3] = {0.0, 0.0, 0.0};
    MEulerRotation rotation_;
    MVector translation_;
};
