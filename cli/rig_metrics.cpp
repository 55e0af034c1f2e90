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

// Calls visit(f, v, squared) for every frame from `first` on and every
// vertex, with `squared` the squared distance between vertex v's rest point
// skinned by frame f's matrices (rest: xyz per vertex; skinning[f][j]) and
// its point in frame f. Blocks of vertices run in parallel; a vertex's frames
// are visited in ascending order. Within a batch each skinning matrix entry
// is laid out over the batch's frames, so that a vertex blends all of them
// at once, one vector operation for several frames.
template <class Visit>
void forEachSquaredDistance(const host::PointFrames& frames, int first, const std::vector<double>& rest,
                            const std::vector<std::vector<io::SkinInfluence>>& influences,
                            const std::vector<std::vector<io::Matrix4>>& skinning, const Visit& visit) {
    const int V = static_cast<int>(frames.pointCount());
    const int frameCount = static_cast<int>(frames.frameCount());
    const size_t frameValues = 3 * static_cast<size_t>(V);
    const size_t J = skinning.empty() ? 0 : skinning.front().size();
    std::vector<double> batch(static_cast<size_t>(std::min(kFrameBatch, std::max(frameCount - first, 0))) *
                              frameValues);
    // entries[(j * 12 + 3 r + c) * kFrameBatch + i] = skinning[begin + i][j][4 r + c]
    std::vector<double> entries(J * 12 * kFrameBatch, 0.0);
    const int blocks = (V + kVertexBlock - 1) / kVertexBlock;
    for (int begin = first; begin < frameCount; begin += kFrameBatch) {
        const int count = std::min(kFrameBatch, frameCount - begin);
        for (int i = 0; i < count; ++i) frames.copyFrame(static_cast<size_t>(begin + i), &batch[i * frameValues]);
        for (size_t j = 0; j < J; ++j)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 3; ++c)
                    for (int i = 0; i < count; ++i)
                        entries[(j * 12 + 3 * r + c) * kFrameBatch + i] =
                            skinning[static_cast<size_t>(begin + i)][j][static_cast<size_t>(4 * r + c)];
#pragma omp parallel for schedule(static) if (V > 2 * kVertexBlock)
        for (int block = 0; block < blocks; ++block) {
            const int last = std::min(V, (block + 1) * kVertexBlock);
            double blended[3][kFrameBatch];
            for (int v = block * kVertexBlock; v < last; ++v) {
                for (int c = 0; c < 3; ++c)
                    for (int i = 0; i < kFrameBatch; ++i) blended[c][i] = 0.0;
                const double* p = &rest[3 * static_cast<size_t>(v)];
                for (const io::SkinInfluence& influence : influences[static_cast<size_t>(v)]) {
                    const double w = influence.weight;
                    const double a0 = w * p[0], a1 = w * p[1], a2 = w * p[2];
                    const double* m = &entries[static_cast<size_t>(influence.joint) * 12 * kFrameBatch];
                    for (int c = 0; c < 3; ++c) {
                        const double* m0 = m + c * kFrameBatch;
                        const double* m1 = m0 + 3 * kFrameBatch;
                        const double* m2 = m1 + 3 * kFrameBatch;
                        const double* m3 = m2 + 3 * kFrameBatch;
                        for (int i = 0; i < kFrameBatch; ++i)
                            blended[c][i] += a0 * m0[i] + a1 * m1[i] + a2 * m2[i] + w * m3[i];
                    }
                }
                for (int i = 0; i < count; ++i) {
                    const double* target = &batch[i * frameValues + 3 * static_cast<size_t>(v)];
                    const double dx = blended[0][i] - target[0], dy = blended[1][i] - target[1],
                                 dz = blended[2][i] - target[2];
                    visit(begin + i, v, dx * dx + dy * dy + dz * dz);
                }
            }
        }
    }
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
    forEachSquaredDistance(frames, 1, rest, influences, skinning, [&](int f, int v, double squared) {
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
    forEachSquaredDistance(frames, 0, rest, influences, skinning, [&](int f, int v, double squared) {
        distances[static_cast<size_t>(f)][static_cast<size_t>(v)] = std::sqrt(squared);
    });
    return distances;
}

}  // namespace vantrel::cli
