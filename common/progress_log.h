#pragma once
// Progress lines of the command on standard output, each "Vantrel : ..."
// ended with std::endl (line feed and flush). No format flags are ever set on
// it, so doubles print with 6 significant digits.

#include <iosfwd>

extern std::ostream logStream;
