// Output files are written whole or not at all: the bytes go to a temporary
// file in the target's directory, which is then renamed over the target. Only
// a regular file (or a name not yet taken) is ever replaced that way; a
// character device or a pipe (/dev/null, /dev/stdout, a FIFO) is written to
// directly, and anything else is refused.
#pragma once

#include <functional>
#include <string>

namespace vantrel::io {

// What an output path names now, following symbolic links.
enum class OutputTarget {
    newFile,      // nothing yet: created by rename
    regularFile,  // replaced by rename (the file a symbolic link names, keeping the link)
    stream,       // character device or pipe: written directly
};

// Classifies `path` for writing; throws WriteError naming the path for a
// directory, a block device, a socket, a symbolic link to nothing, or a path
// that cannot be examined.
OutputTarget outputTarget(const std::string& path);

// Writes `bytes` to `path` as above; on any failure removes the temporary
// file and throws WriteError naming the path and the cause (e.g. "cannot
// write: No space left on device").
void writeFileAtomically(const std::string& path, const std::string& bytes);

// The same for a writer that can only write to a named file: `fill` is
// handed the temporary file's path (or the device or pipe itself) and must
// throw when it fails.
void writeFileAtomically(const std::string& path, const std::function<void(const std::string&)>& fill);

}  // namespace vantrel::io
