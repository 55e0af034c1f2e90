// vantrel: decompose mesh animations into skinned, animated glTF rigs.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/decompose.h"
#include "cli/huge_pages.h"
#include "cli/info.h"
#include "cli/io/mesh_animation.h"
#include "cli/io/read_animation.h"
#include "cli/report_command.h"

namespace {

// A number checked against a lower bound, the range said in words: CLI11's
// own range checks print their upper bound, DBL_MAX in full. NaN fails.
CLI::Validator numberAbove(double bound, bool inclusive, const std::string& name, const std::string& words) {
    return CLI::Validator(
        [bound, inclusive, words](std::string& value) -> std::string {
            double number = 0.0;
            if (!CLI::detail::lexical_cast(value, number)) return "\"" + value + "\" is not a number";
            const bool inside = inclusive ? number >= bound : number > bound;
            return inside ? std::string() : "must be " + words + ", not " + value;
        },
        name);
}

const CLI::Validator kPositive = numberAbove(0.0, false, "POSITIVE", "greater than 0");
const CLI::Validator kNonNegative = numberAbove(0.0, true, "NONNEGATIVE", "0 or more");
const CLI::Validator kAtLeastOne = numberAbove(1.0, true, "AT LEAST 1", "at least 1");

// An empty value would otherwise mean "not given" (every frame, no clip, no
// topology) without a word.
CLI::Validator notEmpty(const std::string& hint) {
    return CLI::Validator(
        [hint](std::string& value) -> std::string { return value.empty() ? "must not be empty" + hint : ""; },
        "NOT EMPTY");
}

const char* const kCommands = "commands: decompose, info, report";

// What to say when no command ran: what was given in its place, or that one
// is needed. Empty when a command ran.
std::string missingCommand(const CLI::App& app) {
    if (!app.get_subcommands().empty()) return "";
    const std::vector<std::string> rest = app.remaining();
    if (rest.empty()) return std::string("a command is required; ") + kCommands;
    const bool option = !rest.front().empty() && rest.front().front() == '-';
    return std::string(option ? "unknown option \"" : "unknown command \"") + rest.front() + "\"; " + kCommands;
}

// --topology gives faces to a point cache; the other formats carry their
// own, which it would silently leave in place.
void checkTopology(const std::string& input, const std::string& topology) {
    if (topology.empty()) return;
    if (vantrel::io::carriesOwnFaces(input))
        throw CLI::ValidationError("--topology",
                                   "applies to point caches (.pc2, .mdd); " + input + " has its own faces");
}

// --bind-pose topology binds to the positions of the --topology file, so it
// needs one, and it is the rest in place of a rest frame.
void checkBindPose(const std::string& bindPose, const std::string& topology, const std::optional<int>& restFrame) {
    if (bindPose != "topology") return;
    if (topology.empty())
        throw CLI::ValidationError("--bind-pose",
                                   "topology needs --topology, the OBJ file whose positions are the bind pose");
    if (restFrame)
        throw CLI::ValidationError("--bind-pose", "give either --rest-frame or --bind-pose topology, not both");
}

// Words of decompose's options that become enumerations after parsing.
struct DecomposeWords {
    std::string up = "auto";
    std::string skeleton = "tree";
    std::string bindPose = "rest-frame";
};

// decompose's options that solve: joints, influences, iterations, threads,
// the skeleton.
void addSolvingOptions(CLI::App* decompose, vantrel::cli::DecomposeOptions& options, DecomposeWords& words) {
    auto* solving = "Solving";
    decompose
        ->add_option("-b,--bones", options.bones,
                     "Joints to solve; default: the file's skeleton if it has one, else " +
                         std::to_string(vantrel::cli::kDefaultBones))
        ->check(kAtLeastOne)
        ->group(solving);
    decompose->add_option("-k,--influences", options.influences, "Most joints per vertex")
        ->check(CLI::Range(1, 64))
        ->capture_default_str()
        ->group(solving);
    decompose->add_option("-n,--iterations", options.iterations, "Iteration limit")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str()
        ->group(solving);
    decompose
        ->add_option("--full-solver-iterations", options.fullSolverIterations,
                     "Iterations that re-select each vertex's joints")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str()
        ->group(solving);
    decompose->add_flag("--affine", options.affine, "Let joints scale and shear (glTF export drops shear)")
        ->group(solving);
    decompose->add_flag("--update-rest", options.updateRest, "Move each joint's pivot to its vertices' centroid")
        ->group(solving);
    decompose
        ->add_option("--break-percent", options.breakPercent,
                     "Stop when an iteration improves the error by less than this (percent); 0 never")
        ->check(kNonNegative)
        ->capture_default_str()
        ->group(solving);
    decompose
        ->add_option("--search", options.search,
                     "Work spent beyond one solve on other placements, on moving weak joints and on choosing "
                     "influences again at the joints found, in solves' worth of iterations (above 2e6 vertex x "
                     "frames at most 1e9 vertex x frame x joint iterations); 0: none")
        ->check(kNonNegative)
        ->capture_default_str()
        ->group(solving);
    decompose->add_option("-j,--threads", options.threads, "Threads to use; 0: every core")
        ->check(kNonNegative)
        ->capture_default_str()
        ->group(solving);
    decompose
        ->add_option("--lagrangian", options.lagrangian,
                     "Weight of the sum-to-one constraint; default: 100 x the model's size")
        ->check(kPositive)
        ->group(solving);
    decompose
        ->add_option("--skeleton", words.skeleton,
                     "tree: joints in a hierarchy at the articulations (the file's own when it brings one); "
                     "flat: every joint under one root, where the solve put it")
        ->check(CLI::IsMember({"tree", "flat"}))
        ->capture_default_str()
        ->group(solving);
}

// decompose's options that choose frames and read them: frames, clip, rest,
// bind pose, rate, axes; and the plug-in, and quiet.
void addFrameOptions(CLI::App* decompose, vantrel::cli::DecomposeOptions& options, DecomposeWords& words) {
    auto* frames = "Frames and axes";
    decompose->add_option("-f,--frames", options.frames, "Frames to use: first:last, first:last:step or a,b,c")
        ->check(notEmpty(" (first:last, first:last:step or a,b,c)"))
        ->group(frames);
    decompose->add_option("--clip", options.clip, "Use the frames of a named clip (see `vantrel info`)")
        ->check(notEmpty(" (see vantrel info for the file's clips)"))
        ->group(frames);
    decompose->add_option("--rest-frame", options.restFrame, "Frame of the rest pose; default: the first used")
        ->group(frames);
    decompose
        ->add_option("--bind-pose", words.bindPose,
                     "The pose to bind to: rest-frame (a frame of the animation, see --rest-frame) or topology "
                     "(the --topology file's positions; every frame of the cache is then fitted)")
        ->check(CLI::IsMember({"rest-frame", "topology"}))
        ->capture_default_str()
        ->group(frames);
    decompose->add_option("--fps", options.frameRate, "Frames per second, overriding the file's")
        ->check(kPositive)
        ->group(frames);
    decompose->add_option("--up", words.up, "Up axis of the input: y, z, or auto (z for MD2)")
        ->check(CLI::IsMember({"auto", "y", "z"}))
        ->capture_default_str()
        ->group(frames);
    decompose->add_option("--plugin", options.pluginPath, "Plug-in module to load; default: the installed one")
        ->group("");
    decompose->add_flag("-q,--quiet", options.quiet, "No progress on standard error");
}

// The decompose command: its files, then its solving and frame options.
CLI::App* addDecompose(CLI::App& app, vantrel::cli::DecomposeOptions& options, DecomposeWords& words) {
    CLI::App* decompose = app.add_subcommand(
        "decompose", "Solve joints and skin weights that reproduce an animation, and write them as glTF");
    decompose
        ->add_option("input", options.inputPath,
                     "Animation: .gltf/.glb, .md2, .pc2, .mdd, .obj (one file, a pattern such as "
                     "walk_%04d.obj, or a directory of .obj files)")
        ->required();
    decompose->add_option("-o,--output", options.outputPath, "Rig to write: .glb or .gltf")->required();
    decompose->add_option("--topology", options.topologyPath, "OBJ giving faces to a point cache (.pc2, .mdd)")
        ->check(notEmpty(""));
    decompose->add_option("--report", options.reportPath, "Write a JSON report: settings, errors, times, memory");
    decompose->add_option("--scene", options.scenePath, "Save the headless scene with the results (JSON)");
    decompose->add_option("--html", options.htmlPath,
                          "Write a report page: the animation and the rig side by side, the error per vertex, "
                          "frame and iteration (one HTML file that opens from disk)");
    decompose
        ->add_option("--viewer-script", options.viewerScriptPath,
                     "The report page's bundled viewer; default: the installed one")
        ->group("");
    decompose
        ->add_option("--html-frame-budget", options.htmlFrameBudget,
                     "Bytes of per-frame data past which the page stores 16-bit positions, then fewer frames")
        ->check(kPositive)
        ->group("");

    addSolvingOptions(decompose, options, words);
    addFrameOptions(decompose, options, words);
    return decompose;
}

}  // namespace

int main(int argc, char** argv) {
    vantrel::cli::restartWithHugePages(argv);
    using vantrel::cli::BindPose;
    using vantrel::cli::DecomposeOptions;
    using vantrel::cli::SkeletonShape;
    using vantrel::cli::UpAxis;

    CLI::App app{"vantrel: turn a mesh animation into a linear-blend-skinning rig (skinned, animated glTF)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "vantrel " VANTREL_VERSION, "Print the program's version");

    DecomposeOptions options;
    DecomposeWords words;
    CLI::App* decompose = addDecompose(app, options, words);

    std::string infoInput, infoTopology;
    CLI::App* info = app.add_subcommand("info", "Print what an animation file holds");
    info->add_option("input", infoInput, "Animation file")->required();
    info->add_option("--topology", infoTopology, "OBJ giving faces to a point cache (.pc2, .mdd)")->check(notEmpty(""));

    vantrel::cli::ReportCommandOptions reportOptions;
    CLI::App* reportPage = app.add_subcommand(
        "report", "Write the report page of an earlier decomposition from its JSON report (decompose --report)");
    reportPage->add_option("report", reportOptions.reportPath, "The JSON report")->required();
    reportPage->add_option("-o,--output", reportOptions.htmlPath, "The page to write (.html)")->required();
    reportPage->add_option("--viewer-script", reportOptions.viewerScriptPath, "The page's bundled viewer")->group("");
    reportPage->add_flag("-q,--quiet", reportOptions.quiet, "No progress on standard error");

    try {
        app.parse(argc, argv);
        if (*decompose) checkTopology(options.inputPath, options.topologyPath);
        if (*decompose) checkBindPose(words.bindPose, options.topologyPath, options.restFrame);
        if (*info) checkTopology(infoInput, infoTopology);
    } catch (const CLI::ParseError& error) {
        // Help and the version are a success; every usage error exits 2, as
        // command-line tools do.
        const std::string command = missingCommand(app);
        if (!command.empty() && error.get_exit_code() != 0) {
            app.exit(CLI::ValidationError(command));
            return 2;
        }
        return app.exit(error) == 0 ? 0 : 2;
    }
    options.upAxis = words.up == "y" ? UpAxis::y : (words.up == "z" ? UpAxis::z : UpAxis::automatic);
    options.skeleton = words.skeleton == "flat" ? SkeletonShape::flat : SkeletonShape::tree;
    options.bindPose = words.bindPose == "topology" ? BindPose::topology : BindPose::restFrame;

    try {
        if (*decompose) return vantrel::cli::runDecompose(options);
        if (*reportPage) return vantrel::cli::runReport(reportOptions);
        return vantrel::cli::runInfo(infoInput, infoTopology);
    } catch (const std::exception& error) {
        std::cerr << "vantrel: " << error.what() << "\n";
        return 1;
    }
}
