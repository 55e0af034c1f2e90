#pragma once
// Function set of string-array data objects, the values of stringArray
// attributes (MPlug::asMObject / setMObject).

#include <maya/MFnBase.h>
#include <maya/MStringArray.h>

class MFnStringArrayData : public MFnBase {
public:
    MFnStringArrayData() = default;
    MFnStringArrayData(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kStringArrayData; }
#endif

    // A new data object holding a copy of the array; the set attaches to it.
    MObject create(const MStringArray& in, MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    MObject create(MStatus* ReturnStatus = NULL);
#endif
    // A copy of the data's array (empty when the set is not attached).
    MStringArray array(MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int length(MStatus* ReturnStatus = NULL) const;
    MStatus set(const MStringArray& newArray);
    MStatus copyTo(MStringArray& array) const;
#endif
};
