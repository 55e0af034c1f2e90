// An animator's skeleton from a solved rig: which joints are neighbours,
// which one is the root, where each joint articulates with its parent, and
// the rig re-expressed with every joint at that articulation.
//
// Conventions (as mesh_animation.h): row vectors, a point p maps to p * M;
// a matrix is 16 doubles row major, translation in elements 12..14. Samples
// are the solve's: sample 0 is the rest pose. Skinning: at sample s, vertex v
// is at sum_k w_k * p_rest * binding[j_k] * world[s][j_k], so the skinning
// matrix S_sj = binding[j] * world[s][j] carries rest space (the coordinates
// of the rest pose's positions) to sample s. Distances are in scene units.
//
// Neighbours. For joints a and b, the pivot is the rest-space point x that
// both carry alike over the samples:
//   minimise  sum_s |x S_sa - x S_sb|^2
// (a 3x3 linear least-squares problem), regularised towards c_ab, where c_ab is where the two meet at
// rest: the centroid of the vertices they share, weighted by min(w_a, w_b),
// or, when they share none, the midpoint of their contact zones (each one's
// members within kContactZone times the gap of the other's). The pull towards
// c_ab settles only the directions the motion leaves open (the axis of a
// hinge; every direction for two joints that never move apart): in the
// eigenbasis of the motion term, a direction of eigenvalue e keeps the
// fraction 1 - (lambda / (e + lambda))^3 of its least-squares step from c_ab
// (Tikhonov iterated three times), lambda = kPivotPrior times the largest
// eigenvalue. The pair's pivot residual is
// sqrt(mean_s |x S_sa - x S_sb|^2). A joint's members are the vertices it
// carries with at least kMemberWeight (a joint without any has its rest
// origin as its one member); the pair's gap is 0 when a vertex is a member of
// both, else the smallest distance between their members at rest (on a
// subset of at most kGapPoints vertices for large meshes).
//
// Tree. Each pair's score is minus (pivot residual + gap). The root is the
// joint, among those of at least the mean weight, whose carried centroid
// follows the body's centroid best (smallest RMS difference of their moves
// from the rest; the body's centroid as the rig carries it, the
// weight-averaged joint centroids); joints within kRootTie of the model's
// size of the best go to the one with the most weight. The tree is the
// maximum spanning tree of the scores over all pairs of major joints (Prim,
// from the root), so it is one tree even when parts never touch; minor
// joints (below kMinorWeight of the mean weight, whose motion the solve fits
// loosely) hang as leaves from the major joint of best score.
//
// Pivots. Every joint but the root moves its origin to the pivot x with its
// parent: with p = x * binding[j] (the pivot in the joint's rest frame),
// world[s][j] becomes T(p) * world[s][j] and binding[j] becomes
// binding[j] * T(-p), so every skinning matrix, and the deformation, is
// unchanged up to rounding. The root keeps its origin. Local transforms then
// follow exactly: local[s][j] = world[s][j] * inverse(world[s][parent]).
#pragma once

#include <vector>

#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::rig {

// Weight with which a vertex counts as a member of a joint.
constexpr double kMemberWeight = 0.25;
// Pull of a pair's meeting point on its pivot, relative to the motion term's
// largest eigenvalue.
constexpr double kPivotPrior = 1e-2;
// Members of a pair's joints within this many times their gap of the other
// joint's members make its contact zone.
constexpr double kContactZone = 1.5;
// Fraction of the model's size (rest bounding-box diagonal) within which
// candidate roots count as equal.
constexpr double kRootTie = 1e-3;
// A joint whose weight is below this fraction of the mean joint weight is
// minor: a leaf of the tree.
constexpr double kMinorWeight = 0.05;
// Vertices the gaps between members are measured on, at most.
constexpr int kGapPoints = 8192;

struct SkeletonTree {
    std::vector<int> parents;  // per joint, -1 for a root
    int root = 0;              // the first root (the only one for an inferred tree)
    // Per joint, its origin at rest in rest space: the pivot with its parent
    // for an inferred tree's non-root joints, else where the joint already was.
    std::vector<io::Vec3> pivots;
    // Per joint, sqrt(mean over samples of |o S_s,parent - o S_s,joint|^2) for
    // its origin o at rest: how far its parent and it carry that point apart,
    // RMS. 0 for a root.
    std::vector<double> pivotResidual;
    // Per joint, the largest distance over the samples between its translation
    // relative to its parent (the origin of world[s][j] in the frame of
    // world[s][parent]) and that translation at rest: how much its bone's
    // length and direction in the parent's frame change. 0 for a root.
    std::vector<double> boneLengthVariation;
};

// Infers the tree of a solved rig and moves every non-root joint's origin to
// its pivot in `bindingMatrices` and `boneWorld` ([sample][joint], sample 0
// the rest), in place. `restPositions`: 3 per vertex; `influences` per vertex
// (joint indices into the rig's joints; others are ignored). A rig of one
// joint is its own root. Throws std::invalid_argument when the sizes differ.
SkeletonTree inferSkeletonTree(const std::vector<double>& restPositions,
                               const std::vector<std::vector<io::SkinInfluence>>& influences,
                               std::vector<io::Matrix4>& bindingMatrices,
                               std::vector<std::vector<io::Matrix4>>& boneWorld);

// A given hierarchy (a file's skeleton; all -1 for a flat rig), every joint
// left where it is: its pivots, residuals and bone-length variations.
SkeletonTree describeHierarchy(const std::vector<int>& parents, const std::vector<io::Matrix4>& bindingMatrices,
                               const std::vector<std::vector<io::Matrix4>>& boneWorld);

}  // namespace vantrel::rig
