// Truncated and bit-flipped copies of valid files (fixed seed) fed to every
// reader: each must either read something consistent or throw ReadError,
// never crash, hang or read out of bounds (the sanitizer build checks that).
// Files whose numbers are finite but too large for the float32 output are
// refused by every reader that can hold such numbers, and glTF buffer URIs
// that lead out of the file's folder are refused however they are spelled.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "cache_builders.h"
#include "cli/io/gltf_reader.h"
#include "cli/io/gltf_writer.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "md2_builder.h"
#include "rig_builder.h"
#include "test_files.h"

namespace vantrel::io::test {
namespace {

struct Seed {
    std::string extension;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Whatever a reader returns must hold together.
void expectConsistent(const MeshAnimation& anim, const std::string& label) {
    ASSERT_GT(anim.vertexCount, 0) << label;
    ASSERT_FALSE(anim.frames.empty()) << label;
    for (const auto& frame : anim.frames) {
        ASSERT_EQ(frame.size(), 3 * std::size_t(anim.vertexCount)) << label;
        for (double x : frame) ASSERT_TRUE(std::isfinite(x) && fitsFloat32(x)) << label << ": " << x;
    }
    for (const auto& t : anim.triangles) {
        for (int i : t) ASSERT_TRUE(i >= 0 && i < anim.vertexCount) << label;
    }
    ASSERT_TRUE(anim.uvs.empty() || anim.uvs.size() == 2 * std::size_t(anim.vertexCount)) << label;
    ASSERT_TRUE(anim.frameTimes.empty() || anim.frameTimes.size() == anim.frames.size()) << label;
    ASSERT_TRUE(anim.skin.empty() || anim.skin.size() == std::size_t(anim.vertexCount)) << label;
    ASSERT_TRUE(anim.jointWorld.empty() || anim.jointWorld.size() == anim.frames.size()) << label;
    for (const auto& influences : anim.skin) {
        for (const auto& s : influences)
            ASSERT_TRUE(s.joint >= 0 && std::size_t(s.joint) < anim.jointNames.size()) << label;
    }
}

TEST(ReaderFuzz, DamagedFilesAreReadConsistentlyOrRefused) {
    ScratchDir dir;
    std::vector<Seed> seeds;
    seeds.push_back({".md2", buildMd2(sampleMd2()).data});
    seeds.push_back({".pc2", buildPc2(3, 4, 1.0f, 1.0f).data});
    seeds.push_back({".mdd", buildMdd(3, {0.0f, 0.5f, 1.0f}).data});
    seeds.push_back({".obj", bytesOf("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nvt 1 1\n"
                                     "f 1/1 2/2 3/1\nf -1/-2 -2/-1 -3/-2 4/1\n")});
    RigShape shape;
    shape.joints = 2;
    shape.frames = 3;
    shape.influencesPerVertex = 2;
    const SkinnedRig rig = makeRig(shape);
    for (const char* ext : {".glb", ".gltf"}) {
        const std::string seedPath = dir.file(std::string("seed") + ext);
        writeSkinnedGltf(rig, seedPath);
        seeds.push_back({ext, readBytes(seedPath)});
    }

    // VANTREL_FUZZ_VARIANTS raises the count for a longer hunt by hand.
    const char* env = std::getenv("VANTREL_FUZZ_VARIANTS");
    const int variants = env && std::atoi(env) > 0 ? std::atoi(env) : 80;
    std::mt19937 random(20261208);
    int refused = 0, read = 0;
    for (const Seed& seed : seeds) {
        // The intact file reads.
        const std::string path = dir.file("variant" + seed.extension);
        writeFile(path, seed.bytes);
        expectConsistent(readAnimation(path), "seed " + seed.extension);
        for (int variant = 0; variant < variants; ++variant) {
            std::vector<std::uint8_t> bytes = seed.bytes;
            std::string label = seed.extension + " variant " + std::to_string(variant);
            if (variant % 2 == 0) {
                bytes.resize(std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random));
                label += " truncated to " + std::to_string(bytes.size());
            } else {
                // Flips, half of them in the first 96 bytes where headers and
                // counts live.
                const int flips = std::uniform_int_distribution<int>(1, 6)(random);
                for (int k = 0; k < flips; ++k) {
                    const std::size_t limit = (k % 2 == 0) ? std::min<std::size_t>(96, bytes.size()) : bytes.size();
                    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, limit - 1)(random);
                    const int bit = std::uniform_int_distribution<int>(0, 7)(random);
                    bytes[at] = std::uint8_t(bytes[at] ^ (1u << bit));
                    label += " flip " + std::to_string(at) + ":" + std::to_string(bit);
                }
            }
            writeFile(path, bytes);
            try {
                const MeshAnimation anim = readAnimation(path);
                expectConsistent(anim, label);
                ++read;
            } catch (const ReadError& e) {
                ++refused;
                EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << label << ": " << e.what();
            } catch (const std::exception& e) {
                ADD_FAILURE() << label << ": not a ReadError: " << e.what();
            }
        }
    }
    // The damage reaches the readers' checks, and not every variant is refused.
    EXPECT_GT(refused, 0);
    EXPECT_GT(read, 0);
    // Truncation alone refuses many: the readers do notice damage.
    EXPECT_GT(refused, int(seeds.size()) * variants * 3 / 8);
}

// A triangle (0,0,0), (1,0,0), (0,1,0) in a .gltf whose node scales x by `scaleX`.
std::string scaledTriangleGltf(const std::string& scaleX) {
    return R"({"asset": {"version": "2.0"},
    "buffers": [{"byteLength": 36, "uri": "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}],
    "bufferViews": [{"buffer": 0, "byteLength": 36}],
    "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
    "nodes": [{"mesh": 0, "scale": [)" +
           scaleX + R"(, 1, 1]}],
    "scenes": [{"nodes": [0]}]})";
}

// The same triangle's positions under the mesh `mesh` (JSON, its POSITION
// accessor 0), placed by an untransformed node.
std::string triangleGltfWithMesh(const std::string& mesh) {
    return R"({"asset": {"version": "2.0"},
    "buffers": [{"byteLength": 36, "uri": "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}],
    "bufferViews": [{"buffer": 0, "byteLength": 36}],
    "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
    "meshes": [)" +
           mesh + R"(], "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}]})";
}

TEST(ReaderFuzz, FiniteValuesBeyondFloat32AreRefusedWithTheirPlace) {
    ScratchDir dir;
    // Just inside the range reads; just past it is refused. (PC2 and MDD store
    // float32 themselves: whatever they hold fits.)
    const std::string obj = dir.file("big.obj");
    writeText(obj, "v 0 0 0\nv 3.4e38 1 2\nv 0 1 0\nf 1 2 3\n");
    expectConsistent(readAnimation(obj), "3.4e38 in an OBJ");
    writeText(obj, "v 0 0 0\nv 1e39 1 2\nv 0 1 0\nf 1 2 3\n");
    EXPECT_TRUE(failsWith([&] { readAnimation(obj); },
                          {obj, "coordinate \"1e39\" of vertex 1 is too large for 32-bit floats", "line 2"}));
    writeText(obj, "v 0 0 0\nv 1 1 2\nv 0 1 0\nvt 0 -4e38\nf 1/1 2/1 3/1\n");
    EXPECT_TRUE(
        failsWith([&] { readAnimation(obj); },
                  {obj, "coordinate \"-4e38\" of texture coordinate 0 is too large for 32-bit floats", "line 4"}));

    Md2Model model = sampleMd2();
    model.frames[2].scale[1] = 1e38f;  // a byte of 255 times it overflows float32
    const std::string md2 = dir.file("big.md2");
    writeFile(md2, buildMd2(model).data);
    EXPECT_TRUE(
        failsWith([&] { readAnimation(md2); }, {md2, "frame 2, vertex 0 has a coordinate too large for 32-bit floats",
                                                "at byte " + std::to_string(md2FrameOffset(model, 2) + 40)}));

    const std::string gltf = dir.file("big.gltf");
    writeText(gltf, scaledTriangleGltf("3e38"));
    expectConsistent(readAnimation(gltf), "3e38 in a glTF node");
    writeText(gltf, scaledTriangleGltf("1e39"));
    EXPECT_TRUE(failsWith([&] { readAnimation(gltf); },
                          {gltf, "position of vertex 1 is too large for 32-bit floats", "frame 0"}));
    // A morph target's weight can carry float32 positions past the range too.
    auto writeMorphWeight = [&](const std::string& weight) {
        writeText(
            gltf,
            triangleGltfWithMesh(
                R"({"primitives": [{"attributes": {"POSITION": 0}, "targets": [{"POSITION": 0}]}], "weights": [)" +
                weight + "]}"));
    };
    writeMorphWeight("1e39");
    EXPECT_TRUE(failsWith([&] { readAnimation(gltf); },
                          {gltf, "position of vertex 1 is too large for 32-bit floats", "frame 0"}));
    writeMorphWeight("1e30");
    expectConsistent(readAnimation(gltf), "a 1e30 morph weight in a glTF mesh");
}

// Buffer URIs that would reach past the glTF file's folder, spelled every
// way a file might: each refused, by the reader and by the listing of the
// files it reads, before anything is opened.
TEST(ReaderFuzz, BufferUrisOutsideTheFolderAreRefusedHoweverSpelled) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("model/sub"));
    writeText(dir.file("secret.bin"), std::string(36, '\0'));
    const std::string path = dir.file("model/scene.gltf");
    const std::string leaves = "leaves the glTF file's folder", absolute = "is an absolute path",
                      scheme = "has a scheme other than data:";
    const struct {
        const char* uri;
        const std::string& refusal;
    } cases[] = {
        {"./../secret.bin", leaves},
        {"sub/./../../secret.bin", leaves},
        {"..%2Fsecret.bin", leaves},
        {"%2e%2e%2fsecret.bin", leaves},
        {"sub/%2E%2E/%2e%2e/secret.bin", leaves},
        {"..", leaves},
        {"//localhost/etc/passwd", absolute},
        {"%2F%2Fhost/share", absolute},
        {"/proc/self/environ", absolute},
        {"FILE:///etc/passwd", scheme},
        {"C:/secret.bin", scheme},
        {"ftp://example.com/a.bin", scheme},
        {"DATA:application/octet-stream;base64,AAAA", scheme},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        writeText(path, R"({"asset": {"version": "2.0"}, "buffers": [{"byteLength": 36, "uri": ")" +
                            std::string(c.uri) +
                            R"("}], "bufferViews": [{"buffer": 0, "byteLength": 36}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}], "nodes": [{"mesh": 0}]})");
        const std::string message = "buffer URI \"" + std::string(c.uri) + "\" " + c.refusal;
        EXPECT_TRUE(failsWith([&] { readAnimation(path); }, {path, message, "buffer 0"}));
        EXPECT_TRUE(failsWith([&] { gltfBufferFiles(path); }, {path, message}));
    }
}

}  // namespace
}  // namespace vantrel::io::test
