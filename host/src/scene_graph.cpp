#include "scene_graph.h"

#include <algorithm>
#include <cstdlib>

#include <host/error.h>

namespace host {
namespace detail {

namespace {

// Node ids are never reused, not even across scenes, so that a handle to a
// node of a replaced scene never reaches a node of the new one.
NodeId gNextNodeId = kWorldId + 1;

struct StaticAttribute {
    const char* name;
    const char* longName;
    ValueType type;
    double initial;
    bool keyable;
    const char* parent;
};

// Channels of transforms, in the order they are created.
const StaticAttribute kTransformAttributes[] = {
    {"t", "translate", ValueType::Compound, 0.0, false, ""},
    {"tx", "translateX", ValueType::Double, 0.0, true, "t"},
    {"ty", "translateY", ValueType::Double, 0.0, true, "t"},
    {"tz", "translateZ", ValueType::Double, 0.0, true, "t"},
    {"r", "rotate", ValueType::Compound, 0.0, false, ""},
    {"rx", "rotateX", ValueType::Double, 0.0, true, "r"},
    {"ry", "rotateY", ValueType::Double, 0.0, true, "r"},
    {"rz", "rotateZ", ValueType::Double, 0.0, true, "r"},
    {"s", "scale", ValueType::Compound, 0.0, false, ""},
    {"sx", "scaleX", ValueType::Double, 1.0, true, "s"},
    {"sy", "scaleY", ValueType::Double, 1.0, true, "s"},
    {"sz", "scaleZ", ValueType::Double, 1.0, true, "s"},
    // Shear is not keyable until someone makes it so, as in the host.
    {"sh", "shear", ValueType::Compound, 0.0, false, ""},
    {"shxy", "shearXY", ValueType::Double, 0.0, false, "sh"},
    {"shxz", "shearXZ", ValueType::Double, 0.0, false, "sh"},
    {"shyz", "shearYZ", ValueType::Double, 0.0, false, "sh"},
    {"ro", "rotateOrder", ValueType::Int, 0.0, false, ""},
};

const StaticAttribute kJointAttributes[] = {
    {"jo", "jointOrient", ValueType::Compound, 0.0, false, ""},
    {"jox", "jointOrientX", ValueType::Double, 0.0, false, "jo"},
    {"joy", "jointOrientY", ValueType::Double, 0.0, false, "jo"},
    {"joz", "jointOrientZ", ValueType::Double, 0.0, false, "jo"},
};

const StaticAttribute kCurveAttributes[] = {
    {"output", "output", ValueType::Double, 0.0, false, ""},
};

void addStatic(Node& node, const StaticAttribute& definition) {
    Attribute attribute;
    attribute.name = definition.name;
    attribute.longName = definition.longName;
    attribute.type = definition.type;
    attribute.keyable = definition.keyable;
    attribute.parent = definition.parent;
    if (definition.type == ValueType::Int)
        attribute.value = static_cast<int>(definition.initial);
    else
        attribute.value = definition.initial;
    if (!attribute.parent.empty()) {
        Attribute* parent = node.findAttribute(attribute.parent);
        if (parent) parent->children.push_back(attribute.name);
    }
    node.attributes.push_back(std::move(attribute));
}

bool validName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (c == '.' || c == '|' || c == '[' || c == ']' || c == '"' || c == '\\' ||
            static_cast<unsigned char>(c) <= ' ')
            return false;
    }
    return true;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '|') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

std::unique_ptr<Scene>& sceneSlot() {
    // Never destroyed: handles held by static objects of plug-ins may outlive
    // the library's own statics at exit.
    static auto* slot = new std::unique_ptr<Scene>(new Scene);
    return *slot;
}

}  // namespace

Value defaultValue(ValueType type) {
    switch (type) {
        case ValueType::Int: return 0;
        case ValueType::Bool: return false;
        case ValueType::Double: return 0.0;
        case ValueType::String: return std::string();
        case ValueType::DoubleArray: return std::vector<double>();
        case ValueType::IntArray: return std::vector<int>();
        case ValueType::StringArray: return std::vector<std::string>();
        case ValueType::Compound: break;
    }
    return 0.0;
}

ValueType valueTypeOf(const Value& value) { return static_cast<ValueType>(value.index()); }

const char* valueTypeName(ValueType type) {
    switch (type) {
        case ValueType::Int: return "int";
        case ValueType::Bool: return "bool";
        case ValueType::Double: return "double";
        case ValueType::String: return "string";
        case ValueType::DoubleArray: return "doubleArray";
        case ValueType::IntArray: return "intArray";
        case ValueType::StringArray: return "stringArray";
        case ValueType::Compound: return "compound";
    }
    return "?";
}

bool valueTypeFromName(const std::string& name, ValueType& type) {
    for (int t = 0; t <= static_cast<int>(ValueType::Compound); ++t) {
        if (name == valueTypeName(static_cast<ValueType>(t))) {
            type = static_cast<ValueType>(t);
            return true;
        }
    }
    return false;
}

Attribute* Node::findAttribute(const std::string& attributeName) {
    for (auto& attribute : attributes)
        if (attribute.name == attributeName || attribute.longName == attributeName) return &attribute;
    return nullptr;
}

const Attribute* Node::findAttribute(const std::string& attributeName) const {
    return const_cast<Node*>(this)->findAttribute(attributeName);
}

bool Node::isDag() const {
    return kind == NodeKind::Transform || kind == NodeKind::Joint || kind == NodeKind::Mesh || kind == NodeKind::World;
}

bool PlugKey::operator<(const PlugKey& other) const {
    if (node != other.node) return node < other.node;
    if (attribute != other.attribute) return attribute < other.attribute;
    return index < other.index;
}

bool PlugKey::operator==(const PlugKey& other) const {
    return node == other.node && attribute == other.attribute && index == other.index;
}

MFn::Type apiTypeOf(NodeKind kind) {
    switch (kind) {
        case NodeKind::Generic: return MFn::kDependencyNode;
        case NodeKind::Transform: return MFn::kTransform;
        case NodeKind::Joint: return MFn::kJoint;
        case NodeKind::Mesh: return MFn::kMesh;
        case NodeKind::SkinCluster: return MFn::kSkinClusterFilter;
        case NodeKind::AnimCurve: return MFn::kAnimCurve;
        case NodeKind::World: return MFn::kWorld;
    }
    return MFn::kInvalid;
}

const char* kindName(NodeKind kind) {
    switch (kind) {
        case NodeKind::Generic: return "node";
        case NodeKind::Transform: return "transform";
        case NodeKind::Joint: return "joint";
        case NodeKind::Mesh: return "mesh";
        case NodeKind::SkinCluster: return "skinCluster";
        case NodeKind::AnimCurve: return "animCurve";
        case NodeKind::World: return "world";
    }
    return "?";
}

bool kindFromName(const std::string& name, NodeKind& kind) {
    for (NodeKind k : {NodeKind::Generic, NodeKind::Transform, NodeKind::Joint, NodeKind::Mesh, NodeKind::SkinCluster,
                       NodeKind::AnimCurve}) {
        if (name == kindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

Scene::Scene() : currentTime(0.0, MTime::kFilm) {
    auto world = std::make_unique<Node>();
    world->id = kWorldId;
    world->kind = NodeKind::World;
    nodes_[kWorldId] = std::move(world);
}

Node& Scene::createNode(const std::string& name, NodeKind kind, NodeId parent) {
    if (!validName(name)) throw Error("invalid node name '" + name + "'");
    if (byName_.count(name)) throw Error("a node named '" + name + "' already exists");
    if (kind == NodeKind::World) throw Error("the world cannot be created");
    auto created = std::make_unique<Node>();
    created->id = gNextNodeId++;
    created->name = name;
    created->kind = kind;
    if (created->isDag()) {
        Node* parentNode = node(parent);
        if (!parentNode || !(parentNode->kind == NodeKind::World || parentNode->kind == NodeKind::Transform ||
                             parentNode->kind == NodeKind::Joint))
            throw Error("node '" + name + "' needs a transform or the world as parent");
        if (kind == NodeKind::Mesh && parentNode->kind == NodeKind::World)
            throw Error("mesh '" + name + "' needs a transform as parent");
        created->parent = parent;
        parentNode->children.push_back(created->id);
    }
    if (kind == NodeKind::Transform || kind == NodeKind::Joint)
        for (const auto& definition : kTransformAttributes) addStatic(*created, definition);
    if (kind == NodeKind::Joint)
        for (const auto& definition : kJointAttributes) addStatic(*created, definition);
    if (kind == NodeKind::AnimCurve)
        for (const auto& definition : kCurveAttributes) addStatic(*created, definition);
    Node& result = *created;
    byName_[name] = created->id;
    nodes_[created->id] = std::move(created);
    return result;
}

void Scene::addAttribute(Node& target, const std::string& name, ValueType type, bool isArray) {
    if (!validName(name)) throw Error("invalid attribute name '" + name + "'");
    if (target.findAttribute(name)) throw Error("node '" + target.name + "' already has an attribute '" + name + "'");
    if (type == ValueType::Compound) throw Error("compound attributes cannot be added");
    Attribute attribute;
    attribute.name = name;
    attribute.longName = name;
    attribute.type = type;
    attribute.isArray = isArray;
    attribute.dynamic = true;
    attribute.value = defaultValue(type);
    target.attributes.push_back(std::move(attribute));
}

Node* Scene::node(NodeId id) {
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : it->second.get();
}

const Node* Scene::node(NodeId id) const {
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : it->second.get();
}

Node* Scene::nodeByName(const std::string& name) {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : node(it->second);
}

NodeId Scene::resolve(const std::string& nameOrPath) const {
    if (nameOrPath.find('|') == std::string::npos) {
        auto it = byName_.find(nameOrPath);
        return it == byName_.end() ? kNoNode : it->second;
    }
    std::vector<std::string> parts = splitPath(nameOrPath);
    const bool absolute = parts.front().empty();
    if (absolute) parts.erase(parts.begin());
    if (parts.empty()) return kNoNode;
    for (const auto& part : parts)
        if (part.empty()) return kNoNode;
    auto it = byName_.find(parts.back());
    if (it == byName_.end()) return kNoNode;
    const Node* current = node(it->second);
    if (!current->isDag()) return kNoNode;
    for (size_t i = parts.size() - 1; i-- > 0;) {
        current = node(current->parent);
        if (!current || current->kind == NodeKind::World || current->name != parts[i]) return kNoNode;
    }
    if (absolute && current->parent != kWorldId) return kNoNode;
    return it->second;
}

std::string Scene::fullPathName(NodeId id) const {
    std::string path;
    for (const Node* current = node(id); current && current->kind != NodeKind::World; current = node(current->parent)) {
        path = "|" + current->name + path;
        if (!current->isDag()) break;
    }
    return path;
}

std::string Scene::uniqueName(const std::string& base) const {
    if (!byName_.count(base)) return base;
    for (int n = 1;; ++n) {
        std::string candidate = base + std::to_string(n);
        if (!byName_.count(candidate)) return candidate;
    }
}

bool Scene::hasInput(const PlugKey& destination) const { return inputs_.count(destination) != 0; }

const PlugKey* Scene::inputOf(const PlugKey& destination) const {
    auto it = inputs_.find(destination);
    return it == inputs_.end() ? nullptr : &it->second;
}

std::vector<PlugKey> Scene::outputsOf(const PlugKey& source) const {
    std::vector<PlugKey> outputs;
    for (const auto& [destination, from] : inputs_)
        if (from == source) outputs.push_back(destination);
    return outputs;
}

std::string Scene::connect(const PlugKey& source, const PlugKey& destination) {
    const Node* from = node(source.node);
    const Node* to = node(destination.node);
    if (!from || !to) return "no such node";
    const Attribute* fromAttribute = from->findAttribute(source.attribute);
    const Attribute* toAttribute = to->findAttribute(destination.attribute);
    if (!fromAttribute || !toAttribute) return "no such attribute";
    if ((fromAttribute->isArray && source.index < 0) || (toAttribute->isArray && destination.index < 0))
        return "array attributes connect by element";
    if (source == destination) return "a plug cannot feed itself";
    const bool fromNumeric = fromAttribute->type == ValueType::Int || fromAttribute->type == ValueType::Bool ||
                             fromAttribute->type == ValueType::Double;
    const bool toNumeric = toAttribute->type == ValueType::Int || toAttribute->type == ValueType::Bool ||
                           toAttribute->type == ValueType::Double;
    const bool compatible = (fromNumeric && toNumeric) || fromAttribute->type == toAttribute->type;
    if (!compatible) return "incompatible attribute types";
    if (fromAttribute->type == ValueType::Compound && fromAttribute->children.size() != toAttribute->children.size())
        return "incompatible compound attributes";
    if (hasInput(destination)) return plugName(destination) + " already has an input";
    // A compound and its children are fed either as a whole or one by one.
    if (!toAttribute->parent.empty() && hasInput(PlugKey{destination.node, toAttribute->parent, -1}))
        return plugName(destination) + " already has an input through " + toAttribute->parent;
    for (const std::string& child : toAttribute->children)
        if (hasInput(PlugKey{destination.node, child, -1}))
            return plugName(destination) + " already has an input on " + child;
    inputs_[destination] = source;
    return std::string();
}

std::string Scene::disconnect(const PlugKey& source, const PlugKey& destination) {
    auto it = inputs_.find(destination);
    if (it == inputs_.end() || !(it->second == source))
        return plugName(source) + " is not connected to " + plugName(destination);
    inputs_.erase(it);
    return std::string();
}

PlugKey Scene::parsePlug(const std::string& plug) const {
    const auto dot = plug.find('.');
    if (dot == std::string::npos) throw Error("'" + plug + "' is not a plug (node.attribute)");
    const std::string nodeName = plug.substr(0, dot);
    std::string attributeName = plug.substr(dot + 1);
    long long index = -1;
    const auto bracket = attributeName.find('[');
    if (bracket != std::string::npos) {
        const std::string digits = attributeName.substr(bracket + 1);
        char* end = nullptr;
        const unsigned long long parsed = std::strtoull(digits.c_str(), &end, 10);
        if (digits.empty() || !(digits[0] >= '0' && digits[0] <= '9') || std::string(end) != "]" ||
            parsed > 0xffffffffull)
            throw Error("'" + plug + "': bad element index");
        index = static_cast<long long>(parsed);
        attributeName = attributeName.substr(0, bracket);
    }
    const NodeId id = resolve(nodeName);
    if (id == kNoNode) throw Error("'" + plug + "': no node named '" + nodeName + "'");
    const Attribute* attribute = node(id)->findAttribute(attributeName);
    if (!attribute) throw Error("'" + plug + "': node '" + nodeName + "' has no attribute '" + attributeName + "'");
    if (index >= 0 && !attribute->isArray) throw Error("'" + plug + "': attribute is not an array");
    return PlugKey{id, attribute->name, index};
}

std::string Scene::plugName(const PlugKey& plug) const {
    const Node* owner = node(plug.node);
    std::string text = (owner ? owner->name : std::string("?")) + "." + plug.attribute;
    if (plug.index >= 0) text += "[" + std::to_string(plug.index) + "]";
    return text;
}

Scene& scene() { return *sceneSlot(); }

std::unique_ptr<Scene> replaceScene(std::unique_ptr<Scene> replacement) {
    std::swap(sceneSlot(), replacement);
    return replacement;
}

}  // namespace detail
}  // namespace host
