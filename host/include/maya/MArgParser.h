#pragma once
// Parses a command's argument list against its syntax: the flags (each with
// its arguments) and then the objects. Construction reports a syntax error
// with kInvalidParameter; the parser then answers no flags and no objects.
// Flags are asked for by short or long name, with or without the dash.

#include <string>
#include <vector>

#include <maya/MArgList.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MStringArray.h>
#include <maya/MSyntax.h>

class MArgParser {
public:
#ifndef VANTREL_HOST_API_SUBSET
    MArgParser() = default;
#endif
    MArgParser(const MSyntax& syntax, const MArgList& argList, MStatus* ReturnStatus = NULL);
    virtual ~MArgParser() = default;

    bool isFlagSet(const char* flag, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int numberOfFlagsUsed() const { return static_cast<unsigned int>(used_.size()); }
#endif

    // Argument `index` (from 0) of a flag that was given.
    MStatus getFlagArgument(const char* flag, unsigned int index, MString& result) const;
    MStatus getFlagArgument(const char* flag, unsigned int index, int& result) const;
    MStatus getFlagArgument(const char* flag, unsigned int index, double& result) const;
    MStatus getFlagArgument(const char* flag, unsigned int index, bool& result) const;
    MStatus getFlagArgument(const char* flag, unsigned int index, unsigned int& result) const;
#ifndef VANTREL_HOST_API_SUBSET
    MString flagArgumentString(const char* flag, unsigned int index, MStatus* ReturnStatus = NULL) const;
    int flagArgumentInt(const char* flag, unsigned int index, MStatus* ReturnStatus = NULL) const;
    double flagArgumentDouble(const char* flag, unsigned int index, MStatus* ReturnStatus = NULL) const;
    bool flagArgumentBool(const char* flag, unsigned int index, MStatus* ReturnStatus = NULL) const;
#endif

    MStatus getObjects(MStringArray& result) const;

#ifndef VANTREL_HOST_API_SUBSET
    // The syntax error of the last parse ("" when it succeeded).
    const std::string& errorText() const { return error_; }
#endif

private:
    struct UsedFlag {
        std::string shortName;
        std::string longName;
        std::vector<MString> arguments;
    };
    const UsedFlag* used(const char* flag) const;

    std::vector<UsedFlag> used_;
    MStringArray objects_;
    std::string error_;
};
