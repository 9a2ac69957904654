// SPDX-License-Identifier: GPL-3.0-or-later
// The quality-control pictures of one corrected pair, in anatomical orientation: mosaics
// of evenly spaced axial, coronal and sagittal slices through the object of the pair
// before and after the correction, of their absolute difference before and after on one
// scale, and of the field over the corrected first image with a diverging colour map,
// contour lines and a colour bar; and the figures that sum the correction up.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/volume.h"
#include "report/drawing.h"
#include "report/orientation.h"
#include "report/slicing.h"

// Row labels longer than this are cut short (ending in "..."), so that the picture's
// width is bounded by its panels whatever the names.
constexpr std::size_t kLongestQcLabel = 20;

struct QcInputs {
    std::string title;  // cut off at the picture's right edge
    std::string firstName = "first";  // labels of the two acquisitions, "AP" and "PA"
    std::string secondName = "second";
    Volume firstBefore;
    Volume secondBefore;
    Volume firstAfter;
    Volume secondAfter;
    // Displacement of the first image along the phase-encoding axis in voxels, on the
    // stored grid: the signal of voxel p appears at p + d.
    Volume displacement;
    int phaseEncodingAxis = 1;  // 0 x, 1 y
    // The field in Hz is the displacement times this (sign included), when the readout
    // time is known.
    std::optional<double> hertzPerVoxel;
    // The colour bar of the field gives millimetres of displacement beside the Hz; off for
    // a field on a grid that was not read out along a phase-encoding axis.
    bool millimetreScale = true;
    // What the field is drawn over, when not the corrected first image ("magnitude image").
    std::string underlayName;
    Orientation orientation;  // with the voxel sizes
    LeftRightConvention convention = LeftRightConvention::Radiological;
    // Voxels of the object over which the figures are measured and the field is shown;
    // when empty, qcObjectVoxels decides.
    std::vector<VoxelIndex> object;
};

struct QcAgreement {
    double meanSquaredBefore = 0.0;
    double correlationBefore = 0.0;
    double meanSquaredAfter = 0.0;
    double correlationAfter = 0.0;
};

struct QcMapSummary {
    double lowestMm = 0.0;  // over the object
    double highestMm = 0.0;
    std::optional<double> lowestHz;
    std::optional<double> highestHz;
    // Neighbours along the phase-encoding axis whose displacements differ by more than one
    // voxel, anywhere on the grid, and the largest such difference.
    int folds = 0;
    double largestStep = 0.0;
};

// What the pictures need, measured once.
struct QcAnalysis {
    std::vector<VoxelIndex> object;
    Volume inside;  // 1 on the object, 0 elsewhere
    QcAgreement agreement;
    QcMapSummary map;
    double intensityTop = 1.0;   // grey scale of the four images
    double differenceTop = 1.0;  // heat scale of both differences
    // Symmetric scale of the field, in Hz when known, else mm, from the 98th percentile of
    // its magnitude over the object (larger values saturate); and the step between its
    // contour lines, in the same unit.
    double fieldTop = 1.0;
    double contourStep = 1.0;
    VoxelBox box;  // the part of the grid the panels show
    double boxMm = 1.0;  // the box's largest extent in mm, drawn across a panel's pixels
    std::array<View, 3> views;
    std::array<std::vector<int>, 3> slices;  // per view, along its slice axis
};

// The voxels where the mean of the four images reaches a tenth of its 99th percentile.
std::vector<VoxelIndex> qcObjectVoxels(const QcInputs& inputs);

// Throws std::invalid_argument when the volumes differ in extent or are empty, or an
// object voxel lies outside them.
QcAnalysis analyseQc(const QcInputs& inputs);

enum class QcFigure {
    PairBefore,  // both images before the correction
    PairAfter,   // both images after it, laid out like PairBefore
    Difference,  // their absolute difference before and after, one scale
    Field,       // the field over the corrected first image
    RunBefore,   // the first image before the correction, the field below it
    RunAfter,    // the first image after it, laid out like RunBefore
};

// Where a panel lies in a picture.
struct QcPanel {
    std::string content;  // "first before", "second before", "first after", "second after",
                          // "difference before", "difference after", "field"
    std::string view;     // the view's name
    int slice = 0;        // along the view's slice axis
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct QcRendering {
    std::string bytes;  // the PNG or SVG file
    int width = 0;
    int height = 0;
    std::vector<QcPanel> panels;
};

// panelPixels: the box's largest extent in pixels.
QcRendering renderQcFigure(const QcInputs& inputs, const QcAnalysis& analysis, QcFigure figure, PictureFormat format,
                           double panelPixels);
// Title, summary, the four figures and the orientation note in one picture.
QcRendering renderQcPicture(const QcInputs& inputs, const QcAnalysis& analysis, PictureFormat format);

// The figures as the commands print them and the pages show them: one decimal for mean
// squared differences, millimetres and hertz, four for correlations, two for the
// largest step.
std::string formatFixed(double value, int decimals);  // "%.*f"
std::string formatMeanSquared(double value);
std::string formatCorrelation(double value);
std::string formatSigned(double value);  // "+1.2", "-0.4", "0.0"
std::string formatRange(double lowest, double highest, const std::string& unit);
std::string foldText(const QcMapSummary& map, int phaseEncodingAxis);
// The mean squared difference after against before: "3.7 times less" or "1.2 times more";
// empty when either is 0.
std::string improvementText(const QcAgreement& agreement);

// The summary the commands print: the agreement before and after, the map's range and the
// fold check.
std::vector<std::string> qcSummaryLines(const QcInputs& inputs, const QcAnalysis& analysis);
// Where the orientation comes from and the left-right convention, for captions.
std::string orientationNote(const QcInputs& inputs, const QcAnalysis& analysis);

struct QcResult {
    QcAnalysis analysis;
    std::vector<std::string> summary;
};

// Renders and writes the picture, as SVG for a path ending in ".svg", else as PNG. Throws
// WriteFileError when the file cannot be written.
void writeQcPicture(const std::string& path, const QcInputs& inputs, const QcAnalysis& analysis);
// Analyses, then writes; throws as analyseQc and the writer.
QcResult writeQcPicture(const std::string& path, const QcInputs& inputs);
