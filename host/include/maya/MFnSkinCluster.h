#pragma once
// Function set of skin clusters: linear blend skinning of one mesh by an
// ordered list of joints (influence index = position in that list).

#include <maya/MDagPath.h>
#include <maya/MDagPathArray.h>
#include <maya/MDoubleArray.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MSelectionList.h>

class MFnSkinCluster : public MFnDependencyNode {
public:
    MFnSkinCluster() = default;
    MFnSkinCluster(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kSkinClusterFilter; }
#endif

    // The influences' paths in influence order; returns their count.
    unsigned int influenceObjects(MDagPathArray& paths, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // Influence index of a joint path; kInvalidParameter when it is none.
    unsigned int indexForInfluenceObject(const MDagPath& path, MStatus* ReturnStatus = NULL) const;
#endif
    // The vertices an influence weighs: one item (the deformed mesh's path and
    // a vertex component listing, in increasing id order, the vertices with a
    // non-zero weight) and their weights in the same order. The list is empty
    // when there are none; kInvalidParameter when the path is no influence.
    MStatus getPointsAffectedByInfluence(const MDagPath& path, MSelectionList& result, MDoubleArray& weights);
#ifndef VANTREL_HOST_API_SUBSET
    // Weight of every vertex (in id order) for one influence.
    MStatus getWeights(const MDagPath& shape, const MObject& components, unsigned int influenceIndex,
                       MDoubleArray& weights);
    // The deformed mesh's path.
    MStatus getPathAtIndex(unsigned int index, MDagPath& path) const;
#endif
};
