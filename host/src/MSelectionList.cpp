#include <maya/MSelectionList.h>

#include "object_access.h"

using namespace host::detail;

MStatus MSelectionList::add(const MString& matchString, bool) {
    const NodeId id = scene().resolve(matchString.asChar());
    const Node* node = id == kNoNode ? nullptr : scene().node(id);
    if (!node) return MS::kInvalidParameter;
    return add(ObjectAccess::nodeObject(*node));
}

MStatus MSelectionList::add(const MObject& object, bool mergeWithExisting) {
    const Node* node = nodeOf(object);
    if (!node) return MS::kInvalidParameter;
    if (mergeWithExisting) {
        for (const Item& item : items_)
            if (item.node == object && item.component.isNull()) return MS::kSuccess;
    }
    Item item;
    item.node = object;
    if (node->isDag()) item.path = ObjectAccess::path(node->id);
    items_.push_back(item);
    return MS::kSuccess;
}

MStatus MSelectionList::add(const MDagPath& object, const MObject& component, bool mergeWithExisting) {
    if (!object.isValid()) return MS::kInvalidParameter;
    if (mergeWithExisting) {
        for (const Item& item : items_)
            if (item.path == object && item.component == component) return MS::kSuccess;
    }
    items_.push_back(Item{object.node(), object, component});
    return MS::kSuccess;
}

unsigned int MSelectionList::length(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, MS::kSuccess);
    return static_cast<unsigned int>(items_.size());
}

bool MSelectionList::isEmpty(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, MS::kSuccess);
    return items_.empty();
}

MStatus MSelectionList::clear() {
    items_.clear();
    return MS::kSuccess;
}

MStatus MSelectionList::remove(unsigned int index) {
    if (index >= items_.size()) return MS::kInvalidParameter;
    items_.erase(items_.begin() + index);
    return MS::kSuccess;
}

MStatus MSelectionList::getDependNode(unsigned int index, MObject& depNode) const {
    if (index >= items_.size()) return MS::kInvalidParameter;
    depNode = items_[index].node;
    return MS::kSuccess;
}

MStatus MSelectionList::getDagPath(unsigned int index, MDagPath& dagPath, MObject& component) const {
    if (index >= items_.size() || !items_[index].path.isValid()) return MS::kInvalidParameter;
    dagPath = items_[index].path;
    // The default argument is the shared null object, which stays untouched.
    if (&component != &MObject::kNullObj) component = items_[index].component;
    return MS::kSuccess;
}
