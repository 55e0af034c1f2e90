#include "session_state.h"

#include <cstdio>
#include <memory>
#include <thread>

#include <maya/MAnimControl.h>
#include <maya/MGlobal.h>
#include <maya/MThreadUtils.h>

#include "scene_graph.h"

namespace host {
namespace detail {

Session& session() {
    // Never destroyed: queued command objects stay reachable until exit, and
    // plug-ins' static objects may still call in while the process ends.
    static Session* state = new Session;
    return *state;
}

PluginRecord* findPlugin(unsigned long long id) {
    for (auto& plugin : session().plugins)
        if (plugin.id == id) return &plugin;
    return nullptr;
}

void flushUndoQueues(const std::function<bool(const QueuedCommand&)>& matches) {
    for (auto* queue : {&session().undoQueue, &session().redoQueue}) {
        std::vector<QueuedCommand> kept;
        for (auto& entry : *queue) {
            if (!matches || matches(entry))
                delete entry.command;
            else
                kept.push_back(entry);
        }
        queue->swap(kept);
    }
}

void display(MessageKind kind, const std::string& text) {
    Session& state = session();
    state.messages.push_back(Message{kind, text});
    if (!state.echo) return;
    const bool endsLine = !text.empty() && text.back() == '\n';
    const char* end = endsLine ? "" : "\n";
    switch (kind) {
        case MessageKind::Error: std::fprintf(stderr, "// Error: %s%s", text.c_str(), end); break;
        case MessageKind::Warning: std::fprintf(stderr, "// Warning: %s%s", text.c_str(), end); break;
        case MessageKind::Info: std::fprintf(stdout, "%s%s", text.c_str(), end); break;
    }
    std::fflush(kind == MessageKind::Info ? stdout : stderr);
}

}  // namespace detail

std::vector<Message> messages() { return detail::session().messages; }
void clearMessages() { detail::session().messages.clear(); }
void setMessageEcho(bool echo) { detail::session().echo = echo; }

void setTimeUnit(MTime::Unit unit) {
    if (MTime::unitsPerSecond(unit) <= 0.0) throw Error("invalid time unit");
    MTime::setUIUnit(unit);
}

MTime::Unit timeUnit() { return MTime::uiUnit(); }

void setCurrentTime(double frame) { setCurrentTime(MTime(frame, MTime::uiUnit())); }

void setCurrentTime(const MTime& time) {
    if (!MAnimControl::setCurrentTime(time)) throw Error("invalid time");
}

double currentFrame() { return MAnimControl::currentTime().value(); }

void resetScene() {
    detail::flushUndoQueues();
    detail::replaceScene(std::make_unique<detail::Scene>());
    MTime::setUIUnit(MTime::kFilm);
}

void setThreadCount(int count) { detail::session().threadCount = count > 0 ? count : 0; }
int threadCount() { return MThreadUtils::getNumThreads(); }

}  // namespace host

void MGlobal::displayError(const MString& theError) {
    host::detail::display(host::MessageKind::Error, theError.asChar());
}

void MGlobal::displayWarning(const MString& theWarning) {
    host::detail::display(host::MessageKind::Warning, theWarning.asChar());
}

void MGlobal::displayInfo(const MString& theMessage) {
    host::detail::display(host::MessageKind::Info, theMessage.asChar());
}

MStatus MGlobal::executeCommand(const MString& command, bool, bool) { return host::executeCommand(command.asChar()); }

int MThreadUtils::getNumThreads() {
    const int chosen = host::detail::session().threadCount;
    if (chosen > 0) return chosen;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}
