// SPDX-License-Identifier: GPL-3.0-or-later
#include "phantom/phantom.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "boundary/nativepath.h"
#include "files/fileerrors.h"
#include "files/vdmmapfile.h"
#include "nifti/projectwriter.h"

namespace {

// Fixed layers (centre and radii in coordinates normalised to [-1, 1] across the field of
// view) painted in order; later layers cover earlier ones. Intensities follow EPI
// contrast: fluid brightest, grey above white matter, bone dark, air 0.
struct Ellipsoid {
    std::array<double, 3> centre;
    std::array<double, 3> radii;
    double intensity;
};

const std::array<Ellipsoid, 8> kAnatomy{{
    {{0.0, 0.02, 0.0}, {0.80, 0.90, 0.86}, 320.0},    // scalp
    {{0.0, 0.02, 0.0}, {0.74, 0.84, 0.80}, 60.0},     // skull
    {{0.0, 0.02, 0.02}, {0.70, 0.80, 0.75}, 850.0},   // fluid around the brain
    {{0.0, 0.02, 0.03}, {0.67, 0.77, 0.72}, 620.0},   // grey matter
    {{0.0, 0.05, 0.08}, {0.52, 0.60, 0.52}, 430.0},   // white matter
    {{-0.12, 0.02, 0.12}, {0.07, 0.24, 0.14}, 900.0}, // left ventricle
    {{0.12, 0.02, 0.12}, {0.07, 0.24, 0.14}, 900.0},  // right ventricle
    {{0.0, -0.62, -0.42}, {0.16, 0.10, 0.16}, 0.0},   // air in the frontal sinus
}};

// Displacement sources: a strong one behind the sinus, weaker ones at the ear canals.
struct Bump {
    std::array<double, 3> centre;
    std::array<double, 3> widths;
    double weight;
};

const std::array<Bump, 3> kField{{
    {{0.0, -0.50, -0.35}, {0.32, 0.26, 0.30}, 1.0},
    {{-0.55, 0.10, -0.40}, {0.22, 0.26, 0.26}, 0.45},
    {{0.55, 0.10, -0.40}, {0.22, 0.26, 0.26}, 0.45},
}};

constexpr double kEdgeWidth = 0.6; // voxels over which a layer's edge rises
constexpr int kBlobs = 14;

double uniform(std::mt19937& random)
{
    return (static_cast<double>(random()) + 0.5) / 4294967296.0;
}

// Box-Muller from the engine's raw output, so that the noise is the same on every
// standard library.
double gaussian(std::mt19937& random)
{
    constexpr double kTwoPi = 6.283185307179586;
    return std::sqrt(-2.0 * std::log(uniform(random))) * std::cos(kTwoPi * uniform(random));
}

// The object and the field as continuous functions of stored voxel coordinates.
class Model {
public:
    explicit Model(const PhantomOptions& options) : extent_(options.extent), leftRight_(options.leftRight)
    {
        layers_.assign(kAnatomy.begin(), kAnatomy.end() - 1);
        std::mt19937 random(options.seed);
        for (int i = 0; i < kBlobs; ++i) {
            // Small structures inside the brain that give every column some texture.
            const double angle = 6.283185307179586 * uniform(random);
            const double radius = 0.45 * std::sqrt(uniform(random));
            const std::array<double, 3> centre{radius * std::cos(angle), 0.02 + 1.1 * radius * std::sin(angle),
                                               0.5 * (uniform(random) - 0.4)};
            const std::array<double, 3> radii{0.05 + 0.07 * uniform(random), 0.05 + 0.07 * uniform(random),
                                              0.08 + 0.10 * uniform(random)};
            layers_.push_back({centre, radii, 330.0 + 500.0 * uniform(random)});
        }
        layers_.push_back(kAnatomy.back());
    }

    // Intensity at a stored voxel position.
    double intensity(double x, double y, double z) const
    {
        const std::array<double, 3> q = normalised(x, y, z);
        double value = 0.0;
        for (const Ellipsoid& layer : layers_) {
            const double inside = coverage(layer, q);
            value += (layer.intensity - value) * inside;
        }
        // A gentle receive-coil shading and cortical texture.
        const double texture = 1.0 + 0.06 * std::sin(19.0 * q[0]) * std::sin(17.0 * q[1] + 1.0) * std::cos(11.0 * q[2]);
        return value * texture * (1.0 + 0.08 * q[1]);
    }

    // Displacement in voxels along the phase-encoding axis at a stored voxel position.
    double displacement(double x, double y, double z) const
    {
        const std::array<double, 3> q = normalised(x, y, z);
        double value = 0.0;
        for (const Bump& bump : kField) {
            double exponent = 0.0;
            for (int axis = 0; axis < 3; ++axis) {
                const double t = (q[axis] - bump.centre[axis]) / bump.widths[axis];
                exponent += t * t;
            }
            value += bump.weight * std::exp(-0.5 * exponent);
        }
        return scale_ * value;
    }

    void setDisplacementScale(double scale) { scale_ = scale; }

    // Stored coordinates of a position given in the working geometry, in which the
    // phase-encoding axis is y.
    std::array<double, 3> stored(double u, double v, double z) const
    {
        return leftRight_ ? std::array<double, 3>{v, u, z} : std::array<double, 3>{u, v, z};
    }

private:
    std::array<double, 3> normalised(double x, double y, double z) const
    {
        return {(x - 0.5 * (extent_.x - 1)) / (0.5 * extent_.x), (y - 0.5 * (extent_.y - 1)) / (0.5 * extent_.y),
                (z - 0.5 * (extent_.z - 1)) / (0.5 * extent_.z)};
    }

    // Fraction of the voxel at q inside the layer: a smooth step across the surface,
    // about kEdgeWidth voxels wide, using the distance to the surface in voxels.
    double coverage(const Ellipsoid& layer, const std::array<double, 3>& q) const
    {
        const std::array<double, 3> half{0.5 * extent_.x, 0.5 * extent_.y, 0.5 * extent_.z};
        double rho2 = 0.0;
        std::array<double, 3> scaled{};
        for (int axis = 0; axis < 3; ++axis) {
            scaled[axis] = (q[axis] - layer.centre[axis]) / layer.radii[axis];
            rho2 += scaled[axis] * scaled[axis];
        }
        const double rho = std::sqrt(rho2);
        if (rho < 1e-9) return 1.0;
        double gradient2 = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            const double g = scaled[axis] / (layer.radii[axis] * rho * half[axis]);
            gradient2 += g * g;
        }
        const double distance = (1.0 - rho) / std::sqrt(gradient2);
        return 0.5 * (1.0 + std::tanh(distance / kEdgeWidth));
    }

    Dimensions extent_;
    bool leftRight_;
    std::vector<Ellipsoid> layers_;
    double scale_ = 1.0;
};

// Displacement and its derivative along the working y axis (the phase-encoding axis).
struct FieldSample {
    double value;
    double slope;
};

FieldSample fieldAlongPhase(const Model& model, double u, double v, double z)
{
    constexpr double h = 1e-3;
    const auto at = [&](double t) {
        const std::array<double, 3> p = model.stored(u, t, z);
        return model.displacement(p[0], p[1], p[2]);
    };
    return {at(v), (at(v + h) - at(v - h)) / (2.0 * h)};
}

// The map's slope across slices at a working position.
double sliceSlope(const Model& model, double u, double v, double z)
{
    constexpr double h = 1e-3;
    const auto at = [&](double t) {
        const std::array<double, 3> p = model.stored(u, v, t);
        return model.displacement(p[0], p[1], p[2]);
    };
    return (at(z + h) - at(z - h)) / (2.0 * h);
}

// The acquisition whose correction with sign * map restores the object: the object point
// at v appears at v + sign*d(v), with its intensity divided by the stretch 1 + sign*d'(v)
// (and, for gradient echo, times the signal that the point keeps).
double distortedValue(const Model& model, double u, double target, double z, double sign, double echoMs)
{
    double v = target - sign * fieldAlongPhase(model, u, target, z).value;
    FieldSample field{};
    for (int iteration = 0; iteration < 50; ++iteration) {
        field = fieldAlongPhase(model, u, v, z);
        const double error = v + sign * field.value - target;
        v -= error / (1.0 + sign * field.slope);
        if (std::abs(error) < 1e-9) break;
    }
    field = fieldAlongPhase(model, u, v, z);
    const std::array<double, 3> p = model.stored(u, v, z);
    const double value = model.intensity(p[0], p[1], p[2]) / (1.0 + sign * field.slope);
    if (echoMs <= 0.0) return value;
    return value * gradientEchoSignal(echoMs, sign, field.slope, sliceSlope(model, u, v, z));
}

Volume transposedIf(bool transpose, Volume volume)
{
    return transpose ? volume.transposeXY() : volume;
}

// Magnitude of the signal with complex Gaussian noise added.
void addRicianNoise(Volume& volume, double sigma, std::mt19937& random)
{
    if (sigma <= 0.0) return;
    for (std::size_t i = 0; i < volume.size(); ++i) {
        const double real = volume[i] + sigma * gaussian(random);
        const double imaginary = sigma * gaussian(random);
        volume[i] = static_cast<float>(std::sqrt(real * real + imaginary * imaginary));
    }
}

} // namespace

double gradientEchoSignal(double echoMs, double sign, double slope, double sliceSlope)
{
    constexpr double kPi = 3.141592653589793;
    const double echo = echoMs / (1.0 + sign * slope);
    // Phase across the slice, in turns: the field's change over one slice (Hz) times the
    // time of the echo.
    const double turns = sliceSlope / kPhantomReadoutMs * echo;
    const double dephasing = std::abs(turns) < 1e-12 ? 1.0 : std::abs(std::sin(kPi * turns) / (kPi * turns));
    return std::exp(-(echo - echoMs) / kPhantomT2StarMs) * dephasing;
}

void validatePhantomOptions(const PhantomOptions& options)
{
    const Dimensions& e = options.extent;
    if (e.x < 8 || e.y < 8 || e.z < 1 || e.x > 1024 || e.y > 1024 || e.z > 1024)
        throw std::invalid_argument("The phantom extent must be at least 8 x 8 x 1 and at most 1024 per axis.");
    for (double size : options.voxelSize)
        if (!(size > 0.0) || !std::isfinite(size)) throw std::invalid_argument("Voxel sizes must be positive numbers.");
    if (!(options.peakDisplacement >= 0.0) || !std::isfinite(options.peakDisplacement))
        throw std::invalid_argument("The peak displacement must be a number of voxels of at least 0.");
    if (options.volumes < 1 || options.volumes > 1000)
        throw std::invalid_argument("The number of volumes must lie between 1 and 1000.");
    if (!(options.noise >= 0.0) || !std::isfinite(options.noise))
        throw std::invalid_argument("The noise level must be a number of at least 0.");
    if (!(options.gradientEchoMs >= 0.0 && options.gradientEchoMs <= 200.0))
        throw std::invalid_argument("The gradient-echo echo time must lie between 0 and 200 ms.");
}

PhantomVolumes makePhantom(const PhantomOptions& options)
{
    validatePhantomOptions(options);
    Model model(options);
    const bool lr = options.leftRight;
    const Dimensions stored = options.extent;
    const Dimensions work = lr ? Dimensions{stored.y, stored.x, stored.z} : stored;

    // Scale the field so that its largest value on the grid is the requested peak.
    double largest = 0.0;
    for (int z = 0; z < stored.z; ++z)
        for (int y = 0; y < stored.y; ++y)
            for (int x = 0; x < stored.x; ++x) largest = std::max(largest, std::abs(model.displacement(x, y, z)));
    model.setDisplacementScale(largest > 0.0 ? options.peakDisplacement / largest : 0.0);

    PhantomVolumes result;
    Volume truth(work);
    Volume displacement(work);
    for (int z = 0; z < work.z; ++z)
        for (int v = 0; v < work.y; ++v)
            for (int u = 0; u < work.x; ++u) {
                const std::array<double, 3> p = model.stored(u, v, z);
                truth(u, v, z) = static_cast<float>(model.intensity(p[0], p[1], p[2]));
                const FieldSample field = fieldAlongPhase(model, u, v, z);
                displacement(u, v, z) = static_cast<float>(field.value);
                result.largestSlope = std::max(result.largestSlope, std::abs(field.slope));
            }
    if (result.largestSlope >= 0.8)
        throw std::invalid_argument("The peak displacement is too large for this extent: the map would fold "
                                    "(largest slope " +
                                    std::to_string(result.largestSlope) + " voxels per voxel, at most 0.8 allowed).");

    Volume first(work);
    Volume second(work);
    for (int z = 0; z < work.z; ++z)
        for (int v = 0; v < work.y; ++v)
            for (int u = 0; u < work.x; ++u) {
                first(u, v, z) = static_cast<float>(distortedValue(model, u, v, z, 1.0, options.gradientEchoMs));
                second(u, v, z) = static_cast<float>(distortedValue(model, u, v, z, -1.0, options.gradientEchoMs));
            }
    first = transposedIf(lr, std::move(first));
    second = transposedIf(lr, std::move(second));

    std::mt19937 random(options.seed ^ 0x9e3779b9u);
    for (int t = 0; t < options.volumes; ++t) {
        result.first.push_back(first);
        result.second.push_back(second);
        addRicianNoise(result.first.back(), options.noise, random);
        addRicianNoise(result.second.back(), options.noise, random);
    }
    result.truth = transposedIf(lr, std::move(truth));
    result.displacement = transposedIf(lr, std::move(displacement));
    return result;
}

std::vector<VoxelIndex> phantomObjectVoxels(const Volume& truth)
{
    std::vector<VoxelIndex> voxels;
    for (int z = 0; z < truth.nz(); ++z)
        for (int y = 0; y < truth.ny(); ++y)
            for (int x = 0; x < truth.nx(); ++x)
                if (truth(x, y, z) > 0.0f) voxels.push_back({x, y, z});
    return voxels;
}

MapAgreement compareWithTrueMap(const PhantomVolumes& phantom, const Volume& map)
{
    double n = 0, sumT = 0, sumE = 0, sumTT = 0, sumEE = 0, sumTE = 0, sumError2 = 0;
    for (std::size_t i = 0; i < map.size(); ++i) {
        if (!(phantom.truth[i] > 100.0f)) continue;
        const double t = phantom.displacement[i];
        const double e = map[i];
        sumT += t;
        sumE += e;
        sumTT += t * t;
        sumEE += e * e;
        sumTE += t * e;
        sumError2 += (t - e) * (t - e);
        ++n;
    }
    return {(n * sumTE - sumT * sumE) / std::sqrt((n * sumTT - sumT * sumT) * (n * sumEE - sumE * sumE)),
            std::sqrt(sumError2 / n), std::sqrt(sumTT / n)};
}

namespace {

// Whole numbers for int16 projects (the writer truncates), the values as they are for
// float projects.
std::vector<Volume> stored(std::vector<Volume> volumes, bool floatData)
{
    if (floatData) return volumes;
    for (Volume& v : volumes)
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::min(32767.0f, std::round(v[i]));
    return volumes;
}

void writeProject(const std::string& path, const PhantomOptions& options, const std::string& prefix,
                  std::vector<Volume> volumes)
{
    ProjectLayout layout;
    layout.extent = options.extent;
    layout.volumes = options.volumes;
    layout.voxelSize = options.voxelSize;
    layout.diffusion = options.diffusion;
    layout.floatData = options.floatData;
    centreSlices(layout);
    if (options.diffusion) layout.gradients.assign(static_cast<std::size_t>(options.volumes), {0.0f, 0.0f, 0.0f, 0.0f});
    writeProject(path, layout, prefix, stored(std::move(volumes), options.floatData));
}

std::string acquisitionText(const PhantomOptions& options)
{
    if (options.gradientEchoMs <= 0.0) return "spin echo";
    std::ostringstream text;
    text << "gradient echo, echo time " << options.gradientEchoMs << " ms (T2* " << kPhantomT2StarMs
         << " ms, total readout time " << kPhantomReadoutMs << " ms): signal lost where the field varies";
    return text.str();
}

} // namespace

PhantomFiles writePhantom(const std::string& directory, const PhantomOptions& options)
{
    PhantomVolumes phantom = makePhantom(options);
    std::error_code error;
    const std::filesystem::path folder = pathFromText(directory);
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error)) throw WriteFileError("Cannot create the folder " + directory);

    const std::string extension = options.diffusion ? ".dmr" : ".fmr";
    const std::string firstName = options.leftRight ? "LR" : "AP";
    const std::string secondName = options.leftRight ? "RL" : "PA";
    PhantomFiles files{textFromPath(folder / (firstName + extension)), textFromPath(folder / (secondName + extension)),
                       textFromPath(folder / ("truth" + extension)), textFromPath(folder / "true_vdm.map"),
                       textFromPath(folder / "phantom.txt")};

    writeProject(files.first, options, firstName, std::move(phantom.first));
    writeProject(files.second, options, secondName, std::move(phantom.second));
    PhantomOptions single = options;
    single.volumes = 1;
    writeProject(files.truth, single, "truth", {phantom.truth});

    VdmMapFile map = makeVdmMapFile(files.map, phantom.displacement);
    map.text = "true voxel displacement map of the phantom";
    writeVdmMapFile(map);

    std::ofstream summary(files.summary, std::ios::trunc);
    summary << "Phantom: head-like object with a known voxel displacement map\n"
            << "Extent: " << options.extent.x << " x " << options.extent.y << " x " << options.extent.z << " voxels of "
            << options.voxelSize[0] << " x " << options.voxelSize[1] << " x " << options.voxelSize[2] << " mm\n"
            << "Phase encoding: " << (options.leftRight ? "left-right (along x)" : "anterior-posterior (along y)")
            << "\n"
            << "Peak displacement: " << options.peakDisplacement << " voxels; largest slope " << phantom.largestSlope
            << " voxels per voxel\n"
            << "Volumes: " << options.volumes << " per acquisition, " << (options.floatData ? "float" : "int16")
            << " data, " << (options.diffusion ? "DMR/DWI" : "FMR/STC") << " projects\n"
            << "Acquisition: " << acquisitionText(options) << "\n"
            << "Noise: " << (options.noise > 0.0 ? "Rician, sigma " : "none")
            << (options.noise > 0.0 ? std::to_string(options.noise) : std::string()) << "\n"
            << "Seed: " << options.seed << "\n"
            << "First acquisition (corrected with +map): " << files.first << "\n"
            << "Second acquisition (corrected with -map): " << files.second << "\n"
            << "Undistorted object: " << files.truth << "\n"
            << "True map (voxels along the phase-encoding axis): " << files.map << "\n";
    if (!summary) throw WriteFileError("Failed opening for writing: " + files.summary);
    return files;
}
