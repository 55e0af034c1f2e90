#include "cli/io/io_error.h"

namespace vantrel::io {

std::string formatIoMessage(const std::string& path, const std::string& what, const std::string& where) {
    std::string message = path + ": " + what;
    if (!where.empty()) message += " (" + where + ")";
    return message;
}

void throwReadError(const std::string& path, const std::string& what, const std::string& where) {
    throw ReadError(formatIoMessage(path, what, where));
}

}  // namespace vantrel::io
