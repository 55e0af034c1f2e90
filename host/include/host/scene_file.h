#pragma once
// Saving and loading the scene as a JSON file: nodes, attributes and values,
// connections, keys, point caches, skin clusters, the current time and UI
// unit. Doubles are written in their shortest exact form, so a loaded scene
// evaluates identically to the saved one. The file is compact JSON (no
// indentation): point caches make it large.
//
// Layout (version 1), for tools that read or write it directly:
//   {"format": "vantrel-scene", "version": 1, "timeUnit": "film",
//    "currentTime": {"value": 0.0, "unit": "film"},
//    "nodes": [ in creation order, parents before children:
//      {"name", "type": "node"|"transform"|"joint"|"mesh"|"skinCluster"|"animCurve",
//       "parent": DAG nodes only ("" = the world),
//       "attributes": [{"name", "keyable", "value" | "elements": [[index, value], ...],
//                       dynamic ones also "type" ("int", "doubleArray", ...) and "array"}],
//       meshes: "points": [[x, y, z], ...], "polygons": [[id, ...], ...],
//               optional "pointCache": {"firstFrame", "unit", "frames": [points, ...]},
//       skin clusters: "mesh", "influences": [names], "bindPreMatrices": [16 numbers
//               row by row, per influence], "bindGeometryMatrix", "weights": [[per
//               influence] per vertex],
//       curves: "unit", "keys": [[time, value, in tangent, out tangent], ...]}],
//    "connections": [["source.plug", "destination.plug"], ...]}
// Units are MTime's ("film", "ntsc", "pal", "game", "show", "palf", "ntscf",
// "hours", "minutes", "seconds", "milliseconds"); non-finite numbers are the
// strings "nan", "inf" and "-inf".

#ifdef VANTREL_HOST_API_SUBSET
#error "<host/...> is the headless host's own API: the plug-in reaches the scene through <maya/...> only"
#endif

#include <string>

#include <host/error.h>

namespace host {

// Throws host::Error when the file cannot be written, or when a mesh is
// instanced (the file keeps one parent per DAG node).
void saveScene(const std::string& path);
// Replaces the scene with the file's. A malformed, truncated or inconsistent
// file throws host::Error naming the file and the place ("nodes[2].keys[0]:
// expected a number") and leaves the scene as it was.
void loadScene(const std::string& path);

}  // namespace host
