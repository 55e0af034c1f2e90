#pragma once
// Array of MString values, indexed from 0.

#include <maya/MArrayBase.h>
#include <maya/MString.h>

class MStringArray : public MArrayBase<MString> {
public:
    using MArrayBase<MString>::MArrayBase;
};
