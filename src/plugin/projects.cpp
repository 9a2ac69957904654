// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/projects.h"

#include <variant>

#include "core/threadpool.h"
#include "core/vdm.h"
#include "files/filenames.h"
#include "files/voxeldata.h"

namespace {

void undistortVolumes(const Volume& vdm, ProjectHeader& project, bool transposed, bool intensityCorrection)
{
    dropAnatomicalLink(project);
    forEachPiece(project.volumes.size(), [&](std::size_t v) {
        project.volumes[v] = undistort(project.volumes[v], vdm, transposed, intensityCorrection);
    });
}

}  // namespace

void dropAnatomicalLink(ProjectHeader& project)
{
    if (project.ShowAMRFile.present) project.ShowAMRFile.value = false;
    if (project.LoadAMRFile.present) project.LoadAMRFile.value.clear();
}

void saveCorrectedCopy(const std::string& path, Project& project,
                       const std::function<Volume(std::size_t, const Volume&)>& correct)
{
    std::visit(
        [&](auto& header) {
            dropAnatomicalLink(header);
            forEachPiece(header.volumes.size(), [&](std::size_t v) { header.volumes[v] = correct(v, header.volumes[v]); });
            header.saveAs(insertSuffix(path, "_undist"));
        },
        project);
}

Project readProject(const std::string& path)
{
    if (hasExtension(path, "fmr")) return readFmrHeader(path, true);
    return readDmrHeader(path, true);
}

std::vector<Volume>& projectVolumes(Project& project)
{
    return std::visit([](auto& header) -> std::vector<Volume>& { return header.volumes; }, project);
}

const ProjectHeader& projectHeader(const Project& project)
{
    return std::visit([](const auto& header) -> const ProjectHeader& { return header; }, project);
}

void undistortFmr(const Volume& vdm, FmrHeader& project, bool transposed, bool intensityCorrection)
{
    undistortVolumes(vdm, project, transposed, intensityCorrection);
    project.saveAs(insertSuffix(project.fileName, "_undist"));
}

void undistortDmr(const Volume& vdm, const std::string& path, DmrHeader& project, bool transposed,
                  bool intensityCorrection)
{
    undistortVolumes(vdm, project, transposed, intensityCorrection);
    project.saveAs(insertSuffix(path, "_undist"));
}

void undistortProject(const Volume& vdm, const std::string& path, Project& project, bool transposed,
                      bool intensityCorrection)
{
    if (auto* fmr = std::get_if<FmrHeader>(&project))
        undistortFmr(vdm, *fmr, transposed, intensityCorrection);
    else
        undistortDmr(vdm, path, std::get<DmrHeader>(project), transposed, intensityCorrection);
}

Project readProjectHeaderChecked(const std::string& path)
{
    if (hasExtension(path, "fmr")) {
        FmrHeader header = readFmrHeader(path, false);
        checkVoxelData(header);
        return header;
    }
    DmrHeader header = readDmrHeader(path, false);
    checkVoxelData(header);
    return header;
}

void undistortProjectStreamed(const Volume& vdm, const std::string& path, Project& project, bool transposed,
                              bool intensityCorrection)
{
    const auto undistorted = [&](const Volume& volume) {
        return undistort(volume, vdm, transposed, intensityCorrection);
    };
    std::visit(
        [&](auto& header) {
            dropAnatomicalLink(header);
            saveTransformedAs(header, insertSuffix(path, "_undist"), undistorted);
        },
        project);
}

std::vector<StepFile> projectFiles(const std::string& path, const ProjectHeader& header)
{
    const char* extension = hasExtension(path, "fmr") ? ".stc" : ".dwi";
    return {{path, ""}, {header.dataFilePath(extension), "data file of " + path}};
}

std::vector<StepFile> copyFiles(const std::string& path)
{
    const std::string copy = insertSuffix(path, "_undist");
    return {{copy, "undistorted copy of " + path}, {savedDataFilePath(copy), "data file of the undistorted copy of " + path}};
}
