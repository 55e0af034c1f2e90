#pragma once
// Base of every function set: the object it is attached to.

#include <maya/MFn.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>

class MFnBase {
public:
    virtual ~MFnBase() = default;

#ifndef VANTREL_HOST_API_SUBSET
    // The function-set type of this class (kBase here).
    virtual MFn::Type type() const { return MFn::kBase; }
    bool hasObj(MFn::Type type) const { return object_.hasFn(type); }
    MObject object(MStatus* ReturnStatus = NULL) const;
#endif
    // Attaches the set to an object; fails with kInvalidParameter when the
    // object does not have this set's type (the set is then left detached).
    virtual MStatus setObject(const MObject& object);

protected:
    MFnBase() = default;
    MObject object_;
};
