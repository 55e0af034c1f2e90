#include "cli/rig_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vantrel::cli {

double boundingBoxDiagonal(const std::vector<double>& xyz) {
    if (xyz.size() < 3) return 0.0;
    double low[3], high[3];
    for (int c = 0; c < 3; ++c) low[c] = high[c] = xyz[c];
    for (size_t i = 0; i + 2 < xyz.size(); i += 3) {
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], xyz[i + c]);
            high[c] = std::max(high[c], xyz[i + c]);
        }
    }
    return std::sqrt((high[0] - low[0]) * (high[0] - low[0]) + (high[1] - low[1]) * (high[1] - low[1]) +
                     (high[2] - low[2]) * (high[2] - low[2]));
}

namespace {

// Squared distance of every vertex at frame f between the skinned rest pose
// and the animation's frame; `target` is scratch for the frame's positions.
void frameSquaredDistances(const host::PointFrames& frames, const std::vector<double>& rest,
                           const std::vector<std::vector<io::SkinInfluence>>& influences,
                           const std::vector<io::Matrix4>& bindingMatrices,
                           const std::vector<std::vector<io::Matrix4>>& boneWorld, size_t f,
                           std::vector<double>& target, std::vector<double>& squared) {
    const int V = static_cast<int>(frames.pointCount());
    std::vector<io::Matrix4> skinning(bindingMatrices.size());
    for (size_t j = 0; j < bindingMatrices.size(); ++j) skinning[j] = io::multiply(bindingMatrices[j], boneWorld[f][j]);
    target.resize(3 * frames.pointCount());
    frames.copyFrame(f, target.data());
    squared.assign(static_cast<size_t>(V), 0.0);
    for (int v = 0; v < V; ++v) {
        const io::Vec3 p{rest[3 * v], rest[3 * v + 1], rest[3 * v + 2]};
        io::Vec3 blended{0, 0, 0};
        for (const io::SkinInfluence& influence : influences[v]) {
            const io::Vec3 q = io::transformPoint(p, skinning[influence.joint]);
            for (int c = 0; c < 3; ++c) blended[c] += influence.weight * q[c];
        }
        for (int c = 0; c < 3; ++c) squared[v] += (blended[c] - target[3 * v + c]) * (blended[c] - target[3 * v + c]);
    }
}

}  // namespace

RigError measureRigError(const host::PointFrames& frames,
                         const std::vector<std::vector<io::SkinInfluence>>& influences,
                         const std::vector<io::Matrix4>& bindingMatrices,
                         const std::vector<std::vector<io::Matrix4>>& boneWorld,
                         std::vector<double>* vertexSquaredError) {
    RigError error;
    const int V = static_cast<int>(frames.pointCount());
    const int frameCount = static_cast<int>(frames.frameCount());
    const std::vector<double> rest = frames.frame(0);
    error.restDiagonal = boundingBoxDiagonal(rest);
    double sum = 0.0;
    std::vector<double> target, squared;
    if (vertexSquaredError) vertexSquaredError->assign(static_cast<size_t>(V), 0.0);
    for (int f = 1; f < frameCount; ++f) {
        frameSquaredDistances(frames, rest, influences, bindingMatrices, boneWorld, static_cast<size_t>(f), target,
                              squared);
        for (int v = 0; v < V; ++v) {
            sum += squared[v];
            if (vertexSquaredError) (*vertexSquaredError)[v] += squared[v];
            const double distance = std::sqrt(squared[v]);
            if (distance > error.maxDistance || error.worstFrame < 0) {
                error.maxDistance = distance;
                error.worstFrame = f;
                error.worstVertex = v;
            }
        }
    }
    const double shapeFrames = std::max(frameCount - 1, 1);
    error.rmsDistance = std::sqrt(sum / (static_cast<double>(V) * shapeFrames));
    const double perCoordinate = std::sqrt(sum / (3.0 * V * shapeFrames));
    error.eRms = error.restDiagonal > 0.0 ? 1000.0 * perCoordinate / error.restDiagonal
                                          : std::numeric_limits<double>::infinity();
    return error;
}

std::vector<std::vector<double>> vertexDistances(const host::PointFrames& frames,
                                                 const std::vector<std::vector<io::SkinInfluence>>& influences,
                                                 const std::vector<io::Matrix4>& bindingMatrices,
                                                 const std::vector<std::vector<io::Matrix4>>& boneWorld) {
    std::vector<std::vector<double>> distances(frames.frameCount());
    const std::vector<double> rest = frames.frame(0);
    std::vector<double> target;
    for (size_t f = 0; f < distances.size(); ++f) {
        frameSquaredDistances(frames, rest, influences, bindingMatrices, boneWorld, f, target, distances[f]);
        for (double& d : distances[f]) d = std::sqrt(d);
    }
    return distances;
}

}  // namespace vantrel::cli
