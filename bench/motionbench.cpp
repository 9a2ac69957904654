// SPDX-License-Identifier: GPL-3.0-or-later
// Motion-accuracy benchmark: how well the precise estimate of several volumes recovers a
// known rigid motion of the second acquisition on simulated heads, and what the motion
// does to the map. Each case folder holds a pair (ap/pa, or lr/rl for left-right phase
// encoding), its true map truth_vdm.npy and brain_mask.npy, both [z, y, x]. Left-right
// pairs, their map and mask are turned into the working frame (x and y exchanged) first,
// and the motions apply there: y is along the phase encoding.
//
// Four runs per case: the still pair without and with motion estimated, the second
// acquisition moved with no translation along y in the reference frame (motion 1), and
// moved with 0.5 mm along it (motion 2). That part of motion 2 cannot be told from a field
// offset: the estimate holds it at 0, and the map takes -s_y / (2 v_y) voxels for a shift
// s = R^-1 t, so motion 2 is also compared with the same motion held along y.
//
// A folder with a scanner pair (AP.fmr and PA.fmr, no true map) is judged the same way,
// except that its still pair's own motion is unknown: the moved runs are judged against
// the motion applied after the one found on the still pair, and their maps against the map
// found with it; no map against the truth.
//
//   varno_motion_bench CASE_DIR...
//   varno_motion_bench ../shared/data/ge-pepolar
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/movedpair.h"
#include "core/pairagreement.h"
#include "core/rigidmotion.h"
#include "estimate/precisevolumes.h"
#include "files/projectheader.h"

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

// The text between the quotes that follow key in a .npy header.
std::string quotedValue(const std::string& header, const std::string& key, const std::string& path)
{
    const std::size_t at = header.find("'" + key + "'");
    const std::size_t open = at == std::string::npos ? at : header.find('\'', at + key.size() + 2);
    const std::size_t close = open == std::string::npos ? open : header.find('\'', open + 1);
    if (close == std::string::npos) throw std::runtime_error(path + ": no " + key + " in the header");
    return header.substr(open + 1, close - open - 1);
}

// A three-dimensional array of a .npy file (format 1.0 or 2.0, C order, little-endian
// float32, float64, bool or uint8) as a volume: its shape [z, y, x] is the volume's layout.
Volume readNpy(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, 10> start{};
    in.read(reinterpret_cast<char*>(start.data()), 8);
    if (!in || std::string(start.begin(), start.begin() + 6) != "\x93NUMPY" || (start[6] != 1 && start[6] != 2))
        throw std::runtime_error(path + ": not a .npy file of format 1.0 or 2.0");
    const int lengthBytes = start[6] == 1 ? 2 : 4;
    in.read(reinterpret_cast<char*>(start.data()), lengthBytes);
    std::size_t headerLength = 0;
    for (int i = lengthBytes - 1; i >= 0; --i) headerLength = headerLength * 256 + start[static_cast<std::size_t>(i)];
    std::string header(headerLength, '\0');
    in.read(header.data(), static_cast<std::streamsize>(headerLength));
    if (!in || header.find("'fortran_order': False") == std::string::npos)
        throw std::runtime_error(path + ": not in C order");

    const std::size_t shapeAt = header.find("'shape'");
    const std::size_t open = shapeAt == std::string::npos ? shapeAt : header.find('(', shapeAt);
    const std::size_t close = open == std::string::npos ? open : header.find(')', open);
    if (close == std::string::npos) throw std::runtime_error(path + ": no shape in the header");
    std::string shapeText = header.substr(open + 1, close - open - 1);
    std::replace(shapeText.begin(), shapeText.end(), ',', ' ');
    std::istringstream shapeStream(shapeText);
    std::vector<std::int32_t> shape;
    for (std::int32_t n = 0; shapeStream >> n;) shape.push_back(n);
    if (shape.size() != 3) throw std::runtime_error(path + ": not three-dimensional");

    const std::string type = quotedValue(header, "descr", path);
    const std::size_t width = type == "<f4" ? 4 : type == "<f8" ? 8 : type == "|b1" || type == "|u1" ? 1 : 0;
    if (width == 0) throw std::runtime_error(path + ": element type " + type + " not read");
    Volume volume(Dimensions{shape[2], shape[1], shape[0]});
    std::vector<unsigned char> bytes(volume.size() * width);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error(path + ": data cut short");
    for (std::size_t i = 0; i < volume.size(); ++i) {
        std::uint64_t bits = 0;
        for (std::size_t b = width; b-- > 0;) bits = bits << 8 | bytes[i * width + b];
        volume[i] = width == 4   ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                    : width == 8 ? static_cast<float>(std::bit_cast<double>(bits))
                                 : static_cast<float>(bits);
    }
    return volume;
}

struct Case {
    std::string name;
    bool leftRight = false;
    Volume first;
    Volume second;
    std::array<double, 3> voxel{};  // mm, working frame
    std::optional<Volume> truth;    // voxels along y, working frame; none for a scanner pair
    std::vector<std::size_t> brain; // the brain, or a scanner pair's head
};

Case readCase(const std::string& folder)
{
    Case c;
    std::filesystem::path path = std::filesystem::path(folder).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    c.name = path.filename().string();
    c.leftRight = std::filesystem::exists(folder + "/lr.fmr");
    const bool scanner = !c.leftRight && std::filesystem::exists(folder + "/AP.fmr");
    const FmrHeader first = readFmrHeader(folder + (c.leftRight ? "/lr.fmr" : scanner ? "/AP.fmr" : "/ap.fmr"), true);
    const FmrHeader second = readFmrHeader(folder + (c.leftRight ? "/rl.fmr" : scanner ? "/PA.fmr" : "/pa.fmr"), true);
    const auto working = [&](const Volume& v) { return c.leftRight ? v.transposeXY() : v; };
    c.first = working(first.volumes.at(0));
    c.second = working(second.volumes.at(0));
    c.voxel = {first.InplaneResolutionX.value, first.InplaneResolutionY.value,
               first.SliceThickness.value + first.SliceGap.value};
    if (c.leftRight) std::swap(c.voxel[0], c.voxel[1]);
    if (c.second.dimensions() != c.first.dimensions()) throw std::runtime_error(folder + ": the pair differs in extent");
    if (scanner) {
        c.brain = headMask(c.first, c.second);
        return c;
    }
    c.truth = working(readNpy(folder + "/truth_vdm.npy"));
    const Volume mask = working(readNpy(folder + "/brain_mask.npy"));
    if (c.truth->dimensions() != c.first.dimensions() || mask.dimensions() != c.first.dimensions())
        throw std::runtime_error(folder + ": the pair, map and mask differ in extent");
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (mask[i] != 0.0f) c.brain.push_back(i);
    if (c.brain.empty()) throw std::runtime_error(folder + ": empty brain mask");
    return c;
}

// A motion whose translation along y, in the reference frame, is 0: the one part of a
// motion between the two directions that only the field can carry.
RigidTransform heldAlongY(const std::array<double, 3>& shift, const std::array<double, 3>& degrees)
{
    RigidTransform t = transformOf({{}, {degrees[0] * kDegree, degrees[1] * kDegree, degrees[2] * kDegree}});
    for (int i = 0; i < 3; ++i) t.translation[i] = t.rotation[i][0] * shift[0] + t.rotation[i][2] * shift[2];
    return t;
}

// The translation of a motion in the reference frame, s = R^-1 t: R p + t = R (p + s).
std::array<double, 3> referenceShift(const RigidTransform& motion)
{
    const RigidTransform back = inverse(motion);
    return {-back.translation[0], -back.translation[1], -back.translation[2]};
}

// The motion with the y component of its reference-frame shift taken out.
RigidTransform heldAlongY(const RigidTransform& motion)
{
    const RigidMotion parameters = motionOf(motion);
    return heldAlongY(referenceShift(motion), {parameters.rotation[0] / kDegree, parameters.rotation[1] / kDegree,
                                               parameters.rotation[2] / kDegree});
}

struct Run {
    std::string name;
    bool motion = false;
    std::optional<RigidTransform> moved;  // the second acquisition's motion; none: as acquired
    bool alsoHeld = false;                // also compared with the motion held along y
};

struct MotionError {
    std::array<double, 3> translation{};  // mm, found minus true
    std::array<double, 3> rotation{};     // degrees
    double largestTranslation = 0.0;
    double largestRotation = 0.0;
};

MotionError motionError(const RigidTransform& found, const RigidTransform& truth)
{
    const RigidMotion f = motionOf(found);
    const RigidMotion t = motionOf(truth);
    MotionError e;
    for (int k = 0; k < 3; ++k) {
        e.translation[k] = f.translation[k] - t.translation[k];
        e.rotation[k] = (f.rotation[k] - t.rotation[k]) / kDegree;
        e.largestTranslation = std::max(e.largestTranslation, std::fabs(e.translation[k]));
        e.largestRotation = std::max(e.largestRotation, std::fabs(e.rotation[k]));
    }
    return e;
}

struct MapDifference {
    double rms = 0.0;
    double rmsWithoutOffset = 0.0;
    double offset = 0.0;  // mean
};

MapDifference mapDifference(const Volume& map, const Volume& reference, const std::vector<std::size_t>& voxels)
{
    double sum = 0.0;
    double squares = 0.0;
    for (const std::size_t i : voxels) {
        const double d = static_cast<double>(map[i]) - reference[i];
        sum += d;
        squares += d * d;
    }
    const double n = static_cast<double>(voxels.size());
    MapDifference m;
    m.offset = sum / n;
    m.rms = std::sqrt(squares / n);
    m.rmsWithoutOffset = std::sqrt(std::max(0.0, squares / n - m.offset * m.offset));
    return m;
}

// One line of the table; a motion or map figure that does not apply prints as "-".
struct Line {
    std::string name;
    std::optional<MotionError> motion = std::nullopt;
    std::optional<MapDifference> againstStill = std::nullopt;
    std::optional<double> expectedOffset = std::nullopt;
    std::optional<double> againstTruth = std::nullopt;
    std::optional<double> seconds = std::nullopt;
};

void printValue(const std::optional<double>& value, int width, int precision)
{
    if (value)
        std::printf(" %*.*f", width, precision, *value);
    else
        std::printf(" %*s", width, "-");
}

void printHeading()
{
    std::printf("%-16s %7s %7s %7s %7s %7s %7s %7s %7s %8s %8s %8s %8s %8s %7s\n", "run", "dtx mm", "dty mm",
                "dtz mm", "drx deg", "dry deg", "drz deg", "max|dt|", "max|dr|", "vs still", "w/o mean", "mean",
                "exp mean", "vs truth", "s");
}

void printLine(const Line& line)
{
    std::printf("%-16s", line.name.c_str());
    const auto motion = [&](auto part) -> std::optional<double> {
        if (!line.motion) return std::nullopt;
        return part(*line.motion);
    };
    for (int k = 0; k < 3; ++k) printValue(motion([k](const MotionError& e) { return e.translation[k]; }), 7, 3);
    for (int k = 0; k < 3; ++k) printValue(motion([k](const MotionError& e) { return e.rotation[k]; }), 7, 3);
    printValue(motion([](const MotionError& e) { return e.largestTranslation; }), 7, 3);
    printValue(motion([](const MotionError& e) { return e.largestRotation; }), 7, 3);
    const auto still = [&](auto part) -> std::optional<double> {
        if (!line.againstStill) return std::nullopt;
        return part(*line.againstStill);
    };
    printValue(still([](const MapDifference& m) { return m.rms; }), 8, 4);
    printValue(still([](const MapDifference& m) { return m.rmsWithoutOffset; }), 8, 4);
    printValue(still([](const MapDifference& m) { return m.offset; }), 8, 4);
    printValue(line.expectedOffset, 8, 4);
    printValue(line.againstTruth, 8, 4);
    printValue(line.seconds, 7, 1);
    std::printf("\n");
    std::fflush(stdout);
}

// The worst figures of one run over the cases.
struct Summary {
    std::string name;
    double largestTranslation = 0.0;
    double largestRotation = 0.0;
    int cases = 0;
    int mapsNearStill = 0;               // within 0.1 voxel RMS of the still map
    int mapsNearStillWithoutOffset = 0;  // the same with the mean offset removed
    bool hasMap = true;
};

void add(Summary& summary, const Line& line)
{
    ++summary.cases;
    if (line.motion) {
        summary.largestTranslation = std::max(summary.largestTranslation, line.motion->largestTranslation);
        summary.largestRotation = std::max(summary.largestRotation, line.motion->largestRotation);
    }
    if (line.againstStill) {
        summary.mapsNearStill += line.againstStill->rms < 0.1 ? 1 : 0;
        summary.mapsNearStillWithoutOffset += line.againstStill->rmsWithoutOffset < 0.1 ? 1 : 0;
    }
}

PreciseVolumesResult estimate(const Case& c, const Volume& second, bool motion)
{
    PreciseVolumesSettings settings;
    settings.motion = motion;
    std::ostringstream log;
    return estimatePreciseVdmOfVolumes({c.first}, {second}, {c.name + " first"}, {c.name + " second"}, c.voxel, log,
                                       settings);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: varno_motion_bench CASE_DIR... (simulated pairs, or a scanner pair's AP.fmr and PA.fmr)\n";
        return 2;
    }
    const auto benchStart = std::chrono::steady_clock::now();
    const std::vector<Run> runs{
        {"still", false, std::nullopt},
        {"still, motion", true, std::nullopt},
        {"motion 1", true, heldAlongY({1.5, 0.0, -1.0}, {1.5, -1.0, 1.2})},
        {"motion 2", true, transformOf({{-1.0, 0.5, 1.5}, {-1.2 * kDegree, 1.5 * kDegree, -1.0 * kDegree}}), true},
    };
    std::vector<Summary> summaries{{"still, motion"}, {"motion 1"}, {"motion 2"}, {"motion 2, held"}};
    summaries.back().hasMap = false;

    for (int a = 1; a < argc; ++a) {
        try {
            const Case c = readCase(argv[a]);
            const Dimensions extent = c.first.dimensions();
            std::printf("\n%s: %s, %dx%dx%d, voxel %.2fx%.2fx%.2f mm (working frame), %zu %s voxels\n",
                        c.name.c_str(), c.leftRight ? "LR" : "AP", extent.x, extent.y, extent.z, c.voxel[0], c.voxel[1],
                        c.voxel[2], c.brain.size(), c.truth ? "brain" : "head");
            printHeading();
            Volume stillMap;
            // The second acquisition's own position: none for a simulated pair, the one the
            // estimate finds on the still pair for a scanner pair.
            std::optional<RigidTransform> still;
            if (c.truth) still = RigidTransform{};
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const Run& run = runs[r];
                const RigidTransform applied = run.moved.value_or(RigidTransform{});
                const RigidTransform truth = composed(applied, still.value_or(RigidTransform{}));
                // The volume as the head moved by the motion would be seen: v(motion^-1 p).
                const Volume second =
                    run.moved ? resampledRigidly(splineVolume(c.second), c.voxel, inverse(applied)) : c.second;
                const auto start = std::chrono::steady_clock::now();
                const PreciseVolumesResult result = estimate(c, second, run.motion);
                Line line{run.name};
                line.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (c.truth) line.againstTruth = mapDifference(result.map, *c.truth, c.brain).rms;
                if (run.motion && !still) still = result.second[0].transform;
                else if (run.motion) line.motion = motionError(result.second[0].transform, truth);
                if (r == 0) {
                    stillMap = result.map;
                } else {
                    line.againstStill = mapDifference(result.map, stillMap, c.brain);
                    line.expectedOffset = -referenceShift(applied)[1] / (2.0 * c.voxel[1]);
                    add(summaries[r - 1], line);
                }
                printLine(line);
                // A scanner pair's moved runs are compared with the map that took its own
                // motion into account.
                if (!c.truth && r == 1) stillMap = result.map;
                if (run.alsoHeld) {
                    const Line held{"  held along y", motionError(result.second[0].transform, heldAlongY(truth))};
                    add(summaries.back(), held);
                    printLine(held);
                }
            }
        } catch (const std::exception& error) {
            std::printf("%s: failed: %s\n", argv[a], error.what());
        }
    }

    std::printf("\nSummary over the cases (held: motion 2 compared with the same motion held along y)\n");
    std::printf("%-16s %6s %14s %14s   %s\n", "run", "cases", "worst |dt| mm", "worst |dr| deg",
                "maps within 0.1 voxel RMS of the still map");
    for (const Summary& s : summaries) {
        std::printf("%-16s %6d %14.3f %14.3f", s.name.c_str(), s.cases, s.largestTranslation, s.largestRotation);
        if (s.hasMap)
            std::printf("   %d of %d (%d without offset)\n", s.mapsNearStill, s.cases, s.mapsNearStillWithoutOffset);
        else
            std::printf("   -\n");
    }
    std::printf("total %.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - benchStart).count());
    return 0;
}
