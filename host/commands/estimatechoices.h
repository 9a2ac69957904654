// SPDX-License-Identifier: GPL-3.0-or-later
// The estimate settings that the friendly commands take on their command lines
// (--volumes K0 K1, --order, --ssd, --ic, --fast, --precise, --intensity-correction) and
// hand to the plug-in, and what they say when the estimate gives up.
#pragma once

#include <string>
#include <vector>

#include "boundary/hoststate.h"
#include "cli/commandline.h"
#include "report/reportpage.h"

struct EstimateChoices {
    int volume0 = 0;
    int volume1 = 0;
    // Lists of volumes ("0,1,2" or "all"), empty unless --volumes gave more than a number.
    std::string volumes0;
    std::string volumes1;
    bool motion = false;   // the head's motion between the volumes (--motion)
    bool realign = false;  // copies moved back to the first volume (--realign)
    int order = 0;
    bool useSsd = false;
    bool useIc = false;
    bool fast = false;
    bool precise = false;
    bool intensityCorrection = false;  // of the undistorted copies
};

struct VolumePair {
    int first = 0;
    int second = 0;
};
// "--volumes K0 K1" (default 0 0); throws UsageError for anything but two indices from 0.
VolumePair parseVolumePair(const ParsedCommandLine& command);

// Whether a --volumes word is a list of several volumes: "all", or numbers with commas.
// Throws UsageError for a word that is neither such a list nor a number.
bool isVolumeList(const std::string& word);

// Throws UsageError for volume indices below 0, an order other than 0, 1 or 2, --fast
// with --precise, lists of volumes or --motion without the precise estimate, and --realign
// without --motion.
EstimateChoices parseEstimateChoices(const ParsedCommandLine& command);
// Throws UsageError for lists of volumes or --motion without the precise estimate.
void requirePreciseForVolumes(const EstimateChoices& choices);
// The choices of "correct" and "bids": the precise estimate with intensity correction,
// unless --standard (or --fast, which is the standard column-wise estimate) or --plain.
EstimateChoices parseCorrectionChoices(const ParsedCommandLine& command);
// Sets "volume0", "volume1", "volumes0", "volumes1", "motion", "realign", "order",
// "use_ssd", "use_ic", "fast_algorithm", "precise" and "intensity_correction".
void storeEstimateChoices(const EstimateChoices& choices, HostState& state);

// After an estimate step that ended without error: 0 when the host saved maps for it;
// otherwise the step gave up (the full estimate logs why and "Done."), which is reported
// as "mindaro COMMAND: ..." with the reason, and 1.
int requireMapsSaved(const std::string& command);
// The method that the choices run and its settings, as the report page shows them.
struct EstimateDescription {
    std::string method;
    std::vector<ReportFact> settings;
};
EstimateDescription describeEstimateChoices(const EstimateChoices& choices);
