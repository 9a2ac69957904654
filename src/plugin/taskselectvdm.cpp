// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstring>

#include "plugin/hostapi.h"
#include "plugin/parameters.h"
#include "plugin/tasks.h"

void taskSelectVdm()
{
    char path[kOpenFileNameBufferSize] = {};
    hostApi.hsGetOpenFileName("Please select an VDM.", "", "*_vdm.map", path);
    writeStringParameter("filename", std::string(path, strnlen(path, sizeof path)));
}
