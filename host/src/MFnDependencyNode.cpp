#include <maya/MFnBase.h>
#include <maya/MFnDependencyNode.h>

#include "object_access.h"

using namespace host::detail;

MObject MFnBase::object(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, object_.isNull() ? MS::kFailure : MS::kSuccess);
    return object_;
}

MStatus MFnBase::setObject(const MObject& object) {
    if (!object.hasFn(type())) {
        object_ = MObject();
        return MS::kInvalidParameter;
    }
    object_ = object;
    return MS::kSuccess;
}

MFnDependencyNode::MFnDependencyNode(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnDependencyNode::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MString MFnDependencyNode::name(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? MString(node->name.c_str()) : MString();
}

MString MFnDependencyNode::typeName(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? MString(kindName(node->kind)) : MString();
}

MPlug MFnDependencyNode::findPlug(const MString& attrName, bool, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_);
    const Attribute* attribute = node ? node->findAttribute(attrName.asChar()) : nullptr;
    if (!attribute) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MPlug();
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return ObjectAccess::plug(PlugKey{node->id, attribute->name, -1});
}

MPlug MFnDependencyNode::findPlug(const MString& attrName, MStatus* ReturnStatus) const {
    return findPlug(attrName, true, ReturnStatus);
}

bool MFnDependencyNode::hasAttribute(const MString& attributeName, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node && node->findAttribute(attributeName.asChar());
}
