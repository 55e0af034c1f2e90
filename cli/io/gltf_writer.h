// Export of a solved rig as a skinned, animated glTF 2.0 file.
//
// Layout: node 0 "vantrel_root" (identity) holds the rig's root joints (every
// joint for a flat rig, the roots of its hierarchy otherwise, see
// SkinnedRig::jointParents); joints 1..J are nested as the rig's hierarchy;
// the skinned mesh node J+1 is a second scene root. Each joint's node holds
// its matrix relative to its parent (world * inverse(parent's world), row
// vectors): its rest matrix as the node's transform, and one animation
// "vantrel" keying translation, rotation and scale at every sampled frame
// (LINEAR). Inverse bind matrices are the rig's binding matrices. A ".glb"
// holds its buffer in the binary chunk; a ".gltf" embeds it as a base64 data
// URI (one self-contained file).
//
// Influences: zero weights dropped, duplicates of a joint merged, sorted by
// weight (descending), at most 8 kept, renormalised so the float32 weights sum
// to one; unused slots have joint 0 and weight 0; JOINTS_1/WEIGHTS_1 only
// when some vertex has more than 4. A vertex without any influence is bound
// to joint 0 alone.
//
// glTF nodes cannot hold shear: a joint's matrix relative to its parent that
// is not a TRS is exported as its closest TRS (closestTrs in matrix4.h), and
// the summary reports how far the exported skinning, composed down the
// hierarchy as a player does, moves from the exact one.
#pragma once

#include <string>
#include <vector>

#include "cli/io/skinned_rig.h"

namespace vantrel::io {

struct WriteSummary {
    std::string path;
    int vertexCount = 0;
    int jointCount = 0;
    int frameCount = 0;
    int influenceSets = 0;  // 1: JOINTS_0/WEIGHTS_0; 2: also JOINTS_1/WEIGHTS_1
    std::size_t bytes = 0;  // size of the written file
    // Shear: true when some joint's matrix relative to its parent (at rest or
    // in a frame) was not a TRS within kShearTolerance; jointFramesWithShear
    // counts the (frame, joint) pairs.
    bool shearDropped = false;
    int jointFramesWithShear = 0;
    // Distance in scene units, over all frames and vertices, between skinning
    // with the exact bone matrices and with the exported TRS.
    double shearRmsError = 0.0;
    double shearMaxError = 0.0;
};

// Relative 3x3 residual above which a matrix counts as sheared.
constexpr double kShearTolerance = 1e-7;

// Writes `.glb` or `.gltf` (by extension, case-insensitive). Throws WriteError
// for an inconsistent rig (sizes, indices, non-finite numbers or numbers that
// float32 cannot hold, frame times not increasing in float32 or negative), an
// unknown extension or a failed write; no file is left behind then.
// `fileBytes`, when given, receives the bytes written.
WriteSummary writeSkinnedGltf(const SkinnedRig& rig, const std::string& path, std::string* fileBytes = nullptr);

// The joints' world matrices [f][j] as a glTF player composes the written
// nodes of joints with `parents` (as SkinnedRig::jointParents) and world
// matrices `boneWorld`: each joint's matrix relative to its parent replaced
// by its closest TRS, then composed from the roots down (in double precision).
std::vector<std::vector<Matrix4>> playedBoneWorld(const std::vector<int>& parents,
                                                  const std::vector<std::vector<Matrix4>>& boneWorld);

// Throws WriteError ("unknown output format") unless `path` ends in .glb or
// .gltf, as writeSkinnedGltf does: for checking an output before the work.
void checkGltfOutputPath(const std::string& path);

}  // namespace vantrel::io
