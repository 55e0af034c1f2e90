#pragma once
// The files a command writes, checked against each other and against the
// files it reads before any work is done, so that no output replaces another
// output or an input, and a path that cannot be written is found before the
// solve rather than after it.

#include <string>
#include <vector>

namespace vantrel::cli {

// A file named on the command line or in a report, with what names it: an
// option ("-o", "--report") or a role ("the input", "the rig file").
struct NamedFile {
    std::string name;
    std::string path;
};

// Throws std::runtime_error, naming the option and the file, when
// - two outputs are the same file, or an output is one of the inputs (files
//   compared as files, not as spellings: existing ones by device and inode,
//   new ones by their folder's canonical path and their name);
// - an output's folder does not exist or cannot be written in;
// - an output is a directory, a block device, a socket or a symbolic link to
//   nothing (io::outputTarget).
// Inputs that do not exist are left for their readers to report.
void checkOutputPaths(const std::vector<NamedFile>& outputs, const std::vector<NamedFile>& inputs);

}  // namespace vantrel::cli
