#pragma once
// Array of MPlug values, indexed from 0.

#include <maya/MArrayBase.h>
#include <maya/MPlug.h>

class MPlugArray : public MArrayBase<MPlug> {
public:
    using MArrayBase<MPlug>::MArrayBase;
};
