#pragma once
// Function set of transforms and joints.

#include <maya/MFnDagNode.h>
#include <maya/MTransformationMatrix.h>
#include <maya/MVector.h>

class MFnTransform : public MFnDagNode {
public:
    MFnTransform() = default;
#ifndef VANTREL_HOST_API_SUBSET
    MFnTransform(const MObject& object, MStatus* ReturnStatus = NULL);
#endif
    MFnTransform(const MDagPath& path, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kTransform; }
#endif

    // From the node's rotate order (its "ro" attribute, 0 = xyz), numbered as
    // MTransformationMatrix::RotationOrder (kXYZ = 1).
    MTransformationMatrix::RotationOrder rotationOrder(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The local transformation at the current time.
    MTransformationMatrix transformation(MStatus* ReturnStatus = NULL) const;
    MVector getTranslation(MSpace::Space space, MStatus* ReturnStatus = NULL) const;
#endif
};
