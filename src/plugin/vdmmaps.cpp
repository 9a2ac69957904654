// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/vdmmaps.h"

#include "core/mdhslog.h"
#include "core/vdm.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "plugin/hostapi.h"

namespace {

constexpr const char* kModule = "src\\distcor";

}  // namespace

std::string vdmMapName(const std::string& projectPath)
{
    return insertSuffix(replaceExtension(projectPath, "map"), "_vdm");
}

std::string derivativeMapName(const std::string& projectPath)
{
    return insertSuffix(replaceExtension(projectPath, "map"), "_vdmderiv");
}

void saveVdmMap(const Volume& volume, bool transposed, float firstValue, float secondValue, const std::string& path)
{
    const Volume map = transposed ? volume.transposeXY() : volume;
    const Dimensions dim = map.dimensions();

    hostApi.hsCreateMAPForCurrentFMR();
    MapHeader header{};
    float** slices = hostApi.hsGetMAPOfCurrentFMR(&header);
    check(slices != nullptr, kModule, 124, "slices != nullptr");
    check(dim.z == header.DimZ, kModule, 125, "dim.z == header.DimZ");
    check(dim.y == header.DimY, kModule, 126, "dim.y == header.DimY");
    check(dim.x == header.DimX, kModule, 127, "dim.x == header.DimX");

    for (int z = 0; z < dim.z; ++z)
        for (int y = 0; y < dim.y; ++y)
            for (int x = 0; x < dim.x; ++x) slices[z][y * dim.x + x] = map(x, y, z);

    header.Kind = 1;
    header.Threshold = firstValue;
    header.Maximum = secondValue;
    header.Flags = 0;
    hostApi.hsSetMAPParametersOfCurrentFMR(&header);
    // A map the host could not write must not be reported as saved.
    if (!hostApi.hsSaveMAPsOfCurrentFMR(path.c_str())) throw WriteFileError("could not save the map " + path);
}

void savePairMaps(const Volume& vdm, const std::array<std::string, 2>& paths, bool transposed, bool saveDerivative)
{
    const std::array<Volume, 2> maps{vdm, vdm * -1.0f};
    for (int j = 0; j < 2; ++j) saveVdmMap(maps[j], transposed, 1.0f, 5.0f, vdmMapName(paths[j]));
    if (saveDerivative) {
        const Volume derivative = vdmDerivativeY(vdm);
        const std::array<Volume, 2> derivatives{derivative, derivative * -1.0f};
        for (int j = 0; j < 2; ++j) saveVdmMap(derivatives[j], transposed, 0.1f, 1.0f, derivativeMapName(paths[j]));
    }
}
