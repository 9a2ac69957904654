// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/manual.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace {

// One UTF-8 character starting at text[index] as a roff escape (\[u00B5]); index moves past it.
std::string unicodeEscape(const std::string& text, std::size_t& index)
{
    const auto lead = static_cast<unsigned char>(text[index]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    unsigned long code = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
    std::size_t taken = 1;
    for (; taken < length && index + taken < text.size(); ++taken) {
        const auto next = static_cast<unsigned char>(text[index + taken]);
        if ((next & 0xC0) != 0x80) break;
        code = (code << 6) | (next & 0x3F);
    }
    index += taken - 1;
    if (length == 1 || taken != length) return "\\[uFFFD]";
    char escape[16];
    std::snprintf(escape, sizeof escape, "\\[u%04lX]", code);
    return escape;
}

// Text as roff prints it: backslashes and hyphens escaped (hyphens as \- so that options
// copied from the page keep their ASCII minus), characters beyond ASCII as \[uXXXX].
std::string roffText(const std::string& text)
{
    std::string escaped;
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char c = text[index];
        if (c == '\\')
            escaped += "\\e";
        else if (c == '-')
            escaped += "\\-";
        else if (static_cast<unsigned char>(c) >= 0x80)
            escaped += unicodeEscape(text, index);
        else
            escaped += c;
    }
    return escaped;
}

// A line of text that roff does not take for a request, even when it starts with . or '.
std::string roffLine(const std::string& line)
{
    const std::string escaped = roffText(line);
    return !escaped.empty() && (escaped[0] == '.' || escaped[0] == '\'') ? "\\&" + escaped : escaped;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

// Paragraphs as "--help" shows them, one blank line apart. A paragraph that holds an
// indented line (an example or a table) keeps its lines as they are; the others are filled.
void paragraphs(std::ostream& page, const std::string& text)
{
    std::vector<std::vector<std::string>> blocks(1);
    for (const std::string& line : lines(text)) {
        if (line.find_first_not_of(' ') == std::string::npos) {
            if (!blocks.back().empty()) blocks.emplace_back();
        } else {
            blocks.back().push_back(line);
        }
    }
    bool first = true;
    for (const std::vector<std::string>& block : blocks) {
        if (block.empty()) continue;
        if (!first) page << ".PP\n";
        first = false;
        const bool preformatted =
            std::any_of(block.begin(), block.end(), [](const std::string& line) { return line[0] == ' '; });
        if (preformatted) page << ".nf\n";
        for (const std::string& line : block) page << roffLine(line) << '\n';
        if (preformatted) page << ".fi\n";
    }
}

void optionList(std::ostream& page, const std::vector<OptionSpec>& options)
{
    for (const OptionSpec& option : options) {
        page << ".TP\n\\fB" << roffText(option.name) << "\\fR";
        if (!option.argument.empty()) page << " \\fI" << roffText(option.argument) << "\\fR";
        page << '\n' << roffLine(option.help + (option.repeatable ? " (repeatable)" : "")) << '\n';
    }
}

void title(std::ostream& page, const std::string& name, const std::string& summary, const std::string& version)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    page << ".\\\" Made from the declarations of mindaro's commands when VARNO is built.\n"
         << ".TH " << roffText(upper) << " 1 \"\" \"VARNO " << roffText(version) << "\" \"VARNO manual\"\n"
         << ".nh\n.ad l\n"
         << ".SH NAME\n"
         << roffText(name) << " \\- " << roffText(summary) << '\n';
}

std::string commandPageName(const CommandSpec& command)
{
    return "mindaro-" + command.name;
}

std::string commandPage(const ProgramDeclaration& program, const CommandSpec& command, const std::string& version)
{
    std::ostringstream page;
    title(page, commandPageName(command), command.summary, version);
    page << ".SH SYNOPSIS\n\\fBmindaro " << roffText(command.name) << "\\fR";
    if (!command.arguments.empty()) page << " \\fI" << roffText(command.arguments) << "\\fR";
    if (!command.options.empty()) page << " [\\fIoptions\\fR]";
    page << "\n.SH DESCRIPTION\n";
    paragraphs(page, command.description.empty() ? command.summary + "." : command.description);
    page << ".SH OPTIONS\n";
    optionList(page, helpOptions(command));
    page << ".SH EXIT STATUS\n";
    paragraphs(page, program.exitStatus);
    page << ".SH SEE ALSO\n.BR mindaro (1)\n";
    return page.str();
}

std::string programPage(const ProgramDeclaration& program, const std::vector<const CommandSpec*>& commands,
                        const std::string& version)
{
    std::ostringstream page;
    title(page, "mindaro", program.summary, version);
    page << ".SH SYNOPSIS\n\\fBmindaro\\fR \\fI" << roffText(program.usage) << "\\fR\n.SH DESCRIPTION\n";
    paragraphs(page, program.description);
    page << ".PP\nEach command explains itself with \\fB\\-\\-help\\fR and in its own page.\n.SH COMMANDS\n";
    for (const CommandSpec* command : commands)
        page << ".TP\n\\fB" << roffText(command->name) << "\\fR\n"
             << roffLine(command->summary) << "; see \\fB" << roffText(commandPageName(*command)) << "\\fR(1).\n";
    page << ".SH OPTIONS\n";
    optionList(page, program.options);
    page << ".SH ENVIRONMENT\n";
    paragraphs(page, program.environment);
    page << ".SH FILES\n";
    paragraphs(page, program.files);
    page << ".SH EXIT STATUS\n";
    paragraphs(page, program.exitStatus);
    page << ".SH SEE ALSO\n";
    for (std::size_t index = 0; index < commands.size(); ++index)
        page << ".BR " << roffText(commandPageName(*commands[index])) << " (1)" << (index + 1 < commands.size() ? "," : "")
             << '\n';
    return page.str();
}

// A word that the completion script may hold without quoting.
bool plainWord(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '+' || c == '=';
    });
}

std::string joinedWords(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
        if (plainWord(word)) text += (text.empty() ? "" : " ") + word;
    return text;
}

// The choices of an option whose argument lists them: "0|1|2".
std::vector<std::string> choices(const OptionSpec& option)
{
    std::vector<std::string> words;
    if (option.argument.find('|') == std::string::npos || option.argument.find(' ') != std::string::npos) return words;
    std::istringstream stream(option.argument);
    for (std::string word; std::getline(stream, word, '|');) words.push_back(word);
    return words;
}

std::vector<std::string> optionNames(const std::vector<OptionSpec>& options)
{
    std::vector<std::string> names;
    for (const OptionSpec& option : options) names.push_back(option.name);
    return names;
}

// The "case $previous in" branches that offer an option's choices.
std::string choiceBranches(const std::vector<OptionSpec>& options, const std::string& indent)
{
    std::string text;
    for (const OptionSpec& option : options) {
        const std::vector<std::string> words = choices(option);
        if (words.empty() || !plainWord(option.name)) continue;
        text += indent + option.name + ") COMPREPLY=($(compgen -W \"" + joinedWords(words) +
                "\" -- \"$current\")); return ;;\n";
    }
    return text;
}

}  // namespace

std::vector<ManualPage> manualPages(const ProgramDeclaration& program, const std::vector<const CommandSpec*>& commands,
                                    const std::string& version)
{
    std::vector<ManualPage> pages{{"mindaro.1", programPage(program, commands, version)}};
    for (const CommandSpec* command : commands)
        pages.push_back({commandPageName(*command) + ".1", commandPage(program, *command, version)});
    return pages;
}

std::string bashCompletion(const ProgramDeclaration& program, const std::vector<const CommandSpec*>& commands)
{
    std::vector<std::string> commandNames;
    std::string valuedProgramOptions;
    for (const CommandSpec* command : commands) commandNames.push_back(command->name);
    for (const OptionSpec& option : program.options)
        if (!option.argument.empty() && plainWord(option.name))
            valuedProgramOptions += (valuedProgramOptions.empty() ? "" : "|") + option.name;

    std::ostringstream script;
    script << "# bash completion of mindaro, made from the declarations of its commands when VARNO is built.\n"
              "_mindaro()\n{\n"
              "    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD-1]}\n"
              "    local index=1 command=\n"
              "    # The command is the first word after the program's own options.\n"
              "    while [ \"$index\" -lt \"$COMP_CWORD\" ]; do\n"
              "        case ${COMP_WORDS[index]} in\n";
    if (!valuedProgramOptions.empty()) script << "            " << valuedProgramOptions << ") index=$((index + 2)) ;;\n";
    script << "            -*) index=$((index + 1)) ;;\n"
              "            *) command=${COMP_WORDS[index]}; break ;;\n"
              "        esac\n"
              "    done\n"
              "    local options\n"
              "    case $command in\n"
              "        '')\n";
    if (!valuedProgramOptions.empty())
        script << "            case $previous in " << valuedProgramOptions << ") return ;; esac\n";
    script << "            if [[ $current != -* ]]; then\n"
              "                COMPREPLY=($(compgen -W \""
           << joinedWords(commandNames)
           << "\" -- \"$current\"))\n"
              "                return\n"
              "            fi\n"
              "            options=\""
           << joinedWords(optionNames(program.options)) << "\" ;;\n";
    for (const CommandSpec* command : commands) {
        if (!plainWord(command->name)) continue;
        const std::vector<OptionSpec> options = helpOptions(*command);
        script << "        " << command->name << ")\n";
        const std::string branches = choiceBranches(options, "                ");
        if (!branches.empty()) script << "            case $previous in\n" << branches << "            esac\n";
        script << "            options=\"" << joinedWords(optionNames(options)) << "\" ;;\n";
    }
    script << "        *) return ;;\n"
              "    esac\n"
              "    if [[ $current == -* ]]; then\n"
              "        COMPREPLY=($(compgen -W \"$options\" -- \"$current\"))\n"
              "    fi\n"
              "}\n"
              "complete -o default -F _mindaro mindaro\n";
    return script.str();
}
