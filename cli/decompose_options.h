#pragma once
// Settings of `vantrel decompose`, as given on the command line.

#include <cstddef>
#include <optional>
#include <string>

namespace vantrel::cli {

enum class UpAxis { automatic, y, z };

// Joints placed for a file that comes without a skeleton, unless --bones says.
constexpr int kDefaultBones = 16;

// The exported skeleton: joints in a tree at the articulations, or every
// joint under one root where the solve put it.
enum class SkeletonShape { tree, flat };

// The rest pose a decomposition binds to: a frame of the animation (the rest
// frame), or the positions of a point cache's topology file.
enum class BindPose { restFrame, topology };

struct DecomposeOptions {
    std::string inputPath;
    std::string outputPath;                      // .glb or .gltf
    std::string topologyPath;                    // OBJ giving faces to a point cache
    std::optional<std::string> reportPath;       // JSON report
    std::optional<std::string> scenePath;        // headless scene with the results
    std::optional<std::string> htmlPath;         // report page: input and rig side by side
    std::string viewerScriptPath;                // the page's bundled viewer; empty: found like the plug-in
    std::optional<std::size_t> htmlFrameBudget;  // bytes of per-frame data before the page compacts it
    std::string pluginPath;                      // the plug-in module; empty: next to the program

    // What the storage node offers.
    int bones = 0;                                 // joints to solve; 0: the file's own skeleton, or kDefaultBones
    int influences = 4;                            // most joints per vertex
    int iterations = 20;                           // iteration limit
    int fullSolverIterations = 5;                  // iterations that re-select influences
    bool affine = false;                           // bone transforms may scale and shear
    bool updateRest = false;                       // move bone pivots to their vertices' centroid
    SkeletonShape skeleton = SkeletonShape::tree;  // the exported hierarchy
    double breakPercent = 0.05;                    // stop when an iteration improves less (percent); <= 0 never
    // Solver work the program may spend beyond one solve (other placements,
    // moving weak joints, influences chosen again at the joints found), in
    // solves' worth of iterations; on inputs of more than 2e6 vertex x
    // samples capped at 1e9 vertex x sample x joint iterations.
    double search = 3.0;
    int threads = 0;                   // thread limit; 0 uses every core
    std::optional<double> lagrangian;  // weight of the sum-to-one row; default scales with the mesh

    // Which frames, and how to read them.
    std::string frames;                       // "a:b", "a:b:step" or "a,b,c" (0-based frame indices); empty: all
    std::string clip;                         // a named clip of the file instead of --frames
    std::optional<int> restFrame;             // frame index of the rest pose; default: the first selected
    BindPose bindPose = BindPose::restFrame;  // topology: the topology file's positions are the rest
    std::optional<double> frameRate;          // frames per second, overriding the file's
    UpAxis upAxis = UpAxis::automatic;        // z converts a Z-up file to glTF's Y-up
    bool quiet = false;
};

}  // namespace vantrel::cli
