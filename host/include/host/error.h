#pragma once
// The builder API's failure: a misuse (unknown or taken name, wrong node or
// attribute type) or an unreadable scene file. The text says what and where.

#ifdef VANTREL_HOST_API_SUBSET
#error "<host/...> is the headless host's own API: the plug-in reaches the scene through <maya/...> only"
#endif

#include <stdexcept>
#include <string>

namespace host {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace host
