#pragma once
// Sampling the scene over the frame list: world-space mesh points, the
// joints' world matrices and the mesh's size, one scene evaluation per frame.

#include <vector>

#include <maya/MDagPath.h>
#include <maya/MObjectArray.h>
#include <maya/MStatus.h>

#include "common/decomposition_state.h"

// Saves the current time, then samples the rest frame and every shape frame in
// list order: inputs.restPoints, inputs.shapePoints, inputs.diagonalSum,
// solver.bindingMatrices (inverse rest world matrices) and
// solver.boneTransforms (world matrices per shape). Leaves the current time at
// the last shape frame. `jointPaths` receives one path per joint node.
void sampleScene(DecompositionState& state, const MDagPath& shapePath, const MObjectArray& jointNodes,
                 std::vector<MDagPath>& jointPaths);

// Refuses samples the solver cannot index safely: a shape frame whose point
// count differs from the rest frame's, or a used vertex id outside the mesh.
// Shows an error message and returns kFailure.
MStatus checkSampledPoints(const DecompositionState& state);
