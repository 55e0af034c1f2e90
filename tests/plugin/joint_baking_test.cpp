// Keying solved matrices onto target joints: whatever the rotation order,
// joint orientation, parent and list order, the keyed joints evaluate to the
// solved world matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include <host/scene.h>
#include <host/session.h>
#include <maya/MEulerRotation.h>
#include <maya/MFnAnimCurve.h>

#include "output/joint_baking.h"
#include "plugin_scene.h"

namespace {

MMatrix rotation(double x, double y, double z) { return MEulerRotation(x, y, z, MEulerRotation::kXYZ).asMatrix(); }

// A random world matrix: rotation and translation, with scale and shear when
// `affine`.
MMatrix randomWorld(std::mt19937& rng, bool affine) {
    std::uniform_real_distribution<double> angle(-2.5, 2.5), offset(-3.0, 3.0), scale(0.5, 1.8), shear(-0.4, 0.4);
    MMatrix m = rotation(angle(rng), angle(rng), angle(rng));
    if (affine) {
        MMatrix s;
        s[0][0] = scale(rng), s[1][1] = scale(rng), s[2][2] = scale(rng);
        s[1][0] = shear(rng), s[2][0] = shear(rng), s[2][1] = shear(rng);
        m = s * m;
    }
    m[3][0] = offset(rng), m[3][1] = offset(rng), m[3][2] = offset(rng);
    return m;
}

struct BakeCase {
    bool affine;
    bool childFirst;
};

class JointBaking : public testing::TestWithParam<BakeCase> {};

}  // namespace

TEST_P(JointBaking, KeyedJointsEvaluateToTheSolvedMatrices) {
    const BakeCase param = GetParam();
    host::resetScene();
    host::setMessageEcho(false);
    // A keyed parent that is not a target, a static parent, and a target
    // parent; every rotation order; orientations on some joints.
    host::createTransform("mover");
    host::setKey("mover.ty", 0.0, 0.0);
    host::setKey("mover.ty", 3.0, 2.0);
    host::setKey("mover.rx", 0.0, 0.0);
    host::setKey("mover.rx", 3.0, 1.0);
    host::createTransform("still");
    host::setDouble("still.tz", 4.0);
    host::setDouble("still.ry", 0.5);
    const MTransformationMatrix::RotationOrder orders[] = {MTransformationMatrix::kXYZ, MTransformationMatrix::kYZX,
                                                           MTransformationMatrix::kZXY, MTransformationMatrix::kXZY,
                                                           MTransformationMatrix::kYXZ, MTransformationMatrix::kZYX};
    const std::string parents[] = {"mover", "still", "", "b0", "b1", "b3"};
    for (int j = 0; j < 6; ++j) {
        const MVector orient = (j % 2) ? MVector(0.3 * j, -0.2, 0.1 * j) : MVector();
        host::createJoint("b" + std::to_string(j), parents[j], orders[j], orient);
    }
    host::setKey("b2.rx", 0.0, 1.0);  // an existing input to cut

    std::mt19937 rng(param.affine ? 11 : 7);
    DecompositionState state;
    Inputs& in = state.inputs;
    in.J = 6;
    in.F = 3;
    in.restFrame = 0.0;
    in.shapeFrames.setLength(3);
    in.shapeFrames[0] = 2.0, in.shapeFrames[1] = 1.0, in.shapeFrames[2] = 3.0;
    in.rigidMatrices = !param.affine;
    for (int j = 0; j < 6; ++j) in.targetJoints.push_back(MString(("b" + std::to_string(j)).c_str()));
    if (param.childFirst) std::reverse(in.targetJoints.begin(), in.targetJoints.end());
    state.solver.bindingMatrices.resize(6);
    state.solver.boneTransforms.assign(3, std::vector<MMatrix>(6));
    for (int j = 0; j < 6; ++j) state.solver.bindingMatrices[j] = randomWorld(rng, param.affine).inverse();
    for (int f = 0; f < 3; ++f)
        for (int j = 0; j < 6; ++j) state.solver.boneTransforms[f][j] = randomWorld(rng, param.affine);

    host::setCurrentTime(5.0);
    bakeTargetJoints(state);
    EXPECT_DOUBLE_EQ(host::currentFrame(), 3.0);  // the caller restores the time

    const unsigned curvesPerJoint = param.affine ? 12 : 6;
    for (int j = 0; j < 6; ++j) {
        const std::string name = in.targetJoints[j].asChar();
        unsigned curves = 0;
        for (const char* channel : {"tx", "ty", "tz", "rx", "ry", "rz", "sx", "sy", "sz", "shxy", "shxz", "shyz"}) {
            const std::string source = host::inputOf(name + "." + channel);
            if (source.empty()) continue;
            ++curves;
            EXPECT_EQ(MFnAnimCurve(host::nodeObject(source.substr(0, source.find('.')))).numKeys(), 4u);
        }
        EXPECT_EQ(curves, curvesPerJoint) << name;
    }
    host::setCurrentTime(in.restFrame);
    for (int j = 0; j < 6; ++j) {
        const MMatrix expected = state.solver.bindingMatrices[j].inverse();
        EXPECT_TRUE(host::worldMatrix(in.targetJoints[j].asChar()).isEquivalent(expected, 1e-9)) << "rest " << j;
    }
    for (int f = 0; f < 3; ++f) {
        host::setCurrentTime(in.shapeFrames[f]);
        for (int j = 0; j < 6; ++j) {
            const MMatrix& expected = state.solver.boneTransforms[f][j];
            EXPECT_TRUE(host::worldMatrix(in.targetJoints[j].asChar()).isEquivalent(expected, 1e-9))
                << "joint " << in.targetJoints[j] << " frame " << in.shapeFrames[f];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllCases, JointBaking,
                         testing::Values(BakeCase{false, false}, BakeCase{false, true}, BakeCase{true, false},
                                         BakeCase{true, true}),
                         [](const testing::TestParamInfo<BakeCase>& caseInfo) {
                             return std::string(caseInfo.param.affine ? "Affine" : "Rigid") +
                                    (caseInfo.param.childFirst ? "ChildrenFirst" : "ParentsFirst");
                         });
