#include <maya/MTransformationMatrix.h>

#include <cmath>

const MTransformationMatrix MTransformationMatrix::identity;

MTransformationMatrix::MTransformationMatrix(const MMatrix& matrix) {
    // Gram-Schmidt on the rows of the upper 3x3 = S * Sh * R:
    //   a0 = sx r0,  a1 = sy (xy r0 + r1),  a2 = sz (xz r0 + yz r1 + r2).
    MVector a0(matrix[0][0], matrix[0][1], matrix[0][2]);
    MVector a1(matrix[1][0], matrix[1][1], matrix[1][2]);
    MVector a2(matrix[2][0], matrix[2][1], matrix[2][2]);
    const double sx = a0.length();
    const MVector r0 = a0 / sx;
    const double a1r0 = a1 * r0;
    const MVector v1 = a1 - r0 * a1r0;
    const double sy = v1.length();
    const MVector r1 = v1 / sy;
    // r2 completes a proper rotation; sz takes the sign of the determinant.
    const MVector r2 = r0 ^ r1;
    const double a2r0 = a2 * r0, a2r1 = a2 * r1;
    const double sz = a2 * r2;
    scale_[0] = sx, scale_[1] = sy, scale_[2] = sz;
    shear_[0] = a1r0 / sy;
    shear_[1] = a2r0 / sz;
    shear_[2] = a2r1 / sz;
    MMatrix rotation;
    const MVector rows[3] = {r0, r1, r2};
    for (int r = 0; r < 3; ++r) rotation[r][0] = rows[r].x, rotation[r][1] = rows[r].y, rotation[r][2] = rows[r].z;
    rotation_ = MEulerRotation::decompose(rotation, MEulerRotation::kXYZ);
    translation_ = MVector(matrix[3][0], matrix[3][1], matrix[3][2]);
}

MMatrix MTransformationMatrix::asMatrix() const {
    MMatrix scaleShear;  // S * Sh
    scaleShear[0][0] = scale_[0];
    scaleShear[1][0] = scale_[1] * shear_[0];
    scaleShear[1][1] = scale_[1];
    scaleShear[2][0] = scale_[2] * shear_[1];
    scaleShear[2][1] = scale_[2] * shear_[2];
    scaleShear[2][2] = scale_[2];
    MMatrix result = scaleShear * rotation_.asMatrix();
    result[3][0] = translation_.x;
    result[3][1] = translation_.y;
    result[3][2] = translation_.z;
    return result;
}

MMatrix MTransformationMatrix::asMatrixInverse() const { return asMatrix().inverse(); }

MTransformationMatrix& MTransformationMatrix::rotateTo(const MEulerRotation& rotation) {
    rotation_ = rotation;
    return *this;
}

MTransformationMatrix::RotationOrder MTransformationMatrix::rotationOrder(MStatus* ReturnStatus) const {
    if (ReturnStatus) *ReturnStatus = MS::kSuccess;
    return static_cast<RotationOrder>(rotation_.order + 1);
}

MStatus MTransformationMatrix::reorderRotation(const RotationOrder& order) {
    if (order <= kInvalid || order >= kLast) return MS::kInvalidParameter;
    rotation_.reorderIt(static_cast<MEulerRotation::RotationOrder>(order - 1));
    return MS::kSuccess;
}

MStatus MTransformationMatrix::getScale(double scale[3], MSpace::Space) const {
    for (int i = 0; i < 3; ++i) scale[i] = scale_[i];
    return MS::kSuccess;
}

MStatus MTransformationMatrix::setScale(const double scale[3], MSpace::Space) {
    for (int i = 0; i < 3; ++i) scale_[i] = scale[i];
    return MS::kSuccess;
}

MStatus MTransformationMatrix::getShear(double shear[3], MSpace::Space) const {
    for (int i = 0; i < 3; ++i) shear[i] = shear_[i];
    return MS::kSuccess;
}

MStatus MTransformationMatrix::setShear(const double shear[3], MSpace::Space) {
    for (int i = 0; i < 3; ++i) shear_[i] = shear[i];
    return MS::kSuccess;
}

MVector MTransformationMatrix::getTranslation(MSpace::Space, MStatus* ReturnStatus) const {
    if (ReturnStatus) *ReturnStatus = MS::kSuccess;
    return translation_;
}

MStatus MTransformationMatrix::setTranslation(const MVector& vector, MSpace::Space) {
    translation_ = vector;
    return MS::kSuccess;
}

bool MTransformationMatrix::isEquivalent(const MTransformationMatrix& other, double tolerance) const {
    return asMatrix().isEquivalent(other.asMatrix(), tolerance);
}
