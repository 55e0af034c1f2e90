#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>

namespace vantrel::cli {

Progress::Progress(bool quiet, int iterationLimit)
    : quiet_(quiet), terminal_(::isatty(STDERR_FILENO) != 0), iterationLimit_(iterationLimit) {}

void Progress::show(const std::string& text) {
    if (quiet_) return;
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        lineOpen_ = true;
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void Progress::stage(const std::string& what) { show(what + " ..."); }

namespace {

// Splits "Vantrel : Iteration <n> <rest>" into n and rest; false for other lines.
bool iterationLine(const std::string& line, std::string& number, std::string& rest) {
    static const std::string prefix = "Vantrel : Iteration ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    size_t end = prefix.size();
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    if (end == prefix.size() || end >= line.size() || line[end] != ' ') return false;
    number = line.substr(prefix.size(), end - prefix.size());
    rest = line.substr(end + 1);
    return true;
}

}  // namespace

void Progress::beginRun(const std::string& label, int iterations) {
    runLabel_ = label.empty() ? label : label + ", ";
    iterationLimit_ = iterations;
}

void Progress::commandLine(const std::string& line) {
    const std::string of = "/" + std::to_string(iterationLimit_);
    std::string number, rest;
    if (iterationLine(line, number, rest) && rest.compare(0, 8, "Error = ") == 0) {
        const std::string value = rest.substr(8);
        iterationErrors_.push_back(std::strtod(value.c_str(), nullptr));
        show(runLabel_ + "iteration " + number + of + ": error " + value);
    } else if (iterationLine(line, number, rest) && (rest == "Solving Bones" || rest == "Solving Skinning")) {
        if (terminal_)
            show(runLabel_ + "iteration " + number + of + ": solving " + (rest == "Solving Bones" ? "bones" : "weights"));
    } else {
        otherLines_.push_back(line);
    }
}

void Progress::finish() {
    if (lineOpen_) {
        std::fprintf(stderr, "\n");
        std::fflush(stderr);
        lineOpen_ = false;
    }
}

}  // namespace vantrel::cli
