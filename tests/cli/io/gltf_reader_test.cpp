// The glTF reader on files built here with tinygltf: morph-target animation
// (sampled at key times, at a fixed rate, with STEP keys, and static), a
// skinned joint chain evaluated through its hierarchy, every animation as a
// clip on one timeline, malformed files (glTF 1.0, channels aimed at missing
// nodes, skinned vertices without weights among them), and buffer URIs that
// would read files outside the glTF file's folder.
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include "cli/io/gltf_reader.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "test_files.h"

namespace vantrel::io::test {
namespace {

// Appends a float accessor over new bytes in buffer 0.
int addFloats(tinygltf::Model& m, const std::vector<float>& values, int type) {
    if (m.buffers.empty()) m.buffers.emplace_back();
    auto& data = m.buffers[0].data;
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = data.size();
    view.byteLength = values.size() * 4;
    const auto* p = reinterpret_cast<const unsigned char*>(values.data());
    data.insert(data.end(), p, p + values.size() * 4);
    m.bufferViews.push_back(view);
    tinygltf::Accessor a;
    a.bufferView = int(m.bufferViews.size() - 1);
    a.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
    a.type = type;
    a.count = values.size() / std::size_t(tinygltf::GetNumComponentsInType(std::uint32_t(type)));
    m.accessors.push_back(a);
    return int(m.accessors.size() - 1);
}

void save(const tinygltf::Model& m, const std::string& path, bool binary) {
    tinygltf::TinyGLTF gltf;
    ASSERT_TRUE(gltf.WriteGltfSceneToFile(&m, path, true, true, false, binary));
}

const float kBase[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
const float kDelta0[9] = {0, 0, 1, 0, 0, 2, 0, 0, 3};
const float kDelta1[9] = {1, 0, 0, 1, 0, 0, 1, 0, 0};

// A triangle with two morph targets, placed at x + 10, its weights keyed
// (0,0) at t=0, (1,0) at t=1, (0,1) at t=2.
tinygltf::Model morphModel(const std::string& interpolation) {
    tinygltf::Model m;
    m.asset.version = "2.0";
    tinygltf::Primitive prim;
    prim.attributes["POSITION"] = addFloats(m, std::vector<float>(kBase, kBase + 9), TINYGLTF_TYPE_VEC3);
    prim.targets.push_back({{"POSITION", addFloats(m, std::vector<float>(kDelta0, kDelta0 + 9), TINYGLTF_TYPE_VEC3)}});
    prim.targets.push_back({{"POSITION", addFloats(m, std::vector<float>(kDelta1, kDelta1 + 9), TINYGLTF_TYPE_VEC3)}});
    prim.mode = TINYGLTF_MODE_TRIANGLES;
    tinygltf::Mesh mesh;
    mesh.primitives.push_back(prim);
    mesh.weights = {0.5, 0.0};
    m.meshes.push_back(mesh);
    tinygltf::Node node;
    node.mesh = 0;
    node.translation = {10, 0, 0};
    m.nodes.push_back(node);
    m.scenes.push_back(tinygltf::Scene());
    m.scenes[0].nodes = {0};
    tinygltf::Animation anim;
    tinygltf::AnimationSampler sampler;
    sampler.input = addFloats(m, {0, 1, 2}, TINYGLTF_TYPE_SCALAR);
    sampler.output = addFloats(m, {0, 0, 1, 0, 0, 1}, TINYGLTF_TYPE_SCALAR);
    sampler.interpolation = interpolation;
    anim.samplers.push_back(sampler);
    tinygltf::AnimationChannel channel;
    channel.sampler = 0;
    channel.target_node = 0;
    channel.target_path = "weights";
    anim.channels.push_back(channel);
    m.animations.push_back(anim);
    return m;
}

void expectMorph(const MeshAnimation& anim, int f, double w0, double w1) {
    for (int i = 0; i < 9; ++i) {
        const double expected = kBase[i] + w0 * kDelta0[i] + w1 * kDelta1[i] + (i % 3 == 0 ? 10 : 0);
        EXPECT_NEAR(anim.frames[std::size_t(f)][std::size_t(i)], expected, 1e-6) << "frame " << f << " value " << i;
    }
}

TEST(GltfReader, MorphTargetWeightsAreSampled) {
    ScratchDir dir;
    const std::string path = dir.file("morph.gltf");
    save(morphModel("LINEAR"), path, false);

    const MeshAnimation keys = readAnimation(path);
    ASSERT_EQ(keys.vertexCount, 3);
    ASSERT_EQ(keys.frameCount(), 3);
    EXPECT_EQ(keys.triangles, (std::vector<std::array<int, 3>>{{0, 1, 2}}));
    EXPECT_DOUBLE_EQ(keys.frameRate, 1.0);
    expectMorph(keys, 0, 0, 0);
    expectMorph(keys, 1, 1, 0);
    expectMorph(keys, 2, 0, 1);

    ReadOptions options;
    options.frameRate = 2.0;
    const MeshAnimation fixed = readAnimation(path, options);
    ASSERT_EQ(fixed.frameCount(), 5);
    expectMorph(fixed, 1, 0.5, 0);
    expectMorph(fixed, 3, 0.5, 0.5);
    EXPECT_DOUBLE_EQ(fixed.timeOf(3), 1.5);

    save(morphModel("STEP"), dir.file("step.glb"), true);
    const MeshAnimation step = readAnimation(dir.file("step.glb"), options);
    expectMorph(step, 1, 0, 0);
    expectMorph(step, 3, 1, 0);

    // Without animation: one frame with the mesh's default weights.
    tinygltf::Model still = morphModel("LINEAR");
    still.animations.clear();
    save(still, dir.file("still.glb"), true);
    const MeshAnimation one = readAnimation(dir.file("still.glb"));
    ASSERT_EQ(one.frameCount(), 1);
    expectMorph(one, 0, 0.5, 0);
    EXPECT_TRUE(one.clips.empty());
    // One animation is one clip, named by its index when unnamed.
    ASSERT_EQ(keys.clips.size(), 1u);
    EXPECT_EQ(keys.clips[0].name, "animation 0");
    EXPECT_EQ(keys.clips[0].frameCount, 3);
    EXPECT_TRUE(keys.notes.empty());

    // A second mesh that is not read is mentioned.
    tinygltf::Model twoMeshes = morphModel("LINEAR");
    twoMeshes.meshes.push_back(twoMeshes.meshes[0]);
    twoMeshes.meshes[1].name = "spare";
    save(twoMeshes, dir.file("two.glb"), true);
    EXPECT_EQ(readAnimation(dir.file("two.glb")).notes,
              std::vector<std::string>{"the file has 2 meshes; only mesh 0 is read"});
}

// One animation turning `node` through the quaternions (x, y, z, w per key)
// at `times`, its data added to `m`.
tinygltf::Animation rotationAnimation(tinygltf::Model& m, const std::vector<float>& times,
                                      const std::vector<float>& quaternions, int node, const std::string& name = "") {
    tinygltf::Animation anim;
    anim.name = name;
    tinygltf::AnimationSampler sampler;
    sampler.input = addFloats(m, times, TINYGLTF_TYPE_SCALAR);
    sampler.output = addFloats(m, quaternions, TINYGLTF_TYPE_VEC4);
    anim.samplers.push_back(sampler);
    tinygltf::AnimationChannel channel;
    channel.sampler = 0;
    channel.target_node = node;
    channel.target_path = "rotation";
    anim.channels.push_back(channel);
    return anim;
}

// Hip at y=1 with the knee one above it; the hip turns 90 degrees about z
// between t=0 and t=1.
tinygltf::Model chainModel() {
    tinygltf::Model m;
    m.asset.version = "2.0";
    tinygltf::Primitive prim;
    prim.attributes["POSITION"] = addFloats(m, {0, 1, 0, 0, 2, 0, 0, 1.5f, 0}, TINYGLTF_TYPE_VEC3);
    prim.attributes["WEIGHTS_0"] = addFloats(m, {1, 0, 0, 0, 1, 0, 0, 0, 0.5f, 0.5f, 0, 0}, TINYGLTF_TYPE_VEC4);
    {
        const std::vector<std::uint16_t> joints = {0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0};
        auto& data = m.buffers[0].data;
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = data.size();
        view.byteLength = joints.size() * 2;
        const auto* p = reinterpret_cast<const unsigned char*>(joints.data());
        data.insert(data.end(), p, p + joints.size() * 2);
        m.bufferViews.push_back(view);
        tinygltf::Accessor a;
        a.bufferView = int(m.bufferViews.size() - 1);
        a.componentType = TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT;
        a.type = TINYGLTF_TYPE_VEC4;
        a.count = 3;
        m.accessors.push_back(a);
        prim.attributes["JOINTS_0"] = int(m.accessors.size() - 1);
    }
    prim.mode = TINYGLTF_MODE_POINTS;
    m.meshes.push_back(tinygltf::Mesh());
    m.meshes[0].primitives.push_back(prim);
    tinygltf::Node hip, knee, skinned;
    hip.name = "hip";
    hip.translation = {0, 1, 0};
    hip.children = {1};
    knee.name = "knee";
    knee.translation = {0, 1, 0};
    skinned.mesh = 0;
    skinned.skin = 0;
    skinned.translation = {50, 50, 50};  // ignored for skinned meshes
    m.nodes = {hip, knee, skinned};
    m.scenes.push_back(tinygltf::Scene());
    m.scenes[0].nodes = {0, 2};
    tinygltf::Skin skin;
    skin.joints = {0, 1};
    std::vector<float> ibm(32, 0.0f);
    for (int j = 0; j < 2; ++j) {
        ibm[std::size_t(16 * j)] = ibm[std::size_t(16 * j + 5)] = ibm[std::size_t(16 * j + 10)] =
            ibm[std::size_t(16 * j + 15)] = 1;
        ibm[std::size_t(16 * j + 13)] = -1.0f - float(j);
    }
    skin.inverseBindMatrices = addFloats(m, ibm, TINYGLTF_TYPE_MAT4);
    m.skins.push_back(skin);
    const float h = float(std::sqrt(0.5));
    m.animations.push_back(rotationAnimation(m, {0, 1}, {0, 0, 0, 1, 0, 0, h, h}, 0));
    return m;
}

TEST(GltfReader, SkinnedHierarchyIsEvaluated) {
    ScratchDir dir;
    const std::string path = dir.file("chain.glb");
    save(chainModel(), path, true);
    ReadOptions options;
    options.frameRate = 2.0;
    const MeshAnimation anim = readAnimation(path, options);
    ASSERT_EQ(anim.frameCount(), 3);
    EXPECT_EQ(anim.jointNames, (std::vector<std::string>{"hip", "knee"}));
    EXPECT_EQ(anim.jointParents, (std::vector<int>{-1, 0}));
    EXPECT_TRUE(anim.triangles.empty());
    const double s = std::sqrt(0.5);
    // Rest, half way (45 degrees, by slerp) and the end (90 degrees).
    const double expected[3][9] = {{0, 1, 0, 0, 2, 0, 0, 1.5, 0},
                                   {0, 1, 0, -s, 1 + s, 0, -0.5 * s, 1 + 0.5 * s, 0},
                                   {0, 1, 0, -1, 1, 0, -0.5, 1, 0}};
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(anim.frames[std::size_t(f)][std::size_t(i)], expected[f][i], 1e-6);
    }
    // The knee's world matrix at the end: rotated, at (-1, 1, 0).
    EXPECT_NEAR(anim.jointWorld[2][1][12], -1, 1e-6);
    EXPECT_NEAR(anim.jointWorld[2][1][13], 1, 1e-6);
    EXPECT_NEAR(anim.jointWorld[2][1][1], 1, 1e-6);  // x axis now points along y
    ASSERT_EQ(anim.skin.size(), 3u);
    EXPECT_EQ(anim.skin[2].size(), 2u);
}

// A second animation "wave" turning the knee 90 degrees about z over keys 0,
// 0.5, 1, and a third, its copy, named alike.
tinygltf::Model chainModelWithWaves() {
    tinygltf::Model m = chainModel();
    const float h = float(std::sqrt(0.5)), q = float(std::sin(M_PI / 8)), c = float(std::cos(M_PI / 8));
    const tinygltf::Animation wave =
        rotationAnimation(m, {0, 0.5f, 1}, {0, 0, 0, 1, 0, 0, q, c, 0, 0, h, h}, 1, "wave");
    m.animations.push_back(wave);
    m.animations.push_back(wave);
    return m;
}

TEST(GltfReader, EveryAnimationIsAClipOnOneTimeline) {
    ScratchDir dir;
    const std::string path = dir.file("waves.glb");
    save(chainModelWithWaves(), path, true);
    const MeshAnimation anim = readAnimation(path);
    ASSERT_EQ(anim.frameCount(), 8);
    ASSERT_EQ(anim.clips.size(), 3u);
    const struct {
        const char* name;
        int first, count;
    } clips[] = {{"animation 0", 0, 2}, {"wave", 2, 3}, {"wave (animation 2)", 5, 3}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(anim.clips[k].name, clips[k].name);
        EXPECT_EQ(anim.clips[k].firstFrame, clips[k].first);
        EXPECT_EQ(anim.clips[k].frameCount, clips[k].count);
    }
    // The rate is the mean key rate, 5 intervals over 3 s; each animation
    // starts one frame of it after the previous one ends.
    EXPECT_NEAR(anim.frameRate, 5.0 / 3.0, 1e-12);
    const double times[] = {0, 1, 1.6, 2.1, 2.6, 3.2, 3.7, 4.2};
    for (int f = 0; f < 8; ++f) EXPECT_NEAR(anim.timeOf(f), times[f], 1e-6) << f;
    // Vertex 2 (half hip, half knee, at 1.5 up): the first animation ends with
    // the hip turned; "wave" starts from the file's still pose, not from there.
    const auto vertex2 = [&](int f) {
        return std::array<double, 3>{anim.frames[std::size_t(f)][6], anim.frames[std::size_t(f)][7],
                                     anim.frames[std::size_t(f)][8]};
    };
    const std::array<double, 3> expected[] = {{0, 1.5, 0},     {-0.5, 1, 0}, {0, 1.5, 0},
                                              {0.25, 1.75, 0}, {0, 1.5, 0},  {0.25, 1.75, 0}};
    const int frames[] = {0, 1, 2, 4, 5, 7};
    for (std::size_t k = 0; k < 6; ++k) {
        for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(vertex2(frames[k])[c], expected[k][c], 1e-6) << frames[k];
    }

    // At a fixed rate every animation is resampled, and the gap is one frame.
    ReadOptions options;
    options.frameRate = 2.0;
    const MeshAnimation fixed = readAnimation(path, options);
    ASSERT_EQ(fixed.frameCount(), 9);
    EXPECT_EQ(fixed.clips[1].firstFrame, 3);
    EXPECT_NEAR(fixed.timeOf(3), 1.5, 1e-12);
    EXPECT_NEAR(fixed.timeOf(8), 4.0, 1e-12);
}

// Geometry kept compressed inside a required extension is refused by name,
// before the empty accessors could be read; other required extensions leave
// the geometry alone and do not stop the file.
TEST(GltfReader, RefusesGeometryCompressedByARequiredExtension) {
    ScratchDir dir;
    const std::string refusal = ", which is not supported; export the file without mesh compression";
    const std::string draco = dir.file("draco.gltf");
    writeText(draco, R"({"asset": {"version": "2.0"},
        "extensionsUsed": ["KHR_draco_mesh_compression"], "extensionsRequired": ["KHR_draco_mesh_compression"],
        "accessors": [{"componentType": 5126, "count": 3, "type": "VEC3"}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0},
            "extensions": {"KHR_draco_mesh_compression": {"bufferView": 0, "attributes": {"POSITION": 0}}}}]}],
        "nodes": [{"mesh": 0}]})");
    EXPECT_TRUE(failsExactly([&] { readAnimation(draco); },
                             draco + ": the geometry is compressed with KHR_draco_mesh_compression" + refusal));

    const std::string plain = dir.file("plain.glb");
    save(chainModelWithWaves(), plain, true);
    const int vertexCount = readAnimation(plain).vertexCount;

    const std::string meshopt = dir.file("meshopt.glb");
    tinygltf::Model m = chainModelWithWaves();
    m.extensionsUsed = m.extensionsRequired = {"KHR_texture_transform", "EXT_meshopt_compression"};
    save(m, meshopt, true);
    EXPECT_TRUE(failsExactly([&] { readAnimation(meshopt); },
                             meshopt + ": the geometry is compressed with EXT_meshopt_compression" + refusal));

    const std::string materials = dir.file("materials.glb");
    m.extensionsUsed = m.extensionsRequired = {"KHR_materials_emissive_strength", "KHR_texture_transform"};
    save(m, materials, true);
    EXPECT_EQ(readAnimation(materials).vertexCount, vertexCount);
}

// Files that break the rules of glTF 2.0 in ways readers are known to meet,
// refused with what is wrong.
TEST(GltfReader, RefusesGltf1ChannelsToMissingNodesAndVerticesWithoutWeights) {
    ScratchDir dir;
    const std::string path = dir.file("bad.gltf");
    const std::string gltf1 = ": glTF 1.0 is not supported; convert it to glTF 2.0";
    for (const char* text : {R"({"asset": {"version": "1.0"}, "meshes": {}, "nodes": {}})",
                             R"({"asset": {"version": "1.0.3", "generator": "collada2gltf"}})",
                             R"({"meshes": {"body": {"primitives": []}}, "nodes": {"root": {"meshes": ["body"]}}})"}) {
        SCOPED_TRACE(text);
        writeText(path, text);
        EXPECT_TRUE(failsExactly([&] { readAnimation(path); }, path + gltf1));
    }
    // A binary glTF 1.0 (KHR_binary_glTF) has GLB version 1.
    const std::string json = R"({"asset": {"version": "1.0"}})";
    Bytes glb;
    glb.text("glTF").i32le(1).i32le(int(20 + json.size())).i32le(int(json.size())).i32le(0).text(json);
    writeFile(dir.file("old.glb"), glb.data);
    EXPECT_TRUE(failsExactly([&] { readAnimation(dir.file("old.glb")); }, dir.file("old.glb") + gltf1));
    // A 2.0 file that only lacks its asset is not taken for 1.0.
    writeText(path, R"({"nodes": [], "meshes": []})");
    EXPECT_TRUE(failsWith([&] { readAnimation(path); }, {path, "not a valid glTF file"}));

    const std::string glbPath = dir.file("bad.glb");
    tinygltf::Model m = chainModelWithWaves();
    m.animations[1].channels[0].target_node = 9;
    save(m, glbPath, true);
    EXPECT_TRUE(failsExactly([&] { readAnimation(glbPath); },
                             glbPath + ": animation 1 (\"wave\"), channel 0 targets node 9, which does not exist "
                                       "(the file has 3 nodes)"));
    m = chainModel();
    m.animations[0].channels[0].target_node = 3;
    save(m, glbPath, true);
    EXPECT_TRUE(failsExactly([&] { readAnimation(glbPath); },
                             glbPath + ": animation 0, channel 0 targets node 3, which does not exist (the file has 3 "
                                       "nodes)"));
    // A channel without a node aims at something of an extension's: skipped.
    m.animations[0].channels[0].target_node = -1;
    save(m, glbPath, true);
    EXPECT_EQ(readAnimation(glbPath).frameCount(), 1);

    // WEIGHTS_0 is accessor 1 over bytes 36..83: four per vertex.
    const std::size_t weights = m.bufferViews[std::size_t(m.accessors[1].bufferView)].byteOffset;
    const auto withWeights = [&](std::size_t vertex, const std::array<float, 4>& values) {
        tinygltf::Model changed = chainModel();
        std::memcpy(changed.buffers[0].data.data() + weights + 16 * vertex, values.data(), 16);
        return changed;
    };
    save(withWeights(2, {0, 0, 0, 0}), glbPath, true);
    EXPECT_TRUE(
        failsExactly([&] { readAnimation(glbPath); }, glbPath + ": vertex 2 has skin weights that are all zero"));
    save(withWeights(1, {-1, 1, 0, 0}), glbPath, true);
    EXPECT_TRUE(failsExactly([&] { readAnimation(glbPath); }, glbPath + ": vertex 1 has a negative skin weight"));
    m = chainModel();
    m.meshes[0].primitives[0].attributes.erase("JOINTS_0");
    save(m, glbPath, true);
    EXPECT_TRUE(failsExactly([&] { readAnimation(glbPath); },
                             glbPath +
                                 ": the mesh has a skin but this primitive has no JOINTS_0 and WEIGHTS_0 (mesh 0, "
                                 "primitive 0)"));
}

TEST(GltfReader, RefusesMalformedFiles) {
    ScratchDir dir;
    const std::string path = dir.file("bad.glb");
    save(chainModel(), path, true);
    const std::vector<std::uint8_t> good = readBytes(path);

    std::vector<std::uint8_t> bytes = good;
    bytes[1] = 'X';
    writeFile(path, bytes);
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "bad magic", "at byte 0"}));

    bytes = good;
    bytes[8] = 0xff;
    bytes[9] = 0xff;
    bytes[10] = 0xff;
    writeFile(path, bytes);
    EXPECT_TRUE(
        failsWith([&] { readGltf(path); },
                  {path, "GLB length", "does not fit the " + std::to_string(good.size()) + "-byte file", "at byte 8"}));

    // An accessor that claims more elements than its buffer view holds.
    tinygltf::Model m = chainModel();
    m.accessors[0].count = 300;
    save(m, path, true);
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "POSITION", "accessor 0"}));

    // A NaN in the positions.
    m = chainModel();
    const float nan = std::nanf("");
    std::memcpy(m.buffers[0].data.data() + 4, &nan, 4);
    save(m, path, true);
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "non-finite value", "accessor 0"}));

    // Joints that refer past the skin's two joints.
    m = chainModel();
    m.buffers[0].data[m.bufferViews[2].byteOffset] = 7;
    save(m, path, true);
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "joint index 7 out of range", "mesh 0, primitive 0"}));

    // A node that is its own grandparent.
    m = chainModel();
    m.nodes[1].children = {0};
    save(m, path, true);
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "node hierarchy has a cycle", "node 0"}));

    writeText(dir.file("text.gltf"), "{\"asset\": {\"version\": \"2.0\"");
    EXPECT_TRUE(failsWith([&] { readGltf(dir.file("text.gltf")); }, {"text.gltf", "not a valid glTF file"}));
}

// A triangle (0,0,0), (1,0,0), (0,1,0) whose one buffer is `uri`.
std::string triangleGltf(const std::string& uri) {
    return R"({"asset": {"version": "2.0"},
    "buffers": [{"byteLength": 36, "uri": ")" +
           uri + R"("}],
    "bufferViews": [{"buffer": 0, "byteLength": 36}],
    "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
    "nodes": [{"mesh": 0}],
    "scenes": [{"nodes": [0]}]})";
}

std::vector<std::uint8_t> trianglePositions() {
    Bytes b;
    for (float x : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f}) b.f32le(x);
    return b.data;
}

TEST(GltfReader, BuffersAreReadOnlyFromTheFilesFolder) {
    ScratchDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.file("model/sub"));
    writeFile(dir.file("secret.bin"), trianglePositions());
    writeFile(dir.file("model/inside.bin"), trianglePositions());
    writeFile(dir.file("model/sub/deeper.bin"), trianglePositions());
    fs::create_symlink("../secret.bin", dir.file("model/link.bin"));
    const std::string path = dir.file("model/scene.gltf");

    // Inside the folder, however spelled.
    for (const char* uri : {"inside.bin", "sub/deeper.bin", "sub/../inside.bin", "./sub/%64eeper.bin"}) {
        SCOPED_TRACE(uri);
        writeText(path, triangleGltf(uri));
        const MeshAnimation anim = readGltf(path);
        ASSERT_EQ(anim.vertexCount, 3);
        EXPECT_EQ(anim.frames[0][3], 1.0);
    }
    // Outside it, or not a file at all: refused before anything is opened.
    const struct {
        std::string uri;
        std::string message;
    } refused[] = {
        {"../secret.bin", "buffer URI \"../secret.bin\" leaves the glTF file's folder"},
        {"sub/../../secret.bin", "buffer URI \"sub/../../secret.bin\" leaves the glTF file's folder"},
        {"%2e%2e/secret.bin", "buffer URI \"%2e%2e/secret.bin\" leaves the glTF file's folder"},
        {"link.bin", "buffer URI \"link.bin\" leaves the glTF file's folder"},
        {"/etc/shadow", "buffer URI \"/etc/shadow\" is an absolute path"},
        {"%2Fetc/shadow", "buffer URI \"%2Fetc/shadow\" is an absolute path"},
        {"file:///etc/shadow", "buffer URI \"file:///etc/shadow\" has a scheme other than data:"},
        {"http://example.com/a.bin", "buffer URI \"http://example.com/a.bin\" has a scheme other than data:"},
        {"data:text/plain,abc", "buffer URI \"data:text/plain,abc\" is a data: URI of a form that cannot be read"},
        {"sub", "buffer URI \"sub\" does not name a regular file"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.uri);
        writeText(path, triangleGltf(c.uri));
        EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, c.message, "buffer 0"}));
        // The same refusal for the listing the program checks its outputs with.
        EXPECT_TRUE(failsWith([&] { gltfBufferFiles(path); }, {path, c.message}));
    }
    // A file that is not there is named as the URI gives it, and nothing of
    // another file (such as its size) shows.
    writeText(path, triangleGltf("missing.bin"));
    EXPECT_TRUE(failsWith([&] { readGltf(path); }, {path, "missing.bin"}));
    writeText(path, triangleGltf("inside.bin"));
    EXPECT_EQ(gltfBufferFiles(path), std::vector<std::string>{fs::canonical(dir.file("model/inside.bin")).string()});

    // A .glb's external buffers follow the same rule.
    std::string json = triangleGltf("../secret.bin");
    json.resize((json.size() + 3) / 4 * 4, ' ');
    Bytes glb;
    glb.text("glTF").i32le(2).i32le(int(20 + json.size())).i32le(int(json.size())).text("JSON").text(json);
    writeFile(dir.file("model/scene.glb"), glb.data);
    EXPECT_TRUE(failsWith([&] { readGltf(dir.file("model/scene.glb")); },
                          {dir.file("model/scene.glb"), "buffer URI \"../secret.bin\" leaves the glTF file's folder"}));
}

}  // namespace
}  // namespace vantrel::io::test
