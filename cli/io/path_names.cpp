#include "cli/io/path_names.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace vantrel::io {

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

}  // namespace vantrel::io
