// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line declarations and the parsing, validation, usage and help generated from
// them. Every command declares its arguments and options once, in a CommandSpec.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct OptionSpec {
    std::string name;      // with its dashes: "--set"
    std::string argument;  // what follows it, "NAME=TEXT"; empty for a switch
    std::string help;
    bool repeatable = false;
    // Words the option takes ("--volumes K0 K1" takes 2); they are kept joined by one space.
    std::size_t valueCount = 1;
};

constexpr std::size_t kAnyNumber = std::numeric_limits<std::size_t>::max();

struct CommandSpec {
    std::string name;       // "task"
    std::string arguments;  // the positional arguments as the usage line shows them: "NAME"
    std::size_t minimumArguments = 0;
    std::size_t maximumArguments = 0;  // kAnyNumber for no limit
    std::string summary;    // one line for the list of commands
    std::string description;
    std::vector<OptionSpec> options;
};

// A command line that does not fit its declaration; shown with the usage line, status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ParsedCommandLine {
    std::vector<std::string> arguments;
    // Options in the order given, each with its argument (empty for a switch).
    std::vector<std::pair<std::string, std::string>> options;

    bool has(const std::string& option) const;
    // The argument of the option's last occurrence; empty when it was not given.
    std::string value(const std::string& option) const;
    // The arguments of every occurrence, in order.
    std::vector<std::string> values(const std::string& option) const;
};

// Parses the arguments after the command name. Options may stand anywhere, as
// "--name VALUE" or "--name=VALUE"; "--" ends the options. Throws UsageError.
ParsedCommandLine parseCommandLine(const CommandSpec& declaration, const std::vector<std::string>& arguments);

// "mindaro task NAME [options]"
std::string usageLine(const CommandSpec& declaration);
void printHelp(const CommandSpec& declaration, std::ostream& output);
// The option table of a help text.
void printOptions(const std::vector<OptionSpec>& options, std::ostream& output);
// The options that a command's help lists: its own, then --help.
std::vector<OptionSpec> helpOptions(const CommandSpec& declaration);

// Runs a command's body on its parsed command line. "--help" prints the help (status 0);
// a UsageError from parsing or from the body prints the reason and the usage line to
// standard error (status 2). Otherwise the body's status.
int runCommand(const CommandSpec& declaration, const std::vector<std::string>& arguments,
               const std::function<int(const ParsedCommandLine&)>& body);

// Splits "NAME=VALUE" of an option's argument; throws UsageError without "=" or name.
std::pair<std::string, std::string> splitAssignment(const std::string& option, const std::string& text);
// A whole decimal 32-bit integer; throws UsageError otherwise.
int parseInteger(const std::string& option, const std::string& text);
