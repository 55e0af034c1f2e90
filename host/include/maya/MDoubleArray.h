#pragma once
// Array of double values, indexed from 0.

#include <maya/MArrayBase.h>


class MDoubleArray : public MArrayBase<double> {
public:
    using MArrayBase<double>::MArrayBase;
};
