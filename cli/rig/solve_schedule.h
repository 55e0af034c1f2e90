// The schedule: how and how often the decomposition command runs for one
// request, so that the exported rig is the best one the runs have seen.
//
// The command alternates weights and bone transforms from starting joints and
// reports its error after every iteration. Left alone it can end worse than
// it was: re-selecting each vertex's influences can raise the error, and a
// rising iteration trips its early stop. So the schedule runs it in phases:
//  1. re-selecting influences every iteration for a few iterations, from
//     each candidate start (placement) when there are several, going on
//     with the one that fits best one iteration further at the rate its
//     error last fell;
//  2. from the best rig of phase 1 (keyed as the new starting joints),
//     polishing with the influence lists kept, until the improvement falls
//     below the stop threshold or the iteration budget is spent;
//  3. joints that ended with negligible (or minor) weight are re-seeded,
//     each on half of another joint's region (rigid motions fitted to both
//     halves): the region whose error, weighted by how much of its departure
//     from one rigid motion the split takes away, is largest, so that a joint
//     covering two parts that bend against each other is split first; then
//     phases 1 and 2 run again from there; kept only if the error drops;
//  4. optionally, a local search moves the weakest joints the same way, one
//     at a time, keeping each move that lowers the error; a move whose phase
//     1 ends too far above the best rig for a polish like the first phase
//     2's to bring it below is given up there.
// Where nothing but phases 1 and 2 would run and no early stop could end
// phase 1, they are one run of the same iterations.
// Whenever a run's last iteration is not its best, the same run is repeated
// up to its best iteration (the command is deterministic), so a worsening
// iteration never reaches the exported rig.
//
// Conventions: matrices are io::Matrix4 (row vectors, translation in
// elements 12..14); sample 0 is the rest pose; frames.value(s, 3*v+c) is
// coordinate c of vertex v at sample s, as io::MeshAnimation's frames[s][3*v+c].
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <host/point_frames.h>

#include "cli/io/matrix4.h"
#include "cli/io/mesh_animation.h"

namespace vantrel::rig {

// What one run of the command is asked to do.
struct CommandRequest {
    std::vector<std::vector<io::Matrix4>> startWorld;  // [sample][joint] starting joints
    int iterations = 1;
    int reselectIterations = 1;  // iterations (from the first) that re-select influences
    double breakPercent = 0.0;   // the command's early stop; <= 0 never
    std::string purpose;         // what the run is for, for progress and the report
};

// What one run gives back, measured by the caller on the animation.
struct CommandResult {
    std::vector<std::vector<io::SkinInfluence>> influences;  // per vertex
    std::vector<std::vector<io::Matrix4>> boneWorld;         // [sample][joint], sample 0 = rest
    std::vector<io::Matrix4> bindingMatrices;                // per joint, inverse of boneWorld[0]
    std::vector<double> iterationErrors;                     // the command's error per iteration
    double commandError = 0.0;                               // the command's final error
    double eRms = 0.0;                                       // of this rig against the animation
    std::vector<double> vertexSquaredError;                  // per vertex, summed over the shape samples
};

using CommandRunner = std::function<CommandResult(const CommandRequest&)>;

struct ScheduleOptions {
    int iterations = 20;         // budget of phase 2 (phase 1 counts in it)
    int reselectIterations = 5;  // phase 1's length
    double breakPercent = 0.05;  // phase 2's early stop, percent; <= 0 never
    int reseedRounds = 2;        // rounds of phase 3; 0: never re-seed
    // Last, rounds of phases 1 and 2 again from the best joints, while each
    // lowers the error, phase 1 re-selecting there for all of the budget but
    // reselectIterations, within 1 to 3 times reselectIterations; one
    // solve's worth of searchWork is kept for them when it holds that much.
    // 0: never.
    int refreshRounds = 0;
    // Then this many times the joint of least total weight is moved as a
    // re-seeded one is and phases 1 and 2 run again, kept when better.
    int swapRounds = 0;
    // A joint's weight is negligible when its weights over all vertices sum
    // to less than this (in vertices' worth of full weight).
    double negligibleWeight = 2.0;
    // Re-seeding also takes the joints whose weight is below this fraction
    // of the mean joint weight (the vertex count over the joint count):
    // minor joints, which the fit barely uses; 0: the negligible ones only.
    double reseedMinorShare = 0.0;
    // Cost of one iteration (any unit) and how much the search beyond the
    // first start's phases 1 and 2 may spend in all (other starts, re-seeding,
    // moves); a run the budget cannot cover is not started.
    double iterationWork = 0.0;
    double searchWork = 1e300;
    // Whether later runs may start from other joints than the first request's
    // (false when the scene's mesh is deformed by those joints).
    bool continuation = true;
};

struct ScheduleRun {
    std::string purpose;         // "solve", "reselect", "polish", "repeat to best", "reseed"
    std::vector<double> errors;  // the command's error per iteration of this run
    double eRms = 0.0;
};

struct ScheduleSummary {
    CommandResult best;
    std::vector<ScheduleRun> runs;  // in the order they ran
    int chosenStart = 0;            // which candidate start went on
    int reseededJoints = 0;         // joints re-seeded, over all rounds
    int movedJoints = 0;            // weak joints moved to a better place
    int negligibleJoints = 0;       // joints of the best rig with negligible weight
};

// Total weight of each joint over all vertices.
std::vector<double> jointWeightTotals(const std::vector<std::vector<io::SkinInfluence>>& influences, int jointCount);

// Runs the command as the schedule says; `frames` is the animation the runs
// are measured against (sample 0 = rest). With several candidate starts
// (placements), each gets phase 1 and the one projected to fit best goes on; without
// continuation only the first is used. Throws what the runner throws, and
// std::invalid_argument without a start.
ScheduleSummary runSchedule(const host::PointFrames& frames,
                            const std::vector<std::vector<std::vector<io::Matrix4>>>& starts,
                            const ScheduleOptions& options, const CommandRunner& runner);

}  // namespace vantrel::rig
