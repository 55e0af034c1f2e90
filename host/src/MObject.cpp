#include <maya/MObject.h>

#include "object_access.h"

using namespace host::detail;

MObject MObject::kNullObj;

namespace {

bool isNodeType(MFn::Type type) {
    switch (type) {
        case MFn::kDependencyNode:
        case MFn::kTransform:
        case MFn::kJoint:
        case MFn::kMesh:
        case MFn::kSkinClusterFilter:
        case MFn::kAnimCurve:
        case MFn::kWorld: return true;
        default: return false;
    }
}

}  // namespace

bool MObject::hasFn(MFn::Type type) const {
    if (type_ == MFn::kInvalid || type == MFn::kInvalid) return false;
    if (type == type_ || type == MFn::kBase) return true;
    if (isNodeType(type_)) {
        if (type == MFn::kNamedObject || type == MFn::kDependencyNode) return true;
        switch (type_) {
            case MFn::kJoint: return type == MFn::kDagNode || type == MFn::kTransform;
            case MFn::kTransform: return type == MFn::kDagNode;
            case MFn::kMesh: return type == MFn::kDagNode || type == MFn::kShape;
            case MFn::kWorld: return type == MFn::kDagNode;
            case MFn::kSkinClusterFilter: return type == MFn::kGeometryFilt;
            default: return false;
        }
    }
    switch (type_) {
        case MFn::kDoubleArrayData:
        case MFn::kIntArrayData:
        case MFn::kStringArrayData: return type == MFn::kData;
        case MFn::kMeshVertComponent: return type == MFn::kComponent || type == MFn::kSingleIndexedComponent;
        case MFn::kSingleIndexedComponent: return type == MFn::kComponent;
        default: return false;
    }
}

const char* MObject::apiTypeStr() const {
    switch (type_) {
        case MFn::kInvalid: return "kInvalid";
        case MFn::kDependencyNode: return "kDependencyNode";
        case MFn::kTransform: return "kTransform";
        case MFn::kJoint: return "kJoint";
        case MFn::kMesh: return "kMesh";
        case MFn::kSkinClusterFilter: return "kSkinClusterFilter";
        case MFn::kAnimCurve: return "kAnimCurve";
        case MFn::kWorld: return "kWorld";
        case MFn::kDoubleArrayData: return "kDoubleArrayData";
        case MFn::kIntArrayData: return "kIntArrayData";
        case MFn::kStringArrayData: return "kStringArrayData";
        case MFn::kSingleIndexedComponent: return "kSingleIndexedComponent";
        case MFn::kMeshVertComponent: return "kMeshVertComponent";
        case MFn::kPlugin: return "kPlugin";
        default: return "kBase";
    }
}

bool MObject::operator==(const MObject& other) const {
    if (type_ != other.type_) return false;
    if (payload_ || other.payload_) return payload_ == other.payload_;
    return id_ == other.id_;
}

namespace host {
namespace detail {

MObject ObjectAccess::nodeObject(NodeId id, MFn::Type type) {
    MObject object;
    object.type_ = type;
    object.id_ = id;
    return object;
}

MObject ObjectAccess::dataObject(Value value) {
    MObject object;
    switch (valueTypeOf(value)) {
        case ValueType::DoubleArray: object.type_ = MFn::kDoubleArrayData; break;
        case ValueType::IntArray: object.type_ = MFn::kIntArrayData; break;
        case ValueType::StringArray: object.type_ = MFn::kStringArrayData; break;
        default: return object;
    }
    object.payload_ = std::make_shared<ObjectPayload>();
    object.payload_->value = std::move(value);
    return object;
}

MObject ObjectAccess::componentObject(MFn::Type type, std::vector<int> elements) {
    MObject object;
    object.type_ = type;
    object.payload_ = std::make_shared<ObjectPayload>();
    object.payload_->elements = std::move(elements);
    return object;
}

MObject ObjectAccess::pluginObject(unsigned long long id) {
    MObject object;
    object.type_ = MFn::kPlugin;
    object.id_ = id;
    return object;
}

NodeId ObjectAccess::nodeId(const MObject& object) {
    if (!isNodeType(object.type_)) return kNoNode;
    return scene().node(object.id_) ? object.id_ : kNoNode;
}

unsigned long long ObjectAccess::pluginId(const MObject& object) {
    return object.type_ == MFn::kPlugin ? object.id_ : 0;
}

MPlug ObjectAccess::plug(const PlugKey& key) {
    MPlug plug;
    plug.node_ = key.node;
    plug.attribute_ = key.attribute.c_str();
    plug.index_ = key.index;
    return plug;
}

PlugKey ObjectAccess::key(const MPlug& plug) { return PlugKey{plug.node_, plug.attribute_.asChar(), plug.index_}; }

MDagPath ObjectAccess::path(NodeId id, NodeId instanceParent) {
    MDagPath path;
    path.node_ = id;
    path.instanceParent_ = instanceParent;
    return path;
}

NodeId ObjectAccess::pathParent(const MDagPath& path) {
    if (path.instanceParent_ != kNoNode) return path.instanceParent_;
    const Node* node = path.node_ == kNoNode ? nullptr : scene().node(path.node_);
    return node ? node->parent : kNoNode;
}

Node* nodeOf(const MObject& object, MFn::Type type) {
    if (!object.hasFn(type)) return nullptr;
    return scene().node(ObjectAccess::nodeId(object));
}

Node* nodeOf(const MDagPath& path) {
    const NodeId id = ObjectAccess::pathNode(path);
    return id == kNoNode ? nullptr : scene().node(id);
}

}  // namespace detail
}  // namespace host
