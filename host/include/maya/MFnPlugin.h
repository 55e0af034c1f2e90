#pragma once
// Function set of a loaded plug-in: registers and deregisters its commands.
// The host calls the plug-in's entry points, ordinary C++ functions that it
// finds by their symbol names:
//     PLUGIN_EXPORT MStatus initializePlugin(MObject obj);
//     PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj);
// Including this header also defines the API version the plug-in declares,
// the data symbol MApiVersion, unless MNoVersionString is defined: exactly one
// source file of a plug-in includes it without that macro. The host refuses a
// module without MApiVersion.

#include <maya/MFnBase.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MTypes.h>

class MFnPlugin : public MFnBase {
public:
    MFnPlugin(MObject& object, const char* vendor = "Unknown", const char* version = "Unknown",
              const char* requiredApiVersion = "Any", MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kPlugin; }
#endif

    // Fails with kFailure when the name is already registered (by any
    // plug-in) or the set is not attached to a loaded plug-in.
    MStatus registerCommand(const MString& commandName, MCreatorFunction creatorFunction,
                            MCreateSyntaxFunction createSyntaxFunction = NULL);
    // Fails with kFailure when this plug-in has no command of that name.
    MStatus deregisterCommand(const MString& commandName);

#ifndef VANTREL_HOST_API_SUBSET
    MString vendor(MStatus* ReturnStatus = NULL) const;
    MString version(MStatus* ReturnStatus = NULL) const;
    MString name(MStatus* ReturnStatus = NULL) const;
#endif

private:
    MString vendor_;
    MString version_;
};

#ifndef MNoVersionString
extern "C" {
PLUGIN_EXPORT char MApiVersion[] = "201203";
}
#endif
