// A 5 x 7 pixel font for the labels of the host's pictures: upper-case letters (lower
// case is drawn in upper case), digits and common punctuation.
#pragma once

#include <array>
#include <cstdint>

// Rows top to bottom; bit 4 is the leftmost column. Unknown characters draw as '?'.
const std::array<std::uint8_t, 7>& glyph(char character);

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
