// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/volumelists.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

std::vector<unsigned> listedVolumes(const std::string& list, std::size_t count, const std::string& path)
{
    std::vector<unsigned> volumes;
    if (list == "all") {
        for (std::size_t v = 0; v < count; ++v) volumes.push_back(static_cast<unsigned>(v));
        if (volumes.empty())
            throw std::runtime_error("Cannot use the volumes of file " + path + ", which has only 0 volumes.");
        return volumes;
    }
    const auto refuse = [&] {
        throw std::runtime_error("The volume list \"" + list + "\" for file " + path +
                                 " is neither \"all\" nor volume numbers counted from 0 and separated by commas (such "
                                 "as 0,1,2).");
    };
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, end - start);
        if (item.empty() || item.size() > 9 ||
            !std::all_of(item.begin(), item.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
            refuse();
        const unsigned volume = static_cast<unsigned>(std::stoul(item));
        if (volume >= count)
            throw std::runtime_error("Cannot use volume " + std::to_string(volume) + " of file " + path +
                                     ", which has only " + std::to_string(count) + " volumes.");
        if (std::find(volumes.begin(), volumes.end(), volume) != volumes.end())
            throw std::runtime_error("The volume list \"" + list + "\" for file " + path + " names volume " +
                                     std::to_string(volume) + " twice.");
        volumes.push_back(volume);
        if (end == list.size()) break;
        start = end + 1;
    }
    return volumes;
}
