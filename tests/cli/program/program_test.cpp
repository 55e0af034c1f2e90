// The vantrel program end to end: a known rigid rig given without its joints
// is recovered after joint placement, the written rig plays back the
// animation, frame selection and axes behave, and bad files are refused
// without leaving output behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include <host/scene.h>
#include <host/scene_file.h>
#include <host/session.h>

#include "cli/decompose.h"
#include "cli/frame_selection.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "cli/progress.h"
#include "cli/rig_metrics.h"
#include "md2_builder.h"
#include "test_files.h"

namespace {

using vantrel::io::test::Bytes;
using vantrel::io::test::ScratchDir;

// A bent tube of `parts` rigid segments; segment s turns about its own base
// by its own angles and slides, so each moves rigidly and differently.
struct RigidTube {
    int parts = 4;
    int rings = 4;  // per segment
    int perRing = 6;
    int frames = 24;
    int vertexCount() const { return parts * rings * perRing; }

    std::vector<std::vector<double>> positions() const {
        std::vector<std::vector<double>> out(static_cast<size_t>(frames));
        for (int f = 0; f < frames; ++f) {
            const double t = f / double(frames - 1);
            for (int s = 0; s < parts; ++s) {
                const double a = (s + 1) * 0.6 * std::sin(2.0 * M_PI * t + s);
                const double b = 0.3 * s * t;
                const double base = 3.0 * s;
                for (int r = 0; r < rings; ++r) {
                    for (int k = 0; k < perRing; ++k) {
                        const double phi = 2.0 * M_PI * k / perRing;
                        const double x0 = std::cos(phi), z0 = std::sin(phi), y0 = 3.0 * r / rings;
                        // Rotate about z by a, then about y by b, around the segment's base.
                        const double x1 = x0 * std::cos(a) - y0 * std::sin(a), y1 = x0 * std::sin(a) + y0 * std::cos(a);
                        const double x2 = x1 * std::cos(b) + z0 * std::sin(b),
                                     z2 = -x1 * std::sin(b) + z0 * std::cos(b);
                        out[f].insert(out[f].end(), {x2 + 4.0 * s + t, y1 + base, z2 - 0.5 * s * t});
                    }
                }
            }
        }
        return out;
    }
    std::vector<std::array<int, 3>> triangles() const {
        std::vector<std::array<int, 3>> tris;
        for (int s = 0; s < parts; ++s)
            for (int r = 0; r + 1 < rings; ++r)
                for (int k = 0; k < perRing; ++k) {
                    const int a = (s * rings + r) * perRing + k, b = (s * rings + r) * perRing + (k + 1) % perRing;
                    tris.push_back({a, b, b + perRing});
                    tris.push_back({a, b + perRing, a + perRing});
                }
        return tris;
    }
};

void writePc2(const std::string& path, const std::vector<std::vector<double>>& frames, int vertexCount) {
    Bytes bytes;
    bytes.text("POINTCACHE2", 12).i32le(1).i32le(vertexCount).f32le(0.0f).f32le(1.0f).i32le(int(frames.size()));
    for (const auto& frame : frames)
        for (double value : frame) bytes.f32le(static_cast<float>(value));
    vantrel::io::test::writeFile(path, bytes.data);
}

void writeObj(const std::string& path, const std::vector<double>& points,
              const std::vector<std::array<int, 3>>& triangles) {
    std::ofstream out(path);
    out.precision(9);
    for (size_t i = 0; i < points.size(); i += 3)
        out << "v " << points[i] << " " << points[i + 1] << " " << points[i + 2] << "\n";
    for (const auto& t : triangles) out << "f " << t[0] + 1 << " " << t[1] + 1 << " " << t[2] + 1 << "\n";
}

nlohmann::json readJson(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

// A tube bent smoothly by a chain of `bones` joints: every vertex follows the
// two joints nearest along the tube with weights that blend over each
// articulation, as skin over a limb does; nothing in it moves rigidly.
std::vector<std::vector<double>> bendingTube(int bones, int rings, int perRing, int frames) {
    std::vector<std::vector<double>> out(static_cast<size_t>(frames));
    const double length = 2.0;  // per bone, along y
    for (int f = 0; f < frames; ++f) {
        const double t = f / double(frames - 1);
        // World rotation (about z, then a twist about y) and pivot of every joint.
        std::vector<double> angle(bones), pivotX(bones), pivotY(bones);
        double a = 0.0, x = 0.0, y = 0.0;
        for (int b = 0; b < bones; ++b) {
            pivotX[b] = x;
            pivotY[b] = y;
            a += f == 0 ? 0.0 : 0.5 * std::sin(2.0 * M_PI * t + 0.7 * b);
            angle[b] = a;
            x += -length * std::sin(a);
            y += length * std::cos(a);
        }
        for (int r = 0; r < rings; ++r) {
            const double along = bones * length * r / (rings - 1);  // rest height
            const double u = along / length - 0.5;                  // bone coordinate of the ring
            const int lower = std::clamp(static_cast<int>(std::floor(u)), 0, bones - 1);
            const int upper = std::min(lower + 1, bones - 1);
            const double blend = std::clamp(u - lower, 0.0, 1.0);
            for (int k = 0; k < perRing; ++k) {
                const double phi = 2.0 * M_PI * k / perRing;
                const double radius = 0.6 + 0.2 * std::cos(3.0 * along);
                const double px = radius * std::cos(phi), pz = radius * std::sin(phi);
                double sx = 0.0, sy = 0.0, sz = 0.0;
                for (const auto& [b, w] : {std::pair<int, double>{lower, 1.0 - blend}, {upper, blend}}) {
                    const double ly = along - b * length;  // relative to the joint at rest
                    const double c = std::cos(angle[b]), s = std::sin(angle[b]);
                    sx += w * (pivotX[b] + px * c - ly * s);
                    sy += w * (pivotY[b] + px * s + ly * c);
                    sz += w * pz;
                }
                out[f].insert(out[f].end(), {sx, sy, sz});
            }
        }
    }
    return out;
}

// Runs a shell command; returns its exit code and what it printed.
int runShell(const std::string& command, std::string& output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    output.clear();
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the built program; returns its exit code and what it printed.
int runProgram(const std::string& arguments, std::string& output) {
    return runShell(std::string(VANTREL_PROGRAM) + " " + arguments + " 2>&1", output);
}

// The same, run from the folder `folder`.
int runProgramIn(const std::string& folder, const std::string& arguments, std::string& output) {
    return runShell("cd '" + folder + "' && " + std::string(VANTREL_PROGRAM) + " " + arguments + " 2>&1", output);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `frames` of `tube` written as NAME.pc2 with its topology NAME.obj in `dir`,
// and the options decomposing them into NAME.glb with the report NAME.json.
vantrel::cli::DecomposeOptions tubeCacheRun(const ScratchDir& dir, const std::string& name,
                                            const std::vector<std::vector<double>>& frames, const RigidTube& tube) {
    writePc2(dir.file(name + ".pc2"), frames, tube.vertexCount());
    writeObj(dir.file(name + ".obj"), frames.front(), tube.triangles());
    vantrel::cli::DecomposeOptions options;
    options.inputPath = dir.file(name + ".pc2");
    options.topologyPath = dir.file(name + ".obj");
    options.outputPath = dir.file(name + ".glb");
    options.reportPath = dir.file(name + ".json");
    return options;
}

// A small tube as a point cache with its topology, and a stand-in viewer, in `dir`.
void writeSmallTube(const ScratchDir& dir) {
    RigidTube tube;
    tube.parts = 2;
    tube.frames = 6;
    const auto frames = tube.positions();
    writePc2(dir.file("tube.pc2"), frames, tube.vertexCount());
    writeObj(dir.file("tube.obj"), frames.front(), tube.triangles());
    vantrel::io::test::writeText(dir.file("viewer.js"), "// viewer");
}

// The largest distance between a point of `a` and the same point of `b`
// over every frame (frames[f][3 * v + c], the same sizes).
double largestDistance(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
    double worst = 0.0;
    for (size_t f = 0; f < a.size(); ++f)
        for (size_t i = 0; i + 2 < a[f].size(); i += 3) {
            double squared = 0.0;
            for (size_t c = 0; c < 3; ++c) squared += std::pow(a[f][i + c] - b[f][i + c], 2);
            worst = std::max(worst, std::sqrt(squared));
        }
    return worst;
}

// Quick settings for a decomposition of the small tube.
const char* const kQuick = " -b 2 -n 2 --search 0 -q";

}  // namespace

TEST(Decompose, EveryJointCarriesWeightOnSkinThatBends) {
    ScratchDir dir;
    const int bones = 5, rings = 21, perRing = 8, frameCount = 30;
    const auto frames = bendingTube(bones, rings, perRing, frameCount);
    writePc2(dir.file("limb.pc2"), frames, rings * perRing);

    vantrel::cli::DecomposeOptions options;
    options.inputPath = dir.file("limb.pc2");
    options.outputPath = dir.file("limb.glb");
    options.reportPath = dir.file("limb.json");
    options.bones = bones;
    options.quiet = true;
    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    testing::internal::GetCapturedStdout();
    const nlohmann::json report = readJson(dir.file("limb.json"));
    EXPECT_EQ(report["negligibleJoints"], 0);
    // Blended skin is what linear blend skinning reproduces: the fit is close.
    EXPECT_LT(report["eRms"].get<double>(), 1.0);
    // The exported rig is the best run's, and no run's error is below it.
    for (const auto& run : report["runs"]) EXPECT_GE(run["eRms"].get<double>(), report["eRms"].get<double>() - 1e-12);
}

TEST(Decompose, RecoversAKnownRigidRigAfterJointPlacement) {
    ScratchDir dir;
    const RigidTube tube;
    const auto frames = tube.positions();
    vantrel::cli::DecomposeOptions options = tubeCacheRun(dir, "tube", frames, tube);
    options.bones = tube.parts;
    options.influences = 4;
    options.iterations = 10;
    options.quiet = true;
    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    const std::string summary = testing::internal::GetCapturedStdout();
    EXPECT_NE(summary.find("E_RMS"), std::string::npos);

    const nlohmann::json report = readJson(dir.file("tube.json"));
    EXPECT_LT(report["eRms"].get<double>(), 1e-3);  // float32 positions
    EXPECT_EQ(report["sizes"]["joints"], tube.parts);
    EXPECT_EQ(report["sizes"]["frames"], tube.frames);
    EXPECT_EQ(report["errorPerIteration"].size(), report["iterationsDone"].get<size_t>());
    for (const char* stage : {"read", "jointPlacement", "scene", "solve", "export", "total"})
        EXPECT_TRUE(report["seconds"].contains(stage)) << stage;
    EXPECT_GT(report["peakMemoryMiB"].get<double>(), 0.0);

    // The written rig plays the animation back as closely as the report says.
    const vantrel::io::MeshAnimation played = vantrel::io::readAnimation(dir.file("tube.glb"));
    ASSERT_EQ(played.frameCount(), tube.frames);
    ASSERT_EQ(played.vertexCount, tube.vertexCount());
    const double size = vantrel::cli::boundingBoxDiagonal(frames.front());
    const double allowed = report["maxDistance"].get<double>() + 1e-5 * size;
    const double worst = largestDistance(played.frames, frames);
    EXPECT_LE(worst, allowed + 1e-4 * size);  // float32 storage of the input cache

    // Decomposing that skinned file again starts from its own skeleton, seeded
    // by its skin, which already reproduces it.
    options.inputPath = dir.file("tube.glb");
    options.topologyPath.clear();
    options.outputPath = dir.file("again.glb");
    options.reportPath = dir.file("again.json");
    options.bones = 0;
    options.iterations = 2;
    testing::internal::CaptureStdout();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    testing::internal::GetCapturedStdout();
    const nlohmann::json again = readJson(dir.file("again.json"));
    EXPECT_TRUE(again["settings"]["jointsFromFile"].get<bool>());
    // The file's skeleton keeps its names and its tree.
    EXPECT_EQ(again["skeleton"]["hierarchy"], "file");
    ASSERT_EQ(again["skeleton"]["joints"].size(), report["skeleton"]["joints"].size());
    for (size_t j = 0; j < report["skeleton"]["joints"].size(); ++j) {
        EXPECT_EQ(again["skeleton"]["joints"][j]["name"], report["skeleton"]["joints"][j]["name"]);
        EXPECT_EQ(again["skeleton"]["joints"][j]["parent"], report["skeleton"]["joints"][j]["parent"]);
    }
    EXPECT_EQ(again["sizes"]["joints"], tube.parts);
    EXPECT_LT(again["eRms"].get<double>(), 1e-3);
    EXPECT_TRUE(again["notes"].empty()) << again["notes"];
}

// Affine joints that shear are exported as their closest TRS: the summary
// and the report describe the file as it plays, the solved rig beside it.
TEST(Decompose, AShearedRigReportsTheFileAsWritten) {
    ScratchDir dir;
    RigidTube tube;
    tube.parts = 2;
    auto frames = tube.positions();
    for (size_t f = 1; f < frames.size(); ++f)
        for (int v = 0; v < tube.vertexCount(); ++v)
            frames[f][3 * v] += 0.4 * std::sin(static_cast<double>(f)) * frames[f][3 * v + 1];
    vantrel::cli::DecomposeOptions options = tubeCacheRun(dir, "shear", frames, tube);
    options.bones = tube.parts;
    options.affine = true;
    options.iterations = 5;
    options.search = 0.0;
    options.quiet = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(vantrel::cli::runDecompose(options), 0);
    const std::string summary = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    const nlohmann::json report = readJson(dir.file("shear.json"));
    ASSERT_TRUE(report["export"]["shearDropped"].get<bool>());
    ASSERT_TRUE(report.contains("solvedRig"));
    EXPECT_LT(report["solvedRig"]["maxDistance"].get<double>(), report["maxDistance"].get<double>());
    EXPECT_NE(summary.find("solved rig with shear: E_RMS"), std::string::npos) << summary;

    // The file plays back at the reported largest distance, not the solved one.
    const vantrel::io::MeshAnimation played = vantrel::io::readAnimation(dir.file("shear.glb"));
    ASSERT_EQ(played.frameCount(), static_cast<int>(frames.size()));
    const double worst = largestDistance(played.frames, frames);
    const double size = vantrel::cli::boundingBoxDiagonal(frames.front());
    EXPECT_NEAR(worst, report["maxDistance"].get<double>(), 1e-4 * size);
}

// A limb bent by a chain of joints: the exported skeleton is a chain with
// joints at the articulations, bones that keep their length, the deformation
// of the flat rig exactly; the file nests the joints so, and plays as the
// report says.
TEST(Decompose, ABendingLimbGetsAChainOfJointsThatDeformsAsTheFlatRig) {
    ScratchDir dir;
    const int bones = 4, rings = 17, perRing = 8;
    const auto frames = bendingTube(bones, rings, perRing, 24);
    writePc2(dir.file("limb.pc2"), frames, rings * perRing);
    std::map<std::string, nlohmann::json> reports;
    for (const char* skeleton : {"tree", "flat"}) {
        std::string printed;
        ASSERT_EQ(runProgram("decompose " + dir.file("limb.pc2") + " -o " + dir.file(std::string(skeleton) + ".glb") +
                                 " --report " + dir.file(std::string(skeleton) + ".json") +
                                 " -b 4 -j 1 -q --skeleton " + skeleton,
                             printed),
                  0)
            << printed;
        EXPECT_NE(printed.find(std::string("  skeleton: ") +
                               (skeleton == std::string("tree") ? "a tree rooted at joint_0" : "flat (every joint")),
                  std::string::npos)
            << printed;
        reports[skeleton] = readJson(dir.file(std::string(skeleton) + ".json"));
    }
    const nlohmann::json& tree = reports["tree"];
    const nlohmann::json& flat = reports["flat"];
    // Re-expressing the joints in a tree and moving their origins is exact.
    EXPECT_NEAR(tree["eRms"].get<double>(), flat["eRms"].get<double>(), 1e-9 * flat["eRms"].get<double>() + 1e-12);
    EXPECT_EQ(tree["skeleton"]["hierarchy"], "tree");
    EXPECT_EQ(flat["skeleton"]["hierarchy"], "flat");
    const double size = tree["restDiagonal"].get<double>();

    // A chain: one root, every joint with at most two neighbours, and the
    // links join joints that follow each other up the limb.
    const nlohmann::json& joints = tree["skeleton"]["joints"];
    ASSERT_EQ(joints.size(), 4u);
    std::vector<int> neighbours(4, 0);
    int roots = 0;
    for (size_t j = 0; j < joints.size(); ++j) {
        EXPECT_EQ(joints[j]["name"], "joint_0" + std::to_string(j));
        EXPECT_EQ(flat["skeleton"]["joints"][j]["parent"], -1);
        const int parent = joints[j]["parent"].get<int>();
        if (parent < 0) {
            ++roots;
            continue;
        }
        ++neighbours[j];
        ++neighbours[static_cast<size_t>(parent)];
        // The pivot lies between the two joints' bones, on the limb's axis
        // at rest (x = z = 0, y a multiple of the bone length 2 between them).
        const nlohmann::json& pivot = joints[j]["pivot"];
        EXPECT_LT(std::hypot(pivot[0].get<double>(), pivot[2].get<double>()), 0.05 * size) << pivot;
        const double y = pivot[1].get<double>();
        EXPECT_LT(std::abs(y - 2.0 * std::round(y / 2.0)), 0.05 * size) << pivot;
        EXPECT_LT(joints[j]["boneLengthVariation"].get<double>(), 0.01 * size) << joints[j];
    }
    EXPECT_EQ(roots, 1);
    for (int n : neighbours) EXPECT_LE(n, 2);

    // The file nests the joints as the report lists them, and plays within
    // the report's largest distance.
    const vantrel::io::MeshAnimation played = vantrel::io::readAnimation(dir.file("tree.glb"));
    ASSERT_EQ(played.jointParents.size(), joints.size());
    for (size_t j = 0; j < joints.size(); ++j) EXPECT_EQ(played.jointParents[j], joints[j]["parent"].get<int>());
    EXPECT_LE(largestDistance(played.frames, frames), tree["maxDistance"].get<double>() + 1e-4 * size);
}

// A cache whose topology file is its bind pose (a straight limb no frame
// shows): bound to it, every cached frame is fitted and the file's rest mesh
// is the topology's.
TEST(Decompose, TheTopologysPositionsCanBeTheBindPose) {
    ScratchDir dir;
    const int bones = 3, rings = 13, perRing = 8;
    auto frames = bendingTube(bones, rings, perRing, 13);
    const std::vector<double> straight = frames.front();  // frame 0 of bendingTube is the rest
    frames.erase(frames.begin());
    writePc2(dir.file("bent.pc2"), frames, rings * perRing);
    std::vector<std::array<int, 3>> triangles;
    for (int r = 0; r + 1 < rings; ++r)
        for (int k = 0; k < perRing; ++k) {
            const int a = r * perRing + k, b = r * perRing + (k + 1) % perRing;
            triangles.push_back({a, b, b + perRing});
            triangles.push_back({a, b + perRing, a + perRing});
        }
    writeObj(dir.file("straight.obj"), straight, triangles);
    std::string printed;
    ASSERT_EQ(runProgram("decompose " + dir.file("bent.pc2") + " --topology " + dir.file("straight.obj") +
                             " --bind-pose topology -b 3 -q -o " + dir.file("bent.glb") + " --report " +
                             dir.file("bent.json"),
                         printed),
              0)
        << printed;
    const nlohmann::json report = readJson(dir.file("bent.json"));
    EXPECT_EQ(report["settings"]["bindPose"], "topology");
    EXPECT_EQ(report["settings"]["restFrame"], -1);
    EXPECT_EQ(report["sizes"]["frames"], frames.size());  // every cached frame, none used up as the rest
    EXPECT_EQ(report["settings"]["frames"].size(), frames.size() + 1);
    const vantrel::io::MeshAnimation played = vantrel::io::readAnimation(dir.file("bent.glb"));
    ASSERT_EQ(played.frameCount(), static_cast<int>(frames.size()));
    ASSERT_EQ(played.bindPositions.size(), straight.size());
    for (size_t i = 0; i < straight.size(); ++i) EXPECT_NEAR(played.bindPositions[i], straight[i], 1e-5);
    const double size = report["restDiagonal"].get<double>();
    EXPECT_LE(largestDistance(played.frames, frames), report["maxDistance"].get<double>() + 1e-4 * size);
    EXPECT_LT(report["eRms"].get<double>(), 1.0);

    // The page of that result is made again from the report: the bind pose
    // is read again from the topology.
    vantrel::io::test::writeText(dir.file("viewer.js"), "// viewer");
    EXPECT_EQ(runProgram("report " + dir.file("bent.json") + " -o " + dir.file("bent.html") + " --viewer-script " +
                             dir.file("viewer.js") + " -q",
                         printed),
              0)
        << printed;
}

TEST(Decompose, KeepingFramesMovesThemAndCopiesOnlyARepeatedOne) {
    vantrel::io::MeshAnimation animation;
    animation.vertexCount = 1;
    animation.frames = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
    animation.frameTimes = {0.0, 0.5, 1.0, 2.0};
    animation.jointWorld.resize(4);
    for (int f = 0; f < 4; ++f) {
        vantrel::io::Matrix4 world = vantrel::io::identityMatrix();
        world[12] = f;
        animation.jointWorld[f] = {world};
    }
    animation.clips = {{"walk", 1, 2}};
    animation.triangles = {{0, 0, 0}};
    const double* frameTwoData = animation.frames[2].data();
    const double* frameOneData = animation.frames[1].data();

    const vantrel::io::MeshAnimation kept = vantrel::cli::keepFrames(std::move(animation), {2, 1, 2});
    ASSERT_EQ(kept.frameCount(), 3);
    EXPECT_EQ(kept.frames[0], (std::vector<double>{2, 2, 2}));
    EXPECT_EQ(kept.frames[1], (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(kept.frames[2], (std::vector<double>{2, 2, 2}));
    EXPECT_EQ(kept.frameTimes, (std::vector<double>{1.0, 0.5, 1.0}));
    ASSERT_EQ(kept.jointWorld.size(), 3u);
    EXPECT_EQ(kept.jointWorld[0][0][12], 2.0);
    EXPECT_EQ(kept.jointWorld[1][0][12], 1.0);
    EXPECT_EQ(kept.jointWorld[2][0][12], 2.0);
    EXPECT_TRUE(kept.clips.empty());
    EXPECT_EQ(kept.triangles.size(), 1u);
    // The last use of a frame takes its buffer; the earlier one is a copy.
    EXPECT_EQ(kept.frames[1].data(), frameOneData);
    EXPECT_EQ(kept.frames[2].data(), frameTwoData);
    EXPECT_NE(kept.frames[0].data(), frameTwoData);
}

TEST(Decompose, FrameSelectionPutsTheRestFrameFirst) {
    vantrel::io::MeshAnimation animation;
    animation.vertexCount = 1;
    animation.frames.assign(10, std::vector<double>{0, 0, 0});
    animation.clips = {{"walk", 2, 4}};
    using vantrel::cli::selectFrames;
    EXPECT_EQ(selectFrames(animation, "", "", std::nullopt), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(selectFrames(animation, "2:8:3", "", 5), (std::vector<int>{5, 2, 8}));
    EXPECT_EQ(selectFrames(animation, "7,1,4", "", std::nullopt), (std::vector<int>{1, 4, 7}));
    EXPECT_EQ(selectFrames(animation, "", "walk", 3), (std::vector<int>{3, 2, 4, 5}));
    EXPECT_EQ(selectFrames(animation, ":3", "", std::nullopt), (std::vector<int>{0, 1, 2, 3}));
    // A rest frame outside the list joins it.
    EXPECT_EQ(selectFrames(animation, "7", "", 2), (std::vector<int>{2, 7}));
}

TEST(Decompose, ZUpConversionKeepsSkinningConsistent) {
    vantrel::io::MeshAnimation animation;
    animation.vertexCount = 1;
    animation.frames = {{1, 2, 3}};
    // A joint turning a quarter about z and moving along +z (up, in Z-up).
    animation.jointWorld = {{{0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 1}}};
    const vantrel::io::Vec3 movedBefore = vantrel::io::transformPoint({1, 2, 3}, animation.jointWorld[0][0]);
    vantrel::cli::convertZUpToYUp(animation);
    EXPECT_EQ(animation.frames[0], (std::vector<double>{1, 3, -2}));
    const vantrel::io::Vec3 movedAfter = vantrel::io::transformPoint({1, 3, -2}, animation.jointWorld[0][0]);
    EXPECT_NEAR(movedAfter[0], movedBefore[0], 1e-12);
    EXPECT_NEAR(movedAfter[1], movedBefore[2], 1e-12);
    EXPECT_NEAR(movedAfter[2], -movedBefore[1], 1e-12);
}

TEST(Decompose, BadFilesAreRefusedWithoutOutput) {
    ScratchDir dir;
    const RigidTube tube;
    const auto frames = tube.positions();
    writeObj(dir.file("tube.obj"), frames.front(), tube.triangles());

    Bytes badMagic;
    badMagic.text("POINTCACHE3", 12).i32le(1).i32le(3).f32le(0).f32le(1).i32le(2);
    vantrel::io::test::writeFile(dir.file("magic.pc2"), badMagic.data);

    Bytes truncated;
    truncated.text("POINTCACHE2", 12).i32le(1).i32le(tube.vertexCount()).f32le(0).f32le(1).i32le(50);
    for (int i = 0; i < 30; ++i) truncated.f32le(1.0f);
    vantrel::io::test::writeFile(dir.file("truncated.pc2"), truncated.data);

    writePc2(dir.file("fewer.pc2"), {{0, 0, 0, 1, 0, 0}, {0, 1, 0, 1, 1, 0}}, 2);

    std::vector<std::vector<double>> withNan = frames;
    withNan[1][4] = std::nan("");
    writePc2(dir.file("nan.pc2"), withNan, tube.vertexCount());

    // Finite, but past what the float32 rig can hold.
    vantrel::io::test::writeText(dir.file("big.obj"), "v 0 0 0\nv 1e39 1 2\nv 0 1 0\nf 1 2 3\n");

    const struct {
        const char* input;
        const char* fragment;
    } cases[] = {
        {"big.obj", "big.obj: coordinate \"1e39\" of vertex 1 is too large for 32-bit floats (line 2)"},
        {"magic.pc2", "magic.pc2"},
        {"truncated.pc2", "truncated.pc2"},
        {"fewer.pc2 --topology ", "fewer.pc2"},
        {"nan.pc2", "nan.pc2"},
        {"missing.md2", "missing.md2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        std::string input = dir.file(c.input);
        if (input.find("--topology") != std::string::npos) input += dir.file("tube.obj");
        const std::string output = dir.file("out.glb");
        std::string printed;
        EXPECT_EQ(
            runProgram("decompose " + input + " -o " + output + " --report " + dir.file("out.json") + " -q", printed),
            1);
        EXPECT_EQ(printed.rfind("vantrel: ", 0), 0u) << printed;
        EXPECT_NE(printed.find(dir.file(c.fragment)), std::string::npos) << printed;
        EXPECT_FALSE(std::filesystem::exists(output));
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.json")));
    }
}

TEST(Decompose, OutputsThatAreTheSameFileOrAnInputAreRefusedBeforeAnyWork) {
    ScratchDir dir;
    writeSmallTube(dir);
    const std::string input = dir.file("tube.pc2") + " --topology " + dir.file("tube.obj");
    const std::string inputBytes = fileText(dir.file("tube.pc2"));
    const std::string topologyBytes = fileText(dir.file("tube.obj"));
    // Other names of files: a hard link to the input, a link to the folder.
    ASSERT_EQ(::link(dir.file("tube.pc2").c_str(), dir.file("alias.json").c_str()), 0);
    std::filesystem::create_directory_symlink(dir.path(), dir.file("same-folder"));

    const struct {
        std::string options;
        std::string message;
    } cases[] = {
        {"-o " + dir.file("o.glb") + " --html " + dir.file("o.glb"),
         "-o " + dir.file("o.glb") + " and --html " + dir.file("o.glb") + " are the same file"},
        {"-o " + dir.file("o.glb") + " --report " + dir.path() + "/./o.glb",
         "-o " + dir.file("o.glb") + " and --report " + dir.path() + "/./o.glb are the same file"},
        {"-o " + dir.file("o.glb") + " --report " + dir.file("r.json") + " --scene " + dir.file("same-folder/r.json"),
         "--report " + dir.file("r.json") + " and --scene " + dir.file("same-folder/r.json") + " are the same file"},
        {"-o " + dir.file("o.glb") + " --report " + dir.file("tube.pc2"),
         "--report " + dir.file("tube.pc2") + ": is the same file as the input " + dir.file("tube.pc2")},
        {"-o " + dir.file("o.glb") + " --report " + dir.file("alias.json"),
         "--report " + dir.file("alias.json") + ": is the same file as the input " + dir.file("tube.pc2")},
        {"-o " + dir.file("o.glb") + " --html " + dir.file("tube.obj"),
         "--html " + dir.file("tube.obj") + ": is the same file as the topology " + dir.file("tube.obj")},
        {"-o " + dir.file("o.glb") + " --html " + dir.file("viewer.js"),
         "--html " + dir.file("viewer.js") + ": is the same file as the viewer script"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::string printed;
        EXPECT_EQ(
            runProgram("decompose " + input + " " + c.options + " --viewer-script " + dir.file("viewer.js") + kQuick,
                       printed),
            1);
        EXPECT_EQ(printed.rfind("vantrel: " + c.message, 0), 0u) << printed;
        EXPECT_FALSE(std::filesystem::exists(dir.file("o.glb")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("r.json")));
        EXPECT_EQ(fileText(dir.file("tube.pc2")), inputBytes);
        EXPECT_EQ(fileText(dir.file("tube.obj")), topologyBytes);
        EXPECT_EQ(fileText(dir.file("viewer.js")), "// viewer");
    }

    // An OBJ sequence's files are inputs too.
    writeObj(dir.file("walk_1.obj"), {0, 0, 0, 1, 0, 0, 0, 1, 0}, {{0, 1, 2}});
    writeObj(dir.file("walk_2.obj"), {0, 0, 0, 1, 0, 0, 0, 2, 0}, {{0, 1, 2}});
    std::string printed;
    EXPECT_EQ(runProgram("decompose '" + dir.file("walk_*.obj") + "' -o " + dir.file("o.glb") + " --report " +
                             dir.file("walk_2.obj") + kQuick,
                         printed),
              1);
    EXPECT_NE(printed.find("--report " + dir.file("walk_2.obj") + ": is the same file as the input"), std::string::npos)
        << printed;
}

// Every refusal the program makes itself, once each: usage errors exit 2 with
// CLI11's pointer to --help after the message; refusals of what the options
// name exit 1 with "vantrel: " before it. None leaves an output behind or
// touches an input. Outputs are checked before the input is read (never.pc2
// does not exist), joint counts and frames after it.
TEST(Program, EveryRefusalSaysWhatIsWrongAndExitsWithItsCode) {
    ScratchDir dir;
    writeSmallTube(dir);  // tube.pc2: 48 vertices, 6 frames, no clips
    vantrel::io::test::writeFile(dir.file("model.md2"),
                                 vantrel::io::test::buildMd2(vantrel::io::test::sampleMd2()).data);  // clips run, stand
    writeObj(dir.file("still.obj"), {0, 0, 0, 1, 0, 0, 0, 1, 0}, {{0, 1, 2}});                       // one frame
    std::filesystem::create_directory(dir.file("folder"));
    std::filesystem::create_symlink("nowhere/r.json", dir.file("dangling.json"));
    const std::string inputBytes = fileText(dir.file("tube.pc2"));
    const std::string topologyBytes = fileText(dir.file("tube.obj"));

    const std::string tube = "decompose tube.pc2 -o o.glb -q ";
    const std::string needed = "a decomposition needs the rest frame and at least one more";
    const struct {
        std::string arguments;
        int exitCode;
        std::string message;
    } cases[] = {
        // Commands.
        {"", 2, "a command is required; commands: decompose, info, report"},
        {"frobnicate", 2, "unknown command \"frobnicate\"; commands: decompose, info, report"},
        {"--frobnicate", 2, "unknown option \"--frobnicate\"; commands: decompose, info, report"},
        // Option values, ranges said in words.
        {tube + "--fps 0", 2, "--fps: must be greater than 0, not 0"},
        {tube + "--lagrangian nan", 2, "--lagrangian: must be greater than 0, not nan"},
        {tube + "-j -3", 2, "--threads: must be 0 or more, not -3"},
        {tube + "-b 0", 2, "--bones: must be at least 1, not 0"},
        {tube + "--search x", 2, "--search: \"x\" is not a number"},
        {tube + "-k 0", 2, "--influences: Value 0 not in range 1 to 64"},
        {tube + "--up x", 2, "--up: x not in {auto,y,z}"},
        {tube + "--skeleton bush", 2, "--skeleton: bush not in {tree,flat}"},
        {tube + "--bind-pose first", 2, "--bind-pose: first not in {rest-frame,topology}"},
        {tube + "--bind-pose topology", 2,
         "--bind-pose: topology needs --topology, the OBJ file whose positions are the bind pose"},
        {tube + "--topology tube.obj --bind-pose topology --rest-frame 2", 2,
         "--bind-pose: give either --rest-frame or --bind-pose topology, not both"},
        {tube + "--frames ''", 2, "--frames: must not be empty (first:last, first:last:step or a,b,c)"},
        {tube + "--clip ''", 2, "--clip: must not be empty (see vantrel info for the file's clips)"},
        {tube + "--topology ''", 2, "--topology: must not be empty"},
        {"decompose model.md2 --topology tube.obj -o o.glb", 2,
         "--topology: applies to point caches (.pc2, .mdd); model.md2 has its own faces"},
        // The same check for info, on another format with faces of its own.
        {"info still.obj --topology tube.obj", 2,
         "--topology: applies to point caches (.pc2, .mdd); still.obj has its own faces"},
        // Files to write.
        {"decompose never.pc2 -q -o out.obj", 1, "-o out.obj: unknown output format \".obj\" (expected .glb or .gltf)"},
        {"decompose never.pc2 -q -o o.glb --report missing/r.json", 1,
         "--report missing/r.json: the folder missing does not exist"},
        {"decompose never.pc2 -q -o o.glb --html folder --viewer-script viewer.js", 1, "--html folder: is a directory"},
        {"decompose never.pc2 -q -o o.glb --scene folder/", 1, "--scene folder/: does not name a file"},
        {"decompose never.pc2 -q -o o.glb --report dangling.json", 1,
         "--report dangling.json: is a symbolic link to a missing file"},
        {tube + "--report tube.pc2", 1,
         "--report tube.pc2: is the same file as the input tube.pc2; it would be overwritten"},
        {tube + "--scene o.glb", 1, "-o o.glb and --scene o.glb are the same file; give each output its own file"},
        {tube + "--plugin viewer.js", 1, "cannot load the plug-in module viewer.js"},
        // A bind pose of another mesh.
        {tube + "--topology still.obj --bind-pose topology", 1,
         "still.obj: topology has 3 vertices but tube.pc2 has 48"},
        // Joints and frames, against the animation read.
        {tube + "-b 100000", 1, "-b 100000: more joints than the animation's 48 vertices; give at most 48"},
        {tube + "--frames 3:9", 1, "frame 6 is outside the animation (frames 0 to 5)"},
        {tube + "--frames a:4", 1, "bad frame list 'a:4': 'a' is not a frame number"},
        {tube + "--frames 1:2:3:4", 1, "bad frame list '1:2:3:4': expected first:last or first:last:step"},
        {tube + "--frames 0:4:0", 1, "bad frame list '0:4:0': the step must be at least 1"},
        {tube + "--frames 4:2", 1, "bad frame list '4:2': the first frame is after the last"},
        {tube + "--rest-frame 12", 1, "rest frame 12 is outside the animation (frames 0 to 5)"},
        {tube + "--frames 1:3 --clip run", 1, "give either --frames or --clip, not both"},
        {tube + "--clip run", 1, "no clip named 'run' (the file has no clips)"},
        {"decompose model.md2 -o o.glb -q --clip jump", 1, "no clip named 'jump' (clips: run, stand)"},
        {tube + "--frames 3", 1, "--frames 3 selects 1 frame; " + needed},
        {tube + "--frames 2,2,2", 1, "--frames 2,2,2 selects 1 frame; " + needed},
        {"decompose model.md2 -o o.glb -q --clip stand", 1, "--clip stand selects 1 frame; " + needed},
        {"decompose still.obj -o o.glb -q", 1,
         "still.obj: one OBJ file is a single pose; a decomposition needs an animation, such as a sequence of OBJ "
         "files (a pattern like walk_%04d.obj or walk_*.obj, or a directory)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::string printed;
        EXPECT_EQ(runProgramIn(dir.path(), c.arguments, printed), c.exitCode);
        EXPECT_EQ(printed, c.exitCode == 2 ? c.message + "\nRun with --help for more information.\n"
                                           : "vantrel: " + c.message + "\n");
        for (const char* output : {"o.glb", "out.obj", "r.json"})
            EXPECT_FALSE(std::filesystem::exists(dir.file(output))) << output;
        EXPECT_EQ(fileText(dir.file("tube.pc2")), inputBytes);
        EXPECT_EQ(fileText(dir.file("tube.obj")), topologyBytes);
        EXPECT_EQ(fileText(dir.file("viewer.js")), "// viewer");
    }
}

TEST(Program, InfoListsWhatTheFileHolds) {
    ScratchDir dir;
    writeSmallTube(dir);
    RigidTube tube;
    tube.parts = 2;
    tube.frames = 6;
    std::string printed;
    ASSERT_EQ(runProgramIn(dir.path(), "info tube.pc2 --topology tube.obj", printed), 0) << printed;
    EXPECT_EQ(printed.rfind("tube.pc2\n", 0), 0u) << printed;
    for (const std::string& line :
         {"  vertices:  " + std::to_string(tube.vertexCount()) + "\n",
          "  triangles: " + std::to_string(tube.triangles().size()) + "\n", std::string("  frames:    6 at "),
          std::string("  clips:     0\n"), std::string("  joints:    0\n")})
        EXPECT_NE(printed.find(line), std::string::npos) << line << " in\n" << printed;
}

TEST(Decompose, TheSavedSceneHoldsTheSolvedWeights) {
    ScratchDir dir;
    writeSmallTube(dir);
    RigidTube tube;
    tube.parts = 2;
    std::string printed;
    ASSERT_EQ(
        runProgramIn(dir.path(), std::string("decompose tube.pc2 --topology tube.obj -o o.glb --scene s.json") + kQuick,
                     printed),
        0)
        << printed;
    host::loadScene(dir.file("s.json"));
    EXPECT_GE(host::getInt("vantrelStorage.iterationDone"), 1);
    const std::vector<unsigned> vertices = host::elementIndices("vantrelStorage.weights");
    ASSERT_EQ(vertices.size(), static_cast<size_t>(tube.vertexCount()));
    for (unsigned v : vertices) {
        const std::vector<double> w = host::getDoubleArray("vantrelStorage.weights[" + std::to_string(v) + "]");
        const std::vector<int> ids = host::getIntArray("vantrelStorage.weightIds[" + std::to_string(v) + "]");
        ASSERT_EQ(w.size(), ids.size()) << "vertex " << v;
        double sum = 0.0;
        for (size_t k = 0; k < w.size(); ++k) {
            EXPECT_GE(w[k], 0.0);
            EXPECT_TRUE(ids[k] == 0 || ids[k] == 1) << "vertex " << v;
            sum += w[k];
        }
        EXPECT_NEAR(sum, 1.0, 1e-9) << "vertex " << v;
    }
    host::resetScene();
}

TEST(Program, VersionIsTheProjectsOwn) {
    std::string printed;
    EXPECT_EQ(runProgram("--version", printed), 0);
    EXPECT_EQ(printed, "vantrel " VANTREL_VERSION "\n");
}

// A run whose standard error goes to a file: every stage, iteration and note
// is a plain line there, the large-work notice included (-n at its largest
// makes the estimate large; --break-percent ends the run early all the same).
// With -q the file stays empty and the notes are only in the report. The
// summary names every file written.
TEST(Program, ALogGetsEveryStageAndQuietGetsNothing) {
    ScratchDir dir;
    writePc2(dir.file("limb.pc2"), bendingTube(5, 21, 8, 30), 21 * 8);
    vantrel::io::test::writeText(dir.file("viewer.js"), "// viewer");
    const std::string run =
        "decompose limb.pc2 -o o.glb -b 5 -n 100000 --break-percent 50 --up z --report r.json "
        "--scene s.json --html page.html --viewer-script viewer.js";
    std::string printed;
    ASSERT_EQ(runShell("cd '" + dir.path() + "' && " + VANTREL_PROGRAM + " " + run + " 2> log", printed), 0);
    const std::string log = fileText(dir.file("log"));
    EXPECT_EQ(log.find_first_of("\r\033"), std::string::npos) << log;
    const std::string lines[] = {
        "reading limb.pc2 ...\n",
        "note: this is a large decomposition (about ",
        " of solving); -b, -n or --frames make it smaller\n",
        "placing 5 joints ...\n",
        "building the scene ...\n",
        "run 1 (reselect, start 1), iteration 1/5: error ",
        "writing o.glb ...\n",
        "writing page.html ...\n",
        "note: converted from Z-up to Y-up\n",
    };
    size_t at = 0;
    for (const std::string& line : lines) {
        const size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << log;
        if (found != std::string::npos) at = found + line.size();
    }
    for (const char* written : {"r.json", "s.json"}) {
        const std::uintmax_t bytes = std::filesystem::file_size(dir.file(written));
        ASSERT_GE(bytes, 1024u);
        EXPECT_NE(printed.find("  wrote " + std::string(written) + " (" + std::to_string(bytes / 1024) + " KiB)\n"),
                  std::string::npos)
            << printed;
    }
    EXPECT_NE(printed.find("  wrote page.html ("), std::string::npos) << printed;

    ASSERT_EQ(runShell("cd '" + dir.path() + "' && " + VANTREL_PROGRAM + " " + run + " -q 2> log", printed), 0);
    EXPECT_EQ(fileText(dir.file("log")), "");
    const nlohmann::json notes = readJson(dir.file("r.json"))["notes"];
    EXPECT_NE(std::find(notes.begin(), notes.end(), "converted from Z-up to Y-up"), notes.end()) << notes;
}

// A step that goes on without a line for a while shows so in a log, with
// its seconds; nothing once it is over, nothing when quiet.
TEST(Program, ALongStepShowsInALogThatItGoesOn) {
    using std::chrono::seconds;
    using vantrel::cli::Progress;
    const auto contents = [](std::FILE* file) {
        std::string text(static_cast<size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        text.resize(std::fread(text.data(), 1, text.size(), file));
        return text;
    };
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    {
        Progress progress(false, 5, log);
        progress.stage("placing 3 joints");
        const Progress::Clock::time_point start = Progress::Clock::now();
        progress.tick(start + seconds(20));  // too soon after the stage's line
        progress.tick(start + Progress::kLogInterval + seconds(1));
        progress.tick(start + Progress::kLogInterval + seconds(10));  // too soon after that one
        progress.commandLine("Vantrel : Iteration 2 Solving Skinning");
        progress.tick(start + 3 * Progress::kLogInterval);
        progress.finish();
        progress.tick(start + 10 * Progress::kLogInterval);
    }
    const std::string text = contents(log);
    std::fclose(log);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0], "placing 3 joints ...");
    EXPECT_EQ(lines[1].rfind("placing 3 joints ... (", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("iteration 2/5: solving weights (", 0), 0u) << lines[2];
    for (const std::string& line : {lines[1], lines[2]}) EXPECT_EQ(line.substr(line.size() - 3), " s)") << line;

    std::FILE* quietLog = std::tmpfile();
    ASSERT_NE(quietLog, nullptr);
    {
        Progress progress(true, 5, quietLog);
        progress.stage("placing 3 joints");
        progress.note("converted from Z-up to Y-up");
        progress.tick(Progress::Clock::now() + 3 * Progress::kLogInterval);
    }
    EXPECT_EQ(contents(quietLog), "");
    std::fclose(quietLog);
}

TEST(Decompose, DevicesAndPipesAreWrittenNotReplaced) {
    ScratchDir dir;
    writeSmallTube(dir);
    const std::string input = "decompose " + dir.file("tube.pc2") + " --viewer-script " + dir.file("viewer.js");

    // A pipe: the report goes through it, and it stays a pipe. (The report is
    // far smaller than a pipe's buffer: the test reads it after the run.)
    ASSERT_EQ(::mkfifo(dir.file("report.fifo").c_str(), 0644), 0);
    const int pipeEnd = ::open(dir.file("report.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(pipeEnd, 0);
    std::string printed;
    EXPECT_EQ(runProgram(input + " -o " + dir.file("o.glb") + " --report " + dir.file("report.fifo") + kQuick, printed),
              0)
        << printed;
    std::string piped;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnd, buffer, sizeof buffer)) > 0;) piped.append(buffer, size_t(n));
    ::close(pipeEnd);
    EXPECT_EQ(std::filesystem::status(dir.file("report.fifo")).type(), std::filesystem::file_type::fifo);
    const nlohmann::json pipedReport = nlohmann::json::parse(piped, nullptr, false);
    EXPECT_TRUE(pipedReport.is_object() && pipedReport.contains("eRms")) << piped;

    // A rig through a link to /dev/null: the link stays, and the page still
    // holds the rig. A scene through a link to a regular file: the link
    // stays and the file it names is replaced whole.
    std::filesystem::create_symlink("/dev/null", dir.file("null.glb"));
    std::filesystem::create_directory(dir.file("scenes"));
    vantrel::io::test::writeText(dir.file("scenes/scene.json"), "old");
    std::filesystem::create_symlink("scenes/scene.json", dir.file("scene-link.json"));
    EXPECT_EQ(runProgram(input + " -o " + dir.file("null.glb") + " --html " + dir.file("page.html") + " --scene " +
                             dir.file("scene-link.json") + kQuick,
                         printed),
              0)
        << printed;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("null.glb")));
    EXPECT_EQ(std::filesystem::status("/dev/null").type(), std::filesystem::file_type::character);
    EXPECT_NE(fileText(dir.file("page.html")).find("vantrel-data"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("scene-link.json")));
    const nlohmann::json scene = nlohmann::json::parse(fileText(dir.file("scenes/scene.json")), nullptr, false);
    EXPECT_TRUE(scene.is_object() && scene.contains("nodes"));
    for (const char* folder : {"", "scenes"})
        for (const auto& entry : std::filesystem::directory_iterator(dir.file(folder)))
            EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();

    // A full device (as /dev/full, made here where mknod is allowed): the
    // write error is reported with the file, and the device stays.
    if (::mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot make a device node here";
    }
    EXPECT_EQ(runProgram(input + " -o " + dir.file("o.glb") + " --html " + dir.file("full") + kQuick, printed), 1);
    EXPECT_NE(printed.find("vantrel: " + dir.file("full") + ": cannot write: No space left on device"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("wrote"), std::string::npos) << printed;
    EXPECT_EQ(std::filesystem::status(dir.file("full")).type(), std::filesystem::file_type::character);
}

TEST(Report, PathsInAReportAreRelativeToItsFolderAndThePageReplacesNoneOfItsSources) {
    ScratchDir dir;
    writeSmallTube(dir);
    std::filesystem::create_directory(dir.file("out"));
    std::filesystem::create_directory(dir.file("elsewhere"));
    std::string printed;
    ASSERT_EQ(runProgramIn(
                  dir.path(),
                  std::string("decompose tube.pc2 --topology tube.obj -o out/tube.glb --report out/tube.json") + kQuick,
                  printed),
              0)
        << printed;
    const nlohmann::json report = readJson(dir.file("out/tube.json"));
    EXPECT_EQ(report["input"], "../tube.pc2");
    EXPECT_EQ(report["topology"], "../tube.obj");
    EXPECT_EQ(report["output"], "tube.glb");

    // From another folder, as from the report's own.
    for (const std::string& folder : {dir.file("elsewhere"), dir.file("out")}) {
        SCOPED_TRACE(folder);
        std::filesystem::remove(dir.file("page.html"));
        EXPECT_EQ(runProgramIn(folder,
                               "report " + dir.file("out/tube.json") + " -o " + dir.file("page.html") +
                                   " --viewer-script " + dir.file("viewer.js") + " -q",
                               printed),
                  0)
            << printed;
        EXPECT_NE(fileText(dir.file("page.html")).find("vantrel-data"), std::string::npos);
    }

    // A report written before, with paths relative to the folder decompose
    // ran in, still opens from that folder.
    {
        nlohmann::json older = report;
        older["input"] = "tube.pc2";
        older["topology"] = "tube.obj";
        older["output"] = "out/tube.glb";
        std::ofstream(dir.file("out/older.json")) << older.dump(2);
        std::filesystem::remove(dir.file("page.html"));
        EXPECT_EQ(runProgramIn(dir.path(), "report out/older.json -o page.html --viewer-script viewer.js -q", printed),
                  0)
            << printed;
        EXPECT_NE(fileText(dir.file("page.html")).find("vantrel-data"), std::string::npos);
    }

    const std::string reportBytes = fileText(dir.file("out/tube.json"));
    const std::string rigBytes = fileText(dir.file("out/tube.glb"));
    const struct {
        std::string page;
        std::string message;
    } cases[] = {
        {"out/tube.json", "-o out/tube.json: is the same file as the report out/tube.json"},
        {"./out/../out/tube.json", "-o ./out/../out/tube.json: is the same file as the report out/tube.json"},
        {"out/tube.glb", "-o out/tube.glb: is the same file as the rig file out/tube.glb"},
        {"tube.pc2", "-o tube.pc2: is the same file as the input out/../tube.pc2"},
        {"viewer.js", "-o viewer.js: is the same file as the viewer script viewer.js"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        EXPECT_EQ(
            runProgramIn(dir.path(), "report out/tube.json -o " + c.page + " --viewer-script viewer.js -q", printed),
            1);
        EXPECT_EQ(printed.rfind("vantrel: " + c.message, 0), 0u) << printed;
        EXPECT_EQ(fileText(dir.file("out/tube.json")), reportBytes);
        EXPECT_EQ(fileText(dir.file("out/tube.glb")), rigBytes);
        EXPECT_EQ(fileText(dir.file("viewer.js")), "// viewer");
    }
}
