#pragma once
// The headless host's session: time, thread setting, messages, plug-ins,
// commands and the undo queue, and resetting the scene.

#ifdef VANTREL_HOST_API_SUBSET
#error "<host/...> is the headless host's own API: the plug-in reaches the scene through <maya/...> only"
#endif

#include <string>
#include <vector>

#include <maya/MStatus.h>
#include <maya/MTime.h>

#include <host/error.h>

namespace host {

// --- Time and threads -------------------------------------------------------

void setTimeUnit(MTime::Unit unit);
MTime::Unit timeUnit();
// Current time as a frame in the UI unit.
void setCurrentTime(double frame);
void setCurrentTime(const MTime& time);
double currentFrame();
// Threads offered to plug-ins (MThreadUtils::getNumThreads); 0 or less
// restores the default, the number of hardware threads.
void setThreadCount(int count);
int threadCount();

// --- Messages ---------------------------------------------------------------

enum class MessageKind { Error, Warning, Info };
struct Message {
    MessageKind kind;
    std::string text;  // as displayed, without the "// Error: " decoration
};
// Every message displayed since the last clear, oldest first.
std::vector<Message> messages();
void clearMessages();
// Whether messages are also printed (default true).
void setMessageEcho(bool echo);

// --- Plug-ins and commands ---------------------------------------------------

// Loads a module from a path, checks its MApiVersion and calls its
// initializePlugin. A failure is displayed as an error and returned; the
// module is then not kept. The plug-in's name is the file name without its
// directory and extension ("libfoo.so" -> "libfoo").
MStatus loadPlugin(const std::string& path);
// Calls uninitializePlugin (which must deregister every command of the
// plug-in), drops the plug-in's commands from the undo queue and closes the
// module. Accepts the plug-in's name or the path it was loaded from.
MStatus unloadPlugin(const std::string& nameOrPath);
std::vector<std::string> loadedPlugins();
bool commandExists(const std::string& name);

// Executes `name -flag value ... objects`: words and "quoted strings" (with
// \" and \\ escapes), flags by short or long name. A syntax error is
// displayed as an error and returned, and no command object is created.
// Statements separated by ';' run in turn until one fails; the status is the
// last one's. An unknown command is an error with kNotFound.
MStatus executeCommand(const std::string& commandLine);
// The result the last command set (MPxCommand::setResult), as text.
std::string commandResult();
// Undo the last undoable command (undoIt) / redo the last undone one
// (redoIt). Fail with kFailure when there is nothing to undo or redo.
MStatus undo();
MStatus redo();
unsigned undoQueueLength();
unsigned redoQueueLength();

// Empties the scene: removes every node, sets the current time to 0 and the UI
// unit to film, and flushes the undo queue. Plug-ins, the message log and the
// thread setting stay.
void resetScene();

}  // namespace host
