#include "known_rig.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include <Eigen/Geometry>

#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/reconstruction_error.h"
#include "solver/weight_solver.h"

MMatrix rigidMatrix(const double axis[3], double angle, const double t[3]) {
    const double norm = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double x = axis[0] / norm, y = axis[1] / norm, z = axis[2] / norm;
    const double c = std::cos(angle), s = std::sin(angle), C = 1.0 - c;
    // Row-vector convention: the rotation matrix is the transpose of the
    // column-vector one.
    const double m[4][4] = {{c + x * x * C, y * x * C + z * s, z * x * C - y * s, 0.0},
                            {x * y * C - z * s, c + y * y * C, z * y * C + x * s, 0.0},
                            {x * z * C + y * s, y * z * C - x * s, c + z * z * C, 0.0},
                            {t[0], t[1], t[2], 1.0}};
    return MMatrix(m);
}

MMatrix translation(double x, double y, double z) {
    MMatrix m;
    m[3][0] = x;
    m[3][1] = y;
    m[3][2] = z;
    return m;
}

namespace {

double boxDiagonal(const MPointArray& points, const MIntArray& ids) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (unsigned j = 0; j < ids.length(); ++j) {
        const MPoint& p = points[static_cast<unsigned>(ids[j])];
        for (unsigned a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
    return std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                     (hi[2] - lo[2]) * (hi[2] - lo[2]));
}

}  // namespace

void resampleShapes(DecompositionState& state, const std::map<int32_t, std::vector<double>>& weights,
                    const std::vector<std::vector<MMatrix>>& transforms) {
    Inputs& in = state.inputs;
    in.shapePoints.assign(static_cast<size_t>(in.F), in.restPoints);
    in.diagonalSum = 0.0;
    for (int f = 0; f < in.F; ++f) {
        for (const auto& [id, w] : weights) {
            const MPoint& p = in.restPoints[static_cast<unsigned>(id)];
            double x = 0.0, y = 0.0, z = 0.0;
            for (int k = 0; k < in.J; ++k) {
                if (w[static_cast<size_t>(k)] == 0.0) continue;
                const MPoint q = p * (state.solver.bindingMatrices[k] * transforms[f][k]);
                x += w[static_cast<size_t>(k)] * q.x;
                y += w[static_cast<size_t>(k)] * q.y;
                z += w[static_cast<size_t>(k)] * q.z;
            }
            in.shapePoints[f][static_cast<unsigned>(id)] = MPoint(x, y, z);
        }
        in.diagonalSum += boxDiagonal(in.shapePoints[f], in.vertexIds);
    }
}

KnownRig makeKnownRig(const RigOptions& o) {
    KnownRig rig;
    DecompositionState& state = rig.state;
    Inputs& in = state.inputs;
    std::mt19937 rng(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    const int J = o.bones;
    const int F = o.frames;
    const double length = 4.0;
    const double spacing = length / J;
    in.F = F;
    in.numFrame = F + 1;
    in.J = J;
    in.V = o.vertices;
    in.maxInfluence = std::min(o.maxInfluence, J);
    in.constraintWeight = 10.0;
    in.maxIteration = 10;
    in.iterationFullSolver = 3;
    in.rigidMatrices = o.rigid;
    in.errorPercentBreak = 0.0;

    // The mesh has unused points too; used ids are a shuffled subset.
    const int meshPoints = o.vertices + 17;
    std::vector<int32_t> ids(static_cast<size_t>(meshPoints));
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), rng);
    ids.resize(static_cast<size_t>(o.vertices));
    for (int32_t id : ids) in.vertexIds.append(id);

    in.restPoints.setLength(static_cast<unsigned>(meshPoints));
    std::vector<double> heights(static_cast<size_t>(meshPoints));
    for (int v = 0; v < meshPoints; ++v) {
        const double h = length * unit(rng);
        const double a = 2.0 * M_PI * unit(rng);
        const double r = o.flat ? 0.0 : 0.5;
        const double x = o.flat ? (unit(rng) - 0.5) : r * std::cos(a);
        const double z = o.flat ? 0.7 * x + 0.3 * h : r * std::sin(a);  // flat: a tilted plane
        heights[static_cast<size_t>(v)] = h;
        in.restPoints[static_cast<unsigned>(v)] =
            MPoint(x * o.scale + o.offset, h * o.scale + o.offset, z * o.scale + o.offset);
    }

    // Bone j's rest world matrix sits on the axis at its height.
    state.solver.bindingMatrices.resize(static_cast<size_t>(J));
    std::vector<double> pivots(static_cast<size_t>(J));
    for (int j = 0; j < J; ++j) {
        pivots[static_cast<size_t>(j)] = (j + 0.5) * spacing;
        const MMatrix restWorld = translation(o.offset, pivots[static_cast<size_t>(j)] * o.scale + o.offset, o.offset);
        state.solver.bindingMatrices[static_cast<size_t>(j)] = restWorld.inverse();
    }

    for (int32_t id : ids) {
        std::vector<double> w(static_cast<size_t>(J), 0.0);
        double sum = 0.0;
        for (int j = 0; j < J; ++j) {
            const double d = std::fabs(heights[static_cast<size_t>(id)] - pivots[static_cast<size_t>(j)]) / spacing;
            w[static_cast<size_t>(j)] = std::max(0.0, 1.0 - d);
            sum += w[static_cast<size_t>(j)];
        }
        for (double& x : w) x /= sum;
        rig.weights[id] = w;
    }

    // Each bone turns about its own pivot and drifts, differently per frame.
    rig.transforms.assign(static_cast<size_t>(F), std::vector<MMatrix>(static_cast<size_t>(J)));
    for (int f = 0; f < F; ++f) {
        for (int j = 0; j < J; ++j) {
            const double axis[3] = {unit(rng) - 0.5, unit(rng) - 0.5, unit(rng) - 0.5};
            const double angle = 0.8 * (unit(rng) - 0.5);
            const double zero[3] = {0.0, 0.0, 0.0};
            const double shift[3] = {0.3 * o.scale * (unit(rng) - 0.5), 0.3 * o.scale * (unit(rng) - 0.5),
                                     0.3 * o.scale * (unit(rng) - 0.5)};
            const MMatrix restWorld = state.solver.bindingMatrices[static_cast<size_t>(j)].inverse();
            rig.transforms[static_cast<size_t>(f)][static_cast<size_t>(j)] =
                rigidMatrix(axis, angle, zero) * restWorld * translation(shift[0], shift[1], shift[2]);
        }
    }
    state.solver.boneTransforms = rig.transforms;
    resampleShapes(state, rig.weights, rig.transforms);
    return rig;
}

namespace {

// The chain rig's layout: chain directions spread over the sphere (the first
// one up, as a spine), each leaving the root at the origin of the rest pose,
// offset by options.offset; bone j = c * perChain + i starts at joint i of
// chain c.
struct ChainLayout {
    const ChainRigOptions& o;
    int chains;
    int perChain;
    Eigen::Vector3d offset;
    std::vector<Eigen::Vector3d> directions;

    explicit ChainLayout(const ChainRigOptions& options)
        : o(options),
          chains(std::max(options.chains, 1)),
          perChain(std::max(options.bonesPerChain, 1)),
          offset(Eigen::Vector3d::Constant(options.offset)),
          directions(static_cast<size_t>(chains)) {
        for (int c = 0; c < chains; ++c) {
            const double z = 1.0 - 2.0 * (c + 0.5) / chains;
            const double a = 2.399963 * c;  // golden angle
            const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
            directions[static_cast<size_t>(c)] = Eigen::Vector3d(r * std::cos(a), z, r * std::sin(a)).normalized();
        }
    }
    Eigen::Vector3d joint(int c, int i) const {
        return offset + (0.1 + i * o.boneLength) * directions[static_cast<size_t>(c)];
    }
};

// The used vertex ids (half shuffled, half in order), the rest pose and the
// weights: a point on a tube around a chain, at a position t (in bones)
// along it; weights fall smoothly with the distance to each bone's middle.
std::vector<int32_t> skinChains(const ChainLayout& layout, std::mt19937& rng, KnownRig& rig) {
    const ChainRigOptions& o = layout.o;
    const int chains = layout.chains, perChain = layout.perChain, J = chains * perChain;
    const Eigen::Vector3d& offset = layout.offset;
    Inputs& in = rig.state.inputs;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int meshPoints = o.vertices + 11;
    std::vector<int32_t> ids(static_cast<size_t>(meshPoints));
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), rng);
    ids.resize(static_cast<size_t>(o.vertices));
    std::sort(ids.begin() + o.vertices / 2, ids.end());  // half shuffled, half in order
    for (int32_t id : ids) in.vertexIds.append(id);

    in.restPoints.setLength(static_cast<unsigned>(meshPoints));
    std::vector<int> chainOf(static_cast<size_t>(meshPoints));
    std::vector<double> along(static_cast<size_t>(meshPoints));
    for (int v = 0; v < meshPoints; ++v) {
        const int c = static_cast<int>(unit(rng) * chains) % chains;
        const double t = perChain * unit(rng);
        const Eigen::Vector3d d = layout.directions[static_cast<size_t>(c)];
        Eigen::Vector3d side = d.unitOrthogonal(), up = d.cross(side);
        const double a = 2.0 * M_PI * unit(rng);
        const Eigen::Vector3d p =
            offset + (0.1 + t * o.boneLength) * d + o.radius * (std::cos(a) * side + std::sin(a) * up);
        in.restPoints[static_cast<unsigned>(v)] = MPoint(p.x(), p.y(), p.z());
        chainOf[static_cast<size_t>(v)] = c;
        along[static_cast<size_t>(v)] = t;
    }
    for (int32_t id : ids) {
        std::vector<double> w(static_cast<size_t>(J), 0.0);
        const int c = chainOf[static_cast<size_t>(id)];
        double sum = 0.0;
        for (int i = 0; i < perChain; ++i) {
            const double d = (along[static_cast<size_t>(id)] - (i + 0.5)) / 1.5;
            const double k = std::max(0.0, 1.0 - d * d);
            w[static_cast<size_t>(c * perChain + i)] = k * k;
            sum += k * k;
        }
        for (double& x : w) x /= sum;
        rig.weights[id] = w;
    }

    Eigen::Vector3d lo = Eigen::Vector3d::Constant(HUGE_VAL), hi = -lo;
    for (int32_t id : ids) {
        const MPoint& p = in.restPoints[static_cast<unsigned>(id)];
        lo = lo.cwiseMin(Eigen::Vector3d(p.x, p.y, p.z));
        hi = hi.cwiseMax(Eigen::Vector3d(p.x, p.y, p.z));
    }
    in.constraintWeight = (hi - lo).norm();

    return ids;
}

// Binding matrices at the joints, and per frame the transforms: per bone a
// turning axis and two phases; the bone turns about its joint relative to
// its parent by a smooth angle, and the root turns slowly and walks.
void animateChains(const ChainLayout& layout, std::mt19937& rng, std::normal_distribution<double>& normal,
                   KnownRig& rig) {
    const ChainRigOptions& o = layout.o;
    const int chains = layout.chains, perChain = layout.perChain, J = chains * perChain;
    const int F = o.frames;
    const Eigen::Vector3d& offset = layout.offset;
    DecompositionState& state = rig.state;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    state.solver.bindingMatrices.resize(static_cast<size_t>(J));
    for (int c = 0; c < chains; ++c)
        for (int i = 0; i < perChain; ++i) {
            const Eigen::Vector3d q = layout.joint(c, i);
            state.solver.bindingMatrices[static_cast<size_t>(c * perChain + i)] =
                translation(q.x(), q.y(), q.z()).inverse();
        }

    struct Motion {
        double axis[3];
        double phase, rate;
    };
    std::vector<Motion> motion(static_cast<size_t>(J));
    for (Motion& m : motion) {
        m.axis[0] = normal(rng);
        m.axis[1] = normal(rng);
        m.axis[2] = normal(rng);
        m.phase = 2.0 * M_PI * unit(rng);
        m.rate = 0.5 + unit(rng);
    }
    rig.transforms.assign(static_cast<size_t>(F), std::vector<MMatrix>(static_cast<size_t>(J)));
    const double zero[3] = {0.0, 0.0, 0.0};
    for (int f = 0; f < F; ++f) {
        const double time = F > 1 ? static_cast<double>(f) / (F - 1) : 0.0;
        const double up[3] = {0.0, 1.0, 0.0};
        const double path[3] = {o.travel * time, 0.1 * std::sin(12.0 * time), 0.3 * o.travel * time * time};
        // Root: turn about the body's rest origin, then walk.
        const MMatrix root = translation(-offset.x(), -offset.y(), -offset.z()) * rigidMatrix(up, 0.6 * time, zero) *
                             translation(offset.x() + path[0], offset.y() + path[1], offset.z() + path[2]);
        for (int c = 0; c < chains; ++c) {
            MMatrix parent = root;  // skinning matrix of the parent, rest -> frame f
            for (int i = 0; i < perChain; ++i) {
                const int j = c * perChain + i;
                const Motion& m = motion[static_cast<size_t>(j)];
                const double turn = o.angle * std::sin(2.0 * M_PI * m.rate * time * 3.0 + m.phase);
                const Eigen::Vector3d q = layout.joint(c, i);
                const MMatrix local = translation(-q.x(), -q.y(), -q.z()) * rigidMatrix(m.axis, turn, zero) *
                                      translation(q.x(), q.y(), q.z());
                const MMatrix skinning = local * parent;
                // World matrix: rest world matrix, then the skinning motion.
                rig.transforms[static_cast<size_t>(f)][static_cast<size_t>(j)] =
                    state.solver.bindingMatrices[static_cast<size_t>(j)].inverse() * skinning;
                parent = skinning;
            }
        }
    }
}

}  // namespace

KnownRig makeChainRig(const ChainRigOptions& o) {
    KnownRig rig;
    DecompositionState& state = rig.state;
    Inputs& in = state.inputs;
    std::mt19937 rng(o.seed);
    std::normal_distribution<double> normal(0.0, 1.0);

    const ChainLayout layout(o);
    const int F = o.frames;
    in.F = F;
    in.numFrame = F + 1;
    in.J = layout.chains * layout.perChain;
    in.V = o.vertices;
    in.maxInfluence = std::min(o.maxInfluence, in.J);
    in.maxIteration = 10;
    in.iterationFullSolver = 3;
    in.rigidMatrices = true;
    in.errorPercentBreak = 0.0;

    const std::vector<int32_t> ids = skinChains(layout, rng, rig);
    animateChains(layout, rng, normal, rig);
    state.solver.boneTransforms = rig.transforms;
    resampleShapes(state, rig.weights, rig.transforms);
    if (o.noise > 0.0) {
        for (auto& shape : in.shapePoints)
            for (int32_t id : ids) {
                MPoint& p = shape[static_cast<unsigned>(id)];
                p.x += o.noise * normal(rng);
                p.y += o.noise * normal(rng);
                p.z += o.noise * normal(rng);
            }
    }
    return rig;
}

DecompositionState blankState(int F, int J, int meshPoints) {
    DecompositionState state;
    Inputs& in = state.inputs;
    in.F = F;
    in.numFrame = F + 1;
    in.J = J;
    in.maxInfluence = J;
    in.constraintWeight = 1.0;
    in.maxIteration = 2;
    in.iterationFullSolver = 1;
    in.diagonalSum = 1.0;
    in.restPoints.setLength(static_cast<unsigned>(meshPoints));
    in.shapePoints.assign(static_cast<size_t>(F), in.restPoints);
    state.solver.bindingMatrices.assign(static_cast<size_t>(J), MMatrix());
    state.solver.boneTransforms.assign(static_cast<size_t>(F), std::vector<MMatrix>(static_cast<size_t>(J)));
    return state;
}

void perturbTransforms(DecompositionState& state, double angle, double shift, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (auto& frame : state.solver.boneTransforms) {
        for (size_t j = 0; j < frame.size(); ++j) {
            const double axis[3] = {unit(rng), unit(rng), unit(rng) + 2.0};
            const double t[3] = {shift * unit(rng), shift * unit(rng), shift * unit(rng)};
            // Applied in the bone's own space, so it turns about the pivot.
            frame[j] = rigidMatrix(axis, angle * unit(rng), t) * frame[j];
        }
    }
}

void runIterations(DecompositionState& state, int iterations) {
    for (int i = 0; i < iterations; ++i) {
        if (i > 0) {
            if (state.inputs.updateRestMatrices) updateBindingMatrices(state);
            solveBones(state);
        }
        solveWeights(state, i);
        measureReconstructionError(state);
        if (i == 0 || i < state.inputs.iterationFullSolver) rebuildBoneInfluenceIndex(state.inputs, state.solver);
    }
}

std::vector<double> denseWeights(const DecompositionState& state, int32_t id) {
    std::vector<double> dense(static_cast<size_t>(state.inputs.J), 0.0);
    const auto& B = state.solver.vertexInfluences.at(id);
    const auto& W = state.solver.vertexWeights.at(id);
    for (size_t k = 0; k < B.size(); ++k) dense[static_cast<size_t>(B[k])] += W[k];
    return dense;
}

void makeStaticAndDuplicatedBones(KnownRig& rig) {
    DecompositionState& state = rig.state;
    for (int f = 0; f < state.inputs.F; ++f) {
        for (int j : {0, 1}) rig.transforms[f][j] = state.solver.bindingMatrices[j].inverse();
        rig.transforms[f][3] = rig.transforms[f][2];
    }
    state.solver.bindingMatrices[3] = state.solver.bindingMatrices[2];
    state.solver.boneTransforms = rig.transforms;
    resampleShapes(state, rig.weights, rig.transforms);
}
