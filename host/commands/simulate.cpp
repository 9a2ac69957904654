// SPDX-License-Identifier: GPL-3.0-or-later
#include <charconv>
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "cli/commands.h"
#include "files/fileerrors.h"
#include "phantom/phantom.h"

extern const CommandSpec simulateCommand{
    .name = "simulate",
    .arguments = "DIR",
    .minimumArguments = 1,
    .maximumArguments = 1,
    .summary = "write a phantom pair of opposite phase-encoding projects with a known displacement map",
    .description = "Writes into DIR (created when missing) a head-like phantom acquired twice with opposite\n"
                   "phase encoding: AP and PA (LR and RL with --left-right) as FMR/STC projects (DMR/DWI with\n"
                   "--dmr), the undistorted object as \"truth\", the true displacement map as \"true_vdm.map\"\n"
                   "and a summary in \"phantom.txt\". The first project is restored by the correction with\n"
                   "+map, the second with -map. The same options and seed give the same files.\n"
                   "The phantom is a spin-echo acquisition: a stretched or compressed region keeps its total\n"
                   "signal. --gradient-echo TE makes it a gradient-echo one (echo time TE in ms, T2* 45 ms,\n"
                   "total readout time 40 ms): the field's slope along the phase encoding moves each point's\n"
                   "echo to TE / (1 + s d') (s = +1 first, -1 second project, d' the map's slope), where it has\n"
                   "decayed more or less, and the field's change across the slice dephases it, so that signal\n"
                   "is lost where the distortion is strongest, differently for the two projects.",
    .options =
        {
            {"--size", "NXxNYxNZ", "extent in voxels (default 64x64x30)"},
            {"--voxel-size", "XxYxZ", "voxel size in mm, or one value for all three (default 3x3x3)"},
            {"--peak", "VOXELS", "largest displacement in voxels (default 4)"},
            {"--left-right", "", "phase encoding along x; the map displaces along x"},
            {"--volumes", "N", "volumes per project (default 1)"},
            {"--dmr", "", "write DMR/DWI projects instead of FMR/STC"},
            {"--float", "", "store float voxels instead of int16"},
            {"--noise", "SIGMA", "standard deviation of Rician-like noise (default 0: none)"},
            {"--gradient-echo", "TE", "gradient-echo acquisition with echo time TE in ms (default: spin echo)"},
            {"--seed", "N", "seed of the texture and the noise (default 1)"},
        },
};

namespace {

double parseNumber(const std::string& option, const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end || !std::isfinite(value))
        throw UsageError(option + " expects a number, got \"" + text + "\"");
    return value;
}

// "AxBxC" split at the letter x.
std::vector<std::string> splitTriple(const std::string& option, const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at = text.find('x'); at != std::string::npos; at = text.find('x', start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    if (parts.size() != 3) throw UsageError(option + " expects three values AxBxC, got \"" + text + "\"");
    return parts;
}

PhantomOptions phantomOptions(const ParsedCommandLine& command)
{
    PhantomOptions options;
    if (command.has("--size")) {
        const auto parts = splitTriple("--size", command.value("--size"));
        options.extent = {parseInteger("--size", parts[0]), parseInteger("--size", parts[1]),
                          parseInteger("--size", parts[2])};
    }
    if (command.has("--voxel-size")) {
        const std::string text = command.value("--voxel-size");
        if (text.find('x') == std::string::npos) {
            const double size = parseNumber("--voxel-size", text);
            options.voxelSize = {size, size, size};
        } else {
            const auto parts = splitTriple("--voxel-size", text);
            for (int axis = 0; axis < 3; ++axis) options.voxelSize[axis] = parseNumber("--voxel-size", parts[axis]);
        }
    }
    if (command.has("--peak")) options.peakDisplacement = parseNumber("--peak", command.value("--peak"));
    options.leftRight = command.has("--left-right");
    if (command.has("--volumes")) options.volumes = parseInteger("--volumes", command.value("--volumes"));
    options.diffusion = command.has("--dmr");
    options.floatData = command.has("--float");
    if (command.has("--noise")) options.noise = parseNumber("--noise", command.value("--noise"));
    if (command.has("--gradient-echo")) {
        options.gradientEchoMs = parseNumber("--gradient-echo", command.value("--gradient-echo"));
        if (!(options.gradientEchoMs > 0.0))
            throw UsageError("--gradient-echo expects an echo time in ms above 0, got \"" +
                             command.value("--gradient-echo") + "\"");
    }
    if (command.has("--seed")) {
        const int seed = parseInteger("--seed", command.value("--seed"));
        if (seed < 0) throw UsageError("--seed expects a number of at least 0, got " + std::to_string(seed));
        options.seed = static_cast<std::uint32_t>(seed);
    }
    try {
        validatePhantomOptions(options);
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
    return options;
}

} // namespace

int commandSimulate(const std::vector<std::string>& arguments)
{
    return runCommand(simulateCommand, arguments, [](const ParsedCommandLine& command) {
        const PhantomOptions options = phantomOptions(command);
        requireProjectFilePath(command.arguments.front());
        try {
            const PhantomFiles files = writePhantom(command.arguments.front(), options);
            std::cout << "First acquisition (corrected with +map):  " << files.first << '\n'
                      << "Second acquisition (corrected with -map): " << files.second << '\n'
                      << "Undistorted object:                       " << files.truth << '\n'
                      << "True displacement map:                    " << files.map << '\n'
                      << "Summary:                                  " << files.summary << '\n';
            return 0;
        } catch (const std::invalid_argument& error) {
            // The map is checked only once it is made: a peak that would fold it.
            throw UsageError(error.what());
        } catch (const std::exception& error) {
            return reportFailure("simulate", error);
        }
    });
}
