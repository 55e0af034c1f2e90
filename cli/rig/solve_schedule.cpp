#include "cli/rig/solve_schedule.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "cli/rig/joint_placement.h"

namespace vantrel::rig {
namespace {

// A round of choosing influences again is followed by another only when it
// lowered the error by at least this fraction: smaller gains seldom repeat.
constexpr double kRefreshGain = 1e-3;

// The refresh re-selects influences for at most this many times phase 1's
// length. Selecting has no early stop (a rising selection must not end it),
// so with a large iteration limit it would run the whole limit; 3 is what the
// default 20 iterations give.
constexpr int kRefreshSelection = 3;

// A joint is split for a dead one only when it carries at least this many
// vertices, so that each half can hold a rigid motion of its own.
constexpr size_t kSplitRegionSize = 6;

// A region is split on its error weighted by the share of its members'
// departure from one rigid motion that splitting them at rest takes away,
// but by at least this share. Where one joint covers two parts that bend
// against each other (a foot with its toes) a split takes nearly all of it
// away (0.98 on the boxing character), where the region is one part with
// blends at its edges far less (at most 0.35 there, except in regions of under
// ten vertices), so such joints are split first; the floor keeps a costly
// region that no split would mend much ahead of a cheap one that a split
// would. Floors from 0.25 to 0.5 make the same choices at the characters'
// true joint counts.
constexpr double kSplitShareFloor = 0.25;

// A start's error carried one iteration further at the rate its phase-1 run
// last fell: a start still falling fast tends to end below one that has
// settled (on the fit-quality table this picks a better start on three rows,
// by 0.4 to 4.4 %, and a worse one on none). A run that rose at its end has
// settled. `errors` are the run's own, before any repeat to its best.
double projectedError(double eRms, const std::vector<double>& errors) {
    const size_t n = errors.size();
    if (n < 2 || !(errors[n - 1] > 0.0) || !(errors[n - 2] > errors[n - 1])) return eRms;
    return eRms * (2.0 - errors[n - 2] / errors[n - 1]);
}

// Index of the smallest error; the earliest on ties.
int bestIteration(const std::vector<double>& errors) {
    int best = 0;
    for (int i = 1; i < static_cast<int>(errors.size()); ++i)
        if (errors[i] < errors[best]) best = i;
    return best;
}

class Schedule {
public:
    Schedule(const host::PointFrames& frames, const ScheduleOptions& options, const CommandRunner& runner)
        : frames_(frames), options_(options), runner_(runner) {}

    // One run, repeated up to its best iteration when its last one is worse.
    CommandResult run(CommandRequest request, const std::string& purpose) {
        request.purpose = purpose;
        CommandResult result = runner_(request);
        summary_.runs.push_back({purpose, result.iterationErrors, result.eRms});
        const int best = bestIteration(result.iterationErrors);
        if (!result.iterationErrors.empty() && best + 1 < static_cast<int>(result.iterationErrors.size())) {
            request.iterations = best + 1;
            // The command refuses more re-selecting iterations than iterations.
            request.reselectIterations = std::min(request.reselectIterations, request.iterations);
            request.breakPercent = 0.0;
            request.purpose = "repeat to best";
            result = runner_(request);
            summary_.runs.push_back({"repeat to best", result.iterationErrors, result.eRms});
        }
        return result;
    }

    // Phase 1 from `start`, re-selecting for `iterations`.
    CommandResult reselect(const std::vector<std::vector<io::Matrix4>>& start, const std::string& purpose,
                           int iterations) {
        CommandRequest request;
        request.startWorld = start;
        request.iterations = iterations;
        request.reselectIterations = request.iterations;
        request.breakPercent = 0.0;  // a rising selection must not stop the run
        return run(request, purpose);
    }

    // Phase 2 from phase 1's rig, for what `selectIterations` of phase 1 left
    // of the budget; the better of the two.
    CommandResult polish(CommandResult selected, int selectIterations) {
        const int polishIterations = budget() - selectIterations;
        if (polishIterations < 1) return selected;
        // The first iteration of a run re-selects against the starting
        // joints, which reproduces the selection the best iteration made.
        CommandRequest request;
        request.startWorld = selected.boneWorld;
        request.iterations = polishIterations + 1;
        request.reselectIterations = 1;
        request.breakPercent = options_.breakPercent;
        CommandResult polished = run(request, "polish");
        return polished.eRms < selected.eRms ? polished : selected;
    }

    // Phases 1 and 2 from `start`, phase 1 re-selecting for
    // `selectIterations`, paid from the search budget.
    CommandResult searchFrom(const std::vector<std::vector<io::Matrix4>>& start, const std::string& purpose,
                             int selectIterations, double abandonAbove = HUGE_VAL) {
        const size_t runsBefore = summary_.runs.size();
        CommandResult result = reselect(start, purpose, selectIterations);
        if (!(result.eRms > abandonAbove)) result = polish(std::move(result), selectIterations);
        spendSince(runsBefore);
        return result;
    }

    // Influences chosen again at the polished joints, polished again, while
    // that lowers the error: the joints found by the search make other
    // influences pay than the ones chosen at its start. Paid from the share
    // of the budget kept back for it. There choosing again pays on every
    // iteration (on every fit-quality input the error still falls after 20),
    // so the selection gets all of the solve but phase 1's length, up to
    // kRefreshSelection times that length, and the rest polishes: 0.6 % lower
    // E_RMS on average, up to 1.4 %, for the same iterations.
    CommandResult refresh(CommandResult best) {
        for (int round = 0; options_.continuation && round < options_.refreshRounds; ++round) {
            // The first round was paid for by the search keeping its share back.
            const bool paid = round == 0 && refreshReserve() > 0.0;
            if (!paid && !affordable(budget(), 0.0)) break;
            CommandResult candidate =
                searchFrom(best.boneWorld, "reselect at the polished joints", refreshSelectIterations());
            const bool clearGain = candidate.eRms < best.eRms * (1.0 - kRefreshGain);
            if (candidate.eRms < best.eRms) best = std::move(candidate);
            if (!clearGain) break;
        }
        return best;
    }

    ScheduleSummary solve(const std::vector<std::vector<std::vector<io::Matrix4>>>& starts) {
        CommandResult best;
        if (!options_.continuation || selectionAndPolishInOneRun(starts.size())) {
            // One run as asked; only the repeat to its best iteration.
            CommandRequest request;
            request.startWorld = starts.front();
            request.iterations = budget();
            request.reselectIterations = reselectIterations();
            request.breakPercent = options_.breakPercent;
            best = run(request, "solve");
        } else {
            // Every candidate start gets phase 1; the one projected to fit
            // best goes on.
            double bestProjected = 0.0;
            for (size_t c = 0; c < starts.size(); ++c) {
                if (c > 0 && !affordable(reselectIterations())) break;
                const size_t runsBefore = summary_.runs.size();
                CommandResult selected =
                    reselect(starts[c], starts.size() > 1 ? "reselect, start " + std::to_string(c + 1) : "reselect",
                             reselectIterations());
                if (c > 0) spendSince(runsBefore);
                const double projected = projectedError(selected.eRms, summary_.runs[runsBefore].errors);
                if (c == 0 || projected < bestProjected) {
                    best = std::move(selected);
                    bestProjected = projected;
                    summary_.chosenStart = static_cast<int>(c);
                }
            }
            const double selectedError = best.eRms;
            best = polish(std::move(best), reselectIterations());
            if (selectedError > 0.0) polishShare_ = best.eRms / selectedError;
        }
        const int jointCount = starts.front().empty() ? 0 : static_cast<int>(starts.front().front().size());
        for (int round = 0; options_.continuation && round < options_.reseedRounds; ++round) {
            const std::vector<int> dead = reseedableJoints(best, jointCount);
            if (dead.empty() || !affordable(budget())) break;
            summary_.reseededJoints += static_cast<int>(dead.size());
            CommandResult candidate =
                searchFrom(splitRegionsFor(best, dead), "reselect after reseeding", reselectIterations());
            if (!(candidate.eRms < best.eRms)) break;
            best = std::move(candidate);
        }
        // Local search: the weakest joints, one at a time, moved to where the
        // fit is worst; each move kept only when the error drops.
        std::vector<char> tried(static_cast<size_t>(jointCount), 0);
        for (int swap = 0; options_.continuation && swap < options_.swapRounds && jointCount > 1; ++swap) {
            if (!affordable(budget())) break;
            const std::vector<double> totals = jointWeightTotals(best.influences, jointCount);
            int weakest = -1;
            for (int j = 0; j < jointCount; ++j)
                if (!tried[j] && (weakest < 0 || totals[j] < totals[weakest])) weakest = j;
            if (weakest < 0) break;
            tried[weakest] = 1;
            // A move whose phase 1 ends where a polish like phase 2's could
            // not bring it below the best rig is given up there: on the
            // fit-quality table that spares every move that went on to fail
            // its polish and none that paid.
            const double hopeless = polishShare_ > 0.0 ? best.eRms / polishShare_ : HUGE_VAL;
            CommandResult candidate = searchFrom(splitRegionsFor(best, {weakest}), "reselect after moving a joint",
                                                 reselectIterations(), hopeless);
            if (candidate.eRms < best.eRms) {
                best = std::move(candidate);
                ++summary_.movedJoints;
            }
        }
        best = refresh(std::move(best));
        summary_.negligibleJoints = static_cast<int>(negligibleJoints(best, jointCount).size());
        summary_.best = std::move(best);
        return std::move(summary_);
    }

private:
    // Whether `iterations` more fit the search budget, keeping `reserve` of it.
    bool affordable(int iterations, double reserve) const {
        return searchSpent_ + iterations * options_.iterationWork + reserve <= options_.searchWork;
    }
    // The search proper keeps back one solve's worth for the refresh, when
    // the budget holds that much.
    bool affordable(int iterations) const { return affordable(iterations, refreshReserve()); }
    double refreshReserve() const {
        const double solve = budget() * options_.iterationWork;
        return options_.continuation && options_.refreshRounds > 0 && solve <= options_.searchWork ? solve : 0.0;
    }
    // Every run from `first` on, repeats included.
    void spendSince(size_t first) {
        for (size_t r = first; r < summary_.runs.size(); ++r)
            searchSpent_ += static_cast<double>(summary_.runs[r].errors.size()) * options_.iterationWork;
    }

    // Phases 1 and 2 as one run: the same iterations, without the second
    // run's sampling and its first iteration, which only repeats the
    // selection. Only where nothing else would run (one start, a search
    // budget below one solve) and no early stop can cut the selection short.
    bool selectionAndPolishInOneRun(size_t startCount) const {
        return startCount == 1 && options_.breakPercent <= 0.0 && reselectIterations() < budget() &&
               budget() * options_.iterationWork > options_.searchWork;
    }

    int budget() const { return std::max(options_.iterations, 1); }
    int reselectIterations() const { return std::clamp(options_.reselectIterations, 1, budget()); }
    int refreshSelectIterations() const {
        return std::clamp(budget() - reselectIterations(), reselectIterations(),
                          kRefreshSelection * reselectIterations());
    }

    std::vector<int> negligibleJoints(const CommandResult& result, int jointCount) const {
        return jointsBelow(result, jointCount, options_.negligibleWeight);
    }
    // Negligible and minor joints.
    std::vector<int> reseedableJoints(const CommandResult& result, int jointCount) const {
        const double minor = options_.reseedMinorShare * static_cast<double>(result.influences.size()) /
                             static_cast<double>(std::max(jointCount, 1));
        return jointsBelow(result, jointCount, std::max(options_.negligibleWeight, minor));
    }
    std::vector<int> jointsBelow(const CommandResult& result, int jointCount, double weight) const {
        const std::vector<double> totals = jointWeightTotals(result.influences, jointCount);
        std::vector<int> below;
        for (int j = 0; j < jointCount; ++j)
            if (totals[j] < weight) below.push_back(j);
        return below;
    }

    // The worst-fitted vertex not yet taken and its nearest neighbours at
    // rest, as many as a joint's fair share over two, marked taken; empty
    // when every vertex is taken.
    std::vector<int> worstRegion(const CommandResult& result, std::vector<char>& taken) const {
        const std::vector<double> rest = frames_.frame(0);
        const int vertexCount = static_cast<int>(rest.size() / 3);
        const int jointCount = static_cast<int>(result.boneWorld.front().size());
        const int regionSize =
            std::clamp(vertexCount / std::max(2 * jointCount, 1), std::min(4, vertexCount), vertexCount);
        int worst = -1;
        for (int v = 0; v < vertexCount; ++v)
            if (!taken[v] && (worst < 0 || result.vertexSquaredError[v] > result.vertexSquaredError[worst])) worst = v;
        if (worst < 0) return {};
        std::vector<std::pair<double, int>> byDistance;
        byDistance.reserve(static_cast<size_t>(vertexCount));
        for (int v = 0; v < vertexCount; ++v) {
            double d = 0.0;
            for (int c = 0; c < 3; ++c)
                d += (rest[3 * v + c] - rest[3 * worst + c]) * (rest[3 * v + c] - rest[3 * worst + c]);
            byDistance.emplace_back(d, v);
        }
        std::partial_sort(byDistance.begin(), byDistance.begin() + regionSize, byDistance.end());
        std::vector<int> members;
        for (int i = 0; i < regionSize; ++i) members.push_back(byDistance[i].second);
        std::sort(members.begin(), members.end());
        for (int v : members) taken[v] = 1;
        return members;
    }

    // The rig's joints, with each of `dead` given half of another joint's
    // region, the one with the strongest claim to a split first (see
    // kSplitShareFloor): the vertices whose largest weight is that joint's,
    // split in two at rest. The dead joint takes the rigid motion of the half
    // holding the worst-fitted of them, the split joint the other half's. A
    // region of its own survives where a few vertices round the worst one
    // would be taken back by their neighbours' joints. Where no region left
    // can be split, the dead joint takes the worst region.
    std::vector<std::vector<io::Matrix4>> splitRegionsFor(const CommandResult& result,
                                                          const std::vector<int>& dead) const {
        std::vector<std::vector<io::Matrix4>> world = result.boneWorld;
        const std::vector<double> rest = frames_.frame(0);
        const int vertexCount = static_cast<int>(rest.size() / 3);
        const int jointCount = static_cast<int>(world.front().size());
        std::vector<std::vector<int>> region(static_cast<size_t>(jointCount));
        std::vector<double> cost(static_cast<size_t>(jointCount), 0.0);
        for (int v = 0; v < vertexCount; ++v) {
            const std::vector<io::SkinInfluence>& influences = result.influences[v];
            if (influences.empty()) continue;
            const io::SkinInfluence& strongest = *std::max_element(
                influences.begin(), influences.end(),
                [](const io::SkinInfluence& a, const io::SkinInfluence& b) { return a.weight < b.weight; });
            if (strongest.joint < 0 || strongest.joint >= jointCount) continue;
            region[strongest.joint].push_back(v);
            cost[strongest.joint] += result.vertexSquaredError[v];
        }
        std::vector<char> spent(static_cast<size_t>(jointCount), 0);
        for (int joint : dead) spent[joint] = 1;
        std::vector<std::array<std::vector<int>, 2>> halves(static_cast<size_t>(jointCount));
        std::vector<double> claim(static_cast<size_t>(jointCount), -1.0);  // below 0: cannot be split
        for (int j = 0; j < jointCount; ++j) {
            if (spent[j] || region[j].size() < kSplitRegionSize) continue;
            halves[j] = splitAtRest(rest, region[j]);
            if (!halves[j][1].empty())
                claim[j] = cost[j] * std::max(splitShare(region[j], halves[j]), kSplitShareFloor);
        }
        std::vector<char> taken(static_cast<size_t>(vertexCount), 0);
        for (int joint : dead) {
            int split = -1;
            for (int j = 0; j < jointCount; ++j)
                if (!spent[j] && claim[j] >= 0.0 && (split < 0 || claim[j] > claim[split])) split = j;
            if (split < 0) {
                const std::vector<int> members = worstRegion(result, taken);
                if (members.empty()) break;
                setRigidMotion(world, joint, members);
                continue;
            }
            spent[split] = 1;
            int worst = region[split].front();
            for (int v : region[split])
                if (result.vertexSquaredError[v] > result.vertexSquaredError[worst]) worst = v;
            std::array<std::vector<int>, 2>& parts = halves[split];
            if (!std::binary_search(parts[0].begin(), parts[0].end(), worst)) std::swap(parts[0], parts[1]);
            setRigidMotion(world, joint, parts[0]);
            setRigidMotion(world, split, parts[1]);
        }
        return world;
    }

    // The share of the members' squared distance from their best rigid
    // motion that fitting one to each of `halves` (ascending subsets of the
    // ascending `members`) takes away; 0 when they move as one.
    double splitShare(const std::vector<int>& members, const std::array<std::vector<int>, 2>& halves) const {
        const std::vector<std::vector<double>> frames = regionFrames(members);
        const double whole = rigidFitSquaredError(frames, 0, localIndices(members.size()));
        if (!(whole > 0.0)) return 0.0;
        double apart = 0.0;
        for (const std::vector<int>& half : halves) {
            std::vector<int> local;
            local.reserve(half.size());
            for (int v : half)
                local.push_back(
                    static_cast<int>(std::lower_bound(members.begin(), members.end(), v) - members.begin()));
            apart += rigidFitSquaredError(frames, 0, local);
        }
        return std::clamp(1.0 - apart / whole, 0.0, 1.0);
    }

    // world[s][joint] for every sample: the rigid motion that best carries the
    // members' rest points onto theirs at that sample.
    void setRigidMotion(std::vector<std::vector<io::Matrix4>>& world, int joint,
                        const std::vector<int>& members) const {
        const std::vector<Matrix4> motion = fitRigidMotion(regionFrames(members), 0, localIndices(members.size()));
        for (size_t s = 0; s < world.size(); ++s) world[s][joint] = motion[s];
    }

    // The members' positions only, frame by frame, member i at point i: the
    // fit reads no other vertex, so it sees the same numbers in the same order.
    std::vector<std::vector<double>> regionFrames(const std::vector<int>& members) const {
        std::vector<std::vector<double>> region(frames_.frameCount());
        for (size_t f = 0; f < region.size(); ++f) {
            region[f].reserve(3 * members.size());
            for (int v : members)
                for (int c = 0; c < 3; ++c) region[f].push_back(frames_.value(f, 3 * static_cast<size_t>(v) + c));
        }
        return region;
    }

    static std::vector<int> localIndices(size_t count) {
        std::vector<int> indices(count);
        for (size_t i = 0; i < count; ++i) indices[i] = static_cast<int>(i);
        return indices;
    }

    const host::PointFrames& frames_;
    const ScheduleOptions& options_;
    const CommandRunner& runner_;
    ScheduleSummary summary_;
    double searchSpent_ = 0.0;
    // Phase 2's error over phase 1's; 0 until phase 2 has run.
    double polishShare_ = 0.0;
};

}  // namespace

std::vector<double> jointWeightTotals(const std::vector<std::vector<io::SkinInfluence>>& influences, int jointCount) {
    std::vector<double> totals(static_cast<size_t>(std::max(jointCount, 0)), 0.0);
    for (const std::vector<io::SkinInfluence>& vertex : influences)
        for (const io::SkinInfluence& influence : vertex)
            if (influence.joint >= 0 && influence.joint < jointCount) totals[influence.joint] += influence.weight;
    return totals;
}

ScheduleSummary runSchedule(const host::PointFrames& frames,
                            const std::vector<std::vector<std::vector<io::Matrix4>>>& starts,
                            const ScheduleOptions& options, const CommandRunner& runner) {
    if (starts.empty()) throw std::invalid_argument("runSchedule: no starting joints");
    return Schedule(frames, options, runner).solve(starts);
}

}  // namespace vantrel::rig
