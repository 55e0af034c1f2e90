#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include <maya/MIntArray.h>
#include <maya/MMatrix.h>
#include <maya/MPoint.h>
#include <maya/MStatus.h>
#include <maya/MString.h>
#include <maya/MTime.h>

namespace {

MMatrix translation(double x, double y, double z) {
    MMatrix m;
    m[3][0] = x, m[3][1] = y, m[3][2] = z;
    return m;
}

MMatrix rotationZ(double a) {
    MMatrix m;
    m[0][0] = std::cos(a), m[0][1] = std::sin(a);
    m[1][0] = -std::sin(a), m[1][1] = std::cos(a);
    return m;
}

}  // namespace

TEST(MatrixConvention, RowVectorsApplyTheLeftFactorFirst) {
    // Rotate a quarter turn about z, then move by (10, 0, 0).
    const MMatrix m = rotationZ(M_PI / 2) * translation(10, 0, 0);
    const MPoint p = MPoint(1, 0, 0) * m;
    EXPECT_NEAR(p.x, 10.0, 1e-12);
    EXPECT_NEAR(p.y, 1.0, 1e-12);
    EXPECT_DOUBLE_EQ(p.w, 1.0);
}

TEST(MatrixConvention, InverseAndDeterminants) {
    MMatrix m = rotationZ(0.3) * translation(1, -2, 3);
    m[0][0] *= 2.0;  // non-uniform scale
    EXPECT_TRUE((m * m.inverse()).isEquivalent(MMatrix(), 1e-12));
    EXPECT_NEAR(m.det3x3(), 2.0 * std::cos(0.3) * std::cos(0.3) + std::sin(0.3) * std::sin(0.3), 1e-12);
    EXPECT_NEAR(m.det4x4(), m.det3x3(), 1e-12);
    EXPECT_TRUE(m.transpose().transpose() == m);

    double zero[4][4] = {};
    const MMatrix singular(zero);
    const MMatrix inv = singular.inverse();
    EXPECT_FALSE(std::isfinite(inv[0][0]));
    EXPECT_TRUE(singular.isSingular());
}

TEST(Strings, ConcatenationAndComparison) {
    MString s("Vantrel : ");
    s += 3;
    s += " x ";
    s += 0.5;
    EXPECT_EQ(s, "Vantrel : 3 x 0.5");
    EXPECT_TRUE("a" + MString("b") == MString("ab"));
    std::ostringstream out;
    out << s;
    EXPECT_EQ(out.str(), "Vantrel : 3 x 0.5");
}

TEST(Status, CodesAndTexts) {
    MStatus ok;
    EXPECT_TRUE(static_cast<bool>(ok));
    MStatus bad(MStatus::kNotFound);
    EXPECT_TRUE(bad.error());
    EXPECT_EQ(bad, MS::kNotFound);
    EXPECT_NE(bad, MStatus(MStatus::kFailure));
    EXPECT_EQ(MStatus(MStatus::kEndOfFile).errorString(), MString("(kEndOfFile): End of File"));
    testing::internal::CaptureStderr();
    bad.perror("registerCommand");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "registerCommand: (kNotFound): Not Found\n");
}

TEST(Time, UnitsConvert) {
    EXPECT_EQ(MTime::uiUnit(), MTime::kFilm);
    EXPECT_DOUBLE_EQ(MTime(48.0, MTime::kFilm).as(MTime::kSeconds), 2.0);
    EXPECT_DOUBLE_EQ(MTime(1.0, MTime::kSeconds).as(MTime::kNTSCFrame), 30.0);
    EXPECT_TRUE(MTime(24.0, MTime::kFilm) == MTime(1.0, MTime::kSeconds));
}

TEST(Arrays, GrowAndIndex) {
    MIntArray a;
    a.append(4);
    a.append(7);
    a.setLength(3);
    EXPECT_EQ(a.length(), 3u);
    EXPECT_EQ(a[1], 7);
    EXPECT_EQ(a[2], 0);
    EXPECT_FALSE(a.remove(5));
}
