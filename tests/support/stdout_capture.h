#pragma once
// Sends standard output into a temporary file while in scope, and back to
// where it went before on leaving it, also when an assertion returns early.
// Works on the file descriptor, so std::cout and printf (the host and the
// plug-in print with both) are captured alike.

#include <cstdio>
#include <string>

class StdoutCapture {
public:
    // Throws std::runtime_error when standard output cannot be redirected.
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // What was written since the capture began.
    std::string text();

private:
    std::FILE* sink_ = nullptr;
    int saved_ = -1;
};
