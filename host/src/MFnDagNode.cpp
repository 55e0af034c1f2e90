#include <maya/MFnDagNode.h>

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
