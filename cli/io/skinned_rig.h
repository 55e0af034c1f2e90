// A solved linear-blend-skinning rig, ready for export.
//
// Row-vector convention (see mesh_animation.h). Skinning model: at sampled
// frame f, vertex v is at
//   p_f = sum_k w_k * p_rest * bindingMatrices[j_k] * boneWorld[f][j_k]
// over its influences (j_k, w_k). A joint's matrix relative to its parent
// (what a node of a hierarchy holds) is world * inverse(parent's world).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::io {

struct SkinnedRig {
    std::vector<double> restPositions;          // 3 per vertex, scene units
    std::vector<std::array<int, 3>> triangles;  // counter-clockwise, may be empty
    std::vector<double> uvs;                    // 2 per vertex, or empty
    std::vector<std::string> jointNames;        // J
    // Parent joint of each joint (index into jointNames), -1 for a joint under
    // the rig's root node; empty: every joint under the root (a flat rig).
    // Parents form a tree: no joint is its own ancestor.
    std::vector<int> jointParents;
    // Inverse rest world matrix of each bone (J); glTF's inverse bind matrix.
    std::vector<Matrix4> bindingMatrices;
    // Rest world matrix of each bone (J): the inverse of its binding matrix.
    std::vector<Matrix4> restWorld;
    std::vector<double> frameTimes;               // F, seconds, increasing, >= 0
    std::vector<std::vector<Matrix4>> boneWorld;  // [f][j], world matrix of bone j
    // Per vertex up to 8 influences (joint index into jointNames); zero weights
    // are dropped on export, the rest renormalised to sum to one.
    std::vector<std::vector<SkinInfluence>> influences;

    int vertexCount() const { return static_cast<int>(restPositions.size() / 3); }
    int jointCount() const { return static_cast<int>(jointNames.size()); }
    int frameCount() const { return static_cast<int>(frameTimes.size()); }
    int parentOf(int joint) const { return jointParents.empty() ? -1 : jointParents[static_cast<size_t>(joint)]; }
};

}  // namespace vantrel::io
