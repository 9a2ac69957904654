// SPDX-License-Identifier: GPL-3.0-or-later
// Finding a module that is already loaded into the process, and a function that it
// exports, by name. Nothing here ever loads a module.
#pragma once

#include <string>

using ModuleHandle = void*;

struct ModuleLookup {
    // The loaded module known by this name; null when none is loaded.
    ModuleHandle (*findModule)(const char* name);
    // The function that the module exports under this name; null when it has none.
    void* (*findFunction)(ModuleHandle module, const char* name);
    // Gives back a handle from findModule once its functions have been taken.
    void (*releaseModule)(ModuleHandle module);
};

// The operating system's lookup.
extern const ModuleLookup platformModuleLookup;

// The lookup that the plug-in uses to reach its host: the platform's, unless a test
// puts a fake host in its place.
extern ModuleLookup moduleLookup;

// True when a module file name answers to a module name: equal ignoring letter case,
// with a trailing ".exe" optional on either side ("mindaro" answers to "Mindaro.exe").
bool moduleFileNameMatches(const std::string& fileName, const std::string& moduleName);
