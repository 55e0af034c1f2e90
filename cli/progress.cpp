#include "cli/progress.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace vantrel::cli {

Progress::Progress(bool quiet, int iterationLimit, std::FILE* stream)
    : stream_(stream),
      quiet_(quiet),
      terminal_(::isatty(::fileno(stream)) != 0),
      iterationLimit_(iterationLimit),
      lastWritten_(Clock::now()) {}

void Progress::write(const std::string& text, Clock::time_point now) {
    if (terminal_) {
        std::fprintf(stream_, "\r\033[K%s", text.c_str());
        lineOpen_ = true;
    } else {
        std::fprintf(stream_, "%s\n", text.c_str());
    }
    std::fflush(stream_);
    lastWritten_ = now;
}

void Progress::setActivity(const std::string& text, bool print) {
    activity_ = text;
    activitySince_ = Clock::now();
    if (quiet_) return;
    if (terminal_ || print) write(text, activitySince_);
}

void Progress::stage(const std::string& what) {
    const std::lock_guard<std::mutex> lock(mutex_);
    setActivity(what + " ...", true);
}

void Progress::note(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (quiet_) return;
    if (lineOpen_) {
        // The note goes above the step's line, which comes back on the next tick.
        std::fprintf(stream_, "\r\033[K");
        lineOpen_ = false;
    }
    std::fprintf(stream_, "note: %s\n", text.c_str());
    std::fflush(stream_);
    lastWritten_ = Clock::now();
}

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
    const std::lock_guard<std::mutex> lock(mutex_);
    runLabel_ = label.empty() ? label : label + ", ";
    iterationLimit_ = iterations;
    // Sampling the scene comes before the first iteration: the run's, not
    // the previous stage's.
    if (!label.empty()) setActivity(label + " ...", false);
}

void Progress::commandLine(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string of = "/" + std::to_string(iterationLimit_);
    std::string number, rest;
    if (iterationLine(line, number, rest) && rest.compare(0, 8, "Error = ") == 0) {
        const std::string value = rest.substr(8);
        iterationErrors_.push_back(std::strtod(value.c_str(), nullptr));
        setActivity(runLabel_ + "iteration " + number + of + ": error " + value, true);
    } else if (iterationLine(line, number, rest) && (rest == "Solving Bones" || rest == "Solving Skinning")) {
        // A log gets the error of each iteration, not each of its steps.
        setActivity(
            runLabel_ + "iteration " + number + of + ": solving " + (rest == "Solving Bones" ? "bones" : "weights"),
            false);
    }
}

void Progress::finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    activity_.clear();
    if (lineOpen_) {
        std::fprintf(stream_, "\n");
        std::fflush(stream_);
        lineOpen_ = false;
    }
}

void Progress::tick(Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (quiet_ || activity_.empty()) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - activitySince_).count();
    if (seconds < 1) return;
    if (!terminal_ && now - lastWritten_ < kLogInterval) return;
    write(activity_ + " (" + std::to_string(seconds) + " s)", now);
}

ProgressHeartbeat::ProgressHeartbeat(Progress& progress) : progress_(progress) {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; }))
            progress_.tick(Progress::Clock::now());
    });
}

ProgressHeartbeat::~ProgressHeartbeat() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

}  // namespace vantrel::cli
