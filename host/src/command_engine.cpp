// Executing command lines: tokenising, syntax checking, creating the command
// object, running it and keeping it for undo.
// The host itself declares no API version: only plug-ins carry MApiVersion.
#define MNoVersionString
#include <maya/MArgParser.h>
#include <maya/MFnPlugin.h>
#include <maya/MGlobal.h>
#include <maya/MPxCommand.h>

#include <charconv>
#include <memory>

#include "object_access.h"
#include "session_state.h"

using namespace host::detail;

namespace {

// Statements separated by unquoted ';', each a list of words separated by
// blanks; "quoted strings" (with \" and \\) are single words. Returns false
// on an unterminated quote.
bool splitStatements(const std::string& line, std::vector<std::vector<std::string>>& statements, std::string& error) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == ';') {
            if (!words.empty()) statements.push_back(words);
            words.clear();
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            const size_t start = i++;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    const char escaped = line[i++];
                    word += escaped == 'n' ? '\n' : (escaped == 't' ? '\t' : escaped);
                } else {
                    word += c;
                }
            }
            if (!closed) {
                error = "Unterminated string starting at column " + std::to_string(start + 1);
                return false;
            }
        } else {
            while (i < line.size() && !blank(line[i]) && line[i] != ';' && line[i] != '"') word += line[i++];
        }
        words.push_back(word);
    }
    if (!words.empty()) statements.push_back(words);
    return true;
}

MStatus executeStatement(const std::vector<std::string>& words);

}  // namespace

// --- MPxCommand ---------------------------------------------------------------------

MStatus MPxCommand::undoIt() { return MS::kFailure; }
MStatus MPxCommand::redoIt() { return MS::kFailure; }
bool MPxCommand::isUndoable() const { return false; }
bool MPxCommand::hasSyntax() const { return false; }

void MPxCommand::displayInfo(const MString& theInfo) { MGlobal::displayInfo(theInfo); }
void MPxCommand::displayWarning(const MString& theWarning) { MGlobal::displayWarning(theWarning); }
void MPxCommand::displayError(const MString& theError) { MGlobal::displayError(theError); }

void MPxCommand::clearResult() { session().result.clear(); }
void MPxCommand::setResult(bool result) { session().result = result ? "1" : "0"; }
void MPxCommand::setResult(int result) { session().result = std::to_string(result); }
void MPxCommand::setResult(double result) {
    // Shortest text that reads back as the same double.
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, result).ptr;
    session().result.assign(text, end);
}
void MPxCommand::setResult(const MString& result) { session().result = result.asChar(); }
void MPxCommand::setResult(const char* result) { session().result = result ? result : ""; }

// --- MFnPlugin --------------------------------------------------------------------

MFnPlugin::MFnPlugin(MObject& object, const char* vendor, const char* version, const char*, MStatus* ReturnStatus)
    : vendor_(vendor), version_(version) {
    const MStatus status = MFnBase::setObject(object);
    PluginRecord* record = findPlugin(ObjectAccess::pluginId(object));
    if (record && vendor_ != "Unknown") record->vendor = vendor_.asChar();
    if (record && version_ != "Unknown") record->version = version_.asChar();
    if (ReturnStatus) *ReturnStatus = record ? status : MStatus(MS::kFailure);
}

MStatus MFnPlugin::registerCommand(const MString& commandName, MCreatorFunction creatorFunction,
                                   MCreateSyntaxFunction createSyntaxFunction) {
    const PluginRecord* record = findPlugin(ObjectAccess::pluginId(object_));
    const std::string name = commandName.asChar();
    if (!record || !creatorFunction || name.empty() || session().commands.count(name)) return MS::kFailure;
    session().commands[name] = CommandEntry{creatorFunction, createSyntaxFunction, record->id};
    return MS::kSuccess;
}

MStatus MFnPlugin::deregisterCommand(const MString& commandName) {
    const unsigned long long id = ObjectAccess::pluginId(object_);
    auto it = session().commands.find(commandName.asChar());
    if (id == 0 || it == session().commands.end() || it->second.plugin != id) return MS::kFailure;
    // Queued objects of this command belong to code that is about to go.
    const std::string name = commandName.asChar();
    flushUndoQueues([&](const QueuedCommand& entry) { return entry.name == name; });
    session().commands.erase(it);
    return MS::kSuccess;
}

MString MFnPlugin::vendor(MStatus* ReturnStatus) const {
    const PluginRecord* record = findPlugin(ObjectAccess::pluginId(object_));
    setStatus(ReturnStatus, record ? MS::kSuccess : MS::kFailure);
    return record ? MString(record->vendor.c_str()) : MString();
}

MString MFnPlugin::version(MStatus* ReturnStatus) const {
    const PluginRecord* record = findPlugin(ObjectAccess::pluginId(object_));
    setStatus(ReturnStatus, record ? MS::kSuccess : MS::kFailure);
    return record ? MString(record->version.c_str()) : MString();
}

MString MFnPlugin::name(MStatus* ReturnStatus) const {
    const PluginRecord* record = findPlugin(ObjectAccess::pluginId(object_));
    setStatus(ReturnStatus, record ? MS::kSuccess : MS::kFailure);
    return record ? MString(record->name.c_str()) : MString();
}

// --- Execution and the undo queue ---------------------------------------------------

namespace host {

MStatus executeCommand(const std::string& commandLine) {
    std::vector<std::vector<std::string>> statements;
    std::string error;
    if (!splitStatements(commandLine, statements, error)) {
        MGlobal::displayError(MString(error.c_str()));
        return MS::kInvalidParameter;
    }
    MStatus status;
    for (const auto& words : statements) {
        status = executeStatement(words);
        if (!status) break;  // a failing statement ends the line
    }
    return status;
}

}  // namespace host

namespace {

MStatus executeStatement(const std::vector<std::string>& words) {
    auto found = session().commands.find(words[0]);
    if (found == session().commands.end()) {
        MGlobal::displayError(MString(("Cannot find command \"" + words[0] + "\".").c_str()));
        return MS::kNotFound;
    }
    const CommandEntry entry = found->second;
    MArgList arguments;
    for (size_t i = 1; i < words.size(); ++i) arguments.addArg(MString(words[i].c_str()));
    MSyntax syntax;
    if (entry.syntax) {
        syntax = entry.syntax();
        MStatus parsed;
        MArgParser parser(syntax, arguments, &parsed);
        if (!parsed) {
            MGlobal::displayError(MString((words[0] + ": " + parser.errorText()).c_str()));
            return parsed;
        }
    }
    std::unique_ptr<MPxCommand> command(static_cast<MPxCommand*>(entry.creator()));
    if (!command) {
        MGlobal::displayError(MString((words[0] + ": the command could not be created").c_str()));
        return MS::kFailure;
    }
    ObjectAccess::setSyntax(*command, syntax);
    MPxCommand::clearResult();
    const MStatus status = command->doIt(arguments);
    // The command may have been deregistered meanwhile (it cannot unload its
    // own module while running, but it can drop its name); keep it only while
    // its code is still known to be loaded.
    if (status && command->isUndoable() && findPlugin(entry.plugin)) {
        // A new action ends the undone branch, as in any host.
        for (auto& undone : session().redoQueue) delete undone.command;
        session().redoQueue.clear();
        session().undoQueue.push_back(QueuedCommand{command.release(), entry.plugin, words[0]});
    }
    return status;
}

}  // namespace

namespace host {

std::string commandResult() { return detail::session().result; }

MStatus undo() {
    auto& queue = detail::session().undoQueue;
    if (queue.empty()) return MS::kFailure;
    QueuedCommand entry = queue.back();
    const MStatus status = entry.command->undoIt();
    if (!status) {
        MGlobal::displayError(MString(("Undo of " + entry.name + " failed").c_str()));
        return status;
    }
    queue.pop_back();
    detail::session().redoQueue.push_back(entry);
    return status;
}

MStatus redo() {
    auto& queue = detail::session().redoQueue;
    if (queue.empty()) return MS::kFailure;
    QueuedCommand entry = queue.back();
    const MStatus status = entry.command->redoIt();
    if (!status) {
        MGlobal::displayError(MString(("Redo of " + entry.name + " failed").c_str()));
        return status;
    }
    queue.pop_back();
    detail::session().undoQueue.push_back(entry);
    return status;
}

unsigned undoQueueLength() { return static_cast<unsigned>(detail::session().undoQueue.size()); }
unsigned redoQueueLength() { return static_cast<unsigned>(detail::session().redoQueue.size()); }

bool commandExists(const std::string& name) { return detail::session().commands.count(name) != 0; }

}  // namespace host
