// Joint placement for mesh animations that come without joints.
//
// Clusters the vertices by their motion into bones and fits one rigid
// transform per bone and frame, so that the decomposition starts from joints
// that already move.
//
// Conventions: points are row vectors (x, y, z, 1) multiplied on the left of a
// matrix; a 4x4 matrix is std::array<double,16> row-major with the translation
// in elements 12..14 (row 3) and column 3 equal to (0, 0, 0, 1); A*B applies A
// first. Positions are in the animation's own units.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace vantrel::rig {

using Matrix4 = std::array<double, 16>;

struct JointPlacementOptions {
    // Bones wanted; at least 1.
    int boneCount = 1;
    // Index into the frame list of the rest pose.
    int restFrame = 0;
    // Cap on the fit/reassign rounds after each new bone is seeded.
    int maxIterations = 30;
    // Frames (besides the rest frame) used while clustering, evenly spread over
    // the animation; 0 means all. The final per-bone fits use every frame.
    int assignmentFrames = 32;
    // Meshes with more vertices than this (and than 8 per bone) are clustered
    // on an even subset of about this many (every n-th vertex); every vertex
    // then joins the cluster whose motion carries it best. 0 means all. Set
    // where the clusterings' cost starts to dwarf a solve's: on a 24,000-vertex
    // character a subset of 4,000 to 12,000 placed in a fifth of the time but
    // started solves that ended 3 % to 60 % worse.
    int clusteredVertices = 32768;
    // A vertex counts as explained by a rigid motion when its RMS error over
    // the frames is at most this times the animation's size: the largest
    // coordinate offset, in any frame, from the centre of the rest bounding
    // box. Also the threshold below which the animation counts as not moving.
    double rigidTolerance = 1e-6;
    // When the animation moves as fewer rigid parts than boneCount: false
    // splits parts by rest position to reach boneCount; true returns one bone
    // per rigid part.
    bool mergeRigidParts = false;
    // Clusterings started from k-means on rest positions (fixed seeds) that
    // compete with the one grown from the worst residual; 0 keeps only that one.
    int restSeededCandidates = 1;
    // Which clustering to return: -1 chooses (the grown one when it explains
    // every vertex, else the one of lowest motion cost among the grown one and
    // the compact ones, a compact one with more bones first); 0 the one
    // grown from the worst residual; c in 1..restSeededCandidates the one from
    // k-means seed c - 1; restSeededCandidates + 1 the one grown from the
    // worst residual left when two motions may blend (a part that turns
    // against its neighbours rather than the zone where two of them meet);
    // restSeededCandidates + 2 the one grown by halving the costliest cluster
    // at rest; restSeededCandidates + 3 the one merged down from five times
    // as many compact clusters, the two that move most alike at a time.
    int candidate = -1;
};

struct JointPlacement {
    // Bones placed; below the request only when the animation has fewer rigid
    // parts (or fewer distinct rest positions) than asked, see note.
    int boneCount = 0;
    // Per vertex, its bone in [0, boneCount). Bones group vertices by motion,
    // so a bone's vertices need not be connected in space.
    std::vector<int> vertexBone;
    // Per bone: rest world matrix, identity rotation, translation = centroid of
    // the bone's vertices at rest.
    std::vector<Matrix4> restWorld;
    // [frame][bone]: world matrix at that frame, rigid (proper rotation plus
    // translation), such that restPoint * inverse(restWorld) * frameWorld
    // approximates the point at that frame. Equals restWorld at the rest frame.
    std::vector<std::vector<Matrix4>> frameWorld;
    // Whether every vertex follows its bone's rigid motion within the
    // tolerance (the animation is made of rigid parts).
    bool explainsEveryVertex = false;
    // Why fewer bones than asked, or how bones were placed when the motion does
    // not tell them apart; empty when nothing needs saying.
    std::string note;
};

// frames[f][3*v + c]: coordinate c of vertex v at frame f, every frame holding
// exactly 3*vertexCount finite values. Deterministic: the same input gives
// bit-identical output for any number of threads. Throws
// std::invalid_argument for malformed input (sizes, rest frame, bone count,
// non-finite coordinates).
JointPlacement placeJoints(int vertexCount, const std::vector<std::vector<double>>& frames,
                           const JointPlacementOptions& options);

// The placements a decomposition may start from, in the order of `candidate`:
// the clustering grown from the worst residual, and unless it explains every
// vertex, one per k-means seed of restSeededCandidates, the one grown from
// the worst residual under blends, the one grown by halving clusters and the
// one merged down from many. Which fits best is for a short solve to tell.
std::vector<JointPlacement> placeJointCandidates(int vertexCount, const std::vector<std::vector<double>>& frames,
                                                 const JointPlacementOptions& options);

// World matrices, one per frame, of the rigid motion that best carries the
// members' points at `restFrame` onto their points at each frame (least
// squares, proper rotations). The rest world matrix is a translation to the
// members' centroid at rest; with fewer than three members only translation
// is fitted. `members` lists vertex ids, not empty.
std::vector<Matrix4> fitRigidMotion(const std::vector<std::vector<double>>& frames, int restFrame,
                                    const std::vector<int>& members);

// Sum over the members and frames of the squared distance between a member's
// point and its point at `restFrame` carried by fitRigidMotion's motion: how
// far the members are from moving as one rigid part. Same arguments and
// errors as fitRigidMotion.
double rigidFitSquaredError(const std::vector<std::vector<double>>& frames, int restFrame,
                            const std::vector<int>& members);

// The members (vertex ids into rest, whose point v is rest[3*v .. 3*v+2]) split
// in two by rest position: along their principal axis, at the gap between
// distinct projections nearest the median, so that coincident points stay
// together. Each half lists ascending ids; the second is empty when nothing
// separates them. Throws std::invalid_argument for a member outside rest.
std::array<std::vector<int>, 2> splitAtRest(const std::vector<double>& rest, const std::vector<int>& members);

// Root mean square distance, over every vertex and frame, between the frame's
// point and the vertex's rest point carried by its bone:
// restPoint * inverse(restWorld[b]) * frameWorld[f][b] with b = vertexBone[v].
double rigidFitRms(int vertexCount, const std::vector<std::vector<double>>& frames, int restFrame,
                   const JointPlacement& placement);

}  // namespace vantrel::rig
