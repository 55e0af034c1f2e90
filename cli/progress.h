#pragma once
// Progress of a decomposition on standard error: one line rewritten in place
// on a terminal, plain lines otherwise, nothing when quiet.

#include <string>
#include <vector>

namespace vantrel::cli {

class Progress {
public:
    Progress(bool quiet, int iterationLimit);

    // A stage of the program ("reading", "placing joints", ...).
    void stage(const std::string& what);
    // A run of the command begins: its iteration lines are shown as
    // "<label>, iteration n/<iterations>".
    void beginRun(const std::string& label, int iterations);
    // One line printed by the command; iteration lines update the display and
    // errors are kept in `iterationErrors`.
    void commandLine(const std::string& line);
    // Ends an in-place line so later output starts on a fresh one.
    void finish();

    const std::vector<double>& iterationErrors() const { return iterationErrors_; }
    // Lines of the command that are not progress (kept for error reports).
    const std::vector<std::string>& otherLines() const { return otherLines_; }

private:
    void show(const std::string& text);

    bool quiet_;
    bool terminal_;
    bool lineOpen_ = false;
    int iterationLimit_;
    std::string runLabel_;
    std::vector<double> iterationErrors_;
    std::vector<std::string> otherLines_;
};

}  // namespace vantrel::cli
