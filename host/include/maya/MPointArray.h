#pragma once
// Array of MPoint values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS
#include <maya/MPoint.h>

class MPointArray : public VANTREL_HOST_ARRAY_BASE(MPoint) {
public:
    using VANTREL_HOST_ARRAY_BASE(MPoint)::MArrayBase;
};
