#pragma once
// Evaluation of the scene at its current time: plug values through
// connections, animation curves, local and world matrices, mesh points from
// their deformer. Pure functions of the stored scene: nothing is cached, so
// no value can be stale after the time changes.

#include <string>
#include <vector>

#include <maya/MMatrix.h>
#include <maya/MPoint.h>
#include <maya/MTime.h>

#include "scene_graph.h"

namespace host {
namespace detail {

// The value a plug reads now. Fails (returns false, says why) for a missing
// node or attribute, an array plug itself, a compound, or a connection cycle.
bool evaluatePlug(const Scene& scene, const PlugKey& plug, Value& value, std::string* why = nullptr);
// Numeric reads (int, bool, double values convert); false for other types.
bool evaluateNumber(const Scene& scene, const PlugKey& plug, double& value);

// Cuts a connection the way the host does: the destination keeps the value it
// reads now instead of falling back to what was stored before. Returns "" or
// why the connection could not be cut.
std::string disconnectKeepingValue(Scene& scene, const PlugKey& source, const PlugKey& destination);

// Linear between keys, held outside them; 0 without keys.
double evaluateCurve(const CurveData& curve, const MTime& time);

// Local matrix of a transform or joint (identity for other nodes) and world
// matrix of any DAG node (identity for the world and non-DAG nodes).
MMatrix localMatrix(const Scene& scene, const Node& node);
MMatrix worldMatrix(const Scene& scene, NodeId id);

// A mesh's object-space points now: from its skin cluster, else its point
// cache, else its own points.
std::vector<MPoint> meshPoints(const Scene& scene, const Node& mesh);
// The points a point cache gives at a time.
std::vector<MPoint> cachePoints(const PointCache& cache, const MTime& time);

}  // namespace detail
}  // namespace host
