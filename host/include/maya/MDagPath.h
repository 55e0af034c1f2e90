#pragma once
// A path from the world to a DAG node. Transforms and joints have exactly
// one path; a mesh has one more for every transform it is instanced under
// (the same shape reached through another parent). A shape's path answers
// the matrices of the transform it goes through. An empty path answers
// identity matrices and a failing status; the world's own path answers
// identity with success.

#include <maya/MMatrix.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>
#include <maya/MString.h>

class MDagPath {
public:
    MDagPath() = default;

#ifndef VANTREL_HOST_API_SUBSET
    bool isValid(MStatus* ReturnStatus = NULL) const;
#endif
    MObject node(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The transform of a shape's path, or the node itself for a transform.
    MObject transform(MStatus* ReturnStatus = NULL) const;
    // Number of nodes below the world on the path.
    unsigned int length(MStatus* ReturnStatus = NULL) const;
#endif
    MString fullPathName(MStatus* ReturnStatus = NULL) const;  // "|a|b"
#ifndef VANTREL_HOST_API_SUBSET
    MString partialPathName(MStatus* ReturnStatus = NULL) const;  // "b"
#endif

    // World matrix of the path's last node at the current time (local
    // matrices multiplied up the hierarchy: local * parent world).
    MMatrix inclusiveMatrix(MStatus* ReturnStatus = NULL) const;
    MMatrix inclusiveMatrixInverse(MStatus* ReturnStatus = NULL) const;
    // World matrix of the parent of the path's last node.
    MMatrix exclusiveMatrix(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    MMatrix exclusiveMatrixInverse(MStatus* ReturnStatus = NULL) const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    bool hasFn(MFn::Type type, MStatus* ReturnStatus = NULL) const;
    MFn::Type apiType(MStatus* ReturnStatus = NULL) const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    static MStatus getAPathTo(const MObject& node, MDagPath& path);
#endif

    // Same node reached through the same parent.
    bool operator==(const MDagPath& other) const {
        return node_ == other.node_ && instanceParent_ == other.instanceParent_;
    }
#ifndef VANTREL_HOST_API_SUBSET
    bool operator!=(const MDagPath& other) const { return !(*this == other); }
#endif

private:
    friend struct host::detail::ObjectAccess;
    unsigned long long node_ = 0;            // 0: empty path
    unsigned long long instanceParent_ = 0;  // a shape's instance transform; 0: its own parent
};
