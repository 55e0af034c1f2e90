#include <maya/MFnDagNode.h>
#include <maya/MFnMesh.h>
#include <maya/MFnTransform.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

MFnDagNode::MFnDagNode(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnDagNode::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MFnDagNode::MFnDagNode(const MDagPath& path, MStatus* ReturnStatus) {
    const MStatus status = MFnDagNode::setObject(path);
    if (ReturnStatus) *ReturnStatus = status;
}

MStatus MFnDagNode::setObject(const MObject& object) {
    // From the object alone, the path through the node's own parent (a mesh
    // instanced elsewhere is reached through its first parent, as in the SDK).
    const MStatus status = MFnBase::setObject(object);
    path_ = status ? ObjectAccess::path(ObjectAccess::nodeId(object)) : MDagPath();
    attachedByPath_ = false;
    return status;
}

MStatus MFnDagNode::setObject(const MDagPath& path) {
    const MStatus status = MFnBase::setObject(path.node());
    path_ = status ? path : MDagPath();
    attachedByPath_ = status == MS::kSuccess;
    return status;
}

MStatus MFnDagNode::getPath(MDagPath& path) const {
    path = path_;
    return path_.isValid() ? MS::kSuccess : MS::kFailure;
}

MDagPath MFnDagNode::dagPath(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, path_.isValid() ? MS::kSuccess : MS::kFailure);
    return path_;
}

MString MFnDagNode::fullPathName(MStatus* ReturnStatus) const { return path_.fullPathName(ReturnStatus); }

unsigned int MFnDagNode::parentCount(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    if (!node || node->kind == NodeKind::World) return 0u;
    return 1u + static_cast<unsigned int>(node->mesh.instanceParents.size());
}

MObject MFnDagNode::parent(unsigned int i, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    const Node* parentNode = nullptr;
    if (node && i == 0) parentNode = scene().node(node->parent);
    if (node && i > 0 && i <= node->mesh.instanceParents.size())
        parentNode = scene().node(node->mesh.instanceParents[i - 1]);
    setStatus(ReturnStatus, parentNode ? MS::kSuccess : MS::kInvalidParameter);
    return parentNode ? ObjectAccess::nodeObject(*parentNode) : MObject();
}

unsigned int MFnDagNode::childCount(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? static_cast<unsigned int>(node->children.size()) : 0u;
}

MObject MFnDagNode::child(unsigned int i, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    const Node* childNode = node && i < node->children.size() ? scene().node(node->children[i]) : nullptr;
    setStatus(ReturnStatus, childNode ? MS::kSuccess : MS::kInvalidParameter);
    return childNode ? ObjectAccess::nodeObject(*childNode) : MObject();
}

MBoundingBox MFnDagNode::boundingBox(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    MBoundingBox box;
    if (node && node->kind == NodeKind::Mesh)
        for (const MPoint& p : meshPoints(scene(), *node)) box.expand(p);
    return box;
}

MMatrix MFnDagNode::transformationMatrix(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kDagNode);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? localMatrix(scene(), *node) : MMatrix();
}

// --- MFnTransform -------------------------------------------------------------

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
    const MMatrix matrix = space == MSpace::kWorld ? path_.inclusiveMatrix(ReturnStatus)
                                                   : transformationMatrix(ReturnStatus);
    return MVector(matrix[3][0], matrix[3][1], matrix[3][2]);
}

// --- MFnMesh --------------------------------------------------------------------

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
