// SPDX-License-Identifier: GPL-3.0-or-later
// The host's services and FFT functions, taken by name from the host's executable module.
#pragma once

#include "sdk/hostservices.h"

struct HostApi {
    HsGetVersionOfMindaroHS hsGetVersionOfMindaroHS = nullptr;
    HsLogText hsLogText = nullptr;
    HsMessageBox hsMessageBox = nullptr;
    HsYesNoMessageBox hsYesNoMessageBox = nullptr;
    HsGetOpenFileName hsGetOpenFileName = nullptr;
    HsBusyCursor hsShowBusyCursor = nullptr;
    HsBusyCursor hsStopBusyCursor = nullptr;
    HsGetStringParameter hsGetStringParameter = nullptr;
    HsGetIntParameter hsGetIntParameter = nullptr;
    HsSetStringParameter hsSetStringParameter = nullptr;
    HsSetIntParameter hsSetIntParameter = nullptr;
    HsCreateMAPForCurrentFMR hsCreateMAPForCurrentFMR = nullptr;
    HsGetMAPOfCurrentFMR hsGetMAPOfCurrentFMR = nullptr;
    HsSetMAPParametersOfCurrentFMR hsSetMAPParametersOfCurrentFMR = nullptr;
    HsSaveMAPsOfCurrentFMR hsSaveMAPsOfCurrentFMR = nullptr;
    HsLoadMAPsToCurrentFMR hsLoadMAPsToCurrentFMR = nullptr;
};

// Process-wide table, filled by initPlugin (or by a test with fakes).
extern HostApi hostApi;

// Fills every hostApi entry from the host module; a service the host lacks is left null.
// False, with the table untouched, when no host module is loaded or it has no
// hsGetVersionOfMindaroHS.
bool resolveHostApi();

// Fills fftApi from the host module in the table's order, each entry the moment it is
// found, stopping at the first missing one. False when the module or an entry is missing.
bool resolveFftApi();

// The host versions that the plug-in works with: (3, 1, 0) and later.
bool hostVersionAccepted(int major, int minor, int patch);
