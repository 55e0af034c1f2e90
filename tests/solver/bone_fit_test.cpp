#include <cmath>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <Eigen/Dense>

#include "known_rig.h"
#include "log_capture.h"
#include "solver/binding_update.h"
#include "solver/bone_solver.h"
#include "solver/fit_kernels.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Matrix3Xd;
using Eigen::RowVector3d;

// The centred inputs of one bone's fit when the bone is the only influence:
// residuals are the targets scaled by nothing but the data itself.
struct FitInput {
    Matrix3Xd P, Q;
    RowVector3d cs, ct;
};

FitInput centre(const Matrix3Xd& rest, const Matrix3Xd& residual, const Eigen::VectorXd& w) {
    FitInput in;
    const double s2 = w.squaredNorm();
    in.cs = (rest * w.cwiseProduct(w)).transpose() / s2;
    in.ct = (residual * w).transpose() / s2;
    in.P.resize(3, rest.cols());
    in.Q.resize(3, rest.cols());
    for (Eigen::Index i = 0; i < rest.cols(); ++i) {
        in.P.col(i) = w[i] * (rest.col(i) - in.cs.transpose());
        in.Q.col(i) = residual.col(i) - w[i] * in.ct.transpose();
    }
    return in;
}

Matrix3d linear(const MMatrix& m) {
    Matrix3d a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a(r, c) = m[r][c];
    return a;
}

RowVector3d translationOf(const MMatrix& m) { return RowVector3d(m[3][0], m[3][1], m[3][2]); }

bool isFiniteMatrix(const MMatrix& m) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(m[r][c])) return false;
    return true;
}

Matrix3d rotation(const Eigen::Vector3d& axis, double angle) {
    // Row-vector convention: the transpose of the column-vector rotation.
    return Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix().transpose();
}

// Rest positions and, per vertex, the bone's share w_i * (p_i * X + t).
void mapPoints(const Matrix3Xd& rest, const Eigen::VectorXd& w, const Matrix3d& X, const RowVector3d& t,
               Matrix3Xd* residual) {
    residual->resize(3, rest.cols());
    for (Eigen::Index i = 0; i < rest.cols(); ++i)
        residual->col(i) = w[i] * (rest.col(i).transpose() * X + t).transpose();
}

TEST(RigidFit, RecoversRotationAndTranslationExactly) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (bool unitWeights : {true, false}) {
        Matrix3Xd rest = Matrix3Xd::NullaryExpr(3, 12, [&]() { return u(rng); });
        Eigen::VectorXd w = Eigen::VectorXd::Ones(12);
        if (!unitWeights) w = Eigen::VectorXd::NullaryExpr(12, [&]() { return 0.2 + 0.5 * (u(rng) + 1); });
        const Matrix3d A = rotation(Eigen::Vector3d(0.3, -1.0, 0.4), 2.2);
        const RowVector3d t(4.0, -2.0, 0.5);
        Matrix3Xd residual;
        mapPoints(rest, w, A, t, &residual);
        const FitInput in = centre(rest, residual, w);
        const MMatrix M = fitRigid(in.P, in.Q, in.cs, in.ct);
        EXPECT_LT((linear(M) - A).cwiseAbs().maxCoeff(), 1e-12);
        EXPECT_LT((translationOf(M) - t).cwiseAbs().maxCoeff(), 1e-12);
        EXPECT_EQ(M[0][3], 0.0);
        EXPECT_EQ(M[3][3], 1.0);
    }
}

// |Q^T - P^T A|^2: what the rigid fit's linear part minimises.
double fitResidual(const FitInput& in, const Matrix3d& A) {
    return (in.Q.transpose() - in.P.transpose() * A).squaredNorm();
}

// A rotation about `axis` by `angle` applied after A (row-vector order).
Matrix3d turned(const Matrix3d& A, const Eigen::Vector3d& axis, double angle) { return A * rotation(axis, angle); }

TEST(RigidFit, FlatRegionsInEveryOrientationGetTheLeastSquaresRotation) {
    // Rest positions on a plane (or within 1e-6 of one), targets rotated,
    // shifted and noisy. Where V U^T is a reflection, the least-squares
    // rotation turns the singular pair of the smallest singular value, that
    // is the plane's normal: negating a fixed axis instead is right only
    // when the normal happens to be that axis.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.01);
    const Eigen::Vector3d normals[] = {Eigen::Vector3d::UnitX(), Eigen::Vector3d::UnitY(), Eigen::Vector3d::UnitZ(),
                                       Eigen::Vector3d(1.0, 2.0, 2.0) / 3.0};
    const char* names[] = {"x", "y", "z", "oblique"};
    for (int o = 0; o < 4; ++o) {
        const Eigen::Vector3d n = normals[o];
        const Eigen::Vector3d e1 = n.unitOrthogonal(), e2 = n.cross(e1);
        int reflections = 0;
        for (int trial = 0; trial < 100; ++trial) {
            const double thickness = trial % 2 == 0 ? 0.0 : 1e-6;
            const int count = 20;
            Matrix3Xd rest(3, count);
            for (int i = 0; i < count; ++i)
                rest.col(i) =
                    Eigen::Vector3d(5.0, -3.0, 2.0) + u(rng) * e1 + 0.5 * u(rng) * e2 + thickness * u(rng) * n;
            const Eigen::VectorXd w = Eigen::VectorXd::NullaryExpr(count, [&]() { return 0.6 + 0.4 * u(rng); });
            const Matrix3d truth = rotation(Eigen::Vector3d(u(rng), u(rng), u(rng)), 3.0 * u(rng));
            Matrix3Xd residual;
            mapPoints(rest, w, truth, RowVector3d(u(rng), u(rng), u(rng)), &residual);
            for (int i = 0; i < count; ++i) residual.col(i) += Eigen::Vector3d(noise(rng), noise(rng), noise(rng));
            const FitInput in = centre(rest, residual, w);
            const Eigen::JacobiSVD<Eigen::MatrixXd> svd(Eigen::MatrixXd(in.P * in.Q.transpose()),
                                                        Eigen::ComputeThinU | Eigen::ComputeThinV);
            if ((svd.matrixV() * svd.matrixU().transpose()).determinant() < 0) ++reflections;

            const Matrix3d A = linear(fitRigid(in.P, in.Q, in.cs, in.ct));
            const std::string what = std::string(names[o]) + " trial " + std::to_string(trial);
            EXPECT_LT((A.transpose() * A - Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-12) << what;
            EXPECT_NEAR(A.determinant(), 1.0, 1e-12) << what;
            // No rotation does better: not the true one, not a small turn of
            // the fit about any axis (it is a minimum), not a fixed axis of
            // the fit negated in the other factor.
            const double best = fitResidual(in, A);
            const double slack = 1e-12 * (in.Q.squaredNorm() + in.P.squaredNorm());
            EXPECT_LE(best, fitResidual(in, truth) + slack) << what;
            for (int axis = 0; axis < 3; ++axis)
                for (double angle : {-1e-3, 1e-3})
                    EXPECT_LE(best, fitResidual(in, turned(A, Eigen::Vector3d::Unit(axis), angle)) + slack) << what;
            Matrix3d thirdRowNegated = svd.matrixU() * svd.matrixV().transpose();
            thirdRowNegated.row(2) = -thirdRowNegated.row(2);
            if (thirdRowNegated.determinant() > 0) {
                EXPECT_LE(best, fitResidual(in, thirdRowNegated) + slack) << what;
            }
            // The noise is small: the fit is near the true rotation.
            EXPECT_LT((A - truth).cwiseAbs().maxCoeff(), 0.05) << what;
            // The translation belongs to that linear part: t = c_t - c_s * A.
            const MMatrix M = fitRigid(in.P, in.Q, in.cs, in.ct);
            EXPECT_LT((translationOf(M) - (in.ct - in.cs * A)).cwiseAbs().maxCoeff(), 1e-12) << what;
        }
        // The decomposition meets reflections in a good share of the cases,
        // or this test would not exercise the correction.
        EXPECT_GT(reflections, 20) << names[o];
    }
}

TEST(RigidFit, ReflectedTargetsGetTheRotationNearestTheReflection) {
    // Targets that are a mirror image of a spread-out rest set: V U^T is the
    // mirror itself (det -1). The best rotation keeps the two directions of
    // the largest spread and turns the third, the least spread one.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int count = 40;
    Matrix3Xd rest(3, count);
    for (int i = 0; i < count; ++i) rest.col(i) = Eigen::Vector3d(3.0 * u(rng), 2.0 * u(rng), 0.5 * u(rng));
    const Matrix3d spin = rotation(Eigen::Vector3d(0.2, 0.7, -0.4), 1.1);
    rest = spin.transpose() * rest;  // the spread's axes, turned off the coordinate axes
    const Eigen::Vector3d n = Eigen::Vector3d(0.3, -0.5, 0.8).normalized();
    const Matrix3d mirror = Matrix3d::Identity() - 2.0 * n * n.transpose();
    const Eigen::VectorXd w = Eigen::VectorXd::Ones(count);
    Matrix3Xd residual;
    mapPoints(rest, w, mirror, RowVector3d(1, 2, 3), &residual);
    const FitInput in = centre(rest, residual, w);
    const Matrix3d A = linear(fitRigid(in.P, in.Q, in.cs, in.ct));
    EXPECT_NEAR(A.determinant(), 1.0, 1e-12);
    // mirror * diag-flip of the least spread axis: the mirror followed by a
    // reflection through the plane of the two largest spreads.
    // The rest set's least spread direction, close to spin's third row.
    const Eigen::SelfAdjointEigenSolver<Matrix3d> spread(in.P * in.P.transpose());
    const Eigen::Vector3d least = spread.eigenvectors().col(0);
    ASSERT_GT(std::abs(least.dot(spin.row(2).transpose())), 0.99);
    const Matrix3d expected = (Matrix3d::Identity() - 2.0 * least * least.transpose()) * mirror;
    EXPECT_NEAR(expected.determinant(), 1.0, 1e-12);
    EXPECT_LT((A - expected).cwiseAbs().maxCoeff(), 1e-10);
    // Negating the fit's third row instead (a fixed axis) leaves far more.
    Matrix3d fixedAxis = mirror;
    fixedAxis.row(2) = -fixedAxis.row(2);
    EXPECT_NEAR(fixedAxis.determinant(), 1.0, 1e-12);
    EXPECT_LT(fitResidual(in, A), 0.5 * fitResidual(in, fixedAxis));
}

TEST(RigidFit, SingleVertexGivesIdentityAndTheOffset) {
    Matrix3Xd rest(3, 1), residual(3, 1);
    rest << 1.0, 2.0, 3.0;
    residual << -4.0, 0.5, 7.0;
    const FitInput in = centre(rest, residual, Eigen::VectorXd::Ones(1));
    EXPECT_EQ(in.P, Matrix3Xd::Zero(3, 1));
    const MMatrix M = fitRigid(in.P, in.Q, in.cs, in.ct);
    EXPECT_EQ(linear(M), Matrix3d::Identity());
    EXPECT_LT((translationOf(M) - RowVector3d(-5.0, -1.5, 4.0)).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(AffineFit, RecoversAnAffineMapFromFourOrMorePoints) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix3d X;
    X << 1.2, 0.3, -0.4, 0.1, 0.8, 0.2, -0.5, 0.0, 1.5;
    const RowVector3d t(-1.0, 3.0, 0.25);
    for (int n : {4, 5, 40}) {
        const Matrix3Xd rest = Matrix3Xd::NullaryExpr(3, n, [&]() { return u(rng); });
        const Eigen::VectorXd w = Eigen::VectorXd::NullaryExpr(n, [&]() { return 0.3 + 0.3 * (u(rng) + 1); });
        Matrix3Xd residual;
        mapPoints(rest, w, X, t, &residual);
        const FitInput in = centre(rest, residual, w);
        const MMatrix M = fitAffine(in.P, in.Q, in.cs, in.ct);
        EXPECT_LT((linear(M) - X).cwiseAbs().maxCoeff(), 1e-10) << n;
        EXPECT_LT((translationOf(M) - t).cwiseAbs().maxCoeff(), 1e-10) << n;
    }
}

TEST(AffineFit, DegenerateVertexSetsGiveFiniteFitsThatStillMatchTheData) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix3d X;
    X << 0.9, 0.2, 0.1, -0.3, 1.1, 0.0, 0.2, 0.4, 0.7;
    const RowVector3d t(2.0, -1.0, 5.0);
    const Eigen::Vector3d a(1.0, 2.0, -1.0), d1(0.3, -0.2, 0.9), d2(-1.0, 0.5, 0.2);
    struct Case {
        const char* name;
        Matrix3Xd rest;
    };
    std::vector<Case> cases;
    for (int n : {1, 2, 3}) cases.push_back({"few", Matrix3Xd::NullaryExpr(3, n, [&]() { return u(rng); })});
    Matrix3Xd plane(3, 30), line(3, 30), same(3, 30);
    for (int i = 0; i < 30; ++i) {
        // Offsets far from the origin so a blown-up normal would show.
        plane.col(i) = 1000.0 * a + u(rng) * d1 + u(rng) * d2;
        line.col(i) = 1000.0 * a + u(rng) * d1;
        same.col(i) = a;
    }
    cases.push_back({"coplanar", plane});
    cases.push_back({"collinear", line});
    cases.push_back({"coincident", same});
    for (const Case& c : cases) {
        const Eigen::Index n = c.rest.cols();
        const Eigen::VectorXd w = Eigen::VectorXd::NullaryExpr(n, [&]() { return 0.5 + 0.2 * u(rng); });
        Matrix3Xd residual;
        mapPoints(c.rest, w, X, t, &residual);
        const FitInput in = centre(c.rest, residual, w);
        const MMatrix M = fitAffine(in.P, in.Q, in.cs, in.ct);
        ASSERT_TRUE(isFiniteMatrix(M)) << c.name;
        EXPECT_EQ(M[0][3], 0.0);
        EXPECT_EQ(M[3][3], 1.0);
        // Wherever the data pins the map down, the fit reproduces it.
        for (Eigen::Index i = 0; i < n; ++i) {
            const RowVector3d mapped = c.rest.col(i).transpose() * linear(M) + translationOf(M);
            EXPECT_LT((w[i] * mapped - residual.col(i).transpose()).norm(), 1e-8) << c.name << " vertex " << i;
        }
    }
    // With no spanned direction at all the map across is the rigid one.
    const FitInput in = centre(same, same, Eigen::VectorXd::Ones(30));
    EXPECT_EQ(fitAffine(in.P, in.Q, in.cs, in.ct), fitRigid(in.P, in.Q, in.cs, in.ct));
}

// Two bones over a small mesh; each listed vertex has bone 0 or bone 1 only,
// or both with the given split.
struct TwoBoneScene {
    DecompositionState state;
    std::vector<int32_t> ids;
};

TwoBoneScene twoBoneScene(bool rigid) {
    TwoBoneScene s{blankState(2, 2, 20), {}};
    Inputs& in = s.state.inputs;
    in.rigidMatrices = rigid;
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int id = 0; id < 20; ++id) in.restPoints[static_cast<unsigned>(id)] = MPoint(u(rng), u(rng), u(rng));
    // Rest world matrices with rotation, so binding and transform both matter.
    const double axis[3] = {1.0, 0.0, 1.0};
    const double t0[3] = {0.5, 0.0, 0.0}, t1[3] = {-0.5, 1.0, 0.0};
    s.state.solver.bindingMatrices[0] = rigidMatrix(axis, 0.4, t0).inverse();
    s.state.solver.bindingMatrices[1] = rigidMatrix(axis, -0.9, t1).inverse();
    for (int id = 2; id < 18; ++id) {
        in.vertexIds.append(id);
        s.ids.push_back(id);
    }
    return s;
}

TEST(BoneStep, RecoversBoneTransformsOfVerticesWithASingleInfluence) {
    for (bool rigid : {true, false}) {
        TwoBoneScene s = twoBoneScene(rigid);
        DecompositionState& state = s.state;
        const double axis[3] = {0.2, 1.0, -0.3};
        const double shift[3] = {1.0, 2.0, 3.0};
        std::vector<std::vector<MMatrix>> truth(2, std::vector<MMatrix>(2));
        for (int f = 0; f < 2; ++f)
            for (int g = 0; g < 2; ++g)
                truth[f][g] = state.solver.bindingMatrices[g].inverse() * rigidMatrix(axis, 0.3 + f + g, shift);
        std::map<int32_t, std::vector<double>> weights;
        for (int32_t id : s.ids) {
            const int g = id % 2;
            state.solver.vertexInfluences[id] = {g};
            state.solver.vertexWeights[id] = {1.0};
            weights[id] = g == 0 ? std::vector<double>{1.0, 0.0} : std::vector<double>{0.0, 1.0};
            state.solver.boneVertices.resize(2);
            state.solver.boneVertexSlots.resize(2);
            state.solver.boneVertices[g].push_back(id);
            state.solver.boneVertexSlots[g].push_back(0);
        }
        resampleShapes(state, weights, truth);
        solveBones(state);
        for (int f = 0; f < 2; ++f)
            for (int g = 0; g < 2; ++g)
                EXPECT_TRUE(state.solver.boneTransforms[f][g].isEquivalent(truth[f][g], 1e-10))
                    << "rigid " << rigid << " shape " << f << " bone " << g;
    }
}

TEST(BoneStep, LaterBonesAreFittedAgainstThisSweepsEarlierFits) {
    // Every vertex split 0.3 / 0.7 over both bones; only bone 0 starts off
    // the truth. Bone 0 is fitted against bone 1's (true) transform and comes
    // out exact; bone 1 is then fitted against bone 0's new transform, so it
    // is exact too. Fitting it against bone 0's old transform would not be.
    TwoBoneScene s = twoBoneScene(false);
    DecompositionState& state = s.state;
    const double axis[3] = {0.2, 1.0, -0.3};
    const double shift[3] = {1.0, 2.0, 3.0};
    std::vector<std::vector<MMatrix>> truth(2, std::vector<MMatrix>(2));
    for (int f = 0; f < 2; ++f)
        for (int g = 0; g < 2; ++g) truth[f][g] = rigidMatrix(axis, 0.5 * (f + 1) - g, shift);
    std::map<int32_t, std::vector<double>> weights;
    state.solver.boneVertices.assign(2, {});
    state.solver.boneVertexSlots.assign(2, {});
    for (int32_t id : s.ids) {
        state.solver.vertexInfluences[id] = {1, 0};
        state.solver.vertexWeights[id] = {0.7, 0.3};
        weights[id] = {0.3, 0.7};
        state.solver.boneVertices[0].push_back(id);
        state.solver.boneVertexSlots[0].push_back(1);
        state.solver.boneVertices[1].push_back(id);
        state.solver.boneVertexSlots[1].push_back(0);
    }
    resampleShapes(state, weights, truth);
    state.solver.boneTransforms = truth;
    const double tilt[3] = {1.0, 0.0, 0.0};
    const double nudge[3] = {0.1, -0.2, 0.05};
    for (int f = 0; f < 2; ++f) state.solver.boneTransforms[f][0] = rigidMatrix(tilt, 0.2, nudge) * truth[f][0];
    solveBones(state);
    for (int f = 0; f < 2; ++f)
        for (int g = 0; g < 2; ++g) EXPECT_TRUE(state.solver.boneTransforms[f][g].isEquivalent(truth[f][g], 1e-10));
}

TEST(BoneStep, SkipsBonesWithoutWeightAndKeepsFiniteTransforms) {
    TwoBoneScene s = twoBoneScene(true);
    DecompositionState& state = s.state;
    state.solver.boneVertices.assign(2, {});
    state.solver.boneVertexSlots.assign(2, {});
    for (int32_t id : s.ids) {
        state.inputs.shapePoints[0][static_cast<unsigned>(id)] = MPoint(id, 1.0, 2.0);
        state.inputs.shapePoints[1][static_cast<unsigned>(id)] = MPoint(-id, 1.0, 2.0);
    }
    // Bone 0: one vertex of weight exactly 1e-7 (fitted). Bone 1: one vertex
    // just below it (skipped).
    state.solver.vertexInfluences[2] = {0, 1};
    state.solver.vertexWeights[2] = {1e-7, 1.0 - 1e-7};
    state.solver.vertexInfluences[3] = {1, 0};
    state.solver.vertexWeights[3] = {0.99e-7, 1.0 - 0.99e-7};
    state.solver.boneVertices[0] = {2};
    state.solver.boneVertexSlots[0] = {0};
    state.solver.boneVertices[1] = {3};
    state.solver.boneVertexSlots[1] = {0};
    const auto before = state.solver.boneTransforms;
    solveBones(state);
    EXPECT_NE(state.solver.boneTransforms[0][0], before[0][0]);
    EXPECT_NE(state.solver.boneTransforms[1][0], before[1][0]);
    EXPECT_EQ(state.solver.boneTransforms[0][1], before[0][1]);
    EXPECT_EQ(state.solver.boneTransforms[1][1], before[1][1]);

    // A singular binding matrix has no rest world matrix: the bone keeps its
    // transforms instead of storing non-finite ones.
    state.solver.vertexWeights[3] = {0.5, 0.5};
    double zeros[4][4] = {};
    state.solver.bindingMatrices[1] = MMatrix(zeros);
    solveBones(state);
    EXPECT_EQ(state.solver.boneTransforms[0][1], before[0][1]);
    EXPECT_TRUE(isFiniteMatrix(state.solver.boneTransforms[0][0]));

    // No shapes or no bones: nothing to do.
    DecompositionState empty = blankState(0, 2, 4);
    solveBones(empty);
    EXPECT_TRUE(empty.solver.boneTransforms.empty());
}

TEST(BindingUpdate, MovesThePivotToThePlainWeightedCentroid) {
    DecompositionState state = blankState(1, 3, 6);
    Inputs& in = state.inputs;
    in.restPoints[0] = MPoint(0.0, 0.0, 0.0);
    in.restPoints[1] = MPoint(10.0, 0.0, 0.0);
    in.restPoints[2] = MPoint(0.0, 4.0, 8.0);
    in.restPoints[4] = MPoint(2.0, 2.0, 2.0);
    for (int id : {4, 0, 1, 2}) in.vertexIds.append(id);
    // Rest world matrix of bone 0 with rotation, scale and a non-zero column 3.
    const double axis[3] = {1.0, 1.0, 0.0};
    const double t[3] = {5.0, 6.0, 7.0};
    MMatrix restWorld = rigidMatrix(axis, 0.8, t);
    for (int c = 0; c < 3; ++c) restWorld[0][c] *= 2.0;
    restWorld[1][3] = 0.25;
    state.solver.bindingMatrices[0] = restWorld.inverse();
    state.solver.vertexInfluences = {{0, {0}}, {1, {2, 0}}, {2, {0}}, {4, {1}}};
    state.solver.vertexWeights = {{0, {1.0}}, {1, {0.2, 0.8}}, {2, {1.0}}, {4, {1.0}}};
    state.solver.boneVertices = {{0, 1, 2}, {4}, {1}};
    state.solver.boneVertexSlots = {{0, 1, 0}, {0}, {0}};

    // Plain weights over their plain sum: (0 + 0.8 * 10 + 0, 4, 8) / 2.8.
    const Eigen::Vector3d c = bindingCentroid(state, 0);
    EXPECT_LT((c - Eigen::Vector3d(8.0, 4.0, 8.0) / 2.8).norm(), 1e-14);

    std::vector<MMatrix> first;
    {
        // The run driver reports the update; the step itself is silent.
        const LogCapture log;
        updateBindingMatrices(state);
        first = state.solver.bindingMatrices;
        updateBindingMatrices(state);
        EXPECT_EQ(log.text(), "");
    }

    const MMatrix moved = state.solver.bindingMatrices[0].inverse();
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 4; ++col) EXPECT_NEAR(moved[r][col], restWorld[r][col], 1e-12);
    EXPECT_NEAR(moved[3][0], c.x(), 1e-12);
    EXPECT_NEAR(moved[3][1], c.y(), 1e-12);
    EXPECT_NEAR(moved[3][2], c.z(), 1e-12);
    EXPECT_NEAR(moved[3][3], 1.0, 1e-12);
    // With all weights 1 the pivot is the plain average.
    EXPECT_NEAR(state.solver.bindingMatrices[1].inverse()[3][0], 2.0, 1e-12);
    for (int b = 0; b < 3; ++b) EXPECT_TRUE(state.solver.bindingMatrices[b].isEquivalent(first[b], 1e-12));
}

TEST(BindingUpdate, KeepsMatricesItCannotMoveSoundly) {
    DecompositionState state = blankState(1, 4, 4);
    state.inputs.restPoints[1] = MPoint(1.0, 2.0, 3.0);
    state.inputs.vertexIds.append(1);
    double zeros[4][4] = {};
    const MMatrix singular(zeros);
    double flat[4][4] = {{1, 0, 0, 1}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    // Bone 0: no listed vertex. Bone 1: its listed weight has dropped to 0.
    // Bone 2: singular binding matrix. Bone 3: a rest matrix whose column 3
    // makes it singular once the pivot moves to (1, 2, 3).
    MMatrix restWorld3(flat);
    state.solver.bindingMatrices[2] = singular;
    state.solver.bindingMatrices[3] = restWorld3.inverse();
    state.solver.vertexInfluences[1] = {1, 2, 3};
    state.solver.vertexWeights[1] = {0.0, 0.5, 0.5};
    state.solver.boneVertices = {{}, {1}, {1}, {1}};
    state.solver.boneVertexSlots = {{}, {0}, {1}, {2}};
    const std::vector<MMatrix> before = state.solver.bindingMatrices;
    updateBindingMatrices(state);
    EXPECT_EQ(state.solver.bindingMatrices, before);
    EXPECT_FALSE(bindingCentroid(state, 1).allFinite());

    // No bones: nothing changes.
    DecompositionState none = blankState(1, 0, 1);
    updateBindingMatrices(none);
    EXPECT_TRUE(none.solver.bindingMatrices.empty());
}

}  // namespace
