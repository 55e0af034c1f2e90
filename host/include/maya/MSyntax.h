#pragma once
// A command's syntax: its flags (short and long names, each with up to six
// argument types) and how many objects (plain words after the flags) it takes.
// Flag names may be given with or without their leading dash.

#include <string>
#include <vector>

#include <maya/MStatus.h>

class MSyntax {
public:
    enum MArgType {
        kInvalidArgType = 0,
        kNoArg,
        kBoolean,
        kLong,
        kDouble,
        kString,
        kUnsigned,
        kDistance,
        kAngle,
        kTime,
        kSelectionItem,
        kLastArgType
    };

    MSyntax() = default;

    // Fails with kInvalidParameter when a name is empty or already used.
    MStatus addFlag(const char* shortName, const char* longName, MArgType argType1 = kNoArg, MArgType argType2 = kNoArg,
                    MArgType argType3 = kNoArg, MArgType argType4 = kNoArg, MArgType argType5 = kNoArg,
                    MArgType argType6 = kNoArg);
    // Objects allowed after the flags; by default any number (0 to unlimited).
    void setMinObjects(unsigned int minimumObjectCount);
    void setMaxObjects(unsigned int maximumObjectCount);
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int minObjects() const { return minObjects_; }
    unsigned int maxObjects() const { return maxObjects_; }
#endif

    struct Flag {
        std::string shortName;  // without the dash
        std::string longName;   // without the dash
        std::vector<MArgType> argumentTypes;
    };
#ifndef VANTREL_HOST_API_SUBSET
    // The flag named (short or long, dash optional), or null.
    const Flag* findFlag(const char* name) const;
    const std::vector<Flag>& flags() const { return flags_; }
#endif

private:
    std::vector<Flag> flags_;
    unsigned int minObjects_ = 0;
    unsigned int maxObjects_ = ~0u;
};
