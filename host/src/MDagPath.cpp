#include <maya/MDagPath.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

namespace {

const Node* dagNode(NodeId id) {
    const Node* node = id == kNoNode ? nullptr : scene().node(id);
    return node && node->isDag() ? node : nullptr;
}

}  // namespace

bool MDagPath::isValid(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, MS::kSuccess);
    return dagNode(node_) != nullptr;
}

MObject MDagPath::node(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? ObjectAccess::nodeObject(*node) : MObject();
}

MObject MDagPath::transform(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    if (node && node->kind == NodeKind::Mesh) node = scene().node(ObjectAccess::pathParent(*this));
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? ObjectAccess::nodeObject(*node) : MObject();
}

unsigned int MDagPath::length(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    if (!node) return 0;
    unsigned int count = 1;
    for (node = scene().node(ObjectAccess::pathParent(*this)); node && node->kind != NodeKind::World;
         node = scene().node(node->parent))
        ++count;
    return count;
}

MString MDagPath::fullPathName(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    if (!node) return MString();
    if (instanceParent_ == kNoNode) return MString(scene().fullPathName(node_).c_str());
    return MString((scene().fullPathName(instanceParent_) + "|" + node->name).c_str());
}

MString MDagPath::partialPathName(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? MString(node->name.c_str()) : MString();
}

MMatrix MDagPath::inclusiveMatrix(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    if (!node) return MMatrix();
    if (instanceParent_ == kNoNode) return worldMatrix(scene(), node_);
    return localMatrix(scene(), *node) * worldMatrix(scene(), instanceParent_);
}

MMatrix MDagPath::inclusiveMatrixInverse(MStatus* ReturnStatus) const {
    return inclusiveMatrix(ReturnStatus).inverse();
}

MMatrix MDagPath::exclusiveMatrix(MStatus* ReturnStatus) const {
    const Node* node = dagNode(node_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node && node->kind != NodeKind::World ? worldMatrix(scene(), ObjectAccess::pathParent(*this)) : MMatrix();
}

MMatrix MDagPath::exclusiveMatrixInverse(MStatus* ReturnStatus) const {
    return exclusiveMatrix(ReturnStatus).inverse();
}

bool MDagPath::hasFn(MFn::Type type, MStatus* ReturnStatus) const { return node(ReturnStatus).hasFn(type); }

MFn::Type MDagPath::apiType(MStatus* ReturnStatus) const { return node(ReturnStatus).apiType(); }

MStatus MDagPath::getAPathTo(const MObject& object, MDagPath& path) {
    const Node* node = nodeOf(object, MFn::kDagNode);
    path = ObjectAccess::path(node ? node->id : kNoNode);
    return node ? MS::kSuccess : MS::kInvalidParameter;
}
