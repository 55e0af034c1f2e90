#pragma once
// Function set of polygon meshes. Vertex ids run from 0 to numVertices() - 1;
// points are those of the current time (after the mesh's deformer, if any).

#include <maya/MFnDagNode.h>
#include <maya/MIntArray.h>
#include <maya/MPointArray.h>
#include <maya/MTypes.h>

class MFnMesh : public MFnDagNode {
public:
    MFnMesh() = default;
#ifndef VANTREL_HOST_API_SUBSET
    MFnMesh(const MObject& object, MStatus* ReturnStatus = NULL);
#endif
    MFnMesh(const MDagPath& path, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kMesh; }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    int numVertices(MStatus* ReturnStatus = NULL) const;
    int numPolygons(MStatus* ReturnStatus = NULL) const;
#endif
    // Every vertex position by id. kWorld applies the path's world matrix and
    // needs the set to be attached through a path (kInvalidParameter else).
    MStatus getPoints(MPointArray& vertexArray, MSpace::Space space = MSpace::kObject) const;
#ifndef VANTREL_HOST_API_SUBSET
    MStatus getPoint(int vertexId, MPoint& pos, MSpace::Space space = MSpace::kObject) const;
    MStatus getPolygonVertices(int polygonId, MIntArray& vertexList) const;
#endif
};
