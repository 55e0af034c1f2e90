// The builder API: making and reading scenes from C++ (tests, the vantrel
// program). Every misuse throws host::Error before anything changes.
#include <host/scene.h>

#include <algorithm>
#include <cmath>

#include <maya/MFnAnimCurve.h>
#include <maya/MFnDoubleArrayData.h>
#include <maya/MFnIntArrayData.h>
#include <maya/MFnStringArrayData.h>
#include <maya/MPlug.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

namespace host {

namespace {

Node& requireNode(const std::string& name) {
    const NodeId id = scene().resolve(name);
    if (id == kNoNode) throw Error("no node named '" + name + "'");
    return *scene().node(id);
}

Node& requireKind(const std::string& name, NodeKind kind) {
    Node& node = requireNode(name);
    if (node.kind != kind) throw Error("'" + name + "' is a " + kindName(node.kind) + ", not a " + kindName(kind));
    return node;
}

Node& requireTransform(const std::string& name) {
    Node& node = requireNode(name);
    if (node.kind != NodeKind::Transform && node.kind != NodeKind::Joint)
        throw Error("'" + name + "' is a " + kindName(node.kind) + ", not a transform or joint");
    return node;
}

NodeId parentId(const std::string& parent) { return parent.empty() ? kWorldId : requireTransform(parent).id; }

bool allFinite(const MPointArray& points) {
    for (unsigned i = 0; i < points.length(); ++i)
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || !std::isfinite(points[i].z)) return false;
    return true;
}

bool allFinite(const PointFrames& frames) {
    bool finite = true;
    for (size_t f = 0; f < frames.frameCount(); ++f)
        for (size_t i = 0; i < 3 * frames.pointCount(); ++i) finite &= std::isfinite(frames.value(f, i));
    return finite;
}

std::vector<MPoint> asPositions(const MPointArray& points) {
    std::vector<MPoint> out;
    out.reserve(points.length());
    for (unsigned i = 0; i < points.length(); ++i) out.emplace_back(points[i].x, points[i].y, points[i].z);
    return out;
}

void write(const std::string& plug, const MStatus& status) {
    if (status) return;
    throw Error("cannot set '" + plug +
                "': wrong value type, an array attribute itself, an output or a connected destination");
}

MPlug plugOf(const std::string& plug) { return ObjectAccess::plug(scene().parsePlug(plug)); }

MObject readData(const std::string& plug) {
    MStatus status;
    MObject data = plugOf(plug).asMObject(&status);
    if (!status) throw Error("cannot read '" + plug + "' as array data");
    return data;
}

void checkRead(const std::string& plug, const MStatus& status, const char* type) {
    if (!status) throw Error("cannot read '" + plug + "' as " + type);
}

// The mesh at the end of `meshPath` (a mesh name, or "...|transform|mesh");
// `instanceParent` receives the transform when it is one the mesh is
// instanced under, else kNoNode.
Node& requireMeshPath(const std::string& meshPath, NodeId& instanceParent) {
    instanceParent = kNoNode;
    const size_t bar = meshPath.rfind('|');
    if (bar == std::string::npos) return requireKind(meshPath, NodeKind::Mesh);
    Node& mesh = requireKind(meshPath.substr(bar + 1), NodeKind::Mesh);
    const NodeId parent = scene().resolve(meshPath.substr(0, bar));
    const std::vector<NodeId>& instances = mesh.mesh.instanceParents;
    if (parent != kNoNode && parent == mesh.parent) return mesh;
    if (parent == kNoNode || std::find(instances.begin(), instances.end(), parent) == instances.end())
        throw Error("'" + meshPath + "' is not a path of mesh '" + mesh.name + "'");
    instanceParent = parent;
    return mesh;
}

}  // namespace

// --- Nodes --------------------------------------------------------------------

void createNode(const std::string& name) { scene().createNode(name, NodeKind::Generic); }

void createTransform(const std::string& name, const std::string& parent) {
    scene().createNode(name, NodeKind::Transform, parentId(parent));
}

void createJoint(const std::string& name, const std::string& parent, MTransformationMatrix::RotationOrder order,
                 const MVector& jointOrient) {
    if (order <= MTransformationMatrix::kInvalid || order >= MTransformationMatrix::kLast)
        throw Error("joint '" + name + "': invalid rotation order");
    Node& joint = scene().createNode(name, NodeKind::Joint, parentId(parent));
    joint.findAttribute("ro")->value = static_cast<int>(order) - 1;
    joint.findAttribute("jox")->value = jointOrient.x;
    joint.findAttribute("joy")->value = jointOrient.y;
    joint.findAttribute("joz")->value = jointOrient.z;
}

void createMesh(const std::string& name, const std::string& parentTransform, const MPointArray& points,
                const std::vector<std::vector<int>>& polygons) {
    if (parentTransform.empty()) throw Error("mesh '" + name + "' needs a parent transform");
    const NodeId parent = requireTransform(parentTransform).id;
    if (!allFinite(points)) throw Error("mesh '" + name + "': points must be finite");
    for (size_t f = 0; f < polygons.size(); ++f) {
        if (polygons[f].size() < 3)
            throw Error("mesh '" + name + "': polygon " + std::to_string(f) + " has fewer than 3 vertices");
        for (int id : polygons[f])
            if (id < 0 || static_cast<unsigned>(id) >= points.length())
                throw Error("mesh '" + name + "': polygon " + std::to_string(f) + " uses vertex " + std::to_string(id) +
                            " of " + std::to_string(points.length()));
    }
    Node& mesh = scene().createNode(name, NodeKind::Mesh, parent);
    mesh.mesh.points = asPositions(points);
    mesh.mesh.polygons = polygons;
}

void instanceMesh(const std::string& meshName, const std::string& parentTransform) {
    Node& mesh = requireKind(meshName, NodeKind::Mesh);
    const NodeId parent = requireTransform(parentTransform).id;
    std::vector<NodeId>& instances = mesh.mesh.instanceParents;
    if (parent == mesh.parent || std::find(instances.begin(), instances.end(), parent) != instances.end())
        throw Error("mesh '" + meshName + "' is already under '" + parentTransform + "'");
    instances.push_back(parent);
    scene().node(parent)->children.push_back(mesh.id);
}

void createSkinCluster(const std::string& name, const std::string& meshPath,
                       const std::vector<std::string>& influences) {
    NodeId instanceParent = kNoNode;
    Node& mesh = requireMeshPath(meshPath, instanceParent);
    const std::string meshName = mesh.name;
    if (mesh.mesh.skinCluster != kNoNode || mesh.mesh.cache.hasFrames())
        throw Error("mesh '" + meshName + "' already has a deformer");
    if (influences.empty()) throw Error("skin cluster '" + name + "' needs at least one influence");
    std::vector<NodeId> joints;
    for (const auto& influence : influences) {
        const NodeId id = requireTransform(influence).id;
        for (NodeId seen : joints)
            if (seen == id) throw Error("skin cluster '" + name + "': influence '" + influence + "' given twice");
        joints.push_back(id);
    }
    std::vector<MMatrix> bindPre;
    for (NodeId joint : joints) bindPre.push_back(detail::worldMatrix(scene(), joint).inverse());
    const MMatrix bindGeometry = detail::worldMatrix(scene(), mesh.id);
    Node& skin = scene().createNode(name, NodeKind::SkinCluster);
    skin.skin.mesh = mesh.id;
    skin.skin.meshInstanceParent = instanceParent;
    skin.skin.influences = joints;
    skin.skin.bindPreMatrices = bindPre;
    skin.skin.bindGeometryMatrix = bindGeometry;
    skin.skin.weights.assign(mesh.mesh.points.size(), std::vector<double>(joints.size(), 0.0));
    mesh.mesh.skinCluster = skin.id;
}

void setSkinWeights(const std::string& skinCluster, int vertexId, const std::vector<double>& weights) {
    SkinData& skin = requireKind(skinCluster, NodeKind::SkinCluster).skin;
    if (vertexId < 0 || static_cast<size_t>(vertexId) >= skin.weights.size())
        throw Error("skin cluster '" + skinCluster + "': no vertex " + std::to_string(vertexId));
    if (weights.size() != skin.influences.size())
        throw Error("skin cluster '" + skinCluster + "': " + std::to_string(weights.size()) + " weights for " +
                    std::to_string(skin.influences.size()) + " influences");
    for (double w : weights)
        if (!std::isfinite(w)) throw Error("skin cluster '" + skinCluster + "': weights must be finite");
    skin.weights[static_cast<size_t>(vertexId)] = weights;
}

void setSkinWeights(const std::string& skinCluster, const std::vector<std::vector<double>>& weights) {
    SkinData& skin = requireKind(skinCluster, NodeKind::SkinCluster).skin;
    if (weights.size() != skin.weights.size())
        throw Error("skin cluster '" + skinCluster + "': weights for " + std::to_string(weights.size()) +
                    " vertices, the mesh has " + std::to_string(skin.weights.size()));
    const auto kept = skin.weights;
    try {
        for (size_t v = 0; v < weights.size(); ++v) setSkinWeights(skinCluster, static_cast<int>(v), weights[v]);
    } catch (const Error&) {
        skin.weights = kept;
        throw;
    }
}

std::vector<double> skinWeights(const std::string& skinCluster, int vertexId) {
    const SkinData& skin = requireKind(skinCluster, NodeKind::SkinCluster).skin;
    if (vertexId < 0 || static_cast<size_t>(vertexId) >= skin.weights.size())
        throw Error("skin cluster '" + skinCluster + "': no vertex " + std::to_string(vertexId));
    return skin.weights[static_cast<size_t>(vertexId)];
}

void setBindPreMatrix(const std::string& skinCluster, unsigned influenceIndex, const MMatrix& matrix) {
    SkinData& skin = requireKind(skinCluster, NodeKind::SkinCluster).skin;
    if (influenceIndex >= skin.influences.size())
        throw Error("skin cluster '" + skinCluster + "': no influence " + std::to_string(influenceIndex));
    skin.bindPreMatrices[influenceIndex] = matrix;
}

namespace {

// The mesh a point cache goes on, once the cache's settings are checked.
Node& pointCacheTarget(const std::string& meshName, MTime::Unit& unit, double firstFrame) {
    Node& mesh = requireKind(meshName, NodeKind::Mesh);
    if (mesh.mesh.skinCluster != kNoNode) throw Error("mesh '" + meshName + "' already has a skin cluster");
    if (unit == MTime::kInvalid) unit = MTime::uiUnit();
    if (MTime::unitsPerSecond(unit) <= 0.0) throw Error("point cache of '" + meshName + "': invalid time unit");
    if (!std::isfinite(firstFrame)) throw Error("point cache of '" + meshName + "': first frame must be finite");
    return mesh;
}

void checkFramePoints(const std::string& meshName, size_t frame, size_t points, size_t meshPoints) {
    if (points != meshPoints)
        throw Error("point cache of '" + meshName + "': frame " + std::to_string(frame) + " has " +
                    std::to_string(points) + " points, the mesh " + std::to_string(meshPoints));
}

}  // namespace

void setPointCache(const std::string& meshName, const std::vector<MPointArray>& framePoints, double firstFrame,
                   MTime::Unit unit) {
    Node& mesh = pointCacheTarget(meshName, unit, firstFrame);
    for (size_t f = 0; f < framePoints.size(); ++f) {
        checkFramePoints(meshName, f, framePoints[f].length(), mesh.mesh.points.size());
        if (!allFinite(framePoints[f])) throw Error("point cache of '" + meshName + "': points must be finite");
    }
    PointCache cache;
    cache.frames = std::make_shared<const PointFrames>(framePoints);
    cache.firstFrame = firstFrame;
    cache.unit = unit;
    mesh.mesh.cache = std::move(cache);
}

void setSharedPointCache(const std::string& meshName, std::shared_ptr<const PointFrames> frames, double firstFrame,
                         MTime::Unit unit) {
    Node& mesh = pointCacheTarget(meshName, unit, firstFrame);
    if (frames && !frames->empty()) {
        checkFramePoints(meshName, 0, frames->pointCount(), mesh.mesh.points.size());
        if (!allFinite(*frames)) throw Error("point cache of '" + meshName + "': points must be finite");
    }
    PointCache cache;
    cache.frames = std::move(frames);
    cache.firstFrame = firstFrame;
    cache.unit = unit;
    mesh.mesh.cache = std::move(cache);
}

bool nodeExists(const std::string& name) { return scene().resolve(name) != kNoNode; }

std::vector<std::string> nodeNames() {
    std::vector<std::string> names;
    for (const auto& [id, node] : scene().nodes())
        if (node->kind != NodeKind::World) names.push_back(node->name);
    return names;
}

MObject nodeObject(const std::string& name) { return ObjectAccess::nodeObject(requireNode(name)); }

MMatrix worldMatrix(const std::string& dagNode) {
    const Node& node = requireNode(dagNode);
    if (!node.isDag()) throw Error("'" + dagNode + "' is not a DAG node");
    return detail::worldMatrix(scene(), node.id);
}

MPointArray meshPoints(const std::string& meshName, MSpace::Space space) {
    const Node& mesh = requireKind(meshName, NodeKind::Mesh);
    MPointArray points;
    points.items() = detail::meshPoints(scene(), mesh);
    if (space == MSpace::kWorld) {
        const MMatrix world = detail::worldMatrix(scene(), mesh.id);
        for (auto& p : points.items()) p = p * world;
    }
    return points;
}

// --- Attributes and values ----------------------------------------------------------

void addAttribute(const std::string& node, const std::string& attribute, AttributeType type, bool isArray) {
    static const ValueType kTypes[] = {ValueType::Int,        ValueType::Bool,        ValueType::Double,
                                       ValueType::String,     ValueType::DoubleArray, ValueType::IntArray,
                                       ValueType::StringArray};
    scene().addAttribute(requireNode(node), attribute, kTypes[static_cast<int>(type)], isArray);
}

bool hasAttribute(const std::string& node, const std::string& attribute) {
    return requireNode(node).findAttribute(attribute) != nullptr;
}

void setInt(const std::string& plug, int value) { write(plug, plugOf(plug).setInt(value)); }
void setBool(const std::string& plug, bool value) { write(plug, plugOf(plug).setBool(value)); }
void setDouble(const std::string& plug, double value) { write(plug, plugOf(plug).setDouble(value)); }
void setString(const std::string& plug, const std::string& value) {
    write(plug, plugOf(plug).setString(MString(value.c_str())));
}
void setDoubleArray(const std::string& plug, const std::vector<double>& value) {
    write(plug, plugOf(plug).setMObject(ObjectAccess::dataObject(value)));
}
void setIntArray(const std::string& plug, const std::vector<int>& value) {
    write(plug, plugOf(plug).setMObject(ObjectAccess::dataObject(value)));
}
void setStringArray(const std::string& plug, const std::vector<std::string>& value) {
    write(plug, plugOf(plug).setMObject(ObjectAccess::dataObject(value)));
}

int getInt(const std::string& plug) {
    MStatus status;
    const int value = plugOf(plug).asInt(&status);
    checkRead(plug, status, "int");
    return value;
}

bool getBool(const std::string& plug) {
    MStatus status;
    const bool value = plugOf(plug).asBool(&status);
    checkRead(plug, status, "bool");
    return value;
}

double getDouble(const std::string& plug) {
    MStatus status;
    const double value = plugOf(plug).asDouble(&status);
    checkRead(plug, status, "double");
    return value;
}

std::string getString(const std::string& plug) {
    MStatus status;
    const MString value = plugOf(plug).asString(&status);
    checkRead(plug, status, "string");
    return value.asChar();
}

std::vector<double> getDoubleArray(const std::string& plug) {
    MStatus status;
    MFnDoubleArrayData data(readData(plug), &status);
    checkRead(plug, status, "doubleArray");
    return data.array().items();
}

std::vector<int> getIntArray(const std::string& plug) {
    MStatus status;
    MFnIntArrayData data(readData(plug), &status);
    checkRead(plug, status, "intArray");
    return data.array().items();
}

std::vector<std::string> getStringArray(const std::string& plug) {
    MStatus status;
    MFnStringArrayData data(readData(plug), &status);
    checkRead(plug, status, "stringArray");
    std::vector<std::string> out;
    const MStringArray texts = data.array();
    for (const MString& text : texts.items()) out.emplace_back(text.asChar());
    return out;
}

std::vector<unsigned> elementIndices(const std::string& arrayPlug) {
    const PlugKey key = scene().parsePlug(arrayPlug);
    const Attribute* attribute = scene().node(key.node)->findAttribute(key.attribute);
    if (key.index >= 0) throw Error("'" + arrayPlug + "' is an element, not an array attribute");
    std::vector<unsigned> indices;  // none for a non-array attribute
    for (const auto& element : attribute->elements) indices.push_back(element.first);
    return indices;
}

void setKeyable(const std::string& plug, bool keyable) { plugOf(plug).setKeyable(keyable); }

bool isKeyable(const std::string& plug) { return plugOf(plug).isKeyable(); }

// --- Connections and animation ---------------------------------------------------------

void connect(const std::string& sourcePlug, const std::string& destinationPlug) {
    const std::string why = scene().connect(scene().parsePlug(sourcePlug), scene().parsePlug(destinationPlug));
    if (!why.empty()) throw Error("cannot connect '" + sourcePlug + "' to '" + destinationPlug + "': " + why);
}

void disconnect(const std::string& sourcePlug, const std::string& destinationPlug) {
    const std::string why =
        disconnectKeepingValue(scene(), scene().parsePlug(sourcePlug), scene().parsePlug(destinationPlug));
    if (!why.empty()) throw Error("cannot disconnect: " + why);
}

std::string inputOf(const std::string& plug) {
    const PlugKey* source = scene().inputOf(scene().parsePlug(plug));
    return source ? scene().plugName(*source) : std::string();
}

std::string setKey(const std::string& plug, double frame, double value) {
    return setKey(plug, MTime(frame, MTime::uiUnit()), value);
}

std::string setKey(const std::string& plug, const MTime& time, double value) {
    if (!std::isfinite(time.value()) || !std::isfinite(value)) throw Error("key on '" + plug + "' must be finite");
    const PlugKey key = scene().parsePlug(plug);
    const MPlug target = ObjectAccess::plug(key);
    MFnAnimCurve curve;
    if (const PlugKey* source = scene().inputOf(key)) {
        const Node* driver = scene().node(source->node);
        if (driver->kind != NodeKind::AnimCurve)
            throw Error("'" + plug + "' is driven by " + scene().plugName(*source));
        curve.setObject(ObjectAccess::nodeObject(*driver));
    } else {
        MStatus status;
        curve.create(target, nullptr, &status);
        if (!status) throw Error("'" + plug + "' cannot be keyed");
    }
    curve.addKey(time, value);
    return curve.name().asChar();
}

}  // namespace host
