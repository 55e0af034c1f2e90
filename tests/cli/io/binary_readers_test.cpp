// MD2, PC2 and MDD readers on files the tests write byte by byte, compared
// with positions computed here from the same numbers, and their refusals of
// malformed files.
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "cache_builders.h"
#include "cli/io/md2_reader.h"
#include "cli/io/mdd_reader.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/pc2_reader.h"
#include "cli/io/read_animation.h"
#include "md2_builder.h"
#include "test_files.h"

namespace vantrel::io::test {
namespace {

TEST(Md2Reader, DecodesFramesTrianglesUvsAndClips) {
    ScratchDir dir;
    Md2Model model = sampleMd2();
    // A frame whose decoded positions are not float32 numbers before rounding.
    model.frames[3].scale = {0.1f, 0.3f, 0.7f};
    model.frames[3].translate = {0.3f, -0.7f, 1.1f};
    const std::string path = dir.file("box.md2");
    writeFile(path, buildMd2(model).data);

    const MeshAnimation anim = readAnimation(path);
    ASSERT_EQ(anim.vertexCount, 4);
    ASSERT_EQ(anim.frameCount(), 4);
    for (int f = 0; f < 4; ++f) {
        const Md2Model::Frame& frame = model.frames[std::size_t(f)];
        for (int v = 0; v < 4; ++v) {
            for (int c = 0; c < 3; ++c) {
                // Decoded exactly, then rounded to float32 as a point cache
                // made from the same frames would hold it.
                const double decoded =
                    double(frame.vertices[std::size_t(v)][std::size_t(c)]) * double(frame.scale[std::size_t(c)]) +
                    double(frame.translate[std::size_t(c)]);
                EXPECT_EQ(anim.frames[std::size_t(f)][std::size_t(3 * v + c)], double(static_cast<float>(decoded)))
                    << "frame " << f << " vertex " << v << " coordinate " << c;
            }
        }
    }
    // Clockwise MD2 corners (0,1,2) and (0,2,3) become counter-clockwise.
    ASSERT_EQ(anim.triangles.size(), 2u);
    EXPECT_EQ(anim.triangles[0], (std::array<int, 3>{0, 2, 1}));
    EXPECT_EQ(anim.triangles[1], (std::array<int, 3>{0, 3, 2}));
    // Vertex 0 takes the uv of its first corner (st 0), vertex 3 that of st 3.
    ASSERT_EQ(anim.uvs.size(), 8u);
    EXPECT_DOUBLE_EQ(anim.uvs[0], 0.0);
    EXPECT_DOUBLE_EQ(anim.uvs[1], 0.0);
    EXPECT_DOUBLE_EQ(anim.uvs[6], 0.0 / 64.0);
    EXPECT_DOUBLE_EQ(anim.uvs[7], 16.0 / 32.0);
    EXPECT_DOUBLE_EQ(anim.uvs[2], 32.0 / 64.0);
    // "run1", "run2", "run3" then "stand": two clips; 10 frames per second.
    ASSERT_EQ(anim.clips.size(), 2u);
    EXPECT_EQ(anim.clips[0].name, "run");
    EXPECT_EQ(anim.clips[0].firstFrame, 0);
    EXPECT_EQ(anim.clips[0].frameCount, 3);
    EXPECT_EQ(anim.clips[1].name, "stand");
    EXPECT_EQ(anim.clips[1].firstFrame, 3);
    EXPECT_EQ(anim.clips[1].frameCount, 1);
    EXPECT_DOUBLE_EQ(anim.frameRate, 10.0);

    ReadOptions options;
    options.frameRate = 30.0;
    EXPECT_DOUBLE_EQ(readAnimation(path, options).frameRate, 30.0);

    // A model without texture coordinates keeps its faces, without uvs.
    Md2Model bare = model;
    bare.st.clear();
    writeFile(path, buildMd2(bare).data);
    const MeshAnimation untextured = readAnimation(path);
    EXPECT_EQ(untextured.triangles, anim.triangles);
    EXPECT_TRUE(untextured.uvs.empty());
    EXPECT_EQ(untextured.frames, anim.frames);
}

TEST(Md2Reader, ClipsSplitOnNameChangesAndRepeats) {
    const std::vector<Clip> clips = clipsFromFrameNames({"stand01", "stand02", "pain1", "pain2", "stand03", "42"});
    ASSERT_EQ(clips.size(), 4u);
    EXPECT_EQ(clips[0].name, "stand");
    EXPECT_EQ(clips[0].frameCount, 2);
    EXPECT_EQ(clips[1].name, "pain");
    EXPECT_EQ(clips[2].name, "stand");
    EXPECT_EQ(clips[2].firstFrame, 4);
    EXPECT_EQ(clips[3].name, "42");  // nothing left after stripping: keep the name
}

TEST(Md2Reader, RefusesMalformedFiles) {
    ScratchDir dir;
    const std::string path = dir.file("bad.md2");
    const auto read = [&] { readMd2(path); };

    Bytes bytes = buildMd2(sampleMd2());
    bytes.data[0] = 'X';
    writeFile(path, bytes.data);
    EXPECT_TRUE(failsWith(read, {path, "bad magic", "at byte 0"}));

    bytes = buildMd2(sampleMd2());
    bytes.patchI32le(4, 7);
    writeFile(path, bytes.data);
    EXPECT_TRUE(failsWith(read, {path, "unsupported MD2 version 7", "at byte 4"}));

    // A frame count far beyond the file: refused before any frame is read.
    bytes = buildMd2(sampleMd2());
    bytes.patchI32le(40, 1000000);
    writeFile(path, bytes.data);
    EXPECT_TRUE(failsWith(read, {path, "frames: 1000000 x 56 bytes", "past the end", "at byte"}));

    bytes = buildMd2(sampleMd2());
    bytes.patchI32le(24, -3);
    writeFile(path, bytes.data);
    EXPECT_TRUE(failsWith(read, {path, "negative vertex count -3", "at byte 24"}));

    // Triangle 1's first vertex index points past the 4 vertices.
    Md2Model model = sampleMd2();
    model.triangles[1][0] = 9;
    writeFile(path, buildMd2(model).data);
    EXPECT_TRUE(failsWith(
        read, {path, "triangle 1 uses vertex 9 of 4", "at byte " + std::to_string(md2TrianglesOffset(model) + 12)}));

    model = sampleMd2();
    model.frames[2].scale[1] = std::numeric_limits<float>::quiet_NaN();
    writeFile(path, buildMd2(model).data);
    EXPECT_TRUE(failsWith(
        read, {path, "frame 2 has a non-finite scale", "at byte " + std::to_string(md2FrameOffset(model, 2))}));

    // Cut inside the last frame.
    bytes = buildMd2(sampleMd2());
    bytes.data.resize(bytes.size() - 3);
    writeFile(path, bytes.data);
    EXPECT_TRUE(failsWith(read, {path, "past the end"}));

    writeFile(path, {'I', 'D', 'P'});
    EXPECT_TRUE(failsWith(read, {path, "file ends inside the MD2 magic", "at byte 0"}));

    EXPECT_TRUE(failsWith([&] { readMd2(dir.file("missing.md2")); }, {"missing.md2", "cannot open"}));
}

void expectCachePositions(const MeshAnimation& anim, int points, int frames) {
    ASSERT_EQ(anim.vertexCount, points);
    ASSERT_EQ(anim.frameCount(), frames);
    for (int f = 0; f < frames; ++f) {
        for (int p = 0; p < points; ++p) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(anim.frames[std::size_t(f)][std::size_t(3 * p + c)], cacheCoordinate(f, p, c));
            }
        }
    }
}

const char* const kTriangleObj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nf 1/1 2/2 3/3\n";

TEST(PointCaches, Pc2GivesPositionsRateAndOptionalTopology) {
    ScratchDir dir;
    const std::string path = dir.file("cloth.pc2");
    writeFile(path, buildPc2(3, 2, 1.0f, 0.5f).data);
    const MeshAnimation anim = readAnimation(path);
    expectCachePositions(anim, 3, 2);
    EXPECT_TRUE(anim.triangles.empty());
    EXPECT_DOUBLE_EQ(anim.frameRate, 48.0);  // two samples per frame at 24 fps

    writeText(dir.file("cloth.obj"), kTriangleObj);
    ReadOptions options;
    options.topologyPath = dir.file("cloth.obj");
    options.frameRate = 12.0;
    const MeshAnimation withFaces = readAnimation(path, options);
    expectCachePositions(withFaces, 3, 2);
    ASSERT_EQ(withFaces.triangles.size(), 1u);
    EXPECT_EQ(withFaces.triangles[0], (std::array<int, 3>{0, 1, 2}));
    ASSERT_EQ(withFaces.uvs.size(), 6u);
    EXPECT_DOUBLE_EQ(withFaces.uvs[5], 0.0);  // vt 0 1 -> top left origin
    EXPECT_DOUBLE_EQ(withFaces.frameRate, 12.0);
}

TEST(PointCaches, MddGivesPositionsTimesAndRate) {
    ScratchDir dir;
    const std::string path = dir.file("cloth.mdd");
    writeFile(path, buildMdd(3, {0.0f, 0.04f, 0.08f}).data);
    const MeshAnimation anim = readAnimation(path);
    expectCachePositions(anim, 3, 3);
    ASSERT_EQ(anim.frameTimes.size(), 3u);
    EXPECT_FLOAT_EQ(float(anim.frameTimes[2]), 0.08f);
    EXPECT_NEAR(anim.frameRate, 25.0, 1e-4);
    EXPECT_TRUE(anim.notes.empty());

    // Times that do not increase fall back to evenly spaced frames, and the
    // reader says so.
    writeFile(path, buildMdd(3, {0.0f, 0.5f, 0.25f}).data);
    const MeshAnimation flat = readAnimation(path);
    EXPECT_TRUE(flat.frameTimes.empty());
    EXPECT_DOUBLE_EQ(flat.frameRate, 24.0);
    EXPECT_EQ(flat.notes, std::vector<std::string>{"frame times do not increase (frame 2 at 0.25 s follows 0.5 s); the "
                                                   "frames are taken as evenly spaced at 24 per second (--fps sets "
                                                   "another rate)"});
    // A rate asked for is no guess.
    ReadOptions options;
    options.frameRate = 30.0;
    EXPECT_TRUE(readAnimation(path, options).notes.empty());
}

TEST(PointCaches, RefuseMalformedFiles) {
    ScratchDir dir;
    const std::string pc2 = dir.file("bad.pc2");
    const std::string mdd = dir.file("bad.mdd");

    Bytes b = buildPc2(3, 2, 0.0f, 1.0f);
    b.data[5] = 'X';
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "bad magic", "at byte 0"}));

    // The header promises 50 samples; the file holds 2.
    b = buildPc2(3, 2, 0.0f, 1.0f);
    b.patchI32le(28, 50);
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); },
                          {pc2, "point samples: 150 x 12 bytes from byte 32", "past the end of the 104-byte file"}));

    // An absurd point count times sample count must not overflow the check.
    b = buildPc2(3, 2, 0.0f, 1.0f);
    b.patchI32le(16, 0x7fffffff);
    b.patchI32le(28, 0x7fffffff);
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "past the end"}));

    b = buildPc2(3, 2, 0.0f, -1.0f);
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "sample rate", "at byte 24"}));

    writeFile(mdd, buildMdd(3, {0.0f, 0.04f}).data);
    writeText(dir.file("four.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 3 4\n");
    ReadOptions options;
    options.topologyPath = dir.file("four.obj");
    EXPECT_TRUE(failsWith([&] { readMdd(mdd, options); }, {"four.obj", "topology has 4 vertices but", mdd, "has 3"}));

    // NaN at frame 1, point 2, coordinate 1: byte 8 + 4*2 + 12*(3 + 2) + 4.
    Bytes m = buildMdd(3, {0.0f, 0.04f});
    std::vector<std::uint8_t> nan = Bytes().f32be(std::numeric_limits<float>::quiet_NaN()).data;
    std::copy(nan.begin(), nan.end(), m.data.begin() + 80);
    writeFile(mdd, m.data);
    EXPECT_TRUE(failsWith([&] { readMdd(mdd); }, {mdd, "non-finite coordinate in frame 1, point 2", "at byte 80"}));

    m = buildMdd(3, {0.0f, 0.04f});
    m.data.resize(m.size() - 1);
    writeFile(mdd, m.data);
    EXPECT_TRUE(failsWith([&] { readMdd(mdd); }, {mdd, "point samples", "past the end"}));

    writeFile(mdd, Bytes().i32be(0).i32be(3).data);
    EXPECT_TRUE(failsWith([&] { readMdd(mdd); }, {mdd, "frame count 0 is not positive", "at byte 0"}));
}

// Frames are converted a whole frame at a time; a bad value must still be
// reported at its own frame, point and byte, the first one when there are
// several, wherever it lies in the frame.
TEST(PointCaches, RefuseNonFiniteValuesAtTheirPlace) {
    ScratchDir dir;
    const std::string pc2 = dir.file("bad.pc2");
    const std::string mdd = dir.file("bad.mdd");
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto putLe = [](Bytes& b, std::size_t at, float v) {
        const std::vector<std::uint8_t> bytes = Bytes().f32le(v).data;
        std::copy(bytes.begin(), bytes.end(), b.data.begin() + std::ptrdiff_t(at));
    };

    // Three points, three samples: frame f, point p, coordinate c at byte
    // 32 + 36 f + 12 p + 4 c.
    Bytes b = buildPc2(3, 3, 0.0f, 1.0f);
    putLe(b, 124, inf);  // frame 2, point 1, z
    putLe(b, 128, nan);  // frame 2, point 2, x: later, not reported
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "non-finite coordinate in frame 2, point 1", "at byte 124"}));

    b = buildPc2(3, 3, 0.0f, 1.0f);
    putLe(b, 32, -inf);  // the very first value
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "non-finite coordinate in frame 0, point 0", "at byte 32"}));

    b = buildPc2(3, 3, 0.0f, 1.0f);
    putLe(b, 136, nan);  // the very last value
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "non-finite coordinate in frame 2, point 2", "at byte 136"}));

    // MDD times: frame f's at byte 8 + 4 f.
    writeFile(mdd, buildMdd(3, {0.0f, inf, nan}).data);
    EXPECT_TRUE(failsWith([&] { readMdd(mdd); }, {mdd, "non-finite time of frame 1", "at byte 12"}));
}

TEST(PointCaches, RefuseFilesShorterThanTheirHeader) {
    ScratchDir dir;
    const std::string pc2 = dir.file("short.pc2");
    const std::string mdd = dir.file("short.mdd");
    Bytes b = buildPc2(3, 2, 0.0f, 1.0f);
    b.data.resize(20);
    writeFile(pc2, b.data);
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); },
                          {pc2, "file ends inside the start frame (needs 4 bytes, 0 left)", "at byte 20"}));
    writeFile(pc2, {});
    EXPECT_TRUE(failsWith([&] { readPc2(pc2); }, {pc2, "file ends inside the PC2 magic", "at byte 0"}));

    std::vector<std::uint8_t> m = buildMdd(3, {0.0f}).data;
    m.resize(6);
    writeFile(mdd, m);
    EXPECT_TRUE(failsWith([&] { readMdd(mdd); },
                          {mdd, "file ends inside the point count (needs 4 bytes, 2 left)", "at byte 4"}));
    EXPECT_TRUE(failsWith([&] { readPc2(dir.file("missing.pc2")); }, {"missing.pc2", "cannot open file"}));
}

// A cache given through a pipe (a shell's process substitution) cannot seek;
// it is read whole and decoded the same way.
TEST(PointCaches, ReadFromAPipe) {
    ScratchDir dir;
    const std::string fifo = dir.file("cache.pc2");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::uint8_t> bytes = buildPc2(3, 2, 1.0f, 0.5f).data;
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    });
    MeshAnimation anim;
    try {
        anim = readPc2(fifo);
    } catch (...) {
        writer.join();
        throw;
    }
    writer.join();
    expectCachePositions(anim, 3, 2);
}

TEST(ReadAnimation, RefusesUnknownExtensionsAndBadRates) {
    ScratchDir dir;
    writeText(dir.file("notes.txt"), "hello");
    EXPECT_TRUE(
        failsWith([&] { readAnimation(dir.file("notes.txt")); }, {"notes.txt", "unknown animation format \".txt\""}));
    writeFile(dir.file("a.pc2"), buildPc2(1, 1, 0, 1).data);
    ReadOptions options;
    options.frameRate = -5.0;
    EXPECT_TRUE(failsWith([&] { readAnimation(dir.file("a.pc2"), options); },
                          {"a.pc2", "frame rate override", "not a positive number"}));
}

// A file of one pose reads as one frame, but a decomposition is told why it
// cannot use it.
TEST(ReadAnimation, OnePoseIsRefusedWhenAnAnimationIsRequired) {
    ScratchDir dir;
    writeFile(dir.file("one.pc2"), buildPc2(3, 1, 0, 1).data);
    writeText(dir.file("pose.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    writeText(dir.file("still.gltf"), R"({"asset": {"version": "2.0"},
    "buffers": [{"byteLength": 36, "uri": "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}],
    "bufferViews": [{"buffer": 0, "byteLength": 36}],
    "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
    "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}]})");
    const struct {
        const char* file;
        const char* message;
    } cases[] = {
        {"one.pc2", "the file holds a single frame; a decomposition needs an animation"},
        {"pose.obj",
         "one OBJ file is a single pose; a decomposition needs an animation, such as a sequence of OBJ "
         "files (a pattern like walk_%04d.obj or walk_*.obj, or a directory)"},
        {"still.gltf", "the file has no animations, only a still pose; a decomposition needs an animation"},
    };
    ReadOptions required;
    required.requireAnimation = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = dir.file(c.file);
        EXPECT_EQ(readAnimation(path).frameCount(), 1);
        EXPECT_TRUE(failsExactly([&] { readAnimation(path, required); }, path + ": " + c.message));
    }
}

}  // namespace
}  // namespace vantrel::io::test
