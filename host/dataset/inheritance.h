// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata of a BIDS data file under the inheritance principle: every JSON file from
// the dataset's top folder down to the file's own folder whose suffix is the file's and
// whose entities are all among the file's, applied from the top down (a deeper file's
// keys replace a higher one's; in one folder, the file with fewer entities first).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct InheritedMetadata {
    nlohmann::json content = nlohmann::json::object();
    std::vector<std::string> sources;  // the JSON files applied, in order
};

// dataFile lies below root. Throws std::runtime_error naming a JSON file that cannot be
// read as an object.
InheritedMetadata inheritedMetadata(const std::string& root, const std::string& dataFile);

// The strings under key: one string, or the strings of a list (anything else left out);
// none when the key is absent.
std::vector<std::string> metadataStrings(const nlohmann::json& content, const std::string& key);
