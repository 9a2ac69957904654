// SPDX-License-Identifier: GPL-3.0-or-later
// BIDS file names: "sub-01_ses-1_task-rest_dir-AP_bold.nii.gz" is the entities sub, ses,
// task and dir with their labels, the suffix "bold" and the extension ".nii.gz".
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct BidsName {
    std::vector<std::pair<std::string, std::string>> entities;  // in the order of the name
    std::string suffix;
    std::string extension;  // from the first dot of the file name on

    // The label of an entity; empty when the name lacks it.
    std::string entity(const std::string& key) const;
    // The same name with the entity's label replaced, or added at the end; an empty
    // label removes the entity.
    BidsName with(const std::string& key, const std::string& label) const;
    std::string text() const;
};

// Nothing for names that are not key-label pairs joined by "_" and ending in a suffix.
std::optional<BidsName> parseBidsName(const std::string& fileName);

// "01" for "sub-01" and for "01".
std::string withoutPrefix(const std::string& label, const std::string& key);
