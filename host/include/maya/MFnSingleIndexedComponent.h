#pragma once
// Function set of components that list elements by one index, such as mesh
// vertices (kMeshVertComponent).

#include <maya/MFnBase.h>
#include <maya/MIntArray.h>

class MFnSingleIndexedComponent : public MFnBase {
public:
    MFnSingleIndexedComponent() = default;
    MFnSingleIndexedComponent(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kSingleIndexedComponent; }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    // A new, empty component of that type (kMeshVertComponent or
    // kSingleIndexedComponent); the set attaches to it.
    MObject create(MFn::Type compType, MStatus* ReturnStatus = NULL);
    MStatus addElement(int element);
    MStatus addElements(MIntArray& elements);
#endif
    // The element indices, in the order they were added.
    MStatus getElements(MIntArray& elements) const;
#ifndef VANTREL_HOST_API_SUBSET
    int elementCount(MStatus* ReturnStatus = NULL) const;
    int element(int index, MStatus* ReturnStatus = NULL) const;
#endif
};
