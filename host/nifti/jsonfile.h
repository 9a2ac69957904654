// SPDX-License-Identifier: GPL-3.0-or-later
// JSON files of the BIDS layout (sidecars), read within bounds and written whole.
// A sidecar is a few kilobytes of flat keys; the bounds keep a hostile file from
// exhausting memory or the stack of every later step that copies or prints it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

constexpr std::uintmax_t kLargestJsonBytes = std::uintmax_t{16} << 20;
constexpr int kDeepestJsonNesting = 64;

class JsonFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the file; throws JsonFileError naming it ("The sidecar PATH ...", kind being
// "sidecar") when it is no regular file, is larger than kLargestJsonBytes, nests arrays
// and objects deeper than kDeepestJsonNesting levels or is not valid JSON.
nlohmann::json readJsonFile(const std::string& path, const std::string& kind = "JSON file");

// Writes the value, indented by two, under a temporary name renamed into place; throws
// JsonFileError when the file cannot be written.
void writeJsonFile(const std::string& path, const nlohmann::json& content);
