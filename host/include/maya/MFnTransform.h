#pragma once
// Function set of transforms and joints.

#include <maya/MFnDagNode.h>
#include <maya/MTransformationMatrix.h>
#include <maya/MVector.h>

class MFnTransform : public MFnDagNode {
public:
    MFnTransform() = default;
    MFnTransform(const MObject& object, MStatus* ReturnStatus = NULL);
    MFnTransform(const MDagPath& path, MStatus* ReturnStatus = NULL);

    MFn::Type type() const override { return MFn::kTransform; }

    // From the node's rotate order (its "ro" attribute, 0 = xyz), numbered as
    // MTransformationMatrix::RotationOrder (kXYZ = 1).
    MTransformationMatrix::RotationOrder rotationOrder(MStatus* ReturnStatus = NULL) const;
    // The local transformation at the current time.
    MTransformationMatrix transformation(MStatus* ReturnStatus = NULL) const;
    MVector getTranslation(MSpace::Space space, MStatus* ReturnStatus = NULL) const;
};
