#pragma once
// Building and reading the headless host's scene: what tests and the
// vantrel program use to make the scenes the plug-in works on. Nodes are named
// by their unique names; plugs by "node.attribute" or
// "node.attribute[logicalIndex]" (short or long attribute names). Every
// function throws host::Error on misuse and leaves the scene unchanged.
//
// Units: lengths in scene units, angles in radians, frames in the UI time
// unit at the time of the call unless an MTime is given. Matrices follow the
// row-vector convention (p * M, translation in row 3):
//   transform local = S * Sh * R * T,  joint local = S * Sh * R * JO * T,
//   world = local * parent world.

#ifdef VANTREL_HOST_API_SUBSET
#error "<host/...> is the headless host's own API: the plug-in reaches the scene through <maya/...> only"
#endif

#include <memory>
#include <string>
#include <vector>

#include <maya/MMatrix.h>
#include <maya/MObject.h>
#include <maya/MPointArray.h>
#include <maya/MTime.h>
#include <maya/MTransformationMatrix.h>
#include <maya/MTypes.h>
#include <maya/MVector.h>

#include <host/error.h>
#include <host/point_frames.h>

namespace host {

// --- Nodes -----------------------------------------------------------------

// A dependency node without static attributes (type name "node"), such as
// the plug-in's storage node.
void createNode(const std::string& name);
// A transform under `parent` (a transform or joint; "" for the world), with
// channels t, r, s, sh and rotate order ro.
void createTransform(const std::string& name, const std::string& parent = "");
// A joint: a transform that also has the joint orientation jo (radians, XYZ).
void createJoint(const std::string& name, const std::string& parent = "",
                 MTransformationMatrix::RotationOrder order = MTransformationMatrix::kXYZ,
                 const MVector& jointOrient = MVector());
// A mesh shape under a transform. Points are object-space positions by vertex
// id; each polygon lists its vertex ids.
void createMesh(const std::string& name, const std::string& parentTransform, const MPointArray& points,
                const std::vector<std::vector<int>>& polygons);
// Places `mesh` under one more transform: the same shape (points, deformer)
// reached by a second DAG path, "|...|parentTransform|mesh", whose world
// matrix is that transform's.
void instanceMesh(const std::string& mesh, const std::string& parentTransform);
// A skin cluster deforming `mesh` by the joints `influences` (influence index
// = position). It binds at the current time: each bind pre-matrix is the
// inverse of its joint's world matrix, and the mesh's world matrix is kept as
// the bind geometry matrix. All weights start at 0. Deformed world point of
// vertex v = sum_k w[v][k] * (p * bindGeometry) * bindPre[k] * jointWorld[k];
// the mesh reports it in its object space (times the inverse of its current
// world matrix). A mesh has at most one deformer. `mesh` may also be a path
// "transform|mesh" through one of the mesh's instances: the cluster then
// reports its points on that path.
void createSkinCluster(const std::string& name, const std::string& mesh, const std::vector<std::string>& influences);
// One weight per influence for one vertex.
void setSkinWeights(const std::string& skinCluster, int vertexId, const std::vector<double>& weights);
// weights[vertexId][influence] for every vertex of the mesh.
void setSkinWeights(const std::string& skinCluster, const std::vector<std::vector<double>>& weights);
std::vector<double> skinWeights(const std::string& skinCluster, int vertexId);
void setBindPreMatrix(const std::string& skinCluster, unsigned influenceIndex, const MMatrix& matrix);
// Points from a cache: framePoints[i] holds every vertex at frame
// firstFrame + i in `unit` (kInvalid: the UI unit now). Between frames the
// points are interpolated linearly; outside, the first or last frame holds.
void setPointCache(const std::string& mesh, const std::vector<MPointArray>& framePoints, double firstFrame = 0.0,
                   MTime::Unit unit = MTime::kInvalid);
// The same from positions the caller may keep sharing (read-only): no copy is
// made. Frame i of `frames` is at firstFrame + i; its point count must be the
// mesh's.
void setSharedPointCache(const std::string& mesh, std::shared_ptr<const PointFrames> frames, double firstFrame = 0.0,
                         MTime::Unit unit = MTime::kInvalid);

bool nodeExists(const std::string& name);
// Every node name, in creation order.
std::vector<std::string> nodeNames();
MObject nodeObject(const std::string& name);
// World matrix of a DAG node at the current time.
MMatrix worldMatrix(const std::string& dagNode);
// Points of a mesh at the current time, in object or world space.
MPointArray meshPoints(const std::string& mesh, MSpace::Space space = MSpace::kWorld);

// --- Attributes and values --------------------------------------------------

enum class AttributeType { Int, Bool, Double, String, DoubleArray, IntArray, StringArray };

// A dynamic attribute. With isArray the attribute is a multi: its elements,
// addressed "node.attr[i]", each hold one value of the type.
void addAttribute(const std::string& node, const std::string& attribute, AttributeType type, bool isArray = false);
bool hasAttribute(const std::string& node, const std::string& attribute);

void setInt(const std::string& plug, int value);
void setBool(const std::string& plug, bool value);
void setDouble(const std::string& plug, double value);
void setString(const std::string& plug, const std::string& value);
void setDoubleArray(const std::string& plug, const std::vector<double>& value);
void setIntArray(const std::string& plug, const std::vector<int>& value);
void setStringArray(const std::string& plug, const std::vector<std::string>& value);

// Values at the current time (a connected plug reads its source).
int getInt(const std::string& plug);
bool getBool(const std::string& plug);
double getDouble(const std::string& plug);
std::string getString(const std::string& plug);
std::vector<double> getDoubleArray(const std::string& plug);
std::vector<int> getIntArray(const std::string& plug);
std::vector<std::string> getStringArray(const std::string& plug);
// Logical indices of the existing elements of an array attribute, ascending
// (none for a non-array attribute).
std::vector<unsigned> elementIndices(const std::string& arrayPlug);

void setKeyable(const std::string& plug, bool keyable);
bool isKeyable(const std::string& plug);

// --- Connections and animation -----------------------------------------------

void connect(const std::string& sourcePlug, const std::string& destinationPlug);
// The destination keeps the value it read when the connection was cut.
void disconnect(const std::string& sourcePlug, const std::string& destinationPlug);
// The plug feeding `plug` ("curve.output", "node.attr"), or "" when none.
std::string inputOf(const std::string& plug);
// Keys a channel: creates an animation curve connected to it when it has no
// input yet, then adds (or replaces) the key. Returns the curve's name.
std::string setKey(const std::string& plug, double frame, double value);
std::string setKey(const std::string& plug, const MTime& time, double value);

}  // namespace host
