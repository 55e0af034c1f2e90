#pragma once
// Saving and loading the scene as a JSON file: nodes, attributes and values,
// connections, keys, point caches, skin clusters, the current time and UI
// unit. Doubles are written in their shortest exact form, so a loaded scene
// evaluates identically to the saved one. The file is compact JSON (no
// indentation): point caches make it large.

#include <string>

#include <host/error.h>

namespace host {

// Throws host::Error when the file cannot be written.
void saveScene(const std::string& path);
// Replaces the scene with the file's. A malformed, truncated or inconsistent
// file throws host::Error naming the file and the place ("nodes[2].keys[0]:
// expected a number") and leaves the scene as it was.
void loadScene(const std::string& path);

}  // namespace host
