// glTF 2.0 (.gltf with embedded or external buffers, .glb) through tinygltf.
//
// The mesh read is that of the first node with a mesh and a skin, else the
// first node with a mesh, else mesh 0 (a note says so when there are others);
// all its primitives are joined (only TRIANGLES primitives give faces). Every
// animation becomes a clip, named after it ("animation N" when unnamed or
// named like an earlier one): each is sampled at the union of its key times,
// or at ReadOptions::frameRate from its first to its last key, and they follow
// one another on one timeline, the first at its own key times, each later one
// starting one frame (at the file's rate: the requested one, else the mean
// key rate over all animations) after the previous one ends. A file without
// animations gives one frame at time 0 and no clips. Each frame evaluates the
// node hierarchy (LINEAR, STEP and CUBICSPLINE keys; rotations by slerp), the
// morph-target weights and, for a skinned mesh, linear blend skinning with the
// skin's inverse bind matrices; an unskinned mesh is placed by its node's
// world matrix. A skinned mesh fills jointNames (node names), jointParents
// (nearest ancestor among the skin's joints), jointWorld and skin (weights as
// stored, zero weights dropped), and, without morph targets, the bind pose.
//
// Refused with a ReadError: glTF 1.0; a channel aimed at a node the file does
// not have; a skinned primitive without JOINTS_0/WEIGHTS_0, and a skinned
// vertex whose weights are all zero or one of them negative.
//
// Every accessor is bounds-checked here before use, and a .glb's chunk layout
// is checked before tinygltf parses it; sparse accessors are refused. Images
// are never decoded, and external images never read.
//
// Buffers are data: URIs (base64), a .glb's binary chunk, or files inside the
// glTF file's own folder, named by relative URIs (%XX escapes decoded).
// Absolute paths, ".." or symbolic links that leave the folder, and other
// schemes are refused with a ReadError naming the URI; no other file is opened.
#pragma once

#include <string>
#include <vector>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

MeshAnimation readGltf(const std::string& path, const ReadOptions& options = {});

// The external buffer files readGltf(path) reads (resolved paths). Throws
// ReadError as readGltf does for a URI it refuses.
std::vector<std::string> gltfBufferFiles(const std::string& path);

}  // namespace vantrel::io
