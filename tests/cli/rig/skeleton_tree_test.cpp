// The skeleton tree: on generated articulated rigs with a known skeleton (a
// chain, a branching body) the tree, the pivots and the deformation; on flat
// inputs (one rigid part, two disconnected parts) a sensible root.
#include "cli/rig/skeleton_tree.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <utility>

namespace vantrel::rig {
namespace {

using io::Matrix4;
using io::Vec3;

// A rig made from a known skeleton: joints with parents and articulation
// points at rest, segments of vertices around each bone, and per frame every
// joint's rotation about its articulation relative to its parent. The solved
// rig's joints deliberately sit elsewhere (at their segment's centroid), as
// the solve puts them.
struct ArticulatedRig {
    std::vector<int> parents;
    std::vector<Vec3> articulation;  // rest-space joint points
    std::vector<double> restPositions;
    std::vector<std::vector<io::SkinInfluence>> influences;
    std::vector<Matrix4> binding;             // inverse of each joint's rest world
    std::vector<std::vector<Matrix4>> world;  // [frame][joint], frame 0 the rest

    int jointCount() const { return int(parents.size()); }
};

Matrix4 rowMatrix(const Eigen::Matrix3d& r, const Eigen::RowVector3d& t) {
    Matrix4 m = io::identityMatrix();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[std::size_t(4 * i + j)] = r(i, j);
        m[std::size_t(12 + i)] = t(i);
    }
    return m;
}

Eigen::RowVector3d row(const Vec3& v) { return Eigen::RowVector3d(v[0], v[1], v[2]); }

// `ends[j]` is where joint j's bone ends (a child's articulation or a tip).
// With `blend`, vertices within `blendLength` of an articulation share their
// weight between the joint and its parent, as skin over a limb does.
ArticulatedRig makeRig(const std::vector<int>& parents, const std::vector<Vec3>& articulation,
                       const std::vector<Vec3>& ends, int frames, bool blend) {
    ArticulatedRig rig;
    rig.parents = parents;
    rig.articulation = articulation;
    const int J = int(parents.size());
    // Segments: rings of 8 points of radius 0.3 along each bone.
    std::vector<Vec3> centroid(static_cast<std::size_t>(J), Vec3{0, 0, 0});
    for (int j = 0; j < J; ++j) {
        const Eigen::RowVector3d a = row(articulation[std::size_t(j)]), b = row(ends[std::size_t(j)]);
        const Eigen::RowVector3d axis = (b - a).normalized();
        Eigen::RowVector3d u = axis.cross(Eigen::RowVector3d(0.3, 0.5, 0.8)).normalized();
        const Eigen::RowVector3d w = axis.cross(u);
        const int rings = 6, around = 8;
        Eigen::RowVector3d sum = Eigen::RowVector3d::Zero();
        for (int r = 0; r < rings; ++r) {
            const double t = (r + 0.5) / rings;
            for (int k = 0; k < around; ++k) {
                const double phi = 2.0 * M_PI * k / around;
                const Eigen::RowVector3d p = a + t * (b - a) + 0.3 * (std::cos(phi) * u + std::sin(phi) * w);
                for (int c = 0; c < 3; ++c) rig.restPositions.push_back(p(c));
                sum += p;
                const double along = t * (b - a).norm();
                std::vector<io::SkinInfluence> influence{{j, 1.0}};
                if (blend && parents[std::size_t(j)] >= 0 && along < 0.6) {
                    const double toParent = 0.5 * (1.0 - along / 0.6);
                    influence = {{j, 1.0 - toParent}, {parents[std::size_t(j)], toParent}};
                }
                rig.influences.push_back(influence);
            }
        }
        const Eigen::RowVector3d c = sum / double(rings * around);
        centroid[std::size_t(j)] = {c(0), c(1), c(2)};
    }
    // Motion: each joint turns about its articulation relative to its parent,
    // by smooth angles about two axes; the root also travels.
    rig.world.assign(std::size_t(frames), std::vector<Matrix4>(std::size_t(J)));
    for (int f = 0; f < frames; ++f) {
        const double time = double(f) / std::max(frames - 1, 1);
        std::vector<Eigen::Matrix3d> rotation(static_cast<std::size_t>(J));  // rest -> frame, row form
        std::vector<Eigen::RowVector3d> point(static_cast<std::size_t>(J));  // the articulation at frame f
        for (int j = 0; j < J; ++j) {                                        // parents come first
            // Two angles on their own rhythms: the axis of the turn varies, as
            // at a ball joint (a hinge leaves its pivot open along its axis).
            const double bend = f == 0 ? 0.0 : 0.5 * std::sin(2.0 * M_PI * time + 0.9 * j);
            const double twist = f == 0 ? 0.0 : 0.4 * std::sin(2.0 * M_PI * 1.7 * time + 1.1 * j + 0.5);
            const Eigen::Matrix3d local =
                (Eigen::AngleAxisd(bend, Eigen::Vector3d::UnitZ()) * Eigen::AngleAxisd(twist, Eigen::Vector3d::UnitX()))
                    .toRotationMatrix()
                    .transpose();
            const int p = parents[std::size_t(j)];
            if (p < 0) {
                rotation[std::size_t(j)] = local;
                point[std::size_t(j)] =
                    row(articulation[std::size_t(j)]) + Eigen::RowVector3d(2.0 * time, 0.0, 0.5 * time);
            } else {
                rotation[std::size_t(j)] = local * rotation[std::size_t(p)];
                point[std::size_t(j)] =
                    point[std::size_t(p)] +
                    (row(articulation[std::size_t(j)]) - row(articulation[std::size_t(p)])) * rotation[std::size_t(p)];
            }
            // The joint's frame: its rest world is a translation to its centroid;
            // a rest point x goes to (x - a) R + point.
            const Eigen::RowVector3d c = row(centroid[std::size_t(j)]);
            const Eigen::RowVector3d origin =
                (c - row(articulation[std::size_t(j)])) * rotation[std::size_t(j)] + point[std::size_t(j)];
            rig.world[std::size_t(f)][std::size_t(j)] = rowMatrix(rotation[std::size_t(j)], origin);
        }
    }
    for (int j = 0; j < J; ++j) rig.binding.push_back(io::inverse(rig.world[0][std::size_t(j)]));
    return rig;
}

std::set<std::pair<int, int>> edges(const std::vector<int>& parents) {
    std::set<std::pair<int, int>> out;
    for (int j = 0; j < int(parents.size()); ++j)
        if (parents[std::size_t(j)] >= 0)
            out.insert({std::min(j, parents[std::size_t(j)]), std::max(j, parents[std::size_t(j)])});
    return out;
}

double distance(const Vec3& a, const Vec3& b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// The largest difference between the skinning matrices before and after.
double skinningChange(const ArticulatedRig& before, const std::vector<Matrix4>& binding,
                      const std::vector<std::vector<Matrix4>>& world) {
    double worst = 0.0;
    for (std::size_t f = 0; f < world.size(); ++f)
        for (std::size_t j = 0; j < binding.size(); ++j) {
            const Matrix4 a = io::multiply(before.binding[j], before.world[f][j]);
            const Matrix4 b = io::multiply(binding[j], world[f][j]);
            for (int k = 0; k < 16; ++k) worst = std::max(worst, std::abs(a[std::size_t(k)] - b[std::size_t(k)]));
        }
    return worst;
}

// Checks the inferred tree against the rig's own: the same edges, every
// non-root joint at its articulation with its parent (the child's point),
// bones of constant length, the skinning unchanged.
void expectKnownSkeleton(const ArticulatedRig& rig) {
    std::vector<Matrix4> binding = rig.binding;
    std::vector<std::vector<Matrix4>> world = rig.world;
    const SkeletonTree tree = inferSkeletonTree(rig.restPositions, rig.influences, binding, world);
    ASSERT_EQ(tree.parents.size(), rig.parents.size());
    EXPECT_EQ(edges(tree.parents), edges(rig.parents));
    EXPECT_EQ(std::count(tree.parents.begin(), tree.parents.end(), -1), 1);
    EXPECT_EQ(tree.parents[std::size_t(tree.root)], -1);
    for (int j = 0; j < rig.jointCount(); ++j) {
        SCOPED_TRACE(j);
        const int parent = tree.parents[std::size_t(j)];
        if (parent < 0) continue;
        // The articulation between two joints is the point of the child in the
        // rig's own tree.
        const int child = rig.parents[std::size_t(j)] == parent ? j : parent;
        // Exact motion: only the damped pull towards where the two meet at rest
        // (see skeleton_tree.h) keeps the pivot off the articulation, by about
        // 1e-5 on bones 2 long.
        EXPECT_LT(distance(tree.pivots[std::size_t(j)], rig.articulation[std::size_t(child)]), 1e-4);
        EXPECT_LT(tree.pivotResidual[std::size_t(j)], 1e-5);
        EXPECT_LT(tree.boneLengthVariation[std::size_t(j)], 1e-5);
        // The joint's origin at rest is its pivot.
        const Matrix4 restWorld = io::inverse(binding[std::size_t(j)]);
        EXPECT_LT(distance({restWorld[12], restWorld[13], restWorld[14]}, tree.pivots[std::size_t(j)]), 1e-9);
    }
    EXPECT_LT(skinningChange(rig, binding, world), 1e-12);
}

TEST(SkeletonTree, AChainIsFoundWithItsArticulations) {
    // Four bones up y, each 2 long.
    const std::vector<int> parents{-1, 0, 1, 2};
    const std::vector<Vec3> points{{0, 0, 0}, {0, 2, 0}, {0, 4, 0}, {0, 6, 0}};
    const std::vector<Vec3> ends{{0, 2, 0}, {0, 4, 0}, {0, 6, 0}, {0, 8, 0}};
    for (bool blend : {false, true}) {
        SCOPED_TRACE(blend ? "blended skin" : "rigid parts");
        expectKnownSkeleton(makeRig(parents, points, ends, 20, blend));
    }
}

TEST(SkeletonTree, ABranchingBodyIsFoundWithItsArticulations) {
    // Pelvis (root), spine, chest, head; two legs of two bones from the pelvis;
    // two arms of two bones from the chest. Listed parents first.
    const std::vector<int> parents{-1, 0, 1, 2, 0, 4, 0, 6, 2, 8, 2, 10};
    const std::vector<Vec3> points{{0, 0, 0},     {0, 1.5, 0},   {0, 3, 0},      {0, 4.5, 0},
                                   {1, -0.5, 0},  {1, -3, 0},    {-1, -0.5, 0},  {-1, -3, 0},
                                   {1.2, 3.8, 0}, {3.5, 3.8, 0}, {-1.2, 3.8, 0}, {-3.5, 3.8, 0}};
    const std::vector<Vec3> ends{{0, 1.5, 0},   {0, 3, 0},     {0, 4.5, 0},    {0, 6, 0},
                                 {1, -3, 0},    {1, -5.5, 0},  {-1, -3, 0},    {-1, -5.5, 0},
                                 {3.5, 3.8, 0}, {5.8, 3.8, 0}, {-3.5, 3.8, 0}, {-5.8, 3.8, 0}};
    for (bool blend : {false, true}) {
        SCOPED_TRACE(blend ? "blended skin" : "rigid parts");
        const ArticulatedRig rig = makeRig(parents, points, ends, 24, blend);
        expectKnownSkeleton(rig);
        // The pelvis carries the body's travel best among the torso's joints.
        std::vector<Matrix4> binding = rig.binding;
        std::vector<std::vector<Matrix4>> world = rig.world;
        const SkeletonTree tree = inferSkeletonTree(rig.restPositions, rig.influences, binding, world);
        EXPECT_TRUE(tree.root == 0 || tree.root == 1 || tree.root == 2) << tree.root;
    }
}

TEST(SkeletonTree, OneRigidPartIsItsOwnRoot) {
    const ArticulatedRig rig = makeRig({-1}, {{0, 0, 0}}, {{0, 2, 0}}, 8, false);
    std::vector<Matrix4> binding = rig.binding;
    std::vector<std::vector<Matrix4>> world = rig.world;
    const SkeletonTree tree = inferSkeletonTree(rig.restPositions, rig.influences, binding, world);
    EXPECT_EQ(tree.parents, std::vector<int>{-1});
    EXPECT_EQ(tree.root, 0);
    EXPECT_EQ(binding, rig.binding);  // the root keeps its origin
    EXPECT_EQ(tree.pivotResidual, std::vector<double>{0.0});
}

// Two parts that never touch, moving apart: still one tree, rooted at the
// larger part; the link between them is a poor pivot, and says so.
TEST(SkeletonTree, TwoDisconnectedPartsMakeOneTreeRootedAtTheLarger) {
    ArticulatedRig rig = makeRig({-1, -1}, {{0, 0, 0}, {5, 0, 0}}, {{0, 4, 0}, {5, 1, 0}}, 12, false);
    std::vector<Matrix4> binding = rig.binding;
    std::vector<std::vector<Matrix4>> world = rig.world;
    const SkeletonTree tree = inferSkeletonTree(rig.restPositions, rig.influences, binding, world);
    ASSERT_EQ(tree.parents.size(), 2u);
    EXPECT_EQ(std::count(tree.parents.begin(), tree.parents.end(), -1), 1);
    // Both parts have as many vertices: equal weight, the first is taken.
    EXPECT_EQ(tree.parents[std::size_t(tree.root)], -1);
    const int other = 1 - tree.root;
    EXPECT_EQ(tree.parents[std::size_t(other)], tree.root);
    EXPECT_GT(tree.pivotResidual[std::size_t(other)], 0.1);
    EXPECT_TRUE(std::isfinite(tree.boneLengthVariation[std::size_t(other)]));
    EXPECT_LT(skinningChange(rig, binding, world), 1e-12);
}

// A joint that carries no vertex still gets a parent and a finite pivot.
TEST(SkeletonTree, AJointWithoutVerticesStillJoinsTheTree) {
    ArticulatedRig rig =
        makeRig({-1, 0, 1}, {{0, 0, 0}, {0, 2, 0}, {0, 4, 0}}, {{0, 2, 0}, {0, 4, 0}, {0, 6, 0}}, 10, false);
    for (auto& influence : rig.influences)
        for (io::SkinInfluence& s : influence)
            if (s.joint == 2) s.joint = 1;
    std::vector<Matrix4> binding = rig.binding;
    std::vector<std::vector<Matrix4>> world = rig.world;
    const SkeletonTree tree = inferSkeletonTree(rig.restPositions, rig.influences, binding, world);
    EXPECT_EQ(std::count(tree.parents.begin(), tree.parents.end(), -1), 1);
    for (const Vec3& p : tree.pivots)
        for (double x : p) EXPECT_TRUE(std::isfinite(x));
    EXPECT_LT(skinningChange(rig, binding, world), 1e-12);
}

TEST(SkeletonTree, InconsistentSizesAreRefused) {
    ArticulatedRig rig = makeRig({-1, 0}, {{0, 0, 0}, {0, 2, 0}}, {{0, 2, 0}, {0, 4, 0}}, 4, false);
    std::vector<Matrix4> binding = rig.binding;
    std::vector<std::vector<Matrix4>> world = rig.world;
    rig.influences.pop_back();
    EXPECT_THROW(inferSkeletonTree(rig.restPositions, rig.influences, binding, world), std::invalid_argument);
    rig.influences.push_back({{0, 1.0}});
    world[2].pop_back();
    EXPECT_THROW(inferSkeletonTree(rig.restPositions, rig.influences, binding, world), std::invalid_argument);
}

TEST(SkeletonTree, AGivenHierarchyIsMeasuredWhereItsJointsAre) {
    const ArticulatedRig rig =
        makeRig({-1, 0, 1}, {{0, 0, 0}, {0, 2, 0}, {0, 4, 0}}, {{0, 2, 0}, {0, 4, 0}, {0, 6, 0}}, 10, false);
    const SkeletonTree tree = describeHierarchy({-1, 0, 1}, rig.binding, rig.world);
    EXPECT_EQ(tree.parents, (std::vector<int>{-1, 0, 1}));
    EXPECT_EQ(tree.root, 0);
    // The joints sit at their segments' centroids, not at the articulations:
    // their parents carry those points apart.
    EXPECT_GT(tree.pivotResidual[1], 0.01);
    EXPECT_GT(tree.boneLengthVariation[2], 0.01);
    EXPECT_NEAR(tree.pivots[1][1], 3.0, 1e-9);
    const SkeletonTree flat = describeHierarchy({-1, -1, -1}, rig.binding, rig.world);
    EXPECT_EQ(flat.pivotResidual, (std::vector<double>{0, 0, 0}));
}

}  // namespace
}  // namespace vantrel::rig
