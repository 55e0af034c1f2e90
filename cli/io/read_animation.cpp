#include "cli/io/read_animation.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include "cli/io/gltf_reader.h"
#include "cli/io/io_error.h"
#include "cli/io/md2_reader.h"
#include "cli/io/mdd_reader.h"
#include "cli/io/obj_reader.h"
#include "cli/io/path_names.h"
#include "cli/io/pc2_reader.h"

namespace vantrel::io {

namespace {

bool isObjSequence(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec) ||
           (lowerExtension(path) == ".obj" && path.find_first_of("%*?[") != std::string::npos);
}

MeshAnimation readByFormat(const std::string& path, const ReadOptions& options) {
    if (isObjSequence(path)) return readObjSequence(path, options);
    const std::string ext = lowerExtension(path);
    if (ext == ".gltf" || ext == ".glb") return readGltf(path, options);
    if (ext == ".md2") return readMd2(path, options);
    if (ext == ".pc2") return readPc2(path, options);
    if (ext == ".mdd") return readMdd(path, options);
    if (ext == ".obj") return readObjAnimation(path, options);
    throwReadError(path, "unknown animation format \"" + ext +
                             "\" (expected .gltf, .glb, .md2, .pc2, .mdd, .obj or a directory of .obj files)");
}

}  // namespace

bool carriesOwnFaces(const std::string& path) {
    if (isObjSequence(path)) return true;
    const std::string ext = lowerExtension(path);
    return ext == ".gltf" || ext == ".glb" || ext == ".md2" || ext == ".obj";
}

std::vector<std::string> animationFiles(const std::string& path) {
    try {
        if (isObjSequence(path)) return listObjSequence(path);
        std::vector<std::string> files{path};
        const std::string ext = lowerExtension(path);
        if (ext == ".gltf" || ext == ".glb") {
            const std::vector<std::string> buffers = gltfBufferFiles(path);
            files.insert(files.end(), buffers.begin(), buffers.end());
        }
        return files;
    } catch (const ReadError&) {
        return isObjSequence(path) ? std::vector<std::string>{} : std::vector<std::string>{path};
    }
}

MeshAnimation readAnimation(const std::string& path, const ReadOptions& options) {
    if (options.frameRate && !(std::isfinite(*options.frameRate) && *options.frameRate > 0)) {
        throwReadError(path, "frame rate override " + std::to_string(*options.frameRate) + " is not a positive number");
    }
    MeshAnimation animation = readByFormat(path, options);
    if (options.requireAnimation && animation.frameCount() < 2) {
        if (!isObjSequence(path) && lowerExtension(path) == ".obj") {
            throwReadError(path,
                           "one OBJ file is a single pose; a decomposition needs an animation, such as a sequence of "
                           "OBJ files (a pattern like walk_%04d.obj or walk_*.obj, or a directory)");
        }
        throwReadError(path, "the file holds a single frame; a decomposition needs an animation");
    }
    return animation;
}

}  // namespace vantrel::io
