#pragma once
// Large arrays (frames read, sampled poses, solver buffers) fault in a page
// at a time; on a virtual machine each fault is costly. Where the system
// gives transparent huge pages only to memory that asks for them, glibc's
// allocator asks only when told so in the environment at start-up.

namespace vantrel::cli {

// Where the system hands out huge pages on request and the allocator has not
// been told to request them, starts the program again (same arguments,
// standard streams and process) with that setting; returns when it has
// nothing to do or cannot.
void restartWithHugePages(char** argv);

}  // namespace vantrel::cli
