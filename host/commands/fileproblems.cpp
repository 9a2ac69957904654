// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands/fileproblems.h"

#include <iostream>
#include <sstream>

#include "boundary/hoststate.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"

namespace {

std::string extentText(int x, int y, int z)
{
    return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(z);
}

template <class Header>
std::optional<FileProblem> headerProblem(const Header& h, const std::string& path, bool diffusion)
{
    const char* const extension = diffusion ? ".dwi" : ".stc";
    std::string missing;
    for (const auto& [key, present] : {std::pair{"NrOfVolumes", h.NrOfVolumes.present},
                                       {"NrOfSlices", h.NrOfSlices.present},
                                       {"ResolutionX", h.ResolutionX.present},
                                       {"ResolutionY", h.ResolutionY.present},
                                       {"Prefix", h.Prefix.present}})
        if (!present) missing += (missing.empty() ? "" : ", ") + std::string(key);
    if (!missing.empty())
        return FileProblem{path, path + " does not give " + missing +
                                     ", which its data need (a header cut short, or a value that does not parse, "
                                     "ends the reading)"};
    if (h.Prefix.value.empty())
        return FileProblem{path, path + " gives an empty Prefix, so its data file has no name; expected Prefix: "
                                        "\"NAME\" naming NAME" + extension + " beside the header"};
    if (diffusion && h.DataStorageFormat.value != 3)
        return FileProblem{path, path + " has DataStorageFormat " + std::to_string(h.DataStorageFormat.value) +
                                     "; only DataStorageFormat 3 (the volumes stored one after the other) can be "
                                     "read. Save the project again in the host's current format."};
    const std::string data = h.dataFilePath(extension);
    try {
        checkVoxelData(h);
    } catch (const OpenFileError&) {
        return FileProblem{data, "the data file " + data + " of " + path + " cannot be opened"};
    } catch (const IOError& error) {
        const std::string text = error.what();
        return FileProblem{text.find(data) != std::string::npos ? data : path, text};
    }
    return std::nullopt;
}

bool mentions(const std::string& message, const std::string& file)
{
    return !file.empty() && message.find(file) != std::string::npos;
}

std::optional<std::string> extentOf(const std::string& path, bool map)
{
    try {
        if (map) {
            const VdmMapFile file = readVdmMapFile(path, false);
            return extentText(file.nx, file.ny, file.nz);
        }
        const auto extent = [](const ProjectHeader& h) {
            return extentText(h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value);
        };
        return hasExtension(path, "fmr") ? extent(readFmrHeader(path, false)) : extent(readDmrHeader(path, false));
    } catch (const IOError&) {
        return std::nullopt;
    }
}

// "the extents differ: AP_vdm.map 16 x 16 x 4, wide.fmr 20 x 16 x 4"; empty when fewer
// than two extents are known.
std::string extentsCompared(const std::vector<std::string>& maps, const std::vector<std::string>& projects)
{
    std::vector<std::pair<std::string, std::string>> known;
    for (const std::string& map : maps)
        if (const auto extent = extentOf(map, true)) known.emplace_back(map, *extent);
    for (const std::string& project : projects)
        if (const auto extent = extentOf(project, false))
            if (known.empty() || *extent != known.front().second) known.emplace_back(project, *extent);
    if (known.size() < 2) return "";
    std::string text = "the extents differ:";
    for (std::size_t i = 0; i < known.size(); ++i)
        text += (i == 0 ? " " : ", ") + known[i].first + " " + known[i].second;
    return text;
}

}  // namespace

std::optional<FileProblem> projectProblem(const std::string& path)
{
    try {
        if (hasExtension(path, "fmr")) return headerProblem(readFmrHeader(path, false), path, false);
        return headerProblem(readDmrHeader(path, false), path, true);
    } catch (const OpenFileError&) {
        return FileProblem{path, path + " cannot be opened as a file"};
    }
}

std::optional<FileProblem> mapProblem(const std::string& path)
{
    const std::string problem = vdmMapFileProblem(path);
    if (problem.empty()) return std::nullopt;
    return FileProblem{path, problem};
}

std::string projectSummary(const std::string& path)
{
    const bool fmr = hasExtension(path, "fmr");
    const auto summary = [&](const ProjectHeader& h) {
        std::ostringstream text;
        text << path << ": " << (fmr ? "FMR" : "DMR") << " project, "
             << extentText(h.ResolutionX.value, h.ResolutionY.value, h.NrOfSlices.value) << ", " << h.NrOfVolumes.value
             << (h.NrOfVolumes.value == 1 ? " volume" : " volumes") << " of "
             << (h.DataType.present && h.DataType.value == 2 ? "float" : "int16") << " in "
             << h.dataFilePath(fmr ? ".stc" : ".dwi") << ", voxels " << h.InplaneResolutionX.value << " x "
             << h.InplaneResolutionY.value << " x " << h.SliceThickness.value + h.SliceGap.value;
        return text.str();
    };
    return fmr ? summary(readFmrHeader(path, false)) : summary(readDmrHeader(path, false));
}

void explainFailedTask(const std::string& command, const std::vector<std::string>& maps,
                       const std::vector<std::string>& projects)
{
    const std::vector<std::string>& messages = hostState().messages;
    if (messages.empty()) return;
    const std::string& shown = messages.back();
    const auto say = [&](const std::string& text) { std::cerr << "mindaro " << command << ": " << text << '\n'; };
    if (mentions(shown, "All datasets must have the same dimensions!")) {
        if (const std::string extents = extentsCompared(maps, projects); !extents.empty()) say(extents);
        return;
    }
    for (const std::string& map : maps)
        if (const auto problem = mapProblem(map); problem && !mentions(shown, problem->file)) return say(problem->text);
    // A message that names a project only as the one without Prefix says less than the
    // problem found in its header.
    const bool onlyNamed = mentions(shown, "whose header gives no Prefix");
    for (const std::string& project : projects)
        if (const auto problem = projectProblem(project); problem && (onlyNamed || !mentions(shown, problem->file)))
            return say(problem->text);
}
