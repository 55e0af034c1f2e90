#pragma once
// Array of MPoint values, indexed from 0.

#include <maya/MArrayBase.h>
#include <maya/MPoint.h>

class MPointArray : public MArrayBase<MPoint> {
public:
    using MArrayBase<MPoint>::MArrayBase;
};
