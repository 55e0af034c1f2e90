#include "stdout_capture.h"

#include <unistd.h>

#include <iostream>
#include <stdexcept>

namespace {

void flushStandardOutput() {
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

StdoutCapture::StdoutCapture() {
    flushStandardOutput();
    sink_ = std::tmpfile();
    saved_ = dup(STDOUT_FILENO);
    if (!sink_ || saved_ < 0 || dup2(fileno(sink_), STDOUT_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        if (sink_) std::fclose(sink_);
        throw std::runtime_error("cannot redirect standard output");
    }
}

StdoutCapture::~StdoutCapture() {
    flushStandardOutput();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::fclose(sink_);
}

std::string StdoutCapture::text() {
    flushStandardOutput();
    std::string text;
    std::rewind(sink_);
    for (int c; (c = std::fgetc(sink_)) != EOF;) text.push_back(static_cast<char>(c));
    std::fseek(sink_, 0, SEEK_END);
    return text;
}
