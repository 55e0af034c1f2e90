// Quake II MD2 models (magic "IDP2", version 8): vertex animation with
// per-frame scale and translation over 8-bit compressed positions.
//
// Choices: every frame is decoded in the file's own coordinates (Quake's
// Z-up, no axis change); triangles are turned from MD2's clockwise to
// counter-clockwise front faces; MD2 stores texture coordinates per triangle
// corner, and each vertex takes the uv of the first corner that uses it (no
// vertex is split, so the vertex count is the file's); the frame rate is
// Quake II's 10 frames per second unless overridden; clips are runs of
// consecutive frames whose names agree once trailing digits are stripped
// ("run1".."run6" -> "run").
#pragma once

#include <string>
#include <vector>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

MeshAnimation readMd2(const std::string& path, const ReadOptions& options = {});

// Clips from frame names as described above.
std::vector<Clip> clipsFromFrameNames(const std::vector<std::string>& names);

}  // namespace vantrel::io
