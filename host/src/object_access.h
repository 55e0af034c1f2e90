#pragma once
// How the host's own code reaches inside the API classes' handles: making
// node, data and component objects, plugs and paths, and reading them back.

#include <maya/MDagPath.h>
#include <maya/MObject.h>
#include <maya/MPlug.h>
#include <maya/MPxCommand.h>
#include <maya/MSyntax.h>

#include "scene_graph.h"

namespace host {
namespace detail {

// What data and component objects carry.
struct ObjectPayload {
    Value value;                // data objects
    std::vector<int> elements;  // components
};

struct ObjectAccess {
    static MObject nodeObject(NodeId id, MFn::Type type);
    static MObject nodeObject(const Node& node) { return nodeObject(node.id, apiTypeOf(node.kind)); }
    static MObject dataObject(Value value);
    static MObject componentObject(MFn::Type type, std::vector<int> elements);
    static MObject pluginObject(unsigned long long id);

    // kNoNode unless the object is a node that still exists.
    static NodeId nodeId(const MObject& object);
    static unsigned long long pluginId(const MObject& object);
    static ObjectPayload* payload(const MObject& object) { return object.payload_.get(); }

    static MPlug plug(const PlugKey& key);
    static PlugKey key(const MPlug& plug);

    // The path to a node through its own parent, or to a mesh through one of
    // its instance transforms.
    static MDagPath path(NodeId id, NodeId instanceParent = kNoNode);
    static NodeId pathNode(const MDagPath& path) { return path.node_; }
    // The parent the path goes through last (kNoNode for an empty path).
    static NodeId pathParent(const MDagPath& path);

    static void setSyntax(MPxCommand& command, const MSyntax& syntax) { command.syntax_ = syntax; }
};

// The node of an object when it exists and is of the given type.
Node* nodeOf(const MObject& object, MFn::Type type = MFn::kDependencyNode);
// The node at the end of a non-empty path, if it exists.
Node* nodeOf(const MDagPath& path);

inline void setStatus(MStatus* status, MStatus::MStatusCode code) {
    if (status) *status = code;
}

}  // namespace detail
}  // namespace host
