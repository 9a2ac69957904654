// The estimate settings that the friendly commands take on their command lines
// (--volumes K0 K1, --order, --ssd, --ic, --fast) and hand to the plug-in.
#pragma once

#include <string>
#include <vector>

#include "boundary/hoststate.h"
#include "cli/commandline.h"
#include "report/reportpage.h"

struct EstimateChoices {
    int volume0 = 0;
    int volume1 = 0;
    int order = 0;
    bool useSsd = false;
    bool useIc = false;
    bool fast = false;
};

struct VolumePair {
    int first = 0;
    int second = 0;
};
// "--volumes K0 K1" (default 0 0); throws UsageError for anything but two indices from 0.
VolumePair parseVolumePair(const ParsedCommandLine& command);

// Throws UsageError for volume indices below 0 or an order other than 0, 1 or 2.
EstimateChoices parseEstimateChoices(const ParsedCommandLine& command);
// Sets "volume0", "volume1", "order", "use_ssd", "use_ic" and "fast_algorithm".
void storeEstimateChoices(const EstimateChoices& choices, HostState& state);

// The method that the choices run and its settings, as the report page shows them.
struct EstimateDescription {
    std::string method;
    std::vector<ReportFact> settings;
};
EstimateDescription describeEstimateChoices(const EstimateChoices& choices);
