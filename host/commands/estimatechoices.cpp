// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/estimatechoices.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>

VolumePair parseVolumePair(const ParsedCommandLine& command)
{
    VolumePair volumes;
    if (command.has("--volumes")) {
        std::istringstream words(command.value("--volumes"));
        std::string k0;
        std::string k1;
        words >> k0 >> k1;
        volumes.first = parseInteger("--volumes", k0);
        volumes.second = parseInteger("--volumes", k1);
        if (volumes.first < 0 || volumes.second < 0)
            throw UsageError("--volumes expects volume indices counted from 0");
    }
    return volumes;
}

bool isVolumeList(const std::string& word)
{
    if (word == "all") return true;
    if (word.find(',') == std::string::npos) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(word.find(',', start), word.size());
        const std::string item = word.substr(start, end - start);
        if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos)
            throw UsageError("--volumes expects a volume number counted from 0, a list such as 0,1,2, or all; got \"" +
                             word + "\"");
        if (end == word.size()) return true;
        start = end + 1;
    }
}

EstimateChoices parseEstimateChoices(const ParsedCommandLine& command)
{
    EstimateChoices choices;
    if (command.has("--volumes")) {
        std::istringstream words(command.value("--volumes"));
        std::string first, second;
        words >> first >> second;
        if (isVolumeList(first) || isVolumeList(second)) {
            choices.volumes0 = first;
            choices.volumes1 = second;
        }
    }
    if (choices.volumes0.empty()) {
        const VolumePair volumes = parseVolumePair(command);
        choices.volume0 = volumes.first;
        choices.volume1 = volumes.second;
    }
    choices.motion = command.has("--motion");
    choices.realign = command.has("--realign");
    if (command.has("--order")) {
        choices.order = parseInteger("--order", command.value("--order"));
        if (choices.order < 0 || choices.order > 2) throw UsageError("--order expects 0, 1 or 2");
    }
    choices.useSsd = command.has("--ssd");
    choices.useIc = command.has("--ic");
    choices.fast = command.has("--fast");
    choices.precise = command.has("--precise");
    choices.intensityCorrection = command.has("--intensity-correction");
    if (choices.fast && choices.precise)
        throw UsageError("--fast and --precise exclude each other: the precise estimate checks its map against the "
                         "full standard estimate");
    if (choices.realign && !choices.motion)
        throw UsageError("--realign moves the corrected volumes by the head's motion: add --motion");
    return choices;
}

void requirePreciseForVolumes(const EstimateChoices& choices)
{
    if ((!choices.volumes0.empty() || choices.motion) && !choices.precise)
        throw UsageError("lists of volumes and --motion need the precise estimate: each volume keeps its own gain "
                         "and position, which the standard estimate does not model");
}

EstimateChoices parseCorrectionChoices(const ParsedCommandLine& command)
{
    EstimateChoices choices = parseEstimateChoices(command);
    choices.precise = !command.has("--standard") && !choices.fast;
    choices.intensityCorrection = !command.has("--plain");
    requirePreciseForVolumes(choices);
    return choices;
}

void storeEstimateChoices(const EstimateChoices& choices, HostState& state)
{
    state.intParameters["volume0"] = choices.volume0;
    state.intParameters["volume1"] = choices.volume1;
    state.stringParameters["volumes0"] = choices.volumes0;
    state.stringParameters["volumes1"] = choices.volumes1;
    state.intParameters["motion"] = choices.motion;
    // The plug-in names the motion files it writes; none of an earlier estimate may stay.
    state.stringParameters.erase("motion_file0");
    state.stringParameters.erase("motion_file1");
    state.intParameters["realign"] = choices.realign;
    state.intParameters["order"] = choices.order;
    state.intParameters["use_ssd"] = choices.useSsd;
    state.intParameters["use_ic"] = choices.useIc;
    state.intParameters["fast_algorithm"] = choices.fast;
    state.intParameters["precise"] = choices.precise;
    state.intParameters["intensity_correction"] = choices.intensityCorrection;
}

int requireMapsSaved(const std::string& command)
{
    const HostState& state = hostState();
    if (!state.savedMaps.empty()) return 0;
    // The entry before the closing "Done." is the estimate's own explanation.
    const std::vector<std::string>& log = state.logEntries;
    std::string reason = log.size() >= 2 ? log[log.size() - 2] : std::string("no reason was logged");
    reason.erase(0, reason.find_first_not_of('\n'));
    reason.erase(reason.find_last_not_of('\n') + 1);
    std::cerr << "mindaro " << command << ": the estimate gave up; no map was saved and nothing was applied. It said: \""
              << reason
              << "\" The column-wise estimate that the full estimate starts from gave values that are not numbers, "
                 "which happens when the object is cut by the field of view along the phase-encoding axis in few "
                 "rows; --order 1 or 2 smooths the inputs differently.\n";
    return 1;
}

EstimateDescription describeEstimateChoices(const EstimateChoices& choices)
{
    static const char* const smoothing[] = {"Gaussian (order 0)", "first derivative of the Gaussian (order 1)",
                                            "second derivative of the Gaussian (order 2)"};
    EstimateDescription description;
    description.method = choices.precise ? "precise estimate"
                         : choices.fast  ? "standard column-wise estimate (--fast)"
                                         : "standard full estimate";
    const ReportFact order{"order", "Smoothing of the inputs", smoothing[choices.order], ""};
    const ReportFact volumes{"volumes", "Volumes estimated from",
                             choices.volumes0.empty()
                                 ? std::to_string(choices.volume0) + " of the first, " + std::to_string(choices.volume1) +
                                       " of the second"
                                 : choices.volumes0 + " of the first, " + choices.volumes1 +
                                       " of the second, each with its own gain",
                             ""};
    const ReportFact standardSettings[] = {
        {"measure", "Similarity measure",
         choices.useSsd ? "mean squared difference (--ssd)" : "normalised cross-correlation", ""},
        {"intensity-modulation", "Intensity modulation by the stretch", choices.useIc ? "on (--ic)" : "off", ""}};
    if (choices.precise)
        description.settings = {{"check", "Checked against", "the standard full estimate",
                                 "which replaces the precise map on pairs that do not follow the spin-echo model"},
                                standardSettings[0], order, volumes};
    // The column-wise estimate neither compares the pair by a measure nor modulates it.
    else if (choices.fast)
        description.settings = {order, volumes};
    else
        description.settings = {standardSettings[0], standardSettings[1], order, volumes};
    if (choices.motion)
        description.settings.push_back({"motion", "Head motion",
                                        std::string("estimated for every volume relative to the first, in _motion.tsv") +
                                            (choices.realign ? "; copies realigned to the first volume" : ""),
                                        "six rigid-body parameters per volume, estimated with the field"});
    description.settings.push_back({"intensity-correction", "Intensity correction of the corrected images",
                                    choices.intensityCorrection ? "on: multiplied by the Jacobian of the map"
                                                                : "off (plain undistortion)",
                                    ""});
    return description;
}
