// SPDX-License-Identifier: GPL-3.0-or-later
#include "nifti/projectwriter.h"

#include <iomanip>
#include <sstream>

#include "files/fileerrors.h"
#include "files/projectheader.h"
#include "files/voxeldata.h"

namespace {

// "Key:" padded to the value column, as the host writes its headers; a long key keeps one
// space before its value.
std::string key(const std::string& name)
{
    std::ostringstream text;
    text << std::left << std::setw(29) << (name + ":") << ' ';
    return text.str();
}

}  // namespace

void centreSlices(ProjectLayout& layout)
{
    const double halfDepth = 0.5 * (layout.extent.z - 1) * layout.voxelSize[2];
    layout.firstSliceCentre = {0.0, 0.0, -halfDepth};
    layout.lastSliceCentre = {0.0, 0.0, halfDepth};
}

std::string projectHeaderText(const ProjectLayout& layout, const std::string& prefix)
{
    const Dimensions& e = layout.extent;
    const auto& v = layout.voxelSize;
    const bool dmr = layout.diffusion;
    std::ostringstream h;
    h << "\n" << key("FileVersion") << (dmr ? 3 : 7) << "\n\n";
    h << key("NrOfVolumes") << layout.volumes << "\n";
    h << key("NrOfSlices") << e.z << "\n";
    h << key("NrOfSkippedVolumes") << 0 << "\n";
    h << key("Prefix") << '"' << prefix << '"' << "\n\n";
    h << key("DataStorageFormat") << (dmr ? 3 : 1) << "\n";
    h << key("DataType") << (layout.floatData ? 2 : 1) << "\n\n";
    h << key("TR") << layout.repetitionTime << "\n";
    h << key("InterSliceTime") << layout.repetitionTime / e.z << "\n";
    h << key("TimeResolutionVerified") << 1 << "\n";
    h << key("TE") << 30 << "\n";
    h << key("SliceAcquisitionOrder") << 0 << "\n";
    h << key("SliceAcquisitionOrderVerified") << 1 << "\n\n";
    h << key("ResolutionX") << e.x << "\n";
    h << key("ResolutionY") << e.y << "\n\n";
    h << key("LoadAMRFile") << "\"\"" << "\n";
    h << key("ShowAMRFile") << 0 << "\n\n";
    h << key("ImageIndex") << 0 << "\n\n";
    h << key("LayoutNColumns") << 6 << "\n";
    h << key("LayoutNRows") << 5 << "\n";
    h << key("LayoutZoomLevel") << 1 << "\n";
    h << key("SegmentSize") << 10 << "\n";
    h << key("SegmentOffset") << 0 << "\n";
    h << (dmr ? key("DisplayVolume") : key("NrOfLinkedProtocols")) << (dmr ? 0 : 1) << "\n";
    h << key("ProtocolFile") << "\"<none>\"" << "\n\n";
    h << key("InplaneResolutionX") << v[0] << "\n";
    h << key("InplaneResolutionY") << v[1] << "\n";
    h << key("SliceThickness") << v[2] << "\n";
    h << key("SliceGap") << 0 << "\n";
    h << key("VoxelResolutionVerified") << 1 << "\n\n\n";
    h << "PositionInformationFromImageHeaders\n\n";
    h << key("PosInfosVerified") << 1 << "\n";
    h << key("CoordinateSystem") << 1 << "\n";
    const char* const axes = "XYZ";
    for (int i = 0; i < 3; ++i) h << key(std::string("Slice1Center") + axes[i]) << layout.firstSliceCentre[i] << "\n";
    for (int i = 0; i < 3; ++i) h << key(std::string("SliceNCenter") + axes[i]) << layout.lastSliceCentre[i] << "\n";
    for (int i = 0; i < 3; ++i) h << key(std::string("RowDir") + axes[i]) << layout.rowDirection[i] << "\n";
    for (int i = 0; i < 3; ++i) h << key(std::string("ColDir") + axes[i]) << layout.columnDirection[i] << "\n";
    h << key("NRows") << e.y << "\n" << key("NCols") << e.x << "\n";
    h << key("FoVRows") << e.y * v[1] << "\n" << key("FoVCols") << e.x * v[0] << "\n";
    h << key("SliceThickness") << v[2] << "\n" << key("GapThickness") << 0 << "\n\n\n";
    h << key("NrOfPastSpatialTransformations") << 0 << "\n\n\n";
    h << key("LeftRightConvention") << 1 << "\n\n\n";
    h << key("FirstDataSourceFile") << '"' << layout.firstDataSource << '"' << "\n\n";
    if (dmr) {
        const bool table = !layout.gradients.empty();
        h << key("GradientDirectionsVerified") << (table ? "YES\n" : "NO\n");
        h << key("GradientXDirInterpretation") << 2 << "\n";
        h << key("GradientYDirInterpretation") << 3 << "\n";
        h << key("GradientZDirInterpretation") << 1 << "\n";
        h << key("GradientInformationAvailable") << (table ? "YES\n" : "NO\n");
        for (const auto& g : layout.gradients) h << g[0] << ' ' << g[1] << ' ' << g[2] << ' ' << g[3] << "\n";
    } else {
        h << key("MultibandSequence") << 0 << "\n\n";
        h << key("SliceTimingTableSize") << 0 << "\n";
    }
    return h.str();
}

void writeProject(const std::string& path, const ProjectLayout& layout, const std::string& prefix,
                  std::vector<Volume> volumes)
{
    std::istringstream text(projectHeaderText(layout, prefix));
    if (layout.diffusion) {
        DmrHeader project;
        project.readHeaderText(text, path);
        project.volumes = std::move(volumes);
        project.writeWithData();
    } else {
        FmrHeader project;
        project.readHeaderText(text, path);
        project.volumes = std::move(volumes);
        project.writeWithData();
    }
}

void writeProjectStreamed(const std::string& path, const ProjectLayout& layout, const std::string& prefix,
                          const std::function<Volume(int)>& volume)
{
    std::istringstream text(projectHeaderText(layout, prefix));
    if (layout.diffusion) {
        DmrHeader project;
        project.readHeaderText(text, path);
        writeStreamed(project, volume);
    } else {
        FmrHeader project;
        project.readHeaderText(text, path);
        writeStreamed(project, volume);
    }
}
