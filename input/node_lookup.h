#pragma once
// Name lookups of scene nodes with a required function-set type, and the
// duplicate tests of the storage node's lists.

#include <vector>

#include <maya/MDoubleArray.h>
#include <maya/MFn.h>
#include <maya/MIntArray.h>
#include <maya/MObject.h>
#include <maya/MObjectArray.h>
#include <maya/MStatus.h>
#include <maya/MString.h>

// Resolves one name. Missing node: "Node does not exist : <name>" as
// information, kUnknownParameter. Wrong type: "Node must have specified Fn,
// check this : <name>" as information, kFailure.
MStatus findNodeByName(const MString& name, MFn::Type fnType, MObject& node);

// Resolves every name in order; entry i is the node name i resolved to, or a
// null object. Each failure shows its message as an error and the lookup goes
// on. Returns the status of the last selection-list add.
MStatus findNodesByName(const std::vector<MString>& names, MFn::Type fnType, MObjectArray& nodes);

// True when no value occurs twice (doubles compared exactly).
bool hasNoDuplicates(const MDoubleArray& values);
bool hasNoDuplicates(const MIntArray& values);
// True when no two names are equal (exact, case-sensitive).
bool hasNoDuplicates(const std::vector<MString>& names);
