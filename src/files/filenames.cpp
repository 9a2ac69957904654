// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/filenames.h"

std::string fileNamePart(const std::string& name)
{
    const auto separator = name.find_last_of("/\\");
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

std::string directoryPart(const std::string& name)
{
    const auto separator = name.find_last_of("/\\");
    return separator == std::string::npos ? std::string() : name.substr(0, separator + 1);
}

std::string stripExtension(const std::string& name)
{
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string replaceExtension(const std::string& name, const std::string& extension)
{
    return stripExtension(name) + "." + extension;
}

std::string insertSuffix(const std::string& name, const std::string& suffix)
{
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool hasExtension(const std::string& name, const std::string& extension)
{
    const std::string ending = "." + extension;
    return name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
}
