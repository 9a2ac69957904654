#include "commands/estimatechoices.h"

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
}

EstimateDescription describeEstimateChoices(const EstimateChoices& choices)
{
    static const char* const smoothing[] = {"Gaussian (order 0)", "first derivative of the Gaussian (order 1)",
                                            "second derivative of the Gaussian (order 2)"};
    EstimateDescription description;
    description.method = choices.fast ? "column-wise estimate (--fast)" : "full estimate";
    const ReportFact order{"order", "Smoothing of the inputs", smoothing[choices.order], ""};
    const ReportFact volumes{"volumes", "Volumes estimated from",
                             std::to_string(choices.volume0) + " of the first, " + std::to_string(choices.volume1) +
                                 " of the second",
                             ""};
    // The column-wise estimate neither compares the pair by a measure nor modulates it.
    if (choices.fast) {
        description.settings = {order, volumes};
    } else {
        description.settings = {
            {"measure", "Similarity measure",
             choices.useSsd ? "mean squared difference (--ssd)" : "normalised cross-correlation", ""},
            {"intensity-modulation", "Intensity modulation by the stretch", choices.useIc ? "on (--ic)" : "off", ""},
            order, volumes};
    }
    return description;
}
