// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstring>

#include "files/filenames.h"
#include "files/projectheader.h"
#include "plugin/hostapi.h"
#include "plugin/parameters.h"
#include "plugin/tasks.h"

void taskSelectFmrOrDmr()
{
    char buffer[kOpenFileNameBufferSize] = {};
    hostApi.hsGetOpenFileName("Please select an FMR or DMR project.", "", "*.fmr *.dmr", buffer);
    const std::string path(buffer, strnlen(buffer, sizeof buffer));

    if (hasExtension(path, "fmr")) {
        const FmrHeader project = readFmrHeader(path, false);
        writeIntParameter("nr_of_volumes", project.NrOfVolumes.value);
        writeIntParameter("display_volume", 1);
    } else if (hasExtension(path, "dmr")) {
        const DmrHeader project = readDmrHeader(path, true);
        writeIntParameter("nr_of_volumes", project.NrOfVolumes.value);
        writeIntParameter("display_volume", project.DisplayVolume.value + 1);
    }
    writeStringParameter("filename", path);
}
