#pragma once
// Array of int values, indexed from 0.

#define VANTREL_HOST_ARRAY_CLASS
#include <maya/MArrayBase.h>
#undef VANTREL_HOST_ARRAY_CLASS

class MIntArray : public VANTREL_HOST_ARRAY_BASE(int) {
public:
    using VANTREL_HOST_ARRAY_BASE(int)::MArrayBase;
};
