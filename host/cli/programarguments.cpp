// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/programarguments.h"

#include "cli/commandline.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

namespace {

// True when the code page holds every character of the text.
bool fitsCodePage(const wchar_t* text)
{
    BOOL lost = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, &lost);
    return length > 0 && !lost;
}

}  // namespace

std::vector<std::string> programArguments(int argc, char** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int index = 1; index < count; ++index) {
            if (fitsCodePage(wide[index])) continue;
            const std::string shown = index < argc ? argv[index] : std::string();
            LocalFree(wide);
            throw UsageError("the argument \"" + shown + "\" holds characters that the system's ANSI code page (" +
                             std::to_string(GetACP()) +
                             ") cannot represent (shown as \"?\"); the plug-in opens files by names in that code "
                             "page. Use a path and names without them.");
        }
        LocalFree(wide);
    }
    return std::vector<std::string>(argv + 1, argv + argc);
}

#else

std::vector<std::string> programArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

#endif
