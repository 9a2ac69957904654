// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/bidsname.h"

#include <algorithm>
#include <cctype>

namespace {

bool isLabel(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

}  // namespace

std::string BidsName::entity(const std::string& key) const
{
    for (const auto& [name, label] : entities)
        if (name == key) return label;
    return {};
}

BidsName BidsName::with(const std::string& key, const std::string& label) const
{
    BidsName result = *this;
    auto& list = result.entities;
    const auto found = std::find_if(list.begin(), list.end(), [&](const auto& entry) { return entry.first == key; });
    if (label.empty()) {
        if (found != list.end()) list.erase(found);
    } else if (found != list.end()) {
        found->second = label;
    } else {
        list.emplace_back(key, label);
    }
    return result;
}

std::string BidsName::text() const
{
    std::string name;
    for (const auto& [key, label] : entities) name += key + "-" + label + "_";
    return name + suffix + extension;
}

std::optional<BidsName> parseBidsName(const std::string& fileName)
{
    const std::size_t dot = fileName.find('.');
    const std::string stem = fileName.substr(0, dot);
    BidsName name;
    name.extension = dot == std::string::npos ? std::string() : fileName.substr(dot);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = stem.find('_', start);
        const std::string part = stem.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) {
            if (!isLabel(part)) return std::nullopt;
            name.suffix = part;
            return name;
        }
        const std::size_t dash = part.find('-');
        if (dash == std::string::npos || !isLabel(part.substr(0, dash)) || !isLabel(part.substr(dash + 1)))
            return std::nullopt;
        name.entities.emplace_back(part.substr(0, dash), part.substr(dash + 1));
        start = end + 1;
    }
}

std::string withoutPrefix(const std::string& label, const std::string& key)
{
    const std::string prefix = key + "-";
    return label.rfind(prefix, 0) == 0 ? label.substr(prefix.size()) : label;
}
