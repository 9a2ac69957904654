// The quality-control picture of one corrected pair: three orthogonal slices through the
// two inputs before and after the correction, their absolute difference before and after
// on one scale, and the displacement map in mm with a colour bar and the object outline;
// a caption gives the agreement of the pair before and after.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/volume.h"

// Column labels longer than this are cut short (ending in "..."), so that the picture's
// width is bounded by its panels whatever the names.
constexpr std::size_t kLongestQcLabel = 20;

struct QcInputs {
    std::string title;                 // cut off at the picture's right edge
    std::string firstName = "first";   // labels of the two acquisitions, "AP" and "PA"
    std::string secondName = "second";
    Volume firstBefore;
    Volume secondBefore;
    Volume firstAfter;
    Volume secondAfter;
    Volume displacementMm;          // along the phase-encoding axis, stored orientation
    std::array<double, 3> voxelSize{1.0, 1.0, 1.0}; // mm
    // Voxels of the object over which the agreement is measured and whose outline is
    // drawn; when empty, qcObjectVoxels decides.
    std::vector<VoxelIndex> object;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // RGB, row by row from the top
};

// Where a panel lies in the picture.
struct QcPanel {
    std::string column; // "first before", ..., "difference after", "displacement"
    std::string view;   // "axial", "coronal", "sagittal"
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct QcAgreement {
    double meanSquaredBefore = 0.0;
    double correlationBefore = 0.0;
    double meanSquaredAfter = 0.0;
    double correlationAfter = 0.0;
};

struct QcPicture {
    RgbImage image;
    std::vector<QcPanel> panels;
    QcAgreement agreement;
    std::vector<std::string> caption;
};

// The voxels where the mean of the four images reaches a tenth of its 99th percentile.
std::vector<VoxelIndex> qcObjectVoxels(const QcInputs& inputs);

// Throws std::invalid_argument when the volumes differ in extent or are empty.
QcPicture renderQcPicture(const QcInputs& inputs);

// Writes an 8-bit RGB PNG; throws WriteFileError when the file cannot be written.
void writePng(const std::string& path, const RgbImage& image);

// Renders and writes the picture; returns it.
QcPicture writeQcPicture(const std::string& path, const QcInputs& inputs);
