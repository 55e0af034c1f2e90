// OBJ files and sequences: positions, fan triangulation, uvs, natural order,
// patterns, and refusals naming file, frame or line.
#include <gtest/gtest.h>

#include "cli/io/mesh_animation.h"
#include "cli/io/obj_reader.h"
#include "cli/io/read_animation.h"
#include "test_files.h"

namespace vantrel::io::test {
namespace {

// A square (quad) lifted by `z` at every vertex, plus one triangle.
std::string frameObj(double z) {
    std::string s = "# frame\n";
    for (int v = 0; v < 5; ++v) {
        s += "v " + std::to_string(v % 2) + " " + std::to_string(v / 2) + " " + std::to_string(z + v) + "\n";
    }
    s += "vt 0.25 0.75\nvt 1 1\nf 1/1 2/2 4/2 3/1\nf -1 -2 -3\n";
    return s;
}

TEST(ObjReader, SequencesSortNaturallyAndShareOneTopology) {
    ScratchDir dir;
    // Written out of order; "f10" must come after "f9".
    for (int f : {10, 2, 9, 1}) writeText(dir.file("walk_f" + std::to_string(f) + ".obj"), frameObj(f));
    writeText(dir.file("notes.txt"), "not an obj");

    for (const std::string& source : {dir.path(), dir.file("walk_f*.obj"), dir.file("walk_f%d.obj")}) {
        SCOPED_TRACE(source);
        const MeshAnimation anim = readAnimation(source);
        ASSERT_EQ(anim.vertexCount, 5);
        ASSERT_EQ(anim.frameCount(), 4);
        const double lifts[] = {1, 2, 9, 10};
        for (int f = 0; f < 4; ++f) {
            for (int v = 0; v < 5; ++v) {
                EXPECT_DOUBLE_EQ(anim.frames[std::size_t(f)][std::size_t(3 * v + 2)], lifts[f] + v);
                EXPECT_DOUBLE_EQ(anim.frames[std::size_t(f)][std::size_t(3 * v)], v % 2);
            }
        }
        // The quad 1 2 4 3 fans into (0,1,3) and (0,3,2); "f -1 -2 -3" is (4,3,2).
        ASSERT_EQ(anim.triangles.size(), 3u);
        EXPECT_EQ(anim.triangles[0], (std::array<int, 3>{0, 1, 3}));
        EXPECT_EQ(anim.triangles[1], (std::array<int, 3>{0, 3, 2}));
        EXPECT_EQ(anim.triangles[2], (std::array<int, 3>{4, 3, 2}));
        // Vertex 0 uses vt 1 (v flipped to a top-left origin); vertex 4 has none.
        ASSERT_EQ(anim.uvs.size(), 10u);
        EXPECT_DOUBLE_EQ(anim.uvs[0], 0.25);
        EXPECT_DOUBLE_EQ(anim.uvs[1], 0.25);
        EXPECT_DOUBLE_EQ(anim.uvs[8], 0.0);
    }
}

TEST(ObjReader, ZeroPaddedPatternsMatchOnlyTheirWidth) {
    ScratchDir dir;
    writeText(dir.file("s_0001.obj"), frameObj(1));
    writeText(dir.file("s_0002.obj"), frameObj(2));
    writeText(dir.file("s_2.obj"), frameObj(7));  // not "%04d"
    const std::vector<std::string> files = listObjSequence(dir.file("s_%04d.obj"));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], dir.file("s_0001.obj"));
    EXPECT_EQ(files[1], dir.file("s_0002.obj"));
    EXPECT_TRUE(failsWith([&] { listObjSequence(dir.file("t_%04d.obj")); }, {"t_%04d.obj", "no OBJ files match"}));
}

// Files are frames in name order whatever their numbers: a sequence whose
// numbers skip some is read, with a note saying which file became which frame.
TEST(ObjReader, GapsInASequencesNumbersAreNoted) {
    const struct {
        std::vector<int> numbers;
        std::string note;  // empty: none
    } cases[] = {
        {{0, 1, 2, 3}, ""},
        {{0, 2, 4, 6}, ""},  // a steady step is the sequence's own
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12},
         "file numbers jump from 9 to 12 (s_9.obj, s_12.obj); the files are taken as consecutive frames, so s_12.obj "
         "is frame 10"},
        {{0, 2, 4, 8, 10, 16},
         "file numbers jump from 4 to 8 (s_4.obj, s_8.obj) where the others step by 2, and in 1 more place; the files "
         "are taken as consecutive frames, so s_8.obj is frame 3"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        for (int n : c.numbers) writeText(dir.file("s_" + std::to_string(n) + ".obj"), frameObj(n));
        for (const std::string& source : {dir.path(), dir.file("s_%d.obj"), dir.file("s_*.obj")}) {
            SCOPED_TRACE(source + " " + std::to_string(c.numbers.back()));
            const MeshAnimation anim = readAnimation(source);
            ASSERT_EQ(anim.frameCount(), int(c.numbers.size()));
            EXPECT_EQ(anim.notes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note});
        }
    }
    // Names that differ elsewhere than in one number say nothing about gaps.
    ScratchDir mixed;
    writeText(mixed.file("run_1.obj"), frameObj(1));
    writeText(mixed.file("walk_5.obj"), frameObj(5));
    EXPECT_TRUE(readAnimation(mixed.path()).notes.empty());
}

TEST(ObjReader, NaturalOrder) {
    EXPECT_TRUE(naturalLess("f2.obj", "f10.obj"));
    EXPECT_FALSE(naturalLess("f10.obj", "f2.obj"));
    EXPECT_TRUE(naturalLess("a9b", "a10a"));
    EXPECT_TRUE(naturalLess("f002.obj", "f10.obj"));
    EXPECT_TRUE(naturalLess("abc", "abd"));
    EXPECT_FALSE(naturalLess("same7", "same7"));
}

TEST(ObjReader, RefusesInconsistentOrMalformedFiles) {
    ScratchDir dir;
    writeText(dir.file("a1.obj"), frameObj(1));
    writeText(dir.file("a2.obj"), frameObj(2));
    writeText(dir.file("a3.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    EXPECT_TRUE(failsWith([&] { readAnimation(dir.file("a*.obj")); },
                          {"a3.obj", "vertex count 3 differs from the sequence's 5", "frame 2"}));

    std::string reordered = frameObj(3);
    reordered.replace(reordered.find("f -1 -2 -3"), 10, "f -3 -2 -1");
    writeText(dir.file("a3.obj"), reordered);
    EXPECT_TRUE(failsWith([&] { readAnimation(dir.file("a*.obj")); }, {"a3.obj", "faces differ", "frame 2"}));

    const std::string bad = dir.file("bad.obj");
    writeText(bad, "v 0 0 0\nv 1 nan 0\n");
    EXPECT_TRUE(failsWith([&] { readObj(bad); }, {bad, "non-finite coordinate \"nan\"", "line 2"}));
    writeText(bad, "v 0 0 0\nv 1 0 0\n\nf 1 2 7\n");
    EXPECT_TRUE(failsWith([&] { readObj(bad); }, {bad, "vertex index 7 out of range", "line 4"}));
    writeText(bad, "v 0 0 0\nv 1 0\n");
    EXPECT_TRUE(failsWith([&] { readObj(bad); }, {bad, "fewer than 3 coordinates", "line 2"}));
    writeText(bad, "v 0 0 0\nv 1 0 1e999\n");
    EXPECT_TRUE(failsWith([&] { readObj(bad); }, {bad, "non-finite", "line 2"}));
    writeText(bad, "# nothing\n");
    EXPECT_TRUE(failsWith([&] { readObj(bad); }, {bad, "no vertices"}));
}

// Text encodings Windows tools write: a UTF-8 byte order mark is skipped, so
// the first line's vertex counts; UTF-16 is refused by name.
TEST(ObjReader, SkipsAUtf8ByteOrderMarkAndRefusesUtf16) {
    ScratchDir dir;
    const std::string path = dir.file("marked.obj");
    writeText(path, "\xEF\xBB\xBFv 0 0 7\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const ObjMesh mesh = readObj(path);
    ASSERT_EQ(mesh.positions.size(), 9u);
    EXPECT_EQ(mesh.positions[2], 7.0);
    EXPECT_EQ(mesh.triangles.size(), 1u);
    using namespace std::string_literals;
    for (const std::string& utf16 : {"\xFE\xFF\0v\0 \0\x30"s, "\xFF\xFEv\0 \0\x30\0"s}) {
        writeText(path, utf16);
        EXPECT_TRUE(
            failsExactly([&] { readObj(path); }, path + ": the file is UTF-16 text; save it as UTF-8 or ASCII"));
    }
}

}  // namespace
}  // namespace vantrel::io::test
