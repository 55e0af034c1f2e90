#include "cli/io/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cli/io/io_error.h"

namespace vantrel::io {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what, int error) {
  throw WriteError(formatIoMessage(path, what + ": " + std::strerror(error)));
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::string& bytes) {
  const std::filesystem::path target(path);
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  // open(O_EXCL) with mode 0666 rather than mkstemp: the output then gets
  // the usual permissions through the umask.
  static std::atomic<unsigned> counter{0};
  std::string tempPath;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tempPath = (dir / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter++)))
                   .string();
    fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) fail(path, "cannot create a temporary file in " + dir.string(), errno);

  const auto abandon = [&](const std::string& what, int error) {
    ::close(fd);
    ::unlink(tempPath.c_str());
    fail(path, what, error);
  };
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon("cannot write", errno);
    }
    written += std::size_t(n);
  }
  if (::fsync(fd) != 0) abandon("cannot flush", errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(tempPath.c_str());
    fail(path, "cannot close", error);
  }
  if (std::rename(tempPath.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(tempPath.c_str());
    fail(path, "cannot rename the temporary file into place", error);
  }
}

}  // namespace vantrel::io
