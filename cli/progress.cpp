#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

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

void Progress::commandLine(const std::string& line) {
    static const std::regex errorLine("^Vantrel : Iteration (\\d+) Error = (.*)$");
    static const std::regex solvingLine("^Vantrel : Iteration (\\d+) Solving (\\w+)$");
    std::smatch match;
    if (std::regex_match(line, match, errorLine)) {
        iterationErrors_.push_back(std::strtod(match[2].str().c_str(), nullptr));
        show("iteration " + match[1].str() + "/" + std::to_string(iterationLimit_) + ": error " + match[2].str());
    } else if (std::regex_match(line, match, solvingLine)) {
        if (terminal_) show("iteration " + match[1].str() + "/" + std::to_string(iterationLimit_) + ": solving " +
                            (match[2].str() == "Bones" ? "bones" : "weights"));
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
