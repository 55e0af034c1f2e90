#include <cmath>

#include <gtest/gtest.h>

#include "known_rig.h"
#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/weight_solver.h"
#include "state_checks.h"

namespace {

TEST(RigRecovery, TrueTransformsGiveExactWeightsAndNoError) {
    for (bool rigid : {true, false}) {
        RigOptions options;
        options.rigid = rigid;
        KnownRig rig = makeKnownRig(options);
        runIterations(rig.state, 3);
        const auto& errors = rig.state.solver.errorHistory;
        ASSERT_EQ(errors.size(), 3u);
        for (double e : errors) EXPECT_LT(e, 1e-6);
        for (const auto& [id, truth] : rig.weights) {
            const std::vector<double> solved = denseWeights(rig.state, id);
            for (size_t k = 0; k < truth.size(); ++k) EXPECT_NEAR(solved[k], truth[k], 1e-6) << "id " << id;
        }
        EXPECT_TRUE(stateIsSound(rig.state));
    }
}

TEST(RigRecovery, PerturbedTransformsConverge) {
    for (bool rigid : {true, false}) {
        RigOptions options;
        options.rigid = rigid;
        KnownRig rig = makeKnownRig(options);
        perturbTransforms(rig.state, 0.15, 0.1, 17);
        runIterations(rig.state, 10);
        const auto& errors = rig.state.solver.errorHistory;
        ASSERT_EQ(errors.size(), 10u);
        EXPECT_LT(errors.back(), 0.1 * errors.front()) << (rigid ? "rigid" : "affine");
        EXPECT_TRUE(stateIsSound(rig.state));
    }
}

void runWithThreads(DecompositionState& state, int threads, int iterations) {
    state.limitThreads = true;
    state.usedCPU = threads;
    runIterations(state, iterations);
}

TEST(ThreadCount, ResultsAreIdenticalForOneTwoAndFourThreads) {
    for (bool rigid : {true, false}) {
        RigOptions options;
        options.rigid = rigid;
        options.frames = 7;  // not a multiple of the thread counts
        KnownRig reference = makeKnownRig(options);
        perturbTransforms(reference.state, 0.15, 0.1, 5);
        reference.state.inputs.updateRestMatrices = true;
        KnownRig two = reference;
        KnownRig four = reference;
        runWithThreads(reference.state, 1, 4);
        runWithThreads(two.state, 2, 4);
        runWithThreads(four.state, 4, 4);
        for (const KnownRig* other : {&two, &four}) {
            const SolverState& a = reference.state.solver;
            const SolverState& b = other->state.solver;
            EXPECT_EQ(a.errorHistory, b.errorHistory);
            EXPECT_EQ(a.improvementHistory, b.improvementHistory);
            EXPECT_EQ(a.vertexInfluences, b.vertexInfluences);
            EXPECT_EQ(a.vertexWeights, b.vertexWeights);
            EXPECT_EQ(a.boneVertices, b.boneVertices);
            EXPECT_EQ(a.boneVertexSlots, b.boneVertexSlots);
            EXPECT_EQ(a.bindingMatrices, b.bindingMatrices);
            EXPECT_EQ(a.boneTransforms, b.boneTransforms);
        }
    }
}

// Hostile rigs: whatever the solver makes of them, every stored weight and
// matrix stays finite and every weight list sums to one.
TEST(HostileRigs, StaticAndDuplicatedBonesStayFinite) {
    for (bool rigid : {true, false}) {
        RigOptions options;
        options.rigid = rigid;
        options.bones = 6;
        KnownRig rig = makeKnownRig(options);
        DecompositionState& state = rig.state;
        // Bones 0 and 1 never move; bone 3 is an exact copy of bone 2.
        makeStaticAndDuplicatedBones(rig);
        perturbTransforms(state, 0.1, 0.05, 9);
        state.inputs.updateRestMatrices = true;
        runIterations(state, 6);
        EXPECT_TRUE(stateIsSound(state));
        for (double e : state.solver.errorHistory) EXPECT_TRUE(std::isfinite(e));
        EXPECT_LT(state.solver.errorHistory.back(), state.solver.errorHistory.front());
    }
}

TEST(HostileRigs, BoneThatLosesAllItsVerticesKeepsItsMatrices) {
    RigOptions options;
    options.bones = 5;
    options.maxInfluence = 2;
    KnownRig rig = makeKnownRig(options);
    DecompositionState& state = rig.state;
    state.inputs.iterationFullSolver = 1;
    runIterations(state, 1);
    ASSERT_FALSE(state.solver.boneVertices[4].empty());
    // Since the index was built, bone 4's weights have all dropped to zero:
    // the index still lists its vertices, but their weights sum to zero.
    for (int32_t id : state.solver.boneVertices[4]) {
        auto& B = state.solver.vertexInfluences.at(id);
        auto& W = state.solver.vertexWeights.at(id);
        for (size_t k = 0; k < B.size(); ++k) {
            if (B[k] != 4) continue;
            W[(k + 1) % B.size()] += W[k];
            W[k] = 0.0;
        }
    }
    const MMatrix binding = state.solver.bindingMatrices[4];
    std::vector<MMatrix> transforms;
    for (const auto& frame : state.solver.boneTransforms) transforms.push_back(frame[4]);

    updateBindingMatrices(state);
    solveBones(state);
    EXPECT_EQ(state.solver.bindingMatrices[4], binding);
    for (size_t f = 0; f < transforms.size(); ++f) EXPECT_EQ(state.solver.boneTransforms[f][4], transforms[f]);
    EXPECT_TRUE(stateIsSound(state));

    state.inputs.updateRestMatrices = true;
    runIterations(state, 4);
    EXPECT_TRUE(stateIsSound(state));
}

TEST(HostileRigs, FlatRegionUnderTheAffineFitStaysFinite) {
    RigOptions options;
    options.flat = true;
    options.rigid = false;
    options.offset = 2.0;  // the plane z = 2: its height multiplies any blown-up row
    KnownRig rig = makeKnownRig(options);
    perturbTransforms(rig.state, 0.1, 0.05, 4);
    runIterations(rig.state, 6);
    EXPECT_TRUE(stateIsSound(rig.state));
    for (double e : rig.state.solver.errorHistory) EXPECT_TRUE(std::isfinite(e));
    EXPECT_LT(rig.state.solver.errorHistory.back(), rig.state.solver.errorHistory.front());
}

TEST(HostileRigs, CoordinatesInTheThousandsStayFiniteAndConverge) {
    for (bool rigid : {true, false}) {
        RigOptions options;
        options.rigid = rigid;
        options.scale = 1000.0;
        options.offset = 3000.0;
        options.bones = 6;
        KnownRig rig = makeKnownRig(options);
        DecompositionState& state = rig.state;
        // Two bones that never move give identical columns at this scale.
        for (int f = 0; f < state.inputs.F; ++f)
            for (int j : {0, 1}) rig.transforms[f][j] = state.solver.bindingMatrices[j].inverse();
        state.solver.boneTransforms = rig.transforms;
        resampleShapes(state, rig.weights, rig.transforms);
        runIterations(state, 1);
        EXPECT_LT(state.solver.errorHistory.back(), 1e-6);
        perturbTransforms(state, 0.1, 50.0, 2);
        state.inputs.updateRestMatrices = true;
        runIterations(state, 6);
        EXPECT_TRUE(stateIsSound(state));
        EXPECT_LT(state.solver.errorHistory.back(), state.solver.errorHistory[1]);
    }
}

}  // namespace
