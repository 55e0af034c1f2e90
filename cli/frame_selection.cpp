#include "cli/frame_selection.h"

#include <algorithm>
#include <array>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "cli/io/path_names.h"

namespace vantrel::cli {

namespace {

int parseIndex(const std::string& text, const std::string& list) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        throw std::invalid_argument("bad frame list '" + list + "': '" + text + "' is not a frame number");
    return value;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.push_back("");
    return parts;
}

// "a:b" (inclusive), "a:b:step" or "a,b,c".
std::vector<int> parseFrameList(const std::string& list, int frameCount) {
    std::vector<int> frames;
    if (list.find(':') != std::string::npos) {
        const std::vector<std::string> parts = split(list, ':');
        if (parts.size() < 2 || parts.size() > 3)
            throw std::invalid_argument("bad frame list '" + list + "': expected first:last or first:last:step");
        const int first = parts[0].empty() ? 0 : parseIndex(parts[0], list);
        const int last = parts[1].empty() ? frameCount - 1 : parseIndex(parts[1], list);
        const int step = parts.size() == 3 ? parseIndex(parts[2], list) : 1;
        if (step < 1) throw std::invalid_argument("bad frame list '" + list + "': the step must be at least 1");
        if (first > last)
            throw std::invalid_argument("bad frame list '" + list + "': the first frame is after the last");
        for (int f = first; f <= last; f += step) frames.push_back(f);
    } else {
        for (const std::string& part : split(list, ',')) frames.push_back(parseIndex(part, list));
    }
    for (int f : frames)
        if (f < 0 || f >= frameCount)
            throw std::invalid_argument("frame " + std::to_string(f) + " is outside the animation (frames 0 to " +
                                        std::to_string(frameCount - 1) + ")");
    return frames;
}

// Row-vector rotation taking Z-up coordinates to Y-up: p * C = (x, z, -y).
const io::Matrix4 kZUpToYUp = {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
const io::Matrix4 kYUpToZUp = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};

// The bind pose as a frame: each vertex where the skin puts it with every
// joint at the inverse of its bind matrix (its bind position times its weight
// sum, as the scene's skin cluster evaluates it), timed with the earliest
// selected frame so that it sorts first.
// A point cache's topology bind pose (it has no joints) is its positions as
// they are.
void appendBindPose(io::MeshAnimation& animation, const std::vector<int>& selected,
                    std::vector<std::vector<double>>& frames, std::vector<double>& frameTimes,
                    std::vector<std::vector<std::array<double, 16>>>& jointWorld) {
    double earliest = 0.0;
    for (size_t k = 1; k < selected.size(); ++k)
        earliest = k == 1 ? animation.timeOf(selected[k]) : std::min(earliest, animation.timeOf(selected[k]));
    if (animation.hasTopologyBindPose()) {
        frames.push_back(std::move(animation.topologyBindPose));
        animation.topologyBindPose.clear();
        frameTimes.push_back(earliest);
        return;
    }
    if (!animation.hasBindPose())
        throw std::invalid_argument(animation.sourcePath + " has no bind pose to use as the rest");
    std::vector<double> positions(animation.bindPositions.size());
    for (size_t v = 0; v < positions.size() / 3; ++v) {
        double weightSum = 0.0;
        for (const io::SkinInfluence& influence : animation.skin[v]) weightSum += influence.weight;
        for (size_t c = 0; c < 3; ++c) positions[3 * v + c] = weightSum * animation.bindPositions[3 * v + c];
    }
    frames.push_back(std::move(positions));
    frameTimes.push_back(earliest);
    std::vector<std::array<double, 16>> bindWorld;
    for (const io::Matrix4& inverseBind : animation.inverseBindMatrices) bindWorld.push_back(io::inverse(inverseBind));
    jointWorld.push_back(std::move(bindWorld));
}

}  // namespace

std::vector<int> selectFrames(const io::MeshAnimation& animation, const std::string& frames, const std::string& clip,
                              const std::optional<int>& restFrame) {
    const int frameCount = animation.frameCount();
    std::vector<int> chosen;
    if (!clip.empty()) {
        if (!frames.empty()) throw std::invalid_argument("give either --frames or --clip, not both");
        const auto found = std::find_if(animation.clips.begin(), animation.clips.end(),
                                        [&](const io::Clip& c) { return c.name == clip; });
        if (found == animation.clips.end()) {
            std::string names;
            for (const io::Clip& c : animation.clips) names += (names.empty() ? "" : ", ") + c.name;
            throw std::invalid_argument("no clip named '" + clip + "'" +
                                        (names.empty() ? " (the file has no clips)" : " (clips: " + names + ")"));
        }
        for (int f = found->firstFrame; f < found->firstFrame + found->frameCount && f < frameCount; ++f)
            chosen.push_back(f);
    } else if (!frames.empty()) {
        chosen = parseFrameList(frames, frameCount);
    } else {
        for (int f = 0; f < frameCount; ++f) chosen.push_back(f);
    }

    std::set<int> unique(chosen.begin(), chosen.end());
    const bool bindPoseRest = !restFrame && (animation.hasBindPose() || animation.hasTopologyBindPose());
    const int rest = restFrame ? *restFrame : bindPoseRest ? kBindPoseFrame : (unique.empty() ? 0 : *unique.begin());
    if (restFrame && (rest < 0 || rest >= frameCount))
        throw std::invalid_argument("rest frame " + std::to_string(rest) + " is outside the animation (frames 0 to " +
                                    std::to_string(frameCount - 1) + ")");
    const bool restAmongThem = unique.count(rest) > 0;
    if (unique.size() + (restAmongThem ? 0 : 1) < 2) {
        const std::string needed = "a decomposition needs the rest frame and at least one more";
        const std::string count = std::to_string(unique.size()) + (unique.size() == 1 ? " frame" : " frames");
        if (!clip.empty()) throw std::invalid_argument("--clip " + clip + " selects " + count + "; " + needed);
        if (!frames.empty()) throw std::invalid_argument("--frames " + frames + " selects " + count + "; " + needed);
        throw std::invalid_argument(animation.sourcePath + ": " + needed + " frame; " + std::to_string(frameCount) +
                                    " frame(s) available");
    }
    unique.erase(rest);
    std::vector<int> selected{rest};
    selected.insert(selected.end(), unique.begin(), unique.end());
    return selected;
}

bool needsZUpConversion(const io::MeshAnimation& animation, UpAxis upAxis) {
    if (upAxis != UpAxis::automatic) return upAxis == UpAxis::z;
    return io::lowerExtension(animation.sourcePath) == ".md2";
}

void convertZUpToYUp(io::MeshAnimation& animation) {
    for (std::vector<double>& frame : animation.frames) {
        for (size_t i = 0; i + 2 < frame.size(); i += 3) {
            const double y = frame[i + 1], z = frame[i + 2];
            frame[i + 1] = z;
            frame[i + 2] = -y;
        }
    }
    for (std::vector<io::Matrix4>& frame : animation.jointWorld)
        for (io::Matrix4& world : frame) world = io::multiply(io::multiply(kYUpToZUp, world), kZUpToYUp);
    for (io::Matrix4& bind : animation.inverseBindMatrices)
        bind = io::multiply(io::multiply(kYUpToZUp, bind), kZUpToYUp);
    // The bind positions are skinned with those matrices: they turn too.
    for (size_t i = 0; i + 2 < animation.bindPositions.size(); i += 3) {
        const double y = animation.bindPositions[i + 1], z = animation.bindPositions[i + 2];
        animation.bindPositions[i + 1] = z;
        animation.bindPositions[i + 2] = -y;
    }
}

io::MeshAnimation keepFrames(io::MeshAnimation&& animation, const std::vector<int>& selected) {
    // Each frame's last use takes it by move; only a frame selected twice is
    // copied, so the positions are not held twice over.
    std::vector<int> lastUse(animation.frames.size(), -1);
    for (size_t k = 0; k < selected.size(); ++k)
        if (selected[k] != kBindPoseFrame) lastUse[static_cast<size_t>(selected[k])] = static_cast<int>(k);
    std::vector<std::vector<double>> frames;
    std::vector<double> frameTimes;
    std::vector<std::vector<std::array<double, 16>>> jointWorld;
    frames.reserve(selected.size());
    frameTimes.reserve(selected.size());
    const bool bindPoseFirst = !selected.empty() && selected.front() == kBindPoseFrame;
    if (bindPoseFirst) appendBindPose(animation, selected, frames, frameTimes, jointWorld);
    for (size_t k = bindPoseFirst ? 1 : 0; k < selected.size(); ++k) {
        const size_t f = static_cast<size_t>(selected[k]);
        frameTimes.push_back(animation.timeOf(selected[k]));
        const bool last = lastUse[f] == static_cast<int>(k);
        frames.push_back(last ? std::move(animation.frames[f]) : animation.frames[f]);
        if (!animation.jointWorld.empty())
            jointWorld.push_back(last ? std::move(animation.jointWorld[f]) : animation.jointWorld[f]);
    }
    io::MeshAnimation out = std::move(animation);
    out.frames = std::move(frames);
    out.frameTimes = std::move(frameTimes);
    out.jointWorld = std::move(jointWorld);
    out.clips.clear();
    out.firstFrameIsBindPose = bindPoseFirst;
    return out;
}

}  // namespace vantrel::cli
