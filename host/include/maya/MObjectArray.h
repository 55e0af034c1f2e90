#pragma once
// Array of MObject handles, indexed from 0.

#include <maya/MArrayBase.h>
#include <maya/MObject.h>

class MObjectArray : public MArrayBase<MObject> {
public:
    using MArrayBase<MObject>::MArrayBase;
};
