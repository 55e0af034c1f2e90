// Module entry points: the only source that includes MFnPlugin.h, which
// defines the exported API version symbol.
#include <maya/MFnPlugin.h>
#include <maya/MObject.h>
#include <maya/MString.h>

#include "plugin/vantrel_command.h"

namespace {
const MString commandName("vantrel");
}

PLUGIN_EXPORT MStatus initializePlugin(MObject obj) {
    MFnPlugin plugin(obj, "Vantrel", "1.0", "Any");
    MStatus status = plugin.registerCommand(commandName, Vantrel::creator, Vantrel::newSyntax);
    if (!status) status.perror("registerCommand");
    return status;
}

PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj) {
    MFnPlugin plugin(obj, "Unknown", "Unknown", "Any");
    MStatus status = plugin.deregisterCommand(commandName);
    if (!status) status.perror("deregisterCommand");
    return status;
}
