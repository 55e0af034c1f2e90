#include "cli/decompose.h"

#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include <host/scene.h>
#include <host/scene_file.h>
#include <host/session.h>

#include "cli/command_output.h"
#include "cli/frame_selection.h"
#include "cli/io/atomic_file.h"
#include "cli/io/gltf_writer.h"
#include "cli/io/io_error.h"
#include "cli/io/matrix4.h"
#include "cli/path_check.h"
#include "cli/progress.h"
#include "cli/report_page.h"
#include "cli/rig/joint_placement.h"
#include "cli/rig/solve_schedule.h"
#include "cli/rig_metrics.h"
#include "cli/scene_setup.h"
#include "cli/io/read_animation.h"

namespace vantrel::cli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double peakMemoryMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// The plug-in module: as given, or beside the program, or where it was built.
std::string locatePlugin(const std::string& given) {
    if (!given.empty()) return given;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const std::filesystem::path& candidate :
             {self.parent_path() / "vantrel.so", self.parent_path() / "../lib/vantrel/vantrel.so",
              self.parent_path() / "../plugin/vantrel.so"}) {
            if (std::filesystem::exists(candidate, ec)) return candidate.lexically_normal().string();
        }
    }
#ifdef VANTREL_BUILT_PLUGIN
    return VANTREL_BUILT_PLUGIN;
#else
    throw std::runtime_error("cannot find the plug-in module vantrel.so; give it with --plugin");
#endif
}

// Default weight of the sum-to-one row, per unit of the rest pose's size.
constexpr double kLagrangianPerSize = 100.0;

// Vertex x sample x joint iterations the solve gets through in a second on
// the shared 2-core machine, command runs' sampling and keying included:
// 1.5e7 to 2.9e7 measured on the bundled sample (16 to 200 joints) and on a
// 5,000-vertex, 100-frame sheet at 128 joints.
constexpr double kSolveWorkPerSecond = 2.5e7;

// The search never spends more than this many vertex x sample x joint
// iterations (under a minute at kSolveWorkPerSecond), so large inputs get the
// plain solve.
constexpr double kSearchCap = 1e9;

// The iteration limit of one solve; options set from code may leave it 0,
// which stands for 1000.
int iterationLimit(const DecomposeOptions& options) { return options.iterations < 1 ? 1000 : options.iterations; }

// Work the schedule may spend beyond one solve: `search` solves' worth of
// iterations of `iterationWork` (vertices x samples x joints), capped.
double searchWork(const DecomposeOptions& options, double iterationWork) {
    return std::min(options.search * iterationLimit(options) * iterationWork, kSearchCap);
}

// Positions of at least this many bytes wait in a temporary file while the
// command runs: below it the file costs more time than the memory is worth.
constexpr size_t kPositionsInFileBytes = size_t{16} << 20;

// At most this many weak joints are moved, one solve each.
constexpr int kSwapRounds = 6;

// At most this many rounds choose influences again at the best joints: on
// the fit-quality inputs the first lowers the error by 1 % to 9 %, and a
// third seldom pays.
constexpr int kRefreshRounds = 2;

// A solve expected to take longer than this is announced before it starts,
// with the options that make it smaller.
constexpr double kLargeSolveSeconds = 60.0;

// Seconds the solve is likely to take: every iteration of the first solve
// (re-selecting, then polishing) and the search's budget.
double estimatedSolveSeconds(const DecomposeOptions& options, double iterationWork) {
    return ((iterationLimit(options) + 1) * iterationWork + searchWork(options, iterationWork)) / kSolveWorkPerSecond;
}

// "about 3 min" or "about 40 s".
std::string aboutDuration(double seconds) {
    if (seconds < 90.0) return "about " + std::to_string(static_cast<long>(std::lround(seconds))) + " s";
    return "about " + std::to_string(static_cast<long>(std::lround(seconds / 60.0))) + " min";
}

// A file's size as the summary gives it.
std::string sizeText(std::uintmax_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    return std::to_string(bytes / 1024) + " KiB";
}

// Joints to start from: the file's skeleton when it has one and no bone
// count was asked for, otherwise placed by clustering the motion, with the
// other placements worth a trial in `alternatives`.
StartingJoints startingJoints(const io::MeshAnimation& samples, const DecomposeOptions& options, bool useSkeleton,
                              std::string& note, std::vector<std::vector<std::vector<io::Matrix4>>>& alternatives) {
    StartingJoints joints;
    if (useSkeleton) {
        joints.names = samples.jointNames;
        joints.world = samples.jointWorld;
        const bool exactSkin = !samples.skin.empty() && !samples.inverseBindMatrices.empty() &&
                               samples.bindPositions.size() == 3 * static_cast<size_t>(samples.vertexCount);
        if (exactSkin) {
            joints.skin = samples.skin;
            joints.inverseBindMatrices = samples.inverseBindMatrices;
            joints.bindPositions = samples.bindPositions;
        }
        return joints;
    }
    rig::JointPlacementOptions placementOptions;
    placementOptions.boneCount = options.bones;
    placementOptions.restFrame = 0;
    // Trying every placement costs a few solver iterations each: worth it
    // where those are cheap, while the rule's choice does for large inputs.
    const double work = static_cast<double>(samples.vertexCount) * samples.frameCount() * options.bones;
    std::vector<rig::JointPlacement> placements;
    // The search budget (a count, not a clock, so results never depend on
    // the machine) decides whether other placements are worth their trials.
    if (work * options.fullSolverIterations <= searchWork(options, work))
        placements = rig::placeJointCandidates(samples.vertexCount, samples.frames, placementOptions);
    else
        placements.push_back(rig::placeJoints(samples.vertexCount, samples.frames, placementOptions));
    // Candidates that placed fewer bones than the most any did drop out.
    int boneCount = 0;
    for (const rig::JointPlacement& placement : placements) boneCount = std::max(boneCount, placement.boneCount);
    for (const rig::JointPlacement& placement : placements) {
        if (placement.boneCount != boneCount) continue;
        if (joints.world.empty()) {
            note = placement.note;
            joints.world = placement.frameWorld;
        } else {
            alternatives.push_back(placement.frameWorld);
        }
    }
    for (int b = 0; b < boneCount; ++b) joints.names.push_back("bone_" + std::to_string(b));
    return joints;
}

// Every sample's bone matrices, in time order, for the exported animation.
io::SkinnedRig exportedRig(const io::MeshAnimation& samples, const host::PointFrames& positions,
                           const StartingJoints& joints, const SolvedRig& solved) {
    io::SkinnedRig rig;
    rig.restPositions = positions.frame(0);
    rig.triangles = samples.triangles;
    rig.uvs = samples.uvs;
    rig.jointNames = joints.names;
    rig.bindingMatrices = solved.bindingMatrices;
    for (const io::Matrix4& binding : solved.bindingMatrices) rig.restWorld.push_back(io::inverse(binding));
    rig.influences = solved.influences;

    const std::vector<int> order = timeOrder(samples);
    const double start = samples.timeOf(order.front());
    for (int s : order) {
        rig.frameTimes.push_back(samples.timeOf(s) - start);
        rig.boneWorld.push_back(solved.boneWorld[s]);
    }
    return rig;
}

// The rig as a glTF file plays it: every bone pose its closest
// translation-rotation-scale, as the writer exports it.
SolvedRig asWritten(const SolvedRig& solved) {
    SolvedRig rig = solved;
    for (std::vector<io::Matrix4>& poses : rig.boneWorld)
        for (io::Matrix4& pose : poses) pose = io::trsMatrix(io::closestTrs(pose).trs);
    return rig;
}

// The page's data: the samples in time order, the solved rig's distance to
// them per vertex, and the exported file's bytes as written (kept rather than
// read back: the rig may have gone to a pipe).
ReportPageData reportPageData(const io::MeshAnimation& samples, const host::PointFrames& positions,
                              const std::vector<int>& selected, const SolvedRig& solved, const std::string& inputPath,
                              std::string rigFile) {
    ReportPageData page;
    page.title = std::filesystem::path(inputPath).filename().string();
    setPageFrames(page, samples, positions, selected,
                  vertexDistances(positions, solved.influences, solved.bindingMatrices, solved.boneWorld),
                  solved.boneWorld);
    page.rigFile = std::move(rigFile);
    return page;
}

// Every file the command writes, checked against each other and against
// every file it reads before anything is read.
void checkDecomposePaths(const DecomposeOptions& options, const std::string& pluginPath,
                         const std::string& viewerScriptPath) {
    try {
        io::checkGltfOutputPath(options.outputPath);
    } catch (const io::WriteError& error) {
        throw std::runtime_error(std::string("-o ") + error.what());
    }
    std::vector<NamedFile> outputs{{"-o", options.outputPath}};
    if (options.reportPath) outputs.push_back({"--report", *options.reportPath});
    if (options.scenePath) outputs.push_back({"--scene", *options.scenePath});
    if (options.htmlPath) outputs.push_back({"--html", *options.htmlPath});
    std::vector<NamedFile> inputs;
    for (const std::string& file : io::animationFiles(options.inputPath)) inputs.push_back({"the input", file});
    if (!options.topologyPath.empty()) inputs.push_back({"the topology", options.topologyPath});
    if (!viewerScriptPath.empty()) inputs.push_back({"the viewer script", viewerScriptPath});
    inputs.push_back({"the plug-in", pluginPath});
    checkOutputPaths(outputs, inputs);
}

// A path as the report gives it: relative to the report's folder, so that
// `vantrel report` finds the file from anywhere; absolute paths stay. A
// report sent to a device or a pipe has no folder of its own: its paths are
// absolute.
std::string pathForReport(const std::string& path, const std::optional<std::string>& reportPath) {
    if (path.empty() || !reportPath || std::filesystem::path(path).is_absolute()) return path;
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
    if (ec) return path;
    if (io::outputTarget(*reportPath) == io::OutputTarget::stream) return target.string();
    std::filesystem::path folder = std::filesystem::path(*reportPath).parent_path();
    if (folder.empty()) folder = ".";
    const std::filesystem::path base = std::filesystem::weakly_canonical(folder, ec);
    if (ec) return path;
    const std::filesystem::path relative = target.lexically_relative(base);
    return relative.empty() ? target.string() : relative.string();
}

std::string formatDouble(double value, int digits = 4) {
    std::ostringstream out;
    out.precision(digits);
    out << value;
    return out.str();
}

}  // namespace

int runDecompose(const DecomposeOptions& options) {
    const Clock::time_point programStart = Clock::now();
    // The program's own loops (placement, measuring) keep to the thread
    // count asked for, as the command does.
    if (options.threads > 0) omp_set_num_threads(options.threads);
    nlohmann::json stages = nlohmann::json::object();
    Progress progress(options.quiet, iterationLimit(options));
    std::optional<ProgressHeartbeat> heartbeat;
    if (!options.quiet) heartbeat.emplace(progress);
    // The outputs and the page's viewer are checked first, so that a bad
    // path or a missing viewer costs no solve.
    const std::string viewerScriptPath = options.htmlPath ? locateViewerScript(options.viewerScriptPath) : "";
    const std::string pluginPath = locatePlugin(options.pluginPath);
    checkDecomposePaths(options, pluginPath, viewerScriptPath);
    std::string viewerScript;
    if (options.htmlPath) viewerScript = readViewerScript(viewerScriptPath);

    // Read.
    progress.stage("reading " + options.inputPath);
    Clock::time_point start = Clock::now();
    io::ReadOptions readOptions;
    if (!options.topologyPath.empty()) readOptions.topologyPath = options.topologyPath;
    readOptions.frameRate = options.frameRate;
    readOptions.requireAnimation = true;
    io::MeshAnimation animation = io::readAnimation(options.inputPath, readOptions);
    const std::vector<int> selected = selectFrames(animation, options.frames, options.clip, options.restFrame);
    io::MeshAnimation samples = keepFrames(std::move(animation), selected);
    const bool zUp = needsZUpConversion(samples, options.upAxis);
    if (zUp) convertZUpToYUp(samples);
    stages["read"] = secondsSince(start);

    // Joints.
    const bool useSkeleton = options.bones <= 0 && !samples.jointNames.empty();
    // A joint needs a vertex of its own to place and to carry: more than the
    // mesh has would only run long and leave joints empty.
    if (options.bones > samples.vertexCount)
        throw std::runtime_error("-b " + std::to_string(options.bones) + ": more joints than the animation's " +
                                 std::to_string(samples.vertexCount) + " vertices; give at most " +
                                 std::to_string(samples.vertexCount));
    DecomposeOptions settings = options;
    if (!useSkeleton && settings.bones <= 0) settings.bones = 16;
    const int expectedJoints = useSkeleton ? static_cast<int>(samples.jointNames.size()) : settings.bones;
    const double expectedSolveSeconds = estimatedSolveSeconds(
        settings, static_cast<double>(samples.vertexCount) * samples.frameCount() * expectedJoints);
    if (expectedSolveSeconds > kLargeSolveSeconds)
        progress.note("this is a large decomposition (" + aboutDuration(expectedSolveSeconds) +
                      " of solving); -b, -n or --frames make it smaller");
    std::string placementNote;
    start = Clock::now();
    if (!useSkeleton) progress.stage("placing " + std::to_string(settings.bones) + " joints");
    std::vector<std::vector<std::vector<io::Matrix4>>> starts(1);
    const StartingJoints joints = startingJoints(samples, settings, useSkeleton, placementNote, starts);
    const int jointCount = static_cast<int>(joints.names.size());
    settings.influences = std::min(settings.influences, jointCount);
    // The command refuses more re-selecting iterations than iterations.
    settings.fullSolverIterations = std::min(settings.fullSolverIterations, settings.iterations);
    stages["jointPlacement"] = secondsSince(start);

    // Scene and command.
    start = Clock::now();
    progress.stage("building the scene");
    const double restDiagonal = boundingBoxDiagonal(samples.frames.front());
    // From here on the samples' positions live once, compactly, shared by the
    // scene's point cache and every measure below; samples.frames keeps only
    // its length.
    auto compactPositions = std::make_shared<host::PointFrames>(std::move(samples.frames));
    // Large positions are held in a temporary file (page cache) rather than
    // in the process while the command holds its own sampled copy; small
    // ones, or when no file can be made, in memory.
    if (compactPositions->bytes() >= kPositionsInFileBytes) {
        std::error_code tempError;
        const std::filesystem::path tempFolder = std::filesystem::temp_directory_path(tempError);
        if (!tempError) compactPositions->keepInFile(tempFolder.string());
    }
    const std::shared_ptr<const host::PointFrames> positions = std::move(compactPositions);
    // Weights are rescaled to sum to one after the solve; a constraint row
    // well above the model's size keeps that rescaling from undoing the fit.
    const double lagrangian =
        options.lagrangian ? *options.lagrangian : kLagrangianPerSize * std::max(restDiagonal, 1e-6);
    host::setMessageEcho(false);
    host::clearMessages();
    const SceneNames names = buildDecompositionScene(samples, positions, joints, settings, lagrangian);
    std::vector<std::vector<io::Matrix4>> keyedWorld = joints.world;  // the starting joints keyed now
    bool pluginLoaded = false;
    for (const std::string& loaded : host::loadedPlugins()) pluginLoaded |= (loaded == "vantrel");
    if (!pluginLoaded && !host::loadPlugin(pluginPath))
        throw std::runtime_error("cannot load the plug-in module " + pluginPath);
    stages["scene"] = secondsSince(start);

    start = Clock::now();
    // One run of the command as a host user would type it, measured here.
    SolvedRig solved;
    int runNumber = 0;
    const rig::CommandRunner runCommand = [&](const rig::CommandRequest& request) {
        if (request.startWorld != keyedWorld) {
            keyStartingJoints(names, request.startWorld);
            keyedWorld = request.startWorld;
        }
        setIterationSettings(names, request.iterations, request.reselectIterations, request.breakPercent);
        progress.beginRun("run " + std::to_string(++runNumber) + " (" + request.purpose + ")", request.iterations);
        const size_t errorsBefore = progress.iterationErrors().size();
        MStatus status;
        positions->releaseResident();  // what reads by point brought in
        {
            CommandOutputCapture capture([&](const std::string& line) { progress.commandLine(line); });
            status = host::executeCommand(decompositionCommand(names));
        }

        if (!status) {
            progress.finish();
            std::string detail;
            for (const host::Message& message : host::messages())
                if (message.kind == host::MessageKind::Error) detail += "\n  " + message.text;
            throw std::runtime_error("the decomposition command failed (" +
                                     std::string(status.errorString().asChar()) + ")" + detail);
        }
        solved = readSolvedRig(names, samples.vertexCount, samples.frameCount());
        rig::CommandResult result;
        result.iterationErrors.assign(progress.iterationErrors().begin() + static_cast<long>(errorsBefore),
                                      progress.iterationErrors().end());
        result.eRms = measureRigError(*positions, solved.influences, solved.bindingMatrices, solved.boneWorld,
                                      &result.vertexSquaredError)
                          .eRms;
        result.influences = std::move(solved.influences);
        result.boneWorld = std::move(solved.boneWorld);
        result.bindingMatrices = std::move(solved.bindingMatrices);
        result.commandError = solved.commandError;
        return result;
    };
    rig::ScheduleOptions scheduleOptions;
    scheduleOptions.iterations = iterationLimit(settings);
    scheduleOptions.reselectIterations = settings.fullSolverIterations;
    scheduleOptions.breakPercent = settings.breakPercent;
    // Joints keyed anew would move a mesh that the file's skin deforms.
    scheduleOptions.continuation = joints.skin.empty();
    scheduleOptions.reseedRounds = useSkeleton ? 0 : scheduleOptions.reseedRounds;
    // Moving weak joints costs a solve each: only where solves are cheap.
    scheduleOptions.swapRounds = useSkeleton ? 0 : kSwapRounds;
    scheduleOptions.refreshRounds = kRefreshRounds;
    scheduleOptions.iterationWork = static_cast<double>(samples.vertexCount) * samples.frameCount() * jointCount;
    scheduleOptions.searchWork = searchWork(settings, scheduleOptions.iterationWork);
    starts.front() = joints.world;
    const rig::ScheduleSummary schedule = rig::runSchedule(*positions, starts, scheduleOptions, runCommand);
    progress.finish();
    // The scene holds the last run; the best may be another.
    solved.influences = schedule.best.influences;
    solved.boneWorld = schedule.best.boneWorld;
    solved.bindingMatrices = schedule.best.bindingMatrices;
    // Every iteration of every run, as errorPerIteration lists them.
    solved.iterationsDone = 0;
    for (const rig::ScheduleRun& run : schedule.runs) solved.iterationsDone += static_cast<int>(run.errors.size());
    solved.commandError = schedule.best.commandError;
    stages["solve"] = secondsSince(start);
    // A scene sent to a device or a pipe has no size to tell.
    std::optional<std::uintmax_t> sceneBytes;
    if (options.scenePath)
        io::writeFileAtomically(*options.scenePath, [&sceneBytes](const std::string& path) {
            host::saveScene(path);
            std::error_code ec;
            if (std::filesystem::is_regular_file(path, ec)) sceneBytes = std::filesystem::file_size(path, ec);
            if (ec) sceneBytes.reset();
        });

    // Measure and export.
    const RigError solvedError =
        measureRigError(*positions, solved.influences, solved.bindingMatrices, solved.boneWorld);
    start = Clock::now();
    progress.stage("writing " + options.outputPath);
    std::string rigFile;
    const io::WriteSummary written = io::writeSkinnedGltf(exportedRig(samples, *positions, joints, solved),
                                                          options.outputPath, options.htmlPath ? &rigFile : nullptr);
    progress.finish();
    // glTF joints cannot shear: the file plays the closest TRS of each
    // sheared pose, so its figures are measured on those, the solved rig's
    // kept beside them.
    const SolvedRig writtenRig = written.shearDropped ? asWritten(solved) : SolvedRig{};
    const SolvedRig& fileRig = written.shearDropped ? writtenRig : solved;
    const RigError error =
        written.shearDropped
            ? measureRigError(*positions, fileRig.influences, fileRig.bindingMatrices, fileRig.boneWorld)
            : solvedError;
    stages["export"] = secondsSince(start);
    const double totalSeconds = secondsSince(programStart);

    std::vector<std::string> notes = samples.notes;  // what the reader assumed comes first
    if (!placementNote.empty()) notes.push_back(placementNote);
    if (zUp) notes.push_back("converted from Z-up to Y-up");
    if (useSkeleton && joints.skin.empty() && !samples.skin.empty())
        notes.push_back("the file's skin could not seed the influences (morph targets or no bind pose)");
    if (written.shearDropped)
        notes.push_back("glTF joints cannot shear: " + std::to_string(written.jointFramesWithShear) +
                        " joint poses were exported as their closest translation-rotation-scale, adding up to " +
                        formatDouble(written.shearMaxError) + " scene units of error (RMS " +
                        formatDouble(written.shearRmsError) + ")");

    // The file's bind pose, when it is the rest, is not a frame of the animation.
    const size_t animationFrames = samples.frameCount() - (selected.front() == kBindPoseFrame ? 1 : 0);
    nlohmann::json report;
    {
        report["input"] = pathForReport(options.inputPath, options.reportPath);
        report["output"] = pathForReport(options.outputPath, options.reportPath);
        report["topology"] = pathForReport(options.topologyPath, options.reportPath);
        if (options.frameRate) report["fps"] = *options.frameRate;
        report["settings"] = {{"bones", jointCount},
                              {"jointsFromFile", useSkeleton},
                              {"influences", settings.influences},
                              {"iterations", settings.iterations},
                              {"fullSolverIterations", settings.fullSolverIterations},
                              {"transforms", settings.affine ? "affine" : "rigid"},
                              {"updateRest", settings.updateRest},
                              {"breakPercent", settings.breakPercent},
                              {"search", settings.search},
                              {"threads", settings.threads},
                              {"lagrangian", lagrangian},
                              {"restFrame", selected.front()},
                              {"frames", selected},
                              {"zUpConverted", zUp}};
        report["sizes"] = {{"vertices", samples.vertexCount},
                           {"triangles", samples.triangles.size()},
                           {"frames", animationFrames},
                           {"joints", jointCount}};
        report["errorPerIteration"] = progress.iterationErrors();
        nlohmann::json runs = nlohmann::json::array();
        for (const rig::ScheduleRun& run : schedule.runs)
            runs.push_back({{"purpose", run.purpose}, {"iterations", run.errors.size()}, {"eRms", run.eRms}});
        report["runs"] = runs;
        report["placementsTried"] = starts.size();
        report["placementChosen"] = schedule.chosenStart;
        report["reseededJoints"] = schedule.reseededJoints;
        report["movedJoints"] = schedule.movedJoints;
        report["negligibleJoints"] = schedule.negligibleJoints;
        report["commandError"] = solved.commandError;
        report["iterationsDone"] = solved.iterationsDone;
        report["eRms"] = error.eRms;
        report["rmsDistance"] = error.rmsDistance;
        report["maxDistance"] = error.maxDistance;
        report["maxDistanceAt"] = {{"frame", error.worstFrame >= 0 ? selected[error.worstFrame] : -1},
                                   {"vertex", error.worstVertex}};
        report["restDiagonal"] = error.restDiagonal;
        if (written.shearDropped)
            report["solvedRig"] = {{"eRms", solvedError.eRms},
                                   {"rmsDistance", solvedError.rmsDistance},
                                   {"maxDistance", solvedError.maxDistance}};
        report["export"] = {{"bytes", written.bytes},
                            {"influenceSets", written.influenceSets},
                            {"shearDropped", written.shearDropped},
                            {"shearRmsError", written.shearRmsError},
                            {"shearMaxError", written.shearMaxError}};
        stages["total"] = totalSeconds;
        report["seconds"] = stages;
        report["peakMemoryMiB"] = peakMemoryMiB();
        report["notes"] = notes;
    }
    const std::string reportText = report.dump(2) + "\n";
    if (options.reportPath) io::writeFileAtomically(*options.reportPath, reportText);

    std::optional<PageSummary> page;
    if (options.htmlPath) {
        progress.stage("writing " + *options.htmlPath);
        ReportPageData data = reportPageData(samples, *positions, selected, fileRig, options.inputPath, std::move(rigFile));
        data.reportJson = report.dump();
        data.notes = notes;
        if (options.htmlFrameBudget) data.frameDataBudget = *options.htmlFrameBudget;
        if (written.influenceSets > 1)
            data.notes.push_back("three.js plays only the first four influences of each vertex (JOINTS_0), so the "
                                 "rig on the page can differ from the file's full skinning");
        page = writeReportPage(*options.htmlPath, data, viewerScript);
        progress.finish();
    }

    for (const std::string& note : notes) progress.note(note);
    std::cout << "vantrel: " << samples.vertexCount << " vertices, " << animationFrames << " frames, "
              << jointCount << " joints, " << settings.influences << " influences, "
              << solved.iterationsDone << " iterations\n"
              << "  E_RMS " << formatDouble(error.eRms) << ", max distance " << formatDouble(error.maxDistance)
              << " (rest size " << formatDouble(error.restDiagonal) << ")\n"
              << (written.shearDropped ? "  solved rig with shear: E_RMS " + formatDouble(solvedError.eRms) +
                                             ", max distance " + formatDouble(solvedError.maxDistance) + "\n"
                                       : std::string())
              << "  wrote " << written.path << " (" << sizeText(written.bytes) << ") in "
              << formatDouble(totalSeconds, 3) << " s\n";
    if (page)
        std::cout << "  wrote " << page->path << " (" << sizeText(page->bytes)
                  << (page->encoding.quantised ? ", 16-bit positions" : "")
                  << (page->encoding.keptFrames.size() < static_cast<size_t>(samples.frameCount())
                          ? ", " + std::to_string(page->encoding.keptFrames.size()) + " frames shown"
                          : std::string())
                  << ")\n";
    if (options.reportPath)
        std::cout << "  wrote " << *options.reportPath << " (" << sizeText(reportText.size()) << ")\n";
    if (options.scenePath)
        std::cout << "  wrote " << *options.scenePath << (sceneBytes ? " (" + sizeText(*sceneBytes) + ")" : "") << "\n";
    return 0;
}

}  // namespace vantrel::cli
