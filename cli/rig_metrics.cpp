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

// Vertices per task: the work of a block over every frame is far above a
// task's cost, and the blocks do not depend on the thread count.
constexpr int kVertexBlock = 256;

// skinning[f][j] = binding[j] * boneWorld[f][j]: rest point to frame f.
std::vector<std::vector<io::Matrix4>> skinningMatrices(const std::vector<io::Matrix4>& bindingMatrices,
                                                       const std::vector<std::vector<io::Matrix4>>& boneWorld,
                                                       size_t frameCount) {
    std::vector<std::vector<io::Matrix4>> skinning(frameCount, std::vector<io::Matrix4>(bindingMatrices.size()));
    for (size_t f = 0; f < frameCount; ++f)
        for (size_t j = 0; j < bindingMatrices.size(); ++j)
            skinning[f][j] = io::multiply(bindingMatrices[j], boneWorld[f][j]);
    return skinning;
}

// Frames are copied out this many at a time, and each batch is one parallel
// loop: a loop per frame made every frame wait for the slowest thread, which
// on a busy machine is often one that is not running.
constexpr int kFrameBatch = 16;

// Calls visit(f, v, target) for every frame from `first` on and every vertex,
// target pointing at vertex v's x, y, z in frame f. Blocks of vertices run in
// parallel; within a block each vertex sees its frames in ascending order.
template <class Visit>
void forEachVertexFrame(const host::PointFrames& frames, int first, const Visit& visit) {
    const int V = static_cast<int>(frames.pointCount());
    const int frameCount = static_cast<int>(frames.frameCount());
    const size_t frameValues = 3 * static_cast<size_t>(V);
    std::vector<double> batch(static_cast<size_t>(std::min(kFrameBatch, std::max(frameCount - first, 0))) *
                              frameValues);
    const int blocks = (V + kVertexBlock - 1) / kVertexBlock;
    for (int begin = first; begin < frameCount; begin += kFrameBatch) {
        const int count = std::min(kFrameBatch, frameCount - begin);
        for (int i = 0; i < count; ++i) frames.copyFrame(static_cast<size_t>(begin + i), &batch[i * frameValues]);
#pragma omp parallel for schedule(static) if (V > 2 * kVertexBlock)
        for (int block = 0; block < blocks; ++block) {
            const int last = std::min(V, (block + 1) * kVertexBlock);
            for (int i = 0; i < count; ++i)
                for (int v = block * kVertexBlock; v < last; ++v)
                    visit(begin + i, v, &batch[i * frameValues + 3 * static_cast<size_t>(v)]);
        }
    }
}

// Squared distance between vertex v's rest point `p` skinned by one frame's
// matrices and its point `target` in that frame.
double squaredDistance(const io::Vec3& p, const std::vector<io::SkinInfluence>& influences,
                       const std::vector<io::Matrix4>& skinning, const double* target) {
    io::Vec3 blended{0, 0, 0};
    for (const io::SkinInfluence& influence : influences) {
        const io::Vec3 q = io::transformPoint(p, skinning[influence.joint]);
        for (int c = 0; c < 3; ++c) blended[c] += influence.weight * q[c];
    }
    double squared = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double d = blended[c] - target[c];
        squared += d * d;
    }
    return squared;
}

// The largest distance, ties to the earlier frame, then the lower vertex:
// the first found scanning frame by frame.
struct Worst {
    double distance = -1.0;
    int frame = -1;
    int vertex = -1;
    void consider(double d, int f, int v) {
        if (d > distance || (d == distance && (f < frame || (f == frame && v < vertex)))) {
            distance = d;
            frame = f;
            vertex = v;
        }
    }
};

}  // namespace

RigError measureRigError(const host::PointFrames& frames, const std::vector<std::vector<io::SkinInfluence>>& influences,
                         const std::vector<io::Matrix4>& bindingMatrices,
                         const std::vector<std::vector<io::Matrix4>>& boneWorld,
                         std::vector<double>* vertexSquaredError) {
    RigError error;
    const int V = static_cast<int>(frames.pointCount());
    const int frameCount = static_cast<int>(frames.frameCount());
    const std::vector<double> rest = frames.frame(0);
    error.restDiagonal = boundingBoxDiagonal(rest);
    const std::vector<std::vector<io::Matrix4>> skinning =
        skinningMatrices(bindingMatrices, boneWorld, frames.frameCount());
    // A few frames at a time (a frame copied out leaves the positions' store,
    // which may then give its pages back); each vertex sums its frames in
    // order, then the vertices sum in order: the same figures for any thread
    // count.
    std::vector<double> perVertex(static_cast<size_t>(V), 0.0);
    std::vector<Worst> worst(static_cast<size_t>((V + kVertexBlock - 1) / kVertexBlock));
    forEachVertexFrame(frames, 1, [&](int f, int v, const double* target) {
        const io::Vec3 p{rest[3 * v], rest[3 * v + 1], rest[3 * v + 2]};
        const double squared = squaredDistance(p, influences[v], skinning[f], target);
        perVertex[v] += squared;
        worst[static_cast<size_t>(v / kVertexBlock)].consider(std::sqrt(squared), f, v);
    });
    Worst overall;
    for (const Worst& w : worst) overall.consider(w.distance, w.frame, w.vertex);
    if (overall.frame >= 0) {
        error.maxDistance = overall.distance;
        error.worstFrame = overall.frame;
        error.worstVertex = overall.vertex;
    }
    double sum = 0.0;
    for (double s : perVertex) sum += s;
    if (vertexSquaredError) *vertexSquaredError = std::move(perVertex);
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
    const int V = static_cast<int>(frames.pointCount());
    std::vector<std::vector<double>> distances(frames.frameCount(), std::vector<double>(static_cast<size_t>(V)));
    const std::vector<double> rest = frames.frame(0);
    const std::vector<std::vector<io::Matrix4>> skinning =
        skinningMatrices(bindingMatrices, boneWorld, frames.frameCount());
    forEachVertexFrame(frames, 0, [&](int f, int v, const double* target) {
        const io::Vec3 p{rest[3 * v], rest[3 * v + 1], rest[3 * v + 2]};
        distances[static_cast<size_t>(f)][static_cast<size_t>(v)] =
            std::sqrt(squaredDistance(p, influences[v], skinning[f], target));
    });
    return distances;
}

}  // namespace vantrel::cli
