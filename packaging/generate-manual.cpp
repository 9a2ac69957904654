// SPDX-License-Identifier: GPL-3.0-or-later
// Writes mindaro's manual pages and bash completion from the declarations of its commands,
// while VARNO is built:
//   varno_manual FOLDER   ->  FOLDER/man1/mindaro.1, FOLDER/man1/mindaro-COMMAND.1, ...
//                             FOLDER/completions/mindaro
// Pages of commands that no longer exist are removed.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

#include "cli/commands.h"
#include "cli/manual.h"
#include "core/version.h"

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: varno_manual FOLDER\n";
        return 2;
    }
    try {
        const fs::path folder = argv[1];
        std::vector<const CommandSpec*> commands;
        for (const CommandEntry& command : allCommands()) commands.push_back(command.declaration);

        fs::create_directories(folder / "man1");
        fs::create_directories(folder / "completions");
        std::set<fs::path> written;
        for (const ManualPage& page : manualPages(programDeclaration(), commands, kVarnoVersion)) {
            writeText(folder / "man1" / page.fileName, page.text);
            written.insert(folder / "man1" / page.fileName);
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(folder / "man1"))
            if (!written.count(entry.path())) fs::remove(entry.path());
        writeText(folder / "completions" / "mindaro", bashCompletion(programDeclaration(), commands));
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "varno_manual: " << error.what() << '\n';
        return 1;
    }
}
