#include "cli/scene_setup.h"

#include <host/scene.h>
#include <host/session.h>
#include <maya/MTransformationMatrix.h>

#include "input/storage_node_setup.h"

namespace vantrel::cli {

namespace {

MMatrix toMMatrix(const io::Matrix4& m) {
    MMatrix out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[r][c] = m[4 * r + c];
    return out;
}

io::Matrix4 toMatrix4(const MMatrix& m) {
    io::Matrix4 out;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[4 * r + c] = m[r][c];
    return out;
}

MPointArray pointsOf(const std::vector<double>& xyz) {
    MPointArray points;
    points.setLength(static_cast<unsigned int>(xyz.size() / 3));
    for (unsigned int v = 0; v < points.length(); ++v) points[v] = MPoint(xyz[3 * v], xyz[3 * v + 1], xyz[3 * v + 2]);
    return points;
}

// Keys a joint directly under the world so that it evaluates to `world` at
// `frame`: its channels are the decomposition of that matrix.
void keyWorldMatrix(const std::string& joint, double frame, const io::Matrix4& world) {
    const MMatrix m = toMMatrix(world);
    const MTransformationMatrix transform(m);
    const MEulerRotation rotation = transform.eulerRotation();
    double scale[3], shear[3];
    transform.getScale(scale, MSpace::kTransform);
    transform.getShear(shear, MSpace::kTransform);
    const std::pair<const char*, double> channels[] = {{"tx", m[3][0]},    {"ty", m[3][1]},    {"tz", m[3][2]},
                                                       {"rx", rotation.x}, {"ry", rotation.y}, {"rz", rotation.z},
                                                       {"sx", scale[0]},   {"sy", scale[1]},   {"sz", scale[2]},
                                                       {"shxy", shear[0]}, {"shxz", shear[1]}, {"shyz", shear[2]}};
    for (const auto& [channel, value] : channels) host::setKey(joint + "." + channel, frame, value);
}

}  // namespace

SceneNames buildDecompositionScene(const io::MeshAnimation& samples, std::shared_ptr<const host::PointFrames> positions,
                                   const StartingJoints& joints, const DecomposeOptions& options, double lagrangian) {
    SceneNames names;
    host::resetScene();
    host::setTimeUnit(MTime::kFilm);
    host::setCurrentTime(0.0);

    const int sampleCount = static_cast<int>(positions->frameCount());
    const int jointCount = static_cast<int>(joints.names.size());
    for (int j = 0; j < jointCount; ++j) {
        names.sourceJoints.push_back("start_" + std::to_string(j));
        // Scene names are our own: file joint names need not be valid or unique.
        names.targetJoints.push_back("joint_" + std::to_string(j));
    }
    for (int j = 0; j < jointCount; ++j) {
        host::createJoint(names.sourceJoints[j]);
        host::createJoint(names.targetJoints[j]);
    }
    keyStartingJoints(names, joints.world);

    std::vector<std::vector<int>> polygons;
    polygons.reserve(samples.triangles.size());
    for (const auto& t : samples.triangles) polygons.push_back({t[0], t[1], t[2]});
    host::createTransform(names.meshTransform);
    const bool skinned = !joints.skin.empty();
    MPointArray meshPoints;
    if (skinned)
        meshPoints = pointsOf(joints.bindPositions);
    else
        meshPoints.items() = positions->framePoints(0);
    host::createMesh(names.meshShape, names.meshTransform, meshPoints, polygons);
    if (skinned) {
        host::createSkinCluster(names.skinCluster, names.meshShape, names.sourceJoints);
        for (int j = 0; j < jointCount; ++j)
            host::setBindPreMatrix(names.skinCluster, static_cast<unsigned>(j),
                                   toMMatrix(joints.inverseBindMatrices[j]));
        std::vector<std::vector<double>> weights(joints.skin.size(), std::vector<double>(jointCount, 0.0));
        for (size_t v = 0; v < joints.skin.size(); ++v)
            for (const io::SkinInfluence& influence : joints.skin[v]) weights[v][influence.joint] += influence.weight;
        host::setSkinWeights(names.skinCluster, weights);
    } else {
        host::setSharedPointCache(names.meshShape, std::move(positions), 0.0, MTime::kFilm);
    }

    StorageNodeSettings settings;
    settings.frames.resize(static_cast<size_t>(sampleCount));
    for (int s = 0; s < sampleCount; ++s) settings.frames[s] = s;
    settings.sourceJoints = names.sourceJoints;
    settings.maxIteration = options.iterations;
    settings.iterationFullSolver = options.fullSolverIterations;
    settings.updateRestMatrices = options.updateRest;
    settings.rigidMatrices = !options.affine;
    settings.errorPercentBreak = options.breakPercent;
    settings.setMatrices = true;
    settings.targetJoints = names.targetJoints;
    settings.vertexIds.resize(static_cast<size_t>(samples.vertexCount));
    for (int v = 0; v < samples.vertexCount; ++v) settings.vertexIds[v] = v;
    settings.maxInfluence = options.influences;
    settings.constraintWeight = lagrangian;
    settings.shape = names.meshShape;
    settings.existingSkinCluster = skinned ? names.skinCluster : "";
    settings.maxCPU = options.threads;
    createStorageNode(names.storageNode, settings);
    return names;
}

void keyStartingJoints(const SceneNames& names, const std::vector<std::vector<io::Matrix4>>& world) {
    for (size_t s = 0; s < world.size(); ++s)
        for (size_t j = 0; j < names.sourceJoints.size(); ++j)
            keyWorldMatrix(names.sourceJoints[j], static_cast<double>(s), world[s][j]);
}

void setIterationSettings(const SceneNames& names, int iterations, int fullSolverIterations, double breakPercent) {
    host::setInt(names.storageNode + ".maxIteration", iterations);
    host::setInt(names.storageNode + ".iterationFullSolver", fullSolverIterations);
    host::setDouble(names.storageNode + ".errorPercentBreak", breakPercent);
}

std::string decompositionCommand(const SceneNames& names) {
    return "vantrel -storageNode " + names.storageNode + " " + names.meshTransform;
}

SolvedRig readSolvedRig(const SceneNames& names, int vertexCount, int sampleCount) {
    SolvedRig rig;
    const std::string& node = names.storageNode;
    rig.commandError = host::getDouble(node + ".error");
    rig.iterationsDone = host::getInt(node + ".iterationDone");
    rig.influences.resize(static_cast<size_t>(vertexCount));
    for (int v = 0; v < vertexCount; ++v) {
        const std::string index = "[" + std::to_string(v) + "]";
        const std::vector<int> bones = host::getIntArray(node + ".weightIds" + index);
        const std::vector<double> weights = host::getDoubleArray(node + ".weights" + index);
        for (size_t k = 0; k < bones.size() && k < weights.size(); ++k)
            if (weights[k] > 0.0) rig.influences[v].push_back({bones[k], weights[k]});
    }
    const size_t jointCount = names.targetJoints.size();
    rig.boneWorld.assign(static_cast<size_t>(sampleCount), std::vector<io::Matrix4>(jointCount));
    for (int s = 0; s < sampleCount; ++s) {
        host::setCurrentTime(static_cast<double>(s));
        for (size_t j = 0; j < jointCount; ++j)
            rig.boneWorld[s][j] = toMatrix4(host::worldMatrix(names.targetJoints[j]));
    }
    rig.bindingMatrices.resize(jointCount);
    for (size_t j = 0; j < jointCount; ++j)
        rig.bindingMatrices[j] = toMatrix4(toMMatrix(rig.boneWorld[0][j]).inverse());
    host::setCurrentTime(0.0);
    return rig;
}

}  // namespace vantrel::cli
