#include <maya/MFnSkinCluster.h>

#include "object_access.h"

using namespace host::detail;

MFnSkinCluster::MFnSkinCluster(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnBase::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

unsigned int MFnSkinCluster::influenceObjects(MDagPathArray& paths, MStatus* ReturnStatus) const {
    paths.clear();
    const Node* node = nodeOf(object_, MFn::kSkinClusterFilter);
    if (!node) {
        setStatus(ReturnStatus, MS::kFailure);
        return 0;
    }
    for (NodeId influence : node->skin.influences) paths.append(ObjectAccess::path(influence));
    setStatus(ReturnStatus, MS::kSuccess);
    return paths.length();
}

unsigned int MFnSkinCluster::indexForInfluenceObject(const MDagPath& path, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kSkinClusterFilter);
    const NodeId wanted = ObjectAccess::pathNode(path);
    if (node && wanted != kNoNode) {
        for (size_t k = 0; k < node->skin.influences.size(); ++k) {
            if (node->skin.influences[k] == wanted) {
                setStatus(ReturnStatus, MS::kSuccess);
                return static_cast<unsigned int>(k);
            }
        }
    }
    setStatus(ReturnStatus, MS::kInvalidParameter);
    return 0;
}

MStatus MFnSkinCluster::getPointsAffectedByInfluence(const MDagPath& path, MSelectionList& result,
                                                     MDoubleArray& weights) {
    result.clear();
    weights.clear();
    MStatus status;
    const unsigned influence = indexForInfluenceObject(path, &status);
    if (!status) return status;
    const SkinData& skin = nodeOf(object_)->skin;
    std::vector<int> ids;
    for (size_t v = 0; v < skin.weights.size(); ++v) {
        const double w = influence < skin.weights[v].size() ? skin.weights[v][influence] : 0.0;
        if (w != 0.0) {
            ids.push_back(static_cast<int>(v));
            weights.append(w);
        }
    }
    if (ids.empty()) return MS::kSuccess;
    result.add(ObjectAccess::path(skin.mesh, skin.meshInstanceParent),
               ObjectAccess::componentObject(MFn::kMeshVertComponent, ids));
    return MS::kSuccess;
}

MStatus MFnSkinCluster::getWeights(const MDagPath& shape, const MObject&, unsigned int influenceIndex,
                                   MDoubleArray& weights) {
    weights.clear();
    const Node* node = nodeOf(object_, MFn::kSkinClusterFilter);
    if (!node || ObjectAccess::pathNode(shape) != node->skin.mesh) return MS::kInvalidParameter;
    if (influenceIndex >= node->skin.influences.size()) return MS::kInvalidParameter;
    for (const auto& row : node->skin.weights) weights.append(influenceIndex < row.size() ? row[influenceIndex] : 0.0);
    return MS::kSuccess;
}

MStatus MFnSkinCluster::getPathAtIndex(unsigned int index, MDagPath& path) const {
    const Node* node = nodeOf(object_, MFn::kSkinClusterFilter);
    if (!node || index != 0) return MS::kInvalidParameter;
    path = ObjectAccess::path(node->skin.mesh, node->skin.meshInstanceParent);
    return MS::kSuccess;
}
