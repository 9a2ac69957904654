// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fieldmapphantom.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

void writeSidecar(const std::string& image, const nlohmann::json& content)
{
    std::ofstream(image.substr(0, image.size() - 7) + ".json") << content.dump(2) << '\n';
}

double wrapped(double radians)
{
    return radians - 2.0 * kPi * std::round(radians / (2.0 * kPi));
}

// The phase that accrues by time t, plus (for a single echo) a smooth phase that every echo
// shares, as a coil gives; with noise that grows as the magnitude falls (0.01 rad at its
// peak), a uniform angle where there is no signal.
Volume phaseAt(const Volume& hertz, const Volume& magnitude, double t, bool singleEcho, std::mt19937& generator)
{
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> anyAngle(-kPi, kPi);
    float peak = 0.0f;
    for (std::size_t v = 0; v < magnitude.size(); ++v) peak = std::max(peak, magnitude[v]);
    Volume phase(hertz.dimensions());
    for (int z = 0; z < phase.nz(); ++z)
        for (int y = 0; y < phase.ny(); ++y)
            for (int x = 0; x < phase.nx(); ++x) {
                const std::size_t v = phase.index(x, y, z);
                const double shared = singleEcho ? 0.7 + 0.03 * x - 0.02 * z : 0.0;
                const double spread = 0.01 * peak / std::max(magnitude[v], 1e-6f);
                phase[v] = static_cast<float>(spread > 1.0 ? anyAngle(generator)
                                                           : wrapped(shared + 2.0 * kPi * hertz[v] * t +
                                                                     spread * noise(generator)));
            }
    return phase;
}

}  // namespace

std::vector<std::string> writeFieldMapCase(const std::string& prefix, FieldMapCase kind, const TestGrid& grid,
                                           const Volume& hertz, const Volume& magnitude, const nlohmann::json& extra)
{
    std::mt19937 generator(7);
    const auto write = [&](const std::string& suffix, const Volume& volume, nlohmann::json sidecar) {
        const std::string path = prefix + "_" + suffix + ".nii.gz";
        writeGridImage(path, grid, {volume});
        sidecar.update(extra);
        writeSidecar(path, sidecar);
        return path;
    };
    const Volume secondEcho = magnitude * 0.8f;
    switch (kind) {
    case FieldMapCase::PhaseDifference: {
        // Scanner units: -4096..4095 for -pi..pi, whole numbers.
        Volume difference = phaseAt(hertz, magnitude, kPhantomEchoTime2 - kPhantomEchoTime1, false, generator);
        for (std::size_t v = 0; v < difference.size(); ++v)
            difference[v] = static_cast<float>(std::clamp(std::round(difference[v] / kPi * 4096.0), -4096.0, 4095.0));
        return {write("phasediff", difference, {{"EchoTime1", kPhantomEchoTime1}, {"EchoTime2", kPhantomEchoTime2}}),
                write("magnitude1", magnitude, nlohmann::json::object()),
                write("magnitude2", secondEcho, nlohmann::json::object())};
    }
    case FieldMapCase::TwoPhases:
        return {write("phase1", phaseAt(hertz, magnitude, kPhantomEchoTime1, true, generator), {{"EchoTime", kPhantomEchoTime1}}),
                write("phase2", phaseAt(hertz, magnitude, kPhantomEchoTime2, true, generator), {{"EchoTime", kPhantomEchoTime2}}),
                write("magnitude1", magnitude, nlohmann::json::object()),
                write("magnitude2", secondEcho, nlohmann::json::object())};
    case FieldMapCase::FieldInRadiansPerSecond:
        return {write("fieldmap", hertz * static_cast<float>(2.0 * kPi), {{"Units", "rad/s"}}),
                write("magnitude", magnitude, nlohmann::json::object())};
    }
    return {};
}

FieldMapPhantom makeFieldMapPhantom()
{
    FieldMapPhantom result;
    PhantomOptions options;
    options.extent = {40, 40, 20};
    options.voxelSize = {3.0, 3.0, 3.0};
    options.peakDisplacement = 3.0;
    options.seed = 5;
    options.volumes = 2;  // a run is 4-D
    result.phantom = makePhantom(options);
    result.runGrid = {options.extent, {3.0, 3.0, 3.0}, {-58.5, -58.5, -28.5}};
    result.fieldGrid = {{46, 46, 22}, {2.5, 2.5, 2.5}, {-56.0, -56.5, -26.0}};
    // The first run, restored by +map, is displaced by +d along j: field = d / readout time.
    result.hertz = result.phantom.displacement * static_cast<float>(1.0 / result.readoutTime);
    return result;
}

FieldMapPhantom writeFieldMapPhantomRuns(const std::string& folder)
{
    FieldMapPhantom result = makeFieldMapPhantom();
    fs::create_directories(folder);
    result.first = folder + "/first_bold.nii.gz";
    result.second = folder + "/second_bold.nii.gz";
    writeGridImage(result.first, result.runGrid, result.phantom.first);
    writeGridImage(result.second, result.runGrid, result.phantom.second);
    writeSidecar(result.first, {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", result.readoutTime}});
    writeSidecar(result.second, {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", result.readoutTime}});
    return result;
}

Volume phantomFieldOnFieldGrid(const FieldMapPhantom& phantom)
{
    return resampleToGrid(phantom.hertz, phantom.runGrid, phantom.fieldGrid);
}

Volume phantomMagnitudeOnFieldGrid(const FieldMapPhantom& phantom)
{
    return resampleToGrid(phantom.phantom.truth, phantom.runGrid, phantom.fieldGrid);
}
