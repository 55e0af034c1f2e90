#pragma once
// Base class of plug-in commands. The host creates one object per invocation
// through the registered creator, calls doIt with the words after the command
// name, and then keeps the object in its undo queue when doIt succeeded and
// isUndoable() answers true (undo calls undoIt, redo calls redoIt); otherwise
// it destroys the object at once.

#include <maya/MArgList.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MSyntax.h>

namespace host {
namespace detail {
struct ObjectAccess;
}  // namespace detail
}  // namespace host

class MPxCommand {
public:
    MPxCommand() = default;
    virtual ~MPxCommand() = default;

    virtual MStatus doIt(const MArgList& args) = 0;
    virtual MStatus undoIt();
    virtual MStatus redoIt();
    virtual bool isUndoable() const;
    virtual bool hasSyntax() const;

    // The syntax the command was registered with (empty when none).
    MSyntax syntax() const { return syntax_; }

    static void displayInfo(const MString& theInfo);
#ifndef VANTREL_HOST_API_SUBSET
    static void displayWarning(const MString& theWarning);
#endif
    static void displayError(const MString& theError);

#ifndef VANTREL_HOST_API_SUBSET
    // The command's result, readable by whoever executed it.
    static void clearResult();
#endif
    static void setResult(bool result);
    static void setResult(int result);
    static void setResult(double result);
    static void setResult(const MString& result);
    static void setResult(const char* result);

private:
    friend struct host::detail::ObjectAccess;
    MSyntax syntax_;
};
