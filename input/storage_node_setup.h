#pragma once
// Creating the storage node through the headless host's builder, as a host
// user does before running the command: the program, the benchmarks and the
// tests build it here; the plug-in reads it in storage_node.cpp.

#include <set>
#include <string>
#include <vector>

// Every setting of the storage node, one field per attribute.
struct StorageNodeSettings {
    std::vector<double> frames;
    std::vector<std::string> sourceJoints;
    int maxIteration = 0;
    int iterationFullSolver = 0;
    bool updateRestMatrices = false;
    bool rigidMatrices = true;
    double errorPercentBreak = 0.0;
    bool setMatrices = false;
    std::vector<std::string> targetJoints;
    std::vector<int> vertexIds;
    int maxInfluence = 0;
    double constraintWeight = 0.0;  // attribute lagragian: weight of the sum-to-one row
    std::string shape;
    std::string existingSkinCluster;
    int maxCPU = 0;
};

// Names of the storage node's attributes in the order the command reads
// them, the outputs (weightIds, weights, error, iterationDone) last.
extern const std::vector<std::string> kStorageAttributes;

// Creates the node `name` with every attribute of `settings` and the output
// attributes, except those named in `omit`. The outputs weightIds and
// weights are multi attributes unless `plainOutputs`.
void createStorageNode(const std::string& name, const StorageNodeSettings& settings,
                       const std::set<std::string>& omit = {}, bool plainOutputs = false);
