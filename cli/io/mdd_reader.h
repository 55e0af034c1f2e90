// MDD point caches, all big endian: int32 frame count, int32 point count,
// one float time (seconds) per frame, then per frame per point three floats.
//
// The frame times are kept (MeshAnimation::frameTimes) and the frame rate is
// estimated from their mean spacing (24 when there is a single frame or the
// times are not increasing), unless ReadOptions::frameRate is given, which
// then also replaces the times. A cache has no faces; ReadOptions::topologyPath
// adds them.
#pragma once

#include <string>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

MeshAnimation readMdd(const std::string& path, const ReadOptions& options = {});

}  // namespace vantrel::io
