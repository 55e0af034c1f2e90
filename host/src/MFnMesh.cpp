#include <maya/MFnMesh.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

MFnMesh::MFnMesh(const MObject& object, MStatus* ReturnStatus) {
    // Attached through an object only: world space is not available, as a
    // node alone does not say which instance is meant.
    const MStatus status = MFnDagNode::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MFnMesh::MFnMesh(const MDagPath& path, MStatus* ReturnStatus) {
    const MStatus status = MFnDagNode::setObject(path);
    if (ReturnStatus) *ReturnStatus = status;
}

int MFnMesh::numVertices(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kMesh);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? static_cast<int>(node->mesh.points.size()) : 0;
}

int MFnMesh::numPolygons(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kMesh);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? static_cast<int>(node->mesh.polygons.size()) : 0;
}

MStatus MFnMesh::getPoints(MPointArray& vertexArray, MSpace::Space space) const {
    const Node* node = nodeOf(object_, MFn::kMesh);
    if (!node) return MS::kFailure;
    std::vector<MPoint> points = meshPoints(scene(), *node);
    if (space == MSpace::kWorld) {
        if (!attachedByPath_) return MS::kInvalidParameter;
        const MMatrix world = path_.inclusiveMatrix();
        for (MPoint& p : points) p = p * world;
    }
    vertexArray.items() = std::move(points);
    return MS::kSuccess;
}

MStatus MFnMesh::getPoint(int vertexId, MPoint& pos, MSpace::Space space) const {
    MPointArray points;
    const MStatus status = getPoints(points, space);
    if (!status) return status;
    if (vertexId < 0 || static_cast<unsigned>(vertexId) >= points.length()) return MS::kInvalidParameter;
    pos = points[static_cast<unsigned>(vertexId)];
    return MS::kSuccess;
}

MStatus MFnMesh::getPolygonVertices(int polygonId, MIntArray& vertexList) const {
    const Node* node = nodeOf(object_, MFn::kMesh);
    if (!node) return MS::kFailure;
    if (polygonId < 0 || static_cast<size_t>(polygonId) >= node->mesh.polygons.size()) return MS::kInvalidParameter;
    vertexList.items() = node->mesh.polygons[static_cast<size_t>(polygonId)];
    return MS::kSuccess;
}
