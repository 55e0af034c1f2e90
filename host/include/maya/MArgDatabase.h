#pragma once
// The argument parser as commands usually hold it.

#include <maya/MArgParser.h>

class MArgDatabase : public MArgParser {
public:
#ifndef VANTREL_HOST_API_SUBSET
    MArgDatabase() = default;
#endif
    MArgDatabase(const MSyntax& syntax, const MArgList& argList, MStatus* ReturnStatus = NULL)
        : MArgParser(syntax, argList, ReturnStatus) {}
};
