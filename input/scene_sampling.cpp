#include "input/scene_sampling.h"

#include <cmath>

#include <maya/MAnimControl.h>
#include <maya/MBoundingBox.h>
#include <maya/MFnDagNode.h>
#include <maya/MFnMesh.h>
#include <maya/MGlobal.h>
#include <maya/MTime.h>

void sampleScene(DecompositionState& state, const MDagPath& shapePath, const MObjectArray& jointNodes,
                 std::vector<MDagPath>& jointPaths) {
    Inputs& in = state.inputs;
    SolverState& solver = state.solver;
    const MTime::Unit unit = MTime::uiUnit();
    state.savedTime = MAnimControl::currentTime();

    MAnimControl::setCurrentTime(MTime(in.restFrame, unit));
    MFnMesh(shapePath).getPoints(in.restPoints, MSpace::kWorld);

    jointPaths.assign(static_cast<size_t>(in.J), MDagPath());
    solver.bindingMatrices.resize(static_cast<size_t>(in.J));
    for (int32_t j = 0; j < in.J; ++j) {
        MFnDagNode(jointNodes[j]).getPath(jointPaths[j]);
        solver.bindingMatrices[j] = jointPaths[j].inclusiveMatrixInverse();
    }

    in.shapePoints.resize(static_cast<size_t>(in.F));
    solver.boneTransforms.resize(static_cast<size_t>(in.F));
    in.diagonalSum = 0.0;
    for (int32_t f = 0; f < in.F; ++f) {
        MAnimControl::setCurrentTime(MTime(in.shapeFrames[f], unit));
        MFnMesh(shapePath).getPoints(in.shapePoints[f], MSpace::kWorld);

        const MMatrix world = shapePath.inclusiveMatrix();
        MBoundingBox box = MFnDagNode(shapePath).boundingBox();
        box.transformUsing(world);
        const MVector diagonal = box.max() - box.min();
        in.diagonalSum += std::sqrt(diagonal.x * diagonal.x + diagonal.y * diagonal.y + diagonal.z * diagonal.z);

        solver.boneTransforms[f].resize(static_cast<size_t>(in.J));
        for (int32_t j = 0; j < in.J; ++j) solver.boneTransforms[f][j] = jointPaths[j].inclusiveMatrix();
    }
}

MStatus checkSampledPoints(const DecompositionState& state) {
    const Inputs& in = state.inputs;
    const unsigned int pointCount = in.restPoints.length();
    for (int32_t f = 0; f < in.F; ++f) {
        if (in.shapePoints[f].length() != pointCount) {
            // The host's strings take a double only by +=.
            MString message("Point count at frame ");
            message += in.shapeFrames[f];
            MGlobal::displayError(message + " (" + in.shapePoints[f].length() + ") differs from the rest frame (" +
                                  pointCount + ")");
            return MS::kFailure;
        }
    }
    for (unsigned int j = 0; j < in.vertexIds.length(); ++j) {
        const int id = in.vertexIds[j];
        if (id < 0 || static_cast<unsigned int>(id) >= pointCount) {
            MGlobal::displayError(MString("Vertex id ") + id + " is outside the mesh (" + pointCount + " vertices)");
            return MS::kFailure;
        }
    }
    return MS::kSuccess;
}
