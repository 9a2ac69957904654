// SPDX-License-Identifier: GPL-3.0-or-later
// Running the Windows build under Wine from a Linux test: Mindaro.exe with varno.dll, the
// Linux build's mindaro beside it for comparison, and the Wine drive that C: maps to.
#pragma once

#include <string>
#include <vector>

#include "support/runprocess.h"

// The Windows build's bin folder (environment VARNO_WINDOWS_BIN_DIR, set by
// "build.sh test-windows").
std::string windowsBinDir();

// Runs Mindaro.exe under Wine (VARNO_WINE, default /usr/lib/wine/wine64) with the
// arguments in the folder, the test's environment plus the entries given. Wine's prefix
// comes from WINEPREFIX. The console's CR LF line ends are read back as LF.
ProcessResult runWindowsHost(const std::vector<std::string>& arguments, const std::string& folder,
                             const std::vector<std::string>& environment = {});

// Runs the Linux build's mindaro with the arguments in the folder.
ProcessResult runLinuxHost(const std::vector<std::string>& arguments, const std::string& folder);

// A Windows program's file given to Wine (its own path, not through the host).
ProcessResult runUnderWine(const std::vector<std::string>& command, const std::string& folder,
                           const std::vector<std::string>& environment = {});

// The Linux folder that Wine shows as drive C:.
std::string driveC();

// A fresh folder on drive C: (C:\varno-test-NNN), removed with the object.
class DriveCFolder {
public:
    DriveCFolder();
    ~DriveCFolder();
    DriveCFolder(const DriveCFolder&) = delete;
    DriveCFolder& operator=(const DriveCFolder&) = delete;

    // "C:\varno-test-NNN" and its Linux path.
    const std::string& windowsPath() const { return windowsFolder; }
    const std::string& linuxPath() const { return unixFolder; }

private:
    std::string windowsFolder;
    std::string unixFolder;
};
