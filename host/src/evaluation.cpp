#include "evaluation.h"

#include <algorithm>
#include <cmath>

#include <maya/MEulerRotation.h>
#include <maya/MTransformationMatrix.h>

namespace host {
namespace detail {

namespace {

// Deeper chains than this are taken for cycles.
constexpr int kMaxConnectionDepth = 256;

bool evaluateAt(const Scene& scene, const PlugKey& plug, Value& value, std::string* why, int depth) {
    auto fail = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    if (depth > kMaxConnectionDepth) return fail("connection cycle at " + scene.plugName(plug));
    const Node* owner = scene.node(plug.node);
    if (!owner) return fail("no such node");
    const Attribute* attribute = owner->findAttribute(plug.attribute);
    if (!attribute) return fail("no attribute '" + plug.attribute + "'");
    if (attribute->type == ValueType::Compound) return fail(plug.attribute + " is a compound");
    if (attribute->isArray && plug.index < 0) return fail(plug.attribute + " is an array");

    if (const PlugKey* source = scene.inputOf(plug)) return evaluateAt(scene, *source, value, why, depth + 1);
    if (!attribute->parent.empty()) {
        // A child of a compound fed as a whole reads the matching child.
        if (const PlugKey* source = scene.inputOf(PlugKey{plug.node, attribute->parent, -1})) {
            const Node* sourceNode = scene.node(source->node);
            const Attribute* parent = owner->findAttribute(attribute->parent);
            const Attribute* sourceCompound = sourceNode ? sourceNode->findAttribute(source->attribute) : nullptr;
            if (!sourceCompound) return fail("broken compound connection");
            const auto position =
                std::find(parent->children.begin(), parent->children.end(), attribute->name) - parent->children.begin();
            const PlugKey sourceChild{source->node, sourceCompound->children.at(position), -1};
            return evaluateAt(scene, sourceChild, value, why, depth + 1);
        }
    }
    if (owner->kind == NodeKind::AnimCurve && attribute->name == "output") {
        value = evaluateCurve(owner->curve, scene.currentTime);
        return true;
    }
    if (attribute->isArray) {
        auto it = attribute->elements.find(static_cast<unsigned>(plug.index));
        value = it == attribute->elements.end() ? defaultValue(attribute->type) : it->second;
    } else {
        value = attribute->value;
    }
    return true;
}

double channel(const Scene& scene, const Node& node, const char* name) {
    double value = 0.0;
    evaluateNumber(scene, PlugKey{node.id, name, -1}, value);
    return value;
}

}  // namespace

bool evaluatePlug(const Scene& scene, const PlugKey& plug, Value& value, std::string* why) {
    return evaluateAt(scene, plug, value, why, 0);
}

bool evaluateNumber(const Scene& scene, const PlugKey& plug, double& value) {
    Value raw;
    if (!evaluatePlug(scene, plug, raw)) return false;
    if (auto* i = std::get_if<int>(&raw))
        value = *i;
    else if (auto* b = std::get_if<bool>(&raw))
        value = *b ? 1.0 : 0.0;
    else if (auto* d = std::get_if<double>(&raw))
        value = *d;
    else
        return false;
    return true;
}

std::string disconnectKeepingValue(Scene& scene, const PlugKey& source, const PlugKey& destination) {
    Node* owner = scene.node(destination.node);
    Attribute* attribute = owner ? owner->findAttribute(destination.attribute) : nullptr;
    if (!attribute) return "no such plug";
    // Read every affected value before the connection goes.
    std::vector<std::pair<Attribute*, Value>> held;
    if (attribute->type == ValueType::Compound) {
        for (const std::string& child : attribute->children) {
            Value value;
            if (evaluatePlug(scene, PlugKey{destination.node, child, -1}, value))
                held.emplace_back(owner->findAttribute(child), value);
        }
    } else {
        Value value;
        if (evaluatePlug(scene, destination, value)) held.emplace_back(attribute, value);
    }
    const std::string why = scene.disconnect(source, destination);
    if (!why.empty()) return why;
    for (auto& [target, value] : held) {
        if (valueTypeOf(value) != target->type) {
            double number = 0.0;
            if (auto* i = std::get_if<int>(&value))
                number = *i;
            else if (auto* b = std::get_if<bool>(&value))
                number = *b;
            else if (auto* d = std::get_if<double>(&value))
                number = *d;
            else
                continue;
            if (target->type == ValueType::Double)
                value = number;
            else if (target->type == ValueType::Bool)
                value = number != 0.0;
            else if (target->type == ValueType::Int && std::fabs(number) < 2147483648.0)
                value = static_cast<int>(number);
            else
                continue;
        }
        if (target->isArray)
            target->elements[static_cast<unsigned>(destination.index)] = value;
        else
            target->value = value;
    }
    return std::string();
}

double evaluateCurve(const CurveData& curve, const MTime& time) {
    const auto& keys = curve.keys;
    if (keys.empty()) return 0.0;
    const double t = time.as(curve.unit);
    if (t <= keys.front().time) return keys.front().value;
    if (t >= keys.back().time) return keys.back().value;
    auto after = std::lower_bound(keys.begin(), keys.end(), t, [](const Key& k, double v) { return k.time < v; });
    if (after->time == t) return after->value;  // exact at keys
    auto before = after - 1;
    const double fraction = (t - before->time) / (after->time - before->time);
    return before->value + (after->value - before->value) * fraction;
}

MMatrix localMatrix(const Scene& scene, const Node& node) {
    if (node.kind != NodeKind::Transform && node.kind != NodeKind::Joint) return MMatrix();
    double rotateOrder = 0.0;
    evaluateNumber(scene, PlugKey{node.id, "ro", -1}, rotateOrder);
    int order = static_cast<int>(rotateOrder);
    if (order < 0 || order > 5) order = 0;
    MTransformationMatrix channels;
    const double scale[3] = {channel(scene, node, "sx"), channel(scene, node, "sy"), channel(scene, node, "sz")};
    const double shear[3] = {channel(scene, node, "shxy"), channel(scene, node, "shxz"), channel(scene, node, "shyz")};
    channels.setScale(scale, MSpace::kTransform);
    channels.setShear(shear, MSpace::kTransform);
    channels.rotateTo(MEulerRotation(channel(scene, node, "rx"), channel(scene, node, "ry"), channel(scene, node, "rz"),
                                     static_cast<MEulerRotation::RotationOrder>(order)));
    const MVector translation(channel(scene, node, "tx"), channel(scene, node, "ty"), channel(scene, node, "tz"));
    if (node.kind == NodeKind::Transform) {
        channels.setTranslation(translation, MSpace::kTransform);
        return channels.asMatrix();
    }
    // Joint: S * Sh * R * JO * T.
    const MEulerRotation orient(channel(scene, node, "jox"), channel(scene, node, "joy"), channel(scene, node, "joz"));
    MMatrix result = channels.asMatrix() * orient.asMatrix();
    result[3][0] = translation.x;
    result[3][1] = translation.y;
    result[3][2] = translation.z;
    return result;
}

MMatrix worldMatrix(const Scene& scene, NodeId id) {
    MMatrix world;
    int guard = 0;
    for (const Node* current = scene.node(id); current && current->isDag() && current->kind != NodeKind::World;
         current = scene.node(current->parent)) {
        world = world * localMatrix(scene, *current);
        if (++guard > kMaxConnectionDepth) break;
    }
    return world;
}

std::vector<MPoint> cachePoints(const PointCache& cache, const MTime& time) {
    if (!cache.hasFrames()) return {};
    const PointFrames& frames = *cache.frames;
    const double position = time.as(cache.unit) - cache.firstFrame;
    const double last = static_cast<double>(frames.frameCount() - 1);
    if (!(position > 0.0)) return frames.framePoints(0);
    if (position >= last) return frames.framePoints(frames.frameCount() - 1);
    const double below = std::floor(position);
    const size_t index = static_cast<size_t>(below);
    const double fraction = position - below;
    if (fraction == 0.0) return frames.framePoints(index);
    std::vector<MPoint> points;
    points.reserve(frames.pointCount());
    for (size_t v = 0; v < frames.pointCount(); ++v) {
        const MPoint a = frames.point(index, v), b = frames.point(index + 1, v);
        points.emplace_back(a.x + (b.x - a.x) * fraction, a.y + (b.y - a.y) * fraction, a.z + (b.z - a.z) * fraction);
    }
    return points;
}

std::vector<MPoint> meshPoints(const Scene& scene, const Node& mesh) {
    const Node* skinNode = mesh.mesh.skinCluster != kNoNode ? scene.node(mesh.mesh.skinCluster) : nullptr;
    if (!skinNode) {
        if (mesh.mesh.cache.hasFrames()) return cachePoints(mesh.mesh.cache, scene.currentTime);
        return mesh.mesh.points;
    }
    // Linear blend skinning in world space, brought back to the mesh's object
    // space so that its world points are the blended ones wherever the mesh's
    // transform is.
    const SkinData& skin = skinNode->skin;
    const MMatrix toObject = worldMatrix(scene, mesh.id).inverse();
    std::vector<MMatrix> blend(skin.influences.size());
    for (size_t k = 0; k < skin.influences.size(); ++k)
        blend[k] =
            skin.bindGeometryMatrix * skin.bindPreMatrices[k] * worldMatrix(scene, skin.influences[k]) * toObject;
    std::vector<MPoint> points(mesh.mesh.points.size());
    for (size_t v = 0; v < points.size(); ++v) {
        double x = 0.0, y = 0.0, z = 0.0;
        const MPoint& p = mesh.mesh.points[v];
        for (size_t k = 0; k < blend.size(); ++k) {
            const double w = v < skin.weights.size() && k < skin.weights[v].size() ? skin.weights[v][k] : 0.0;
            if (w == 0.0) continue;
            const MPoint q = p * blend[k];
            x += w * q.x, y += w * q.y, z += w * q.z;
        }
        points[v] = MPoint(x, y, z);
    }
    return points;
}

}  // namespace detail
}  // namespace host
