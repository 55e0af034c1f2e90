#pragma once
// Array of MDagPath values, indexed from 0.

#include <maya/MArrayBase.h>
#include <maya/MDagPath.h>

class MDagPathArray : public MArrayBase<MDagPath> {
public:
    using MArrayBase<MDagPath>::MArrayBase;
};
