#include "input/storage_node.h"

#include <omp.h>

#include <cmath>
#include <ostream>

#include <maya/MAnimControl.h>
#include <maya/MArgParser.h>
#include <maya/MDagPath.h>
#include <maya/MFnDagNode.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MFnDoubleArrayData.h>
#include <maya/MFnIntArrayData.h>
#include <maya/MFnStringArrayData.h>
#include <maya/MGlobal.h>
#include <maya/MObjectArray.h>
#include <maya/MPlug.h>

#include "common/progress_log.h"
#include "input/node_lookup.h"
#include "input/scene_sampling.h"
#include "input/skin_cluster_seeding.h"

namespace {

// How a missing attribute is answered: most return the lookup's own status,
// the list attributes and setMatrices a plain failure.
enum class MissingStatus { lookup, failure };

class StorageNodeReader {
public:
    explicit StorageNodeReader(const MObject& node) : node_(node) {}

    // Finds an attribute's plug; a missing one shows
    // "Need attribute on storageNode : <type> '<name>'".
    MStatus find(const char* name, const char* typeWord, MissingStatus missing, MPlug& plug) const {
        MStatus status;
        plug = node_.findPlug(name, true, &status);
        if (status) return MS::kSuccess;
        MGlobal::displayError(MString("Need attribute on storageNode : ") + typeWord + " '" + name + "'");
        if (missing == MissingStatus::failure) return MS::kFailure;
        return status;
    }

private:
    MFnDependencyNode node_;
};

MDoubleArray doubleArrayOf(const MPlug& plug) {
    MObject data = plug.asMObject();
    MFnDoubleArrayData fn(data);
    return fn.array();
}

MIntArray intArrayOf(const MPlug& plug) {
    MObject data = plug.asMObject();
    MFnIntArrayData fn(data);
    return fn.array();
}

std::vector<MString> stringListOf(const MPlug& plug) {
    MObject data = plug.asMObject();
    MFnStringArrayData fn(data);
    MStringArray names = fn.array();
    std::vector<MString> list(names.length());
    for (unsigned int i = 0; i < names.length(); ++i) list[i] = names[i];
    return list;
}

MStatus failWith(const char* message, MStatus status = MS::kFailure) {
    MGlobal::displayError(message);
    return status;
}

// Joints are sampled and keyed through their DAG paths: a name that did not
// resolve to a DAG node would act as a fixed identity bone, or lose its keys.
// The lookup has already said which name failed.
bool allDagNodes(const MObjectArray& nodes) {
    for (unsigned int j = 0; j < nodes.length(); ++j)
        if (nodes[j].isNull() || !nodes[j].hasFn(MFn::kDagNode)) return false;
    return true;
}

bool allFinite(const MDoubleArray& values) {
    for (unsigned int i = 0; i < values.length(); ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

// 1. frames: at least two, finite, no value twice; the first is the rest frame.
MStatus readFrames(const StorageNodeReader& node, Inputs& in) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("frames", "doubleArray", MissingStatus::failure, plug))) return status;
    in.frames = doubleArrayOf(plug);
    in.numFrame = static_cast<int32_t>(in.frames.length());
    if (in.numFrame < 2) return failWith("numFrame < 2,  need 1 restShape and 1+ shapes");
    // Ordering NaN in the duplicate test is meaningless, and a NaN time
    // cannot be sampled, so non-finite values are refused first.
    if (!allFinite(in.frames)) return failWith("Frames must be finite numbers !");
    if (!hasNoDuplicates(in.frames)) return failWith("Duplicates found in Frames !");
    in.restFrame = in.frames[0];
    in.F = in.numFrame - 1;
    in.shapeFrames.setLength(static_cast<unsigned int>(in.F));
    for (int32_t f = 0; f < in.F; ++f) in.shapeFrames[f] = in.frames[f + 1];
    return MS::kSuccess;
}

// 2. sourceJoints: at least one, no name twice, each a DAG joint.
MStatus readSourceJoints(const StorageNodeReader& node, Inputs& in, MObjectArray& sourceJointNodes) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("sourceJoints", "stringArray", MissingStatus::failure, plug))) return status;
    in.sourceJoints = stringListOf(plug);
    in.J = static_cast<int32_t>(in.sourceJoints.size());
    if (in.J < 1) return failWith("num sourceJoint J < 1");
    if (!hasNoDuplicates(in.sourceJoints)) return failWith("Duplicates found in sourceJoints !");
    findNodesByName(in.sourceJoints, MFn::kJoint, sourceJointNodes);
    if (!allDagNodes(sourceJointNodes)) return MS::kFailure;
    return MS::kSuccess;
}

// 3. maxIteration, and 4-7 unless a single iteration is asked for.
MStatus readIterationSettings(const StorageNodeReader& node, Inputs& in) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("maxIteration", "int", MissingStatus::lookup, plug))) return status;
    in.maxIteration = plug.asInt();
    if (in.maxIteration < 1) in.maxIteration = kDefaultMaxIteration;
    if (in.maxIteration == 1) {
        in.iterationFullSolver = 0;
        in.updateRestMatrices = false;
        in.rigidMatrices = true;
        in.errorPercentBreak = -1.0;
        return MS::kSuccess;
    }
    if (!(status = node.find("iterationFullSolver", "int", MissingStatus::lookup, plug))) return status;
    in.iterationFullSolver = plug.asInt();
    if (in.iterationFullSolver < 1) MGlobal::displayError("iterationFullSolver <= 0, it must be >= 1");
    if (in.iterationFullSolver > in.maxIteration) return failWith("iterationFullSolver > maxIteration, bad");

    if (!(status = node.find("updateRestMatrices", "bool", MissingStatus::lookup, plug))) return status;
    in.updateRestMatrices = plug.asBool();
    if (!(status = node.find("rigidMatrices", "bool", MissingStatus::lookup, plug))) return status;
    in.rigidMatrices = plug.asBool();
    if (!(status = node.find("errorPercentBreak", "double", MissingStatus::lookup, plug))) return status;
    in.errorPercentBreak = plug.asDouble();
    return MS::kSuccess;
}

// 8-9. setMatrices and, when it is on, targetJoints: one per source joint.
MStatus readTargetJoints(const StorageNodeReader& node, Inputs& in) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("setMatrices", "bool", MissingStatus::failure, plug))) return status;
    in.setMatrices = plug.asBool();
    if (!in.setMatrices) {
        in.targetJoints.clear();
        return MS::kSuccess;
    }
    if (!(status = node.find("targetJoints", "stringArray", MissingStatus::failure, plug))) return status;
    in.targetJoints = stringListOf(plug);
    if (static_cast<int32_t>(in.targetJoints.size()) != in.J) return failWith("num targetJoint != num sourceJoint");
    if (!hasNoDuplicates(in.targetJoints)) return failWith("Duplicates found in targetJoints !");
    MObjectArray targetJointNodes;  // baking resolves the names again
    findNodesByName(in.targetJoints, MFn::kJoint, targetJointNodes);
    if (!allDagNodes(targetJointNodes)) return MS::kFailure;
    return MS::kSuccess;
}

// 10-12. vertexIds, maxInfluence and the weight of the sum-to-one row.
MStatus readSolveSizes(const StorageNodeReader& node, Inputs& in) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("vertexIds", "intArray", MissingStatus::failure, plug))) return status;
    in.vertexIds = intArrayOf(plug);
    in.V = static_cast<int32_t>(in.vertexIds.length());
    if (in.V <= 0) return failWith("Used numVertex V <= 0");
    if (!hasNoDuplicates(in.vertexIds)) return failWith("Duplicates found in vertexIds !");

    if (!(status = node.find("maxInfluence", "int", MissingStatus::lookup, plug))) return status;
    in.maxInfluence = plug.asInt();
    if (in.maxInfluence < 1 || in.maxInfluence > in.J)
        return failWith("maxInfluence < 1 || maxInfluence > J ", MS::kInvalidParameter);

    // NaN and infinity are not usable weights.
    if (!(status = node.find("lagragian", "double", MissingStatus::lookup, plug))) return status;
    in.constraintWeight = plug.asDouble();
    if (!(in.constraintWeight > 0.0) || !std::isfinite(in.constraintWeight)) return failWith("lagragian <= .0");
    return MS::kSuccess;
}

// 13-14. shape, then the scene is sampled (`sampled` set once the time has
// moved), and the skin cluster that may seed the influences.
MStatus sampleShape(const StorageNodeReader& node, DecompositionState& state, const MObjectArray& sourceJointNodes,
                    bool& sampled) {
    Inputs& in = state.inputs;
    MPlug plug;
    MStatus status;
    if (!(status = node.find("shape", "string", MissingStatus::lookup, plug))) return status;
    in.shape = plug.asString();
    MObject shapeNode;
    if (!(status = findNodeByName(in.shape, MFn::kMesh, shapeNode))) return status;
    MDagPath shapePath;
    MFnDagNode(shapeNode).getPath(shapePath);
    std::vector<MDagPath> jointPaths;
    sampled = true;
    sampleScene(state, shapePath, sourceJointNodes, jointPaths);
    if (!(status = checkSampledPoints(state))) return status;

    if (!(status = node.find("existingSkinCluster", "string", MissingStatus::lookup, plug))) return status;
    const MString skinClusterName = plug.asString();
    if (skinClusterName.length() == 0) {
        in.useExistingSkinCluster = false;
        return MS::kSuccess;
    }
    in.useExistingSkinCluster = true;
    MObject skinCluster;
    if (!findNodeByName(skinClusterName, MFn::kSkinClusterFilter, skinCluster)) return MS::kFailure;
    return seedExistingInfluences(state, skinCluster, shapePath, jointPaths);
}

// 15. maxCPU: the thread rule, shown on the progress stream.
MStatus readThreadLimit(const StorageNodeReader& node, DecompositionState& state) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("maxCPU", "int", MissingStatus::lookup, plug))) return status;
    const int maxCPU = plug.asInt();
    state.availableCPU = omp_get_max_threads();
    state.usedCPU = state.availableCPU;
    state.limitThreads = (maxCPU >= 1 && maxCPU < state.availableCPU);
    if (state.limitThreads) state.usedCPU = maxCPU;
    logStream << "Vantrel : available CPU = " << state.availableCPU << ", used = " << state.usedCPU << std::endl;
    return MS::kSuccess;
}

// 16-19. outputs: only their presence (and array-ness) is checked here.
MStatus checkOutputAttributes(const StorageNodeReader& node) {
    MPlug plug;
    MStatus status;
    if (!(status = node.find("weightIds", "intArray array", MissingStatus::lookup, plug))) return status;
    if (!plug.isArray()) return failWith("weightIds attribute must be .setArray( true )");
    if (!(status = node.find("weights", "doubleArray array", MissingStatus::lookup, plug))) return status;
    if (!plug.isArray()) return failWith("weights attribute must be .setArray( true )");
    if (!(status = node.find("error", "double", MissingStatus::lookup, plug))) return status;
    return node.find("iterationDone", "int", MissingStatus::lookup, plug);
}

// The attributes from `frames` to `iterationDone`, in that order. `sampled`
// is set once the scene time has been moved.
MStatus readStorageNode(DecompositionState& state, const MSyntax& syntax, const MArgList& args, bool& sampled) {
    MStatus status;
    MArgParser parser(syntax, args, &status);
    if (!parser.isFlagSet("storageNode")) return MS::kNotFound;
    parser.getFlagArgument("storageNode", 0, state.storageNodeName);

    MObject storageNode;
    if (!findNodeByName(state.storageNodeName, MFn::kBase, storageNode)) return MS::kUnknownParameter;
    const StorageNodeReader node(storageNode);
    Inputs& in = state.inputs;
    MObjectArray sourceJointNodes;
    if (!(status = readFrames(node, in))) return status;
    if (!(status = readSourceJoints(node, in, sourceJointNodes))) return status;
    if (!(status = readIterationSettings(node, in))) return status;
    if (!(status = readTargetJoints(node, in))) return status;
    if (!(status = readSolveSizes(node, in))) return status;
    if (!(status = sampleShape(node, state, sourceJointNodes, sampled))) return status;
    if (!(status = readThreadLimit(node, state))) return status;
    if (!(status = checkOutputAttributes(node))) return status;

    logStream << "Vantrel : Arguments Parsed" << std::endl;
    return MS::kSuccess;
}

}  // namespace

MStatus parseStorageNode(DecompositionState& state, const MSyntax& syntax, const MArgList& args) {
    bool sampled = false;
    const MStatus status = readStorageNode(state, syntax, args, sampled);
    // A refused command leaves the scene as it found it, time included.
    if (status != MS::kSuccess && sampled) MAnimControl::setCurrentTime(state.savedTime);
    return status;
}
