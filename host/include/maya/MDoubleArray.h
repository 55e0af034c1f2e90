#pragma once
// Array of double values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS

class MDoubleArray : public VANTREL_HOST_ARRAY_BASE(double) {
public:
    using VANTREL_HOST_ARRAY_BASE(double)::MArrayBase;
};
