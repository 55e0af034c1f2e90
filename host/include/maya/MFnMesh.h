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
    MFnMesh(const MObject& object, MStatus* ReturnStatus = NULL);
    MFnMesh(const MDagPath& path, MStatus* ReturnStatus = NULL);

    MFn::Type type() const override { return MFn::kMesh; }

    int numVertices(MStatus* ReturnStatus = NULL) const;
    int numPolygons(MStatus* ReturnStatus = NULL) const;
    // Every vertex position by id. kWorld applies the path's world matrix and
    // needs the set to be attached through a path (kInvalidParameter else).
    MStatus getPoints(MPointArray& vertexArray, MSpace::Space space = MSpace::kObject) const;
    MStatus getPoint(int vertexId, MPoint& pos, MSpace::Space space = MSpace::kObject) const;
    MStatus getPolygonVertices(int polygonId, MIntArray& vertexList) const;
};
