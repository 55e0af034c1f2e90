// Loading and unloading plug-in modules.
#include <dlfcn.h>
#include <link.h>

#include <filesystem>

#include <maya/MGlobal.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>

#include "object_access.h"
#include "session_state.h"

using namespace host::detail;

namespace {

using EntryPoint = MStatus (*)(MObject);

// The entry points are ordinary C++ functions, found by their symbol names:
// MStatus initializePlugin(MObject) and MStatus uninitializePlugin(MObject).
const char* const kInitializeSymbol = "_Z16initializePlugin7MObject";
const char* const kUninitializeSymbol = "_Z18uninitializePlugin7MObject";
const char* const kApiVersionSymbol = "MApiVersion";

// A symbol defined by the module itself. dlsym also searches the module's
// dependencies, where another object's definition must not count.
void* moduleSymbol(void* handle, const char* name) {
    void* symbol = dlsym(handle, name);
    if (!symbol) return nullptr;
    struct link_map* module = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &module) != 0) return nullptr;
    Dl_info info;
    struct link_map* owner = nullptr;
    if (!dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP)) return nullptr;
    return owner == module ? symbol : nullptr;
}

EntryPoint entryPoint(void* handle, const char* name) {
    return reinterpret_cast<EntryPoint>(moduleSymbol(handle, name));
}

void error(const std::string& text) { MGlobal::displayError(MString(text.c_str())); }

// Forgets every command of a plug-in and its queued command objects; returns
// the names that were still registered.
std::string dropCommands(unsigned long long plugin) {
    flushUndoQueues([&](const QueuedCommand& entry) { return entry.plugin == plugin; });
    std::string names;
    auto& commands = session().commands;
    for (auto it = commands.begin(); it != commands.end();) {
        if (it->second.plugin == plugin) {
            names += (names.empty() ? "" : ", ") + it->first;
            it = commands.erase(it);
        } else {
            ++it;
        }
    }
    return names;
}

void forget(unsigned long long plugin) {
    auto& plugins = session().plugins;
    for (auto it = plugins.begin(); it != plugins.end(); ++it) {
        if (it->id == plugin) {
            plugins.erase(it);
            return;
        }
    }
}

}  // namespace

namespace host {

MStatus loadPlugin(const std::string& path) {
    const std::string name = std::filesystem::path(path).stem().string();
    for (const auto& plugin : detail::session().plugins) {
        if (plugin.name == name) {
            error("Plug-in \"" + name + "\" is already loaded");
            return MS::kFailure;
        }
    }
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error("Cannot load plug-in \"" + path + "\": " + (why ? why : "unknown reason"));
        return MS::kFailure;
    }
    const EntryPoint initialize = entryPoint(handle, kInitializeSymbol);
    const EntryPoint uninitialize = entryPoint(handle, kUninitializeSymbol);
    if (!moduleSymbol(handle, kApiVersionSymbol) || !initialize || !uninitialize) {
        dlclose(handle);
        error("\"" + path + "\" is not a plug-in: it lacks " +
              (initialize && uninitialize ? std::string("the API version (MApiVersion)")
                                          : std::string("initializePlugin or uninitializePlugin")));
        return MS::kFailure;
    }
    PluginRecord record;
    record.id = detail::session().nextPluginId++;
    record.name = name;
    record.path = path;
    record.handle = handle;
    detail::session().plugins.push_back(record);
    const MStatus status = initialize(ObjectAccess::pluginObject(record.id));
    if (!status) {
        error("initializePlugin of \"" + name + "\" failed: " + status.errorString().asChar());
        dropCommands(record.id);
        forget(record.id);
        dlclose(handle);
        return status;
    }
    return MS::kSuccess;
}

MStatus unloadPlugin(const std::string& nameOrPath) {
    PluginRecord* found = nullptr;
    for (auto& plugin : detail::session().plugins)
        if (plugin.name == nameOrPath || plugin.path == nameOrPath) found = &plugin;
    if (!found) {
        error("Plug-in \"" + nameOrPath + "\" is not loaded");
        return MS::kFailure;
    }
    const PluginRecord record = *found;
    // Command objects kept for undo run the module's code: they go first.
    flushUndoQueues([&](const QueuedCommand& entry) { return entry.plugin == record.id; });
    const MStatus status = entryPoint(record.handle, kUninitializeSymbol)(ObjectAccess::pluginObject(record.id));
    if (!status) {
        error("uninitializePlugin of \"" + record.name + "\" failed: " + status.errorString().asChar());
        return status;
    }
    MStatus result;
    const std::string leftovers = dropCommands(record.id);
    if (!leftovers.empty()) {
        error("Plug-in \"" + record.name + "\" did not deregister: " + leftovers);
        result = MS::kFailure;
    }
    forget(record.id);
    dlclose(record.handle);
    return result;
}

std::vector<std::string> loadedPlugins() {
    std::vector<std::string> names;
    for (const auto& plugin : detail::session().plugins) names.push_back(plugin.name);
    return names;
}

}  // namespace host
