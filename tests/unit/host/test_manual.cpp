// SPDX-License-Identifier: GPL-3.0-or-later
// The manual pages and the bash completion made from the commands' declarations: every page
// rendered by groff without a warning, saying every option with its help; text that roff
// would take for requests or escapes shown as written; and the completion, run in bash,
// offering every command and every option of each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "cli/commands.h"
#include "cli/manual.h"
#include "support/runprocess.h"

namespace {

std::vector<const CommandSpec*> declaredCommands()
{
    std::vector<const CommandSpec*> commands;
    for (const CommandEntry& command : allCommands()) commands.push_back(command.declaration);
    return commands;
}

// Runs of white space as one space, so that text filled into lines of any width compares.
std::string singleSpaced(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!result.empty() && result.back() != ' ') result += ' ';
        } else {
            result += c;
        }
    }
    return result;
}

struct Rendered {
    std::string text;
    std::string warnings;
};

// The page as man shows it on a terminal, through groff with every warning enabled.
Rendered render(const TemporaryFolder& folder, const ManualPage& page)
{
    const std::string path = folder.write(page.fileName, page.text);
    const ProcessResult result = runProcess({"/usr/bin/groff", "-man", "-Tutf8", "-ww", "-P-cbou", path}, folder.path());
    EXPECT_EQ(result.status, 0) << page.fileName << ": " << result.err;
    return {result.out, result.err};
}

const ManualPage* findPage(const std::vector<ManualPage>& pages, const std::string& name)
{
    const auto found = std::find_if(pages.begin(), pages.end(), [&](const ManualPage& page) { return page.fileName == name; });
    return found == pages.end() ? nullptr : &*found;
}

}  // namespace

TEST(ManualPages, EveryCommandHasAPageThatSaysEachOfItsOptions)
{
    const TemporaryFolder folder;
    const std::vector<const CommandSpec*> commands = declaredCommands();
    const std::vector<ManualPage> pages = manualPages(programDeclaration(), commands, "9.8.7");
    ASSERT_EQ(pages.size(), commands.size() + 1);

    const ManualPage* program = findPage(pages, "mindaro.1");
    ASSERT_NE(program, nullptr);
    const Rendered overview = render(folder, *program);
    EXPECT_EQ(overview.warnings, "");
    const std::string overviewText = singleSpaced(overview.text);
    EXPECT_NE(overviewText.find("mindaro - " + programDeclaration().summary), std::string::npos) << overviewText;
    EXPECT_NE(overviewText.find("VARNO 9.8.7"), std::string::npos);
    for (const OptionSpec& option : programDeclaration().options)
        EXPECT_NE(overviewText.find(singleSpaced(option.name + " " + option.argument + " " + option.help)), std::string::npos)
            << option.name;

    for (const CommandSpec* command : commands) {
        SCOPED_TRACE(command->name);
        EXPECT_NE(overviewText.find(command->name + " " + singleSpaced(command->summary) + "; see mindaro-" + command->name + "(1)."),
                  std::string::npos);
        const ManualPage* page = findPage(pages, "mindaro-" + command->name + ".1");
        ASSERT_NE(page, nullptr);
        const Rendered rendered = render(folder, *page);
        EXPECT_EQ(rendered.warnings, "");
        const std::string text = singleSpaced(rendered.text);
        EXPECT_NE(text.find("mindaro-" + command->name + " - " + singleSpaced(command->summary)), std::string::npos) << text;
        EXPECT_NE(text.find("SYNOPSIS mindaro " + command->name), std::string::npos) << text;
        if (!command->description.empty()) {
            EXPECT_NE(text.find(singleSpaced(command->description)), std::string::npos) << text;
        }
        for (const OptionSpec& option : helpOptions(*command)) {
            const std::string head = option.argument.empty() ? option.name : option.name + " " + option.argument;
            EXPECT_NE(text.find(head + " " + singleSpaced(option.help) + (option.repeatable ? " (repeatable)" : "")),
                      std::string::npos)
                << option.name << " in\n" << text;
        }
    }
}

TEST(ManualPages, TextThatRoffWouldInterpretIsShownAsWritten)
{
    const CommandSpec command{
        .name = "odd",
        .arguments = "C:\\IN",
        .minimumArguments = 1,
        .maximumArguments = 1,
        .summary = "a summary with a backslash \\n and 5 \xC2\xB5s",
        .description = "First paragraph, its lines\nfilled together.\n.SH looks like a request\n'also like one\n\n"
                       "An example keeps its lines:\n  mindaro odd C:\\data\\AP.fmr\n  --twice   indented",
        .options = {{"--from", "A|B", "\\fB not bold \\fR", true}},
    };
    const TemporaryFolder folder;
    const std::vector<ManualPage> pages = manualPages(programDeclaration(), {&command}, "1.0.0");
    const Rendered rendered = render(folder, pages.at(1));
    EXPECT_EQ(rendered.warnings, "");
    EXPECT_NE(rendered.text.find("a summary with a backslash \\n and 5 \xC2\xB5s"), std::string::npos) << rendered.text;
    EXPECT_NE(singleSpaced(rendered.text).find("First paragraph, its lines filled together. .SH looks like a request 'also like one"),
              std::string::npos)
        << rendered.text;
    EXPECT_NE(rendered.text.find("  mindaro odd C:\\data\\AP.fmr\n"), std::string::npos) << rendered.text;
    EXPECT_NE(rendered.text.find("  --twice   indented\n"), std::string::npos) << rendered.text;
    EXPECT_NE(singleSpaced(rendered.text).find("--from A|B \\fB not bold \\fR (repeatable)"), std::string::npos) << rendered.text;
    EXPECT_NE(rendered.text.find("mindaro odd C:\\IN"), std::string::npos) << rendered.text;
}

TEST(BashCompletion, OffersEveryCommandEveryOptionAndTheChoicesOfAnOption)
{
    const std::vector<const CommandSpec*> commands = declaredCommands();
    const TemporaryFolder folder;
    const std::string script = folder.write("mindaro", bashCompletion(programDeclaration(), commands));

    // Each case: the words typed so far, the last one being completed; and what must come back.
    std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"cor"}, "correct"},
        {{"--plugin", "x.so", "cor"}, "correct"},
        {{"--ver"}, "--version"},
        {{"estimate", "a.fmr", "--order", ""}, "0 1 2"},
        {{"correct", "--pe-dir", "j"}, "j j-"},
        {{"correct", "--out", ""}, ""},
        {{"nosuchcommand", "--"}, ""},
    };
    for (const CommandSpec* command : commands) {
        cases.push_back({{command->name.substr(0, command->name.size() - 1)}, command->name});
        for (const OptionSpec& option : helpOptions(*command)) cases.push_back({{command->name, option.name}, option.name});
    }
    std::string driver = "source '" + script + "'\n";
    for (const auto& [words, expected] : cases) {
        driver += "COMP_WORDS=(mindaro";
        for (const std::string& word : words) driver += " '" + word + "'";
        driver += "); COMP_CWORD=" + std::to_string(words.size()) + "; COMPREPLY=(); _mindaro; echo \"${COMPREPLY[*]}\"\n";
    }
    const ProcessResult result = runProcess({"/bin/bash", "-c", driver}, folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> replies;
    for (std::size_t start = 0, end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1)
        replies.push_back(result.out.substr(start, end - start));
    ASSERT_EQ(replies.size(), cases.size()) << result.out;
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto& [words, expected] = cases[index];
        std::string typed;
        for (const std::string& word : words) typed += " " + word;
        if (expected.empty()) {
            EXPECT_EQ(replies[index], "") << "mindaro" << typed;
        } else {
            EXPECT_NE((" " + replies[index] + " ").find(" " + expected + " "), std::string::npos)
                << "mindaro" << typed << " gave [" << replies[index] << "]";
        }
    }
}

TEST(CommandHelp, DescriptionsAreBrokenIntoLinesOfATerminalsWidth)
{
    // The descriptions are printed as written, so their own line breaks must keep each line
    // within the width that the help's text is filled to.
    constexpr std::size_t kWidth = 100;
    for (const CommandSpec* command : declaredCommands()) {
        std::size_t start = 0;
        while (start <= command->description.size()) {
            const std::size_t end = std::min(command->description.find('\n', start), command->description.size());
            EXPECT_LE(end - start, kWidth) << command->name << ": " << command->description.substr(start, end - start);
            start = end + 1;
        }
    }
}
