// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pngimage.h"

#include <cairo.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/runprocess.h"

namespace {

struct Reader {
    const std::string& bytes;
    std::size_t offset = 0;
};

cairo_status_t readBytes(void* closure, unsigned char* data, unsigned int length)
{
    Reader& reader = *static_cast<Reader*>(closure);
    if (reader.bytes.size() - reader.offset < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, reader.bytes.data() + reader.offset, length);
    reader.offset += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

RgbImage decodePng(const std::string& bytes)
{
    Reader reader{bytes};
    const std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> owner(
        cairo_image_surface_create_from_png_stream(readBytes, &reader), cairo_surface_destroy);
    cairo_surface_t* surface = owner.get();
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) throw std::runtime_error("not a PNG");
    // Cairo hands PNGs back as native-endian 32-bit pixels, red in bits 16..23.
    const cairo_format_t format = cairo_image_surface_get_format(surface);
    RgbImage image{cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface), {}};
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, data + static_cast<std::ptrdiff_t>(y) * stride + 4 * x, 4);
            const bool opaque = format != CAIRO_FORMAT_ARGB32 || (pixel >> 24) == 255;
            if (!opaque) throw std::runtime_error("the PNG is not opaque");
            image.at(x, y) = {static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
                              static_cast<std::uint8_t>(pixel)};
        }
    return image;
}

RgbImage readPngFile(const std::string& path)
{
    return decodePng(readWhole(path));
}
