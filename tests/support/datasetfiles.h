// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch folders and whole-file helpers for the tests of the project files.
#pragma once

#include "support/runprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchDir {
public:
    ScratchDir()
    {
        std::random_device seed;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("varno-") + (test ? test->name() : "test") + "-" +
                                 std::to_string(seed()) + std::to_string(seed());
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Path of a file in the folder, and the folder with its trailing separator.
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string path() const { return (path_ / "").string(); }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The text with every LF turned into CR LF, as the header writer ends its lines.
inline std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}
