// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/qcprojects.h"

#include <stdexcept>

#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"

namespace {

struct ProjectVolume {
    Volume volume;
    Orientation orientation;
};

template <class Header>
ProjectVolume pick(const Header& project, const std::string& path, int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= project.volumes.size())
        throw std::runtime_error("Cannot use volume " + std::to_string(index) + " of " + path + ", which has " +
                                 std::to_string(project.volumes.size()) + " volumes.");
    return {project.volumes[static_cast<std::size_t>(index)], projectOrientation(project, fileNamePart(path))};
}

ProjectVolume readVolume(const std::string& path, int index)
{
    if (hasExtension(path, "fmr")) return pick(readFmrHeader(path, true), path, index);
    return pick(readDmrHeader(path, true), path, index);
}

std::string extentText(const Dimensions& e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
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

std::string qcMapName(const std::string& firstProject)
{
    return insertSuffix(replaceExtension(firstProject, "map"), "_vdm");
}

std::vector<std::string> qcInputFiles(const QcPair& pair)
{
    return {pair.first, pair.second, insertSuffix(pair.first, "_undist"), insertSuffix(pair.second, "_undist"),
            qcMapName(pair.first)};
}

QcInputs readQcPair(const QcPair& pair)
{
    const std::vector<std::string> files = qcInputFiles(pair);
    ProjectVolume first = readVolume(pair.first, pair.firstVolume);
    QcInputs inputs;
    inputs.title = pair.title;
    inputs.firstName = label(pair.firstName, pair.first);
    inputs.secondName = label(pair.secondName, pair.second);
    inputs.orientation = pair.orientation ? *pair.orientation : first.orientation;
    inputs.convention = pair.convention;
    inputs.firstBefore = std::move(first.volume);
    inputs.secondBefore = readVolume(pair.second, pair.secondVolume).volume;
    inputs.firstAfter = readVolume(files[2], pair.firstVolume).volume;
    inputs.secondAfter = readVolume(files[3], pair.secondVolume).volume;
    inputs.displacement = readFiniteVdmMap(files[4]);
    const Volume* const read[] = {&inputs.firstBefore, &inputs.secondBefore, &inputs.firstAfter, &inputs.secondAfter,
                                  &inputs.displacement};
    for (std::size_t i = 1; i < files.size(); ++i)
        if (read[i]->dimensions() != read[0]->dimensions())
            throw std::runtime_error(files[i] + " (" + extentText(read[i]->dimensions()) + ") differs in extent from " +
                                     files[0] + " (" + extentText(read[0]->dimensions()) + ")");
    inputs.phaseEncodingAxis = pair.leftRight ? 0 : 1;
    inputs.hertzPerVoxel = pair.hertzPerVoxel;
    inputs.object = pair.object;
    return inputs;
}
