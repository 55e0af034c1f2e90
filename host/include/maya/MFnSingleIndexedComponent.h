#pragma once
// Function set of components that list elements by one index, such as mesh
// vertices (kMeshVertComponent).

#include <maya/MFnBase.h>
#include <maya/MIntArray.h>

class MFnSingleIndexedComponent : public MFnBase {
public:
    MFnSingleIndexedComponent() = default;
    MFnSingleIndexedComponent(const MObject& object, MStatus* ReturnStatus = NULL);

    MFn::Type type() const override { return MFn::kSingleIndexedComponent; }

    // A new, empty component of that type (kMeshVertComponent or
    // kSingleIndexedComponent); the set attaches to it.
    MObject create(MFn::Type compType, MStatus* ReturnStatus = NULL);
    MStatus addElement(int element);
    MStatus addElements(MIntArray& elements);
    // The element indices, in the order they were added.
    MStatus getElements(MIntArray& elements) const;
    int elementCount(MStatus* ReturnStatus = NULL) const;
    int element(int index, MStatus* ReturnStatus = NULL) const;
};
