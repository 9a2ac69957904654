// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog parameter values of any content, as a host hands them over, read through the
// plug-in's parameter readers and split into lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/hostapi.h"
#include "plugin/parameters.h"

namespace {

std::string hostValue;

// A well-behaved host: the value cut to fit the buffer, NUL-terminated.
void getStringParameter(char*, char* value)
{
    const std::size_t length = std::min(hostValue.size(), static_cast<std::size_t>(kStringParameterBufferSize - 1));
    std::memcpy(value, hostValue.data(), length);
    value[length] = '\0';
}

int getIntParameter(char* name)
{
    return static_cast<int>(std::strlen(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    hostApi.hsGetStringParameter = getStringParameter;
    hostApi.hsGetIntParameter = getIntParameter;
    hostValue.assign(reinterpret_cast<const char*>(data), size);

    const std::string files = readStringParameter("files");
    const std::string expected = hostValue.substr(0, std::min(hostValue.find('\0'), std::size_t{kStringParameterBufferSize - 1}));
    if (files != expected) std::abort();
    const std::string name = hostValue.substr(0, hostValue.find('\0'));
    if (readIntParameter(name) != static_cast<int>(name.size())) std::abort();

    // The pieces are the text without its newlines, none empty, none holding a newline.
    std::string joined;
    for (const std::string& line : splitLines(files)) {
        if (line.empty() || line.find('\n') != std::string::npos) std::abort();
        joined += line;
    }
    std::string withoutNewlines = files;
    withoutNewlines.erase(std::remove(withoutNewlines.begin(), withoutNewlines.end(), '\n'), withoutNewlines.end());
    if (joined != withoutNewlines) std::abort();
    return 0;
}
