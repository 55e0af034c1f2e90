#pragma once
// The argument parser as commands usually hold it.

#include <maya/MArgParser.h>

class MArgDatabase : public MArgParser {
public:
    MArgDatabase() = default;
    MArgDatabase(const MSyntax& syntax, const MArgList& argList, MStatus* ReturnStatus = NULL)
        : MArgParser(syntax, argList, ReturnStatus) {}
};
