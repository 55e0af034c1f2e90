#pragma once
// Host-wide services: messages and command execution. Messages are printed as
// the host prints them (errors "// Error: text" and warnings "// Warning:
// text" on standard error, information as is on standard output) and appended
// to the host's message log with their kind.

#include <maya/MStatus.h>
#include <maya/MString.h>

class MGlobal {
public:
    static void displayError(const MString& theError);
    static void displayWarning(const MString& theWarning);
    static void displayInfo(const MString& theMessage);

#ifndef VANTREL_HOST_API_SUBSET
    // Executes a command line as typed by a user (see the command engine).
    static MStatus executeCommand(const MString& command, bool displayEnabled = false, bool undoEnabled = false);
#endif
};
