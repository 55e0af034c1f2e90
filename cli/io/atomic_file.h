// Output files are written whole or not at all: the bytes go to a temporary
// file in the target's directory, which is then renamed over the target.
#pragma once

#include <string>

namespace vantrel::io {

// Writes `bytes` to `path` atomically; on any failure removes the temporary
// file and throws WriteError naming the path and the cause.
void writeFileAtomically(const std::string& path, const std::string& bytes);

}  // namespace vantrel::io
