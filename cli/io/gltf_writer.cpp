#include "cli/io/gltf_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

#include <tiny_gltf.h>

#include "cli/io/atomic_file.h"
#include "cli/io/io_error.h"
#include "cli/io/path_names.h"

namespace vantrel::io {

namespace {

constexpr int kMaxInfluences = 8;

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw WriteError(formatIoMessage(path, what));
}

bool finiteMatrix(const Matrix4& m) {
    return std::all_of(m.begin(), m.end(), [](double x) { return std::isfinite(x); });
}

// Parents in range, and no joint its own ancestor.
void checkParents(const SkinnedRig& rig, const std::string& path) {
    const int J = rig.jointCount();
    if (rig.jointParents.empty()) return;
    if (rig.jointParents.size() != std::size_t(J)) refuse(path, "rig needs one parent per joint");
    for (int j = 0; j < J; ++j) {
        const int parent = rig.jointParents[std::size_t(j)];
        if (parent < -1 || parent >= J) {
            refuse(path,
                   "joint " + std::to_string(j) + " has parent " + std::to_string(parent) + " of " + std::to_string(J));
        }
        int steps = 0;
        for (int p = parent; p >= 0; p = rig.jointParents[std::size_t(p)]) {
            if (p == j || ++steps > J) refuse(path, "joint " + std::to_string(j) + " is its own ancestor");
        }
    }
}

void checkRig(const SkinnedRig& rig, const std::string& path) {
    const std::size_t V = std::size_t(rig.vertexCount());
    const std::size_t J = std::size_t(rig.jointCount());
    const std::size_t F = std::size_t(rig.frameCount());
    if (V == 0 || rig.restPositions.size() % 3 != 0) refuse(path, "rig has no rest positions (or not 3 per vertex)");
    if (J == 0) refuse(path, "rig has no joints");
    if (J > 65535) refuse(path, "rig has more than 65535 joints");
    if (F == 0) refuse(path, "rig has no frames");
    if (!std::all_of(rig.restPositions.begin(), rig.restPositions.end(), [](double x) { return std::isfinite(x); })) {
        refuse(path, "rig has non-finite rest positions");
    }
    if (!rig.uvs.empty() && rig.uvs.size() != 2 * V) refuse(path, "rig has uvs but not 2 per vertex");
    if (!std::all_of(rig.uvs.begin(), rig.uvs.end(), [](double x) { return std::isfinite(x); })) {
        refuse(path, "rig has non-finite uvs");
    }
    for (std::size_t t = 0; t < rig.triangles.size(); ++t) {
        for (int i : rig.triangles[t]) {
            if (i < 0 || std::size_t(i) >= V) {
                refuse(path, "triangle " + std::to_string(t) + " uses vertex " + std::to_string(i) + " of " +
                                 std::to_string(V));
            }
        }
    }
    if (rig.bindingMatrices.size() != J || rig.restWorld.size() != J) {
        refuse(path, "rig needs one binding and one rest matrix per joint");
    }
    for (std::size_t j = 0; j < J; ++j) {
        if (!finiteMatrix(rig.bindingMatrices[j]) || !finiteMatrix(rig.restWorld[j])) {
            refuse(path, "joint " + std::to_string(j) + " has a non-finite binding or rest matrix");
        }
    }
    checkParents(rig, path);
    if (rig.boneWorld.size() != F) refuse(path, "rig needs bone matrices for every frame");
    for (std::size_t f = 0; f < F; ++f) {
        if (rig.boneWorld[f].size() != J) refuse(path, "frame " + std::to_string(f) + " lacks bone matrices");
        for (std::size_t j = 0; j < J; ++j) {
            if (!finiteMatrix(rig.boneWorld[f][j])) {
                refuse(path,
                       "frame " + std::to_string(f) + ", joint " + std::to_string(j) + " has a non-finite bone matrix");
            }
        }
        const double t = rig.frameTimes[f];
        if (!std::isfinite(t) || t < 0)
            refuse(path, "frame " + std::to_string(f) + " has a negative or non-finite time");
        if (f > 0 && !(float(t) > float(rig.frameTimes[f - 1]))) {
            refuse(path, "frame times must increase (also as 32-bit floats); frame " + std::to_string(f) + " does not");
        }
    }
    if (rig.influences.size() != V) refuse(path, "rig needs influences for every vertex");
    for (std::size_t v = 0; v < V; ++v) {
        for (const SkinInfluence& s : rig.influences[v]) {
            if (s.joint < 0 || std::size_t(s.joint) >= J) {
                refuse(path, "vertex " + std::to_string(v) + " is influenced by joint " + std::to_string(s.joint) +
                                 " of " + std::to_string(J));
            }
            if (!std::isfinite(s.weight) || s.weight < 0) {
                refuse(path, "vertex " + std::to_string(v) + " has a negative or non-finite weight");
            }
        }
    }
}

// The exported influences of one vertex: see gltf_writer.h.
struct VertexWeights {
    std::array<std::uint16_t, kMaxInfluences> joints{};
    std::array<float, kMaxInfluences> weights{};
    int used = 0;
};

VertexWeights exportWeights(const std::vector<SkinInfluence>& in) {
    std::map<int, double> merged;
    for (const SkinInfluence& s : in) {
        if (s.weight > 0) merged[s.joint] += s.weight;
    }
    std::vector<SkinInfluence> sorted;
    for (const auto& [joint, weight] : merged) sorted.push_back({joint, weight});
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SkinInfluence& a, const SkinInfluence& b) { return a.weight > b.weight; });
    if (sorted.size() > std::size_t(kMaxInfluences)) sorted.resize(kMaxInfluences);
    VertexWeights out;
    if (sorted.empty()) {
        out.weights[0] = 1.0f;
        out.used = 1;
        return out;
    }
    double total = 0;
    for (const SkinInfluence& s : sorted) total += s.weight;
    out.used = int(sorted.size());
    // Quantise all but the largest, then give the largest what makes the float
    // sum one: the rounding left is below half an ulp of 1.
    double rest = 0;
    for (std::size_t k = 1; k < sorted.size(); ++k) {
        out.weights[k] = float(sorted[k].weight / total);
        rest += double(out.weights[k]);
    }
    out.weights[0] = float(1.0 - rest);
    for (std::size_t k = 0; k < sorted.size(); ++k) out.joints[k] = std::uint16_t(sorted[k].joint);
    return out;
}

class ModelBuilder {
public:
    tinygltf::Model model;
    int firstNonFiniteAccessor = -1;  // the first float accessor with a value past float32 range

    ModelBuilder() { model.buffers.emplace_back(); }

    // Appends a view over `bytes` (4-byte aligned) and returns its index.
    int view(const void* bytes, std::size_t size, int target) {
        std::vector<unsigned char>& data = model.buffers[0].data;
        while (data.size() % 4 != 0) data.push_back(0);
        tinygltf::BufferView v;
        v.buffer = 0;
        v.byteOffset = data.size();
        v.byteLength = size;
        v.target = target;
        const auto* p = static_cast<const unsigned char*>(bytes);
        data.insert(data.end(), p, p + size);
        model.bufferViews.push_back(v);
        return int(model.bufferViews.size() - 1);
    }

    // A float accessor of `components` per element; min/max when asked.
    int floats(const std::vector<float>& values, int type, int components, int target, bool minMax) {
        // Finite doubles beyond float32 range become infinities here.
        if (firstNonFiniteAccessor < 0 &&
            !std::all_of(values.begin(), values.end(), [](float x) { return std::isfinite(x); })) {
            firstNonFiniteAccessor = int(model.accessors.size());
        }
        tinygltf::Accessor a;
        a.bufferView = view(values.data(), values.size() * sizeof(float), target);
        a.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
        a.type = type;
        a.count = values.size() / std::size_t(components);
        if (minMax) {
            a.minValues.assign(std::size_t(components), std::numeric_limits<double>::infinity());
            a.maxValues.assign(std::size_t(components), -std::numeric_limits<double>::infinity());
            for (std::size_t i = 0; i < values.size(); ++i) {
                const std::size_t c = i % std::size_t(components);
                a.minValues[c] = std::min(a.minValues[c], double(values[i]));
                a.maxValues[c] = std::max(a.maxValues[c], double(values[i]));
            }
        }
        model.accessors.push_back(a);
        return int(model.accessors.size() - 1);
    }

    template <typename T>
    int integers(const std::vector<T>& values, int componentType, int type, int components, int target) {
        tinygltf::Accessor a;
        a.bufferView = view(values.data(), values.size() * sizeof(T), target);
        a.componentType = componentType;
        a.type = type;
        a.count = values.size() / std::size_t(components);
        model.accessors.push_back(a);
        return int(model.accessors.size() - 1);
    }
};

std::vector<float> normalsOf(const SkinnedRig& rig) {
    const std::size_t V = std::size_t(rig.vertexCount());
    std::vector<double> sum(3 * V, 0.0);
    const auto& p = rig.restPositions;
    for (const auto& t : rig.triangles) {
        const std::size_t a = 3 * std::size_t(t[0]), b = 3 * std::size_t(t[1]), c = 3 * std::size_t(t[2]);
        const double e1[3] = {p[b] - p[a], p[b + 1] - p[a + 1], p[b + 2] - p[a + 2]};
        const double e2[3] = {p[c] - p[a], p[c + 1] - p[a + 1], p[c + 2] - p[a + 2]};
        // Area-weighted: the cross product's length is twice the area.
        const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                             e1[0] * e2[1] - e1[1] * e2[0]};
        for (std::size_t corner : {a, b, c}) {
            for (int k = 0; k < 3; ++k) sum[corner + std::size_t(k)] += n[k];
        }
    }
    std::vector<float> out(3 * V);
    for (std::size_t v = 0; v < V; ++v) {
        const double len =
            std::sqrt(sum[3 * v] * sum[3 * v] + sum[3 * v + 1] * sum[3 * v + 1] + sum[3 * v + 2] * sum[3 * v + 2]);
        if (len > 0 && std::isfinite(len)) {
            for (int k = 0; k < 3; ++k) out[3 * v + std::size_t(k)] = float(sum[3 * v + std::size_t(k)] / len);
        } else {
            // Vertices on no (or only degenerate) triangles still need a unit normal.
            out[3 * v + 2] = 1.0f;
        }
    }
    return out;
}

std::vector<double> trsAsVector(const Vec3& v) { return {v[0], v[1], v[2]}; }

void setNodeTrs(tinygltf::Node& node, const Trs& trs) {
    node.translation = trsAsVector(trs.translation);
    node.rotation = {trs.rotation[0], trs.rotation[1], trs.rotation[2], trs.rotation[3]};
    node.scale = trsAsVector(trs.scale);
}

}  // namespace

void checkGltfOutputPath(const std::string& path) {
    const std::string ext = lowerExtension(path);
    if (ext != ".glb" && ext != ".gltf") refuse(path, "unknown output format \"" + ext + "\" (expected .glb or .gltf)");
}

namespace {

// Joints with every parent before its children; `parents` as
// SkinnedRig::jointParents (empty: all roots).
std::vector<int> parentsFirst(const std::vector<int>& parents, int jointCount) {
    std::vector<std::vector<int>> children(static_cast<std::size_t>(jointCount));
    std::vector<int> order;
    for (int j = 0; j < jointCount; ++j) {
        const int parent = parents.empty() ? -1 : parents[std::size_t(j)];
        if (parent < 0)
            order.push_back(j);
        else
            children[std::size_t(parent)].push_back(j);
    }
    for (std::size_t k = 0; k < order.size(); ++k)
        for (int child : children[std::size_t(order[k])]) order.push_back(child);
    return order;
}

// A joint's matrix relative to its parent: world * inverse(parent's world).
Matrix4 localMatrix(const SkinnedRig& rig, const std::vector<Matrix4>& world, int joint) {
    const int parent = rig.parentOf(joint);
    if (parent < 0) return world[std::size_t(joint)];
    return multiply(world[std::size_t(joint)], inverse(world[std::size_t(parent)]));
}

// The mesh: positions, normals, uvs, joints and weights, indices. Returns
// each vertex's exported influences.
std::vector<VertexWeights> addMesh(ModelBuilder& b, const SkinnedRig& rig, WriteSummary& summary) {
    const std::size_t V = std::size_t(rig.vertexCount());
    tinygltf::Primitive prim;
    std::vector<float> positions(rig.restPositions.begin(), rig.restPositions.end());
    prim.attributes["POSITION"] = b.floats(positions, TINYGLTF_TYPE_VEC3, 3, TINYGLTF_TARGET_ARRAY_BUFFER, true);
    if (!rig.triangles.empty()) {
        prim.attributes["NORMAL"] =
            b.floats(normalsOf(rig), TINYGLTF_TYPE_VEC3, 3, TINYGLTF_TARGET_ARRAY_BUFFER, false);
    }
    if (!rig.uvs.empty()) {
        std::vector<float> uvs(rig.uvs.begin(), rig.uvs.end());
        prim.attributes["TEXCOORD_0"] = b.floats(uvs, TINYGLTF_TYPE_VEC2, 2, TINYGLTF_TARGET_ARRAY_BUFFER, false);
    }
    std::vector<VertexWeights> weights(V);
    int maxUsed = 1;
    for (std::size_t v = 0; v < V; ++v) {
        weights[v] = exportWeights(rig.influences[v]);
        maxUsed = std::max(maxUsed, weights[v].used);
    }
    summary.influenceSets = maxUsed > 4 ? 2 : 1;
    for (int set = 0; set < summary.influenceSets; ++set) {
        std::vector<std::uint16_t> joints(4 * V);
        std::vector<float> w(4 * V);
        for (std::size_t v = 0; v < V; ++v) {
            for (std::size_t k = 0; k < 4; ++k) {
                joints[4 * v + k] = weights[v].joints[4 * std::size_t(set) + k];
                w[4 * v + k] = weights[v].weights[4 * std::size_t(set) + k];
            }
        }
        const std::string n = std::to_string(set);
        prim.attributes["JOINTS_" + n] = b.integers(joints, TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT, TINYGLTF_TYPE_VEC4,
                                                    4, TINYGLTF_TARGET_ARRAY_BUFFER);
        prim.attributes["WEIGHTS_" + n] = b.floats(w, TINYGLTF_TYPE_VEC4, 4, TINYGLTF_TARGET_ARRAY_BUFFER, false);
    }
    if (!rig.triangles.empty()) {
        std::vector<std::uint32_t> indices;
        indices.reserve(3 * rig.triangles.size());
        for (const auto& t : rig.triangles) {
            for (int i : t) indices.push_back(std::uint32_t(i));
        }
        prim.indices = b.integers(indices, TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, TINYGLTF_TYPE_SCALAR, 1,
                                  TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER);
        prim.mode = TINYGLTF_MODE_TRIANGLES;
    } else {
        prim.mode = TINYGLTF_MODE_POINTS;
    }
    tinygltf::Mesh mesh;
    mesh.name = "vantrel_mesh";
    mesh.primitives.push_back(prim);
    b.model.meshes.push_back(mesh);
    return weights;
}

// Nodes: the root 0, joints 1..J in the rig's hierarchy at their rest
// matrices relative to their parents, the skinned mesh node J+1; the scene.
void addNodes(tinygltf::Model& model, const SkinnedRig& rig, WriteSummary& summary) {
    const int J = rig.jointCount();
    tinygltf::Node root;
    root.name = "vantrel_root";
    std::vector<tinygltf::Node> joints(static_cast<std::size_t>(J));
    for (int j = 0; j < J; ++j) {
        tinygltf::Node& joint = joints[std::size_t(j)];
        joint.name = rig.jointNames[std::size_t(j)];
        const TrsFit rest = closestTrs(localMatrix(rig, rig.restWorld, j));
        if (rest.shear > kShearTolerance) summary.shearDropped = true;
        setNodeTrs(joint, rest.trs);
        const int parent = rig.parentOf(j);
        (parent < 0 ? root : joints[std::size_t(parent)]).children.push_back(j + 1);
    }
    model.nodes.push_back(root);
    for (tinygltf::Node& joint : joints) model.nodes.push_back(std::move(joint));
    tinygltf::Node meshNode;
    meshNode.name = "vantrel_skinned_mesh";
    meshNode.mesh = 0;
    meshNode.skin = 0;
    model.nodes.push_back(meshNode);
    tinygltf::Scene scene;
    scene.nodes = {0, J + 1};
    model.scenes.push_back(scene);
    model.defaultScene = 0;
}

// The skin. Row-vector matrices stored row major are glTF's column-major
// matrices: copied as they are, with an exact affine last column.
void addSkin(ModelBuilder& b, const SkinnedRig& rig) {
    const std::size_t J = std::size_t(rig.jointCount());
    std::vector<float> ibm(16 * J);
    for (std::size_t j = 0; j < J; ++j) {
        for (std::size_t k = 0; k < 16; ++k) ibm[16 * j + k] = float(rig.bindingMatrices[j][k]);
        ibm[16 * j + 3] = ibm[16 * j + 7] = ibm[16 * j + 11] = 0.0f;
        ibm[16 * j + 15] = 1.0f;
    }
    tinygltf::Skin skin;
    skin.name = "vantrel_skin";
    skin.inverseBindMatrices = b.floats(ibm, TINYGLTF_TYPE_MAT4, 16, -1, false);
    skin.skeleton = 0;
    for (std::size_t j = 0; j < J; ++j) skin.joints.push_back(int(j + 1));
    b.model.skins.push_back(skin);
}

// Every joint's keys as its local matrix's closest TRS, quaternions kept in
// one hemisphere so that interpolation takes the short way. Counts sheared
// poses in `summary`.
struct JointKeys {
    std::vector<std::vector<float>> translations, rotations, scales;  // [joint]
};

JointKeys jointKeys(const SkinnedRig& rig, WriteSummary& summary) {
    const std::size_t J = std::size_t(rig.jointCount());
    JointKeys keys;
    keys.translations.resize(J);
    keys.rotations.resize(J);
    keys.scales.resize(J);
    for (std::size_t j = 0; j < J; ++j) {
        std::array<double, 4> previous{0, 0, 0, 1};
        for (std::size_t f = 0; f < std::size_t(rig.frameCount()); ++f) {
            TrsFit fit = closestTrs(localMatrix(rig, rig.boneWorld[f], int(j)));
            if (fit.shear > kShearTolerance) {
                summary.shearDropped = true;
                ++summary.jointFramesWithShear;
            }
            auto& q = fit.trs.rotation;
            const double dot = q[0] * previous[0] + q[1] * previous[1] + q[2] * previous[2] + q[3] * previous[3];
            if (f > 0 && dot < 0) {
                for (double& x : q) x = -x;
            }
            previous = q;
            for (double x : fit.trs.translation) keys.translations[j].push_back(float(x));
            // Renormalise in float so the stored quaternion is unit length.
            const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
            for (double x : q) keys.rotations[j].push_back(float(x / n));
            for (double x : fit.trs.scale) keys.scales[j].push_back(float(x));
        }
    }
    return keys;
}

// One animation "vantrel": translation, rotation and scale of every joint at
// every frame.
void addAnimation(ModelBuilder& b, const SkinnedRig& rig, WriteSummary& summary) {
    const JointKeys keys = jointKeys(rig, summary);
    std::vector<float> times(rig.frameTimes.begin(), rig.frameTimes.end());
    const int input = b.floats(times, TINYGLTF_TYPE_SCALAR, 1, -1, true);
    tinygltf::Animation animation;
    animation.name = "vantrel";
    for (std::size_t j = 0; j < std::size_t(rig.jointCount()); ++j) {
        const struct {
            const char* path;
            const std::vector<float>* values;
            int type, components;
        } parts[] = {{"translation", &keys.translations[j], TINYGLTF_TYPE_VEC3, 3},
                     {"rotation", &keys.rotations[j], TINYGLTF_TYPE_VEC4, 4},
                     {"scale", &keys.scales[j], TINYGLTF_TYPE_VEC3, 3}};
        for (const auto& part : parts) {
            tinygltf::AnimationSampler sampler;
            sampler.input = input;
            sampler.output = b.floats(*part.values, part.type, part.components, -1, false);
            sampler.interpolation = "LINEAR";
            animation.samplers.push_back(sampler);
            tinygltf::AnimationChannel channel;
            channel.sampler = int(animation.samplers.size() - 1);
            channel.target_node = int(j + 1);
            channel.target_path = part.path;
            animation.channels.push_back(channel);
        }
    }
    b.model.animations.push_back(animation);
}

// Extra error of the exported TRS against the exact bone matrices, into
// `summary`. The rest pose bound to each influence is the same at every
// frame, and a point's image is linear in the matrix: the difference of the
// two images is the bound point carried by the difference of the matrices,
// one product per influence instead of two, without cancelling the images'
// size away.
void measureExportError(const SkinnedRig& rig, const std::vector<VertexWeights>& weights, WriteSummary& summary) {
    const std::size_t V = std::size_t(rig.vertexCount());
    const std::size_t F = std::size_t(rig.frameCount());
    std::vector<std::vector<Matrix4>> difference = playedBoneWorld(rig.jointParents, rig.boneWorld);
    for (std::size_t f = 0; f < F; ++f)
        for (std::size_t j = 0; j < difference[f].size(); ++j)
            for (std::size_t i = 0; i < 16; ++i) difference[f][j][i] = rig.boneWorld[f][j][i] - difference[f][j][i];
    std::vector<std::array<Vec3, kMaxInfluences>> bound(V);
    for (std::size_t v = 0; v < V; ++v) {
        const Vec3 rest{rig.restPositions[3 * v], rig.restPositions[3 * v + 1], rig.restPositions[3 * v + 2]};
        for (int k = 0; k < weights[v].used; ++k)
            bound[v][std::size_t(k)] = transformPoint(rest, rig.bindingMatrices[weights[v].joints[std::size_t(k)]]);
    }
    double sumSquared = 0;
    for (std::size_t f = 0; f < F; ++f) {
        for (std::size_t v = 0; v < V; ++v) {
            Vec3 apart{0, 0, 0};
            const VertexWeights& w = weights[v];
            for (int k = 0; k < w.used; ++k) {
                const Vec3 d = transformPoint(bound[v][std::size_t(k)], difference[f][w.joints[std::size_t(k)]]);
                for (int c = 0; c < 3; ++c) apart[std::size_t(c)] += w.weights[std::size_t(k)] * d[std::size_t(c)];
            }
            const double d2 = apart[0] * apart[0] + apart[1] * apart[1] + apart[2] * apart[2];
            sumSquared += d2;
            summary.shearMaxError = std::max(summary.shearMaxError, std::sqrt(d2));
        }
    }
    summary.shearRmsError = std::sqrt(sumSquared / double(F * V));
}

}  // namespace

std::vector<std::vector<Matrix4>> playedBoneWorld(const std::vector<int>& parents,
                                                  const std::vector<std::vector<Matrix4>>& boneWorld) {
    std::vector<std::vector<Matrix4>> played(boneWorld.size());
    for (std::size_t f = 0; f < boneWorld.size(); ++f) {
        const std::vector<Matrix4>& world = boneWorld[f];
        played[f].resize(world.size());
        for (int j : parentsFirst(parents, int(world.size()))) {
            const int parent = parents.empty() ? -1 : parents[std::size_t(j)];
            const Matrix4 local = parent < 0 ? world[std::size_t(j)]
                                             : multiply(world[std::size_t(j)], inverse(world[std::size_t(parent)]));
            const Matrix4 fitted = trsMatrix(closestTrs(local).trs);
            played[f][std::size_t(j)] = parent < 0 ? fitted : multiply(fitted, played[f][std::size_t(parent)]);
        }
    }
    return played;
}

WriteSummary writeSkinnedGltf(const SkinnedRig& rig, const std::string& path, std::string* fileBytes) {
    checkGltfOutputPath(path);
    const std::string ext = lowerExtension(path);
    checkRig(rig, path);

    WriteSummary summary;
    summary.path = path;
    summary.vertexCount = rig.vertexCount();
    summary.jointCount = rig.jointCount();
    summary.frameCount = rig.frameCount();

    ModelBuilder b;
    tinygltf::Model& model = b.model;
    model.asset.version = "2.0";
    model.asset.generator = "vantrel";
    const std::vector<VertexWeights> weights = addMesh(b, rig, summary);
    addNodes(model, rig, summary);
    addSkin(b, rig);
    addAnimation(b, rig, summary);
    while (model.buffers[0].data.size() % 4 != 0) model.buffers[0].data.push_back(0);
    measureExportError(rig, weights, summary);
    if (b.firstNonFiniteAccessor >= 0) {
        refuse(path, "rig has values too large for 32-bit floats (accessor " +
                         std::to_string(b.firstNonFiniteAccessor) + ")");
    }

    tinygltf::TinyGLTF gltf;
    std::ostringstream out;
    if (!gltf.WriteGltfSceneToStream(&model, out, false, ext == ".glb")) {
        refuse(path, "glTF serialisation failed");
    }
    std::string bytes = out.str();
    writeFileAtomically(path, bytes);
    summary.bytes = bytes.size();
    if (fileBytes) *fileBytes = std::move(bytes);
    return summary;
}

}  // namespace vantrel::io
