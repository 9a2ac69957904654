// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/jsonfile.h"

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "files/stagedfile.h"
#include "files/diskspace.h"

namespace {

// The deepest nesting of arrays and objects in the text, brackets inside strings not
// counted; stops counting past limit.
int nestingDepth(const std::string& text, int limit)
{
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

nlohmann::json readJsonFile(const std::string& path, const std::string& kind)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) throw JsonFileError("The " + kind + " " + path + " is no regular file.");
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kLargestJsonBytes)
        throw JsonFileError("The " + kind + " " + path + " holds " + std::to_string(size) + " bytes, more than the " +
                            std::to_string(kLargestJsonBytes) + " that are read.");
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) throw JsonFileError("The " + kind + " " + path + " cannot be read.");
    if (nestingDepth(text, kDeepestJsonNesting) > kDeepestJsonNesting)
        throw JsonFileError("The " + kind + " " + path + " nests its values more than " +
                            std::to_string(kDeepestJsonNesting) + " levels deep.");
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& failure) {
        // "[json.exception.parse_error.101] parse error at line 1, ...": the part after the tag.
        const std::string text = failure.what();
        const std::size_t tagEnd = text.find("] ");
        throw JsonFileError("The " + kind + " " + path + " is not valid JSON: " +
                            (tagEnd == std::string::npos ? text : text.substr(tagEnd + 2)));
    }
}

void writeJsonFile(const std::string& path, const nlohmann::json& content)
{
    StagedFile staged(path);
    std::ofstream file(staged.writePath(), staged.writeMode());
    // Bytes that are not UTF-8 (a file name in another encoding) are written as U+FFFD.
    file << content.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    file.close();
    if (!file) {
        const int error = errno;
        throw JsonFileError("Cannot write " + path + diskFullNote(path, error));
    }
    staged.commit();
}
