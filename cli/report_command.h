#pragma once
// `vantrel report`: the report page of an earlier decomposition, from its JSON
// report, the input it names and the rig file it wrote.

#include <string>

namespace vantrel::cli {

struct ReportCommandOptions {
    std::string reportPath;        // the JSON report `decompose --report` wrote
    std::string htmlPath;          // the page to write
    std::string viewerScriptPath;  // empty: found like decompose finds it
    bool quiet = false;
};

// Returns the exit code; throws std::exception subclasses with messages meant
// for the user (an unreadable report, a missing input or rig, a rig that does
// not match the input).
int runReport(const ReportCommandOptions& options);

}  // namespace vantrel::cli
