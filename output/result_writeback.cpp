#include "output/result_writeback.h"

#include <maya/MDoubleArray.h>
#include <maya/MFnDoubleArrayData.h>
#include <maya/MFnIntArrayData.h>
#include <maya/MIntArray.h>
#include <maya/MPlug.h>

namespace {

MIntArray toIntArray(const std::vector<int32_t>& values) {
    MIntArray out;
    out.setLength(static_cast<unsigned int>(values.size()));
    for (unsigned int i = 0; i < values.size(); ++i) out[i] = values[i];
    return out;
}

MDoubleArray toDoubleArray(const std::vector<double>& values) {
    MDoubleArray out;
    out.setLength(static_cast<unsigned int>(values.size()));
    for (unsigned int i = 0; i < values.size(); ++i) out[i] = values[i];
    return out;
}

}  // namespace

void writeWeights(const DecompositionState& state, MFnDependencyNode& storageNode) {
    const Inputs& in = state.inputs;
    MPlug idsPlug = storageNode.findPlug("weightIds", true);
    MPlug weightsPlug = storageNode.findPlug("weights", true);
    const std::vector<int32_t> noInfluences;
    const std::vector<double> noWeights;
    for (unsigned int j = 0; j < in.vertexIds.length(); ++j) {
        const int32_t id = in.vertexIds[j];
        const auto influences = state.solver.vertexInfluences.find(id);
        const auto weights = state.solver.vertexWeights.find(id);
        const MIntArray ids =
            toIntArray(influences != state.solver.vertexInfluences.end() ? influences->second : noInfluences);
        const MDoubleArray values =
            toDoubleArray(weights != state.solver.vertexWeights.end() ? weights->second : noWeights);

        MFnIntArrayData idsData;
        MObject idsObject = idsData.create(ids);
        MFnDoubleArrayData weightsData;
        MObject weightsObject = weightsData.create(values);
        idsPlug.elementByLogicalIndex(static_cast<unsigned int>(id)).setMObject(idsObject);
        weightsPlug.elementByLogicalIndex(static_cast<unsigned int>(id)).setMObject(weightsObject);
    }
}

void writeErrorAndIterationCount(const DecompositionState& state, MFnDependencyNode& storageNode) {
    MPlug errorPlug = storageNode.findPlug("error", true);
    if (!state.solver.errorHistory.empty()) errorPlug.setDouble(state.solver.errorHistory.back());
    MPlug iterationsPlug = storageNode.findPlug("iterationDone", true);
    iterationsPlug.setInt(state.solver.iterationDone);
}
