#include "cli/path_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "cli/io/atomic_file.h"
#include "cli/io/io_error.h"

namespace vantrel::cli {

namespace {

namespace fs = std::filesystem;

// Which file a path names: an existing file by device and inode (so that
// links and other spellings of it compare equal), a new one by its folder's
// canonical path and its name.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string location;

    bool operator==(const FileIdentity& other) const {
        if (exists != other.exists) return false;
        return exists ? device == other.device && inode == other.inode : location == other.location;
    }
};

std::optional<FileIdentity> identify(const std::string& path) {
    FileIdentity identity;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        identity.exists = true;
        identity.device = st.st_dev;
        identity.inode = st.st_ino;
        return identity;
    }
    const fs::path given(path);
    std::error_code ec;
    const fs::path folder = fs::canonical(given.parent_path().empty() ? fs::path(".") : given.parent_path(), ec);
    if (ec) return std::nullopt;
    identity.location = (folder / given.filename()).string();
    return identity;
}

[[noreturn]] void refuse(const NamedFile& output, const std::string& what) {
    throw std::runtime_error(output.name + " " + output.path + ": " + what);
}

// The output can be written: it names a file, of a kind the writer takes, in
// a folder that exists and takes new files.
void checkWritable(const NamedFile& output) {
    const fs::path given(output.path);
    const std::string name = given.filename().string();
    if (name.empty() || name == "." || name == "..") refuse(output, "does not name a file");
    io::OutputTarget target;
    try {
        target = io::outputTarget(output.path);
    } catch (const io::WriteError& error) {
        throw std::runtime_error(output.name + " " + error.what());
    }
    if (target == io::OutputTarget::stream) {
        if (::access(output.path.c_str(), W_OK) != 0)
            refuse(output, std::string("cannot be written: ") + std::strerror(errno));
        return;
    }
    // The temporary file goes beside the file replaced (the one a symbolic
    // link names).
    std::error_code ec;
    fs::path folder =
        target == io::OutputTarget::regularFile ? fs::canonical(given, ec).parent_path() : given.parent_path();
    if (folder.empty()) folder = ".";
    if (!fs::is_directory(folder, ec)) refuse(output, "the folder " + folder.string() + " does not exist");
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        refuse(output, "cannot write in the folder " + folder.string() + " (" + std::strerror(errno) + ")");
}

}  // namespace

void checkOutputPaths(const std::vector<NamedFile>& outputs, const std::vector<NamedFile>& inputs) {
    std::vector<std::pair<const NamedFile*, FileIdentity>> known;
    for (const NamedFile& input : inputs) {
        struct stat st {};
        if (input.path.empty() || ::stat(input.path.c_str(), &st) != 0) continue;
        if (const std::optional<FileIdentity> identity = identify(input.path)) known.emplace_back(&input, *identity);
    }
    const size_t inputCount = known.size();
    for (const NamedFile& output : outputs) {
        checkWritable(output);
        const std::optional<FileIdentity> identity = identify(output.path);
        if (!identity) refuse(output, "cannot resolve its folder");
        for (size_t k = 0; k < known.size(); ++k) {
            if (!(known[k].second == *identity)) continue;
            const NamedFile& other = *known[k].first;
            if (k < inputCount)
                refuse(output, "is the same file as " + other.name + " " + other.path + "; it would be overwritten");
            throw std::runtime_error(other.name + " " + other.path + " and " + output.name + " " + output.path +
                                     " are the same file; give each output its own file");
        }
        known.emplace_back(&output, *identity);
    }
}

}  // namespace vantrel::cli
