#pragma once
// `vantrel decompose`: read an animation, place joints when it has none, run
// the plug-in's command in the headless host, export the rig and report.

#include "cli/decompose_options.h"

namespace vantrel::cli {

// Returns the process exit code; prints the summary on standard output and
// problems on standard error. Throws std::exception subclasses with messages
// meant for the user.
int runDecompose(const DecomposeOptions& options);

}  // namespace vantrel::cli
