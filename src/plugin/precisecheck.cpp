// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/precisecheck.h"

#include <cmath>
#include <exception>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/pairagreement.h"
#include "core/threadpool.h"
#include "estimate/preciseestimate.h"
#include "plugin/distcor.h"

namespace {

// A log that keeps each flushed entry, for a thread that may not write to the host's log.
struct EntryLog {
    struct Buffer : std::stringbuf {
        std::vector<std::string> entries;
        int sync() override
        {
            if (!str().empty()) entries.push_back(str());
            str(std::string());
            return 0;
        }
    };
    Buffer buffer;
    std::ostream stream{&buffer};
};

// What the check needs besides the precise map: the standard map at half resolution, the
// pair, and the pair corrected with that map (none when the estimate gave up).
struct CoarseCheck {
    CoarseCheck(const Volume& a, const Volume& b, const std::array<double, 3>& voxel, const StandardChoices& choices)
        : map(halfResolutionStandardMap(a, b, voxel, choices)), pair(a, b)
    {
        if (map.size() == a.size()) corrected.emplace(pair, map);
    }
    CoarseCheck(const CoarseCheck&) = delete;
    CoarseCheck& operator=(const CoarseCheck&) = delete;
    const CorrectedMap* correctedMap() const { return corrected ? &*corrected : nullptr; }

    const Volume map;
    const CorrectablePair pair;
    std::optional<CorrectedMap> corrected;
};

// The edge figures of a comparison, the standard map named as given.
void logEdges(std::ostream& log, const StandardComparison& comparison, const char* standardName)
{
    log << "Edges of the plainly corrected pair where the maps differ by more than 0.25 voxel ("
        << 100.0 * static_cast<double>(comparison.differingVoxels) / static_cast<double>(comparison.headVoxels)
        << "% of the head), correlation of gradient magnitudes: precise " << comparison.preciseEdges << ", "
        << standardName << " " << comparison.standardEdges << std::flush;
}

// Whether the standard map at half resolution, and then refined across the slices, lines up
// the edges clearly worse than the precise map.
bool settledWithoutFullEstimate(distcor& plugin, const CorrectablePair& pair, const Volume& a, const Volume& b,
                                const std::array<double, 3>& voxel, const StandardChoices& choices,
                                const CorrectedMap& precise, const CorrectedMap& coarse)
{
    std::ostream& log = *plugin.logStream;
    const StandardComparison screen = compareWithStandardMap(pair, precise, coarse);
    if (screen.compared) logEdges(log, screen, "standard at half resolution");
    if (!worthRefining(screen)) return false;
    plugin.log("Refining the standard map across the slices with the standard estimate's finest level...");
    const Volume refined = refinedStandardMap(a, b, voxel, choices, coarse.map);
    const StandardComparison confirmation = compareWithStandardMap(pair, precise, CorrectedMap(pair, refined));
    if (confirmation.compared) logEdges(log, confirmation, "standard refined across the slices");
    return clearlyKeepsPrecise(confirmation);
}

// The check, given the pair and its correction with the standard map at half resolution
// (nullptr when that estimate gave up).
PreciseOutcome checkedWith(distcor& plugin, const CorrectablePair& pair, const Volume& a, const Volume& b,
                           const std::array<double, 3>& voxel, const StandardChoices& choices, Volume precise,
                           const CorrectedMap* coarse)
{
    std::ostream& log = *plugin.logStream;
    const CorrectedMap preciseCorrected(pair, precise);
    if (coarse != nullptr &&
        settledWithoutFullEstimate(plugin, pair, a, b, voxel, choices, preciseCorrected, *coarse)) {
        log << "Agreement of the intensity-corrected pair over the head (correlation): precise "
            << pair.agreement(precise, preciseCorrected.plain) << std::flush;
        plugin.log("The standard map refined across the slices lines up the edges clearly worse: the precise map is "
                   "kept without the full standard estimate.");
        return {std::move(precise)};
    }
    plugin.log("Checking the precise map against the standard estimate...");
    Volume standard = standardMap(a, b, voxel, choices, log);
    if (std::round(standard(0, 0, 0)) == -99.0f) {
        plugin.log("The standard estimate gave no map to check against: the precise map is kept.");
        return {std::move(precise)};
    }
    const CorrectedMap standardCorrected(pair, standard);
    log << "Agreement of the intensity-corrected pair over the head (correlation): precise "
        << pair.agreement(precise, preciseCorrected.plain) << ", standard "
        << pair.agreement(standard, standardCorrected.plain) << std::flush;
    const StandardComparison check = compareWithStandardMap(pair, preciseCorrected, standardCorrected);
    if (!check.compared) {
        plugin.log("The maps differ by more than 0.25 voxel in less than 1% of the head: the precise map is kept.");
        return {std::move(precise)};
    }
    logEdges(log, check, "standard");
    if (check.keepPrecise) {
        plugin.log("The precise map is kept.");
        return {std::move(precise)};
    }
    plugin.log("The standard map is used: the pair does not follow the spin-echo model of intensities (as in "
               "gradient-echo pairs, which lose signal where the field varies), and the precise map lines up its "
               "edges worse.");
    return {std::move(standard), false};
}

void logCheckAtHalfResolution(distcor& plugin)
{
    plugin.log("Checking the precise map against the standard estimate at half resolution across the "
               "phase-encoding lines...");
}

}  // namespace

PreciseOutcome checkedAgainstStandard(distcor& plugin, const Volume& a, const Volume& b,
                                      const std::array<double, 3>& voxel, const StandardChoices& choices,
                                      Volume precise)
{
    logCheckAtHalfResolution(plugin);
    const CoarseCheck coarse(a, b, voxel, choices);
    return checkedWith(plugin, coarse.pair, a, b, voxel, choices, std::move(precise), coarse.correctedMap());
}

PreciseOutcome preciseMapChecked(distcor& plugin, const Volume& a, const Volume& b,
                                 const std::array<double, 3>& voxel, const StandardChoices& choices)
{
    if (parallelThreads() == 1)
        return checkedAgainstStandard(plugin, a, b, voxel, choices, estimatePreciseVdm(a, b, voxel, *plugin.logStream));
    EntryLog preciseLog;
    Volume precise;
    BackgroundWork estimate([&] { precise = estimatePreciseVdm(a, b, voxel, preciseLog.stream); });
    // Errors come as on one thread: the precise estimate's first, since it runs first there.
    std::optional<CoarseCheck> coarse;
    std::exception_ptr coarseError, preciseError;
    try {
        coarse.emplace(a, b, voxel, choices);
    } catch (...) {
        coarseError = std::current_exception();
    }
    try {
        estimate.join();
    } catch (...) {
        preciseError = std::current_exception();
    }
    preciseLog.stream.flush();
    for (const std::string& entry : preciseLog.buffer.entries) *plugin.logStream << entry << std::flush;
    if (preciseError) std::rethrow_exception(preciseError);
    if (coarseError) std::rethrow_exception(coarseError);
    logCheckAtHalfResolution(plugin);
    return checkedWith(plugin, coarse->pair, a, b, voxel, choices, std::move(precise), coarse->correctedMap());
}
