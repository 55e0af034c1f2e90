#include "output/joint_baking.h"

#include <functional>

#include <maya/MAnimControl.h>
#include <maya/MDGModifier.h>
#include <maya/MDagPath.h>
#include <maya/MEulerRotation.h>
#include <maya/MFnAnimCurve.h>
#include <maya/MFnDagNode.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MFnTransform.h>
#include <maya/MPlug.h>
#include <maya/MPlugArray.h>
#include <maya/MTransformationMatrix.h>

#include "input/node_lookup.h"

namespace {

const char* const kDisconnectedChannels[] = {"t", "tx", "ty", "tz", "r",  "rx",   "ry",   "rz",
                                             "s", "sx", "sy", "sz", "sh", "shxy", "shxz", "shyz"};
const char* const kAffineChannels[] = {"tx", "ty", "tz", "rx", "ry", "rz", "sx", "sy", "sz", "shxy", "shxz", "shyz"};
const int kRigidChannelCount = 6;
const int kAffineChannelCount = 12;

// Transform rotation order (1-based, XYZ = 1) to Euler order (0-based).
int eulerOrderOf(int transformOrder) {
    switch (transformOrder) {
        case 1: return 0;
        case 2: return 1;
        case 3: return 2;
        case 4: return 3;
        case 5: return 4;
        default: return 5;
    }
}

// The joint orientation as a matrix; identity for plain transforms.
MMatrix jointOrientOf(const MObject& joint) {
    MFnDependencyNode node(joint);
    MStatus sx, sy, sz;
    const MPlug x = node.findPlug("jox", true, &sx);
    const MPlug y = node.findPlug("joy", true, &sy);
    const MPlug z = node.findPlug("joz", true, &sz);
    if (!sx || !sy || !sz) return MMatrix();
    return MEulerRotation(x.asDouble(), y.asDouble(), z.asDouble(), MEulerRotation::kXYZ).asMatrix();
}

// The visiting order of the joints: list order, except that a joint comes
// after every listed joint above it, so a parent's keys are in place before a
// child's local matrix is taken relative to it.
std::vector<int> parentsFirstOrder(const std::vector<MDagPath>& paths) {
    const int count = static_cast<int>(paths.size());
    std::vector<int> order;
    std::vector<bool> placed(paths.size(), false);
    std::vector<bool> visiting(paths.size(), false);
    // Index of a listed joint by node, for the walk up the hierarchy.
    auto listedIndexOf = [&](const MObject& node) {
        for (int k = 0; k < count; ++k)
            if (!node.isNull() && paths[k].node() == node) return k;
        return -1;
    };
    std::function<void(int)> place = [&](int i) {
        if (placed[i] || visiting[i]) return;
        visiting[i] = true;
        if (!paths[i].node().isNull()) {
            MObject ancestor = MFnDagNode(paths[i].node()).parent(0);
            while (!ancestor.isNull() && ancestor.hasFn(MFn::kTransform)) {
                const int listed = listedIndexOf(ancestor);
                if (listed >= 0) {
                    place(listed);
                    break;
                }
                ancestor = MFnDagNode(ancestor).parent(0);
            }
        }
        placed[i] = true;
        order.push_back(i);
    };
    for (int i = 0; i < count; ++i) place(i);
    return order;
}

}  // namespace

void keyJointMatrix(const MMatrix& local, const MObjectArray& curves, int eulerOrder, const MMatrix& jointOrient,
                    const MTime& time) {
    // A joint composes S * Sh * R * JO * T: key the rotation that, followed
    // by its orientation, gives the solved linear part.
    MMatrix channels = local;
    if (!jointOrient.isEquivalent(MMatrix(), 0.0)) {
        const MMatrix orientInverse = jointOrient.inverse();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                channels[r][c] = local[r][0] * orientInverse[0][c] + local[r][1] * orientInverse[1][c] +
                                 local[r][2] * orientInverse[2][c];
    }
    const MTransformationMatrix transform(channels);
    MEulerRotation rotation = transform.eulerRotation();
    if (eulerOrder != 0) rotation.reorderIt(static_cast<MEulerRotation::RotationOrder>(eulerOrder));

    double values[kAffineChannelCount] = {channels[3][0], channels[3][1], channels[3][2],
                                          rotation.x,     rotation.y,     rotation.z};
    if (curves.length() == static_cast<unsigned int>(kAffineChannelCount)) {
        transform.getScale(values + 6, MSpace::kTransform);
        transform.getShear(values + 9, MSpace::kTransform);
    }
    for (unsigned int c = 0; c < curves.length(); ++c) {
        MFnAnimCurve curve(curves[c]);
        curve.addKey(time, values[c], MFnAnimCurve::kTangentGlobal, MFnAnimCurve::kTangentGlobal);
    }
}

void bakeTargetJoints(const DecompositionState& state) {
    const Inputs& in = state.inputs;
    const SolverState& solver = state.solver;
    const int J = in.J;

    MObjectArray joints;
    findNodesByName(in.targetJoints, MFn::kJoint, joints);

    std::vector<MDagPath> jointPaths(J), parentPaths(J);
    const MTime::Unit unit = MTime::uiUnit();
    const MTime restTime(in.restFrame, unit);
    MAnimControl::setCurrentTime(restTime);

    MDGModifier modifier;
    for (int i = 0; i < J; ++i) {
        MFnDagNode dagNode(joints[i]);
        dagNode.getPath(jointPaths[i]);
        MFnDagNode(dagNode.parent(0)).getPath(parentPaths[i]);

        MFnDependencyNode node(joints[i]);
        for (const char* name : kDisconnectedChannels) {
            MPlug plug = node.findPlug(name, true);
            MPlugArray sources;
            if (plug.connectedTo(sources, true, false) && sources.length() > 0) modifier.disconnect(sources[0], plug);
        }
    }
    modifier.doIt();

    const int channelCount = in.rigidMatrices ? kRigidChannelCount : kAffineChannelCount;
    std::vector<int> eulerOrders(J, 0);
    std::vector<MMatrix> jointOrients(J);
    std::vector<MObjectArray> curves(J);
    const std::vector<int> order = parentsFirstOrder(jointPaths);

    for (const int i : order) {
        MFnTransform transform(jointPaths[i]);
        eulerOrders[i] = eulerOrderOf(static_cast<int>(transform.rotationOrder()));
        jointOrients[i] = jointOrientOf(joints[i]);

        MFnDependencyNode node(joints[i]);
        for (int c = 0; c < channelCount; ++c) {
            MPlug plug = node.findPlug(kAffineChannels[c], true);
            if (!plug.isKeyable()) plug.setKeyable(true);
            // Appended even when creation fails, so curve c stays channel c.
            MFnAnimCurve curve;
            curves[i].append(curve.create(plug, nullptr));
        }
        const MMatrix local = solver.bindingMatrices[i].inverse() * parentPaths[i].inclusiveMatrixInverse();
        keyJointMatrix(local, curves[i], eulerOrders[i], jointOrients[i], restTime);
    }

    for (int f = 0; f < in.F; ++f) {
        const MTime time(in.shapeFrames[f], unit);
        MAnimControl::setCurrentTime(time);
        for (const int j : order) {
            const MMatrix local = solver.boneTransforms[f][j] * parentPaths[j].inclusiveMatrixInverse();
            keyJointMatrix(local, curves[j], eulerOrders[j], jointOrients[j], time);
        }
    }
}
