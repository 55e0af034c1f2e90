#pragma once
// `vantrel info`: what an animation file holds.

#include <string>

#include "cli/decompose_options.h"

namespace vantrel::cli {

// Prints vertices, triangles, frames, rate, clips, joints, size and the
// reader's notes on standard output; returns the exit code. Read errors
// propagate.
int runInfo(const std::string& inputPath, const std::string& topologyPath);

}  // namespace vantrel::cli
