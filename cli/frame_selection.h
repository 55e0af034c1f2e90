#pragma once
// Choosing the frames to decompose and bringing the animation into glTF's
// axes: the parts of `decompose` that only rearrange the input.

#include <string>
#include <vector>

#include "cli/decompose_options.h"
#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::cli {

// The rest "frame" of a file with a bind pose when no rest frame is given:
// the pose its skin was bound in, which is no frame of the animation. The
// file's skin reproduces every frame from it exactly, so it is the rest
// whatever frames are chosen. Also the rest of a point cache whose topology
// file's positions were read as its bind pose (topologyBindPose).
constexpr int kBindPoseFrame = -1;

// The frames to decompose, as indices into the animation's frames: the rest
// frame first (kBindPoseFrame for a file with a bind pose, or a topology bind
// pose, and no `restFrame`), then the others in increasing order. Throws
// std::invalid_argument with a message for a bad frame list, an unknown clip,
// a rest frame outside the animation, or fewer than two frames in all (naming
// the --frames or --clip that selected them, else the animation's file).
std::vector<int> selectFrames(const io::MeshAnimation& animation, const std::string& frames, const std::string& clip,
                              const std::optional<int>& restFrame);

// Whether the animation must be turned from Z-up to glTF's Y-up: asked for
// explicitly, or by default for formats that are Z-up (Quake II MD2).
bool needsZUpConversion(const io::MeshAnimation& animation, UpAxis upAxis);

// Rotates positions and joint matrices from Z-up to Y-up: (x, y, z) becomes
// (x, z, -y), and every world matrix W becomes C^-1 W C with C that rotation.
void convertZUpToYUp(io::MeshAnimation& animation);

// Keeps only the frames `selected` (in that order) of the animation, with
// their times and joint matrices. Takes the animation's data by move: a frame
// is copied only when it is selected more than once. kBindPoseFrame first
// gives the bind pose as frame 0 (the mesh skinned with every joint at its
// bind matrix), or the topology's bind pose when the animation has one, and
// sets firstFrameIsBindPose; throws std::invalid_argument when the animation
// has no bind pose.
io::MeshAnimation keepFrames(io::MeshAnimation&& animation, const std::vector<int>& selected);

}  // namespace vantrel::cli
