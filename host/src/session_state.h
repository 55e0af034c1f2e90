#pragma once
// Host-wide state outside the scene: the message log, the thread setting,
// the registered commands, the undo and redo queues and the loaded plug-ins.
// Private to the host library.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <maya/MPxCommand.h>
#include <maya/MTypes.h>

#include <host/session.h>

namespace host {
namespace detail {

struct CommandEntry {
    MCreatorFunction creator = nullptr;
    MCreateSyntaxFunction syntax = nullptr;
    unsigned long long plugin = 0;  // the plug-in that registered it
};

struct QueuedCommand {
    MPxCommand* command = nullptr;  // owned
    unsigned long long plugin = 0;
    std::string name;
};

struct PluginRecord {
    unsigned long long id = 0;
    std::string name;
    std::string path;
    void* handle = nullptr;  // from dlopen
    std::string vendor = "Unknown";
    std::string version = "Unknown";
};

struct Session {
    std::vector<Message> messages;
    bool echo = true;
    int threadCount = 0;  // 0: the hardware default
    std::map<std::string, CommandEntry> commands;
    std::vector<QueuedCommand> undoQueue;  // oldest first
    std::vector<QueuedCommand> redoQueue;  // most recently undone last
    std::vector<PluginRecord> plugins;
    unsigned long long nextPluginId = 1;
    std::string result;
};

Session& session();
PluginRecord* findPlugin(unsigned long long id);
// Destroys the queued commands that match (all when no filter is given).
void flushUndoQueues(const std::function<bool(const QueuedCommand&)>& matches = nullptr);
// Records and prints one message.
void display(MessageKind kind, const std::string& text);

}  // namespace detail
}  // namespace host
