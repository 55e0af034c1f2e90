#pragma once
// Function set of int-array data objects, the values of intArray
// attributes (MPlug::asMObject / setMObject).

#include <maya/MFnBase.h>
#include <maya/MIntArray.h>

class MFnIntArrayData : public MFnBase {
public:
    MFnIntArrayData() = default;
    MFnIntArrayData(const MObject& object, MStatus* ReturnStatus = NULL);

    MFn::Type type() const override { return MFn::kIntArrayData; }

    // A new data object holding a copy of the array; the set attaches to it.
    MObject create(const MIntArray& in, MStatus* ReturnStatus = NULL);
    MObject create(MStatus* ReturnStatus = NULL);
    // A copy of the data's array (empty when the set is not attached).
    MIntArray array(MStatus* ReturnStatus = NULL);
    unsigned int length(MStatus* ReturnStatus = NULL) const;
    MStatus set(const MIntArray& newArray);
    MStatus copyTo(MIntArray& array) const;
};
