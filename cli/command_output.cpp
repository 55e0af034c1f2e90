#include "cli/command_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace vantrel::cli {

CommandOutputCapture::CommandOutputCapture(LineHandler onLine) : onLine_(std::move(onLine)) {
    std::cout.flush();
    std::fflush(stdout);
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("cannot create a pipe for the command's output");
    savedStdout_ = ::dup(STDOUT_FILENO);
    if (savedStdout_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        if (savedStdout_ >= 0) ::close(savedStdout_);
        throw std::runtime_error("cannot redirect standard output");
    }
    ::close(ends[1]);
    readEnd_ = ends[0];
    reader_ = std::thread([this] { readLines(); });
}

CommandOutputCapture::~CommandOutputCapture() {
    std::cout.flush();
    std::fflush(stdout);
    // Closing the pipe's last write end ends the reader's loop.
    ::dup2(savedStdout_, STDOUT_FILENO);
    ::close(savedStdout_);
    reader_.join();
    ::close(readEnd_);
}

void CommandOutputCapture::readLines() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(readEnd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(buffer, static_cast<size_t>(count));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            onLine_(pending.substr(start, end - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) onLine_(pending);
}

}  // namespace vantrel::cli
