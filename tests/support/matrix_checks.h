#pragma once
// Comparisons of host matrices for tests, with the entries that differ in the
// failure message.

#include <cmath>

#include <gtest/gtest.h>
#include <maya/MMatrix.h>

inline ::testing::AssertionResult matricesNear(const MMatrix& a, const MMatrix& b, double tolerance = 1e-9) {
    if (a.isEquivalent(b, tolerance)) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "matrices differ:";
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (std::fabs(a[r][c] - b[r][c]) > tolerance)
                failure << " [" << r << "][" << c << "] " << a[r][c] << " vs " << b[r][c];
    return failure;
}
