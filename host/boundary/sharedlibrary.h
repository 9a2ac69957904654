// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's dynamic loader as the host uses it for plug-ins: open a library file,
// find its functions by name, close it; and where the host's own executable lies.
#pragma once

#include <string>

using LibraryHandle = void*;

// The plug-in file that the host loads by default, in the folder "plugins" beside it.
extern const char* const kPluginFileName;

// Loads the library file; null, with the loader's reason, when it cannot.
LibraryHandle openLibrary(const std::string& path, std::string& reason);
// The function that the library exports under this name; null when it has none.
void* libraryFunction(LibraryHandle library, const char* name);
void closeLibrary(LibraryHandle library);

// Full path of this program's executable file; empty when the system does not say.
std::string executablePath();
