#pragma once
// Array of MDagPath values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS
#include <maya/MDagPath.h>

class MDagPathArray : public VANTREL_HOST_ARRAY_BASE(MDagPath) {
public:
    using VANTREL_HOST_ARRAY_BASE(MDagPath)::MArrayBase;
};
