#pragma once
// The in-memory scene of the headless host: nodes with static and dynamic
// attributes, their values, the connections between plugs and the current
// time. Private to the host library; the API classes and the builder API are
// views onto it. Nothing here caches evaluated values: every read computes
// from the stored values at the current time (see evaluation.h).

#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <maya/MFn.h>
#include <maya/MMatrix.h>
#include <maya/MPoint.h>
#include <maya/MTime.h>

#include <host/point_frames.h>

namespace host {
namespace detail {

using NodeId = unsigned long long;
constexpr NodeId kNoNode = 0;
constexpr NodeId kWorldId = 1;  // the parent of every root DAG node

enum class NodeKind { Generic, Transform, Joint, Mesh, SkinCluster, AnimCurve, World };

enum class ValueType { Int, Bool, Double, String, DoubleArray, IntArray, StringArray, Compound };

// Alternatives in ValueType order (Compound holds no value).
using Value =
    std::variant<int, bool, double, std::string, std::vector<double>, std::vector<int>, std::vector<std::string>>;

Value defaultValue(ValueType type);
ValueType valueTypeOf(const Value& value);
const char* valueTypeName(ValueType type);  // "int", "doubleArray", ...
bool valueTypeFromName(const std::string& name, ValueType& type);

struct Attribute {
    std::string name;      // short, canonical name ("tx")
    std::string longName;  // "translateX"; the name itself for dynamic attributes
    ValueType type = ValueType::Double;
    bool isArray = false;
    bool keyable = false;
    bool dynamic = false;
    std::string parent;                  // compound parent ("t"), or ""
    std::vector<std::string> children;   // compound children
    Value value;                         // non-array attributes
    std::map<unsigned, Value> elements;  // array attributes, by logical index
};

// Points of a mesh per frame: frame i of `frames` is at time firstFrame + i
// in unit. The positions may be shared with whoever built the cache.
struct PointCache {
    std::shared_ptr<const PointFrames> frames;
    double firstFrame = 0.0;
    MTime::Unit unit = MTime::kFilm;

    bool hasFrames() const { return frames && !frames->empty(); }
};

struct MeshData {
    std::vector<MPoint> points;              // object space, by vertex id
    std::vector<std::vector<int>> polygons;  // vertex ids per polygon
    PointCache cache;                        // used when it hasFrames()
    NodeId skinCluster = kNoNode;            // deformer, if any
    std::vector<NodeId> instanceParents;     // further transforms the shape is instanced under
};

struct SkinData {
    NodeId mesh = kNoNode;
    NodeId meshInstanceParent = kNoNode;       // the instance it reports; kNoNode: the mesh's own path
    std::vector<NodeId> influences;            // joints, by influence index
    std::vector<MMatrix> bindPreMatrices;      // by influence index
    MMatrix bindGeometryMatrix;                // mesh world matrix at bind time
    std::vector<std::vector<double>> weights;  // [vertex id][influence index]
};

struct Key {
    double time;  // in the curve's unit
    double value;
    int inTangent;
    int outTangent;
};

struct CurveData {
    MTime::Unit unit = MTime::kFilm;  // unit of the key times
    std::vector<Key> keys;            // ascending time, one key per time
};

struct Node {
    NodeId id = kNoNode;
    std::string name;
    NodeKind kind = NodeKind::Generic;
    NodeId parent = kNoNode;  // DAG nodes: kWorldId or a transform
    std::vector<NodeId> children;
    std::vector<Attribute> attributes;
    MeshData mesh;
    SkinData skin;
    CurveData curve;

    Attribute* findAttribute(const std::string& name);
    const Attribute* findAttribute(const std::string& name) const;
    bool isDag() const;
};

// A plug: a node's attribute, or an element of an array attribute.
struct PlugKey {
    NodeId node = kNoNode;
    std::string attribute;  // canonical short name
    long long index = -1;   // logical index of an element, else -1

    bool operator<(const PlugKey& other) const;
    bool operator==(const PlugKey& other) const;
};

MFn::Type apiTypeOf(NodeKind kind);
const char* kindName(NodeKind kind);  // "node", "transform", ...
bool kindFromName(const std::string& name, NodeKind& kind);

class Scene {
public:
    Scene();

    // Creation; throws host::Error on a bad or taken name or a bad parent.
    Node& createNode(const std::string& name, NodeKind kind, NodeId parent = kWorldId);
    void addAttribute(Node& node, const std::string& name, ValueType type, bool isArray);

    Node* node(NodeId id);
    const Node* node(NodeId id) const;
    Node* nodeByName(const std::string& name);
    // A unique name, "|a|b" path or trailing part "a|b"; kNoNode when none.
    NodeId resolve(const std::string& nameOrPath) const;
    std::string fullPathName(NodeId id) const;
    const std::map<NodeId, std::unique_ptr<Node>>& nodes() const { return nodes_; }
    // A name not used yet, from a base ("joint1_translateX", then ...1, ...2).
    std::string uniqueName(const std::string& base) const;

    // Connections: each destination has at most one source.
    bool hasInput(const PlugKey& destination) const;
    const PlugKey* inputOf(const PlugKey& destination) const;
    std::vector<PlugKey> outputsOf(const PlugKey& source) const;
    // Empty string on success, else why not.
    std::string connect(const PlugKey& source, const PlugKey& destination);
    std::string disconnect(const PlugKey& source, const PlugKey& destination);
    const std::map<PlugKey, PlugKey>& connections() const { return inputs_; }

    // Resolves "node.attr" / "node.attr[i]"; throws host::Error.
    PlugKey parsePlug(const std::string& plug) const;
    std::string plugName(const PlugKey& plug) const;

    MTime currentTime;

private:
    std::map<NodeId, std::unique_ptr<Node>> nodes_;
    std::map<std::string, NodeId> byName_;
    std::map<PlugKey, PlugKey> inputs_;  // destination -> source
};

// The process's scene.
Scene& scene();
// Replaces the process's scene (loading a file, resetting); returns the
// previous one.
std::unique_ptr<Scene> replaceScene(std::unique_ptr<Scene> replacement);

}  // namespace detail
}  // namespace host
