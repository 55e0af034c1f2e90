#pragma once
// Function set of DAG nodes (transforms, joints, meshes): place in the
// hierarchy and bounding box.

#include <maya/MBoundingBox.h>
#include <maya/MDagPath.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MMatrix.h>

class MFnDagNode : public MFnDependencyNode {
public:
    MFnDagNode() = default;
    MFnDagNode(const MObject& object, MStatus* ReturnStatus = NULL);
    MFnDagNode(const MDagPath& path, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kDagNode; }
#endif
    MStatus setObject(const MObject& object) override;
#ifndef VANTREL_HOST_API_SUBSET
    MStatus setObject(const MDagPath& path);
#endif

    MStatus getPath(MDagPath& path) const;
#ifndef VANTREL_HOST_API_SUBSET
    MDagPath dagPath(MStatus* ReturnStatus = NULL) const;
    MString fullPathName(MStatus* ReturnStatus = NULL) const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    unsigned int parentCount(MStatus* ReturnStatus = NULL) const;
#endif
    // Parent i: 0 is the node's own, a mesh's further ones are the transforms
    // it is instanced under; a node under the root has the world (kWorld) as
    // its parent.
    MObject parent(unsigned int i, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int childCount(MStatus* ReturnStatus = NULL) const;
    MObject child(unsigned int i, MStatus* ReturnStatus = NULL) const;
#endif

    // Box of the node's current geometry in its own object space (a mesh's
    // deformed points at the current time); empty for nodes without geometry.
    MBoundingBox boundingBox(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The node's local matrix at the current time (identity for a shape).
    MMatrix transformationMatrix(MStatus* ReturnStatus = NULL) const;
#endif

protected:
    MDagPath path_;
    bool attachedByPath_ = false;  // world space needs the caller's path
};
