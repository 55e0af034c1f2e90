#include "cli/rig/skeleton_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>

namespace vantrel::rig {

namespace {

using io::Matrix4;
using io::Vec3;

// Skinning matrices [sample][joint]: binding * world.
using Skinning = std::vector<std::vector<Matrix4>>;

Skinning skinningMatrices(const std::vector<Matrix4>& binding, const std::vector<std::vector<Matrix4>>& world) {
    Skinning out(world.size());
    for (std::size_t s = 0; s < world.size(); ++s) {
        out[s].resize(binding.size());
        for (std::size_t j = 0; j < binding.size(); ++j) out[s][j] = io::multiply(binding[j], world[s][j]);
    }
    return out;
}

double distance(const Vec3& a, const Vec3& b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

Vec3 origin(const Matrix4& m) { return {m[12], m[13], m[14]}; }

Vec3 vertex(const std::vector<double>& xyz, std::size_t v) { return {xyz[3 * v], xyz[3 * v + 1], xyz[3 * v + 2]}; }

// sqrt(mean_s |x S_sa - x S_sb|^2).
double pivotResidual(const Skinning& skin, int a, int b, const Vec3& x) {
    if (skin.empty()) return 0.0;
    double sum = 0.0;
    for (const std::vector<Matrix4>& sample : skin) {
        const double d =
            distance(io::transformPoint(x, sample[std::size_t(a)]), io::transformPoint(x, sample[std::size_t(b)]));
        sum += d * d;
    }
    return std::sqrt(sum / double(skin.size()));
}

// The rest-space point both joints carry alike, pulled towards `meeting`
// where their motion leaves it open (see skeleton_tree.h).
Vec3 pivotBetween(const Skinning& skin, int a, int b, const Vec3& meeting) {
    Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
    Eigen::Vector3d right = Eigen::Vector3d::Zero();
    for (const std::vector<Matrix4>& sample : skin) {
        const Matrix4& sa = sample[std::size_t(a)];
        const Matrix4& sb = sample[std::size_t(b)];
        // x S = x L + t with L the upper 3x3 (row form): the difference is
        // x D + e, that is D^T x^T + e^T in column form.
        Eigen::Matrix3d dt;
        Eigen::Vector3d e;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) dt(c, r) = sa[std::size_t(4 * r + c)] - sb[std::size_t(4 * r + c)];
            e(r) = sa[std::size_t(12 + r)] - sb[std::size_t(12 + r)];
        }
        normal += dt.transpose() * dt;
        right -= dt.transpose() * e;
    }
    // In the eigenbasis of the normal matrix, x = c + sum_i g(e_i) v_i v_i^T
    // (right - normal c) / e_i: the least-squares step from the meeting point
    // c, each direction damped by g(e) = 1 - (lambda / (e + lambda))^3
    // (Tikhonov iterated three times towards c).
    const Eigen::Vector3d prior(meeting[0], meeting[1], meeting[2]);
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(normal);
    const double largest = std::max(eigen.eigenvalues().maxCoeff(), 0.0);
    const double lambda = kPivotPrior * largest;
    const Eigen::Vector3d step = eigen.eigenvectors().transpose() * (right - normal * prior);
    Eigen::Vector3d x = prior;
    for (int i = 0; i < 3; ++i) {
        const double e = eigen.eigenvalues()(i);
        if (!(e > 0.0) || !(lambda > 0.0)) continue;
        const double damp = std::pow(lambda / (e + lambda), 3);
        x += eigen.eigenvectors().col(i) * ((1.0 - damp) * step(i) / e);
    }
    if (!x.allFinite()) return meeting;
    return {x(0), x(1), x(2)};
}

// Per joint, the vertices it carries with at least kMemberWeight and their
// weights; and each joint's total weight.
struct Members {
    std::vector<std::vector<int>> vertices;  // [joint]
    std::vector<double> totalWeight;         // [joint]
    // Per vertex its influences, as the rig gives them.
    const std::vector<std::vector<io::SkinInfluence>>* influences = nullptr;

    double weightOf(int v, int joint) const {
        double w = 0.0;
        for (const io::SkinInfluence& s : (*influences)[std::size_t(v)])
            if (s.joint == joint) w += s.weight;
        return w;
    }
};

Members membersOf(const std::vector<std::vector<io::SkinInfluence>>& influences, int jointCount) {
    Members m;
    m.influences = &influences;
    m.vertices.resize(std::size_t(jointCount));
    m.totalWeight.assign(std::size_t(jointCount), 0.0);
    for (std::size_t v = 0; v < influences.size(); ++v) {
        for (const io::SkinInfluence& s : influences[v]) {
            if (s.joint < 0 || s.joint >= jointCount || !(s.weight > 0.0)) continue;
            m.totalWeight[std::size_t(s.joint)] += s.weight;
        }
        for (const io::SkinInfluence& s : influences[v]) {
            if (s.joint < 0 || s.joint >= jointCount) continue;
            auto& list = m.vertices[std::size_t(s.joint)];
            if (m.weightOf(int(v), s.joint) >= kMemberWeight && (list.empty() || list.back() != int(v)))
                list.push_back(int(v));
        }
    }
    return m;
}

// Where two joints meet at rest and the gap between their members.
struct Meeting {
    Vec3 point{0, 0, 0};
    double gap = 0.0;
};

// The centroid of the points whose nearest distance is within `reach`.
Vec3 zoneCentroid(const std::vector<Vec3>& points, const std::vector<double>& nearest, double reach) {
    Vec3 sum{0, 0, 0};
    int count = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (nearest[i] > reach) continue;
        for (int c = 0; c < 3; ++c) sum[std::size_t(c)] += points[i][std::size_t(c)];
        ++count;
    }
    for (double& x : sum) x /= std::max(count, 1);
    return sum;
}

// The pairwise meetings [a][b] (a < b filled, mirrored).
std::vector<std::vector<Meeting>> meetings(const std::vector<double>& rest, const Members& members,
                                           const std::vector<Vec3>& restOrigins) {
    const int J = int(members.vertices.size());
    std::vector<std::vector<Meeting>> out(static_cast<std::size_t>(J), std::vector<Meeting>(std::size_t(J)));
    // Members on a subset of vertices for the gaps; joints with none stand at
    // their rest origin.
    const std::size_t V = rest.size() / 3;
    const std::size_t stride = std::max<std::size_t>(1, (V + kGapPoints - 1) / kGapPoints);
    std::vector<std::vector<Vec3>> points(static_cast<std::size_t>(J));
    for (int j = 0; j < J; ++j) {
        for (int v : members.vertices[std::size_t(j)])
            if (std::size_t(v) % stride == 0) points[std::size_t(j)].push_back(vertex(rest, std::size_t(v)));
        if (points[std::size_t(j)].empty() && !members.vertices[std::size_t(j)].empty())
            points[std::size_t(j)].push_back(vertex(rest, std::size_t(members.vertices[std::size_t(j)].front())));
        if (points[std::size_t(j)].empty()) points[std::size_t(j)].push_back(restOrigins[std::size_t(j)]);
    }
    // Shared weight: sum over vertices of min(w_a, w_b), and its centroid.
    std::vector<std::vector<double>> shared(static_cast<std::size_t>(J), std::vector<double>(std::size_t(J), 0.0));
    std::vector<std::vector<Vec3>> sharedSum(static_cast<std::size_t>(J),
                                             std::vector<Vec3>(std::size_t(J), Vec3{0, 0, 0}));
    std::vector<std::vector<char>> common(static_cast<std::size_t>(J), std::vector<char>(std::size_t(J), 0));
    for (std::size_t v = 0; v < V; ++v) {
        const auto& list = (*members.influences)[v];
        for (std::size_t i = 0; i < list.size(); ++i) {
            for (std::size_t k = i + 1; k < list.size(); ++k) {
                int a = list[i].joint, b = list[k].joint;
                if (a == b || a < 0 || b < 0 || a >= J || b >= J) continue;
                if (a > b) std::swap(a, b);
                const double wa = members.weightOf(int(v), a), wb = members.weightOf(int(v), b);
                const double w = std::min(wa, wb);
                if (!(w > 0.0)) continue;
                shared[std::size_t(a)][std::size_t(b)] += w;
                for (int c = 0; c < 3; ++c)
                    sharedSum[std::size_t(a)][std::size_t(b)][std::size_t(c)] += w * rest[3 * v + std::size_t(c)];
                if (w >= kMemberWeight) common[std::size_t(a)][std::size_t(b)] = 1;
            }
        }
    }
    for (int a = 0; a < J; ++a) {
        for (int b = a + 1; b < J; ++b) {
            Meeting m;
            const std::vector<Vec3>& pa = points[std::size_t(a)];
            const std::vector<Vec3>& pb = points[std::size_t(b)];
            std::vector<double> nearestA(pa.size(), std::numeric_limits<double>::infinity());
            std::vector<double> nearestB(pb.size(), std::numeric_limits<double>::infinity());
            for (std::size_t i = 0; i < pa.size(); ++i)
                for (std::size_t k = 0; k < pb.size(); ++k) {
                    const double d = distance(pa[i], pb[k]);
                    nearestA[i] = std::min(nearestA[i], d);
                    nearestB[k] = std::min(nearestB[k], d);
                }
            const double gap = *std::min_element(nearestA.begin(), nearestA.end());
            m.gap = common[std::size_t(a)][std::size_t(b)] ? 0.0 : gap;
            const double w = shared[std::size_t(a)][std::size_t(b)];
            if (w > 1e-9) {
                for (int c = 0; c < 3; ++c)
                    m.point[std::size_t(c)] = sharedSum[std::size_t(a)][std::size_t(b)][std::size_t(c)] / w;
            } else {
                // The midpoint of the two contact zones: each one's members within
                // kContactZone times the gap of the other.
                const Vec3 za = zoneCentroid(pa, nearestA, kContactZone * gap);
                const Vec3 zb = zoneCentroid(pb, nearestB, kContactZone * gap);
                for (int c = 0; c < 3; ++c) m.point[std::size_t(c)] = 0.5 * (za[std::size_t(c)] + zb[std::size_t(c)]);
            }
            out[std::size_t(a)][std::size_t(b)] = m;
            out[std::size_t(b)][std::size_t(a)] = m;
        }
    }
    return out;
}

double restDiagonal(const std::vector<double>& rest) {
    if (rest.size() < 3) return 0.0;
    Vec3 low = vertex(rest, 0), high = low;
    for (std::size_t v = 0; v < rest.size() / 3; ++v)
        for (int c = 0; c < 3; ++c) {
            low[std::size_t(c)] = std::min(low[std::size_t(c)], rest[3 * v + std::size_t(c)]);
            high[std::size_t(c)] = std::max(high[std::size_t(c)], rest[3 * v + std::size_t(c)]);
        }
    return distance(low, high);
}

// The joint whose carried centroid follows the body's best (see the header).
int chooseRoot(const std::vector<double>& rest, const Members& members, const Skinning& skin) {
    const int J = int(members.vertices.size());
    const std::size_t V = rest.size() / 3;
    std::vector<Vec3> centroid(static_cast<std::size_t>(J), Vec3{0, 0, 0});
    for (std::size_t v = 0; v < V; ++v)
        for (const io::SkinInfluence& s : (*members.influences)[v]) {
            if (s.joint < 0 || s.joint >= J || !(s.weight > 0.0)) continue;
            for (int c = 0; c < 3; ++c)
                centroid[std::size_t(s.joint)][std::size_t(c)] += s.weight * rest[3 * v + std::size_t(c)];
        }
    double total = 0.0;
    for (int j = 0; j < J; ++j) {
        const double w = members.totalWeight[std::size_t(j)];
        total += w;
        for (double& x : centroid[std::size_t(j)]) x = w > 0.0 ? x / w : 0.0;
    }
    std::vector<double> mismatch(static_cast<std::size_t>(J), 0.0);
    for (const std::vector<Matrix4>& sample : skin) {
        std::vector<Vec3> move(static_cast<std::size_t>(J));
        Vec3 body{0, 0, 0};
        for (int j = 0; j < J; ++j) {
            const Vec3 carried = io::transformPoint(centroid[std::size_t(j)], sample[std::size_t(j)]);
            for (int c = 0; c < 3; ++c) {
                move[std::size_t(j)][std::size_t(c)] =
                    carried[std::size_t(c)] - centroid[std::size_t(j)][std::size_t(c)];
                if (total > 0.0)
                    body[std::size_t(c)] +=
                        members.totalWeight[std::size_t(j)] / total * move[std::size_t(j)][std::size_t(c)];
            }
        }
        for (int j = 0; j < J; ++j) {
            const double d = distance(move[std::size_t(j)], body);
            mismatch[std::size_t(j)] += d * d;
        }
    }
    // Joints of at least the mean weight are the candidates: a small joint's
    // motion says little about the body's.
    const double mean = total / double(J);
    double best = std::numeric_limits<double>::infinity();
    for (int j = 0; j < J; ++j)
        if (members.totalWeight[std::size_t(j)] >= mean) best = std::min(best, mismatch[std::size_t(j)]);
    const double tie = kRootTie * restDiagonal(rest) * std::sqrt(double(std::max<std::size_t>(skin.size(), 1)));
    int root = -1;
    for (int j = 0; j < J; ++j) {
        if (members.totalWeight[std::size_t(j)] < mean) continue;
        if (std::sqrt(mismatch[std::size_t(j)]) > std::sqrt(best) + tie) continue;
        if (root < 0 || members.totalWeight[std::size_t(j)] > members.totalWeight[std::size_t(root)]) root = j;
    }
    return root < 0 ? 0 : root;
}

// Prim's maximum spanning tree over the scores -cost[a][b] of the major
// joints, grown from the root; then every minor joint hangs as a leaf from
// the major joint it costs least with. Parents per joint.
std::vector<int> spanningTree(const std::vector<std::vector<double>>& cost, int root, const std::vector<char>& major) {
    const std::size_t J = cost.size();
    std::vector<int> parents(J, -1);
    std::vector<char> inTree(J, 0);
    std::vector<double> best(J, std::numeric_limits<double>::infinity());
    std::vector<int> from(J, -1);
    best[std::size_t(root)] = 0.0;
    for (;;) {
        int next = -1;
        for (std::size_t j = 0; j < J; ++j)
            if (major[j] && !inTree[j] && (next < 0 || best[j] < best[std::size_t(next)])) next = int(j);
        if (next < 0) break;
        inTree[std::size_t(next)] = 1;
        parents[std::size_t(next)] = from[std::size_t(next)];
        for (std::size_t j = 0; j < J; ++j) {
            if (inTree[j] || !(cost[std::size_t(next)][j] < best[j])) continue;
            best[j] = cost[std::size_t(next)][j];
            from[j] = next;
        }
    }
    for (std::size_t j = 0; j < J; ++j)
        if (!inTree[j]) parents[j] = from[j];
    return parents;
}

// Residuals and bone-length variations of joints at the origins of `world`.
void measureBones(SkeletonTree& tree, const std::vector<Matrix4>& binding,
                  const std::vector<std::vector<Matrix4>>& world) {
    const std::size_t J = binding.size();
    const Skinning skin = skinningMatrices(binding, world);
    tree.pivots.assign(J, Vec3{0, 0, 0});
    tree.pivotResidual.assign(J, 0.0);
    tree.boneLengthVariation.assign(J, 0.0);
    for (std::size_t j = 0; j < J; ++j) {
        tree.pivots[j] = origin(io::inverse(binding[j]));
        const int parent = tree.parents[j];
        if (parent < 0 || world.empty()) continue;
        tree.pivotResidual[j] = pivotResidual(skin, parent, int(j), tree.pivots[j]);
        const auto translation = [&](std::size_t s) {
            return io::transformPoint(origin(world[s][j]), io::inverse(world[s][std::size_t(parent)]));
        };
        const Vec3 atRest = translation(0);
        for (std::size_t s = 1; s < world.size(); ++s)
            tree.boneLengthVariation[j] = std::max(tree.boneLengthVariation[j], distance(translation(s), atRest));
    }
}

}  // namespace

SkeletonTree inferSkeletonTree(const std::vector<double>& restPositions,
                               const std::vector<std::vector<io::SkinInfluence>>& influences,
                               std::vector<Matrix4>& bindingMatrices, std::vector<std::vector<Matrix4>>& boneWorld) {
    const int J = int(bindingMatrices.size());
    if (influences.size() != restPositions.size() / 3 || restPositions.size() % 3 != 0)
        throw std::invalid_argument("inferSkeletonTree: " + std::to_string(influences.size()) +
                                    " vertices of influences for " + std::to_string(restPositions.size()) +
                                    " rest coordinates");
    for (const std::vector<Matrix4>& sample : boneWorld)
        if (sample.size() != bindingMatrices.size())
            throw std::invalid_argument("inferSkeletonTree: a sample's joint count differs from the binding matrices'");
    SkeletonTree tree;
    if (J == 0) return tree;
    const Skinning skin = skinningMatrices(bindingMatrices, boneWorld);
    const Members members = membersOf(influences, J);
    std::vector<Vec3> restOrigins(static_cast<std::size_t>(J));
    for (int j = 0; j < J; ++j) restOrigins[std::size_t(j)] = origin(io::inverse(bindingMatrices[std::size_t(j)]));
    const std::vector<std::vector<Meeting>> meet = meetings(restPositions, members, restOrigins);

    // Every pair's pivot and cost.
    std::vector<std::vector<Vec3>> pivot(static_cast<std::size_t>(J), std::vector<Vec3>(std::size_t(J)));
    std::vector<std::vector<double>> cost(static_cast<std::size_t>(J), std::vector<double>(std::size_t(J), 0.0));
    for (int a = 0; a < J; ++a)
        for (int b = a + 1; b < J; ++b) {
            const Vec3 x = pivotBetween(skin, a, b, meet[std::size_t(a)][std::size_t(b)].point);
            pivot[std::size_t(a)][std::size_t(b)] = pivot[std::size_t(b)][std::size_t(a)] = x;
            cost[std::size_t(a)][std::size_t(b)] = cost[std::size_t(b)][std::size_t(a)] =
                pivotResidual(skin, a, b, x) + meet[std::size_t(a)][std::size_t(b)].gap;
        }
    tree.root = chooseRoot(restPositions, members, skin);
    // Joints of little weight move as the solve could fit them, not as a bone
    // does: they join as leaves.
    double total = 0.0;
    for (double w : members.totalWeight) total += w;
    std::vector<char> major(static_cast<std::size_t>(J), 0);
    for (int j = 0; j < J; ++j)
        major[std::size_t(j)] = j == tree.root || members.totalWeight[std::size_t(j)] >= kMinorWeight * total / J;
    tree.parents = spanningTree(cost, tree.root, major);

    // Every non-root joint's origin to its pivot.
    for (int j = 0; j < J; ++j) {
        const int parent = tree.parents[std::size_t(j)];
        if (parent < 0) continue;
        const Vec3 p = io::transformPoint(pivot[std::size_t(j)][std::size_t(parent)], bindingMatrices[std::size_t(j)]);
        Matrix4 to = io::identityMatrix(), back = io::identityMatrix();
        for (int c = 0; c < 3; ++c) {
            to[std::size_t(12 + c)] = p[std::size_t(c)];
            back[std::size_t(12 + c)] = -p[std::size_t(c)];
        }
        bindingMatrices[std::size_t(j)] = io::multiply(bindingMatrices[std::size_t(j)], back);
        for (std::vector<Matrix4>& sample : boneWorld)
            sample[std::size_t(j)] = io::multiply(to, sample[std::size_t(j)]);
    }
    measureBones(tree, bindingMatrices, boneWorld);
    return tree;
}

SkeletonTree describeHierarchy(const std::vector<int>& parents, const std::vector<Matrix4>& bindingMatrices,
                               const std::vector<std::vector<Matrix4>>& boneWorld) {
    SkeletonTree tree;
    tree.parents = parents;
    tree.parents.resize(bindingMatrices.size(), -1);
    const auto root = std::find(tree.parents.begin(), tree.parents.end(), -1);
    tree.root = root == tree.parents.end() ? 0 : int(root - tree.parents.begin());
    measureBones(tree, bindingMatrices, boneWorld);
    return tree;
}

}  // namespace vantrel::rig
