// The report page's data: what the page embeds decodes back to the input,
// the distances and the rig file; large animations are stored compactly and
// say so; nothing in the data or the viewer can close the page's scripts.
// `vantrel report` refuses reports it cannot use. (The page itself, and
// `vantrel report` on a good result, are checked in Chromium by
// report_page.test.js.)
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "cli/decompose.h"
#include "cli/report_command.h"
#include "cli/report_page.h"
#include "cli/rig_metrics.h"
#include "test_files.h"

namespace {

using vantrel::cli::ReportPageData;

std::string base64(const std::string& text) {
    return vantrel::cli::base64Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::vector<std::uint8_t> decodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : 63;
    };
    std::vector<std::uint8_t> out;
    for (size_t i = 0; i + 3 < text.size(); i += 4) {
        const std::uint32_t n = (value(text[i]) << 18) | (value(text[i + 1]) << 12) |
                                ((text[i + 2] == '=' ? 0 : value(text[i + 2])) << 6) |
                                (text[i + 3] == '=' ? 0 : value(text[i + 3]));
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        if (text[i + 2] != '=') out.push_back(static_cast<std::uint8_t>((n >> 8) & 0xff));
        if (text[i + 3] != '=') out.push_back(static_cast<std::uint8_t>(n & 0xff));
    }
    return out;
}

template <typename T>
std::vector<T> decodeArray(const nlohmann::json& field) {
    const std::vector<std::uint8_t> bytes = decodeBase64(field.get<std::string>());
    std::vector<T> values(bytes.size() / sizeof(T));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));  // little-endian host
    return values;
}

// The JSON the page carries.
nlohmann::json pageData(const std::string& html) {
    const std::string open = "<script type=\"application/json\" id=\"vantrel-data\">";
    const size_t start = html.find(open);
    EXPECT_NE(start, std::string::npos);
    const size_t end = html.find("</script>", start);
    return nlohmann::json::parse(html.substr(start + open.size(), end - start - open.size()));
}

// A strip of `vertices` points over `frames` frames; vertex v is off by v/10 at frame f > 0.
ReportPageData strip(int vertices, int frames) {
    ReportPageData data;
    data.title = "strip";
    data.vertexCount = vertices;
    for (int f = 0; f < frames; ++f) {
        std::vector<double> positions;
        std::vector<double> distances;
        for (int v = 0; v < vertices; ++v) {
            positions.insert(positions.end(), {v * 0.5, std::sin(0.3 * f + v), -2.0 + 0.01 * f});
            distances.push_back(f == 0 ? 0.0 : 0.1 * v * (1 + f % 3));
        }
        data.frames.push_back(positions);
        data.distances.push_back(distances);
        data.frameLabels.push_back(10 + f);
        data.frameTimes.push_back(f / 24.0);
        data.jointMove.push_back(f == 0 ? 0.0 : 0.2);
    }
    for (int v = 0; v + 2 < vertices; ++v) data.triangles.push_back({v, v + 1, v + 2});
    data.rigFile = std::string("glTF\x02\0\0\0", 8) + "rig bytes";
    data.reportJson = R"({"eRms": 1.5, "sizes": {"vertices": 4}})";
    return data;
}

}  // namespace

TEST(ReportPage, Base64MatchesTheStandardVectors) {
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(ReportPage, EmbedsTheAnimationDistancesAndRigAsTheyWere) {
    const ReportPageData data = strip(4, 6);
    vantrel::cli::PageEncoding encoding;
    const std::string html = vantrel::cli::reportPageHtml(data, "console.log('viewer');", &encoding);
    EXPECT_FALSE(encoding.quantised);
    EXPECT_EQ(encoding.keptFrames.size(), 6u);
    EXPECT_NE(html.find("console.log('viewer');"), std::string::npos);

    const nlohmann::json page = pageData(html);
    EXPECT_EQ(page["vertexCount"], 4);
    EXPECT_EQ(page["frames"]["encoding"], "float32");
    EXPECT_EQ(page["frames"]["labels"], (std::vector<int>{10, 11, 12, 13, 14, 15}));
    EXPECT_DOUBLE_EQ(page["frames"]["times"][3].get<double>(), 3 / 24.0);
    const std::vector<float> positions = decodeArray<float>(page["frames"]["data"]);
    ASSERT_EQ(positions.size(), 6u * 4 * 3);
    for (int f = 0; f < 6; ++f)
        for (int i = 0; i < 12; ++i) EXPECT_FLOAT_EQ(positions[f * 12 + i], static_cast<float>(data.frames[f][i]));
    EXPECT_EQ(decodeArray<std::uint32_t>(page["triangles"]), (std::vector<std::uint32_t>{0, 1, 2, 1, 2, 3}));

    // Distances: 16-bit fractions of the largest, which is given exactly.
    const double largest = 0.1 * 3 * 3;
    EXPECT_DOUBLE_EQ(page["distances"]["max"].get<double>(), largest);
    const std::vector<std::uint16_t> distances = decodeArray<std::uint16_t>(page["distances"]["data"]);
    ASSERT_EQ(distances.size(), 6u * 4);
    const double scale = page["distances"]["scale"].get<double>();
    for (int f = 0; f < 6; ++f)
        for (int v = 0; v < 4; ++v) EXPECT_NEAR(distances[f * 4 + v] * scale, data.distances[f][v], scale / 2 + 1e-12);
    EXPECT_EQ(page["distances"]["worstFrame"], 2);  // 1 + 2 % 3 is largest first at frame 2
    // Per-frame RMS and largest distance, from the exact distances.
    EXPECT_DOUBLE_EQ(page["perFrame"]["max"][1].get<double>(), 0.1 * 3 * 2);
    EXPECT_NEAR(page["perFrame"]["rms"][1].get<double>(), std::sqrt((0 + 0.04 + 0.16 + 0.36) / 4), 1e-12);
    EXPECT_EQ(page["perFrame"]["jointMove"][0], 0.0);

    const std::vector<std::uint8_t> rig = decodeBase64(page["rig"]["file"].get<std::string>());
    EXPECT_EQ(std::string(rig.begin(), rig.end()), data.rigFile);
    EXPECT_EQ(page["report"]["eRms"], 1.5);
    EXPECT_TRUE(page["notes"].empty());
}

TEST(ReportPage, LargeAnimationsGetSixteenBitPositionsThenFewerFramesAndSaySo) {
    ReportPageData data = strip(50, 40);
    // The largest distance at a frame the stride would skip.
    data.distances[37][5] = 99.0;
    // Room for 40 frames of 16-bit data but not of float32.
    data.frameDataBudget = 40 * 50 * 8;
    vantrel::cli::PageEncoding encoding;
    nlohmann::json page = pageData(vantrel::cli::reportPageHtml(data, "", &encoding));
    EXPECT_TRUE(encoding.quantised);
    EXPECT_EQ(encoding.keptFrames.size(), 40u);
    EXPECT_EQ(page["frames"]["encoding"], "uint16");
    const std::vector<std::uint16_t> q = decodeArray<std::uint16_t>(page["frames"]["data"]);
    ASSERT_EQ(q.size(), 40u * 50 * 3);
    for (int f = 0; f < 40; ++f)
        for (int i = 0; i < 150; ++i) {
            const int c = i % 3;
            const double step = page["frames"]["step"][c].get<double>();
            const double decoded = page["frames"]["origin"][c].get<double>() + step * q[f * 150 + i];
            ASSERT_NEAR(decoded, data.frames[f][i], step / 2 + 1e-12) << f << " " << i;
        }
    ASSERT_EQ(page["notes"].size(), 1u);
    EXPECT_NE(page["notes"][0].get<std::string>().find("16-bit integers"), std::string::npos);

    // A quarter of that: one frame in four, and the worst frame kept.
    data.frameDataBudget = 10 * 50 * 8;
    page = pageData(vantrel::cli::reportPageHtml(data, "", &encoding));
    EXPECT_EQ(encoding.keptFrames, (std::vector<int>{0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 37}));
    EXPECT_EQ(page["frames"]["count"], 11);
    EXPECT_EQ(page["frames"]["labels"][10], 47);
    EXPECT_EQ(page["distances"]["worstFrame"], 10);
    EXPECT_EQ(decodeArray<std::uint16_t>(page["distances"]["data"]).size(), 11u * 50);
    ASSERT_EQ(page["notes"].size(), 2u);
    EXPECT_NE(page["notes"][1].get<std::string>().find("shows 11 of the 40 frames (one in 4"), std::string::npos);
}

TEST(ReportPage, NothingClosesThePageScriptsEarly) {
    ReportPageData data = strip(3, 2);
    data.title = "a</script><b>";
    data.reportJson = R"({"input": "x</script>y"})";
    const std::string html = vantrel::cli::reportPageHtml(data, "var s = '</script>';");
    // Two scripts, each closed once, at the end of the page.
    size_t closings = 0;
    for (size_t at = html.find("</script"); at != std::string::npos; at = html.find("</script", at + 1)) ++closings;
    EXPECT_EQ(closings, 2u);
    EXPECT_NE(html.find("<title>vantrel report: a&lt;/script&gt;&lt;b&gt;</title>"), std::string::npos);
    EXPECT_EQ(pageData(html)["report"]["input"], "x</script>y");
}

TEST(ReportPage, PerVertexDistancesAgreeWithTheReportedError) {
    // Two points on two joints; frame 1 moves joint 1 by (0, 2, 0) while the
    // animation moves its point by (0, 1, 0): the rig is off by 1 there.
    const host::PointFrames animation(
        std::vector<std::vector<double>>{{0, 0, 0, 1, 0, 0}, {0, 0, 0, 1, 1, 0}, {0.5, 0, 0, 1, 0, 0}});
    const vantrel::io::Matrix4 identity = vantrel::io::identityMatrix();
    vantrel::io::Matrix4 up = identity;
    up[13] = 2.0;
    const std::vector<std::vector<vantrel::io::SkinInfluence>> influences = {{{0, 1.0}}, {{1, 1.0}}};
    const std::vector<std::vector<vantrel::io::Matrix4>> world = {
        {identity, identity}, {identity, up}, {identity, identity}};
    const auto distances = vantrel::cli::vertexDistances(animation, influences, {identity, identity}, world);
    ASSERT_EQ(distances.size(), 3u);
    EXPECT_EQ(distances[0], (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(distances[1], (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(distances[2], (std::vector<double>{0.5, 0.0}));
    const vantrel::cli::RigError error =
        vantrel::cli::measureRigError(animation, influences, {identity, identity}, world);
    EXPECT_DOUBLE_EQ(error.maxDistance, 1.0);
    EXPECT_DOUBLE_EQ(error.rmsDistance, std::sqrt((1.0 + 0.25) / 4));
}

TEST(ReportPage, RigErrorIsTheSameForAnyThreadCountAndNamesTheFirstWorstPoint) {
    // 1,000 points on three joints with two influences, 12 frames of random
    // motion; large enough for the measure to split its work.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const int V = 1000, F = 12, J = 3;
    std::vector<std::vector<double>> frames(F, std::vector<double>(3 * V));
    std::vector<std::vector<vantrel::io::SkinInfluence>> influences(V);
    for (int v = 0; v < V; ++v) {
        const double w = 0.5 + 0.5 * unit(rng);
        influences[v] = {{v % J, w}, {(v + 1) % J, 1.0 - w}};
        for (int f = 0; f < F; ++f)
            for (int c = 0; c < 3; ++c)
                frames[f][3 * v + c] = f == 0 ? unit(rng) : frames[0][3 * v + c] + 0.1 * unit(rng);
    }
    // Two points share the largest distance: the earlier frame's is named.
    for (int v : {700, 800}) {
        influences[v] = {{0, 1.0}};
        for (int f = 0; f < F; ++f)
            for (int c = 0; c < 3; ++c) frames[f][3 * v + c] = 0.0;
    }
    frames[9][3 * 700] = 5.0;
    frames[4][3 * 800 + 1] = 5.0;
    const host::PointFrames animation(std::move(frames));
    const vantrel::io::Matrix4 identity = vantrel::io::identityMatrix();
    const std::vector<vantrel::io::Matrix4> binding(J, identity);
    const std::vector<std::vector<vantrel::io::Matrix4>> world(F, binding);

    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    std::vector<double> serialPerVertex;
    const vantrel::cli::RigError serial =
        vantrel::cli::measureRigError(animation, influences, binding, world, &serialPerVertex);
    omp_set_num_threads(3);
    std::vector<double> threadedPerVertex;
    const vantrel::cli::RigError threaded =
        vantrel::cli::measureRigError(animation, influences, binding, world, &threadedPerVertex);
    const auto distances = vantrel::cli::vertexDistances(animation, influences, binding, world);
    omp_set_num_threads(saved);

    EXPECT_EQ(serialPerVertex, threadedPerVertex);
    EXPECT_EQ(serial.eRms, threaded.eRms);
    EXPECT_EQ(serial.maxDistance, threaded.maxDistance);
    EXPECT_EQ(serial.worstFrame, 4);
    EXPECT_EQ(serial.worstVertex, 800);
    EXPECT_EQ(threaded.worstFrame, 4);
    EXPECT_EQ(threaded.worstVertex, 800);
    EXPECT_DOUBLE_EQ(serial.maxDistance, 5.0);
    double sum = 0.0;
    for (int v = 0; v < V; ++v) {
        double own = 0.0;
        for (int f = 1; f < F; ++f) own += distances[f][v] * distances[f][v];
        EXPECT_NEAR(serialPerVertex[v], own, 1e-12 * (1.0 + own));
        sum += own;
    }
    EXPECT_NEAR(serial.rmsDistance, std::sqrt(sum / (V * (F - 1.0))), 1e-12);
}

TEST(ReportPage, InconsistentDataIsRefused) {
    ReportPageData data = strip(3, 2);
    data.distances.pop_back();
    EXPECT_THROW(vantrel::cli::reportPageHtml(data, ""), std::invalid_argument);
    data = strip(3, 2);
    data.frames[1].pop_back();
    EXPECT_THROW(vantrel::cli::reportPageHtml(data, ""), std::invalid_argument);
    data = strip(3, 2);
    data.triangles.push_back({0, 1, 3});
    EXPECT_THROW(vantrel::cli::reportPageHtml(data, ""), std::invalid_argument);
}

TEST(ReportPage, AMissingViewerStopsTheProgramBeforeItSolvesOrWrites) {
    vantrel::io::test::ScratchDir dir;
    vantrel::cli::DecomposeOptions options;
    options.inputPath = dir.file("never-read.pc2");
    options.outputPath = dir.file("out.glb");
    options.htmlPath = dir.file("out.html");
    options.viewerScriptPath = dir.file("missing-viewer.js");
    options.quiet = true;
    try {
        vantrel::cli::runDecompose(options);
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("missing-viewer.js"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.glb")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.html")));
}

TEST(ReportPage, TheReportCommandRefusesReportsItCannotUse) {
    vantrel::io::test::ScratchDir dir;
    vantrel::io::test::writeText(dir.file("viewer.js"), "// viewer");
    // Three frames of two points.
    vantrel::io::test::Bytes cache;
    cache.text("POINTCACHE2", 12).i32le(1).i32le(2).f32le(0).f32le(1).i32le(3);
    for (int i = 0; i < 18; ++i) cache.f32le(static_cast<float>(i));
    vantrel::io::test::writeFile(dir.file("points.pc2"), cache.data);

    auto refusal = [&](const std::string& report) {
        if (!report.empty()) vantrel::io::test::writeText(dir.file("report.json"), report);
        vantrel::cli::ReportCommandOptions options;
        options.reportPath = dir.file(report.empty() ? "missing.json" : "report.json");
        options.htmlPath = dir.file("page.html");
        options.viewerScriptPath = dir.file("viewer.js");
        options.quiet = true;
        try {
            vantrel::cli::runReport(options);
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(std::filesystem::exists(options.htmlPath));
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(refusal("").find("cannot read the report " + dir.file("missing.json")), std::string::npos);
    EXPECT_NE(refusal("{ not json").find("is not a JSON report"), std::string::npos);
    EXPECT_NE(refusal(R"({"input": "points.pc2"})").find("lacks what the page needs"), std::string::npos);
    // Paths relative to the report's directory; a frame the input lacks.
    const std::string message = refusal(
        R"({"input": "points.pc2", "output": "rig.glb", "settings": {"frames": [0, 5], "zUpConverted": false}})");
    EXPECT_NE(message.find("names frame 5, but " + dir.file("points.pc2") + " has 3 frames"), std::string::npos)
        << message;
    // A missing rig file is named.
    EXPECT_NE(refusal(R"({"input": "points.pc2", "output": "rig.glb", "settings": {"frames": [0, 2],
                          "zUpConverted": false}})")
                  .find("rig.glb"),
              std::string::npos);
}
