// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/pluginloader.h"

#include <exception>
#include <filesystem>
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/nativepath.h"
#include "boundary/sharedlibrary.h"
#include "cli/commandline.h"
#include "core/stoprequest.h"
#include "sdk/hostservices.h"
#include "sdk/mdhsplugininterface.h"

namespace {

void* requireFunction(void* library, const std::string& path, const char* name)
{
    void* function = libraryFunction(library, name);
    if (function == nullptr)
        throw PluginLoadError(path + ": not a Mindaro plug-in: it does not export \"" + std::string(name) + "\"");
    return function;
}

std::string readText(void* library, const std::string& path, const char* name)
{
    const auto function = reinterpret_cast<PluginTextFunction>(requireFunction(library, path, name));
    const char* text = function();
    return text == nullptr ? std::string() : std::string(text);
}

}  // namespace

LoadedPlugin::LoadedPlugin(const std::string& path) : libraryPath(path)
{
    std::error_code error;
    if (!std::filesystem::exists(pathFromText(path), error)) throw PluginLoadError(path + ": plug-in file not found");
    if (std::filesystem::is_directory(pathFromText(path), error))
        throw PluginLoadError(path + ": is a folder, not a plug-in file");
    std::string reason;
    library = openLibrary(path, reason);
    if (library == nullptr) throw PluginLoadError(path + ": cannot load the plug-in: " + reason);
    try {
        requireFunction(library, path, "createPlugin");
        information.name = readText(library, path, "getPluginName");
        information.version = readText(library, path, "getPluginVersion");
        information.description = readText(library, path, "getPluginDescription");
        information.author = readText(library, path, "getAuthor");
        information.script = readText(library, path, "getGUIScript");
        information.helpFile = readText(library, path, "getHelpFile");
    } catch (...) {
        closeLibrary(library);
        throw;
    }
}

LoadedPlugin::~LoadedPlugin()
{
    delete plugin;
    closeLibrary(library);
}

void LoadedPlugin::start()
{
    const auto create = reinterpret_cast<CreatePluginFunction>(requireFunction(library, libraryPath, "createPlugin"));
    delete plugin;
    plugin = create();
    if (plugin == nullptr) throw PluginLoadError(libraryPath + ": createPlugin returned no plug-in object");
    if (!plugin->initPlugin())
        throw PluginLoadError(libraryPath + ": the plug-in did not start (its initPlugin returned false)");
}

int LoadedPlugin::runTask(const std::string& task)
{
    if (plugin == nullptr) start();
    HostState& state = hostState();
    state.stringParameters["task"] = task;
    state.errorShown = false;
    state.logEntries.clear();
    state.messages.clear();
    state.savedMaps.clear();
    bool completed = false;
    std::string failure;
    try {
        completed = plugin->execute();
        if (!completed) failure = "the plug-in's execute reported failure";
    } catch (const std::exception& error) {
        failure = std::string("the plug-in's execute let an exception escape: ") + error.what();
    } catch (...) {
        failure = "the plug-in's execute let a non-standard exception escape";
    }
    if (!failure.empty()) {
        std::cerr << "mindaro: " << libraryPath << ": " << failure << '\n';
        return 1;
    }
    return state.errorShown ? 1 : 0;
}

int runPluginTask(const std::string& task)
{
    // A value that the plug-in could not read whole is refused before the step runs.
    for (const auto& [name, value] : hostState().stringParameters)
        if (value.size() >= static_cast<std::size_t>(kStringParameterBufferSize))
            throw UsageError("the dialog parameter \"" + name + "\" would be " + std::to_string(value.size()) +
                             " bytes long; the plug-in reads at most " + std::to_string(kStringParameterBufferSize - 1));
    try {
        LoadedPlugin plugin(hostState().pluginPath);
        plugin.start();
        const int status = plugin.runTask(task);
        // A task stopped on request ends as a failed one; the command learns why.
        throwIfStopRequested();
        return status;
    } catch (const PluginLoadError& error) {
        std::cerr << "mindaro: " << error.what() << '\n';
        return 3;
    }
}
