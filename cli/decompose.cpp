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
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
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
#include "cli/io/read_animation.h"
#include "cli/path_check.h"
#include "cli/progress.h"
#include "cli/report_page.h"
#include "cli/rig/joint_placement.h"
#include "cli/rig/skeleton_tree.h"
#include "cli/rig/solve_schedule.h"
#include "cli/rig_metrics.h"
#include "cli/scene_setup.h"

namespace vantrel::cli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

// Seconds one iteration of the solve takes on the 2-core machine: a fixed
// part (parallel loops, per-joint set-up) and a part per vertex and sample
// that grows with the influences kept and, more slowly, with the joints the
// selection weighs. From 0.2 s to 0.35 s per iteration on the production
// character (24,229 vertices, 300 samples, 40 joints, 8 influences) and about
// 20 ms on a 2,500-vertex, 80-sample cloth at 5 joints.
constexpr double kIterationSeconds = 0.01;
constexpr double kIterationSecondsPerVertexSample = 3e-9;

// Beyond this many vertex x samples the search never spends more than
// kSearchCap vertex x sample x joint iterations, so large inputs get the
// plain solve. Below it a solve takes seconds, and the search's moves and
// re-seeds pay: on the 4,500-vertex, 200-frame characters at 30 joints the
// whole budget lowers E_RMS by 11 % to 34 % where the cap left no room for
// them.
constexpr double kFullSearchVertexSamples = 2e6;
constexpr double kSearchCap = 1e9;

// The iteration limit of one solve; options set from code may leave it 0,
// which stands for 1000.
int iterationLimit(const DecomposeOptions& options) { return options.iterations < 1 ? 1000 : options.iterations; }

// Work the schedule may spend beyond one solve, in vertex x sample x joint
// iterations: `search` solves' worth, capped on large inputs.
double searchWork(const DecomposeOptions& options, double vertexSamples, int joints) {
    const double work = options.search * iterationLimit(options) * vertexSamples * joints;
    return vertexSamples <= kFullSearchVertexSamples ? work : std::min(work, kSearchCap);
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
double estimatedSolveSeconds(const DecomposeOptions& options, double vertexSamples, int joints) {
    const double iterationWork = vertexSamples * joints;
    const double iterations = iterationLimit(options) + 1 +
                              (iterationWork > 0.0 ? searchWork(options, vertexSamples, joints) / iterationWork : 0.0);
    const double influences = std::min(options.influences, joints);
    return iterations *
           (kIterationSeconds + kIterationSecondsPerVertexSample * vertexSamples * (influences + joints / 8.0));
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

// "joint_07" of 31 joints, "joint_007" of 120: numbers as wide as the largest.
std::string jointName(int joint, int count) {
    const std::string digits = std::to_string(joint);
    const size_t width = std::max<size_t>(2, std::to_string(std::max(count - 1, 0)).size());
    return "joint_" + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
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
    const double vertexSamples = static_cast<double>(samples.vertexCount) * samples.frameCount();
    std::vector<rig::JointPlacement> placements;
    // The search budget (a count, not a clock, so results never depend on
    // the machine) decides whether other placements are worth their trials.
    if (vertexSamples * options.bones * options.fullSolverIterations <=
        searchWork(options, vertexSamples, options.bones))
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
    for (int b = 0; b < boneCount; ++b) joints.names.push_back(jointName(b, boneCount));
    return joints;
}

// Every sample's bone matrices, in time order, for the exported animation.
io::SkinnedRig exportedRig(const io::MeshAnimation& samples, const host::PointFrames& positions,
                           const StartingJoints& joints, const SolvedRig& solved, const std::vector<int>& parents) {
    io::SkinnedRig rig;
    rig.restPositions = positions.frame(0);
    rig.triangles = samples.triangles;
    rig.uvs = samples.uvs;
    rig.jointNames = joints.names;
    rig.jointParents = parents;
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

// The rig as a glTF file plays it: every joint's pose relative to its parent
// its closest translation-rotation-scale, as the writer exports it, composed
// down the hierarchy. Every sample, the rest too.
SolvedRig asWritten(const SolvedRig& solved, const std::vector<int>& parents) {
    SolvedRig rig = solved;
    rig.boneWorld = io::playedBoneWorld(parents, solved.boneWorld);
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

// What the steps of a decomposition hand on to each other, in the order they
// fill it.
struct Decomposition {
    explicit Decomposition(const DecomposeOptions& given)
        : options(given), settings(given), progress(given.quiet, iterationLimit(given)) {}

    const DecomposeOptions& options;  // as given
    DecomposeOptions settings;        // as used: joints, influences and iterations settled
    Progress progress;
    nlohmann::json stages = nlohmann::json::object();  // seconds per stage
    // Read.
    std::vector<int> selected;  // frame indices, the rest first (kBindPoseFrame for a bind pose)
    io::MeshAnimation samples;  // the selected frames; frames emptied once in `positions`
    bool zUp = false;
    // Joints.
    bool useSkeleton = false;  // the file's skeleton is the start
    std::string placementNote;
    StartingJoints joints;
    std::vector<std::vector<std::vector<io::Matrix4>>> starts;  // placements tried: [start][sample][joint]
    // Scene and solve.
    std::shared_ptr<const host::PointFrames> positions;
    double lagrangian = 0.0;
    SolvedRig solved;
    rig::ScheduleSummary schedule;
    std::optional<std::uintmax_t> sceneBytes;
    // Skeleton and export.
    std::string hierarchy;  // "tree", "flat" or "file"
    rig::SkeletonTree skeleton;
    RigError solvedError;  // the solved rig, after the skeleton's exact re-expression
    io::WriteSummary written;
    std::string rigFile;   // the written file's bytes, for the page
    SolvedRig writtenRig;  // the rig as the file plays it, when it drops shear
    RigError error;        // the rig as the file plays it
    std::vector<std::string> notes;

    const SolvedRig& fileRig() const { return written.shearDropped ? writtenRig : solved; }
    int jointCount() const { return static_cast<int>(joints.names.size()); }
    // The file's bind pose, when it is the rest, is not a frame of the animation.
    size_t animationFrames() const { return samples.frameCount() - (selected.front() == kBindPoseFrame ? 1 : 0); }
};

// Reads the animation and keeps the frames asked for, in glTF's axes.
void readSamples(Decomposition& run) {
    const DecomposeOptions& options = run.options;
    if (options.bindPose == BindPose::topology && options.topologyPath.empty())
        throw std::runtime_error(
            "--bind-pose topology needs --topology, the OBJ file whose positions are the bind pose");
    run.progress.stage("reading " + options.inputPath);
    const Clock::time_point start = Clock::now();
    io::ReadOptions readOptions;
    if (!options.topologyPath.empty()) readOptions.topologyPath = options.topologyPath;
    readOptions.topologyBindPose = options.bindPose == BindPose::topology;
    readOptions.frameRate = options.frameRate;
    readOptions.requireAnimation = true;
    io::MeshAnimation animation = io::readAnimation(options.inputPath, readOptions);
    run.selected = selectFrames(animation, options.frames, options.clip, options.restFrame);
    run.samples = keepFrames(std::move(animation), run.selected);
    run.zUp = needsZUpConversion(run.samples, options.upAxis);
    if (run.zUp) convertZUpToYUp(run.samples);
    run.stages["read"] = secondsSince(start);
}

// Settles the joint count, announces a large solve, and places the starting
// joints (or takes the file's).
void chooseStartingJoints(Decomposition& run) {
    const io::MeshAnimation& samples = run.samples;
    run.useSkeleton = run.options.bones <= 0 && !samples.jointNames.empty();
    // A joint needs a vertex of its own to place and to carry: more than the
    // mesh has would only run long and leave joints empty.
    if (run.options.bones > samples.vertexCount)
        throw std::runtime_error("-b " + std::to_string(run.options.bones) + ": more joints than the animation's " +
                                 std::to_string(samples.vertexCount) + " vertices; give at most " +
                                 std::to_string(samples.vertexCount));
    DecomposeOptions& settings = run.settings;
    if (!run.useSkeleton && settings.bones <= 0) settings.bones = kDefaultBones;
    const int expectedJoints = run.useSkeleton ? static_cast<int>(samples.jointNames.size()) : settings.bones;
    const double expectedSolveSeconds = estimatedSolveSeconds(
        settings, static_cast<double>(samples.vertexCount) * samples.frameCount(), expectedJoints);
    if (expectedSolveSeconds > kLargeSolveSeconds)
        run.progress.note("this is a large decomposition (" + aboutDuration(expectedSolveSeconds) +
                          " of solving); -b, -n or --frames make it smaller");
    const Clock::time_point start = Clock::now();
    if (!run.useSkeleton) run.progress.stage("placing " + std::to_string(settings.bones) + " joints");
    run.starts.assign(1, {});
    run.joints = startingJoints(samples, settings, run.useSkeleton, run.placementNote, run.starts);
    settings.influences = std::min(settings.influences, run.jointCount());
    // The command refuses more re-selecting iterations than iterations.
    settings.fullSolverIterations = std::min(settings.fullSolverIterations, settings.iterations);
    run.stages["jointPlacement"] = secondsSince(start);
}

// Builds the headless scene over the samples' positions and loads the plug-in.
SceneNames buildScene(Decomposition& run, const std::string& pluginPath) {
    const Clock::time_point start = Clock::now();
    run.progress.stage("building the scene");
    const double restDiagonal = boundingBoxDiagonal(run.samples.frames.front());
    // From here on the samples' positions live once, compactly, shared by the
    // scene's point cache and every measure below; samples.frames keeps only
    // its length.
    auto compactPositions = std::make_shared<host::PointFrames>(std::move(run.samples.frames));
    // Large positions are held in a temporary file (page cache) rather than
    // in the process while the command holds its own sampled copy; small
    // ones, or when no file can be made, in memory.
    if (compactPositions->bytes() >= kPositionsInFileBytes) {
        std::error_code tempError;
        const std::filesystem::path tempFolder = std::filesystem::temp_directory_path(tempError);
        if (!tempError) compactPositions->keepInFile(tempFolder.string());
    }
    run.positions = std::move(compactPositions);
    // Weights are rescaled to sum to one after the solve; a constraint row
    // well above the model's size keeps that rescaling from undoing the fit.
    run.lagrangian =
        run.options.lagrangian ? *run.options.lagrangian : kLagrangianPerSize * std::max(restDiagonal, 1e-6);
    host::setMessageEcho(false);
    host::clearMessages();
    const SceneNames names =
        buildDecompositionScene(run.samples, run.positions, run.joints, run.settings, run.lagrangian);
    bool pluginLoaded = false;
    for (const std::string& loaded : host::loadedPlugins()) pluginLoaded |= (loaded == "vantrel");
    if (!pluginLoaded && !host::loadPlugin(pluginPath))
        throw std::runtime_error("cannot load the plug-in module " + pluginPath);
    run.stages["scene"] = secondsSince(start);
    return names;
}

// One run of the command as a host user would type it, measured here.
rig::CommandRunner commandRunner(Decomposition& run, const SceneNames& names, int& runNumber,
                                 std::vector<std::vector<io::Matrix4>>& keyedWorld) {
    return [&run, &names, &runNumber, &keyedWorld](const rig::CommandRequest& request) {
        Progress& progress = run.progress;
        if (request.startWorld != keyedWorld) {
            keyStartingJoints(names, request.startWorld);
            keyedWorld = request.startWorld;
        }
        setIterationSettings(names, request.iterations, request.reselectIterations, request.breakPercent);
        progress.beginRun("run " + std::to_string(++runNumber) + " (" + request.purpose + ")", request.iterations);
        const size_t errorsBefore = progress.iterationErrors().size();
        MStatus status;
        run.positions->releaseResident();  // what reads by point brought in
        {
            CommandOutputCapture capture([&](const std::string& line) { progress.commandLine(line); });
            status = host::executeCommand(decompositionCommand(names));
        }
        if (!status) {
            progress.finish();
            std::string detail;
            for (const host::Message& message : host::messages())
                if (message.kind == host::MessageKind::Error) detail += "\n  " + message.text;
            throw std::runtime_error("the decomposition command failed (" + std::string(status.errorString().asChar()) +
                                     ")" + detail);
        }
        SolvedRig solved = readSolvedRig(names, run.samples.vertexCount, run.samples.frameCount());
        rig::CommandResult result;
        result.iterationErrors.assign(progress.iterationErrors().begin() + static_cast<long>(errorsBefore),
                                      progress.iterationErrors().end());
        result.eRms = measureRigError(*run.positions, solved.influences, solved.bindingMatrices, solved.boneWorld,
                                      &result.vertexSquaredError)
                          .eRms;
        result.influences = std::move(solved.influences);
        result.boneWorld = std::move(solved.boneWorld);
        result.bindingMatrices = std::move(solved.bindingMatrices);
        result.commandError = solved.commandError;
        return result;
    };
}

// Runs the command on the schedule (placements tried, weak joints moved) and
// keeps the best run's rig; saves the scene when asked.
void solve(Decomposition& run, const SceneNames& names) {
    const Clock::time_point start = Clock::now();
    int runNumber = 0;
    std::vector<std::vector<io::Matrix4>> keyedWorld = run.joints.world;  // the starting joints keyed now
    const rig::CommandRunner runCommand = commandRunner(run, names, runNumber, keyedWorld);
    const DecomposeOptions& settings = run.settings;
    rig::ScheduleOptions scheduleOptions;
    scheduleOptions.iterations = iterationLimit(settings);
    scheduleOptions.reselectIterations = settings.fullSolverIterations;
    scheduleOptions.breakPercent = settings.breakPercent;
    // Joints keyed anew would move a mesh that the file's skin deforms.
    scheduleOptions.continuation = run.joints.skin.empty();
    scheduleOptions.reseedRounds = run.useSkeleton ? 0 : scheduleOptions.reseedRounds;
    // Joints the skeleton would hang as leaves are worth a region of their
    // own: on the characters at 30 joints that lowered E_RMS by 8 and 22 %,
    // with no other row of the fit-quality table changed.
    scheduleOptions.reseedMinorShare = rig::kMinorWeight;
    // Moving weak joints costs a solve each: only where solves are cheap.
    scheduleOptions.swapRounds = run.useSkeleton ? 0 : kSwapRounds;
    scheduleOptions.refreshRounds = kRefreshRounds;
    const double vertexSamples = static_cast<double>(run.samples.vertexCount) * run.samples.frameCount();
    scheduleOptions.iterationWork = vertexSamples * run.jointCount();
    scheduleOptions.searchWork = searchWork(settings, vertexSamples, run.jointCount());
    run.starts.front() = run.joints.world;
    run.schedule = rig::runSchedule(*run.positions, run.starts, scheduleOptions, runCommand);
    run.progress.finish();
    // The scene holds the last run; the best may be another.
    SolvedRig& solved = run.solved;
    solved.influences = run.schedule.best.influences;
    solved.boneWorld = run.schedule.best.boneWorld;
    solved.bindingMatrices = run.schedule.best.bindingMatrices;
    // Every iteration of every run, as errorPerIteration lists them.
    solved.iterationsDone = 0;
    for (const rig::ScheduleRun& done : run.schedule.runs)
        solved.iterationsDone += static_cast<int>(done.errors.size());
    solved.commandError = run.schedule.best.commandError;
    run.stages["solve"] = secondsSince(start);
    // A scene sent to a device or a pipe has no size to tell.
    if (run.options.scenePath)
        io::writeFileAtomically(*run.options.scenePath, [&run](const std::string& path) {
            host::saveScene(path);
            std::error_code ec;
            if (std::filesystem::is_regular_file(path, ec)) run.sceneBytes = std::filesystem::file_size(path, ec);
            if (ec) run.sceneBytes.reset();
        });
}

// The exported hierarchy: a tree inferred from the motion (joints moved to
// the articulations, exactly), the file's own, or flat.
void shapeSkeleton(Decomposition& run) {
    const Clock::time_point start = Clock::now();
    SolvedRig& solved = run.solved;
    if (run.options.skeleton == SkeletonShape::flat) {
        run.hierarchy = "flat";
        run.skeleton = rig::describeHierarchy(std::vector<int>(solved.bindingMatrices.size(), -1),
                                              solved.bindingMatrices, solved.boneWorld);
    } else if (run.useSkeleton) {
        run.hierarchy = "file";
        run.skeleton = rig::describeHierarchy(run.samples.jointParents, solved.bindingMatrices, solved.boneWorld);
    } else {
        run.hierarchy = "tree";
        run.progress.stage("finding the skeleton");
        run.skeleton = rig::inferSkeletonTree(run.positions->frame(0), solved.influences, solved.bindingMatrices,
                                              solved.boneWorld);
        run.progress.finish();
    }
    run.solvedError = measureRigError(*run.positions, solved.influences, solved.bindingMatrices, solved.boneWorld);
    run.stages["skeleton"] = secondsSince(start);
}

// Writes the rig, and measures it as the file plays it.
void exportRig(Decomposition& run) {
    const Clock::time_point start = Clock::now();
    run.progress.stage("writing " + run.options.outputPath);
    run.written =
        io::writeSkinnedGltf(exportedRig(run.samples, *run.positions, run.joints, run.solved, run.skeleton.parents),
                             run.options.outputPath, run.options.htmlPath ? &run.rigFile : nullptr);
    run.progress.finish();
    // glTF joints cannot shear: the file plays the closest TRS of each
    // sheared pose, so its figures are measured on those, the solved rig's
    // kept beside them.
    if (run.written.shearDropped) {
        run.writtenRig = asWritten(run.solved, run.skeleton.parents);
        const SolvedRig& played = run.writtenRig;
        run.error = measureRigError(*run.positions, played.influences, played.bindingMatrices, played.boneWorld);
    } else {
        run.error = run.solvedError;
    }
    run.stages["export"] = secondsSince(start);
}

// What the reader assumed, and what the program did that the user should know.
std::vector<std::string> runNotes(const Decomposition& run) {
    std::vector<std::string> notes = run.samples.notes;  // what the reader assumed comes first
    if (!run.placementNote.empty()) notes.push_back(run.placementNote);
    if (run.zUp) notes.push_back("converted from Z-up to Y-up");
    if (run.useSkeleton && run.joints.skin.empty() && !run.samples.skin.empty())
        notes.push_back("the file's skin could not seed the influences (morph targets or no bind pose)");
    const io::WriteSummary& written = run.written;
    if (written.shearDropped)
        notes.push_back("glTF joints cannot shear: " + std::to_string(written.jointFramesWithShear) +
                        " joint poses were exported as their closest translation-rotation-scale, adding up to " +
                        formatDouble(written.shearMaxError) + " scene units of error (RMS " +
                        formatDouble(written.shearRmsError) + ")");
    return notes;
}

// The report's "skeleton": the hierarchy, its root, and per joint its
// parent, pivot, pivot residual and bone-length variation.
nlohmann::json skeletonReport(const Decomposition& run) {
    const rig::SkeletonTree& tree = run.skeleton;
    nlohmann::json joints = nlohmann::json::array();
    double largestResidual = 0.0, largestVariation = 0.0;
    for (size_t j = 0; j < tree.parents.size(); ++j) {
        joints.push_back({{"name", run.joints.names[j]},
                          {"parent", tree.parents[j]},
                          {"pivot", tree.pivots[j]},
                          {"pivotResidual", tree.pivotResidual[j]},
                          {"boneLengthVariation", tree.boneLengthVariation[j]}});
        largestResidual = std::max(largestResidual, tree.pivotResidual[j]);
        largestVariation = std::max(largestVariation, tree.boneLengthVariation[j]);
    }
    return {{"hierarchy", run.hierarchy},
            {"root", tree.parents.empty() ? -1 : tree.root},
            {"largestPivotResidual", largestResidual},
            {"largestBoneLengthVariation", largestVariation},
            {"joints", joints}};
}

// The JSON report: settings, sizes, errors, runs, skeleton, times, memory.
nlohmann::json decompositionReport(const Decomposition& run, double totalSeconds) {
    const DecomposeOptions& options = run.options;
    const DecomposeOptions& settings = run.settings;
    nlohmann::json report;
    report["input"] = pathForReport(options.inputPath, options.reportPath);
    report["output"] = pathForReport(options.outputPath, options.reportPath);
    report["topology"] = pathForReport(options.topologyPath, options.reportPath);
    if (options.frameRate) report["fps"] = *options.frameRate;
    report["settings"] = {{"bones", run.jointCount()},
                          {"jointsFromFile", run.useSkeleton},
                          {"influences", settings.influences},
                          {"iterations", settings.iterations},
                          {"fullSolverIterations", settings.fullSolverIterations},
                          {"transforms", settings.affine ? "affine" : "rigid"},
                          {"updateRest", settings.updateRest},
                          {"breakPercent", settings.breakPercent},
                          {"search", settings.search},
                          {"threads", settings.threads},
                          {"lagrangian", run.lagrangian},
                          {"skeleton", options.skeleton == SkeletonShape::flat ? "flat" : "tree"},
                          {"bindPose", options.bindPose == BindPose::topology ? "topology" : "rest-frame"},
                          {"restFrame", run.selected.front()},
                          {"frames", run.selected},
                          {"zUpConverted", run.zUp}};
    report["sizes"] = {{"vertices", run.samples.vertexCount},
                       {"triangles", run.samples.triangles.size()},
                       {"frames", run.animationFrames()},
                       {"joints", run.jointCount()}};
    report["errorPerIteration"] = run.progress.iterationErrors();
    nlohmann::json runs = nlohmann::json::array();
    for (const rig::ScheduleRun& done : run.schedule.runs)
        runs.push_back({{"purpose", done.purpose}, {"iterations", done.errors.size()}, {"eRms", done.eRms}});
    report["runs"] = runs;
    report["placementsTried"] = run.starts.size();
    report["placementChosen"] = run.schedule.chosenStart;
    report["reseededJoints"] = run.schedule.reseededJoints;
    report["movedJoints"] = run.schedule.movedJoints;
    report["negligibleJoints"] = run.schedule.negligibleJoints;
    report["commandError"] = run.solved.commandError;
    report["iterationsDone"] = run.solved.iterationsDone;
    const RigError& error = run.error;
    report["eRms"] = error.eRms;
    report["rmsDistance"] = error.rmsDistance;
    report["maxDistance"] = error.maxDistance;
    report["maxDistanceAt"] = {{"frame", error.worstFrame >= 0 ? run.selected[error.worstFrame] : -1},
                               {"vertex", error.worstVertex}};
    report["restDiagonal"] = error.restDiagonal;
    if (run.written.shearDropped)
        report["solvedRig"] = {{"eRms", run.solvedError.eRms},
                               {"rmsDistance", run.solvedError.rmsDistance},
                               {"maxDistance", run.solvedError.maxDistance}};
    report["skeleton"] = skeletonReport(run);
    report["export"] = {{"bytes", run.written.bytes},
                        {"influenceSets", run.written.influenceSets},
                        {"shearDropped", run.written.shearDropped},
                        {"shearRmsError", run.written.shearRmsError},
                        {"shearMaxError", run.written.shearMaxError}};
    nlohmann::json stages = run.stages;
    stages["total"] = totalSeconds;
    report["seconds"] = stages;
    report["peakMemoryMiB"] = peakMemoryMiB();
    report["notes"] = run.notes;
    return report;
}

// The report page, from the rig as the file plays it.
std::optional<PageSummary> writePage(Decomposition& run, const nlohmann::json& report,
                                     const std::string& viewerScript) {
    if (!run.options.htmlPath) return std::nullopt;
    run.progress.stage("writing " + *run.options.htmlPath);
    ReportPageData data = reportPageData(run.samples, *run.positions, run.selected, run.fileRig(),
                                         run.options.inputPath, std::move(run.rigFile));
    data.reportJson = report.dump();
    data.notes = run.notes;
    if (run.options.htmlFrameBudget) data.frameDataBudget = *run.options.htmlFrameBudget;
    if (run.written.influenceSets > 1)
        data.notes.push_back(
            "three.js plays only the first four influences of each vertex (JOINTS_0), so the "
            "rig on the page can differ from the file's full skinning");
    std::optional<PageSummary> page = writeReportPage(*run.options.htmlPath, data, viewerScript);
    run.progress.finish();
    return page;
}

// "a tree rooted at joint_04, bone lengths vary by up to 0.0123", or what the hierarchy is.
std::string skeletonSummary(const Decomposition& run) {
    const rig::SkeletonTree& tree = run.skeleton;
    if (run.hierarchy == "flat" || tree.parents.empty()) return "flat (every joint under one root)";
    double variation = 0.0;
    for (double v : tree.boneLengthVariation) variation = std::max(variation, v);
    return (run.hierarchy == "file" ? "the file's, rooted at " : "a tree rooted at ") +
           run.joints.names[static_cast<size_t>(tree.root)] + ", bone lengths vary by up to " + formatDouble(variation);
}

// The summary on standard output: sizes, errors, skeleton, every file written.
void printSummary(Decomposition& run, const std::optional<PageSummary>& page, size_t reportBytes, double totalSeconds) {
    for (const std::string& note : run.notes) run.progress.note(note);
    const RigError& error = run.error;
    std::cout << "vantrel: " << run.samples.vertexCount << " vertices, " << run.animationFrames() << " frames, "
              << run.jointCount() << " joints, " << run.settings.influences << " influences, "
              << run.solved.iterationsDone << " iterations\n"
              << "  E_RMS " << formatDouble(error.eRms) << ", max distance " << formatDouble(error.maxDistance)
              << " (rest size " << formatDouble(error.restDiagonal) << ")\n"
              << (run.written.shearDropped ? "  solved rig with shear: E_RMS " + formatDouble(run.solvedError.eRms) +
                                                 ", max distance " + formatDouble(run.solvedError.maxDistance) + "\n"
                                           : std::string())
              << "  skeleton: " << skeletonSummary(run) << "\n"
              << "  wrote " << run.written.path << " (" << sizeText(run.written.bytes) << ") in "
              << formatDouble(totalSeconds, 3) << " s\n";
    if (page)
        std::cout << "  wrote " << page->path << " (" << sizeText(page->bytes)
                  << (page->encoding.quantised ? ", 16-bit positions" : "")
                  << (page->encoding.keptFrames.size() < static_cast<size_t>(run.samples.frameCount())
                          ? ", " + std::to_string(page->encoding.keptFrames.size()) + " frames shown"
                          : std::string())
                  << ")\n";
    if (run.options.reportPath)
        std::cout << "  wrote " << *run.options.reportPath << " (" << sizeText(reportBytes) << ")\n";
    if (run.options.scenePath)
        std::cout << "  wrote " << *run.options.scenePath
                  << (run.sceneBytes ? " (" + sizeText(*run.sceneBytes) + ")" : "") << "\n";
}

}  // namespace

int runDecompose(const DecomposeOptions& options) {
    const Clock::time_point programStart = Clock::now();
    // The program's own loops (placement, measuring) keep to the thread
    // count asked for, as the command does.
    if (options.threads > 0) omp_set_num_threads(options.threads);
    Decomposition run(options);
    std::optional<ProgressHeartbeat> heartbeat;
    if (!options.quiet) heartbeat.emplace(run.progress);
    // The outputs and the page's viewer are checked first, so that a bad
    // path or a missing viewer costs no solve.
    const std::string viewerScriptPath = options.htmlPath ? locateViewerScript(options.viewerScriptPath) : "";
    const std::string pluginPath = locatePlugin(options.pluginPath);
    checkDecomposePaths(options, pluginPath, viewerScriptPath);
    std::string viewerScript;
    if (options.htmlPath) viewerScript = readViewerScript(viewerScriptPath);

    readSamples(run);
    chooseStartingJoints(run);
    const SceneNames names = buildScene(run, pluginPath);
    solve(run, names);
    shapeSkeleton(run);
    exportRig(run);
    const double totalSeconds = secondsSince(programStart);
    run.notes = runNotes(run);
    const nlohmann::json report = decompositionReport(run, totalSeconds);
    const std::string reportText = report.dump(2) + "\n";
    if (options.reportPath) io::writeFileAtomically(*options.reportPath, reportText);
    const std::optional<PageSummary> page = writePage(run, report, viewerScript);
    printSummary(run, page, reportText.size(), totalSeconds);
    return 0;
}

}  // namespace vantrel::cli
