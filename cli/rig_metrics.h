#pragma once
// How well a solved rig reproduces the animation it was solved from.

#include <vector>

#include <host/point_frames.h>

#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::cli {

struct RigError {
    // 1000 x sqrt(sum of squared distances / (3 V F)) / rest bounding-box
    // diagonal: the root mean square per coordinate, in thousandths of the
    // model's size.
    double eRms = 0.0;
    double rmsDistance = 0.0;  // sqrt(sum of squared distances / (V F)), scene units
    double maxDistance = 0.0;  // largest vertex distance over all frames, scene units
    int worstFrame = -1;       // frame (index into the animation's frames) of that distance
    int worstVertex = -1;
    double restDiagonal = 0.0;  // scene units
};

// Skins the rest pose (frame 0 of `frames`, the animation's positions) with
// the rig at every other frame f: p_f = sum_k w_k p_rest binding[k]
// boneWorld[f][k], and compares it with the animation's frame f. With
// `vertexSquaredError`, also each vertex's squared distance summed over those
// frames.
RigError measureRigError(const host::PointFrames& frames, const std::vector<std::vector<io::SkinInfluence>>& influences,
                         const std::vector<io::Matrix4>& bindingMatrices,
                         const std::vector<std::vector<io::Matrix4>>& boneWorld,
                         std::vector<double>* vertexSquaredError = nullptr);

// distances[f][v]: how far the rig puts vertex v from the animation at frame
// f, for every frame (the rest frame too), skinning as measureRigError does.
std::vector<std::vector<double>> vertexDistances(const host::PointFrames& frames,
                                                 const std::vector<std::vector<io::SkinInfluence>>& influences,
                                                 const std::vector<io::Matrix4>& bindingMatrices,
                                                 const std::vector<std::vector<io::Matrix4>>& boneWorld);

// Diagonal of the axis-aligned bounding box of one frame's points.
double boundingBoxDiagonal(const std::vector<double>& xyz);

}  // namespace vantrel::cli
