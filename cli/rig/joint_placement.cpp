// Joint placement by motion clustering.
//
// Method, in the order it runs:
//  1. Normalise the animation (centre of the rest bounding box, largest half
//     deviation from it) so that the tolerances are relative and squared
//     errors cannot overflow for huge coordinates.
//  2. Motion stage. Start with one cluster holding every vertex. While fewer
//     clusters than bones exist and some vertex is not explained by its
//     cluster's rigid motion, open a cluster at the worst-fitted vertex
//     (ties: lowest index) with the vertices that keep their distance to it
//     over the frames (at least two more), then refine: fit one rigid motion
//     per cluster and frame (Procrustes), move each vertex to the cluster
//     whose motion reproduces its trajectory with the least squared error,
//     repeat until nothing moves or maxIterations rounds. A vertex moves only
//     on a clear improvement, so rounding noise cannot shuffle vertices
//     between clusters with the same motion. Clusters that empty are dropped
//     and replaced by later seeding. Growing one cluster at a time from the
//     worst residual finds every rigid part, where seeding all clusters at
//     once tends to put two seeds in one large part and none in a small one;
//     starting from a rigid set rather than one point keeps small parts from
//     being captured by a neighbour's translation.
//  3. When every vertex is explained with fewer clusters than bones, the
//     animation has fewer rigid parts than bones: either split clusters by
//     rest position (largest spread first, at the gap nearest the median along
//     the principal axis) until the count is reached or nothing can be split,
//     or, with mergeRigidParts, keep one bone per distinct rigid motion.
//  4. Fit every bone's motion over every frame and express it as world
//     matrices.
// Clustering uses at most assignmentFrames frames and, on large meshes, about
// clusteredVertices vertices (every n-th; the others join the cluster whose
// motion carries them best once it is done), so that the cost stays near
// O(rounds x V x frames used) per new bone with V bounded; only clusters whose membership
// changed are refitted. A cluster's cost for a vertex outside it is computed
// only when a lower bound cannot rule the cluster out for that vertex: the
// distance between the two clusters' motions at the vertex's rest point
// (a quadratic form per pair of clusters) less the vertex's own error, by
// the triangle inequality on trajectories, with margins far above rounding.
// Every cost that takes part in a choice is the one a full scan would
// compute, so the result is the same as costing every pair.
//
// Determinism: every sum runs in vertex or frame order, parallel loops write
// only their own elements, and every choice breaks ties by the lower index,
// so the result is identical for any thread count. Termination: at most
// 2 x min(boneCount, vertices) seedings, each followed by at most
// maxIterations rounds, and at most boneCount spatial splits.
#include "cli/rig/joint_placement.h"

#include <Eigen/Dense>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace vantrel::rig {
namespace {

using Eigen::Matrix3d;
using Eigen::Matrix3Xd;
using Eigen::RowVector3d;
using Eigen::Vector3d;

// Below this many elementary steps a parallel region costs more than it saves.
constexpr long long kParallelWork = 1 << 14;

// p -> p * a + t on row vectors, in normalised coordinates.
struct RigidMotion {
    Matrix3d a = Matrix3d::Identity();
    RowVector3d t = RowVector3d::Zero();
};

// Sums over a set of points, relative to an anchor pair (p0, q0) near them,
// from which their least-squares rigid map follows: relative sums keep the
// cancellation to the set's own extent, not the distance from the origin.
// Points can be added and taken out again, so that a set that changes by a
// few points costs a few updates rather than a pass over all of them.
struct RigidSums {
    Vector3d p0 = Vector3d::Zero();
    Vector3d q0 = Vector3d::Zero();
    double n = 0.0;
    Vector3d sp = Vector3d::Zero();
    Vector3d sq = Vector3d::Zero();
    Matrix3d h = Matrix3d::Zero();

    void restart(const Vector3d& p, const Vector3d& q) {
        *this = RigidSums();
        p0 = p;
        q0 = q;
    }
    // sign +1 adds the pair (p, q), -1 takes it out.
    void add(const Vector3d& p, const Vector3d& q, double sign) {
        const Vector3d dp = p - p0;
        const Vector3d dq = q - q0;
        n += sign;
        sp += sign * dp;
        sq += sign * dq;
        h.noalias() += (sign * dp) * dq.transpose();
    }

    // The least-squares rigid map of the points: one or two points leave the
    // rotation undetermined, so they get a translation only.
    RigidMotion motion() const {
        RigidMotion m;
        if (!(n > 0.5)) return m;
        const Vector3d cs = p0 + sp / n;
        const Vector3d ct = q0 + sq / n;
        if (n < 2.5) {
            m.t = (ct - cs).transpose();
            return m;
        }
        const Matrix3d centred = h - sp * (sq / n).transpose();
        Eigen::JacobiSVD<Matrix3d> svd(centred, Eigen::ComputeFullU | Eigen::ComputeFullV);
        Matrix3d v = svd.matrixV();
        // Reflection fix on the singular vector of the smallest singular value:
        // keeps the fit optimal, and exact for flat parts whose third singular
        // vector has an arbitrary sign.
        if ((v * svd.matrixU().transpose()).determinant() < 0.0) v.col(2) *= -1.0;
        const Matrix3d r = v * svd.matrixU().transpose();
        m.a = r.transpose();
        m.t = ct.transpose() - cs.transpose() * m.a;
        return m;
    }
};

// Least-squares rigid map of the members' rest points onto target(v), in one
// pass, anchored at the first member.
template <class Target>
RigidSums rigidSums(const std::vector<int>& members, const Matrix3Xd& rest, const Target& target) {
    RigidSums sums;
    if (members.empty()) return sums;
    sums.restart(rest.col(members[0]), target(members[0]));
    for (int v : members) sums.add(rest.col(v), target(v), 1.0);
    return sums;
}

template <class Target>
RigidMotion fitRigid(const std::vector<int>& members, const Matrix3Xd& rest, const Target& target) {
    return rigidSums(members, rest, target).motion();
}

// Squared error at one frame of motion m carrying rest point p onto (x, y, z).
inline double frameError(double px, double py, double pz, const RigidMotion& m, double x, double y, double z) {
    const Matrix3d& a = m.a;
    const double ex = px * a(0, 0) + py * a(1, 0) + pz * a(2, 0) + m.t[0] - x;
    const double ey = px * a(0, 1) + py * a(1, 1) + pz * a(2, 1) + m.t[1] - y;
    const double ez = px * a(0, 2) + py * a(1, 2) + pz * a(2, 2) + m.t[2] - z;
    return ex * ex + ey * ey + ez * ez;
}

// The animation in normalised coordinates: x' = (x/2 - o/2) / h. Halving
// before subtracting keeps the difference finite for any finite input.
struct Normalised {
    Vector3d o = Vector3d::Zero();
    double h = 1.0;
    Vector3d map(const double* x) const { return (Vector3d(x[0], x[1], x[2]) * 0.5 - o * 0.5) / h; }
    // Real position of a normalised point; halved inside for the same reason.
    Vector3d unmap(const Vector3d& p) const { return 2.0 * (o * 0.5 + h * p); }
};

// The clustered vertices' rest points and trajectories in the layouts the
// clusterings read: made once, shared by every clustering.
struct MotionSamples {
    MotionSamples(const Matrix3Xd& restPoints, const Eigen::MatrixXd& trajectories)
        : rest(restPoints),
          restColumns(restPoints.transpose()),
          traj(trajectories),
          trajByVertex(trajectories.transpose()),
          largest(std::max(restPoints.size() ? restPoints.cwiseAbs().maxCoeff() : 0.0,
                           trajectories.size() ? trajectories.cwiseAbs().maxCoeff() : 0.0)) {}
    const Matrix3Xd& rest;                                       // (c, v)
    const Eigen::Matrix<double, Eigen::Dynamic, 3> restColumns;  // (v, c)
    const Eigen::MatrixXd& traj;         // (v, 3s + c): coordinate c of vertex v at clustering frame s
    const Eigen::MatrixXd trajByVertex;  // (3s + c, v): the same, one column per vertex
    const double largest;                // largest coordinate
};

class MotionClustering {
public:
    // One cluster holding every vertex.
    MotionClustering(const MotionSamples& samples, double explainedCost)
        : MotionClustering(samples, explainedCost, std::vector<int>(static_cast<size_t>(samples.rest.cols()), 0), 1) {}

    // Starts from a given assignment of vertices to clusters 0..k-1; clusters
    // left empty are dropped.
    MotionClustering(const MotionSamples& samples, double explainedCost, const std::vector<int>& assignment,
                     int clusters)
        : samples_(samples),
          vertices_(static_cast<int>(samples.rest.cols())),
          frames_(static_cast<int>(samples.traj.cols() / 3)),
          explainedCost_(explainedCost),
          bone_(assignment) {
        // Bounds on the rounding in a cost, from the largest coordinate.
        const double largest = samples.largest;
        roundingNorm_ = 1e-9 * (1.0 + largest);
        roundingScale_ = (1.0 + largest) * (1.0 + largest);
        for (int c = 0; c < clusters; ++c) addCluster();
        dropEmpty();
        refresh();
    }

    // Sum over vertices of the squared error of their own cluster's motion.
    double totalCost() const {
        double sum = 0.0;
        for (int v = 0; v < vertices_; ++v) sum += cost_[bone_[v]][v];
        return sum;
    }

    int clusterCount() const { return static_cast<int>(motion_.size()); }
    const std::vector<int>& bones() const { return bone_; }
    // The vertices of `cluster`, ascending.
    const std::vector<int>& members(int cluster) const { return members_[cluster]; }

    // Each of `rest`'s points (trajectories in the rows of `traj`, frames as
    // this clustering's) to the cluster whose motion carries it with the least
    // squared error, ties to the lower index; `largestCost` gets the largest
    // of those least errors.
    std::vector<int> nearestClusters(const Matrix3Xd& rest, const Eigen::MatrixXd& traj, double& largestCost) const {
        const int n = static_cast<int>(rest.cols());
        const int k = clusterCount();
        std::vector<int> nearest(n, 0);
        std::vector<double> least(n, 0.0);
        const bool parallel = static_cast<long long>(n) * k * frames_ > kParallelWork;
#pragma omp parallel for schedule(static) if (parallel)
        for (int v = 0; v < n; ++v) {
            const double px = rest(0, v), py = rest(1, v), pz = rest(2, v);
            double best = std::numeric_limits<double>::infinity();
            for (int c = 0; c < k; ++c) {
                double sum = 0.0;
                for (int s = 0; s < frames_ && sum < best; ++s)
                    sum +=
                        frameError(px, py, pz, motion_[c][s], traj(v, 3 * s), traj(v, 3 * s + 1), traj(v, 3 * s + 2));
                if (sum < best) {
                    best = sum;
                    nearest[v] = c;
                }
            }
            least[v] = best;
        }
        largestCost = n > 0 ? *std::max_element(least.begin(), least.end()) : 0.0;
        return nearest;
    }
    double explainedCost() const { return explainedCost_; }

    // Worst-fitted vertex among clusters that keep a vertex when it leaves,
    // with its cost; -1 when every cluster is a single vertex.
    std::pair<int, double> worstVertex() const {
        int worst = -1;
        double worstCost = -1.0;
        for (int v = 0; v < vertices_; ++v) {
            const int c = bone_[v];
            if (members_[c].size() < 2) continue;
            if (cost_[c][v] > worstCost) {
                worst = v;
                worstCost = cost_[c][v];
            }
        }
        return {worst, worstCost};
    }

    // Worst-fitted vertex when a vertex may also be blended between its own
    // cluster's motion and one other's (as skinning blends two bones where
    // they meet): a vertex of a blend zone is then fitted, one of a part that
    // turns against its cluster (toes on a foot) is not. Same candidates as
    // worstVertex; -1 when there are none.
    std::pair<int, double> worstBlendedVertex() const {
        std::vector<int> order;
        for (int v = 0; v < vertices_; ++v)
            if (members_[bone_[v]].size() >= 2) order.push_back(v);
        auto own = [&](int v) { return cost_[bone_[v]][v]; };
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return own(a) > own(b); });
        int worst = -1;
        double worstCost = -1.0;
        // Per frame, the vertex as its own cluster carries it, and how far
        // that is from where it is.
        std::vector<RowVector3d> carried(static_cast<size_t>(frames_));
        std::vector<Vector3d> residual(static_cast<size_t>(frames_));
        for (int v : order) {
            // A blend never fits worse than the own cluster alone.
            if (own(v) <= worstCost) break;
            const int c = bone_[v];
            const RowVector3d p = samples_.rest.col(v).transpose();
            for (int s = 0; s < frames_; ++s) {
                carried[s] = p * motion_[c][s].a + motion_[c][s].t;
                residual[s] = carried[s].transpose() - position(v, s);
            }
            double best = own(v);
            for (int other = 0; other < clusterCount() && best > worstCost; ++other) {
                if (other == c) continue;
                double rd = 0.0, dd = 0.0;
                for (int s = 0; s < frames_; ++s) {
                    const Vector3d d = ((p * motion_[other][s].a + motion_[other][s].t) - carried[s]).transpose();
                    rd += residual[s].dot(d);
                    dd += d.squaredNorm();
                }
                if (!(dd > 0.0)) continue;
                const double w = std::clamp(-rd / dd, 0.0, 1.0);
                best = std::min(best, own(v) + 2.0 * w * rd + w * w * dd);
            }
            if (best > worstCost) {
                worst = v;
                worstCost = best;
            }
        }
        return {worst, worstCost};
    }

    // Opens a cluster at `worst` with the vertices that keep their distance to
    // it over the frames (its rigid part when the animation has one), and at
    // least the two that come closest to doing so, so that the new cluster
    // starts with a full rigid motion rather than a single point's
    // translation. No cluster gives up its last vertex.
    void seed(int worst) {
        // In blocks of vertices, frame by frame over the coordinate columns
        // (contiguous in the vertex); each vertex still sums its frames in order.
        std::vector<double> deviation(vertices_, 0.0);
        const int blocks = (vertices_ + kBlock - 1) / kBlock;
        const bool parallel = static_cast<long long>(vertices_) * frames_ > kParallelWork;
#pragma omp parallel for schedule(static) if (parallel && blocks > 1)
        for (int block = 0; block < blocks; ++block) {
            const int first = block * kBlock;
            const int n = std::min(kBlock, vertices_ - first);
            double restDistance[kBlock];
            for (int i = 0; i < n; ++i)
                restDistance[i] = (samples_.rest.col(first + i) - samples_.rest.col(worst)).norm();
            double* sum = deviation.data() + first;
            for (int s = 0; s < frames_; ++s) {
                const Vector3d w = position(worst, s);
                const double* x = samples_.traj.col(3 * s).data() + first;
                const double* y = samples_.traj.col(3 * s + 1).data() + first;
                const double* z = samples_.traj.col(3 * s + 2).data() + first;
                for (int i = 0; i < n; ++i) {
                    const double d = (Vector3d(x[i], y[i], z[i]) - w).norm() - restDistance[i];
                    sum[i] += d * d;
                }
            }
        }
        // Vertices by deviation, ties by index; only as far as the loop below
        // reads: those within the explained cost, then a few more.
        auto before = [&](int a, int b) {
            return deviation[a] < deviation[b] || (deviation[a] == deviation[b] && a < b);
        };
        std::vector<int> order, beyond;
        for (int v = 0; v < vertices_; ++v) (deviation[v] <= explainedCost_ ? order : beyond).push_back(v);
        std::sort(order.begin(), order.end(), before);
        const size_t few = std::min<size_t>(beyond.size(), kSeedReserve);
        std::partial_sort(beyond.begin(), beyond.begin() + static_cast<long>(few), beyond.end(), before);
        const size_t sorted = order.size() + few;
        order.insert(order.end(), beyond.begin(), beyond.end());
        std::vector<int> left(clusterCount());
        for (int c = 0; c < clusterCount(); ++c) left[c] = static_cast<int>(members_[c].size());
        const int cluster = clusterCount();
        addCluster();
        --left[bone_[worst]];
        dirty_[bone_[worst]] = 1;
        bone_[worst] = cluster;
        int taken = 1;
        for (size_t i = 0; i < order.size(); ++i) {
            // Past the sorted part only when the vertices there could not be
            // taken: sort the rest too.
            if (i == sorted) std::sort(order.begin() + static_cast<long>(i), order.end(), before);
            const int v = order[i];
            if (v == worst) continue;
            if (taken >= 3 && deviation[v] > explainedCost_) break;
            if (left[bone_[v]] < 2) continue;
            --left[bone_[v]];
            dirty_[bone_[v]] = 1;
            bone_[v] = cluster;
            ++taken;
        }
        refresh();
    }

    // Fit/reassign rounds until nothing moves or the cap is reached.
    void refine(int maxRounds) {
        for (int round = 0; round < maxRounds; ++round) {
            const bool moved = reassign();
            dropEmpty();
            refresh();
            if (!moved) break;
        }
    }

    // Cluster whose vertices carry the largest total motion error.
    int costliestCluster() const {
        std::vector<double> total(clusterCount(), 0.0);
        for (int v = 0; v < vertices_; ++v) total[bone_[v]] += cost_[bone_[v]][v];
        int costliest = 0;
        for (int c = 1; c < clusterCount(); ++c)
            if (total[c] > total[costliest]) costliest = c;
        return costliest;
    }

    // Splits `cluster` in two compact halves at rest: 2-means on rest
    // positions from its worst-fitted member and the member farthest from it.
    // Returns false when it has fewer than two distinct points.
    bool splitAtRest(int cluster) {
        const std::vector<int> members = members_[cluster];  // addCluster below grows members_
        if (members.size() < 2) return false;
        int worst = members.front();
        for (int v : members)
            if (cost_[cluster][v] > cost_[cluster][worst]) worst = v;
        int far = worst;
        for (int v : members)
            if ((samples_.rest.col(v) - samples_.rest.col(worst)).squaredNorm() >
                (samples_.rest.col(far) - samples_.rest.col(worst)).squaredNorm())
                far = v;
        if (far == worst) return false;
        Vector3d a = samples_.rest.col(worst), b = samples_.rest.col(far);
        std::vector<char> side(members.size(), 0);
        for (int round = 0; round < 10; ++round) {
            Vector3d sumA = Vector3d::Zero(), sumB = Vector3d::Zero();
            int countA = 0, countB = 0;
            for (size_t i = 0; i < members.size(); ++i) {
                const Vector3d p = samples_.rest.col(members[i]);
                side[i] = (p - b).squaredNorm() < (p - a).squaredNorm();
                if (side[i]) {
                    sumB += p;
                    ++countB;
                } else {
                    sumA += p;
                    ++countA;
                }
            }
            if (countA == 0 || countB == 0) return false;
            a = sumA / countA;
            b = sumB / countB;
        }
        const int added = clusterCount();
        addCluster();
        for (size_t i = 0; i < members.size(); ++i)
            if (side[i]) bone_[members[i]] = added;
        dirty_[cluster] = 1;
        refresh();
        return true;
    }

    // Smallest cluster and its size; (-1, 0) without clusters.
    std::pair<int, int> smallestCluster() const {
        int smallest = -1;
        for (int c = 0; c < clusterCount(); ++c)
            if (smallest < 0 || members_[c].size() < members_[smallest].size()) smallest = c;
        return {smallest, smallest < 0 ? 0 : static_cast<int>(members_[smallest].size())};
    }

    // Hands every vertex of `cluster` to the other cluster that reproduces it
    // best and drops it (a cluster of a few vertices makes a bone whose motion
    // the data barely determines).
    void dissolve(int cluster) {
        if (clusterCount() < 2) return;
        for (int v : members_[cluster]) {
            int best = -1;
            for (int c = 0; c < clusterCount(); ++c)
                if (c != cluster && (best < 0 || costOf(c, v) < costOf(best, v))) best = c;
            bone_[v] = best;
            dirty_[best] = 1;
        }
        dropEmpty();
        refresh();
    }

    // Groups of clusters sharing one rigid motion: cluster j joins the group of
    // the first earlier cluster whose motion explains all of j's vertices.
    std::vector<int> motionGroups() const {
        const int k = clusterCount();
        std::vector<int> group(k, -1);
        for (int j = 0; j < k; ++j) {
            for (int i = 0; i < j && group[j] < 0; ++i) {
                if (group[i] != i) continue;  // compare against group leaders only
                bool all = true;
                for (int v : members_[j]) {
                    if (costOf(i, v) > explainedCost_) {
                        all = false;
                        break;
                    }
                }
                if (all) group[j] = i;
            }
            if (group[j] < 0) group[j] = j;
        }
        // Renumber leaders densely in order.
        std::vector<int> dense(k, -1);
        int next = 0;
        for (int j = 0; j < k; ++j)
            if (group[j] == j) dense[j] = next++;
        for (int j = 0; j < k; ++j) group[j] = dense[group[j]];
        return group;
    }

private:
    void addCluster() {
        motion_.emplace_back(frames_);
        sums_.emplace_back(frames_);
        fitMembers_.emplace_back();
        movesSinceAfresh_.push_back(0);
        refitted_.push_back(1);
        cost_.emplace_back(vertices_, -0.0);
        members_.emplace_back();
        dirty_.push_back(1);
        gap_.emplace_back(gap_.size() + 1);
    }

    // Cost of cluster c for vertex v: the stored one when known, else computed
    // (same arithmetic as storing it).
    double costOf(int c, int v) const {
        const double stored = cost_[c][v];
        return std::signbit(stored) ? exactCost(c, v) : stored;
    }

    // Squared error of cluster c's motion on vertex v, summed over the frames
    // in order.
    double exactCost(int c, int v) const {
        const double px = samples_.restColumns(v, 0);
        const double py = samples_.restColumns(v, 1);
        const double pz = samples_.restColumns(v, 2);
        const double* x = samples_.trajByVertex.col(v).data();
        double sum = 0.0;
        for (int s = 0; s < frames_; ++s)
            sum += frameError(px, py, pz, motion_[c][s], x[3 * s], x[3 * s + 1], x[3 * s + 2]);
        return sum;
    }

    // Lower bound on the computed cost of cluster j for vertex v, from the
    // distance between j's and v's own cluster c's motions at v's rest point
    // (triangle inequality on the trajectories) and v's exact own cost;
    // rounding is covered by generous margins. 0 when nothing follows.
    double costLowerBound(int j, int c, int v, double ownCost) const {
        const MotionGap& g = gap_[std::max(j, c)][std::min(j, c)];
        const double p[4] = {samples_.restColumns(v, 0), samples_.restColumns(v, 1), samples_.restColumns(v, 2), 1.0};
        double gap = 0.0;
        for (int a = 0; a < 4; ++a) {
            double row = 0.5 * g.q[4 * a + a] * p[a];
            for (int b = a + 1; b < 4; ++b) row += g.q[4 * a + b] * p[b];
            gap += 2.0 * row * p[a];
        }
        gap -= g.rounding;
        if (!(gap > 0.0)) return 0.0;
        constexpr double kRelative = 1e-10;
        const double apart = std::sqrt(gap) * (1.0 - kRelative);
        const double own = std::sqrt(ownCost) * (1.0 + kRelative) + roundingNorm_;
        const double norm = (apart - own - roundingNorm_) * (1.0 - kRelative);
        if (!(norm > 0.0)) return 0.0;
        return norm * norm * (1.0 - kRelative);
    }

    // Quadratic form in (p, 1) of the squared distance, summed over the
    // frames, between two clusters' motions applied to rest point p.
    struct MotionGap {
        std::array<double, 16> q{};  // upper triangle used, row-major
        double rounding = 0.0;       // bound on the rounding of the form's value
    };

    void updateGap(int j, int c) {
        MotionGap& g = gap_[std::max(j, c)][std::min(j, c)];
        g.q.fill(0.0);
        // Sum of the magnitudes of the form's terms over the frames (per frame
        // and column, the square of the column's absolute sum): times the
        // coordinates' scale it bounds the rounding of the form's value.
        double total = 0.0;
        for (int s = 0; s < frames_; ++s) {
            const RigidMotion& mj = motion_[j][s];
            const RigidMotion& mc = motion_[c][s];
            double d[4][3];
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) d[a][b] = mj.a(a, b) - mc.a(a, b);
            for (int b = 0; b < 3; ++b) d[3][b] = mj.t[b] - mc.t[b];
            for (int a = 0; a < 4; ++a)
                for (int b = a; b < 4; ++b) g.q[4 * a + b] += d[a][0] * d[b][0] + d[a][1] * d[b][1] + d[a][2] * d[b][2];
            for (int e = 0; e < 3; ++e) {
                const double column = std::abs(d[0][e]) + std::abs(d[1][e]) + std::abs(d[2][e]) + std::abs(d[3][e]);
                total += column * column;
            }
        }
        g.rounding = 1e-10 * total * roundingScale_;
    }

    void rebuildMembers() {
        for (auto& m : members_) m.clear();
        for (int v = 0; v < vertices_; ++v) members_[bone_[v]].push_back(v);
    }

    Vector3d position(int v, int s) const {
        return Vector3d(samples_.traj(v, 3 * s), samples_.traj(v, 3 * s + 1), samples_.traj(v, 3 * s + 2));
    }

    // Refit the clusters whose membership changed, cost them for their own
    // vertices and forget what was known of them for the others.
    void refresh() {
        rebuildMembers();
        std::vector<int> dirty;
        for (int c = 0; c < clusterCount(); ++c)
            if (dirty_[c]) dirty.push_back(c);
        if (dirty.empty()) return;
        // What each dirty cluster's sums must take out and add; a cluster
        // whose membership changed by more than its size since its sums were
        // last made from scratch is summed afresh (which also bounds the
        // rounding the updates gather).
        std::vector<MembershipChange> changes(dirty.size());
        long long fitWork = 0;
        for (size_t i = 0; i < dirty.size(); ++i) {
            const int c = dirty[i];
            MembershipChange& change = changes[i];
            difference(fitMembers_[c], members_[c], change.removed, change.added);
            const size_t moved = change.removed.size() + change.added.size();
            change.afresh =
                fitMembers_[c].empty() || members_[c].empty() || movesSinceAfresh_[c] + moved > members_[c].size();
            movesSinceAfresh_[c] = change.afresh ? 0 : movesSinceAfresh_[c] + moved;
            fitWork += static_cast<long long>(change.afresh ? members_[c].size() : moved) * frames_;
        }
        // Fits in jobs of one cluster and a run of frames, each frame's sums
        // over the members in order (trajectories contiguous per vertex).
        const int runs = (frames_ + kFrameRun - 1) / kFrameRun;
        const int jobs = static_cast<int>(dirty.size()) * runs;
        const int k = clusterCount();
        std::vector<std::pair<int, int>> pairs;
        for (int c : dirty)
            for (int j = 0; j < k; ++j)
                if (j != c && !(dirty_[j] && j < c)) pairs.emplace_back(c, j);
        const int pairCount = static_cast<int>(pairs.size());
        const int blocks = (vertices_ + kBlock - 1) / kBlock;
        // One parallel region: on a busy machine every region start costs more
        // than the work of a small one.
#pragma omp parallel if (fitWork > kParallelWork || blocks > 1)
        {
#pragma omp for schedule(static)
            for (int job = 0; job < jobs; ++job) {
                const int c = dirty[job / runs];
                const MembershipChange& change = changes[job / runs];
                const int firstFrame = (job % runs) * kFrameRun;
                const int lastFrame = std::min(frames_, firstFrame + kFrameRun);
                for (int s = firstFrame; s < lastFrame; ++s) {
                    auto target = [&](int v) -> Vector3d { return samples_.trajByVertex.col(v).segment<3>(3 * s); };
                    RigidSums& sums = sums_[c][s];
                    if (change.afresh) {
                        sums = rigidSums(members_[c], samples_.rest, target);
                    } else {
                        for (int v : change.removed) sums.add(samples_.rest.col(v), target(v), -1.0);
                        for (int v : change.added) sums.add(samples_.rest.col(v), target(v), 1.0);
                    }
                    motion_[c][s] = sums.motion();
                }
            }
#pragma omp for schedule(static) nowait
            for (int i = 0; i < pairCount; ++i) updateGap(pairs[i].first, pairs[i].second);
#pragma omp for schedule(static)
            for (int block = 0; block < blocks; ++block) {
                const int first = block * kBlock;
                const int last = std::min(vertices_, first + kBlock);
                for (int c : dirty) {
                    double* cost = cost_[c].data();
                    for (int v = first; v < last; ++v) cost[v] = bone_[v] == c ? exactCost(c, v) : -0.0;
                }
            }
        }
        for (int c : dirty) {
            fitMembers_[c] = members_[c];
            dirty_[c] = 0;
            refitted_[c] = 1;
        }
    }

    // A cluster's membership since its sums were last updated.
    struct MembershipChange {
        std::vector<int> removed, added;  // ascending
        bool afresh = false;
    };

    // The elements of ascending `before` not in ascending `after`, and the
    // other way round.
    static void difference(const std::vector<int>& before, const std::vector<int>& after, std::vector<int>& removed,
                           std::vector<int>& added) {
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(removed));
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    }

    // Moves each vertex to the cluster that reproduces it clearly better than
    // its own; returns whether any vertex moved.
    bool reassign() {
        const int k = clusterCount();
        std::vector<int> next(vertices_);
        // Each vertex scans the clusters in order, keeping the first best. A
        // cost not known yet is computed only when its lower bound does not rule
        // it out, and kept. A vertex that stayed found every other cluster at
        // or above its best; until its own cluster is refitted that best
        // stands, and only the clusters refitted since can have come below
        // it, so only vertices of refitted clusters scan them all.
        const int blocks = (vertices_ + kBlock - 1) / kBlock;
        const bool parallel = static_cast<long long>(vertices_) * k > kParallelWork;
#pragma omp parallel for schedule(static) if (parallel && blocks > 1)
        for (int block = 0; block < blocks; ++block) {
            const int first = block * kBlock;
            const int n = std::min(kBlock, vertices_ - first);
            const int* own = bone_.data() + first;
            int* choice = next.data() + first;
            double ownCost[kBlock];
            double best[kBlock];
            unsigned char open[kBlock];
            unsigned char scanAll[kBlock];
            bool anyScansAll = false;
            for (int i = 0; i < n; ++i) {
                scanAll[i] = refitted_[own[i]];
                anyScansAll = anyScansAll || scanAll[i];
                ownCost[i] = cost_[own[i]][first + i];
                // Relative part for rounding in the sums, absolute part for motions
                // that agree to rounding.
                best[i] = ownCost[i] - (1e-12 * ownCost[i] + 1e-30 * (frames_ + 1));
                choice[i] = own[i];
            }
            for (int j = 0; j < k; ++j) {
                const unsigned char changed = refitted_[j];
                if (!changed && !anyScansAll) continue;
                double* cost = cost_[j].data() + first;
                // A known cost below the best, or a bound that does not rule it out
                // (bounds are stored negated, so both read as the magnitude).
                for (int i = 0; i < n; ++i)
                    open[i] = (changed | scanAll[i]) & (j != own[i]) & (std::abs(cost[i]) < best[i]);
                for (int i = 0; i < n; ++i) {
                    if (!open[i]) continue;
                    if (std::signbit(cost[i])) {
                        const double bound = costLowerBound(j, own[i], first + i, ownCost[i]);
                        if (bound >= best[i]) {
                            if (bound > -cost[i]) cost[i] = -bound;
                            continue;
                        }
                        cost[i] = exactCost(j, first + i);
                        if (!(cost[i] < best[i])) continue;
                    }
                    best[i] = cost[i];
                    choice[i] = j;
                }
            }
        }
        std::fill(refitted_.begin(), refitted_.end(), 0);
        bool moved = false;
        for (int v = 0; v < vertices_; ++v) {
            if (next[v] != bone_[v]) {
                dirty_[bone_[v]] = 1;
                dirty_[next[v]] = 1;
                bone_[v] = next[v];
                moved = true;
            }
        }
        return moved;
    }

    void dropEmpty() {
        rebuildMembers();
        std::vector<int> remap(clusterCount(), -1);
        int kept = 0;
        for (int c = 0; c < clusterCount(); ++c) {
            if (members_[c].empty()) continue;
            remap[c] = kept;
            if (kept != c) {
                motion_[kept] = std::move(motion_[c]);
                sums_[kept] = std::move(sums_[c]);
                fitMembers_[kept] = std::move(fitMembers_[c]);
                movesSinceAfresh_[kept] = movesSinceAfresh_[c];
                refitted_[kept] = refitted_[c];
                cost_[kept] = std::move(cost_[c]);
                members_[kept] = std::move(members_[c]);
                dirty_[kept] = dirty_[c];
            }
            ++kept;
        }
        std::vector<std::vector<MotionGap>> gap(kept);
        for (int c = 0; c < clusterCount(); ++c) {
            if (remap[c] < 0) continue;
            for (int d = 0; d <= c; ++d)
                if (remap[d] >= 0) gap[remap[c]].push_back(gap_[c][d]);
        }
        gap_ = std::move(gap);
        motion_.resize(kept);
        sums_.resize(kept);
        fitMembers_.resize(kept);
        movesSinceAfresh_.resize(kept);
        refitted_.resize(kept);
        cost_.resize(kept);
        members_.resize(kept);
        dirty_.resize(kept);
        for (int& b : bone_) b = remap[b];
    }

    static constexpr int kBlock = 512;
    // Vertices beyond the explained cost that a seed sorts at first: it takes
    // at least three, and seldom has to skip many.
    static constexpr size_t kSeedReserve = 16;
    static constexpr int kFrameRun = 8;

    const MotionSamples& samples_;
    int vertices_;
    int frames_;
    double explainedCost_;
    std::vector<int> bone_;
    std::vector<std::vector<RigidMotion>> motion_;  // [cluster][frame]
    // [cluster][frame]: the sums motion_ was fitted from, over fitMembers_[c];
    // movesSinceAfresh_[c] counts the members taken out or added since they were
    // last made from scratch.
    std::vector<std::vector<RigidSums>> sums_;
    std::vector<std::vector<int>> fitMembers_;
    std::vector<size_t> movesSinceAfresh_;
    // [cluster]: refitted since the last reassignment.
    std::vector<unsigned char> refitted_;
    // [cluster][vertex]: the cost when known (sign bit clear), else a lower
    // bound on it negated (sign bit set, -0.0 for none). Known for every
    // vertex's own cluster; others are computed when a bound cannot rule them
    // out, and stay valid until their cluster is refitted.
    std::vector<std::vector<double>> cost_;
    std::vector<std::vector<MotionGap>> gap_;  // [i][j] for j <= i
    double roundingNorm_ = 0.0;
    double roundingScale_ = 1.0;
    std::vector<std::vector<int>> members_;  // ascending vertex ids
    std::vector<char> dirty_;
};

// Splits one cluster in two by rest position: along its principal axis, at
// the gap between distinct projections nearest the median, so that
// coincident points stay together. Returns false when nothing separates.
bool splitByRestPosition(const Matrix3Xd& rest, std::vector<int>& bone, int cluster, int newCluster) {
    std::vector<int> members;
    for (int v = 0; v < static_cast<int>(bone.size()); ++v)
        if (bone[v] == cluster) members.push_back(v);
    const int n = static_cast<int>(members.size());
    if (n < 2) return false;
    Vector3d c = Vector3d::Zero();
    for (int v : members) c += rest.col(v);
    c /= static_cast<double>(n);
    Matrix3d cov = Matrix3d::Zero();
    for (int v : members) cov += (rest.col(v) - c) * (rest.col(v) - c).transpose();
    Eigen::SelfAdjointEigenSolver<Matrix3d> eig(cov);
    Vector3d axis = eig.eigenvectors().col(2);  // largest eigenvalue comes last
    int big = 0;
    for (int i = 1; i < 3; ++i)
        if (std::abs(axis[i]) > std::abs(axis[big])) big = i;
    if (axis[big] < 0.0) axis = -axis;
    std::vector<std::pair<double, int>> proj;
    proj.reserve(n);
    for (int v : members) proj.emplace_back(rest.col(v).dot(axis), v);
    std::sort(proj.begin(), proj.end());
    int cut = -1;
    for (int i = 1; i < n; ++i) {
        if (!(proj[i - 1].first < proj[i].first)) continue;
        if (cut < 0 || std::abs(2 * i - n) < std::abs(2 * cut - n)) cut = i;
    }
    if (cut < 0) return false;
    for (int i = cut; i < n; ++i) bone[proj[i].second] = newCluster;
    return true;
}

// Sum of squared distances of a cluster's rest points to their centroid.
double restSpread(const Matrix3Xd& rest, const std::vector<int>& bone, int cluster) {
    Vector3d c = Vector3d::Zero();
    int n = 0;
    for (int v = 0; v < static_cast<int>(bone.size()); ++v)
        if (bone[v] == cluster) {
            c += rest.col(v);
            ++n;
        }
    if (n < 2) return 0.0;
    c /= static_cast<double>(n);
    double s = 0.0;
    for (int v = 0; v < static_cast<int>(bone.size()); ++v)
        if (bone[v] == cluster) s += (rest.col(v) - c).squaredNorm();
    return s;
}

// Where a grown clustering opens its next cluster: at the vertex its rigid
// motions fit worst, or at the one they fit worst even when blended two at a
// time (see worstBlendedVertex).
enum class Seeding { worst, worstBlended };

// Opens clusters at the seeding's vertex until `target` exist or every vertex
// is explained; returns whether every vertex is explained.
bool growClusters(MotionClustering& clustering, int target, int maxRounds, Seeding seeding = Seeding::worst) {
    const long long maxSeeds = 2LL * target;
    for (long long seeded = 0; clustering.clusterCount() < target && seeded < maxSeeds; ++seeded) {
        const auto [worst, worstCost] = clustering.worstVertex();
        if (worst < 0) return false;
        if (worstCost <= clustering.explainedCost()) return true;
        int seed = worst;
        if (seeding == Seeding::worstBlended) {
            // Where blends explain every vertex, the rigid worst still needs a
            // cluster of its own.
            const auto [blendedWorst, blendedCost] = clustering.worstBlendedVertex();
            if (blendedWorst >= 0 && blendedCost > clustering.explainedCost()) seed = blendedWorst;
        }
        clustering.seed(seed);
        clustering.refine(maxRounds);
    }
    const auto [worst, worstCost] = clustering.worstVertex();
    return worst < 0 || worstCost <= clustering.explainedCost();
}

// Uniform double in [0, 1) from 53 bits of the generator: the same numbers on
// every platform, unlike the standard distributions.
double unitDraw(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// Lloyd's k-means on rest positions with k-means++ seeding from `seed`;
// returns each vertex's cluster in [0, k).
std::vector<int> kMeansByRestPosition(const Matrix3Xd& rest, int k, int seed) {
    const int n = static_cast<int>(rest.cols());
    std::mt19937_64 rng(0x5eed0000ULL + static_cast<unsigned long long>(seed));
    std::vector<Vector3d> centre;
    centre.push_back(rest.col(static_cast<Eigen::Index>(unitDraw(rng) * n)));
    std::vector<double> nearest(n, std::numeric_limits<double>::infinity());
    while (static_cast<int>(centre.size()) < k) {
        double total = 0.0;
        for (int v = 0; v < n; ++v) {
            nearest[v] = std::min(nearest[v], (rest.col(v) - centre.back()).squaredNorm());
            total += nearest[v];
        }
        if (!(total > 0.0)) break;
        double pick = unitDraw(rng) * total;
        int chosen = n - 1;
        for (int v = 0; v < n; ++v) {
            pick -= nearest[v];
            if (pick < 0.0) {
                chosen = v;
                break;
            }
        }
        centre.push_back(rest.col(chosen));
    }
    const int clusters = static_cast<int>(centre.size());
    std::vector<int> assignment(n, 0);
    for (int round = 0; round < 30; ++round) {
        bool moved = false;
        for (int v = 0; v < n; ++v) {
            int best = 0;
            double bestDistance = (rest.col(v) - centre[0]).squaredNorm();
            for (int c = 1; c < clusters; ++c) {
                const double d = (rest.col(v) - centre[c]).squaredNorm();
                if (d < bestDistance) {
                    bestDistance = d;
                    best = c;
                }
            }
            moved |= assignment[v] != best;
            assignment[v] = best;
        }
        if (!moved && round > 0) break;
        std::vector<Vector3d> sum(clusters, Vector3d::Zero());
        std::vector<int> count(clusters, 0);
        for (int v = 0; v < n; ++v) {
            sum[assignment[v]] += rest.col(v);
            ++count[assignment[v]];
        }
        for (int c = 0; c < clusters; ++c)
            if (count[c] > 0) centre[c] = sum[c] / count[c];
    }
    return assignment;
}

void validate(int vertexCount, const std::vector<std::vector<double>>& frames, const JointPlacementOptions& options) {
    auto fail = [](const std::string& what) { throw std::invalid_argument("joint placement: " + what); };
    if (vertexCount < 0) fail("negative vertex count");
    if (options.boneCount < 1) fail("bone count must be at least 1");
    if (options.maxIterations < 1) fail("maxIterations must be at least 1");
    if (options.assignmentFrames < 0) fail("assignmentFrames must not be negative");
    if (options.clusteredVertices < 0) fail("clusteredVertices must not be negative");
    if (!(options.rigidTolerance >= 0.0) || !std::isfinite(options.rigidTolerance))
        fail("rigidTolerance must be finite and not negative");
    if (frames.empty()) fail("no frames");
    if (options.restFrame < 0 || options.restFrame >= static_cast<int>(frames.size()))
        fail("rest frame " + std::to_string(options.restFrame) + " outside the " + std::to_string(frames.size()) +
             " frames");
    const std::size_t expected = 3 * static_cast<std::size_t>(vertexCount);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        if (frames[f].size() != expected)
            fail("frame " + std::to_string(f) + " holds " + std::to_string(frames[f].size()) + " values, expected " +
                 std::to_string(expected));
        for (std::size_t i = 0; i < expected; ++i)
            if (!std::isfinite(frames[f][i]))
                fail("frame " + std::to_string(f) + ", vertex " + std::to_string(i / 3) + ": non-finite coordinate");
    }
}

Matrix4 identity4() {
    Matrix4 m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

void appendNote(std::string& note, const std::string& text) {
    if (!note.empty()) note += "; ";
    note += text;
}

// The animation as the clustering sees it: normalised, the frames it uses,
// and the vertices it clusters.
struct ClusteringInput {
    Normalised norm;
    Matrix3Xd rest;                 // every vertex at rest
    std::vector<int> motionFrames;  // every frame but the rest frame
    int used = 0;                   // motion frames used while clustering
    Eigen::MatrixXd traj;           // [vertex][3 * used frame + c]
    std::vector<int> clustered;     // the clustered vertices, ascending
    int stride = 1;                 // every stride-th vertex is clustered
    Matrix3Xd clusteredRest;        // their rest points, when stride > 1
    Eigen::MatrixXd clusteredTraj;  // their trajectories, when stride > 1
    bool noMotion = false;          // displacements within the tolerance

    const Matrix3Xd& crest() const { return stride > 1 ? clusteredRest : rest; }
    const Eigen::MatrixXd& ctraj() const { return stride > 1 ? clusteredTraj : traj; }

    int clusteredCount() const { return static_cast<int>(clustered.size()); }
};

// Centre of the rest bounding box and the largest half deviation from it
// over every frame.
Normalised normalisation(const std::vector<std::vector<double>>& frames, int restFrame, int nv) {
    Normalised norm;
    const std::vector<double>& r = frames[restFrame];
    Vector3d lo(r[0], r[1], r[2]);
    Vector3d hi = lo;
    for (int v = 1; v < nv; ++v)
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], r[3 * v + c]);
            hi[c] = std::max(hi[c], r[3 * v + c]);
        }
    norm.o = lo * 0.5 + hi * 0.5;
    // A maximum is the same in any order: frames are shared out among threads.
    double h = 0.0;
    const int frameCount = static_cast<int>(frames.size());
    const Vector3d halfCentre = norm.o * 0.5;
    const bool parallel = static_cast<long long>(frameCount) * nv > kParallelWork;
#pragma omp parallel for schedule(static) reduction(max : h) if (parallel)
    for (int f = 0; f < frameCount; ++f) {
        const double* fr = frames[static_cast<std::size_t>(f)].data();
        for (int v = 0; v < nv; ++v)
            for (int c = 0; c < 3; ++c) h = std::max(h, std::abs(fr[3 * v + c] * 0.5 - halfCentre[c]));
    }
    norm.h = h > 0.0 ? h : 1.0;
    return norm;
}

ClusteringInput clusteringInput(int nv, const std::vector<std::vector<double>>& frames,
                                const JointPlacementOptions& options) {
    const int frameCount = static_cast<int>(frames.size());
    const int restFrame = options.restFrame;
    ClusteringInput in;
    in.norm = normalisation(frames, restFrame, nv);
    const Normalised& norm = in.norm;
    in.rest.resize(3, nv);
    for (int v = 0; v < nv; ++v) in.rest.col(v) = norm.map(&frames[restFrame][3 * v]);

    for (int f = 0; f < frameCount; ++f)
        if (f != restFrame) in.motionFrames.push_back(f);
    const int available = static_cast<int>(in.motionFrames.size());
    in.used = options.assignmentFrames > 0 ? std::min(options.assignmentFrames, available) : available;
    in.traj.resize(nv, 3 * in.used);
    for (int s = 0; s < in.used; ++s) {
        // Evenly spread over the animation, first motion frame included.
        const int f = in.motionFrames[static_cast<std::size_t>(static_cast<long long>(s) * available / in.used)];
        for (int v = 0; v < nv; ++v) in.traj.row(v).segment<3>(3 * s) = norm.map(&frames[f][3 * v]).transpose();
    }
    // The clustered vertices: all, or every stride-th on large meshes, keeping
    // a few per bone asked for.
    const long long keep = std::max<long long>(options.clusteredVertices, 8LL * options.boneCount);
    in.stride = options.clusteredVertices > 0 ? static_cast<int>((nv + keep - 1) / keep) : 1;
    for (int v = 0; v < nv; v += in.stride) in.clustered.push_back(v);
    if (in.stride > 1) {
        in.clusteredRest = in.rest(Eigen::all, in.clustered);
        in.clusteredTraj = in.traj(in.clustered, Eigen::all);
    }
    // Displacements within the tolerance are also explained by one cluster;
    // the first one beyond it settles the question.
    in.noMotion = true;
    for (std::size_t i = 0; i < in.motionFrames.size() && in.noMotion; ++i) {
        const std::vector<double>& frame = frames[static_cast<std::size_t>(in.motionFrames[i])];
        for (int v = 0; v < nv && in.noMotion; ++v)
            in.noMotion = (norm.map(&frame[3 * v]) - in.rest.col(v)).norm() <= options.rigidTolerance;
    }
    return in;
}

// A clustering and whether it explains every clustered vertex.
struct Clustering {
    std::unique_ptr<MotionClustering> clusters;
    bool explained = false;
};

// Grown from the worst residual, clusters follow motion wherever it leads
// and need not be connected: right for rigid parts, which it explains
// exactly, but often a poor start for skin that bends, where blending wants
// compact regions. Clusterings started from k-means on rest positions (fixed
// seeds) are the alternatives. Grown where the motions found so far fit
// worst even when blended two at a time, the next cluster goes, on skinned
// characters, to a part that turns against its neighbours (toes, a hand)
// rather than to the zone where two bones blend, which the solve's weights
// fit anyway: at 30 joints that start lowered the characters' E_RMS by 22 to
// 42 %, but not everywhere, so it is one candidate more.
Clustering grownClustering(const MotionSamples& samples, double explainedCost, int target,
                           const JointPlacementOptions& options, Seeding seeding = Seeding::worst) {
    Clustering grown;
    grown.clusters = std::make_unique<MotionClustering>(samples, explainedCost);
    grown.explained = growClusters(*grown.clusters, target, options.maxIterations, seeding);
    return grown;
}

Clustering compactClustering(const ClusteringInput& in, const MotionSamples& samples, double explainedCost, int target,
                             int seed, const JointPlacementOptions& options) {
    Clustering compact;
    compact.clusters = std::make_unique<MotionClustering>(samples, explainedCost,
                                                          kMeansByRestPosition(in.crest(), target, seed), target);
    MotionClustering& other = *compact.clusters;
    other.refine(options.maxIterations);
    compact.explained = growClusters(other, target, options.maxIterations);
    // Clusters far below a fair share are re-seeded where the fit is worst,
    // a bounded number of times.
    const int minimumSize = std::max(3, in.clusteredCount() / (4 * target));
    // Rounds often settle into giving back the clustering they started from,
    // or the one before it (the re-seeded cluster takes a new number): the
    // rounds left would repeat that, so the loop stops at the clustering the
    // last round would have left.
    std::vector<int> before, twoBefore;
    for (int round = 0; round < target && !compact.explained; ++round) {
        const auto [smallest, size] = other.smallestCluster();
        if (smallest < 0 || size >= minimumSize) break;
        twoBefore = std::move(before);
        before = other.bones();
        other.dissolve(smallest);
        compact.explained = growClusters(other, target, options.maxIterations);
        const bool evenRoundsLeft = (target - round - 1) % 2 == 0;
        if (other.bones() == before || (evenRoundsLeft && other.bones() == twoBefore)) break;
    }
    return compact;
}

// Compact clusters grown by halving the costliest one, each split followed
// by motion refinement: bones go where the motion is complex.
Clustering splitClustering(const MotionSamples& samples, double explainedCost, int target,
                           const JointPlacementOptions& options) {
    Clustering split;
    split.clusters = std::make_unique<MotionClustering>(samples, explainedCost);
    MotionClustering& other = *split.clusters;
    for (int attempt = 0; other.clusterCount() < target && attempt < 2 * target; ++attempt) {
        const auto [worst, worstCost] = other.worstVertex();
        if (worst < 0 || worstCost <= other.explainedCost()) {
            split.explained = true;
            break;
        }
        if (!other.splitAtRest(other.costliestCluster())) break;
        other.refine(options.maxIterations);
    }
    if (!split.explained) split.explained = growClusters(other, target, options.maxIterations);
    return split;
}

// Sums over a set of clustered vertices from which the least squared error
// of one rigid motion per clustering frame follows; two sets' sums add up to
// their union's, so that the cost of merging any two sets is one 3x3
// eigenvalue problem per frame rather than a pass over their vertices. Plain
// sums suffice: the coordinates are normalised to the animation's extent.
class MergeSums {
public:
    MergeSums(const MotionSamples& samples, const std::vector<int>& members)
        : frames_(static_cast<int>(samples.traj.cols() / 3)),
          sq_(static_cast<size_t>(frames_), Vector3d::Zero()),
          h_(static_cast<size_t>(frames_), Matrix3d::Zero()),
          sqq_(static_cast<size_t>(frames_), 0.0) {
        for (int v : members) {
            const Vector3d p = samples.rest.col(v);
            n_ += 1.0;
            sp_ += p;
            spp_ += p.squaredNorm();
            for (int s = 0; s < frames_; ++s) {
                const Vector3d q(samples.traj(v, 3 * s), samples.traj(v, 3 * s + 1), samples.traj(v, 3 * s + 2));
                sq_[s] += q;
                h_[s].noalias() += p * q.transpose();
                sqq_[s] += q.squaredNorm();
            }
        }
    }

    void add(const MergeSums& other) {
        n_ += other.n_;
        sp_ += other.sp_;
        spp_ += other.spp_;
        for (int s = 0; s < frames_; ++s) {
            sq_[s] += other.sq_[s];
            h_[s] += other.h_[s];
            sqq_[s] += other.sqq_[s];
        }
    }

    // Least squared error of one rigid motion per frame for the set, or for
    // its union with `other` when given.
    double cost(const MergeSums* other = nullptr) const {
        const double n = n_ + (other ? other->n_ : 0.0);
        if (!(n > 0.5)) return 0.0;
        const Vector3d sp = sp_ + (other ? other->sp_ : Vector3d::Zero());
        const double spreadP = spp_ + (other ? other->spp_ : 0.0) - sp.squaredNorm() / n;
        double total = 0.0;
        for (int s = 0; s < frames_; ++s) {
            const Vector3d sq = sq_[s] + (other ? other->sq_[s] : Vector3d::Zero());
            const Matrix3d h = h_[s] + (other ? other->h_[s] : Matrix3d::Zero()) - sp * (sq / n).transpose();
            const double spreadQ = sqq_[s] + (other ? other->sqq_[s] : 0.0) - sq.squaredNorm() / n;
            // The best proper rotation gains the singular values, the
            // smallest with the sign of the determinant.
            Eigen::SelfAdjointEigenSolver<Matrix3d> eigen;
            eigen.computeDirect(h.transpose() * h, Eigen::EigenvaluesOnly);
            const Vector3d sigma = eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt();  // ascending
            const double gain = sigma[2] + sigma[1] + (h.determinant() < 0.0 ? -sigma[0] : sigma[0]);
            total += std::max(spreadP + spreadQ - 2.0 * gain, 0.0);
        }
        return total;
    }

private:
    int frames_;
    double n_ = 0.0;
    Vector3d sp_ = Vector3d::Zero();
    double spp_ = 0.0;
    std::vector<Vector3d> sq_;
    std::vector<Matrix3d> h_;
    std::vector<double> sqq_;
};

// Clusters per bone the merged clustering starts from. On the fit-quality
// inputs 3, 4, 5 and 8 gave 0.7, 0.5, 0.7 and 0.7 % lower E_RMS on average
// (the merged start in place of a second k-means seed); 5 without a row
// more than 0.4 % worse, for 0.1 to 0.2 s more placement at 30 joints.
constexpr int kMergedFineClustersPerBone = 5;

// Many compact clusters refined by motion, then, down to `target`, the two
// whose merging raises the motion cost least merge (any two: parts apart
// may share a bone). Pieces of a part that moves as one merge first, the
// parts that turn most against the rest keep a bone of their own, however
// small: toes, a hand, where growth spends bones on the zones that blend.
Clustering mergedClustering(const ClusteringInput& in, const MotionSamples& samples, double explainedCost, int target,
                            const JointPlacementOptions& options) {
    const int fine = std::min(in.clusteredCount(), kMergedFineClustersPerBone * target);
    MotionClustering many(samples, explainedCost, kMeansByRestPosition(in.crest(), fine, 0), fine);
    many.refine(options.maxIterations);
    const int k = many.clusterCount();
    std::vector<MergeSums> sums;
    std::vector<double> own;
    for (int c = 0; c < k; ++c) {
        sums.emplace_back(samples, many.members(c));
        own.push_back(sums.back().cost());
    }
    std::vector<int> alive(static_cast<size_t>(k));
    std::iota(alive.begin(), alive.end(), 0);
    Eigen::MatrixXd raise = Eigen::MatrixXd::Constant(k, k, std::numeric_limits<double>::infinity());
    for (int a = 0; a < k; ++a)
        for (int b = a + 1; b < k; ++b) raise(a, b) = sums[a].cost(&sums[b]) - own[a] - own[b];
    std::vector<int> mergedInto(static_cast<size_t>(k));
    std::iota(mergedInto.begin(), mergedInto.end(), 0);
    while (static_cast<int>(alive.size()) > target) {
        int bestA = -1, bestB = -1;
        double least = std::numeric_limits<double>::infinity();
        for (size_t i = 0; i < alive.size(); ++i)
            for (size_t j = i + 1; j < alive.size(); ++j)
                if (raise(alive[i], alive[j]) < least) {
                    least = raise(alive[i], alive[j]);
                    bestA = alive[i];
                    bestB = alive[j];
                }
        if (bestA < 0) break;
        sums[bestA].add(sums[bestB]);
        own[bestA] = sums[bestA].cost();
        for (int& m : mergedInto)
            if (m == bestB) m = bestA;
        alive.erase(std::find(alive.begin(), alive.end(), bestB));
        for (int c : alive) {
            if (c == bestA) continue;
            const double r = sums[std::min(c, bestA)].cost(&sums[std::max(c, bestA)]) - own[c] - own[bestA];
            raise(std::min(c, bestA), std::max(c, bestA)) = r;
        }
    }
    std::vector<int> index(static_cast<size_t>(k), 0);
    for (size_t i = 0; i < alive.size(); ++i) index[alive[i]] = static_cast<int>(i);
    std::vector<int> assignment(many.bones().size());
    for (size_t v = 0; v < assignment.size(); ++v) assignment[v] = index[mergedInto[many.bones()[v]]];
    Clustering merged;
    merged.clusters =
        std::make_unique<MotionClustering>(samples, explainedCost, assignment, static_cast<int>(alive.size()));
    merged.clusters->refine(options.maxIterations);
    merged.explained = growClusters(*merged.clusters, target, options.maxIterations);
    return merged;
}

// The grown clustering, replaced by the compact one of lowest motion cost
// when it leaves some vertex unexplained and the compact one has more
// clusters, or as many at a lower motion cost.
Clustering chosenClustering(const ClusteringInput& in, const MotionSamples& samples, double explainedCost, int target,
                            const JointPlacementOptions& options) {
    // The grown clustering and the compact ones are independent: one task
    // each, so that threads meet once rather than at every pass of every
    // clustering (on a busy machine each meeting waits for a descheduled
    // thread). Inside a task the loops run on its own thread. Compact
    // clusterings are wanted only when the grown one leaves some vertex
    // unexplained; a task that starts after that is known skips its work.
    const int seeds = options.restSeededCandidates;
    Clustering best;
    std::vector<Clustering> others(static_cast<std::size_t>(seeds));
    std::atomic<bool> grownExplained{false};
#pragma omp parallel for schedule(dynamic, 1)
    for (int task = 0; task <= seeds; ++task) {
        if (task == 0) {
            Clustering grown = grownClustering(samples, explainedCost, target, options);
            grownExplained = grown.explained;
            best = std::move(grown);
        } else if (!grownExplained) {
            others[task - 1] = compactClustering(in, samples, explainedCost, target, task - 1, options);
        }
    }
    if (best.explained) return best;
    Clustering compact;
    for (Clustering& other : others) {
        if (!compact.clusters || other.clusters->clusterCount() > compact.clusters->clusterCount() ||
            (other.clusters->clusterCount() == compact.clusters->clusterCount() &&
             other.clusters->totalCost() < compact.clusters->totalCost())) {
            compact = std::move(other);
        }
    }
    // Only more bones or a lower motion cost earn the replacement: on
    // characters the grown clustering is often the better start.
    const int compactCount = compact.clusters->clusterCount(), grownCount = best.clusters->clusterCount();
    if (compactCount > grownCount ||
        (compactCount == grownCount && compact.clusters->totalCost() < best.clusters->totalCost()))
        best = std::move(compact);
    return best;
}

// Motion stage: the clustering the options ask for, or the one chosen.
// `samples` (the clustered vertices of `in`) must outlive the clustering.
Clustering clusterByMotion(const ClusteringInput& in, const MotionSamples& samples,
                           const JointPlacementOptions& options) {
    Eigen::initParallel();
    const double tol = options.rigidTolerance;
    const double explainedCost = tol * tol * static_cast<double>(in.used);
    // More clusters than vertices cannot exist; capping here keeps absurd
    // requests from costing more than one cluster per vertex.
    const int target = std::min(options.boneCount, in.clusteredCount());
    if (options.candidate == options.restSeededCandidates + 1)
        return grownClustering(samples, explainedCost, target, options, Seeding::worstBlended);
    if (options.candidate == options.restSeededCandidates + 2)
        return splitClustering(samples, explainedCost, target, options);
    if (options.candidate > options.restSeededCandidates + 2)
        return mergedClustering(in, samples, explainedCost, target, options);
    if (options.candidate > 0)
        return compactClustering(in, samples, explainedCost, target, options.candidate - 1, options);
    if (options.candidate == 0 || target < 2 || options.restSeededCandidates < 1)
        return grownClustering(samples, explainedCost, target, options);
    return chosenClustering(in, samples, explainedCost, target, options);
}

// Every vertex to the motion that carries it best; the clustered ones keep
// their cluster, so none empties. `explained` stays true only when every
// vertex is explained.
std::vector<int> everyVertexBone(const ClusteringInput& in, const MotionClustering& clustering, bool& explained) {
    std::vector<int> bone = clustering.bones();
    if (in.stride <= 1) return bone;
    double largestCost = 0.0;
    std::vector<int> nearest = clustering.nearestClusters(in.rest, in.traj, largestCost);
    for (int i = 0; i < in.clusteredCount(); ++i) nearest[in.clustered[i]] = bone[i];
    explained = explained && largestCost <= clustering.explainedCost();
    return nearest;
}

// Splits bones by rest position, largest spread first, until there are
// `want` or nothing more can be split; returns the bone count.
int splitToBoneCount(const Matrix3Xd& rest, std::vector<int>& bone, int k, int want) {
    std::vector<double> spread(k);
    for (int c = 0; c < k; ++c) spread[c] = restSpread(rest, bone, c);
    while (k < want) {
        int pick = -1;
        for (int c = 0; c < k; ++c)
            if (spread[c] > 0.0 && (pick < 0 || spread[c] > spread[pick])) pick = c;
        if (pick < 0) break;
        if (!splitByRestPosition(rest, bone, pick, k)) {
            spread[pick] = 0.0;  // coincident points only: never try again
            continue;
        }
        spread[pick] = restSpread(rest, bone, pick);
        spread.push_back(restSpread(rest, bone, k));
        ++k;
    }
    return k;
}

// Final fits over every frame: each bone's rest world matrix at the centroid
// of its vertices, and its rigid motion per frame. Fills out's bones.
void fitBoneMotions(const ClusteringInput& in, const std::vector<std::vector<double>>& frames, int restFrame,
                    const std::vector<int>& bone, int k, JointPlacement& out) {
    const int nv = static_cast<int>(bone.size());
    const int frameCount = static_cast<int>(frames.size());
    const Normalised& norm = in.norm;
    std::vector<std::vector<int>> members(k);
    for (int v = 0; v < nv; ++v) members[bone[v]].push_back(v);
    out.boneCount = k;
    out.vertexBone = bone;
    out.restWorld.assign(k, identity4());
    std::vector<Vector3d> centroid(k, Vector3d::Zero());
    for (int b = 0; b < k; ++b) {
        for (int v : members[b]) centroid[b] += in.rest.col(v);
        centroid[b] /= static_cast<double>(members[b].size());
        const Vector3d c = norm.unmap(centroid[b]);
        for (int i = 0; i < 3; ++i) out.restWorld[b][12 + i] = c[i];
    }
    const bool parallel = static_cast<long long>(nv) * frameCount > kParallelWork;
#pragma omp parallel for schedule(static) if (parallel)
    for (int f = 0; f < frameCount; ++f) {
        std::vector<Matrix4>& world = out.frameWorld[f];
        if (f == restFrame) {
            world = out.restWorld;
            continue;
        }
        world.assign(k, identity4());
        for (int b = 0; b < k; ++b) {
            const RigidMotion m =
                fitRigid(members[b], in.rest, [&](int v) -> Vector3d { return norm.map(&frames[f][3 * v]); });
            // restWorld * M: rotation a, translation c*a + t, taken back to the
            // animation's units around o so that huge offsets keep their digits.
            const RowVector3d row = centroid[b].transpose() * m.a + m.t;
            const Vector3d translation = norm.unmap(row.transpose());
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) world[b][4 * r + c] = m.a(r, c);
            for (int i = 0; i < 3; ++i) world[b][12 + i] = translation[i];
        }
    }
}

// Why fewer bones than asked, or how bones were placed when the motion does
// not tell them apart.
std::string placementNote(bool noMotion, bool explained, bool merge, int parts, int k, int want, int nv) {
    std::string note;
    if (noMotion) {
        appendNote(note, merge ? "no motion between frames: one bone"
                               : "no motion between frames: bones placed by rest position");
    } else if (explained && parts < want) {
        std::ostringstream why;
        why << "the animation moves as " << parts << " rigid part" << (parts == 1 ? "" : "s");
        if (merge)
            why << ": one bone per part";
        else if (k > parts)
            why << "; the other " << k - parts << " bone" << (k - parts == 1 ? "" : "s") << " share a part's motion";
        appendNote(note, why.str());
    }
    if (k < want && !merge) {
        std::ostringstream fewer;
        if (nv < want)
            fewer << "only " << nv << " vertices for " << want << " bones";
        else
            fewer << "only " << k << " groups of vertices differ in motion or rest position";
        fewer << ": placed " << k << " of " << want << " bones";
        appendNote(note, fewer.str());
    }
    return note;
}

}  // namespace

JointPlacement placeJoints(int vertexCount, const std::vector<std::vector<double>>& frames,
                           const JointPlacementOptions& options) {
    validate(vertexCount, frames, options);
    const int want = options.boneCount;
    JointPlacement out;
    out.frameWorld.assign(frames.size(), {});
    if (vertexCount == 0) {
        out.note = "no vertices: no bones placed";
        return out;
    }
    const int nv = vertexCount;

    // 1. Normalisation, and the frames and vertices clustered.
    const ClusteringInput in = clusteringInput(nv, frames, options);
    // 2. Motion stage.
    const MotionSamples samples(in.crest(), in.ctraj());
    const Clustering chosen = clusterByMotion(in, samples, options);
    const MotionClustering& clustering = *chosen.clusters;
    bool explained = chosen.explained;
    std::vector<int> bone = everyVertexBone(in, clustering, explained);
    int k = clustering.clusterCount();

    // 3. Fewer rigid parts than bones. Merging applies only when every vertex
    // is explained; otherwise the parts are not known and splitting keeps the
    // requested count.
    int parts = k;
    if (explained && k < want) {
        const std::vector<int> group = clustering.motionGroups();
        parts = *std::max_element(group.begin(), group.end()) + 1;
    }
    const bool merge = options.mergeRigidParts && explained && k < want;
    if (merge) {
        const std::vector<int> group = clustering.motionGroups();
        for (int& b : bone) b = group[b];
        k = parts;
    } else {
        k = splitToBoneCount(in.rest, bone, k, want);
    }

    // 4. Final fits over every frame.
    fitBoneMotions(in, frames, options.restFrame, bone, k, out);
    out.explainsEveryVertex = explained;
    out.note = placementNote(in.noMotion, explained, merge, parts, k, want, nv);
    return out;
}

std::vector<JointPlacement> placeJointCandidates(int vertexCount, const std::vector<std::vector<double>>& frames,
                                                 const JointPlacementOptions& options) {
    validate(vertexCount, frames, options);  // before the tasks, which must not throw
    // One task per candidate, so that threads meet once rather than at every
    // pass of every clustering; inside a task the loops run on its own thread.
    // The others are wanted only when the first leaves some vertex unexplained;
    // a task that starts after that is known skips its work.
    const int count = 1 + (options.boneCount < 2 ? 0 : std::max(options.restSeededCandidates, 0) + 3);
    std::vector<JointPlacement> candidates(count);
    std::atomic<bool> firstExplains{false};
#pragma omp parallel for schedule(dynamic, 1)
    for (int c = 0; c < count; ++c) {
        if (c > 0 && firstExplains) continue;
        JointPlacementOptions mine = options;
        mine.candidate = c;
        candidates[c] = placeJoints(vertexCount, frames, mine);
        if (c == 0 && candidates[c].explainsEveryVertex) firstExplains = true;
    }
    if (firstExplains) candidates.resize(1);
    return candidates;
}

std::vector<Matrix4> fitRigidMotion(const std::vector<std::vector<double>>& frames, int restFrame,
                                    const std::vector<int>& members) {
    if (members.empty() || restFrame < 0 || restFrame >= static_cast<int>(frames.size()))
        throw std::invalid_argument("fitRigidMotion: no members or rest frame outside the frames");
    // Normalised around the members' rest centroid and extent, as placement does.
    Normalised norm;
    Vector3d centre = Vector3d::Zero();
    for (int v : members) centre += Vector3d(&frames[restFrame][3 * static_cast<size_t>(v)]) * 0.5;
    norm.o = centre * (2.0 / static_cast<double>(members.size()));
    double h = 0.0;
    for (const std::vector<double>& frame : frames)
        for (int v : members)
            for (int c = 0; c < 3; ++c)
                h = std::max(h, std::abs(frame[3 * static_cast<size_t>(v) + c] * 0.5 - norm.o[c] * 0.5));
    norm.h = h > 0.0 ? h : 1.0;
    const int n = static_cast<int>(members.size());
    Matrix3Xd rest(3, n);
    std::vector<int> local(n);
    for (int i = 0; i < n; ++i) {
        rest.col(i) = norm.map(&frames[restFrame][3 * static_cast<size_t>(members[i])]);
        local[i] = i;
    }
    const Vector3d centroid = rest.rowwise().mean();
    std::vector<Matrix4> world(frames.size(), identity4());
    for (size_t f = 0; f < frames.size(); ++f) {
        const RigidMotion m = fitRigid(
            local, rest, [&](int i) -> Vector3d { return norm.map(&frames[f][3 * static_cast<size_t>(members[i])]); });
        const Vector3d translation = norm.unmap((centroid.transpose() * m.a + m.t).transpose());
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) world[f][4 * r + c] = m.a(r, c);
        for (int i = 0; i < 3; ++i) world[f][12 + i] = translation[i];
    }
    return world;
}

double rigidFitSquaredError(const std::vector<std::vector<double>>& frames, int restFrame,
                            const std::vector<int>& members) {
    const std::vector<Matrix4> world = fitRigidMotion(frames, restFrame, members);
    using RowMatrix4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
    const RowMatrix4 unbind = Eigen::Map<const RowMatrix4>(world[restFrame].data()).inverse();
    double sum = 0.0;
    for (size_t f = 0; f < frames.size(); ++f) {
        const RowMatrix4 carry = unbind * Eigen::Map<const RowMatrix4>(world[f].data());
        for (int v : members) {
            const double* p = &frames[restFrame][3 * static_cast<size_t>(v)];
            const double* q = &frames[f][3 * static_cast<size_t>(v)];
            const Eigen::RowVector4d carried = Eigen::RowVector4d(p[0], p[1], p[2], 1.0) * carry;
            sum += (carried.head<3>() - Eigen::RowVector3d(q[0], q[1], q[2])).squaredNorm();
        }
    }
    return sum;
}

std::array<std::vector<int>, 2> splitAtRest(const std::vector<double>& rest, const std::vector<int>& members) {
    const int vertexCount = static_cast<int>(rest.size() / 3);
    std::vector<int> bone(static_cast<size_t>(vertexCount), -1);
    for (int v : members) {
        if (v < 0 || v >= vertexCount) throw std::invalid_argument("splitAtRest: a member outside the rest points");
        bone[v] = 0;
    }
    const Matrix3Xd points = Eigen::Map<const Matrix3Xd>(rest.data(), 3, vertexCount);
    std::array<std::vector<int>, 2> halves;
    if (!splitByRestPosition(points, bone, 0, 1)) {
        halves[0] = members;
        std::sort(halves[0].begin(), halves[0].end());
        halves[0].erase(std::unique(halves[0].begin(), halves[0].end()), halves[0].end());
        return halves;
    }
    for (int v = 0; v < vertexCount; ++v)
        if (bone[v] >= 0) halves[bone[v]].push_back(v);
    return halves;
}

double rigidFitRms(int vertexCount, const std::vector<std::vector<double>>& frames, int restFrame,
                   const JointPlacement& placement) {
    if (vertexCount <= 0 || frames.empty()) return 0.0;
    auto fail = [] { throw std::invalid_argument("rigidFitRms: placement does not match the animation"); };
    if (restFrame < 0 || restFrame >= static_cast<int>(frames.size()) ||
        static_cast<int>(placement.vertexBone.size()) != vertexCount || placement.frameWorld.size() != frames.size())
        fail();
    const std::size_t boneCount = placement.restWorld.size();
    for (int b : placement.vertexBone)
        if (b < 0 || static_cast<std::size_t>(b) >= boneCount) fail();
    double scale = 0.0;  // squares are summed relative to it so they cannot overflow
    for (std::size_t f = 0; f < frames.size(); ++f) {
        if (frames[f].size() != 3 * static_cast<std::size_t>(vertexCount) ||
            placement.frameWorld[f].size() != boneCount)
            fail();
        for (double x : frames[f]) scale = std::max(scale, std::abs(x));
    }
    if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
    using RowMatrix4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
    std::vector<RowMatrix4> inverseRest(boneCount);
    for (std::size_t b = 0; b < boneCount; ++b)
        inverseRest[b] = Eigen::Map<const RowMatrix4>(placement.restWorld[b].data()).inverse();
    double sum = 0.0;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        for (int v = 0; v < vertexCount; ++v) {
            const int b = placement.vertexBone[v];
            const double* p = &frames[restFrame][3 * v];
            const Eigen::RowVector4d rp(p[0], p[1], p[2], 1.0);
            const Eigen::RowVector4d y =
                rp * inverseRest[b] * Eigen::Map<const RowMatrix4>(placement.frameWorld[f][b].data());
            for (int c = 0; c < 3; ++c) {
                const double d = (y[c] - frames[f][3 * v + c]) / scale;
                sum += d * d;
            }
        }
    }
    return scale * std::sqrt(sum / (static_cast<double>(vertexCount) * static_cast<double>(frames.size())));
}

}  // namespace vantrel::rig
