#pragma once
// Array of MPlug values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS
#include <maya/MPlug.h>

class MPlugArray : public VANTREL_HOST_ARRAY_BASE(MPlug) {
public:
    using VANTREL_HOST_ARRAY_BASE(MPlug)::MArrayBase;
};
