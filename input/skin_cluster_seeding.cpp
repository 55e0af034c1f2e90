#include "input/skin_cluster_seeding.h"

#include <algorithm>
#include <map>
#include <queue>
#include <utility>

#include <maya/MDagPathArray.h>
#include <maya/MDoubleArray.h>
#include <maya/MFnSingleIndexedComponent.h>
#include <maya/MFnSkinCluster.h>
#include <maya/MGlobal.h>
#include <maya/MIntArray.h>
#include <maya/MSelectionList.h>

namespace {

const char* const kNotSingleIndexedMessage =
    "existingSkinCluster deforms points that are not single-indexed components, weights cannot be matched to vertices";

// Top: largest weight, then largest joint index.
using InfluenceHeap = std::priority_queue<std::pair<double, int32_t>>;

// The item of `affected` that belongs to the sampled mesh, or -1. A cluster
// may deform several meshes; only this mesh's vertex ids are meaningful here.
// The shape node decides, not the path: an instanced shape is one mesh under
// every path. A cluster with a single geometry deforms this mesh whatever
// path it reports.
int itemOfMesh(const MSelectionList& affected, const MDagPath& shapePath) {
    const MObject shape = shapePath.node();
    for (unsigned int item = 0; item < affected.length(); ++item) {
        MDagPath path;
        MObject component;
        affected.getDagPath(item, path, component);
        if (path.node() == shape) return static_cast<int>(item);
    }
    return affected.length() == 1 ? 0 : -1;
}

}  // namespace

MStatus seedExistingInfluences(DecompositionState& state, const MObject& skinCluster, const MDagPath& shapePath,
                               const std::vector<MDagPath>& jointPaths) {
    Inputs& in = state.inputs;
    MStatus status;
    MFnSkinCluster cluster(skinCluster);
    MDagPathArray influences;
    const unsigned int influenceCount = cluster.influenceObjects(influences, &status);
    if (!status || static_cast<int32_t>(influenceCount) < in.J) {
        MGlobal::displayError("inputs.J > numExisting_inf");
        return MS::kFailure;
    }

    std::map<int32_t, InfluenceHeap> heaps;
    for (unsigned int v = 0; v < in.vertexIds.length(); ++v) heaps[in.vertexIds[v]] = InfluenceHeap();

    for (int32_t i = 0; i < in.J; ++i) {
        bool listed = false;
        for (unsigned int k = 0; k < influenceCount && !listed; ++k) listed = (influences[k] == jointPaths[i]);
        if (!listed) {
            MGlobal::displayError("One (or more sourceJoints) is not in the existingSkinCluster_joints");
            return MS::kFailure;
        }
        MSelectionList affected;
        MDoubleArray weights;
        cluster.getPointsAffectedByInfluence(jointPaths[i], affected, weights);
        const int item = itemOfMesh(affected, shapePath);
        if (item < 0) continue;

        // Weights run parallel to the concatenated components of all items,
        // so this item's weights start after those of the items before it.
        // Only single-indexed components say how many weights they hold.
        unsigned int weightOffset = 0;
        MIntArray ids;
        for (int before = 0; before <= item; ++before) {
            MDagPath path;
            MObject component;
            affected.getDagPath(static_cast<unsigned int>(before), path, component);
            if (!component.hasFn(MFn::kSingleIndexedComponent)) {
                MGlobal::displayError(kNotSingleIndexedMessage);
                return MS::kFailure;
            }
            MIntArray elements;
            MFnSingleIndexedComponent(component).getElements(elements);
            if (before < item) {
                weightOffset += elements.length();
            } else {
                ids = elements;
            }
        }
        for (unsigned int k = 0; k < ids.length() && weightOffset + k < weights.length(); ++k)
            heaps[ids[k]].push(std::make_pair(weights[weightOffset + k], i));
    }

    for (unsigned int v = 0; v < in.vertexIds.length(); ++v) {
        const int32_t id = in.vertexIds[v];
        std::vector<int32_t>& list = in.existingInfluences[id];
        list.clear();
        InfluenceHeap& heap = heaps[id];
        if (heap.empty()) {
            MGlobal::displayError(
                "Each Vertex needs at least one influence, there's something wrong with the existingSkinCluster");
            return MS::kFailure;
        }
        const size_t count = std::min(heap.size(), static_cast<size_t>(in.maxInfluence));
        list.resize(count);
        for (size_t k = 0; k < count; ++k) {
            list[k] = heap.top().second;
            heap.pop();
        }
    }
    return MS::kSuccess;
}
