// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/workflow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/vdm.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"

ProcessResult Workspace::mindaro(const std::vector<std::string>& arguments) const
{
    return mindaroIn(folder.path(), arguments);
}

void Workspace::simulate(const std::string& directory, const std::vector<std::string>& options) const
{
    std::vector<std::string> arguments{"simulate", directory};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProcessResult result = mindaro(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
}

FolderContents Workspace::contents() const
{
    return folderContents(folder.path());
}

void Workspace::write(const std::string& relative, const std::string& text) const
{
    std::ofstream(path(relative), std::ios::binary) << text;
}

void Workspace::setHeaderLine(const std::string& relative, const std::string& key, const std::string& value) const
{
    std::istringstream lines(readWhole(path(relative)));
    std::string text;
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            const bool carriageReturn = !line.empty() && line.back() == '\r';
            line = key + ": " + value + (carriageReturn ? "\r" : "");
            found = true;
        }
        text += line + "\n";
    }
    ASSERT_TRUE(found) << key << " in " << relative;
    write(relative, text);
}

FolderContents folderContents(const std::string& folder)
{
    FolderContents contents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            contents[std::filesystem::relative(entry.path(), folder).string()] = readWhole(entry.path().string());
    return contents;
}

std::set<std::string> addedFiles(const FolderContents& before, const FolderContents& after)
{
    std::set<std::string> added;
    for (const auto& [name, bytes] : after)
        if (before.count(name) == 0) added.insert(name);
    return added;
}

std::set<std::string> changedFiles(const FolderContents& before, const FolderContents& after)
{
    std::set<std::string> changed;
    for (const auto& [name, bytes] : before) {
        const auto found = after.find(name);
        if (found == after.end() || found->second != bytes) changed.insert(name);
    }
    return changed;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<Volume> readProjectVolumes(const std::string& path)
{
    if (hasExtension(path, "fmr")) return readFmrHeader(path, true).volumes;
    return readDmrHeader(path, true).volumes;
}

Volume mapVolume(const std::string& path)
{
    return readVdmMapFile(path, true).map;
}

Volume expectedStoredCopy(const Volume& volume, const Volume& workingMap, bool transposed, bool floatData,
                          bool intensityCorrection)
{
    Volume copy = undistort(volume, workingMap, transposed, intensityCorrection);
    if (floatData) return copy;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const float value = copy[i];
        copy[i] = std::isnan(value)       ? 0.0f
                  : value >= 32767.0f     ? 32767.0f
                  : value <= -32768.0f    ? -32768.0f
                                          : std::trunc(value);
    }
    return copy;
}

Agreement agreementOver(const Volume& a, const Volume& b, const std::vector<std::size_t>& voxels)
{
    const double n = static_cast<double>(voxels.size());
    double meanA = 0.0;
    double meanB = 0.0;
    for (const std::size_t i : voxels) {
        meanA += a[i];
        meanB += b[i];
    }
    meanA /= n;
    meanB /= n;
    double covariance = 0.0;
    double varianceA = 0.0;
    double varianceB = 0.0;
    double squares = 0.0;
    for (const std::size_t i : voxels) {
        const double da = a[i] - meanA;
        const double db = b[i] - meanB;
        covariance += da * db;
        varianceA += da * da;
        varianceB += db * db;
        squares += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
    }
    return {covariance / std::sqrt(varianceA * varianceB), squares / n};
}

std::vector<std::size_t> voxelsAbove(const Volume& volume, float threshold)
{
    std::vector<std::size_t> voxels;
    for (std::size_t i = 0; i < volume.size(); ++i)
        if (volume[i] > threshold) voxels.push_back(i);
    return voxels;
}

std::size_t differingVoxels(const Volume& a, const Volume& b)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i])) ++count;
    return count;
}
