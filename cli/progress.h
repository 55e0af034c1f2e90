#pragma once
// Progress of a decomposition on standard error: one line rewritten in place
// on a terminal, plain lines otherwise (a log file gets every stage), nothing
// when quiet.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::cli {

class Progress {
public:
    using Clock = std::chrono::steady_clock;

    // Writes to `stream`; whether it is a terminal decides the style.
    Progress(bool quiet, int iterationLimit, std::FILE* stream = stderr);

    // A stage of the program ("reading", "placing joints", ...).
    void stage(const std::string& what);
    // "note: <text>" on a line of its own; nothing when quiet.
    void note(const std::string& text);
    // A run of the command begins: its iteration lines are shown as
    // "<label>, iteration n/<iterations>".
    void beginRun(const std::string& label, int iterations);
    // One line printed by the command; iteration lines update the display and
    // errors are kept in `iterationErrors`, other lines are passed over.
    void commandLine(const std::string& line);
    // Ends an in-place line so later output starts on a fresh one; the step
    // shown is over.
    void finish();
    // Shows that the current step still goes on, with the seconds it has
    // taken at `now`: on a terminal its line again every time (call it every
    // second), elsewhere a line once kLogInterval has passed without one.
    void tick(Clock::time_point now);

    // How long a log may go without a line while a step goes on.
    static constexpr std::chrono::seconds kLogInterval{30};

    // Read once the command's runs are over (its output is captured on
    // another thread while it runs).
    const std::vector<double>& iterationErrors() const { return iterationErrors_; }

private:
    // What is going on now: shown on a terminal, printed to a log when `print`.
    void setActivity(const std::string& text, bool print);
    void write(const std::string& text, Clock::time_point now);

    std::mutex mutex_;
    std::FILE* stream_;
    bool quiet_;
    bool terminal_;
    bool lineOpen_ = false;
    int iterationLimit_;
    std::string runLabel_;
    std::string activity_;             // empty: nothing going on
    Clock::time_point activitySince_;  // when the activity began
    Clock::time_point lastWritten_;    // when a line last went out
    std::vector<double> iterationErrors_;
};

// Ticks a Progress every second from a thread of its own while it lives, so
// that long steps (joint placement, building the scene, an iteration of a
// large solve) show that they go on.
class ProgressHeartbeat {
public:
    explicit ProgressHeartbeat(Progress& progress);
    ~ProgressHeartbeat();

    ProgressHeartbeat(const ProgressHeartbeat&) = delete;
    ProgressHeartbeat& operator=(const ProgressHeartbeat&) = delete;

private:
    Progress& progress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vantrel::cli
