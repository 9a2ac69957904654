#include "commands/estimatechoices.h"

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

EstimateChoices parseEstimateChoices(const ParsedCommandLine& command)
{
    EstimateChoices choices;
    const VolumePair volumes = parseVolumePair(command);
    choices.volume0 = volumes.first;
    choices.volume1 = volumes.second;
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
    return choices;
}

EstimateChoices parseCorrectionChoices(const ParsedCommandLine& command)
{
    EstimateChoices choices = parseEstimateChoices(command);
    choices.precise = !command.has("--standard") && !choices.fast;
    choices.intensityCorrection = !command.has("--plain");
    return choices;
}

void storeEstimateChoices(const EstimateChoices& choices, HostState& state)
{
    state.intParameters["volume0"] = choices.volume0;
    state.intParameters["volume1"] = choices.volume1;
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
