// The schedule of the command's runs, against a scripted command: a worsening
// iteration never reaches the result, phases hand their best rig on, and
// joints left without weight are re-seeded where the fit is worst.
#include "cli/rig/solve_schedule.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <utility>

namespace vantrel::rig {
namespace {

io::Matrix4 translation(double x, double y, double z) {
    io::Matrix4 m = io::identityMatrix();
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

// A command whose error after iteration i of run r is errors[i], or
// laterRuns[r - 1][i] when given; the rig it
// returns carries the run's number in joint 0's rest translation, so the test
// can tell which run a result came from. Every request is recorded.
struct ScriptedCommand {
    // The first run's errors per iteration, then those of each later run (the
    // last one repeated).
    explicit ScriptedCommand(std::vector<double> firstRun, std::vector<std::vector<double>> later = {})
        : errors(std::move(firstRun)), laterRuns(std::move(later)) {}

    std::vector<double> errors;
    std::vector<std::vector<double>> laterRuns;
    int joints = 2;
    int samples = 3;
    int vertices = 4;
    std::vector<CommandRequest> requests;
    // Weight of each joint in the rigs it returns (every vertex alike).
    std::vector<double> jointWeight{0.5, 0.5};
    // Each vertex's squared error in the rigs it returns; empty: 1 for all.
    std::vector<double> vertexError;
    // Each vertex's one joint, at full weight; empty: every vertex has every
    // joint of jointWeight above 0.
    std::vector<int> vertexJoint;

    CommandResult operator()(const CommandRequest& request) {
        const std::vector<double>& script =
            requests.empty() || laterRuns.empty() ? errors : laterRuns[std::min(requests.size(), laterRuns.size()) - 1];
        requests.push_back(request);
        CommandResult result;
        const int iterations = std::min<int>(request.iterations, static_cast<int>(script.size()));
        result.iterationErrors.assign(script.begin(), script.begin() + iterations);
        result.eRms = result.iterationErrors.back();
        result.boneWorld.assign(static_cast<size_t>(samples),
                                std::vector<io::Matrix4>(static_cast<size_t>(joints), io::identityMatrix()));
        result.boneWorld[0][0] = translation(static_cast<double>(requests.size()), 0, 0);
        result.influences.assign(static_cast<size_t>(vertices), {});
        for (size_t v = 0; v < result.influences.size(); ++v) {
            if (!vertexJoint.empty()) {
                result.influences[v].push_back({vertexJoint[v], 1.0});
                continue;
            }
            for (int j = 0; j < joints; ++j)
                if (jointWeight[j] > 0.0) result.influences[v].push_back({j, jointWeight[j]});
        }
        result.vertexSquaredError = vertexError;
        if (vertexError.empty()) result.vertexSquaredError.assign(static_cast<size_t>(vertices), 1.0);
        return result;
    }
};

host::PointFrames stillFrames(int samples, int vertices) {
    std::vector<std::vector<double>> frames(static_cast<size_t>(samples));
    for (auto& frame : frames)
        for (int v = 0; v < vertices; ++v) frame.insert(frame.end(), {double(v), double(v * v), double(v % 2)});
    return host::PointFrames(std::move(frames));
}

std::vector<std::vector<io::Matrix4>> identityStart(int samples, int joints) {
    return std::vector<std::vector<io::Matrix4>>(
        static_cast<size_t>(samples), std::vector<io::Matrix4>(static_cast<size_t>(joints), io::identityMatrix()));
}

ScheduleSummary schedule(ScriptedCommand& command, const ScheduleOptions& options) {
    return runSchedule(stillFrames(command.samples, command.vertices), {identityStart(command.samples, command.joints)},
                       options, [&](const CommandRequest& request) { return command(request); });
}

// Two iterations, both re-selecting: every solve is phase 1 alone, so each
// later request shows what the search started it from.
ScheduleOptions selectionOnly() {
    ScheduleOptions options;
    options.iterations = 2;
    options.reselectIterations = 2;
    return options;
}

// The command ran once, with the schedule's iterations, selection and early
// stop, and its rig is the result.
void expectOneRunAsAsked(const ScriptedCommand& command, const ScheduleSummary& summary, const ScheduleOptions& options,
                         double eRms) {
    ASSERT_EQ(command.requests.size(), 1u);
    EXPECT_EQ(command.requests[0].iterations, options.iterations);
    EXPECT_EQ(command.requests[0].reselectIterations, options.reselectIterations);
    EXPECT_EQ(command.requests[0].breakPercent, options.breakPercent);
    EXPECT_EQ(summary.best.eRms, eRms);
}

TEST(SolveSchedule, ARunWhoseLaterIterationsWorsenIsRepeatedUpToItsBest) {
    ScriptedCommand command({5.0, 3.0, 4.0, 4.5, 6.0});
    ScheduleOptions options;
    options.iterations = 5;
    options.reselectIterations = 5;  // no polish phase
    const ScheduleSummary summary = schedule(command, options);

    ASSERT_EQ(command.requests.size(), 2u);
    EXPECT_EQ(command.requests[1].iterations, 2);
    EXPECT_EQ(command.requests[1].reselectIterations, 2);  // never more than the iterations
    EXPECT_EQ(command.requests[1].breakPercent, 0.0);
    EXPECT_EQ(command.requests[1].startWorld, command.requests[0].startWorld);
    EXPECT_EQ(summary.best.eRms, 3.0);
    EXPECT_EQ(summary.best.boneWorld[0][0][12], 2.0);  // the repeated run's rig
    ASSERT_EQ(summary.runs.size(), 2u);
    EXPECT_EQ(summary.runs[1].purpose, "repeat to best");
    EXPECT_EQ(summary.runs[0].errors.size() + summary.runs[1].errors.size(), 7u);
}

TEST(SolveSchedule, PolishingStartsFromTheReselectedRigAndKeepsTheBetter) {
    ScriptedCommand command({5.0, 4.0}, {{4.0, 3.0, 2.0, 1.0, 0.5}});
    ScheduleOptions options;
    options.iterations = 6;
    options.reselectIterations = 2;
    options.breakPercent = 0.1;
    const ScheduleSummary summary = schedule(command, options);

    ASSERT_EQ(command.requests.size(), 2u);
    EXPECT_EQ(command.requests[0].iterations, 2);
    EXPECT_EQ(command.requests[0].reselectIterations, 2);
    EXPECT_EQ(command.requests[0].breakPercent, 0.0);  // a rising selection must not stop the run
    EXPECT_EQ(command.requests[1].iterations, 5);
    EXPECT_EQ(command.requests[1].reselectIterations, 1);
    EXPECT_EQ(command.requests[1].breakPercent, 0.1);
    EXPECT_EQ(command.requests[1].startWorld[0][0][12], 1.0);  // the first run's rig
    EXPECT_EQ(summary.best.eRms, 0.5);

    // A polish that ends worse than the selection leaves the selection's rig.
    ScriptedCommand worse({1.0, 0.9}, {{0.9, 2.0}, {0.9}});
    options.iterations = 3;
    const ScheduleSummary kept = schedule(worse, options);
    ASSERT_EQ(worse.requests.size(), 3u);  // the polish is repeated up to its first iteration
    EXPECT_EQ(worse.requests[2].iterations, 1);
    EXPECT_EQ(kept.best.eRms, 0.9);
    EXPECT_EQ(kept.best.boneWorld[0][0][12], 1.0);
}

TEST(SolveSchedule, TheCandidateStartThatFitsBestGoesOn) {
    ScriptedCommand command({3.0, 2.0}, {{2.5, 1.5}, {2.5, 1.8}, {1.5, 1.2}});
    ScheduleOptions options;
    options.iterations = 4;
    options.reselectIterations = 2;
    auto start = [&](double x) {
        auto world = identityStart(command.samples, command.joints);
        world[0][1] = translation(x, 0, 0);
        return world;
    };
    const ScheduleSummary summary =
        runSchedule(stillFrames(command.samples, command.vertices), {start(10), start(20), start(30)}, options,
                    [&](const CommandRequest& request) { return command(request); });
    ASSERT_EQ(command.requests.size(), 4u);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(command.requests[c].startWorld[0][1][12], 10.0 * (c + 1));
    EXPECT_EQ(summary.chosenStart, 1);
    EXPECT_EQ(command.requests[3].startWorld[0][0][12], 2.0);  // polish from the second start's rig
    EXPECT_EQ(summary.best.eRms, 1.2);
    EXPECT_THROW(runSchedule({}, {}, options, [&](const CommandRequest& request) { return command(request); }),
                 std::invalid_argument);
}

// Phase 1 ranks the starts by their error one iteration further at the rate
// it last fell; a start whose error rose at the end has settled at its best.
TEST(SolveSchedule, TheStartStillFallingFastestGoesOnWhenItProjectsLowest) {
    ScheduleOptions options;
    options.iterations = 4;
    options.reselectIterations = 3;
    auto chosen = [&](ScriptedCommand& command) {
        return runSchedule(
                   stillFrames(command.samples, command.vertices),
                   {identityStart(command.samples, command.joints), identityStart(command.samples, command.joints)},
                   options, [&](const CommandRequest& request) { return command(request); })
            .chosenStart;
    };
    // 1.9 after a fall of 0.1 projects to 1.8; 2.0 after a fall of 0.3 to 1.7.
    ScriptedCommand settling({4.0, 2.0, 1.9}, {{4.0, 2.3, 2.0}, {2.0, 1.6}});
    EXPECT_EQ(chosen(settling), 1);
    // 1.85 is the best of a run that rose to 1.9: no fall to carry on, so the
    // first start's projected 1.8 wins, even though the repeat to 1.85 ends
    // on a steep fall.
    ScriptedCommand rising({4.0, 2.0, 1.9}, {{3.0, 1.85, 1.9}, {3.0, 1.85}, {1.8, 1.6}});
    EXPECT_EQ(chosen(rising), 0);
    ASSERT_EQ(rising.requests.size(), 4u);
    EXPECT_EQ(rising.requests[2].purpose, "repeat to best");
}

TEST(SolveSchedule, TheSearchStopsWhereItsBudgetEnds) {
    ScriptedCommand command({3.0, 2.0});
    command.jointWeight = {1.0, 0.0};  // a joint to re-seed and to move
    ScheduleOptions options = selectionOnly();
    options.swapRounds = 3;
    options.iterationWork = 1.0;
    options.searchWork = 2.0;  // one more start's phase 1, nothing else
    const auto start = identityStart(command.samples, command.joints);
    const ScheduleSummary summary =
        runSchedule(stillFrames(command.samples, command.vertices), {start, start, start}, options,
                    [&](const CommandRequest& request) { return command(request); });
    EXPECT_EQ(command.requests.size(), 2u);
    EXPECT_EQ(summary.reseededJoints, 0);
    EXPECT_EQ(summary.movedJoints, 0);

    // With room for everything, every start, the re-seeding and the moves run.
    ScriptedCommand unlimited = command;
    unlimited.requests.clear();
    options.searchWork = 1e9;
    runSchedule(stillFrames(command.samples, command.vertices), {start, start, start}, options,
                [&](const CommandRequest& request) { return unlimited(request); });
    EXPECT_EQ(unlimited.requests.size(), 3u + 1u + 2u);  // starts, one re-seeding round, two joints to move
}

// A moved joint whose re-selection ends where a polish taking off what phase
// 2 took off phase 1 would leave it above the best rig is given up there;
// below that line, it gets its polish and is kept when that pays.
TEST(SolveSchedule, AMoveThatReselectsBeyondWhatAPolishCouldMendIsGivenUp) {
    ScheduleOptions options;
    options.iterations = 4;
    options.reselectIterations = 2;
    options.reseedRounds = 0;
    options.swapRounds = 1;
    // Phase 1 ends at 1.0 and phase 2 at 0.8: a move must re-select below
    // 0.8 / 0.8 = 1.0.
    ScriptedCommand givenUp({2.0, 1.0}, {{1.0, 0.8}, {1.5, 1.02}, {1.02, 0.5}});
    const ScheduleSummary kept = schedule(givenUp, options);
    ASSERT_EQ(givenUp.requests.size(), 3u);
    EXPECT_EQ(givenUp.requests[2].purpose, "reselect after moving a joint");
    EXPECT_EQ(kept.best.eRms, 0.8);
    EXPECT_EQ(kept.movedJoints, 0);

    ScriptedCommand polished({2.0, 1.0}, {{1.0, 0.8}, {1.5, 0.98}, {0.98, 0.5}});
    const ScheduleSummary moved = schedule(polished, options);
    ASSERT_EQ(polished.requests.size(), 4u);
    EXPECT_EQ(polished.requests[3].purpose, "polish");
    EXPECT_EQ(moved.best.eRms, 0.5);
    EXPECT_EQ(moved.movedJoints, 1);
}

TEST(SolveSchedule, InfluencesAreChosenAgainAtTheBestJointsWhileThatPays) {
    // The first refresh lowers the error, the second does not.
    ScriptedCommand command({3.0, 2.0}, {{1.5, 1.2}, {1.3, 1.25}});
    ScheduleOptions options = selectionOnly();
    options.refreshRounds = 3;
    const ScheduleSummary summary = schedule(command, options);
    ASSERT_EQ(command.requests.size(), 3u);
    EXPECT_EQ(command.requests[1].startWorld[0][0][12], 1.0);  // from the first rig
    EXPECT_EQ(command.requests[2].startWorld[0][0][12], 2.0);  // from the refreshed one
    EXPECT_EQ(summary.runs[1].purpose, "reselect at the polished joints");
    EXPECT_EQ(summary.best.eRms, 1.2);
    EXPECT_EQ(summary.best.boneWorld[0][0][12], 2.0);

    // The search proper leaves one solve's worth of the budget to it: with
    // room for one more start and one refresh, the third start is not tried.
    ScriptedCommand budgeted({3.0, 2.0}, {{2.5, 2.4}, {1.0, 0.5}});
    options.refreshRounds = 1;
    options.iterationWork = 1.0;
    options.searchWork = 4.0;
    const auto start = identityStart(budgeted.samples, budgeted.joints);
    const ScheduleSummary kept = runSchedule(stillFrames(budgeted.samples, budgeted.vertices), {start, start, start},
                                             options, [&](const CommandRequest& request) { return budgeted(request); });
    ASSERT_EQ(budgeted.requests.size(), 3u);
    EXPECT_EQ(kept.runs[1].purpose, "reselect, start 2");
    EXPECT_EQ(kept.runs[2].purpose, "reselect at the polished joints");
    EXPECT_EQ(kept.best.eRms, 0.5);
}

TEST(SolveSchedule, TheRefreshSelectsForAllButPhaseOnesLengthOfTheSolve) {
    ScriptedCommand command({5.0, 4.0},
                            {{4.0, 3.5, 3.0, 2.9, 2.8, 2.7, 2.6}, {2.5, 2.4, 2.3, 2.2, 2.1, 2.0}, {1.9, 1.8, 1.7}});
    ScheduleOptions options;
    options.iterations = 8;
    options.reselectIterations = 2;
    options.refreshRounds = 1;
    const ScheduleSummary summary = schedule(command, options);
    ASSERT_EQ(command.requests.size(), 4u);
    const std::vector<std::pair<int, int>> asked = {{2, 2}, {7, 1}, {6, 6}, {3, 1}};
    for (size_t r = 0; r < asked.size(); ++r) {
        EXPECT_EQ(command.requests[r].iterations, asked[r].first) << "run " << r;
        EXPECT_EQ(command.requests[r].reselectIterations, asked[r].second) << "run " << r;
    }
    EXPECT_EQ(summary.runs[2].purpose, "reselect at the polished joints");
    EXPECT_EQ(summary.best.eRms, 1.7);

    // A large iteration limit: the selection stops at three times phase 1,
    // the rest polishes.
    ScriptedCommand longBudget({5.0, 4.0}, {{4.0, 3.5}, {3.0, 2.9}, {2.8}});
    options.iterations = 100000;
    schedule(longBudget, options);
    ASSERT_EQ(longBudget.requests.size(), 4u);
    EXPECT_EQ(longBudget.requests[2].iterations, 6);
    EXPECT_EQ(longBudget.requests[2].reselectIterations, 6);
    EXPECT_EQ(longBudget.requests[3].iterations, 100000 - 6 + 1);

    // A budget of less than twice phase 1 leaves the refresh phase 1's length.
    ScriptedCommand shortBudget({5.0, 4.0}, {{4.0, 3.5}, {3.0, 2.9}, {2.8}});
    options.iterations = 3;
    schedule(shortBudget, options);
    ASSERT_EQ(shortBudget.requests.size(), 4u);
    EXPECT_EQ(shortBudget.requests[2].iterations, 2);
    EXPECT_EQ(shortBudget.requests[3].iterations, 2);
}

TEST(SolveSchedule, WithoutContinuationOneRunAsAsked) {
    ScriptedCommand command({3.0, 2.0, 1.0});
    ScheduleOptions options;
    options.iterations = 3;
    options.reselectIterations = 2;
    options.breakPercent = 0.05;
    options.continuation = false;
    expectOneRunAsAsked(command, schedule(command, options), options, 1.0);
}

TEST(SolveSchedule, WithNothingToSearchSelectionAndPolishAreOneRun) {
    ScheduleOptions options;
    options.iterations = 6;
    options.reselectIterations = 2;
    options.breakPercent = 0.0;
    options.iterationWork = 1.0;
    options.searchWork = 5.0;  // less than one solve: no search step can run
    ScriptedCommand command({6.0, 5.0, 4.0, 3.0, 2.0, 1.0});
    expectOneRunAsAsked(command, schedule(command, options), options, 1.0);

    // An early stop could end the selection, and a budget of one solve could
    // pay for a search step: then the phases keep their own runs.
    for (const auto& [breakPercent, searchWork] : {std::pair{0.1, 5.0}, std::pair{0.0, 6.0}}) {
        ScriptedCommand phased({6.0, 5.0}, {{5.0, 4.0, 3.0, 2.0, 1.0}});
        options.breakPercent = breakPercent;
        options.searchWork = searchWork;
        schedule(phased, options);
        ASSERT_EQ(phased.requests.size(), 2u) << breakPercent << " " << searchWork;
        EXPECT_EQ(phased.requests[0].iterations, 2);
        EXPECT_EQ(phased.requests[1].iterations, 5);
    }
}

TEST(SolveSchedule, NegligibleJointsAreReseededAndKeptOnlyWhenTheFitImproves) {
    ScriptedCommand command({2.0, 1.0});
    command.jointWeight = {1.0, 0.0};  // joint 1 is never used
    ScheduleOptions options = selectionOnly();
    options.reseedRounds = 1;
    const ScheduleSummary summary = schedule(command, options);

    // First round, then the round after re-seeding; the command does no
    // better after it, so the first rig stays.
    ASSERT_EQ(command.requests.size(), 2u);
    EXPECT_EQ(summary.reseededJoints, 1);
    EXPECT_EQ(summary.negligibleJoints, 1);
    EXPECT_EQ(summary.best.boneWorld[0][0][12], 1.0);
    EXPECT_EQ(summary.runs[1].purpose, "reselect after reseeding");
    // The re-seeded joint starts at rest on its region's centroid; the used
    // joint starts from the first rig.
    const CommandRequest& reseeded = command.requests[1];
    EXPECT_EQ(reseeded.startWorld[0][0][12], 1.0);
    EXPECT_NE(reseeded.startWorld[0][1], io::identityMatrix());
    for (const auto& sample : reseeded.startWorld)
        for (int i = 0; i < 16; ++i) EXPECT_TRUE(std::isfinite(sample[1][i]));
}

TEST(SolveSchedule, MinorJointsAreReseededOnlyWhenAsked) {
    // 100 vertices, two joints: the mean joint weight is 50, and joint 1
    // carries 2.4, above the negligible 2 but below 5 % of that mean.
    for (const double share : {0.0, 0.05}) {
        SCOPED_TRACE(share);
        ScriptedCommand command({2.0, 1.0});
        command.vertices = 100;
        command.jointWeight = {0.976, 0.024};
        ScheduleOptions options = selectionOnly();
        options.reseedRounds = 1;
        options.reseedMinorShare = share;
        const ScheduleSummary summary = schedule(command, options);
        EXPECT_EQ(summary.negligibleJoints, 0);
        EXPECT_EQ(summary.reseededJoints, share > 0.0 ? 1 : 0);
        ASSERT_EQ(command.requests.size(), share > 0.0 ? 2u : 1u);
        EXPECT_EQ(summary.runs.back().purpose, share > 0.0 ? "reselect after reseeding" : "reselect");
    }
}

TEST(SolveSchedule, ADeadJointTakesTheHalfOfTheCostliestRegionThatHoldsItsWorstVertex) {
    // Ten vertices at (v, v^2, v % 2), all carried by joint 0; joint 1 dead.
    // At rest the split along the principal axis is {0..4} | {5..9}.
    ScriptedCommand command({2.0, 1.0});
    command.vertices = 10;
    command.jointWeight = {1.0, 0.0};
    command.vertexError.assign(10, 1.0);
    command.vertexError[8] = 5.0;
    ScheduleOptions options = selectionOnly();
    options.reseedRounds = 1;
    schedule(command, options);

    ASSERT_EQ(command.requests.size(), 2u);
    // Still frames: each half's rigid motion is a translation to its rest
    // centroid at every sample.
    for (const std::vector<io::Matrix4>& sample : command.requests[1].startWorld) {
        const std::array<double, 3> worse{7.0, 51.0, 0.6}, other{2.0, 6.0, 0.4};
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(sample[1][12 + c], worse[c], 1e-9);
            EXPECT_NEAR(sample[0][12 + c], other[c], 1e-9);
        }
        for (int i : {0, 5, 10}) {
            EXPECT_NEAR(sample[0][i], 1.0, 1e-12);
            EXPECT_NEAR(sample[1][i], 1.0, 1e-12);
        }
    }
}

// Twenty vertices on the x axis at x = v: joint 0 carries 0..9, which stand
// still (one part), joint 1 carries 10..19, whose half 15..19 rises by one a
// sample (two parts), and joint 2 carries `third` alone. Joint 0 costs 10
// and joint 1 5.5, its worst vertex being 19.
struct OnePartAndTwoParts {
    explicit OnePartAndTwoParts(std::vector<double> third) : command({2.0, 1.0}) {
        command.joints = 3;
        command.vertices = 20 + static_cast<int>(third.size());
        command.jointWeight = {1.0, 1.0, 1.0};
        for (int v = 0; v < command.vertices; ++v) command.vertexJoint.push_back(v < 10 ? 0 : v < 20 ? 1 : 2);
        command.vertexError.assign(static_cast<size_t>(command.vertices), 0.5);
        for (int v = 0; v < 10; ++v) command.vertexError[v] = 1.0;
        command.vertexError[19] = 1.0;
        std::vector<std::vector<double>> positions(static_cast<size_t>(command.samples));
        for (int s = 0; s < command.samples; ++s) {
            for (int v = 0; v < 20; ++v) positions[s].insert(positions[s].end(), {double(v), v >= 15 ? s : 0.0, 0.0});
            for (double x : third) positions[s].insert(positions[s].end(), {x, 0.0, 0.0});
        }
        frames = host::PointFrames(std::move(positions));
    }
    ScheduleSummary run(const ScheduleOptions& options) {
        return runSchedule(frames, {identityStart(command.samples, command.joints)}, options,
                           [&](const CommandRequest& request) { return command(request); });
    }
    // Joint 2's start in the second request: a translation to the centroid
    // x of the vertices it was given, risen `rise` a sample.
    void expectJointTwoStartsAt(double x, double rise) const {
        ASSERT_EQ(command.requests.size(), 2u);
        const std::vector<std::vector<io::Matrix4>>& start = command.requests[1].startWorld;
        for (size_t s = 0; s < start.size(); ++s) {
            EXPECT_NEAR(start[s][2][12], x, 1e-9);
            EXPECT_NEAR(start[s][2][13], rise * static_cast<double>(s), 1e-9);
        }
    }
    ScriptedCommand command;
    host::PointFrames frames;
};

// A dead joint goes to the region that holds two parts, whose split takes
// away all of its departure from one rigid motion, not to the costlier one
// that moves as one: it takes the rising half, which holds the worst vertex.
TEST(SolveSchedule, ARegionHoldingTwoPartsIsSplitBeforeACostlierRigidOne) {
    OnePartAndTwoParts scene({});
    ScheduleOptions options = selectionOnly();
    options.reseedRounds = 1;
    scene.run(options);
    scene.expectJointTwoStartsAt(17.0, 1.0);
    // The joint that gave up that half keeps the still one.
    for (const std::vector<io::Matrix4>& sample : scene.command.requests[1].startWorld) {
        EXPECT_NEAR(sample[1][12], 12.0, 1e-9);
        EXPECT_NEAR(sample[1][13], 0.0, 1e-9);
    }
}

// A moved joint is placed as a dead one is: on a half of the region with the
// strongest claim to a split, not on the few vertices round the worst one.
TEST(SolveSchedule, AMovedJointTakesAHalfOfTheRegionHoldingTwoParts) {
    OnePartAndTwoParts scene({30.0});  // joint 2, the weakest, on a vertex of its own
    ScheduleOptions options = selectionOnly();
    options.reseedRounds = 0;
    options.swapRounds = 1;
    scene.run(options);
    EXPECT_EQ(scene.command.requests[1].purpose, "reselect after moving a joint");
    scene.expectJointTwoStartsAt(17.0, 1.0);
}

TEST(SolveSchedule, JointWeightTotalsIgnoreJointsOutsideTheRig) {
    const std::vector<std::vector<io::SkinInfluence>> influences = {{{0, 0.25}, {2, 0.75}}, {{2, 1.0}, {5, 1.0}}};
    EXPECT_EQ(jointWeightTotals(influences, 3), (std::vector<double>{0.25, 0.0, 1.75}));
}

}  // namespace
}  // namespace vantrel::rig
