// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
// Only a console has a console mode; the C library's isatty also says yes for NUL.
bool isConsole(DWORD standardHandle)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(standardHandle), &mode) != 0;
}
#endif

}  // namespace

bool inputIsTerminal()
{
#if defined(_WIN32)
    return isConsole(STD_INPUT_HANDLE);
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

bool errorIsTerminal()
{
#if defined(_WIN32)
    return isConsole(STD_ERROR_HANDLE);
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}
