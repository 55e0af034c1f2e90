#pragma once
// Array of int values, indexed from 0.

#include <maya/MArrayBase.h>


class MIntArray : public MArrayBase<int> {
public:
    using MArrayBase<int>::MArrayBase;
};
