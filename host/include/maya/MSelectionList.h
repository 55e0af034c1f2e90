#pragma once
// An ordered list of nodes, DAG paths with optional components.

#include <vector>

#include <maya/MDagPath.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>
#include <maya/MString.h>

class MSelectionList {
public:
    MSelectionList() = default;

    // Adds the node with that unique name, or the DAG node at a path written
    // "|a|b" (or a trailing part of one, "a|b"). Fails with kInvalidParameter
    // when no node matches.
    MStatus add(const MString& matchString, bool searchChildNamespacesToo = false);
#ifndef VANTREL_HOST_API_SUBSET
    MStatus add(const MObject& object, bool mergeWithExisting = false);
#endif
    MStatus add(const MDagPath& object, const MObject& component = MObject::kNullObj, bool mergeWithExisting = false);

    unsigned int length(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    bool isEmpty(MStatus* ReturnStatus = NULL) const;
    MStatus clear();
    MStatus remove(unsigned int index);
#endif

    MStatus getDependNode(unsigned int index, MObject& depNode) const;
    // Fails with kInvalidParameter when item `index` is not a DAG node.
    MStatus getDagPath(unsigned int index, MDagPath& dagPath, MObject& component = MObject::kNullObj) const;

private:
    struct Item {
        MObject node;
        MDagPath path;  // empty for a non-DAG node
        MObject component;
    };
    std::vector<Item> items_;
};
