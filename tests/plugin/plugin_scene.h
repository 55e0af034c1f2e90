#pragma once
// Scenes for the plug-in's tests, built through the headless host's builder:
// an animated joint chain skinning a column-shaped mesh, and a storage node
// holding every setting of the command.

#include <set>
#include <string>
#include <vector>

#include <maya/MMatrix.h>
#include <maya/MPointArray.h>
#include <maya/MStatus.h>

#include "common/decomposition_state.h"

namespace plugin_test {

// Every setting of the storage node, with values that make a valid run.
struct StorageSettings {
    std::vector<double> frames{1, 2, 3, 4, 5};
    std::vector<std::string> sourceJoints{"j0", "j1", "j2"};
    int maxIteration = 3;
    int iterationFullSolver = 1;
    bool updateRestMatrices = false;
    bool rigidMatrices = true;
    double errorPercentBreak = 0.0;
    bool setMatrices = false;
    std::vector<std::string> targetJoints;
    std::vector<int> vertexIds;  // empty: every vertex of the column mesh
    int maxInfluence = 2;
    double lagragian = 1.0;
    std::string shape = "bodyShape";
    std::string existingSkinCluster;
    int maxCPU = 0;
};

// Names of the storage node's attributes, in the order the command reads them.
extern const std::vector<std::string> kStorageAttributes;

// Adds the storage node `name` with every attribute of `settings` except
// those in `omit`; the outputs are multi attributes unless `plainOutputs`.
void createStorageNode(const std::string& name, const StorageSettings& settings, const std::set<std::string>& omit = {},
                       bool plainOutputs = false);

// The column mesh: `rings` rings of `perRing` vertices from y = 0 to y = 6,
// vertex id = ring * perRing + k.
struct ColumnMesh {
    int rings = 6;
    int perRing = 5;
    int vertexCount() const { return rings * perRing; }
};

// Resets the scene and builds: joints j0 (root) -> j1 -> j2 along +y, keyed
// over frames 1..5 (rotations and translations); the mesh "bodyShape" under
// the transform "body"; the skin cluster "skinCluster1" binding it to j0..j2
// at frame 1 with smooth weights of at most two joints per vertex. Returns
// the true weights, weights[v][joint].
std::vector<std::vector<double>> buildSkinnedColumn(const ColumnMesh& mesh = ColumnMesh());

// Adds the joints <prefix>0 -> <prefix>1 -> <prefix>2, laid out and keyed
// over frames 1..5 as j0..j2 are, their motion at `pace` times j0..j2's.
// With a pace other than 1 they are starting joints the animation does not
// follow.
void createAnimatedChain(const std::string& prefix, double pace);

// Every vertex id of the column mesh.
std::vector<int> allVertexIds(const ColumnMesh& mesh = ColumnMesh());

// Loads the built plug-in module once for the test program.
void loadPluginOnce();
std::string pluginPath();

// Runs a command line with standard output captured.
struct CommandRun {
    MStatus status;
    std::vector<std::string> lines;  // standard output, line by line
};
CommandRun runCommand(const std::string& commandLine);

// Parses the storage node "store" as the command "vantrel -sn store body"
// does, into `state`, with the progress lines discarded.
MStatus parseStorage(DecompositionState& state);

// Texts of the error and information messages since the last clear.
std::vector<std::string> errorMessages();
std::vector<std::string> infoMessages();

}  // namespace plugin_test
