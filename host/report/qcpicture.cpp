// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/qcpicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/distance.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "files/filenames.h"
#include "report/colourmaps.h"

namespace {

const Rgb kBackground{17, 17, 21};
const Rgb kText{232, 232, 236};
const Rgb kDimText{160, 160, 170};
const Rgb kLetters{250, 214, 110};
const Rgb kContour{20, 20, 20};
const Rgb kBeforeAccent{240, 150, 80};
const Rgb kAfterAccent{120, 210, 140};

constexpr int kSlicesPerView[3] = {7, 5, 5};  // axial, coronal, sagittal
constexpr double kPicturePanelPixels = 116.0;  // the box's largest extent, in pixels
constexpr int kMargin = 12;
constexpr int kTitleBand = 30;
constexpr int kPanelGap = 3;
constexpr int kViewGap = 12;
constexpr int kBarWidth = 12;

std::string printed(const char* format, int decimals, double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, decimals, value);
    return buffer;
}

// The q-th quantile (0..1) of the values, by selection.
double quantile(std::vector<float> values, double q)
{
    if (values.empty()) return 0.0;
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// 1, 2, 2.5 or 5 times a power of ten, the smallest such at or above value.
double niceStep(double value)
{
    if (!(value > 0.0)) return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double factor : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (factor * power >= value * (1.0 - 1e-9)) return factor * power;
    return 10.0 * power;
}

float at(const Volume& volume, const VoxelIndex& v)
{
    return volume(v.x, v.y, v.z);
}

void checkInputs(const QcInputs& inputs)
{
    const Dimensions extent = inputs.firstBefore.dimensions();
    if (inputs.firstBefore.size() == 0) throw std::invalid_argument("The quality-control picture needs non-empty volumes.");
    for (const Volume* volume : {&inputs.secondBefore, &inputs.firstAfter, &inputs.secondAfter, &inputs.displacement})
        if (volume->dimensions() != extent)
            throw std::invalid_argument("The volumes of the quality-control picture differ in extent.");
    for (const VoxelIndex& v : inputs.object)
        if (v.x < 0 || v.y < 0 || v.z < 0 || v.x >= extent.x || v.y >= extent.y || v.z >= extent.z)
            throw std::invalid_argument("An object voxel of the quality-control picture lies outside the volumes.");
    if (inputs.phaseEncodingAxis != 0 && inputs.phaseEncodingAxis != 1)
        throw std::invalid_argument("The phase-encoding axis of the quality-control picture must be x or y.");
}

double millimetresPerVoxel(const QcInputs& inputs)
{
    return inputs.orientation.voxelSize[static_cast<std::size_t>(inputs.phaseEncodingAxis)];
}

QcMapSummary summariseMap(const QcInputs& inputs, const std::vector<VoxelIndex>& object)
{
    QcMapSummary map;
    const Volume& d = inputs.displacement;
    if (!object.empty()) {
        float lowest = at(d, object.front());
        float highest = lowest;
        for (const VoxelIndex& v : object) {
            lowest = std::min(lowest, at(d, v));
            highest = std::max(highest, at(d, v));
        }
        const double mm = millimetresPerVoxel(inputs);
        map.lowestMm = lowest * mm;
        map.highestMm = highest * mm;
        if (inputs.hertzPerVoxel) {
            const double a = lowest * *inputs.hertzPerVoxel;
            const double b = highest * *inputs.hertzPerVoxel;
            map.lowestHz = std::min(a, b);
            map.highestHz = std::max(a, b);
        }
    }
    // Folds as the estimate counts them: along y, so left-right maps are turned first.
    const bool alongX = inputs.phaseEncodingAxis == 0;
    const Volume turned = alongX ? d.transposeXY() : Volume();
    const Volume& alongY = alongX ? turned : d;
    map.folds = countFolds(alongY);
    for (int z = 0; z < alongY.nz(); ++z)
        for (int y = 0; y + 1 < alongY.ny(); ++y)
            for (int x = 0; x < alongY.nx(); ++x) {
                const double step = std::abs(alongY(x, y + 1, z) - alongY(x, y, z));
                if (step > map.largestStep) map.largestStep = step;
            }
    return map;
}

enum class Content { FirstBefore, SecondBefore, FirstAfter, SecondAfter, DifferenceBefore, DifferenceAfter, Field };

const char* contentName(Content content)
{
    switch (content) {
    case Content::FirstBefore: return "first before";
    case Content::SecondBefore: return "second before";
    case Content::FirstAfter: return "first after";
    case Content::SecondAfter: return "second after";
    case Content::DifferenceBefore: return "difference before";
    case Content::DifferenceAfter: return "difference after";
    case Content::Field: return "field";
    }
    return "";
}

struct Row {
    Content content;
    std::string label;
};

enum class Bar { None, Difference, Field };

struct MosaicSpec {
    std::string title;
    Rgb titleColour;
    std::string subtitle;
    std::vector<Row> rows;  // repeated for every view
    Bar bar = Bar::None;
};

// A label cut to kLongestQcLabel characters, so that no name widens the picture.
std::string fittedLabel(const std::string& label)
{
    if (label.size() <= kLongestQcLabel) return label;
    return label.substr(0, kLongestQcLabel - 3) + "...";
}

MosaicSpec mosaicSpec(const QcInputs& inputs, QcFigure figure)
{
    const std::string a = fittedLabel(inputs.firstName);
    const std::string b = fittedLabel(inputs.secondName);
    const std::string underlay = inputs.underlayName.empty() ? "corrected " + a + " image" : inputs.underlayName;
    switch (figure) {
    case QcFigure::PairBefore:
        return {"Before correction", kBeforeAccent, a + " and " + b + " as acquired",
                {{Content::FirstBefore, a}, {Content::SecondBefore, b}}, Bar::None};
    case QcFigure::PairAfter:
        return {"After correction", kAfterAccent, a + " and " + b + " corrected",
                {{Content::FirstAfter, a}, {Content::SecondAfter, b}}, Bar::None};
    case QcFigure::Difference:
        return {"|" + a + " \u2212 " + b + "|", kText, "before and after, on one scale",
                {{Content::DifferenceBefore, "before"}, {Content::DifferenceAfter, "after"}}, Bar::Difference};
    case QcFigure::Field:
        return {inputs.hertzPerVoxel ? "Field" : "Displacement", kText, "over the " + underlay, {{Content::Field, ""}},
                Bar::Field};
    case QcFigure::RunBefore:
        return {"Before correction", kBeforeAccent, a + " as acquired, the field over the corrected image",
                {{Content::FirstBefore, a}, {Content::Field, "field"}}, Bar::Field};
    case QcFigure::RunAfter:
        return {"After correction", kAfterAccent, a + " corrected, the field over it",
                {{Content::FirstAfter, a}, {Content::Field, "field"}}, Bar::Field};
    }
    return {};
}

// A figure of rows of panels, one group of rows per view, with its labels and colour bar.
class Mosaic {
public:
    Mosaic(const QcInputs& inputs, const QcAnalysis& analysis, QcFigure figure, double panelPixels, Drawing& measure)
        : inputs_(inputs), analysis_(analysis), spec_(mosaicSpec(inputs, figure)), pixelsPerMm_(panelPixels / analysis.boxMm)
    {
        for (int view = 0; view < 3; ++view) {
            const PanelGeometry geometry(analysis.views[view], analysis.box, 0, inputs.orientation.voxelSize, pixelsPerMm_);
            panelWidth_[view] = geometry.width();
            panelHeight_[view] = geometry.height();
        }
        double labels = 0.0;
        for (const View& v : analysis.views) {
            double rowLabels = 0.0;
            for (const Row& row : spec_.rows) rowLabels = std::max(rowLabels, measure.textWidth(row.label, rowStyle()));
            labels = std::max(labels, measure.textWidth(v.name, viewStyle()) + 10.0 + rowLabels);
        }
        labelWidth_ = static_cast<int>(std::ceil(labels)) + 10;
        int widest = 0;
        for (int view = 0; view < 3; ++view) {
            const int n = static_cast<int>(analysis.slices[view].size());
            widest = std::max(widest, n * panelWidth_[view] + (n - 1) * kPanelGap);
        }
        panelsWidth_ = widest;
        barColumn_ = spec_.bar == Bar::None ? 0 : spec_.bar == Bar::Difference ? 80 : (bothScales() ? 130 : 80);
        panelsHeight_ = 0;
        for (int view = 0; view < 3; ++view)
            panelsHeight_ += static_cast<int>(spec_.rows.size()) * (panelHeight_[view] + kPanelGap) - kPanelGap +
                             (view < 2 ? kViewGap : 0);
    }

    int width() const { return kMargin + labelWidth_ + panelsWidth_ + barColumn_ + kMargin; }
    int height() const { return kTitleBand + panelsHeight_ + kMargin + 6; }

    void draw(Drawing& drawing, int left, int top, std::vector<QcPanel>& panels) const
    {
        drawing.fill(left, top, width(), height(), kBackground);
        TextStyle title{15.0, spec_.titleColour, true};
        drawing.text(left + kMargin, top + 20, spec_.title, title);
        const double titleWidth = drawing.textWidth(spec_.title, title);
        drawing.text(left + kMargin + titleWidth + 10, top + 20, spec_.subtitle, {12.0, kDimText});

        // The panels' pixels and contour lines are worked out side by side; only the
        // drawing itself, in order, touches the surface.
        std::vector<PanelGeometry> geometries;
        std::vector<Content> contents;
        for (int view = 0; view < 3; ++view)
            for (const Row& row : spec_.rows)
                for (const int slice : analysis_.slices[view]) {
                    geometries.emplace_back(analysis_.views[view], analysis_.box, slice, inputs_.orientation.voxelSize,
                                            pixelsPerMm_);
                    contents.push_back(row.content);
                }
        std::vector<PanelPicture> pictures(geometries.size());
        forEachPiece(pictures.size(),
                     [&](std::size_t i) { pictures[i] = panelPicture(geometries[i], contents[i]); });

        const int panelsLeft = left + kMargin + labelWidth_;
        int y = top + kTitleBand;
        const int panelsTop = y;
        std::size_t next = 0;
        for (int view = 0; view < 3; ++view) {
            const View& v = analysis_.views[view];
            drawing.text(left + kMargin, y + panelHeight_[view] / 2.0 + 4, v.name, viewStyle());
            for (std::size_t r = 0; r < spec_.rows.size(); ++r) {
                const Row& row = spec_.rows[r];
                TextStyle label = rowStyle();
                label.align = TextAlign::Right;
                drawing.text(panelsLeft - 8, y + panelHeight_[view] / 2.0 + 4, row.label, label);
                int x = panelsLeft;
                for (std::size_t s = 0; s < analysis_.slices[view].size(); ++s, ++next) {
                    const int slice = analysis_.slices[view][s];
                    const PanelGeometry& geometry = geometries[next];
                    drawPanel(drawing, x, y, pictures[next]);
                    panels.push_back({contentName(row.content), v.name, slice, x, y, geometry.width(), geometry.height()});
                    if (r == 0) {
                        drawSliceNumber(drawing, x, y, geometry, v, slice);
                        if (s == 0) drawLetters(drawing, x, y, geometry, v);
                    }
                    x += geometry.width() + kPanelGap;
                }
                y += panelHeight_[view] + kPanelGap;
            }
            y += kViewGap - kPanelGap;
        }
        const int barLeft = panelsLeft + panelsWidth_ + 18;
        if (spec_.bar == Bar::Difference) drawDifferenceBar(drawing, barLeft, panelsTop);
        if (spec_.bar == Bar::Field) drawFieldBar(drawing, barLeft + (bothScales() ? 50 : 0), panelsTop);
    }

private:
    static TextStyle viewStyle() { return {12.0, kText, true}; }
    // Hz on the left of the field's bar and mm on the right.
    bool bothScales() const { return inputs_.hertzPerVoxel && inputs_.millimetreScale; }
    static TextStyle rowStyle() { return {12.0, kDimText}; }

    double fieldScale() const
    {
        return inputs_.hertzPerVoxel ? *inputs_.hertzPerVoxel : millimetresPerVoxel(inputs_);
    }

    // A panel's pixels and, for the field, its contour lines.
    struct PanelPicture {
        RgbImage image;
        std::vector<std::vector<Point>> contours;
        std::vector<bool> dashed;
    };

    PanelPicture panelPicture(const PanelGeometry& geometry, Content content) const
    {
        PanelPicture picture;
        RgbImage& image = picture.image;
        image = {geometry.width(), geometry.height(), {}};
        image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
        const auto grey = [&](const Volume& volume) {
            const Plane plane = samplePlane(volume, geometry);
            for (std::size_t i = 0; i < plane.values.size(); ++i)
                image.pixels[i] = greyColour(plane.values[i] / analysis_.intensityTop);
        };
        const auto difference = [&](const Volume& a, const Volume& b) {
            const Plane pa = samplePlane(a, geometry);
            const Plane pb = samplePlane(b, geometry);
            for (std::size_t i = 0; i < pa.values.size(); ++i)
                image.pixels[i] = heatColour(std::abs(pa.values[i] - pb.values[i]) / analysis_.differenceTop);
        };
        switch (content) {
        case Content::FirstBefore: grey(inputs_.firstBefore); break;
        case Content::SecondBefore: grey(inputs_.secondBefore); break;
        case Content::FirstAfter: grey(inputs_.firstAfter); break;
        case Content::SecondAfter: grey(inputs_.secondAfter); break;
        case Content::DifferenceBefore: difference(inputs_.firstBefore, inputs_.secondBefore); break;
        case Content::DifferenceAfter: difference(inputs_.firstAfter, inputs_.secondAfter); break;
        case Content::Field: {
            // The image dimmed underneath; the field more opaque the larger it is, so that
            // the anatomy shows where the field is small.
            const Plane underlay = samplePlane(inputs_.firstAfter, geometry);
            Plane field = samplePlane(inputs_.displacement, geometry);
            for (float& value : field.values) value = static_cast<float>(value * fieldScale());
            const Plane mask = samplePlane(analysis_.inside, geometry);
            for (std::size_t i = 0; i < field.values.size(); ++i) {
                image.pixels[i] = greyColour(0.75 * underlay.values[i] / analysis_.intensityTop);
                if (mask.values[i] > 0.5f) {
                    const double t = field.values[i] / analysis_.fieldTop;
                    image.pixels[i] = blend(image.pixels[i], divergingColour(t), std::min(0.9, 0.35 + 0.9 * std::abs(t)));
                }
            }
            const double step = analysis_.contourStep;
            for (int k = 1; k * step < analysis_.fieldTop - 1e-9; ++k)
                for (int sign : {1, -1}) {
                    picture.contours.push_back(contourSegments(field, mask, sign * k * step));
                    picture.dashed.push_back(sign < 0);
                }
            break;
        }
        }
        return picture;
    }

    static void drawPanel(Drawing& drawing, int x, int y, const PanelPicture& picture)
    {
        drawing.image(x, y, picture.image);
        for (std::size_t c = 0; c < picture.contours.size(); ++c) {
            std::vector<Point> ends = picture.contours[c];
            for (Point& p : ends) {
                p.x += x;
                p.y += y;
            }
            drawing.segments(ends, kContour, 0.9, picture.dashed[c]);
        }
    }

    void drawLetters(Drawing& drawing, int x, int y, const PanelGeometry& g, const View& v) const
    {
        TextStyle style{10.0, kLetters, true};
        style.align = TextAlign::Left;
        drawing.text(x + 2, y + g.height() / 2.0 + 4, v.left, style);
        style.align = TextAlign::Right;
        drawing.text(x + g.width() - 2, y + g.height() / 2.0 + 4, v.right, style);
        style.align = TextAlign::Centre;
        drawing.text(x + g.width() / 2.0, y + 11, v.top, style);
        drawing.text(x + g.width() / 2.0, y + g.height() - 3, v.bottom, style);
    }

    void drawSliceNumber(Drawing& drawing, int x, int y, const PanelGeometry& g, const View& v, int slice) const
    {
        TextStyle style{9.0, kDimText};
        style.align = TextAlign::Right;
        const char axis = "xyz"[v.sliceAxis];
        // The bottom letter sits in the middle; the number goes to the corner.
        drawing.text(x + g.width() - 2, y + g.height() - 3, std::string(1, axis) + "=" + std::to_string(slice), style);
    }

    int barHeight() const { return std::min(panelsHeight_, 260); }

    void drawBar(Drawing& drawing, int left, int top, Rgb (*colour)(double), double low, double high) const
    {
        const int height = barHeight();
        for (int row = 0; row < height; ++row) {
            const double t = 1.0 - (row + 0.5) / height;
            drawing.fill(left, top + row, kBarWidth, 1, colour(low + t * (high - low)));
        }
        drawing.frame(left, top, kBarWidth, height, kDimText, 1.0);
    }

    // y of a value on a bar from low (bottom) to high (top).
    double barY(int top, double value, double low, double high) const
    {
        return top + (high - value) / (high - low) * barHeight();
    }

    void drawDifferenceBar(Drawing& drawing, int left, int top) const
    {
        drawBar(drawing, left, top, heatColour, 0.0, 1.0);
        TextStyle tick{10.0, kText};
        const double t = analysis_.differenceTop;
        for (double value : {0.0, 0.5 * t, t}) {
            const double y = barY(top, value, 0.0, t);
            drawing.segments({{left + kBarWidth + 0.0, y}, {left + kBarWidth + 4.0, y}}, kDimText, 1.0);
            drawing.text(left + kBarWidth + 6, y + 4, formatFixed(value, 0), tick);
        }
    }

    void drawFieldBar(Drawing& drawing, int left, int top) const
    {
        drawBar(drawing, left, top, divergingColour, -1.0, 1.0);
        const double t = analysis_.fieldTop;
        const bool hertz = inputs_.hertzPerVoxel.has_value();
        const double mmPerUnit = hertz ? millimetresPerVoxel(inputs_) / *inputs_.hertzPerVoxel : 1.0;
        TextStyle unit{10.0, kDimText, true};
        unit.align = TextAlign::Centre;
        const TextStyle mmLabel{10.0, kText};
        TextStyle hertzLabel{10.0, kText};
        hertzLabel.align = TextAlign::Right;
        if (hertz && inputs_.millimetreScale) drawing.text(left - 20, top - 6, "Hz", unit);
        drawing.text(left + kBarWidth + 22, top - 6, hertz && !inputs_.millimetreScale ? "Hz" : "mm", unit);
        const double step = analysis_.contourStep;
        const int steps = static_cast<int>(std::floor(t / step + 1e-9));
        // Label every contour level when few, else every other one.
        const int every = steps > 4 ? 2 : 1;
        for (int k = -steps; k <= steps; ++k) {
            const double value = k * step;
            const double y = barY(top, value, -t, t);
            drawing.segments({{left - 3.0, y}, {left + kBarWidth + 3.0, y}}, kContour, 1.0, k < 0);
            if (k % every != 0) continue;
            if (bothScales()) {
                drawing.text(left - 5, y + 4, formatSigned(value), hertzLabel);
                drawing.text(left + kBarWidth + 5, y + 4, formatSigned(value * mmPerUnit), mmLabel);
            } else {
                drawing.text(left + kBarWidth + 5, y + 4, formatSigned(value), mmLabel);
            }
        }
    }

    const QcInputs& inputs_;
    const QcAnalysis& analysis_;
    MosaicSpec spec_;
    double pixelsPerMm_;
    std::array<int, 3> panelWidth_{};
    std::array<int, 3> panelHeight_{};
    int labelWidth_ = 0;
    int panelsWidth_ = 0;
    int panelsHeight_ = 0;
    int barColumn_ = 0;
};

// A drawing only for measuring text.
Drawing& measuringDrawing()
{
    thread_local Drawing measure(1, 1, PictureFormat::Png);
    return measure;
}

}  // namespace

std::vector<VoxelIndex> qcObjectVoxels(const QcInputs& inputs)
{
    const Volume& a = inputs.firstBefore;
    std::vector<float> mean(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        mean[i] = 0.25f * (a[i] + inputs.secondBefore[i] + inputs.firstAfter[i] + inputs.secondAfter[i]);
    const double threshold = 0.1 * quantile(mean, 0.99);
    std::vector<VoxelIndex> voxels;
    for (int z = 0; z < a.nz(); ++z)
        for (int y = 0; y < a.ny(); ++y)
            for (int x = 0; x < a.nx(); ++x)
                if (mean[a.index(x, y, z)] >= threshold && mean[a.index(x, y, z)] > 0.0f) voxels.push_back({x, y, z});
    return voxels;
}

QcAnalysis analyseQc(const QcInputs& inputs)
{
    checkInputs(inputs);
    QcAnalysis analysis;
    const Dimensions extent = inputs.firstBefore.dimensions();
    const std::vector<VoxelIndex> signal = qcObjectVoxels(inputs);
    analysis.object = inputs.object.empty() ? signal : inputs.object;
    const std::vector<VoxelIndex>& object = analysis.object;
    analysis.inside = Volume(extent, 0.0f);
    for (const VoxelIndex& v : object) analysis.inside(v.x, v.y, v.z) = 1.0f;

    if (!object.empty()) {
        const double n = static_cast<double>(object.size());
        analysis.agreement = {ssdLocal(inputs.firstBefore, inputs.secondBefore, object) / n,
                              nccLocal(inputs.firstBefore, inputs.secondBefore, object),
                              ssdLocal(inputs.firstAfter, inputs.secondAfter, object) / n,
                              nccLocal(inputs.firstAfter, inputs.secondAfter, object)};
    }
    analysis.map = summariseMap(inputs, object);

    // Scales: one grey scale for the four images, one for both differences, one symmetric
    // scale for the field with its contour step.
    // The grey scale from at most about a million voxels of each image, evenly strided.
    const std::size_t stride = 1 + inputs.firstBefore.size() / 1000000;
    std::vector<float> values;
    values.reserve(4 * (inputs.firstBefore.size() / stride + 1));
    for (const Volume* volume : {&inputs.firstBefore, &inputs.secondBefore, &inputs.firstAfter, &inputs.secondAfter})
        for (std::size_t i = 0; i < volume->size(); i += stride) values.push_back((*volume)[i]);
    analysis.intensityTop = std::max(1e-6, quantile(std::move(values), 0.995));
    std::vector<float> differences;
    differences.reserve(object.size());
    for (const VoxelIndex& v : object)
        differences.push_back(std::abs(at(inputs.firstBefore, v) - at(inputs.secondBefore, v)));
    analysis.differenceTop = std::max(1e-6, quantile(std::move(differences), 0.99));
    std::vector<float> magnitudes;
    magnitudes.reserve(object.size());
    const double fieldPerVoxel = inputs.hertzPerVoxel ? *inputs.hertzPerVoxel : millimetresPerVoxel(inputs);
    for (const VoxelIndex& v : object)
        magnitudes.push_back(static_cast<float>(std::abs(at(inputs.displacement, v) * fieldPerVoxel)));
    const double typical = quantile(std::move(magnitudes), 0.98);
    analysis.contourStep = niceStep(typical > 0.0 ? typical / 4.0 : 0.25);
    const double step = analysis.contourStep;
    analysis.fieldTop = std::max(step, std::ceil(typical / step - 1e-9) * step);

    // Geometry: the box around the signal, slices spread through the object, one scale in
    // pixels per millimetre for every view.
    analysis.box = boxAround(signal, extent, 2);
    analysis.views = standardViews(inputs.orientation, inputs.convention);
    const VoxelBox objectBox = boxAround(object, extent, 0);
    for (int view = 0; view < 3; ++view) {
        const int axis = analysis.views[view].sliceAxis;
        analysis.slices[view] = evenlySpacedSlices(objectBox.low[axis], objectBox.high[axis], kSlicesPerView[view]);
    }
    analysis.boxMm = 0.0;
    for (int axis = 0; axis < 3; ++axis)
        analysis.boxMm = std::max(analysis.boxMm, (analysis.box.high[axis] - analysis.box.low[axis] + 1) *
                                                      inputs.orientation.voxelSize[axis]);
    return analysis;
}

QcRendering renderQcFigure(const QcInputs& inputs, const QcAnalysis& analysis, QcFigure figure, PictureFormat format,
                           double panelPixels)
{
    const Mosaic mosaic(inputs, analysis, figure, panelPixels, measuringDrawing());
    QcRendering rendering;
    rendering.width = mosaic.width();
    rendering.height = mosaic.height();
    Drawing drawing(rendering.width, rendering.height, format, kBackground);
    mosaic.draw(drawing, 0, 0, rendering.panels);
    rendering.bytes = drawing.finish();
    return rendering;
}

QcRendering renderQcPicture(const QcInputs& inputs, const QcAnalysis& analysis, PictureFormat format)
{
    Drawing& measure = measuringDrawing();
    const Mosaic before(inputs, analysis, QcFigure::PairBefore, kPicturePanelPixels, measure);
    const Mosaic after(inputs, analysis, QcFigure::PairAfter, kPicturePanelPixels, measure);
    const Mosaic difference(inputs, analysis, QcFigure::Difference, kPicturePanelPixels, measure);
    const Mosaic field(inputs, analysis, QcFigure::Field, kPicturePanelPixels, measure);
    const std::vector<std::string> summary = qcSummaryLines(inputs, analysis);
    const std::string note = orientationNote(inputs, analysis);
    const TextStyle title{20.0, kText, true};
    const TextStyle line{13.0, kDimText};

    const int headerHeight = 40 + 18 * static_cast<int>(summary.size()) + 8;
    const int columnGap = 8;
    const int leftWidth = std::max(before.width(), difference.width());
    const int width = 2 * kMargin + leftWidth + columnGap + std::max(after.width(), field.width());
    const int firstRow = std::max(before.height(), after.height());
    const int height = headerHeight + firstRow + columnGap + std::max(difference.height(), field.height()) + 30;

    QcRendering rendering;
    rendering.width = width;
    rendering.height = height;
    Drawing drawing(width, height, format, kBackground);
    drawing.text(kMargin + 2, 30, inputs.title, title);
    for (std::size_t i = 0; i < summary.size(); ++i)
        drawing.text(kMargin + 2, 56 + 18 * static_cast<double>(i), summary[i], line);
    const int top = headerHeight;
    before.draw(drawing, kMargin, top, rendering.panels);
    after.draw(drawing, kMargin + leftWidth + columnGap, top, rendering.panels);
    difference.draw(drawing, kMargin, top + firstRow + columnGap, rendering.panels);
    field.draw(drawing, kMargin + leftWidth + columnGap, top + firstRow + columnGap, rendering.panels);
    drawing.text(kMargin + 2, height - 11, note, {11.0, kDimText});
    rendering.bytes = drawing.finish();
    return rendering;
}

std::string formatFixed(double value, int decimals)
{
    return printed("%.*f", decimals, value);
}

std::string formatMeanSquared(double value)
{
    return formatFixed(value, 1);
}

std::string formatCorrelation(double value)
{
    return formatFixed(value, 4);
}

std::string formatSigned(double value)
{
    const std::string text = printed("%+.*f", 1, value);
    return text == "+0.0" || text == "-0.0" ? "0.0" : text;
}

std::string formatRange(double lowest, double highest, const std::string& unit)
{
    return formatSigned(lowest) + " to " + formatSigned(highest) + " " + unit;
}

std::string foldText(const QcMapSummary& map, int phaseEncodingAxis)
{
    const std::string step = formatFixed(map.largestStep, 2);
    const char axis = phaseEncodingAxis == 0 ? 'x' : 'y';
    if (map.folds == 0)
        return "no folds (largest step between neighbours along " + std::string(1, axis) + " " + step + " voxels)";
    return std::to_string(map.folds) + (map.folds == 1 ? " fold" : " folds") + " (neighbours along " +
           std::string(1, axis) + " more than 1 voxel apart; largest step " + step + " voxels)";
}

std::string improvementText(const QcAgreement& agreement)
{
    const double before = agreement.meanSquaredBefore;
    const double after = agreement.meanSquaredAfter;
    if (!(after > 0.0) || !(before > 0.0)) return "";
    return before >= after ? formatFixed(before / after, 1) + " times less" : formatFixed(after / before, 1) + " times more";
}

std::vector<std::string> qcSummaryLines(const QcInputs& inputs, const QcAnalysis& analysis)
{
    const QcAgreement& q = analysis.agreement;
    const QcMapSummary& map = analysis.map;
    const std::string improvement = improvementText(q);
    std::string range = formatRange(map.lowestMm, map.highestMm, "mm");
    if (map.lowestHz) range += " (" + formatRange(*map.lowestHz, *map.highestHz, "Hz") + ")";
    return {"Agreement of " + inputs.firstName + " and " + inputs.secondName + " inside the object (" +
                std::to_string(analysis.object.size()) + " voxels):",
            "  mean squared difference " + formatMeanSquared(q.meanSquaredBefore) + " before, " +
                formatMeanSquared(q.meanSquaredAfter) + " after" + (improvement.empty() ? "" : " (" + improvement + ")"),
            "  correlation " + formatCorrelation(q.correlationBefore) + " before, " +
                formatCorrelation(q.correlationAfter) + " after",
            "Displacement of " + inputs.firstName + " inside the object: " + range + "; " +
                foldText(map, inputs.phaseEncodingAxis)};
}

std::string orientationNote(const QcInputs& inputs, const QcAnalysis&)
{
    const Orientation& o = inputs.orientation;
    if (!o.anatomical) return "Orientation unknown: panels show " + o.source + ".";
    std::string note = "Orientation from " + o.source + "; " + conventionText(inputs.convention) + ".";
    if (o.obliqueDegrees > 1.0)
        note += " The slices follow the voxel axes, up to " + formatFixed(o.obliqueDegrees, 0) +
                "\u00b0 from the body's axes.";
    return note;
}

void writeQcPicture(const std::string& path, const QcInputs& inputs, const QcAnalysis& analysis)
{
    const PictureFormat format = hasExtension(path, "svg") ? PictureFormat::Svg : PictureFormat::Png;
    writeBytes(path, renderQcPicture(inputs, analysis, format).bytes);
}

QcResult writeQcPicture(const std::string& path, const QcInputs& inputs)
{
    QcResult result{analyseQc(inputs), {}};
    result.summary = qcSummaryLines(inputs, result.analysis);
    writeQcPicture(path, inputs, result.analysis);
    return result;
}
