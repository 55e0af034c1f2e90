// The bundled sample character reads as the vertex-animated model it is.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"

namespace vantrel::io::test {
namespace {

TEST(BundledSample, SydneyMd2ReadsWithItsClips) {
    const MeshAnimation anim = readAnimation(std::string(VANTREL_EXAMPLES_DIR) + "/md2/sydney.md2");
    EXPECT_EQ(anim.vertexCount, 342);
    EXPECT_EQ(anim.frameCount(), 198);
    EXPECT_EQ(anim.triangles.size(), 679u);
    ASSERT_EQ(anim.uvs.size(), 2u * 342u);
    for (double uv : anim.uvs) {
        EXPECT_GE(uv, 0.0);
        EXPECT_LE(uv, 1.0);
    }
    EXPECT_DOUBLE_EQ(anim.frameRate, 10.0);

    ASSERT_EQ(anim.clips.size(), 16u);
    EXPECT_EQ(anim.clips[0].name, "stand");
    EXPECT_EQ(anim.clips[0].frameCount, 40);
    EXPECT_EQ(anim.clips[1].name, "run");
    EXPECT_EQ(anim.clips[1].firstFrame, 40);
    EXPECT_EQ(anim.clips[1].frameCount, 6);
    EXPECT_EQ(anim.clips.back().name, "death");
    int total = 0;
    for (const Clip& c : anim.clips) {
        EXPECT_EQ(c.firstFrame, total);
        total += c.frameCount;
    }
    EXPECT_EQ(total, 198);

    // A character-sized figure whose vertices move between frames, and whose
    // triangles use every vertex.
    double lo = 1e300, hi = -1e300;
    for (std::size_t v = 0; v < 342; ++v) {
        lo = std::min(lo, anim.frames[0][3 * v + 2]);
        hi = std::max(hi, anim.frames[0][3 * v + 2]);
    }
    EXPECT_GT(hi - lo, 20.0);
    EXPECT_LT(hi - lo, 200.0);
    double moved = 0;
    for (std::size_t i = 0; i < anim.frames[0].size(); ++i)
        moved = std::max(moved, std::abs(anim.frames[45][i] - anim.frames[0][i]));
    EXPECT_GT(moved, 1.0);
    std::vector<bool> used(342, false);
    for (const auto& t : anim.triangles) {
        for (int i : t) used[std::size_t(i)] = true;
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), true), 342);
}

}  // namespace
}  // namespace vantrel::io::test
