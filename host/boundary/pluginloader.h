// SPDX-License-Identifier: GPL-3.0-or-later
// Loading the plug-in the way the host does: the library, its information functions,
// the plug-in object, its start-up and its dialog steps.
#pragma once

#include <stdexcept>
#include <string>

class MDHSPluginInterface;

// The plug-in could not be loaded or started; the message names the file and the reason.
class PluginLoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PluginInfo {
    std::string name;
    std::string version;
    std::string description;
    std::string author;
    std::string script;    // file name of the dialog script, beside the plug-in
    std::string helpFile;  // path of the help page, relative to the plug-in's folder
};

class LoadedPlugin {
public:
    // Opens the library and reads its information functions; throws PluginLoadError.
    explicit LoadedPlugin(const std::string& path);
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    const std::string& path() const { return libraryPath; }
    const PluginInfo& info() const { return information; }

    // Creates the plug-in object and calls its initPlugin; throws PluginLoadError when
    // initPlugin returns false.
    void start();
    // One dialog step: sets the parameter "task" and calls execute. The host's exit
    // status: 1 when a message box starting with "Error" was shown, else 0.
    int runTask(const std::string& task);

private:
    std::string libraryPath;
    void* library = nullptr;
    PluginInfo information;
    MDHSPluginInterface* plugin = nullptr;
};

// Loads and starts the plug-in of hostState().pluginPath and runs one dialog step with
// the parameters of hostState(). The host's exit status: 0, 1 (an error was shown) or
// 3 (the plug-in could not be loaded or started, reported on standard error).
int runPluginTask(const std::string& task);
