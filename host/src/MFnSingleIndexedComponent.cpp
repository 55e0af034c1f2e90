#include <maya/MFnSingleIndexedComponent.h>

#include "object_access.h"

using namespace host::detail;

MFnSingleIndexedComponent::MFnSingleIndexedComponent(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnBase::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MObject MFnSingleIndexedComponent::create(MFn::Type compType, MStatus* ReturnStatus) {
    if (compType != MFn::kMeshVertComponent && compType != MFn::kSingleIndexedComponent) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MObject();
    }
    object_ = ObjectAccess::componentObject(compType, {});
    setStatus(ReturnStatus, MS::kSuccess);
    return object_;
}

MStatus MFnSingleIndexedComponent::addElement(int element) {
    ObjectPayload* payload = ObjectAccess::payload(object_);
    if (!payload) return MS::kFailure;
    payload->elements.push_back(element);
    return MS::kSuccess;
}

MStatus MFnSingleIndexedComponent::addElements(MIntArray& elements) {
    ObjectPayload* payload = ObjectAccess::payload(object_);
    if (!payload) return MS::kFailure;
    payload->elements.insert(payload->elements.end(), elements.items().begin(), elements.items().end());
    return MS::kSuccess;
}

MStatus MFnSingleIndexedComponent::getElements(MIntArray& elements) const {
    const ObjectPayload* payload = ObjectAccess::payload(object_);
    if (!payload) return MS::kFailure;
    elements.items() = payload->elements;
    return MS::kSuccess;
}

int MFnSingleIndexedComponent::elementCount(MStatus* ReturnStatus) const {
    const ObjectPayload* payload = ObjectAccess::payload(object_);
    setStatus(ReturnStatus, payload ? MS::kSuccess : MS::kFailure);
    return payload ? static_cast<int>(payload->elements.size()) : 0;
}

int MFnSingleIndexedComponent::element(int index, MStatus* ReturnStatus) const {
    const ObjectPayload* payload = ObjectAccess::payload(object_);
    if (!payload || index < 0 || static_cast<size_t>(index) >= payload->elements.size()) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return 0;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return payload->elements[static_cast<size_t>(index)];
}
