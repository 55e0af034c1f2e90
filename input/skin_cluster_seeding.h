#pragma once
// Seeding each used vertex's influence list from an existing skin cluster.

#include <vector>

#include <maya/MDagPath.h>
#include <maya/MObject.h>
#include <maya/MStatus.h>

#include "common/decomposition_state.h"

// For every used vertex id, keeps the (at most maxInfluence) source joints
// with the largest weights in the skin cluster, strongest first (equal
// weights: larger joint index first), in inputs.existingInfluences. Only the
// points the cluster deforms on the shape of `shapePath` count (on any of its
// instance paths, or on the cluster's only geometry). Fails with kFailure
// after an error message when the cluster has fewer influences than joints,
// lacks a source joint, reports points that are not single-indexed
// components, or leaves a used vertex without any source-joint weight.
MStatus seedExistingInfluences(DecompositionState& state, const MObject& skinCluster, const MDagPath& shapePath,
                               const std::vector<MDagPath>& jointPaths);
