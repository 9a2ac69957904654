// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/niftiprojects.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "files/voxeldata.h"
#include "nifti/projectwriter.h"

namespace {

constexpr std::uintmax_t kLargestTableBytes = std::uintmax_t{16} << 20;

// The numbers of a text file, line by line, skipping empty lines.
std::vector<std::vector<float>> readNumberLines(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) throw std::runtime_error("Cannot open " + path + " as a file");
    // A table of one number per volume is small; anything larger is no such table.
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > kLargestTableBytes)
        throw std::runtime_error(path + " holds " + std::to_string(size) + " bytes; a table of b-values or gradient "
                                 "directions holds at most " + std::to_string(kLargestTableBytes));
    std::ifstream file(path);
    if (!file) throw std::runtime_error("Cannot open " + path);
    std::vector<std::vector<float>> lines;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::vector<float> numbers;
        std::string word;
        while (words >> word) {
            std::size_t used = 0;
            float value = 0.0f;
            try {
                value = std::stof(word, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != word.size() || !std::isfinite(value))
                throw std::runtime_error(path + " holds \"" + word + "\" where a number is expected");
            numbers.push_back(value);
        }
        if (!numbers.empty()) lines.push_back(std::move(numbers));
    }
    return lines;
}

std::string stem(const std::string& path)
{
    return stripExtension(fileNamePart(path));
}

std::array<double, 3> worldToScanner(const NiftiInfo& info, double i, double j, double k)
{
    const auto& m = info.voxelToWorld;
    std::array<double, 3> p{};
    for (int row = 0; row < 3; ++row) p[row] = m[row][0] * i + m[row][1] * j + m[row][2] * k + m[row][3];
    // NIfTI world coordinates point right, anterior and up; the project headers keep
    // scanner coordinates pointing left, posterior and up.
    return {-p[0], -p[1], p[2]};
}

std::array<double, 3> axisDirection(const NiftiInfo& info, int axis)
{
    const auto& m = info.voxelToWorld;
    const std::array<double, 3> d{-m[0][axis], -m[1][axis], m[2][axis]};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (!(length > 0.0)) return {axis == 0 ? 1.0 : 0.0, axis == 1 ? 1.0 : 0.0, axis == 2 ? 1.0 : 0.0};
    return {d[0] / length, d[1] / length, d[2] / length};
}

}  // namespace

GradientTable readGradientTable(const std::string& bvals, const std::string& bvecs, int volumes)
{
    std::vector<float> values;
    for (const auto& line : readNumberLines(bvals)) values.insert(values.end(), line.begin(), line.end());
    if (values.size() != static_cast<std::size_t>(volumes))
        throw std::runtime_error(bvals + " holds " + std::to_string(values.size()) + " b-values, but the image has " +
                                 std::to_string(volumes) + " volumes");

    const std::vector<std::vector<float>> lines = readNumberLines(bvecs);
    const std::size_t n = static_cast<std::size_t>(volumes);
    GradientTable table(n);
    bool rows = lines.size() == 3;
    for (const auto& line : lines) rows = rows && line.size() == n;
    bool columns = lines.size() == n;
    for (const auto& line : lines) columns = columns && line.size() == 3;
    if (!rows && !columns)
        throw std::runtime_error(bvecs + " must hold three rows of " + std::to_string(volumes) +
                                 " values (x, y and z of each volume's gradient direction)");
    for (std::size_t v = 0; v < n; ++v) {
        for (std::size_t axis = 0; axis < 3; ++axis) table[v][axis] = rows ? lines[axis][v] : lines[v][axis];
        table[v][3] = values[v];
    }
    return table;
}

NiftiImport importNifti(const std::string& image, const std::string& project, const GradientTable& gradients,
                        const VolumeProgress& progress)
{
    const bool diffusion = hasExtension(project, "dmr");
    if (!diffusion && !hasExtension(project, "fmr"))
        throw std::runtime_error("The project must be named .fmr or .dmr: " + project);
    NiftiVolumeReader reader(image);
    const NiftiInfo info = reader.info();
    if (!gradients.empty() && gradients.size() != static_cast<std::size_t>(info.volumes))
        throw std::runtime_error("The gradient table has " + std::to_string(gradients.size()) +
                                 " entries, but the image has " + std::to_string(info.volumes) + " volumes");

    // The values are checked, and the storage chosen, before anything is written: a pass
    // over the image unless its header settles both.
    bool fitsInt16 = info.storedAsInt16;
    if (!info.storedAsInt16) {
        NiftiVolumeReader scan(image);
        for (int v = 0; v < info.volumes; ++v) {
            scan.next();
            if (progress) progress(v + 1, 2 * info.volumes);
        }
        fitsInt16 = scan.fitsInt16();
    }
    const int passes = info.storedAsInt16 ? 1 : 2;

    ProjectLayout layout;
    layout.extent = info.extent;
    layout.volumes = info.volumes;
    layout.voxelSize = info.voxelSize;
    layout.diffusion = diffusion;
    layout.floatData = !fitsInt16;
    if (info.repetitionTime > 0.0) layout.repetitionTime = static_cast<int>(std::lround(info.repetitionTime * 1000.0));
    layout.firstDataSource = fileNamePart(image);
    const double ci = 0.5 * (info.extent.x - 1);
    const double cj = 0.5 * (info.extent.y - 1);
    layout.firstSliceCentre = worldToScanner(info, ci, cj, 0.0);
    layout.lastSliceCentre = worldToScanner(info, ci, cj, info.extent.z - 1.0);
    layout.rowDirection = axisDirection(info, 0);
    layout.columnDirection = axisDirection(info, 1);
    layout.gradients = gradients;
    writeProjectStreamed(project, layout, stem(project), [&](int v) {
        if (progress) progress((passes - 1) * info.volumes + v + 1, passes * info.volumes);
        return reader.next();
    });
    return {info, reader.values()};
}

std::vector<Volume> readProjectOrMapVolumes(const std::string& path, NiftiStorage& storage)
{
    if (hasExtension(path, "map")) {
        storage = NiftiStorage::Float32;
        std::vector<Volume> volumes;
        volumes.push_back(readFiniteVdmMap(path));
        return volumes;
    }
    if (hasExtension(path, "fmr")) {
        FmrHeader project = readFmrHeader(path, true);
        storage = project.DataType.present && project.DataType.value == 2 ? NiftiStorage::Float32
                                                                          : NiftiStorage::Int16WhenExact;
        return std::move(project.volumes);
    }
    if (hasExtension(path, "dmr")) {
        DmrHeader project = readDmrHeader(path, true);
        storage = project.DataType.present && project.DataType.value == 2 ? NiftiStorage::Float32
                                                                          : NiftiStorage::Int16WhenExact;
        return std::move(project.volumes);
    }
    throw std::runtime_error("Expected a project (.fmr, .dmr) or a map (.map): " + path);
}

namespace {

template <class Header>
void exportVolumes(const Header& project, const std::string& output, const std::string& like,
                   const std::string& description, const VolumeProgress& progress)
{
    const int volumes = project.NrOfVolumes.value;
    if (volumes <= 0) throw std::runtime_error("No volume in " + project.fileName);
    // An int16 project holds whole numbers that fit, which are stored as int16 again.
    const bool floats = project.DataType.present && project.DataType.value == 2;
    NiftiVolumeWriter writer(output, like, description, volumes, !floats);
    forEachVolume(project, [&](int v, const Volume& volume) {
        writer.write(volume);
        if (progress) progress(v + 1, volumes);
    });
    writer.finish();
}

}  // namespace

void exportProjectToNifti(const std::string& project, const std::string& output, const std::string& like,
                          const std::string& description, const VolumeProgress& progress)
{
    if (hasExtension(project, "fmr"))
        exportVolumes(readFmrHeader(project, false), output, like, description, progress);
    else if (hasExtension(project, "dmr"))
        exportVolumes(readDmrHeader(project, false), output, like, description, progress);
    else
        throw std::runtime_error("Expected a project (.fmr, .dmr): " + project);
}

void exportToNifti(const std::string& input, const std::string& output, const std::string& like,
                   const VolumeProgress& progress)
{
    if (!hasExtension(input, "map")) {
        exportProjectToNifti(input, output, like, "VARNO " + fileNamePart(input), progress);
        return;
    }
    NiftiStorage storage = NiftiStorage::Float32;
    const std::vector<Volume> volumes = readProjectOrMapVolumes(input, storage);
    writeNiftiLike(output, volumes, storage, like, "VARNO " + fileNamePart(input));
}
