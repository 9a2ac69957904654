// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the JSON files (sidecars, records) that the end-to-end tests check.
#pragma once

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

inline nlohmann::json readJson(const std::string& path)
{
    std::ifstream file(path);
    return nlohmann::json::parse(file);
}
