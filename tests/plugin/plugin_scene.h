#pragma once
// Scenes for the plug-in's tests, built through the headless host's builder:
// an animated joint chain skinning a column-shaped mesh, and a storage node
// holding every setting of the command.

#include <string>
#include <vector>

#include <maya/MMatrix.h>
#include <maya/MPointArray.h>
#include <maya/MStatus.h>

#include "common/decomposition_state.h"
#include "input/storage_node_setup.h"

namespace plugin_test {

// The storage node's settings, with values that make a valid run on the
// column mesh (every vertex of the default one).
struct StorageSettings : StorageNodeSettings {
    StorageSettings();
};

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
