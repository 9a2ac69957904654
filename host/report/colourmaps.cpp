// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/colourmaps.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

std::uint8_t channel(double value)
{
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
}

// Piecewise linear through evenly spaced stops from t = 0 to t = 1.
template <std::size_t N>
Rgb throughStops(const std::array<Rgb, N>& stops, double t)
{
    if (!(t > 0.0)) return stops.front();
    if (t >= 1.0) return stops.back();
    const double position = t * static_cast<double>(N - 1);
    const std::size_t below = static_cast<std::size_t>(position);
    const double f = position - static_cast<double>(below);
    const Rgb& a = stops[below];
    const Rgb& b = stops[below + 1];
    return {channel(a.r + f * (b.r - a.r)), channel(a.g + f * (b.g - a.g)), channel(a.b + f * (b.b - a.b))};
}

const std::array<Rgb, 8> kHeat{{{0, 0, 4},
                               {40, 11, 84},
                               {101, 21, 110},
                               {159, 42, 99},
                               {212, 72, 66},
                               {245, 125, 21},
                               {250, 193, 39},
                               {252, 255, 164}}};

const std::array<Rgb, 11> kDiverging{{{5, 48, 97},
                                     {33, 102, 172},
                                     {67, 147, 195},
                                     {146, 197, 222},
                                     {209, 229, 240},
                                     {247, 247, 247},
                                     {253, 219, 199},
                                     {244, 165, 130},
                                     {214, 96, 77},
                                     {178, 24, 43},
                                     {103, 0, 31}}};

}  // namespace

Rgb greyColour(double t)
{
    if (std::isnan(t)) return {0, 0, 0};
    const std::uint8_t v = channel(255.0 * std::clamp(t, 0.0, 1.0));
    return {v, v, v};
}

Rgb heatColour(double t)
{
    return throughStops(kHeat, t);
}

Rgb divergingColour(double t)
{
    return throughStops(kDiverging, 0.5 * (t + 1.0));
}

Rgb blend(Rgb under, Rgb over, double alpha)
{
    const auto mix = [alpha](std::uint8_t a, std::uint8_t b) { return channel(a + alpha * (b - a)); };
    return {mix(under.r, over.r), mix(under.g, over.g), mix(under.b, over.b)};
}
