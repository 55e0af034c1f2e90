#pragma once
// The host's thread setting.

class MThreadUtils {
public:
    // Threads the host lets plug-ins use: the number of hardware threads
    // unless the host's user set another count.
    static int getNumThreads();
};
