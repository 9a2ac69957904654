// SPDX-License-Identifier: GPL-3.0-or-later
// A recording stand-in for the host, for unit tests of the plug-in: while a FakeHost
// lives, the plug-in's service table, FFT table and module lookup point at fakes that
// log every call in order.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/fftapi.h"
#include "plugin/hostapi.h"
#include "plugin/modulelookup.h"

struct FakeHost {
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // Every service call in order: "log:TEXT", "message:TEXT", "showBusy", "stopBusy",
    // "getString:NAME", "setString:NAME=VALUE", "setInt:NAME=VALUE", "open:TITLE|FILTER",
    // "version".
    std::vector<std::string> calls;
    // Module names asked for, and "MODULE:FUNCTION" for every function asked for.
    std::vector<std::string> moduleLookups;
    std::vector<std::string> functionLookups;

    std::map<std::string, std::string> strings;
    std::map<std::string, int> ints;
    std::string openFileAnswer;
    int version[3] = {3, 1, 0};
    // Which host modules are loaded, and which functions the host does not export.
    bool mindaroLoaded = true;
    bool mindaroEduLoaded = false;
    std::set<std::string> missingFunctions;
    // When set, reading this string parameter throws std::runtime_error("broken parameter").
    std::string throwingParameter;

    // Entries of calls that start with the prefix, in order.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;
    // Position of a call in calls; -1 when absent.
    int positionOf(const std::string& call) const;

private:
    HostApi savedHostApi;
    FftApi savedFftApi;
    ModuleLookup savedLookup;
};
