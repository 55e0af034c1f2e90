// PC2 point caches: "POINTCACHE2\0", int32 version 1, int32 point count,
// float start frame, float sample rate, int32 sample count, then per sample
// per point three little-endian floats.
//
// The sample rate is the step between samples in frames of the exporting
// scene, whose frame rate the file does not store: samples are taken to be
// at 24 / sampleRate per second unless ReadOptions::frameRate gives the rate
// of the samples. A cache has no faces; ReadOptions::topologyPath adds them.
#pragma once

#include <string>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

MeshAnimation readPc2(const std::string& path, const ReadOptions& options = {});

}  // namespace vantrel::io
