#include "cli/info.h"

#include <iostream>

#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "cli/rig_metrics.h"

namespace vantrel::cli {

int runInfo(const std::string& inputPath, const std::string& topologyPath) {
    io::ReadOptions options;
    if (!topologyPath.empty()) options.topologyPath = topologyPath;
    const io::MeshAnimation animation = io::readAnimation(inputPath, options);
    const int frames = animation.frameCount();
    std::cout << inputPath << "\n"
              << "  vertices:  " << animation.vertexCount << "\n"
              << "  triangles: " << animation.triangles.size() << "\n"
              << "  uvs:       " << (animation.uvs.empty() ? "no" : "yes") << "\n"
              << "  frames:    " << frames << " at " << animation.frameRate << " per second";
    if (frames > 1) std::cout << " (" << animation.timeOf(frames - 1) - animation.timeOf(0) << " s)";
    std::cout << "\n  size:      " << (frames > 0 ? boundingBoxDiagonal(animation.frames.front()) : 0.0)
              << " (bounding-box diagonal of frame 0)\n";
    std::cout << "  clips:     " << animation.clips.size() << "\n";
    for (const io::Clip& clip : animation.clips)
        std::cout << "    " << clip.name << ": frames " << clip.firstFrame << " to "
                  << clip.firstFrame + clip.frameCount - 1 << "\n";
    std::cout << "  joints:    " << animation.jointNames.size() << (animation.skin.empty() ? "" : " (skinned)") << "\n";
    for (size_t j = 0; j < animation.jointNames.size(); ++j) {
        std::cout << "    " << animation.jointNames[j];
        if (animation.jointParents[j] >= 0)
            std::cout << " (child of " << animation.jointNames[animation.jointParents[j]] << ")";
        std::cout << "\n";
    }
    for (const std::string& note : animation.notes) std::cout << "note: " << note << "\n";
    return 0;
}

}  // namespace vantrel::cli
