#include "input/node_lookup.h"

#include <set>

#include <maya/MGlobal.h>
#include <maya/MSelectionList.h>

MStatus findNodeByName(const MString& name, MFn::Type fnType, MObject& node) {
    MSelectionList list;
    if (!list.add(name)) {
        MGlobal::displayInfo("Node does not exist : " + name);
        return MS::kUnknownParameter;
    }
    list.getDependNode(0, node);
    if (!node.hasFn(fnType)) {
        MGlobal::displayInfo("Node must have specified Fn, check this : " + name);
        return MS::kFailure;
    }
    return MS::kSuccess;
}

MStatus findNodesByName(const std::vector<MString>& names, MFn::Type fnType, MObjectArray& nodes) {
    MStatus lastAdd;
    nodes.clear();
    nodes.setLength(static_cast<unsigned int>(names.size()));
    for (unsigned int i = 0; i < names.size(); ++i) {
        // A fresh list per name, so entry i is always what name i resolved to.
        MSelectionList list;
        lastAdd = list.add(names[i]);
        if (!lastAdd) {
            MGlobal::displayError("Node does not exist : " + names[i]);
        } else {
            list.getDependNode(0, nodes[i]);
        }
        if (!nodes[i].hasFn(fnType)) {
            MGlobal::displayError("Node must have specified Fn, check this : " + names[i]);
        }
    }
    return lastAdd;
}

bool hasNoDuplicates(const MDoubleArray& values) {
    std::set<double> seen;
    for (unsigned int i = 0; i < values.length(); ++i) seen.insert(values[i]);
    return seen.size() == values.length();
}

bool hasNoDuplicates(const MIntArray& values) {
    std::set<int> seen;
    for (unsigned int i = 0; i < values.length(); ++i) seen.insert(values[i]);
    return seen.size() == values.length();
}

bool hasNoDuplicates(const std::vector<MString>& names) {
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            if (names[i] == names[j]) return false;
    return true;
}
