// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/temporaryfolder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

TemporaryFolder::TemporaryFolder()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / ("varno-test-" + std::to_string(random() % 1000000000000));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            folder = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder in " + base.string());
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

std::string TemporaryFolder::write(const std::string& name, const std::string& contents) const
{
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string readWhole(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}
