#pragma once
// Storing the results on the storage node.

#include <maya/MFnDependencyNode.h>

#include "common/decomposition_state.h"

// For each used vertex id v, in vertexIds order: element v of "weightIds"
// receives its bone indices and element v of "weights" its weights, exactly
// as solved (zero weights included). Other elements are left as they are.
void writeWeights(const DecompositionState& state, MFnDependencyNode& storageNode);

// "error" receives the last error of the run, "iterationDone" the number of
// iterations begun.
void writeErrorAndIterationCount(const DecompositionState& state, MFnDependencyNode& storageNode);
