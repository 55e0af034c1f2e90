#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "known_rig.h"
#include "solver/bone_influence_index.h"
#include "solver/reconstruction_error.h"

namespace {

// One vertex of weight 1 on bone 0, identity matrices, rest at the origin.
DecompositionState singleVertexState(double diagonalSum) {
    DecompositionState state = blankState(1, 1, 4);
    state.inputs.vertexIds.append(3);
    state.inputs.V = 1;
    state.inputs.diagonalSum = diagonalSum;
    state.solver.vertexInfluences[3] = {0};
    state.solver.vertexWeights[3] = {1.0};
    return state;
}

TEST(ReconstructionError, NormalisesTheRootMeanSquareByTheDiagonalSum) {
    DecompositionState state = singleVertexState(7.0);
    state.inputs.shapePoints[0][3] = MPoint(3.0, 0.0, 0.0);
    state.inputs.shapePoints[0][0] = MPoint(1e6, 0.0, 0.0);  // not a used id
    measureReconstructionError(state);
    ASSERT_EQ(state.solver.errorHistory.size(), 1u);
    EXPECT_DOUBLE_EQ(state.solver.errorHistory[0], std::sqrt(3.0) * 1000.0 / 7.0);
    EXPECT_EQ(state.solver.improvementHistory, (std::vector<double>{1.0}));
}

TEST(ReconstructionError, ImprovementIsTheAbsoluteRelativeChange) {
    // With diagonalSum 1000 / sqrt(3) the error equals the distance.
    const double diagonal = 1000.0 / std::sqrt(3.0);
    for (double next : {2.5, 1.5}) {
        DecompositionState state = singleVertexState(diagonal);
        state.inputs.shapePoints[0][3] = MPoint(2.0, 0.0, 0.0);
        measureReconstructionError(state);
        state.inputs.shapePoints[0][3] = MPoint(0.0, next, 0.0);
        measureReconstructionError(state);
        ASSERT_EQ(state.solver.errorHistory.size(), 2u);
        ASSERT_EQ(state.solver.improvementHistory.size(), 2u);
        EXPECT_NEAR(state.solver.errorHistory[1], next, 1e-12);
        EXPECT_NEAR(state.solver.improvementHistory[1], 25.0, 1e-9);
    }
}

TEST(ReconstructionError, PerfectRigThenNaNImprovementAndEmptyListsAtTheOrigin) {
    DecompositionState state = singleVertexState(1.0);
    measureReconstructionError(state);
    measureReconstructionError(state);
    EXPECT_EQ(state.solver.errorHistory, (std::vector<double>{0.0, 0.0}));
    EXPECT_TRUE(std::isnan(state.solver.improvementHistory[1]));

    // An empty influence list rebuilds the vertex at the origin; weights are
    // used as stored, not renormalised.
    DecompositionState other = singleVertexState(1000.0);
    other.inputs.restPoints[3] = MPoint(5.0, 5.0, 5.0);
    other.inputs.shapePoints[0][3] = MPoint(0.0, 0.0, 6.0);
    other.solver.vertexInfluences[3] = {};
    other.solver.vertexWeights[3] = {};
    measureReconstructionError(other);
    EXPECT_DOUBLE_EQ(other.solver.errorHistory[0], std::sqrt(36.0 / 3.0));
    other.solver.vertexInfluences[3] = {0};
    other.solver.vertexWeights[3] = {0.5};
    other.inputs.shapePoints[0][3] = MPoint(2.5, 2.5, 2.5);
    measureReconstructionError(other);
    EXPECT_EQ(other.solver.errorHistory[1], 0.0);
}

TEST(ReconstructionError, SumsEveryShapeAndUsesEachShapesOwnTransforms) {
    DecompositionState state = blankState(3, 2, 2);
    state.inputs.vertexIds.append(1);
    state.inputs.V = 1;
    state.inputs.diagonalSum = 1000.0;
    state.inputs.restPoints[1] = MPoint(1.0, 0.0, 0.0);
    state.solver.vertexInfluences[1] = {1, 0};
    state.solver.vertexWeights[1] = {0.5, 0.5};
    // Shape f moves bone 1 by f along y; the target is the bone-0 position.
    for (int f = 0; f < 3; ++f) {
        state.solver.boneTransforms[f][1][3][1] = f;
        state.inputs.shapePoints[f][1] = MPoint(1.0, 0.0, 0.0);
    }
    measureReconstructionError(state);
    // Distances 0, 0.5, 1: S = 1.25 over V * 3 * F = 9 values.
    EXPECT_DOUBLE_EQ(state.solver.errorHistory[0], std::sqrt(1.25 / 9.0));
}

TEST(BoneInfluenceIndex, InvertsTheWeightsByVertexId) {
    DecompositionState state = blankState(1, 3, 8);
    state.inputs.vertexIds.append(5);
    state.inputs.vertexIds.append(3);
    state.inputs.V = 2;
    state.solver.vertexInfluences[5] = {2, 0};
    state.solver.vertexWeights[5] = {0.7, 0.3};
    state.solver.vertexInfluences[3] = {0, 2};
    state.solver.vertexWeights[3] = {1.0, 0.0};
    state.solver.boneVertices = {{1}, {1}, {1}, {1}};  // stale content is replaced
    rebuildBoneInfluenceIndex(state.inputs, state.solver);
    ASSERT_EQ(state.solver.boneVertices.size(), 3u);
    ASSERT_EQ(state.solver.boneVertexSlots.size(), 3u);
    EXPECT_EQ(state.solver.boneVertices[0], (std::vector<int32_t>{3, 5}));
    EXPECT_EQ(state.solver.boneVertexSlots[0], (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(state.solver.boneVertices[2], (std::vector<int32_t>{5}));
    EXPECT_EQ(state.solver.boneVertexSlots[2], (std::vector<int32_t>{0}));
    EXPECT_TRUE(state.solver.boneVertices[1].empty());
    EXPECT_TRUE(state.solver.boneVertexSlots[1].empty());
}

TEST(BoneInfluenceIndex, KeepsWeightsFromTheThresholdUpAndTheFirstSlot) {
    DecompositionState state = blankState(1, 3, 8);
    for (int id : {6, 1, 4, 7}) state.inputs.vertexIds.append(id);
    state.inputs.V = 4;
    state.solver.vertexInfluences[6] = {1, 2};
    state.solver.vertexWeights[6] = {1e-7, 1.0 - 1e-7};
    state.solver.vertexInfluences[1] = {1, 0};
    state.solver.vertexWeights[1] = {0.99e-7, 1.0};
    // A NaN weight compares false against the threshold and is kept; a bone
    // listed twice is found at its first slot.
    state.solver.vertexInfluences[4] = {2, 0, 0};
    state.solver.vertexWeights[4] = {std::numeric_limits<double>::quiet_NaN(), 0.0, 0.5};
    // Kept twice, it is still one member.
    state.solver.vertexInfluences[7] = {0, 0};
    state.solver.vertexWeights[7] = {0.5, 0.5};
    rebuildBoneInfluenceIndex(state.inputs, state.solver);
    EXPECT_EQ(state.solver.boneVertices[1], (std::vector<int32_t>{6}));
    EXPECT_EQ(state.solver.boneVertexSlots[1], (std::vector<int32_t>{0}));
    EXPECT_EQ(state.solver.boneVertices[2], (std::vector<int32_t>{4, 6}));
    EXPECT_EQ(state.solver.boneVertexSlots[2], (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(state.solver.boneVertices[0], (std::vector<int32_t>{1, 4, 7}));
    EXPECT_EQ(state.solver.boneVertexSlots[0], (std::vector<int32_t>{1, 1, 0}));
}

}  // namespace
