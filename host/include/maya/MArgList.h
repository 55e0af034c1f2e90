#pragma once
// The words of a command line after the command's name, as given.

#include <vector>

#include <maya/MStatus.h>
#include <maya/MString.h>

class MArgList {
public:
    MArgList() = default;

    unsigned int length(MStatus* ReturnStatus = NULL) const;
    // Fail with kInvalidParameter for an index past the end or a word that is
    // not of the asked type.
    MString asString(unsigned int index, MStatus* ReturnStatus = NULL) const;
    int asInt(unsigned int index, MStatus* ReturnStatus = NULL) const;
    double asDouble(unsigned int index, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    bool asBool(unsigned int index, MStatus* ReturnStatus = NULL) const;
#endif

    MArgList& addArg(const MString& arg);
    MArgList& addArg(const char* arg);
    MArgList& addArg(int arg);
    MArgList& addArg(double arg);
    MArgList& addArg(bool arg);

private:
    std::vector<MString> words_;
};
