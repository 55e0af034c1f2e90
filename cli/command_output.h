#pragma once
// Captures what the plug-in prints on standard output while its command runs,
// line by line, so the program can show progress its own way and keep the
// numbers for the report.

#include <functional>
#include <string>
#include <thread>

namespace vantrel::cli {

class CommandOutputCapture {
public:
    using LineHandler = std::function<void(const std::string& line)>;

    // Redirects file descriptor 1 into a pipe read by a background thread
    // that calls `onLine` for every complete line. Throws std::runtime_error
    // when the redirection cannot be set up.
    explicit CommandOutputCapture(LineHandler onLine);
    // Restores standard output and delivers any last, unterminated line.
    ~CommandOutputCapture();

    CommandOutputCapture(const CommandOutputCapture&) = delete;
    CommandOutputCapture& operator=(const CommandOutputCapture&) = delete;

private:
    void readLines();

    LineHandler onLine_;
    int savedStdout_ = -1;
    int readEnd_ = -1;
    std::thread reader_;
};

}  // namespace vantrel::cli
