// Reading any supported animation file: the reader is chosen by the path.
#pragma once

#include <string>
#include <vector>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

// Reads a mesh animation, choosing the reader by extension: .gltf/.glb, .md2,
// .pc2, .mdd, .obj (one file, or a pattern of files such as "walk_%04d.obj" or
// "walk_*.obj"), or a directory of .obj files. Throws ReadError.
MeshAnimation readAnimation(const std::string& path, const ReadOptions& options = {});

// Whether readAnimation(path) takes the faces from the file itself (glTF,
// MD2, OBJ files and sequences); point caches get them from a topology file.
bool carriesOwnFaces(const std::string& path);

// The files readAnimation(path) would read: the file itself, the files a
// pattern or directory of .obj files matches, and a glTF file's external
// buffers. Files that cannot be listed (a pattern matching nothing, a glTF
// file that does not parse) are left out: reading them fails on its own.
std::vector<std::string> animationFiles(const std::string& path);

}  // namespace vantrel::io
