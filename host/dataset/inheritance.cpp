// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/inheritance.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "dataset/bidsname.h"
#include "nifti/jsonfile.h"

namespace fs = std::filesystem;

namespace {

bool applies(const BidsName& sidecar, const BidsName& data)
{
    if (sidecar.suffix != data.suffix || sidecar.extension != ".json") return false;
    return std::all_of(sidecar.entities.begin(), sidecar.entities.end(),
                       [&](const auto& entry) { return data.entity(entry.first) == entry.second; });
}

nlohmann::json readObject(const fs::path& path)
{
    nlohmann::json content;
    try {
        content = readJsonFile(path.string(), "sidecar");
    } catch (const JsonFileError& error) {
        throw std::runtime_error(error.what());
    }
    if (!content.is_object()) throw std::runtime_error("The sidecar " + path.string() + " does not hold a JSON object.");
    return content;
}

}  // namespace

InheritedMetadata inheritedMetadata(const std::string& root, const std::string& dataFile)
{
    InheritedMetadata result;
    const std::optional<BidsName> data = parseBidsName(fs::path(dataFile).filename().string());
    if (!data) return result;
    const fs::path top = fs::path(root).lexically_normal();
    const fs::path relative = fs::path(dataFile).lexically_normal().lexically_relative(top);
    std::vector<fs::path> folders{top};
    fs::path folder = top;
    for (auto part = relative.begin(); part != relative.end() && std::next(part) != relative.end(); ++part)
        folders.push_back(folder /= *part);
    for (const fs::path& level : folders) {
        std::vector<std::pair<std::size_t, fs::path>> found;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(level, error)) {
            if (!entry.is_regular_file()) continue;
            const std::optional<BidsName> name = parseBidsName(entry.path().filename().string());
            if (name && applies(*name, *data)) found.emplace_back(name->entities.size(), entry.path());
        }
        std::sort(found.begin(), found.end());
        for (const auto& [count, path] : found) {
            result.content.update(readObject(path));
            result.sources.push_back(path.string());
        }
    }
    return result;
}

std::vector<std::string> metadataStrings(const nlohmann::json& content, const std::string& key)
{
    std::vector<std::string> values;
    const auto entry = content.find(key);
    if (entry == content.end()) return values;
    if (entry->is_string()) values.push_back(entry->get<std::string>());
    if (entry->is_array())
        for (const nlohmann::json& value : *entry)
            if (value.is_string()) values.push_back(value.get<std::string>());
    return values;
}
