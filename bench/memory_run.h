#pragma once
// What the memory benchmarks share: the size of the run from the command
// line, and the resident memory of this process from Linux's
// /proc/self/status.

#include <cstdlib>
#include <fstream>
#include <string>

#include "known_rig.h"

struct MemoryRunSize {
    RigOptions rig;
    int iterations = 4;
};

// [V F J K iterations], defaulting to the large size and 4 iterations.
inline MemoryRunSize memoryRunSize(int argc, char** argv) {
    MemoryRunSize size;
    size.rig.vertices = argc > 1 ? std::atoi(argv[1]) : 50000;
    size.rig.frames = argc > 2 ? std::atoi(argv[2]) : 200;
    size.rig.bones = argc > 3 ? std::atoi(argv[3]) : 60;
    size.rig.maxInfluence = argc > 4 ? std::atoi(argv[4]) : 8;
    size.iterations = argc > 5 ? std::atoi(argv[5]) : 4;
    return size;
}

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
