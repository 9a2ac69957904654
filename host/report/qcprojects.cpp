#include "report/qcprojects.h"

#include <stdexcept>

#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"

namespace {

struct ProjectVolume {
    Volume volume;
    std::array<double, 3> voxelSize;
};

template <class Header>
ProjectVolume pick(const Header& project, const std::string& path, int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= project.volumes.size())
        throw std::runtime_error("Cannot use volume " + std::to_string(index) + " of " + path + ", which has " +
                                 std::to_string(project.volumes.size()) + " volumes.");
    return {project.volumes[static_cast<std::size_t>(index)],
            {project.InplaneResolutionX.value, project.InplaneResolutionY.value,
             static_cast<double>(project.SliceThickness.value + project.SliceGap.value)}};
}

ProjectVolume readVolume(const std::string& path, int index)
{
    if (hasExtension(path, "fmr")) return pick(readFmrHeader(path, true), path, index);
    return pick(readDmrHeader(path, true), path, index);
}

std::string label(const std::string& given, const std::string& path)
{
    return given.empty() ? stripExtension(fileNamePart(path)) : given;
}

}  // namespace

std::string qcPictureName(const std::string& firstProject)
{
    return insertSuffix(replaceExtension(firstProject, "png"), "_qc");
}

QcPicture writePairQcPicture(const QcPair& pair, const std::string& path)
{
    ProjectVolume first = readVolume(pair.first, pair.firstVolume);
    QcInputs inputs;
    inputs.title = pair.title;
    inputs.firstName = label(pair.firstName, pair.first);
    inputs.secondName = label(pair.secondName, pair.second);
    inputs.voxelSize = first.voxelSize;
    inputs.firstBefore = std::move(first.volume);
    inputs.secondBefore = readVolume(pair.second, pair.secondVolume).volume;
    inputs.firstAfter = readVolume(insertSuffix(pair.first, "_undist"), pair.firstVolume).volume;
    inputs.secondAfter = readVolume(insertSuffix(pair.second, "_undist"), pair.secondVolume).volume;
    Volume map = readVdmMapFile(insertSuffix(replaceExtension(pair.first, "map"), "_vdm"), true).map;
    const float millimetres = static_cast<float>(pair.leftRight ? inputs.voxelSize[0] : inputs.voxelSize[1]);
    inputs.displacementMm = map * millimetres;
    inputs.object = pair.object;
    return writeQcPicture(path, inputs);
}
