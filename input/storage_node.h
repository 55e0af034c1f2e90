#pragma once
// Reading and validating the storage node: every setting of a decomposition,
// in a fixed order, with the scene sampled once the mesh is known.

#include <maya/MArgList.h>
#include <maya/MStatus.h>
#include <maya/MSyntax.h>

#include "common/decomposition_state.h"

// Fills `state.inputs`, the thread fields, `storageNodeName`, `savedTime` and
// the starting bone matrices. Stops at the first failure, after showing one
// error message (the name lookups may show theirs first); a failure after
// sampling puts the host's current time back where it was.
MStatus parseStorageNode(DecompositionState& state, const MSyntax& syntax, const MArgList& args);
