#pragma once
// What the readers and the writer tell from a file's name.

#include <string>

namespace vantrel::io {

// The extension of `path` in lower case (ASCII letters only), with its dot
// (".pc2"); empty when it has none.
std::string lowerExtension(const std::string& path);

}  // namespace vantrel::io
