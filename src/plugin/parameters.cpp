// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/parameters.h"

#include <cstring>

#include "plugin/hostapi.h"

namespace {

// The host's parameter services take names and values as writable texts.
std::vector<char> writableCopy(const std::string& text)
{
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return copy;
}

}  // namespace

std::string readStringParameter(const std::string& name)
{
    std::vector<char> writableName = writableCopy(name);
    std::vector<char> value(kStringParameterBufferSize, '\0');
    hostApi.hsGetStringParameter(writableName.data(), value.data());
    return std::string(value.data(), strnlen(value.data(), value.size()));
}

int readIntParameter(const std::string& name)
{
    std::vector<char> writableName = writableCopy(name);
    return hostApi.hsGetIntParameter(writableName.data());
}

bool readFlagParameter(const std::string& name)
{
    return readIntParameter(name) != 0;
}

void writeStringParameter(const std::string& name, const std::string& value)
{
    std::vector<char> writableName = writableCopy(name);
    std::vector<char> writableValue = writableCopy(value);
    hostApi.hsSetStringParameter(writableName.data(), writableValue.data());
}

void writeIntParameter(const std::string& name, int value)
{
    std::vector<char> writableName = writableCopy(name);
    hostApi.hsSetIntParameter(writableName.data(), value);
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
