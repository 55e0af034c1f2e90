#include "cli/huge_pages.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vantrel::cli {
namespace {

constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kHugePageTunable = "glibc.malloc.hugetlb";
constexpr const char* kRestarted = "VANTREL_RESTARTED_FOR_HUGE_PAGES";

// Whether huge pages go only to memory that asks for them ("[madvise]").
bool hugePagesOnRequest() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    return std::getline(setting, line) && line.find("[madvise]") != std::string::npos;
}

}  // namespace

void restartWithHugePages(char** argv) {
    const char* tunables = std::getenv(kTunables);
    const std::string current = tunables ? tunables : "";
    // Set already (by us or by the user, whatever its value), or tried once
    // (should the setting not survive the restart): nothing to do.
    if (current.find(kHugePageTunable) != std::string::npos || std::getenv(kRestarted) || !hugePagesOnRequest()) return;
    ::setenv(kRestarted, "1", 1);
    const std::string wanted = (current.empty() ? "" : current + ":") + kHugePageTunable + "=1";
    if (::setenv(kTunables, wanted.c_str(), 1) != 0) return;
    ::execv("/proc/self/exe", argv);
    // Not restarted: carry on as started, without the setting.
    ::unsetenv(kRestarted);
    if (tunables)
        ::setenv(kTunables, tunables, 1);
    else
        ::unsetenv(kTunables);
}

}  // namespace vantrel::cli
