#include "report/qcpicture.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "core/distance.h"
#include "files/fileerrors.h"
#include "files/stagedfile.h"
#include "report/bitmapfont.h"

namespace {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

const Rgb kBackground{24, 24, 28};
const Rgb kText{235, 235, 235};
const Rgb kDimText{170, 170, 180};
const Rgb kOutline{0, 0, 0};

constexpr int kPanelSize = 192;   // pixels across the largest extent of the field of view
constexpr int kTextScale = 2;     // font pixels per glyph pixel
constexpr int kLineHeight = (kGlyphHeight + 3) * kTextScale;
constexpr int kLeftMargin = 120;
constexpr int kPanelGap = 4;
constexpr int kGroupGap = 16;
constexpr int kBarWidth = 16;
constexpr int kRightMargin = 110;

class Canvas {
public:
    Canvas(int width, int height) : image_{width, height, {}}
    {
        image_.pixels.resize(static_cast<std::size_t>(width) * height * 3);
        fill(0, 0, width, height, kBackground);
    }

    void set(int x, int y, Rgb colour)
    {
        if (x < 0 || y < 0 || x >= image_.width || y >= image_.height) return;
        std::uint8_t* p = &image_.pixels[(static_cast<std::size_t>(y) * image_.width + x) * 3];
        p[0] = colour.r;
        p[1] = colour.g;
        p[2] = colour.b;
    }

    void fill(int x, int y, int width, int height, Rgb colour)
    {
        for (int v = y; v < y + height; ++v)
            for (int u = x; u < x + width; ++u) set(u, v, colour);
    }

    // Draws text with its top-left corner at (x, y); returns its width in pixels.
    int text(int x, int y, const std::string& text, Rgb colour, int scale = kTextScale)
    {
        int cursor = x;
        for (char character : text) {
            const auto& rows = glyph(character);
            for (int row = 0; row < kGlyphHeight; ++row)
                for (int column = 0; column < kGlyphWidth; ++column)
                    if (rows[row] & (1u << (kGlyphWidth - 1 - column)))
                        fill(cursor + column * scale, y + row * scale, scale, scale, colour);
            cursor += (kGlyphWidth + 1) * scale;
        }
        return cursor - x;
    }

    RgbImage take() { return std::move(image_); }

private:
    RgbImage image_;
};

int textWidth(const std::string& text, int scale = kTextScale)
{
    return static_cast<int>(text.size()) * (kGlyphWidth + 1) * scale;
}

std::string number(double value, int decimals, bool sign = false)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, sign ? "%+.*f" : "%.*f", decimals, value);
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

double clamp01(double t)
{
    return std::clamp(t, 0.0, 1.0);
}

std::uint8_t byte(double t)
{
    return static_cast<std::uint8_t>(std::lround(255.0 * clamp01(t)));
}

Rgb grey(double value, double top)
{
    const std::uint8_t v = byte(value / top);
    return {v, v, v};
}

// Black through red and yellow to white.
Rgb heat(double value, double top)
{
    const double t = clamp01(value / top);
    return {byte(3.0 * t), byte(3.0 * t - 1.0), byte(3.0 * t - 2.0)};
}

// Blue for negative, white for zero, red for positive values.
Rgb diverging(double value, double top)
{
    const double t = std::clamp(value / top, -1.0, 1.0);
    if (t >= 0.0) return {255, byte(1.0 - t), byte(1.0 - t)};
    return {byte(1.0 + t), byte(1.0 + t), 255};
}

// One of the three orthogonal slices through the focus voxel: panel pixel (u, v) shows
// the voxel at horizontal axis index u and vertical axis index counted from the bottom.
struct View {
    const char* name;
    int horizontal;  // 0 x, 1 y, 2 z
    int vertical;
    int width;       // pixels
    int height;
};

struct Layout {
    std::array<View, 3> views;
    std::array<int, 3> rowTop{};
    std::vector<int> columnLeft;
    int columnWidth = 0;
};

int extentOf(const Dimensions& d, int axis)
{
    return axis == 0 ? d.x : axis == 1 ? d.y : d.z;
}

class Slicer {
public:
    Slicer(const Dimensions& extent, const View& view, const VoxelIndex& focus)
        : extent_(extent), view_(view), focus_(focus)
    {
    }

    // The voxel shown at panel pixel (u, v), v counted from the top.
    VoxelIndex voxel(int u, int v) const
    {
        const int nh = extentOf(extent_, view_.horizontal);
        const int nv = extentOf(extent_, view_.vertical);
        const int h = std::min(nh - 1, static_cast<int>(static_cast<long>(u) * nh / view_.width));
        const int w = nv - 1 - std::min(nv - 1, static_cast<int>(static_cast<long>(v) * nv / view_.height));
        std::array<int, 3> p{focus_.x, focus_.y, focus_.z};
        p[view_.horizontal] = h;
        p[view_.vertical] = w;
        return {p[0], p[1], p[2]};
    }

private:
    Dimensions extent_;
    View view_;
    VoxelIndex focus_;
};

float at(const Volume& volume, const VoxelIndex& v)
{
    return volume(v.x, v.y, v.z);
}

// A label cut to kLongestQcLabel characters, so that no name widens the picture.
std::string fittedLabel(const std::string& label)
{
    if (label.size() <= kLongestQcLabel) return label;
    return label.substr(0, kLongestQcLabel - 3) + "...";
}

void checkInputs(const QcInputs& inputs)
{
    const Dimensions extent = inputs.firstBefore.dimensions();
    if (inputs.firstBefore.size() == 0) throw std::invalid_argument("The quality-control picture needs non-empty volumes.");
    for (const Volume* volume : {&inputs.secondBefore, &inputs.firstAfter, &inputs.secondAfter, &inputs.displacementMm})
        if (volume->dimensions() != extent)
            throw std::invalid_argument("The volumes of the quality-control picture differ in extent.");
    for (const VoxelIndex& v : inputs.object)
        if (v.x < 0 || v.y < 0 || v.z < 0 || v.x >= extent.x || v.y >= extent.y || v.z >= extent.z)
            throw std::invalid_argument("An object voxel of the quality-control picture lies outside the volumes.");
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

QcPicture renderQcPicture(const QcInputs& inputs)
{
    checkInputs(inputs);
    const Dimensions extent = inputs.firstBefore.dimensions();
    const std::vector<VoxelIndex> object = inputs.object.empty() ? qcObjectVoxels(inputs) : inputs.object;
    Volume inside(extent, 0.0f);
    for (const VoxelIndex& v : object) inside(v.x, v.y, v.z) = 1.0f;

    QcPicture picture;
    if (!object.empty()) {
        const double n = static_cast<double>(object.size());
        picture.agreement = {ssdLocal(inputs.firstBefore, inputs.secondBefore, object) / n,
                             nccLocal(inputs.firstBefore, inputs.secondBefore, object),
                             ssdLocal(inputs.firstAfter, inputs.secondAfter, object) / n,
                             nccLocal(inputs.firstAfter, inputs.secondAfter, object)};
    }

    // Scales: one grey scale for the four images, one for both differences, one symmetric
    // scale for the map.
    std::vector<float> values;
    values.reserve(4 * inputs.firstBefore.size());
    for (const Volume* volume : {&inputs.firstBefore, &inputs.secondBefore, &inputs.firstAfter, &inputs.secondAfter})
        values.insert(values.end(), volume->data(), volume->data() + volume->size());
    const double intensityTop = std::max(1e-6, quantile(std::move(values), 0.995));
    std::vector<float> differences;
    for (const VoxelIndex& v : object)
        differences.push_back(std::abs(at(inputs.firstBefore, v) - at(inputs.secondBefore, v)));
    const double differenceTop = std::max(1e-6, quantile(std::move(differences), 0.99));
    VoxelIndex focus{extent.x / 2, extent.y / 2, extent.z / 2};
    double largest = 0.0;
    for (const VoxelIndex& v : object)
        if (std::abs(at(inputs.displacementMm, v)) > largest) {
            largest = std::abs(at(inputs.displacementMm, v));
            focus = v;
        }
    const double mapTop = largest > 0.0 ? std::ceil(largest * 10.0) / 10.0 : 1.0;

    // Geometry: panels keep the voxels' physical aspect.
    const auto& s = inputs.voxelSize;
    const double mm[3] = {extent.x * s[0], extent.y * s[1], extent.z * s[2]};
    const double scale = kPanelSize / std::max({mm[0], mm[1], mm[2]});
    const auto pixels = [&](int axis) { return std::max(1, static_cast<int>(std::lround(mm[axis] * scale))); };
    Layout layout;
    layout.views = {View{"axial", 0, 1, pixels(0), pixels(1)}, View{"coronal", 0, 2, pixels(0), pixels(2)},
                    View{"sagittal", 1, 2, pixels(1), pixels(2)}};
    layout.columnWidth = std::max(pixels(0), pixels(1));
    const std::string a = fittedLabel(inputs.firstName);
    const std::string b = fittedLabel(inputs.secondName);
    const std::string difference = fittedLabel("|" + a + "-" + b + "|");
    const std::array<std::string, 7> columnTop{a, b, difference, a, b, difference, "displacement"};
    const std::array<std::string, 7> columnBottom{"before", "before", "before", "after", "after", "after", "mm"};
    const std::array<std::string, 7> columnNames{"first before", "second before", "difference before", "first after",
                                                 "second after", "difference after", "displacement"};
    for (const std::string& label : columnTop) layout.columnWidth = std::max(layout.columnWidth, textWidth(label));
    int x = kLeftMargin;
    for (int column = 0; column < 7; ++column) {
        layout.columnLeft.push_back(x);
        x += layout.columnWidth + ((column == 2 || column == 5) ? kGroupGap : kPanelGap);
    }
    const int barLeft = x + kGroupGap - kPanelGap;
    const int width = barLeft + kBarWidth + kRightMargin;
    const int titleTop = 12;
    const int labelsTop = titleTop + 3 * kLineHeight / 2 + 8;
    int y = labelsTop + 2 * kLineHeight + 6;
    for (int row = 0; row < 3; ++row) {
        layout.rowTop[row] = y;
        y += layout.views[row].height + kPanelGap;
    }
    const int panelsBottom = y - kPanelGap;

    // Caption.
    const QcAgreement& q = picture.agreement;
    picture.caption.push_back("Agreement of " + a + " and " + b + " inside the object (" +
                              std::to_string(object.size()) + " voxels):");
    picture.caption.push_back("  mean squared difference " + number(q.meanSquaredBefore, 1) + " before, " +
                              number(q.meanSquaredAfter, 1) + " after" +
                              (q.meanSquaredAfter > 0.0
                                   ? " (" + number(q.meanSquaredBefore / q.meanSquaredAfter, 1) + " times less)"
                                   : std::string()));
    picture.caption.push_back("  correlation " + number(q.correlationBefore, 4) + " before, " +
                              number(q.correlationAfter, 4) + " after");
    picture.caption.push_back("Images 0 to " + number(intensityTop, 0) + "; both differences on one scale, 0 to " +
                              number(differenceTop, 1) + "; map " + number(-mapTop, 1) + " to " +
                              number(mapTop, 1, true) + " mm with the object outline.");
    picture.caption.push_back("Slices through voxel (" + std::to_string(focus.x) + ", " + std::to_string(focus.y) +
                              ", " + std::to_string(focus.z) + "), the largest displacement in the object (" +
                              number(largest, 2) + " mm).");
    const int captionTop = panelsBottom + 18;
    const int height = captionTop + static_cast<int>(picture.caption.size()) * kLineHeight + 12;

    Canvas canvas(width, height);
    canvas.text(kLeftMargin, titleTop, inputs.title, kText, 3);
    for (int column = 0; column < 7; ++column) {
        const int left = layout.columnLeft[column];
        canvas.text(left + (layout.columnWidth - textWidth(columnTop[column])) / 2, labelsTop, columnTop[column], kText);
        canvas.text(left + (layout.columnWidth - textWidth(columnBottom[column])) / 2, labelsTop + kLineHeight,
                    columnBottom[column], kDimText);
    }

    for (int row = 0; row < 3; ++row) {
        const View& view = layout.views[row];
        canvas.text(12, layout.rowTop[row] + view.height / 2 - kLineHeight / 2, view.name, kText);
        const Slicer slicer(extent, view, focus);
        for (int column = 0; column < 7; ++column) {
            const int left = layout.columnLeft[column] + (layout.columnWidth - view.width) / 2;
            const int top = layout.rowTop[row];
            picture.panels.push_back({columnNames[column], view.name, left, top, view.width, view.height});
            for (int v = 0; v < view.height; ++v)
                for (int u = 0; u < view.width; ++u) {
                    const VoxelIndex voxel = slicer.voxel(u, v);
                    Rgb colour;
                    switch (column) {
                    case 0: colour = grey(at(inputs.firstBefore, voxel), intensityTop); break;
                    case 1: colour = grey(at(inputs.secondBefore, voxel), intensityTop); break;
                    case 2:
                        colour = heat(std::abs(at(inputs.firstBefore, voxel) - at(inputs.secondBefore, voxel)),
                                      differenceTop);
                        break;
                    case 3: colour = grey(at(inputs.firstAfter, voxel), intensityTop); break;
                    case 4: colour = grey(at(inputs.secondAfter, voxel), intensityTop); break;
                    case 5:
                        colour = heat(std::abs(at(inputs.firstAfter, voxel) - at(inputs.secondAfter, voxel)),
                                      differenceTop);
                        break;
                    default: {
                        colour = diverging(at(inputs.displacementMm, voxel), mapTop);
                        // The outline: where the object mask changes between neighbouring pixels.
                        const float here = at(inside, voxel);
                        const bool edge = (u + 1 < view.width && at(inside, slicer.voxel(u + 1, v)) != here) ||
                                          (v + 1 < view.height && at(inside, slicer.voxel(u, v + 1)) != here);
                        if (edge) colour = kOutline;
                    }
                    }
                    canvas.set(left + u, top + v, colour);
                }
        }
    }

    // Colour bar of the map, +top at the top, with its ticks.
    const int barTop = layout.rowTop[0];
    const int barHeight = panelsBottom - barTop;
    for (int v = 0; v < barHeight; ++v) {
        const double value = mapTop * (1.0 - 2.0 * v / std::max(1, barHeight - 1));
        canvas.fill(barLeft, barTop + v, kBarWidth, 1, diverging(value, mapTop));
    }
    const int tickLeft = barLeft + kBarWidth + 6;
    canvas.text(tickLeft, barTop, number(mapTop, 1, true), kText);
    canvas.text(tickLeft, barTop + barHeight / 2 - kGlyphHeight * kTextScale / 2, "0", kText);
    canvas.text(tickLeft, barTop + barHeight - kGlyphHeight * kTextScale, number(-mapTop, 1), kText);
    canvas.text(tickLeft, barTop + barHeight / 4, "mm", kDimText);

    for (std::size_t line = 0; line < picture.caption.size(); ++line)
        canvas.text(kLeftMargin, captionTop + static_cast<int>(line) * kLineHeight, picture.caption[line],
                    line == 0 ? kText : kDimText);
    picture.image = canvas.take();
    return picture;
}

void writePng(const std::string& path, const RgbImage& image)
{
    StagedFile staged(path);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(staged.writePath().c_str(), "wb"), std::fclose);
    if (!file) throw WriteFileError("Failed opening for writing: " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        throw std::bad_alloc();
    }
    // libpng reports errors by a long jump back here; nothing with a destructor is
    // created between setjmp and the end of writing.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw WriteFileError("Cannot write the picture " + path);
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < image.height; ++row)
        png_write_row(png, &image.pixels[static_cast<std::size_t>(row) * image.width * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file.release()) != 0) throw WriteFileError("Cannot write the picture " + path);
    staged.commit();
}

QcPicture writeQcPicture(const std::string& path, const QcInputs& inputs)
{
    QcPicture picture = renderQcPicture(inputs);
    writePng(path, picture.image);
    return picture;
}
