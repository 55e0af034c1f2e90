#pragma once
// Array of MObject handles, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS
#include <maya/MObject.h>

class MObjectArray : public VANTREL_HOST_ARRAY_BASE(MObject) {
public:
    using VANTREL_HOST_ARRAY_BASE(MObject)::MArrayBase;
};
