#pragma once
// Resident memory of this process, from Linux's /proc/self/status, for the
// memory benchmarks.

#include <cstdlib>
#include <fstream>
#include <string>

// A field of /proc/self/status (VmRSS, VmHWM, ...), in kB; -1 when absent.
inline long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Resets VmHWM to the current resident set (clear_refs 5), where the kernel
// allows it, so that a later VmHWM is the peak of what runs in between.
inline void resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}
