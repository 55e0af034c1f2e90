#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <Eigen/Dense>

#include "known_rig.h"
#include "solver/nnls_solver.h"
#include "solver/weight_kernels.h"
#include "solver/weight_solver.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

TEST(DesignMatrix, RowsHoldShapesThenRestThenTheConstraint) {
    DecompositionState state = blankState(2, 2, 8);
    Inputs& in = state.inputs;
    in.constraintWeight = 3.5;
    for (unsigned id = 0; id < 8; ++id) {
        in.restPoints[id] = MPoint(id, 10.0 * id, 100.0 * id);
        in.shapePoints[0][id] = MPoint(-1.0 * id, 0, 0);
        in.shapePoints[1][id] = MPoint(0, -1.0 * id, 0);
    }
    // Binding then transform: bone 1 at shape 1 scales, then shifts.
    state.solver.bindingMatrices[1] = translation(1.0, 0.0, 0.0);
    MMatrix scale;
    scale[0][0] = 2.0;
    state.solver.boneTransforms[1][1] = scale * translation(0.0, 0.0, 5.0);
    state.solver.boneTransforms[0][0] = translation(0.0, 7.0, 0.0);

    const MatrixXd A = buildDesignMatrix(state, 5);
    const VectorXd b = buildTargetVector(state, 5);
    ASSERT_EQ(A.rows(), 3 * in.numFrame + 1);
    ASSERT_EQ(A.cols(), 2);
    ASSERT_EQ(b.size(), A.rows());
    MatrixXd expected(10, 2);
    expected << 5, 6,  //
        57, 50,        //
        500, 500,      //
        5, 12,         //
        50, 50,        //
        500, 505,      //
        5, 5,          //
        50, 50,        //
        500, 500,      //
        3.5, 3.5;
    EXPECT_EQ(A, expected);
    VectorXd target(10);
    target << -5, 0, 0, 0, -5, 0, 5, 50, 500, 3.5;
    EXPECT_EQ(b, target);

    const MatrixXd L = gatherInfluenceColumns({1, 0, 1}, A);
    ASSERT_EQ(L.cols(), 3);
    EXPECT_EQ(L.col(0), A.col(1));
    EXPECT_EQ(L.col(1), A.col(0));
    EXPECT_EQ(L.col(2), A.col(1));
}

TEST(InfluenceSelection, OrdersByWeightThenByHigherBoneIndex) {
    std::vector<int32_t> list = {9, 9, 9, 9, 9, 9};
    VectorXd x(6);
    x << 0.2, 0.5, 0.0, 0.5, 0.3, 0.0;
    selectInfluences(x, 3, list);
    EXPECT_EQ(list, (std::vector<int32_t>{3, 1, 4}));

    // Fewer positive weights than places: zero-weight bones from the highest
    // index down fill the list, which is always exactly maxInfluence long.
    VectorXd sparse(5);
    sparse << 0.5, 0.0, 0.5, 0.0, 0.0;
    selectInfluences(sparse, 4, list);
    EXPECT_EQ(list, (std::vector<int32_t>{2, 0, 4, 3}));
    selectInfluences(sparse, 5, list);
    EXPECT_EQ(list, (std::vector<int32_t>{2, 0, 4, 3, 1}));
}

TEST(PruneAndNormalize, ThresholdIsStrictAndPrunedBonesKeepTheirPlace) {
    std::vector<double> out;
    VectorXd v(4);
    v << 0.6, 1e-7, 0.99e-7, 0.2;
    pruneAndNormalize(v, 1e-7, out);
    ASSERT_EQ(out.size(), 4u);
    const double sum = 0.6 + 1e-7 + 0.2;
    EXPECT_DOUBLE_EQ(out[0], 0.6 / sum);
    EXPECT_DOUBLE_EQ(out[1], 1e-7 / sum);
    EXPECT_EQ(out[2], 0.0);
    EXPECT_DOUBLE_EQ(out[3], 0.2 / sum);

    // Nothing survives: the strongest slot takes all the weight (the earliest
    // of equals), so the list still sums to one.
    VectorXd tiny(3);
    tiny << 2e-8, 5e-8, 5e-8;
    pruneAndNormalize(tiny, 1e-7, out);
    EXPECT_EQ(out, (std::vector<double>{0.0, 1.0, 0.0}));
    pruneAndNormalize(VectorXd::Zero(3), 1e-7, out);
    EXPECT_EQ(out, (std::vector<double>{1.0, 0.0, 0.0}));

    // A non-finite value never reaches the stored weights.
    VectorXd poisoned(3);
    poisoned << std::numeric_limits<double>::quiet_NaN(), 0.5, std::numeric_limits<double>::infinity();
    pruneAndNormalize(poisoned, 1e-7, out);
    EXPECT_EQ(out, (std::vector<double>{0.0, 1.0, 0.0}));
    pruneAndNormalize(VectorXd(), 1e-7, out);
    EXPECT_TRUE(out.empty());
}

// Three bones that move apart, each along its own axis per shape, so that
// every blend of them is told apart.
DecompositionState threeBoneState() {
    DecompositionState state = blankState(2, 3, 10);
    Inputs& in = state.inputs;
    in.maxInfluence = 2;
    for (unsigned id = 0; id < 10; ++id) in.restPoints[id] = MPoint(0.1 * id, 1.0, -0.5 * id);
    state.solver.boneTransforms[0] = {translation(1, 0, 0), translation(0, 1, 0), translation(0, 0, 1)};
    state.solver.boneTransforms[1] = {translation(0, 0, 2), translation(2, 0, 0), translation(0, 2, 0)};
    return state;
}

// Sets the shapes of vertex id to the blend of the bones with the weights.
void blendVertex(DecompositionState& state, int32_t id, const std::vector<double>& w) {
    std::map<int32_t, std::vector<double>> one = {{id, w}};
    std::vector<MPointArray> saved = state.inputs.shapePoints;
    resampleShapes(state, one, state.solver.boneTransforms);
    for (int f = 0; f < state.inputs.F; ++f) {
        const MPoint p = state.inputs.shapePoints[f][static_cast<unsigned>(id)];
        saved[f][static_cast<unsigned>(id)] = p;
    }
    state.inputs.shapePoints = saved;
}

TEST(WeightStep, KeysResultsByVertexIdNotByListPosition) {
    DecompositionState state = threeBoneState();
    state.inputs.vertexIds.append(7);
    state.inputs.vertexIds.append(2);
    state.inputs.V = 2;
    blendVertex(state, 7, {0.0, 0.25, 0.75});
    blendVertex(state, 2, {1.0, 0.0, 0.0});
    solveWeights(state, 0);
    ASSERT_EQ(state.solver.vertexWeights.size(), 2u);
    const std::vector<double> w7 = denseWeights(state, 7);
    const std::vector<double> w2 = denseWeights(state, 2);
    EXPECT_NEAR(w7[1], 0.25, 1e-9);
    EXPECT_NEAR(w7[2], 0.75, 1e-9);
    EXPECT_NEAR(w2[0], 1.0, 1e-9);
    EXPECT_EQ(state.solver.vertexInfluences.at(7), (std::vector<int32_t>{2, 1}));
    // Vertex 2 has one positive weight; the padding is the highest bone.
    EXPECT_EQ(state.solver.vertexInfluences.at(2), (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(state.solver.vertexWeights.at(2)[1], 0.0);
}

TEST(WeightStep, InfluenceListsChangeOnlyWhileReselectionRuns) {
    DecompositionState state = threeBoneState();
    state.inputs.vertexIds.append(4);
    state.inputs.V = 1;
    blendVertex(state, 4, {0.0, 0.4, 0.6});
    // The existing skin cluster's list is used at index 0 as it is, shorter
    // than maxInfluence and without a selection solve.
    state.inputs.useExistingSkinCluster = true;
    state.inputs.existingInfluences[4] = {1};
    state.inputs.iterationFullSolver = 1;
    solveWeights(state, 0);
    EXPECT_EQ(state.solver.vertexInfluences.at(4), (std::vector<int32_t>{1}));
    EXPECT_EQ(state.solver.vertexWeights.at(4), (std::vector<double>{1.0}));
    // Index 1 with iterationFullSolver 1: the list stays.
    solveWeights(state, 1);
    EXPECT_EQ(state.solver.vertexInfluences.at(4), (std::vector<int32_t>{1}));
    // iterationFullSolver 2: index 1 reselects and finds the true bones.
    state.inputs.iterationFullSolver = 2;
    solveWeights(state, 1);
    EXPECT_EQ(state.solver.vertexInfluences.at(4), (std::vector<int32_t>{2, 1}));
    EXPECT_NEAR(state.solver.vertexWeights.at(4)[0], 0.6, 1e-9);
    // Index 0 again empties and refills; ids outside vertexIds are untouched.
    state.solver.vertexInfluences[99] = {0};
    state.inputs.useExistingSkinCluster = false;
    solveWeights(state, 0);
    EXPECT_EQ(state.solver.vertexInfluences.at(99), (std::vector<int32_t>{0}));
    EXPECT_EQ(state.solver.vertexInfluences.at(4), (std::vector<int32_t>{2, 1}));
}

TEST(WeightStep, FullInfluenceListMatchesTheUnrestrictedSolve) {
    DecompositionState state = threeBoneState();
    state.inputs.maxInfluence = 3;
    state.inputs.vertexIds.append(3);
    state.inputs.V = 1;
    // Not an exact blend: the solution is a compromise with all three bones.
    blendVertex(state, 3, {0.5, 0.2, 0.3});
    state.inputs.shapePoints[0][3].z += 0.05;
    state.inputs.shapePoints[1][3].x -= 0.03;
    solveWeights(state, 0);
    // Every bone takes part, so the non-negative optimum is the plain
    // least-squares one: positive, from a QR solve, with no bound active.
    const VectorXd x = buildDesignMatrix(state, 3).colPivHouseholderQr().solve(buildTargetVector(state, 3));
    ASSERT_GT(x.minCoeff(), 0.0);
    const std::vector<double> solved = denseWeights(state, 3);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(solved[static_cast<size_t>(k)], x[k] / x.sum(), 1e-9);
}

TEST(WeightStep, VertexWithNoUsableWeightFollowsItsStrongestInfluence) {
    // Every bone carries the vertex away from where the shapes put it, so the
    // non-negative solution is all zeros; the stored list must still be
    // finite and sum to one.
    DecompositionState state = threeBoneState();
    state.inputs.constraintWeight = 1e-3;
    state.inputs.vertexIds.append(6);
    state.inputs.V = 1;
    state.inputs.restPoints[6] = MPoint(0.0, 0.0, 0.0);
    state.inputs.shapePoints[0][6] = MPoint(-100.0, -100.0, -100.0);
    state.inputs.shapePoints[1][6] = MPoint(-100.0, -100.0, -100.0);
    const VectorXd x = solveNonNegative(buildDesignMatrix(state, 6), buildTargetVector(state, 6), 30, 1e-10);
    ASSERT_LT(x.maxCoeff(), 1e-7);
    solveWeights(state, 0);
    const std::vector<double>& w = state.solver.vertexWeights.at(6);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], 1.0);
    EXPECT_EQ(w[1], 0.0);
}

}  // namespace
