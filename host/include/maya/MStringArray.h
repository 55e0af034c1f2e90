#pragma once
// Array of MString values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS
#include <maya/MString.h>

class MStringArray : public VANTREL_HOST_ARRAY_BASE(MString) {
public:
    using VANTREL_HOST_ARRAY_BASE(MString)::MArrayBase;
};
