#pragma once
// A handle to something the host owns: a node, a data value (double, int or
// string array data), a component (a list of vertex ids) or a loaded plug-in.
// Copies refer to the same thing; a node handle stays safe to use after the
// node is gone (function sets then fail).

#include <memory>

#include <maya/MFn.h>

namespace host {
namespace detail {
struct ObjectAccess;
struct ObjectPayload;
}  // namespace detail
}  // namespace host

class MObject {
public:
    MObject() = default;

    bool hasFn(MFn::Type type) const;
    bool isNull() const { return type_ == MFn::kInvalid; }
    MFn::Type apiType() const { return type_; }
#ifndef VANTREL_HOST_API_SUBSET
    const char* apiTypeStr() const;
#endif

    // Same node, or the same data or component value.
    bool operator==(const MObject& other) const;
#ifndef VANTREL_HOST_API_SUBSET
    bool operator!=(const MObject& other) const { return !(*this == other); }
#endif

    // Non-const as in the SDK, so it can default an MObject& out-parameter;
    // the host never writes to it.
    static MObject kNullObj;

private:
    friend struct host::detail::ObjectAccess;
    MFn::Type type_ = MFn::kInvalid;
    unsigned long long id_ = 0;                             // node or plug-in id; 0 for values
    std::shared_ptr<host::detail::ObjectPayload> payload_;  // data and components
};
