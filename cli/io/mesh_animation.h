// The neutral mesh animation every reader produces.
//
// Matrix convention: row vectors, as the host and the solver use them. A point
// p (1x4 row, w = 1) maps to p * M; a 4x4 matrix is stored as 16 doubles row
// major, translation in elements 12..14. glTF uses column vectors: its
// column-major storage of M^T is the same 16 numbers in the same order, so
// readers and writers transpose only where they multiply (see matrix4.h).
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::io {

// A named run of frames, e.g. "run" = frames 40..45 of an MD2 file, or one
// animation of a glTF file.
struct Clip {
    std::string name;
    int firstFrame = 0;
    int frameCount = 0;
};

// One joint influence of a vertex: index into MeshAnimation::jointNames (or a
// rig's joints) and its weight.
struct SkinInfluence {
    int joint = 0;
    double weight = 0.0;
};

// True when `x` is finite and within 32-bit float range: the rig is written
// as float32, so readers refuse positions beyond it as they refuse NaN.
inline bool fitsFloat32(double x) { return std::abs(x) <= double(std::numeric_limits<float>::max()); }

struct MeshAnimation {
    std::string sourcePath;
    int vertexCount = 0;
    // frames[f][3*v+c]: position of vertex v, coordinate c, at frame f, in scene
    // units. Every frame has 3*vertexCount values, each of them finite and
    // within 32-bit float range (fitsFloat32).
    std::vector<std::vector<double>> frames;
    // Counter-clockwise front faces, vertex indices; may be empty (point caches
    // without topology).
    std::vector<std::array<int, 3>> triangles;
    // uvs[2*v+0..1], or empty. glTF's convention: origin at the image's top left.
    std::vector<double> uvs;
    // Frames per second of `frames`.
    double frameRate = 24.0;
    // Time in seconds of each frame when the source has its own (glTF keys,
    // MDD), same size as `frames`; empty means frame f is at f / frameRate.
    std::vector<double> frameTimes;
    std::vector<Clip> clips;  // may be empty

    // Optional skeleton of a skinned source (glTF): joint names, parent index
    // (-1 for a root) and per frame the joints' world matrices (row-vector
    // convention above), jointWorld[f][j].
    std::vector<std::string> jointNames;
    std::vector<int> jointParents;
    std::vector<std::vector<std::array<double, 16>>> jointWorld;
    // Per vertex its influences (joint indices into jointNames), or empty.
    std::vector<std::vector<SkinInfluence>> skin;
    // The skin's bind pose, when the animation is exactly its skinning (no
    // morph targets): per joint the inverse bind matrix, and 3 per vertex the
    // bind-pose positions the skin deforms. Empty otherwise.
    std::vector<std::array<double, 16>> inverseBindMatrices;
    std::vector<double> bindPositions;

    // A point cache's topology file's positions, 3 per vertex, when
    // ReadOptions::topologyBindPose asked for them: the pose its mesh was
    // modelled (bound) in, which is no frame of the cache. Empty otherwise.
    std::vector<double> topologyBindPose;

    // Set on a selection of frames (the program's keepFrames) whose frame 0 is
    // the skin's or the topology's bind pose rather than a frame of the file: the rest pose of a
    // decomposition, and no frame of the animation as it plays.
    bool firstFrameIsBindPose = false;

    // What the reader had to assume where the file left it open (a frame rate,
    // the order of files), one sentence each for the user, in reading order.
    std::vector<std::string> notes;

    int frameCount() const { return static_cast<int>(frames.size()); }
    // True when the file gives the pose its skin was bound in: the skin's
    // weights, its inverse bind matrices and the positions they apply to.
    bool hasBindPose() const {
        const size_t V = static_cast<size_t>(vertexCount);
        return !inverseBindMatrices.empty() && bindPositions.size() == 3 * V && skin.size() == V;
    }
    // True when the topology file's positions were read as the bind pose.
    bool hasTopologyBindPose() const {
        return !topologyBindPose.empty() && topologyBindPose.size() == 3 * static_cast<size_t>(vertexCount);
    }
    // Time of frame f in seconds.
    double timeOf(int f) const { return frameTimes.empty() ? f / frameRate : frameTimes[static_cast<size_t>(f)]; }
};

struct ReadOptions {
    // OBJ file giving faces (and uvs) to a point cache (PC2, MDD) that has none;
    // its vertex count must match the cache's.
    std::optional<std::string> topologyPath;
    // Keep the topology file's positions as MeshAnimation::topologyBindPose.
    bool topologyBindPose = false;
    // Frames per second to use instead of the file's own (or the format's
    // default); for glTF, sample each animation at this fixed rate instead of
    // at its key times.
    std::optional<double> frameRate;
    // Refuse a file that holds no motion, one pose only (a glTF file without
    // animations, a single OBJ file), saying so: a decomposition needs frames,
    // while `info` reads such a file as it is.
    bool requireAnimation = false;
};

}  // namespace vantrel::io
