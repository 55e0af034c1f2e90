#pragma once
// Function set of int-array data objects, the values of intArray
// attributes (MPlug::asMObject / setMObject).

#include <maya/MFnBase.h>
#include <maya/MIntArray.h>

class MFnIntArrayData : public MFnBase {
public:
    MFnIntArrayData() = default;
    MFnIntArrayData(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kIntArrayData; }
#endif

    // A new data object holding a copy of the array; the set attaches to it.
    MObject create(const MIntArray& in, MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    MObject create(MStatus* ReturnStatus = NULL);
#endif
    // A copy of the data's array (empty when the set is not attached).
    MIntArray array(MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int length(MStatus* ReturnStatus = NULL) const;
    MStatus set(const MIntArray& newArray);
    MStatus copyTo(MIntArray& array) const;
#endif
};
