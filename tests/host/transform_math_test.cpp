// Composition and decomposition of transformations: MEulerRotation and
// MTransformationMatrix against matrices built from their definitions.
#include <gtest/gtest.h>

#include <random>

#include <maya/MEulerRotation.h>
#include <maya/MPoint.h>
#include <maya/MTransformationMatrix.h>

#include "matrix_checks.h"
#include "reference_matrices.h"

TEST(EulerRotation, MatrixFollowsTheOrderLetters) {
    for (int order = 0; order < 6; ++order) {
        const MEulerRotation e(0.3, -1.1, 2.2, static_cast<MEulerRotation::RotationOrder>(order));
        EXPECT_TRUE(matricesNear(e.asMatrix(), reference::euler(reference::orderName(order), 0.3, -1.1, 2.2)))
            << reference::orderName(order);
    }
    // X applies first: (0, 1, 0) turned a quarter about x lands on z, then a
    // quarter about z leaves it there.
    const MPoint p = MPoint(0, 1, 0) * MEulerRotation(M_PI / 2, 0, M_PI / 2).asMatrix();
    EXPECT_NEAR(p.z, 1.0, 1e-12);
}

TEST(EulerRotation, DecomposeAndReorderKeepTheMatrix) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> angle(-M_PI, M_PI);
    for (int trial = 0; trial < 200; ++trial) {
        const MEulerRotation original(angle(random), angle(random), angle(random),
                                      static_cast<MEulerRotation::RotationOrder>(trial % 6));
        for (int order = 0; order < 6; ++order) {
            MEulerRotation reordered = original;
            reordered.reorderIt(static_cast<MEulerRotation::RotationOrder>(order));
            EXPECT_EQ(reordered.order, order);
            EXPECT_TRUE(matricesNear(reordered.asMatrix(), original.asMatrix()));
        }
    }
}

TEST(EulerRotation, GimbalLockStillRecomposes) {
    for (int order = 0; order < 6; ++order) {
        for (double middle : {M_PI / 2, -M_PI / 2, M_PI / 2 - 1e-9, M_PI / 2 + 3e-8}) {
            // Put the lock on the middle axis of the order.
            const std::string name = reference::orderName(order);
            double angles[3] = {0.4, 0.4, 0.4};
            angles[name[1] - 'x'] = middle;
            const MMatrix m = reference::euler(name, angles[0], angles[1], angles[2]);
            const auto e = MEulerRotation::decompose(m, static_cast<MEulerRotation::RotationOrder>(order));
            EXPECT_TRUE(matricesNear(e.asMatrix(), m)) << name << " at " << middle;
        }
    }
}

TEST(TransformationMatrix, DecompositionInvertsEveryComposition) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> angle(-M_PI, M_PI), size(0.2, 3.0), skew(-1.5, 1.5), offset(-50, 50);
    for (int trial = 0; trial < 600; ++trial) {
        const std::string order = reference::orderName(trial % 6);
        const double sz = (trial % 4 == 3) ? -size(random) : size(random);  // some mirrored
        const MMatrix m = reference::scale(size(random), size(random), sz) *
                          reference::shear(skew(random), skew(random), skew(random)) *
                          reference::euler(order, angle(random), angle(random), angle(random)) *
                          reference::translation(offset(random), offset(random), offset(random));
        const MTransformationMatrix decomposed(m);
        EXPECT_TRUE(matricesNear(decomposed.asMatrix(), m)) << "trial " << trial;

        // The channels alone, composed by the definition, give M back.
        double s[3], sh[3];
        decomposed.getScale(s, MSpace::kTransform);
        decomposed.getShear(sh, MSpace::kTransform);
        const MEulerRotation r = decomposed.eulerRotation();
        EXPECT_EQ(r.order, MEulerRotation::kXYZ);
        EXPECT_GT(s[0], 0.0);
        EXPECT_GT(s[1], 0.0);
        EXPECT_EQ(s[2] < 0.0, m.det3x3() < 0.0);
        const MVector t = decomposed.getTranslation(MSpace::kTransform);
        const MMatrix recomposed = reference::scale(s[0], s[1], s[2]) * reference::shear(sh[0], sh[1], sh[2]) *
                                   reference::euler("xyz", r.x, r.y, r.z) * reference::translation(t.x, t.y, t.z);
        EXPECT_TRUE(matricesNear(recomposed, m)) << "trial " << trial;
    }
}

TEST(TransformationMatrix, RecoversKnownChannels) {
    const MMatrix m = reference::scale(2, 3, 4) * reference::shear(0.5, -0.25, 0.75) *
                      reference::euler("xyz", 0.1, 0.2, 0.3) * reference::translation(5, 6, 7);
    const MTransformationMatrix decomposed(m);
    double s[3], sh[3];
    decomposed.getScale(s, MSpace::kTransform);
    decomposed.getShear(sh, MSpace::kTransform);
    EXPECT_NEAR(s[0], 2, 1e-12);
    EXPECT_NEAR(s[1], 3, 1e-12);
    EXPECT_NEAR(s[2], 4, 1e-12);
    EXPECT_NEAR(sh[0], 0.5, 1e-12);
    EXPECT_NEAR(sh[1], -0.25, 1e-12);
    EXPECT_NEAR(sh[2], 0.75, 1e-12);
    const MEulerRotation r = decomposed.eulerRotation();
    EXPECT_NEAR(r.x, 0.1, 1e-12);
    EXPECT_NEAR(r.y, 0.2, 1e-12);
    EXPECT_NEAR(r.z, 0.3, 1e-12);
    EXPECT_EQ(decomposed.rotationOrder(), MTransformationMatrix::kXYZ);

    // Reordering keeps the composed matrix.
    MTransformationMatrix reordered = decomposed;
    EXPECT_TRUE(reordered.reorderRotation(MTransformationMatrix::kZXY));
    EXPECT_EQ(reordered.rotationOrder(), MTransformationMatrix::kZXY);
    EXPECT_TRUE(matricesNear(reordered.asMatrix(), m));
    EXPECT_FALSE(reordered.reorderRotation(MTransformationMatrix::kLast));
}
