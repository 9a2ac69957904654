// SPDX-License-Identifier: GPL-3.0-or-later
// A drawing surface for the host's pictures, drawn through Cairo: anti-aliased text in
// DejaVu Sans, filled rectangles, lines, raster panels; finished as PNG or SVG bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A raster of colours, row by row from the top.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;

    Rgb& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    const Rgb& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

enum class PictureFormat { Png, Svg };

enum class TextAlign { Left, Centre, Right };

struct TextStyle {
    double size = 12.0;  // pixels
    Rgb colour{30, 30, 30};
    bool bold = false;
    TextAlign align = TextAlign::Left;
};

struct Point {
    double x = 0.0;
    double y = 0.0;
};

class Drawing {
public:
    // A white drawing of the size in pixels (SVG: user units of one pixel each).
    Drawing(int width, int height, PictureFormat format, Rgb background = {255, 255, 255});
    ~Drawing();
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;

    void fill(double x, double y, double width, double height, Rgb colour);
    void frame(double x, double y, double width, double height, Rgb colour, double lineWidth = 1.0);
    // Text with its baseline at y; x is its left end, centre or right end by the style.
    void text(double x, double y, const std::string& text, const TextStyle& style);
    double textWidth(const std::string& text, const TextStyle& style);
    // Line segments, each two points, stroked in one colour; dashed when asked.
    void segments(const std::vector<Point>& ends, Rgb colour, double lineWidth, bool dashed = false);
    // Draws the image pixel for pixel with its top-left corner at (x, y).
    void image(int x, int y, const RgbImage& image);

    // Ends the drawing and returns the encoded file. Throws std::runtime_error when Cairo
    // reports an error.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes bytes to path; throws WriteFileError when the file cannot be written.
void writeBytes(const std::string& path, const std::string& bytes);
