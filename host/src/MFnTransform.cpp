#include <maya/MFnTransform.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

MFnTransform::MFnTransform(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnTransform::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MFnTransform::MFnTransform(const MDagPath& path, MStatus* ReturnStatus) {
    const MStatus status = MFnDagNode::setObject(path);
    if (ReturnStatus) *ReturnStatus = status;
}

MTransformationMatrix::RotationOrder MFnTransform::rotationOrder(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kTransform);
    double order = 0.0;
    if (!node || !evaluateNumber(scene(), PlugKey{node->id, "ro", -1}, order) || order < 0.0 || order > 5.0) {
        setStatus(ReturnStatus, MS::kFailure);
        return MTransformationMatrix::kInvalid;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return static_cast<MTransformationMatrix::RotationOrder>(static_cast<int>(order) + 1);
}

MTransformationMatrix MFnTransform::transformation(MStatus* ReturnStatus) const {
    return MTransformationMatrix(transformationMatrix(ReturnStatus));
}

MVector MFnTransform::getTranslation(MSpace::Space space, MStatus* ReturnStatus) const {
    const MMatrix matrix =
        space == MSpace::kWorld ? path_.inclusiveMatrix(ReturnStatus) : transformationMatrix(ReturnStatus);
    return MVector(matrix[3][0], matrix[3][1], matrix[3][2]);
}
