#pragma once
// Sends the progress stream into a string while in scope, and back to where
// it went before on leaving it, also when an assertion returns early.

#include <sstream>
#include <streambuf>
#include <string>

#include "common/progress_log.h"

class LogCapture {
public:
    LogCapture() : saved_(logStream.rdbuf(text_.rdbuf())) {}
    ~LogCapture() { logStream.rdbuf(saved_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* saved_;
};
