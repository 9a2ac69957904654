#include "plugin/projects.h"

#include <filesystem>
#include <variant>

#include "core/vdm.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/voxeldata.h"

namespace {

// The copy takes its data file name from its own header name. A source whose Prefix
// already names that file would have its data overwritten by the copy: refuse it.
void refuseOverwritingSourceData(const ProjectHeader& project, const std::string& copyName, const char* extension)
{
    const std::string source = project.dataFilePath(extension);
    const std::string copy = directoryPart(copyName) + stripExtension(fileNamePart(copyName)) + extension;
    std::error_code ignored;
    if (source == copy || std::filesystem::equivalent(source, copy, ignored))
        throw WriteFileError("Cannot save " + copyName + ": its data file " + copy + " is the data file of " +
                             project.fileName + ", which would be overwritten");
}

const char* dataExtension(const Project& project)
{
    return std::holds_alternative<FmrHeader>(project) ? ".stc" : ".dwi";
}

void dropAnatomicalLink(ProjectHeader& project)
{
    if (project.ShowAMRFile.present) project.ShowAMRFile.value = false;
    if (project.LoadAMRFile.present) project.LoadAMRFile.value.clear();
}

void undistortVolumes(const Volume& vdm, ProjectHeader& project, bool transposed, bool intensityCorrection)
{
    dropAnatomicalLink(project);
    for (Volume& volume : project.volumes) volume = undistort(volume, vdm, transposed, intensityCorrection);
}

}  // namespace

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
    const std::string copyName = insertSuffix(project.fileName, "_undist");
    refuseOverwritingSourceData(project, copyName, ".stc");
    undistortVolumes(vdm, project, transposed, intensityCorrection);
    project.saveAs(copyName);
}

void undistortDmr(const Volume& vdm, const std::string& path, DmrHeader& project, bool transposed,
                  bool intensityCorrection)
{
    const std::string copyName = insertSuffix(path, "_undist");
    refuseOverwritingSourceData(project, copyName, ".dwi");
    undistortVolumes(vdm, project, transposed, intensityCorrection);
    project.saveAs(copyName);
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
    refuseOverwritingSourceData(projectHeader(project), insertSuffix(path, "_undist"), dataExtension(project));
    std::visit(
        [&](auto& header) {
            dropAnatomicalLink(header);
            saveTransformedAs(header, insertSuffix(path, "_undist"), undistorted);
        },
        project);
}
