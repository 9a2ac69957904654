// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/drawing.h"

#include <cerrno>
#include <cairo-svg.h>
#include <cairo.h>

#include <fstream>
#include <stdexcept>

#include "files/fileerrors.h"
#include "files/stagedfile.h"
#include "files/diskspace.h"

namespace {

const char* const kFontFamily = "DejaVu Sans";

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

void setColour(cairo_t* cr, Rgb colour)
{
    cairo_set_source_rgb(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0);
}

void check(cairo_status_t status)
{
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(std::string("Cannot draw the picture: ") + cairo_status_to_string(status));
}

}  // namespace

struct Drawing::State {
    PictureFormat format;
    std::string svg;  // the SVG surface writes here as it goes
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;

    ~State()
    {
        if (cr != nullptr) cairo_destroy(cr);
        if (surface != nullptr) cairo_surface_destroy(surface);
    }
};

Drawing::Drawing(int width, int height, PictureFormat format, Rgb background)
    : state_(std::make_unique<State>())
{
    if (width < 1 || height < 1) throw std::invalid_argument("A picture needs a positive size.");
    state_->format = format;
    if (format == PictureFormat::Svg) {
        state_->surface = cairo_svg_surface_create_for_stream(appendBytes, &state_->svg, width, height);
        cairo_svg_surface_restrict_to_version(state_->surface, CAIRO_SVG_VERSION_1_1);
    } else {
        state_->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    }
    check(cairo_surface_status(state_->surface));
    state_->cr = cairo_create(state_->surface);
    check(cairo_status(state_->cr));
    fill(0, 0, width, height, background);
}

Drawing::~Drawing() = default;

void Drawing::fill(double x, double y, double width, double height, Rgb colour)
{
    cairo_t* cr = state_->cr;
    setColour(cr, colour);
    cairo_rectangle(cr, x, y, width, height);
    cairo_fill(cr);
}

void Drawing::frame(double x, double y, double width, double height, Rgb colour, double lineWidth)
{
    cairo_t* cr = state_->cr;
    setColour(cr, colour);
    cairo_set_line_width(cr, lineWidth);
    cairo_rectangle(cr, x + lineWidth / 2, y + lineWidth / 2, width - lineWidth, height - lineWidth);
    cairo_stroke(cr);
}

double Drawing::textWidth(const std::string& text, const TextStyle& style)
{
    cairo_t* cr = state_->cr;
    cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL,
                           style.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, style.size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

void Drawing::text(double x, double y, const std::string& text, const TextStyle& style)
{
    const double width = textWidth(text, style);  // also selects the font
    cairo_t* cr = state_->cr;
    const double left = style.align == TextAlign::Left ? x : style.align == TextAlign::Centre ? x - width / 2 : x - width;
    setColour(cr, style.colour);
    cairo_move_to(cr, left, y);
    cairo_show_text(cr, text.c_str());
    cairo_new_path(cr);
}

void Drawing::segments(const std::vector<Point>& ends, Rgb colour, double lineWidth, bool dashed)
{
    cairo_t* cr = state_->cr;
    for (std::size_t i = 0; i + 1 < ends.size(); i += 2) {
        cairo_move_to(cr, ends[i].x, ends[i].y);
        cairo_line_to(cr, ends[i + 1].x, ends[i + 1].y);
    }
    setColour(cr, colour);
    cairo_set_line_width(cr, lineWidth);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    const double dash[2] = {3.0 * lineWidth, 2.0 * lineWidth};
    cairo_set_dash(cr, dash, dashed ? 2 : 0, 0.0);
    cairo_stroke(cr);
    cairo_set_dash(cr, dash, 0, 0.0);
}

void Drawing::image(int x, int y, const RgbImage& image)
{
    if (image.width < 1 || image.height < 1) return;
    cairo_surface_t* raster = cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height);
    check(cairo_surface_status(raster));
    cairo_surface_flush(raster);
    unsigned char* data = cairo_image_surface_get_data(raster);
    const int stride = cairo_image_surface_get_stride(raster);
    for (int row = 0; row < image.height; ++row) {
        auto* pixel = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(row) * stride);
        for (int column = 0; column < image.width; ++column) {
            const Rgb& c = image.at(column, row);
            pixel[column] = (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b;
        }
    }
    cairo_surface_mark_dirty(raster);
    cairo_t* cr = state_->cr;
    cairo_set_source_surface(cr, raster, x, y);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_rectangle(cr, x, y, image.width, image.height);
    cairo_fill(cr);
    cairo_surface_destroy(raster);
}

std::string Drawing::finish()
{
    check(cairo_status(state_->cr));
    std::string bytes;
    if (state_->format == PictureFormat::Png) {
        cairo_surface_flush(state_->surface);
        check(cairo_surface_write_to_png_stream(state_->surface, appendBytes, &bytes));
    } else {
        cairo_surface_finish(state_->surface);
        check(cairo_surface_status(state_->surface));
        bytes = std::move(state_->svg);
    }
    return bytes;
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    StagedFile staged(path);
    std::ofstream file(staged.writePath(), staged.writeMode() | std::ios::binary);
    if (!file) {
        const int error = errno;
        throw WriteFileError("Failed opening for writing: " + path + diskFullNote(path, error));
    }
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        const int error = errno;
        throw WriteFileError("Cannot write " + path + diskFullNote(path, error));
    }
    staged.commit();
}
