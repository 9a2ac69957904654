// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commandline.h"

#include <algorithm>
#include <charconv>
#include <iostream>

#include "cli/stopsignals.h"
#include "core/stoprequest.h"

namespace {

const OptionSpec kHelpOption{"--help", "", "show this help and exit"};

const OptionSpec* findOption(const CommandSpec& declaration, const std::string& name)
{
    const auto found = std::find_if(declaration.options.begin(), declaration.options.end(),
                                    [&](const OptionSpec& option) { return option.name == name; });
    return found == declaration.options.end() ? nullptr : &*found;
}

bool looksLikeOption(const std::string& argument)
{
    return argument.size() > 1 && argument[0] == '-';
}

std::string countText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " argument" : " arguments");
}

void checkArgumentCount(const CommandSpec& declaration, std::size_t count)
{
    if (count < declaration.minimumArguments)
        throw UsageError("expected " + (declaration.minimumArguments == declaration.maximumArguments ? "" : std::string("at least ")) +
                         countText(declaration.minimumArguments) + (declaration.arguments.empty() ? "" : " (" + declaration.arguments + ")") +
                         ", got " + std::to_string(count));
    if (declaration.maximumArguments != kAnyNumber && count > declaration.maximumArguments)
        throw UsageError(declaration.maximumArguments == 0
                             ? "takes no arguments"
                             : "expected " + (declaration.minimumArguments == declaration.maximumArguments ? "" : std::string("at most ")) +
                                   countText(declaration.maximumArguments) + ", got " + std::to_string(count));
}

}  // namespace

bool ParsedCommandLine::has(const std::string& option) const
{
    return std::any_of(options.begin(), options.end(), [&](const auto& given) { return given.first == option; });
}

std::string ParsedCommandLine::value(const std::string& option) const
{
    const std::vector<std::string> all = values(option);
    return all.empty() ? std::string() : all.back();
}

std::vector<std::string> ParsedCommandLine::values(const std::string& option) const
{
    std::vector<std::string> found;
    for (const auto& [name, argument] : options)
        if (name == option) found.push_back(argument);
    return found;
}

ParsedCommandLine parseCommandLine(const CommandSpec& declaration, const std::vector<std::string>& arguments)
{
    ParsedCommandLine parsed;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (optionsEnded || !looksLikeOption(argument)) {
            parsed.arguments.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const OptionSpec* option = findOption(declaration, name);
        if (option == nullptr) throw UsageError("unknown option \"" + name + "\"");
        if (!option->repeatable && parsed.has(name)) throw UsageError("option " + name + " given more than once");
        std::string value;
        if (option->argument.empty()) {
            if (equals != std::string::npos) throw UsageError("option " + name + " takes no value");
        } else if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else {
            if (index + option->valueCount >= arguments.size())
                throw UsageError("option " + name + " needs " +
                                 (option->valueCount == 1 ? "a value" : std::to_string(option->valueCount) + " values") +
                                 " (" + option->argument + ")");
            for (std::size_t word = 0; word < option->valueCount; ++word)
                value += (word == 0 ? "" : " ") + arguments[++index];
        }
        parsed.options.emplace_back(name, value);
    }
    checkArgumentCount(declaration, parsed.arguments.size());
    return parsed;
}

std::string usageLine(const CommandSpec& declaration)
{
    std::string line = "mindaro " + declaration.name;
    if (!declaration.arguments.empty()) line += " " + declaration.arguments;
    if (!declaration.options.empty()) line += " [options]";
    return line;
}

void printOptions(const std::vector<OptionSpec>& options, std::ostream& output)
{
    std::vector<std::string> heads;
    std::size_t width = 0;
    for (const OptionSpec& option : options) {
        heads.push_back(option.argument.empty() ? option.name : option.name + " " + option.argument);
        width = std::max(width, heads.back().size());
    }
    for (std::size_t index = 0; index < options.size(); ++index) {
        output << "  " << heads[index] << std::string(width - heads[index].size() + 3, ' ') << options[index].help;
        if (options[index].repeatable) output << " (repeatable)";
        output << '\n';
    }
}

std::vector<OptionSpec> helpOptions(const CommandSpec& declaration)
{
    std::vector<OptionSpec> options = declaration.options;
    options.push_back(kHelpOption);
    return options;
}

void printHelp(const CommandSpec& declaration, std::ostream& output)
{
    output << "usage: " << usageLine(declaration) << "\n\n" << declaration.summary << '\n';
    if (!declaration.description.empty()) output << '\n' << declaration.description << '\n';
    output << "\nOptions:\n";
    printOptions(helpOptions(declaration), output);
}

int runCommand(const CommandSpec& declaration, const std::vector<std::string>& arguments,
               const std::function<int(const ParsedCommandLine&)>& body)
{
    const auto helpEnd = std::find(arguments.begin(), arguments.end(), "--");
    if (std::find(arguments.begin(), helpEnd, "--help") != helpEnd) {
        printHelp(declaration, std::cout);
        return 0;
    }
    try {
        return body(parseCommandLine(declaration, arguments));
    } catch (const UsageError& error) {
        std::cerr << "mindaro " << declaration.name << ": " << error.what() << '\n'
                  << "usage: " << usageLine(declaration) << "  (see: mindaro " << declaration.name << " --help)\n";
        return 2;
    } catch (const StopRequested& stop) {
        return reportStop(declaration.name, stop.signal());
    }
}

std::pair<std::string, std::string> splitAssignment(const std::string& option, const std::string& text)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageError(option + " expects NAME=VALUE, got \"" + text + "\"");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

int parseInteger(const std::string& option, const std::string& text)
{
    int value = 0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end)
        throw UsageError(option + " expects a whole number, got \"" + text + "\"");
    return value;
}
