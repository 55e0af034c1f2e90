#include "cli/io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw WriteError(formatIoMessage(path, what));
}

// Writes every byte to `fd`; returns 0 or the errno of the failed write.
int writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += std::size_t(n);
    }
    return 0;
}

// A device or a pipe takes the bytes as they come; there is nothing to
// replace, and no temporary file could be renamed over it.
void writeStream(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail(path, "cannot open for writing", errno);
    if (const int error = writeAll(fd, bytes)) {
        ::close(fd);
        fail(path, "cannot write", error);
    }
    if (::close(fd) != 0) fail(path, "cannot close", errno);
}

// A new file beside the one it will replace, removed unless committed.
class Temporary {
public:
    // `path` is the name given (for messages), `target` the file to replace.
    Temporary(const std::string& path, const std::filesystem::path& target) : path_(path), target_(target) {
        std::filesystem::path dir = target.parent_path();
        if (dir.empty()) dir = ".";
        // open(O_EXCL) with mode 0666 rather than mkstemp: the output then gets
        // the usual permissions through the umask.
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            temp_ = (dir / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                            std::to_string(counter++)))
                        .string();
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) fail(path_, "cannot create a temporary file in " + dir.string(), errno);
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }

    const std::string& path() const { return temp_; }
    int fd() const { return fd_; }

    // Closes the descriptor, for a writer that opens the file by name.
    void closeForFill() {
        ::close(fd_);
        fd_ = -1;
    }

    // Flushes the bytes to disk and renames the file over the target.
    void commit() {
        if (fd_ < 0) {
            fd_ = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0) fail(path_, "cannot reopen the temporary file", errno);
        }
        if (::fsync(fd_) != 0) fail(path_, "cannot flush", errno);
        const int closed = ::close(fd_);
        fd_ = -1;
        if (closed != 0) fail(path_, "cannot close", errno);
        if (std::rename(temp_.c_str(), target_.c_str()) != 0)
            fail(path_, "cannot rename the temporary file into place", errno);
        committed_ = true;
    }

private:
    std::string path_;
    std::filesystem::path target_;
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// The file a rename replaces: the one a symbolic link names, so that the
// link stays and points at the new contents.
std::filesystem::path replacedFile(const std::string& path, OutputTarget target) {
    if (target != OutputTarget::regularFile) return path;
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    if (ec) fail(path, "cannot resolve", ec.value());
    return resolved;
}

}  // namespace

OutputTarget outputTarget(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (error != ENOENT) fail(path, "cannot examine", error);
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            refuse(path, "is a symbolic link to a missing file");
        return OutputTarget::newFile;
    }
    if (S_ISREG(st.st_mode)) return OutputTarget::regularFile;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return OutputTarget::stream;
    if (S_ISDIR(st.st_mode)) refuse(path, "is a directory");
    if (S_ISBLK(st.st_mode)) refuse(path, "is a block device; give a file, a character device or a pipe");
    refuse(path, "is not a regular file, a character device or a pipe");
}

void writeFileAtomically(const std::string& path, const std::string& bytes) {
    const OutputTarget target = outputTarget(path);
    if (target == OutputTarget::stream) {
        writeStream(path, bytes);
        return;
    }
    Temporary temporary(path, replacedFile(path, target));
    if (const int error = writeAll(temporary.fd(), bytes)) fail(path, "cannot write", error);
    temporary.commit();
}

void writeFileAtomically(const std::string& path, const std::function<void(const std::string&)>& fill) {
    const OutputTarget target = outputTarget(path);
    if (target == OutputTarget::stream) {
        fill(path);
        return;
    }
    Temporary temporary(path, replacedFile(path, target));
    temporary.closeForFill();
    fill(temporary.path());
    temporary.commit();
}

}  // namespace vantrel::io
