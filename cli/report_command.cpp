#include "cli/report_command.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "cli/frame_selection.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "cli/path_check.h"
#include "cli/report_page.h"

namespace vantrel::cli {

namespace {

// A path from the report: relative paths are relative to the report's
// folder (decompose writes them so), wherever the command runs from. Reports
// written before that held paths relative to the folder decompose ran in: a
// path found only there is still taken from there.
std::string resolve(const std::string& path, const std::filesystem::path& reportDir) {
    if (path.empty() || std::filesystem::path(path).is_absolute() || reportDir.empty()) return path;
    const std::filesystem::path besideReport = reportDir / path;
    std::error_code ignored;
    if (!std::filesystem::exists(besideReport, ignored) && std::filesystem::exists(path, ignored)) return path;
    return besideReport.string();
}

}  // namespace

int runReport(const ReportCommandOptions& options) {
    const std::string viewerScriptPath = locateViewerScript(options.viewerScriptPath);
    const std::string viewerScript = readViewerScript(viewerScriptPath);

    nlohmann::json report;
    {
        std::ifstream in(options.reportPath);
        if (!in) throw std::runtime_error("cannot read the report " + options.reportPath);
        try {
            report = nlohmann::json::parse(in);
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error(options.reportPath + " is not a JSON report: " + error.what());
        }
    }
    const std::filesystem::path reportDir = std::filesystem::path(options.reportPath).parent_path();
    std::string inputPath, rigPath;
    std::vector<int> selected;
    bool zUp = false;
    io::ReadOptions readOptions;
    try {
        inputPath = resolve(report.at("input").get<std::string>(), reportDir);
        rigPath = resolve(report.at("output").get<std::string>(), reportDir);
        selected = report.at("settings").at("frames").get<std::vector<int>>();
        zUp = report.at("settings").at("zUpConverted").get<bool>();
        if (report.contains("topology") && !report["topology"].get<std::string>().empty())
            readOptions.topologyPath = resolve(report["topology"].get<std::string>(), reportDir);
        if (report.contains("fps")) readOptions.frameRate = report["fps"].get<double>();
        readOptions.topologyBindPose = report["settings"].value("bindPose", "") == "topology";
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(options.reportPath + " lacks what the page needs (" + error.what() +
                                 "); write it again with vantrel decompose --report");
    }

    // The page must replace none of the files it is made from.
    std::vector<NamedFile> inputs{{"the report", options.reportPath}};
    for (const std::string& file : io::animationFiles(inputPath)) inputs.push_back({"the input", file});
    if (readOptions.topologyPath) inputs.push_back({"the topology", *readOptions.topologyPath});
    inputs.push_back({"the rig file", rigPath});
    inputs.push_back({"the viewer script", viewerScriptPath});
    checkOutputPaths({{"-o", options.htmlPath}}, inputs);

    if (!options.quiet) std::cerr << "reading " << inputPath << " and " << rigPath << "\n";
    io::MeshAnimation animation = io::readAnimation(inputPath, readOptions);
    if (selected.size() < 2) throw std::runtime_error(options.reportPath + " lists fewer than two frames");
    for (size_t k = 0; k < selected.size(); ++k) {
        const int f = selected[k];
        if (k == 0 && f == kBindPoseFrame) continue;  // the file's bind pose, checked by keepFrames
        if (f < 0 || f >= animation.frameCount())
            throw std::runtime_error(options.reportPath + " names frame " + std::to_string(f) + ", but " + inputPath +
                                     " has " + std::to_string(animation.frameCount()) + " frames");
    }
    io::MeshAnimation samples;
    try {
        samples = keepFrames(std::move(animation), selected);
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(options.reportPath + " names the bind pose as the rest frame, but " + error.what());
    }
    if (zUp) convertZUpToYUp(samples);

    // The rig file plays its frames in time order: compare each with its sample.
    const io::MeshAnimation played = io::readAnimation(rigPath);
    const std::vector<int> order = timeOrder(samples);
    if (played.vertexCount != samples.vertexCount || played.frameCount() != static_cast<int>(order.size()))
        throw std::runtime_error(rigPath + " (" + std::to_string(played.vertexCount) + " vertices, " +
                                 std::to_string(played.frameCount()) + " frames) does not match " + inputPath + " (" +
                                 std::to_string(samples.vertexCount) + " vertices, " + std::to_string(order.size()) +
                                 " frames used)");
    std::vector<std::vector<double>> distances(samples.frames.size());
    std::vector<std::vector<io::Matrix4>> jointWorld(samples.frames.size());
    for (size_t k = 0; k < order.size(); ++k) {
        const int s = order[k];
        std::vector<double>& d = distances[s];
        d.resize(static_cast<size_t>(samples.vertexCount));
        for (int v = 0; v < samples.vertexCount; ++v) {
            double squared = 0.0;
            for (int c = 0; c < 3; ++c) {
                const double delta = played.frames[k][3 * v + c] - samples.frames[s][3 * v + c];
                squared += delta * delta;
            }
            d[v] = std::sqrt(squared);
        }
        if (k < played.jointWorld.size())
            jointWorld[s].assign(played.jointWorld[k].begin(), played.jointWorld[k].end());
    }

    ReportPageData page;
    page.title = std::filesystem::path(inputPath).filename().string();
    const host::PointFrames frames(std::move(samples.frames));
    setPageFrames(page, samples, frames, selected, distances, jointWorld);
    std::ifstream rig(rigPath, std::ios::binary);
    if (!rig) throw std::runtime_error("cannot read the rig file " + rigPath);
    page.rigFile.assign(std::istreambuf_iterator<char>(rig), std::istreambuf_iterator<char>());
    page.reportJson = report.dump();
    if (report.contains("notes"))
        for (const auto& note : report["notes"]) page.notes.push_back(note.get<std::string>());
    page.notes.push_back("Distances were measured from the rig file " + rigPath +
                         " (float32, as exported) against the input read again.");
    const PageSummary written = writeReportPage(options.htmlPath, page, viewerScript);
    std::cout << "vantrel: wrote " << written.path << " (" << written.bytes / 1024 << " KiB)\n";
    return 0;
}

}  // namespace vantrel::cli
