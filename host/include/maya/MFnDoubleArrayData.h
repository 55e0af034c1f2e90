#pragma once
// Function set of double-array data objects, the values of doubleArray
// attributes (MPlug::asMObject / setMObject).

#include <maya/MDoubleArray.h>
#include <maya/MFnBase.h>

class MFnDoubleArrayData : public MFnBase {
public:
    MFnDoubleArrayData() = default;
    MFnDoubleArrayData(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kDoubleArrayData; }
#endif

    // A new data object holding a copy of the array; the set attaches to it.
    MObject create(const MDoubleArray& in, MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    MObject create(MStatus* ReturnStatus = NULL);
#endif
    // A copy of the data's array (empty when the set is not attached).
    MDoubleArray array(MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int length(MStatus* ReturnStatus = NULL) const;
    MStatus set(const MDoubleArray& newArray);
    MStatus copyTo(MDoubleArray& array) const;
#endif
};
