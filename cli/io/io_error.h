// Errors of the file readers and writers. Their messages name the file, what
// is wrong and where (byte offset, frame or line), so that the program can
// print them as they are.
#pragma once

#include <stdexcept>
#include <string>

namespace vantrel::io {

// A file that cannot be read as the format it claims: missing, malformed,
// truncated or inconsistent.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output file that could not be written; no partial file is left behind.
class WriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "FILE: WHAT (WHERE)" or "FILE: WHAT" when `where` is empty; FILE is the path
// as given.
std::string formatIoMessage(const std::string& path, const std::string& what, const std::string& where = {});

[[noreturn]] void throwReadError(const std::string& path, const std::string& what, const std::string& where = {});

}  // namespace vantrel::io
