#include "common/progress_log.h"

#include <iostream>

// Shares standard output's buffer, so the lines interleave correctly with
// anything else the process prints.
std::ostream logStream(std::cout.rdbuf());
