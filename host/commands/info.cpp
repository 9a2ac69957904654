// SPDX-License-Identifier: GPL-3.0-or-later
#include <filesystem>
#include <iostream>

#include "boundary/hoststate.h"
#include "boundary/nativepath.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "core/version.h"

const CommandSpec infoCommand{
    .name = "info",
    .arguments = "",
    .minimumArguments = 0,
    .maximumArguments = 0,
    .summary = "show the plug-in as the host loads it: name, version, description, author, script, help",
    .description = "Loads the plug-in file (--plugin before the command chooses another), reads its\n"
                   "information functions, creates and starts the plug-in object, and prints what it said.",
    .options = {},
};

namespace {

// A file that the plug-in names, found beside it.
std::string besidePlugin(const std::string& pluginPath, const std::string& name)
{
    const std::filesystem::path path = pathFromText(pluginPath).parent_path() / pathFromText(name);
    std::error_code error;
    return name + " (" + textFromPath(path) + (std::filesystem::exists(path, error) ? ")" : ", missing)");
}

}  // namespace

int commandInfo(const std::vector<std::string>& arguments)
{
    return runCommand(infoCommand, arguments, [](const ParsedCommandLine&) {
        try {
            LoadedPlugin plugin(hostState().pluginPath);
            plugin.start();
            const PluginInfo& info = plugin.info();
            std::cout << "Plug-in:     " << plugin.path() << '\n'
                      << "Name:        " << info.name << '\n'
                      << "Version:     " << info.version << '\n'
                      << "Description: " << info.description << '\n'
                      << "Author:      " << info.author << '\n'
                      << "Script:      " << besidePlugin(plugin.path(), info.script) << '\n'
                      << "Help file:   " << besidePlugin(plugin.path(), info.helpFile) << '\n'
                      << "License:     " << kVarnoLicence << '\n';
            return 0;
        } catch (const PluginLoadError& error) {
            std::cerr << "mindaro: " << error.what() << '\n';
            return 3;
        }
    });
}
