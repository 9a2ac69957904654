// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/motionstep.h"

#include <algorithm>
#include <cmath>

#include "estimate/splinealongy.h"

namespace {

constexpr double kDegrees = 180.0 / 3.14159265358979323846;
constexpr int kPerVolume = 7;  // shift (mm), turn (radians), log-gain
// The growth of a line's total per unit of compression, one for each direction.
constexpr int kExcess = 2;
constexpr int kTotalsUnknowns = kPerVolume + kExcess;
constexpr int kAffine = 4;     // a + b x + c y + e z, x y z in units of the half extent
// The change of the field, in voxels per voxel along any axis, beyond which the joint step
// leaves a voxel out: there the field spreads each voxel's signal over a range of shifts
// (within the voxel and across the slice) and piles it up, which one shift per voxel does
// not model, and the residual that is left pulled the motion found on still pairs by up to
// a tenth of a degree. Where the field is that steep over much of the head, though, those
// voxels are most of what tells the motion: at most a quarter of the voxels are left out.
constexpr double kSteepestField = 0.2;
constexpr double kMostLeftOut = 0.25;
// How many times the residuals' variance a rotation must lower their sum of squares by to
// be taken rather than none: pure noise lowers it by about one variance per unknown (three
// for the rotation), and by more than 12 in well under one case in a hundred.
constexpr double kRotationEvidence = 12.0;

// Solves the symmetric positive system a x = b by Cholesky; a lost pivot leaves its
// unknown at 0.
std::vector<double> solveSymmetric(std::vector<std::vector<double>> a, std::vector<double> b)
{
    const std::size_t n = b.size();
    std::vector<double> x(n, 0.0);
    std::vector<bool> usable(n, true);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) a[i][i] -= a[i][k] * a[i][k];
        if (!(a[i][i] > 0.0)) {
            usable[i] = false;
            a[i][i] = 1.0;
            for (std::size_t j = i + 1; j < n; ++j) a[j][i] = 0.0;
            b[i] = 0.0;
            continue;
        }
        a[i][i] = std::sqrt(a[i][i]);
        for (std::size_t j = i + 1; j < n; ++j) {
            for (std::size_t k = 0; k < i; ++k) a[j][i] -= a[j][k] * a[i][k];
            a[j][i] /= a[i][i];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) b[i] -= a[i][k] * b[k];
        b[i] /= a[i][i];
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t k = i + 1; k < n; ++k) b[i] -= a[k][i] * x[k];
        x[i] = usable[i] ? b[i] / a[i][i] : 0.0;
    }
    return x;
}

// Central difference along x (axis 0) or z (axis 2), one-sided at the edges.
Volume differenceAlong(const Volume& v, int axis)
{
    Volume out(v.dimensions());
    const int n = axis == 0 ? v.nx() : v.nz();
    const std::size_t stride = axis == 0 ? 1 : static_cast<std::size_t>(v.nx()) * v.ny();
    for (int z = 0; z < v.nz(); ++z)
        for (int y = 0; y < v.ny(); ++y)
            for (int x = 0; x < v.nx(); ++x) {
                const int i = axis == 0 ? x : z;
                const std::size_t at = v.index(x, y, z);
                const float below = i > 0 ? v[at - stride] : v[at];
                const float above = i + 1 < n ? v[at + stride] : v[at];
                out[at] = (i > 0 && i + 1 < n ? 0.5f : 1.0f) * (above - below);
            }
    return out;
}

// Linear interpolation along the line at position t (clamped to the line).
float linearAlong(const float* line, std::size_t stride, int n, float t)
{
    const float clamped = std::clamp(t, 0.0f, static_cast<float>(n - 1));
    const int lower = std::min(static_cast<int>(clamped), n - 1);
    const int upper = std::min(lower + 1, n - 1);
    const float w = clamped - static_cast<float>(lower);
    return (1.0f - w) * line[static_cast<std::size_t>(lower) * stride] + w * line[static_cast<std::size_t>(upper) * stride];
}

float centralSlope(const Volume& d, int x, int y, int z)
{
    if (y == 0 || y + 1 == d.ny()) return 0.0f;
    return 0.5f * (d(x, y + 1, z) - d(x, y - 1, z));
}

// The voxels of the list where the gradient of d, by central differences in voxels per
// voxel (0 across the volume's faces), is no longer than kSteepestField, or than the
// gradient that kMostLeftOut of the voxels exceed, whichever is longer.
std::vector<std::size_t> whereTheFieldIsGentle(const std::vector<std::size_t>& voxels, const Volume& d)
{
    if (voxels.empty()) return {};
    const Dimensions e = d.dimensions();
    const std::size_t row = static_cast<std::size_t>(e.x);
    const std::size_t slice = row * static_cast<std::size_t>(e.y);
    std::vector<double> squares;
    squares.reserve(voxels.size());
    for (const std::size_t i : voxels) {
        const int x = static_cast<int>(i % row);
        const int y = static_cast<int>((i / row) % static_cast<std::size_t>(e.y));
        const int z = static_cast<int>(i / slice);
        const double alongX = x > 0 && x + 1 < e.x ? 0.5 * (d[i + 1] - d[i - 1]) : 0.0;
        const double alongY = centralSlope(d, x, y, z);
        const double alongZ = z > 0 && z + 1 < e.z ? 0.5 * (d[i + slice] - d[i - slice]) : 0.0;
        squares.push_back(alongX * alongX + alongY * alongY + alongZ * alongZ);
    }
    std::vector<double> sorted = squares;
    const auto kept = sorted.begin() + static_cast<std::ptrdiff_t>((1.0 - kMostLeftOut) * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), kept, sorted.end());
    const double limit = std::max(kSteepestField * kSteepestField, *kept);
    std::vector<std::size_t> gentle;
    gentle.reserve(voxels.size());
    for (std::size_t k = 0; k < voxels.size(); ++k)
        if (squares[k] <= limit) gentle.push_back(voxels[k]);
    return gentle;
}

// The affine basis at voxel (x, y, z): 1 and the coordinates over half the extent.
std::array<double, kAffine> affineBasis(int x, int y, int z, Dimensions e)
{
    return {1.0, (x - 0.5 * (e.x - 1)) / (0.5 * e.x), (y - 0.5 * (e.y - 1)) / (0.5 * e.y),
            (z - 0.5 * (e.z - 1)) / (0.5 * e.z)};
}

// The derivative of a corrected image J(g) I(y + sign d) with respect to a change of d at
// this voxel and to a change of its slope g along y.
struct FieldDerivative {
    double value = 0.0;       // the corrected image
    double byShift = 0.0;     // d/d(delta d)
    double bySlope = 0.0;     // d/d(delta g)
};

FieldDerivative corrected(const Volume& spline, const Volume& d, int x, int y, int z, float sign)
{
    const float g = centralSlope(d, x, y, z);
    const float jacobian = std::max(0.0f, 1.0f + sign * g);
    const SplineSample s = sampleSplineLineWithSlope(spline.data() + spline.index(x, 0, z),
                                                     static_cast<std::size_t>(d.nx()), d.ny(),
                                                     static_cast<float>(y) + sign * d(x, y, z));
    FieldDerivative f;
    f.value = static_cast<double>(jacobian) * s.value;
    f.byShift = static_cast<double>(sign) * jacobian * s.slope;
    f.bySlope = jacobian > 0.0f && y > 0 && y + 1 < d.ny() ? static_cast<double>(sign) * s.value : 0.0;
    return f;
}

// The derivatives of a moved-back volume's value at grid voxel (x, y, z) with respect to
// the small motion (shift in mm, turn in radians) and the log-gain, from its gradient.
std::array<double, kPerVolume> motionRow(double value, const double gradient[3], const std::array<double, 3>& p)
{
    const double* g = gradient;
    return {g[0], g[1], g[2], p[1] * g[2] - p[2] * g[1], p[2] * g[0] - p[0] * g[2], p[0] * g[1] - p[1] * g[0], value};
}

// Central difference along y, one-sided at the edges.
float slopeAlongY(const Volume& v, int x, int y, int z)
{
    const int ny = v.ny();
    const float below = y > 0 ? v(x, y - 1, z) : v(x, y, z);
    const float above = y + 1 < ny ? v(x, y + 1, z) : v(x, y, z);
    return (y > 0 && y + 1 < ny ? 0.5f : 1.0f) * (above - below);
}

// Whether the moved volume was sampled inside its field of view along z (with half a
// voxel to spare) at voxel (x, y, z) of the reference grid: near the first and last slice
// a moved head leaves the slab, and what is sampled there is no longer the head.
bool insideSlab(const RigidTransform& t, int x, int y, int z, Dimensions e, const std::array<double, 3>& voxelSize)
{
    const std::array<double, 3> p = gridPosition(x, y, z, e, voxelSize);
    const double moved = t.rotation[2][0] * p[0] + t.rotation[2][1] * p[1] + t.rotation[2][2] * p[2] + t.translation[2];
    const double slice = moved / voxelSize[2] + 0.5 * (e.z - 1);
    return slice >= 0.5 && slice <= e.z - 1.5;
}

// Applies the solved step to the motion and says how large it was. A step beyond 2 mm or
// 2 degrees is shortened to that: far from the optimum the linearisation does not hold,
// and a direction the images barely constrain must not jump.
MotionStepResult applyStep(const double* solved, VolumeMotion& motion)
{
    constexpr double kLongestShift = 2.0;                  // mm
    constexpr double kLargestTurn = 2.0 / kDegrees;        // radians
    const double shift = std::sqrt(solved[0] * solved[0] + solved[1] * solved[1] + solved[2] * solved[2]);
    const double turn = std::sqrt(solved[3] * solved[3] + solved[4] * solved[4] + solved[5] * solved[5]);
    const double shorten = std::min({1.0, kLongestShift / std::max(shift, 1e-12), kLargestTurn / std::max(turn, 1e-12)});
    double s[kPerVolume];
    for (int k = 0; k < kPerVolume; ++k) s[k] = k < 6 ? shorten * solved[k] : solved[k];
    motion.transform = composedWithSmallMotion(motion.transform, {s[0], s[1], s[2]}, {s[3], s[4], s[5]});
    motion.gain *= std::exp(std::clamp(s[6], -0.5, 0.5));
    MotionStepResult result;
    result.translationChange = std::max({std::fabs(s[0]), std::fabs(s[1]), std::fabs(s[2])});
    result.rotationChange = std::sqrt(s[3] * s[3] + s[4] * s[4] + s[5] * s[5]) * kDegrees;
    return result;
}

// The residuals a step starts from: their sum of squares and how many there are.
struct Residuals {
    double squares = 0.0;
    int count = 0;
};

// The sum of squares the linearised model predicts after the step: |r|^2 - 2 b.s + s A s.
double predictedSquares(const std::vector<std::vector<double>>& a, const std::vector<double>& b,
                        const std::vector<double>& step, double squares)
{
    for (std::size_t i = 0; i < step.size(); ++i) {
        double as = 0.0;
        for (std::size_t j = 0; j < step.size(); ++j) as += a[i][j] * step[j];
        squares += step[i] * (as - 2.0 * b[i]);
    }
    return squares;
}

// The step that brings the whole rotation back to 0 (for a small rotation its angles are
// a rotation vector) and fits the other unknowns with it.
std::vector<double> stepToNoRotation(const std::vector<std::vector<double>>& a, const std::vector<double>& b,
                                     const VolumeMotion& motion)
{
    const RigidMotion current = motionOf(motion.transform);
    std::vector<double> step(kPerVolume, 0.0);
    for (int k = 0; k < 3; ++k) step[static_cast<std::size_t>(3 + k)] = -current.rotation[static_cast<std::size_t>(k)];
    constexpr std::array<int, 4> kOthers{0, 1, 2, 6};
    std::vector<std::vector<double>> sub(kOthers.size(), std::vector<double>(kOthers.size()));
    std::vector<double> subRight(kOthers.size());
    for (std::size_t i = 0; i < kOthers.size(); ++i) {
        const std::size_t r = static_cast<std::size_t>(kOthers[i]);
        subRight[i] = b[r];
        for (int k = 3; k < 6; ++k) subRight[i] -= a[r][static_cast<std::size_t>(k)] * step[static_cast<std::size_t>(k)];
        for (std::size_t j = 0; j < kOthers.size(); ++j) sub[i][j] = a[r][static_cast<std::size_t>(kOthers[j])];
    }
    const std::vector<double> others = solveSymmetric(sub, subRight);
    for (std::size_t i = 0; i < kOthers.size(); ++i) step[static_cast<std::size_t>(kOthers[i])] = others[i];
    return step;
}

// Solves the normal equations of one volume's step (with the little damping of every
// step) and applies it. Given the residuals, the step keeps the volume unrotated unless a
// rotation lowers their sum of squares by more than noise would: by kRotationEvidence
// times the residuals' variance at the full step. A rotation the data barely determine
// is otherwise made up by the noise, and the field follows it.
MotionStepResult solveAndApply(std::array<std::array<double, kPerVolume>, kPerVolume>& normal,
                               const std::array<double, kPerVolume>& right, VolumeMotion& motion,
                               const Residuals& residuals = {})
{
    std::vector<std::vector<double>> a(kPerVolume, std::vector<double>(kPerVolume));
    for (int i = 0; i < kPerVolume; ++i)
        for (int j = 0; j < kPerVolume; ++j) a[i][j] = i >= j ? normal[i][j] : normal[j][i];
    for (int i = 0; i < kPerVolume; ++i) a[i][i] *= 1.0 + 1e-6;
    const std::vector<double> b(right.begin(), right.end());
    std::vector<double> step = solveSymmetric(a, b);
    if (residuals.count > kPerVolume) {
        const double fitted = predictedSquares(a, b, step, residuals.squares);
        const std::vector<double> still = stepToNoRotation(a, b, motion);
        const double variance = std::max(fitted, 0.0) / (residuals.count - kPerVolume);
        if (predictedSquares(a, b, still, residuals.squares) - fitted < kRotationEvidence * variance) step = still;
    }
    return applyStep(step.data(), motion);
}

// The totals step's normal equations with the excess unknowns eliminated, that is fitted
// for whatever motion the step takes: the motion's block less A_me A_ee^-1 A_em, its right
// side and the squares likewise. An excess no line shows (a flat field) stays at 0.
struct EliminatedExcess {
    std::array<std::array<double, kPerVolume>, kPerVolume> normal{};
    std::array<double, kPerVolume> right{};
    double squares = 0.0;
};

EliminatedExcess withoutExcess(const std::array<std::array<double, kTotalsUnknowns>, kTotalsUnknowns>& normal,
                               const std::array<double, kTotalsUnknowns>& right, double squares)
{
    const auto at = [&](int i, int j) { return i >= j ? normal[i][j] : normal[j][i]; };
    std::vector<std::vector<double>> excess(kExcess, std::vector<double>(kExcess));
    for (int i = 0; i < kExcess; ++i)
        for (int j = 0; j < kExcess; ++j) excess[i][j] = at(kPerVolume + i, kPerVolume + j);
    // Columns 0 to kPerVolume - 1: A_ee^-1 A_em; column kPerVolume: A_ee^-1 b_e.
    std::array<std::vector<double>, kPerVolume + 1> solved;
    for (int a = 0; a <= kPerVolume; ++a) {
        std::vector<double> column(kExcess);
        for (int k = 0; k < kExcess; ++k) column[k] = a < kPerVolume ? at(kPerVolume + k, a) : right[kPerVolume + k];
        solved[a] = solveSymmetric(excess, column);
    }
    EliminatedExcess out;
    out.squares = squares;
    for (int k = 0; k < kExcess; ++k) out.squares -= right[kPerVolume + k] * solved[kPerVolume][k];
    for (int a = 0; a < kPerVolume; ++a) {
        out.right[a] = right[a];
        for (int k = 0; k < kExcess; ++k) out.right[a] -= at(a, kPerVolume + k) * solved[kPerVolume][k];
        for (int b = 0; b <= a; ++b) {
            out.normal[a][b] = normal[a][b];
            for (int k = 0; k < kExcess; ++k) out.normal[a][b] -= at(a, kPerVolume + k) * solved[b][k];
        }
    }
    return out;
}

}  // namespace

MotionStepResult registerRigidly(const Volume& movedBack, const Volume& reference, const std::array<double, 3>& voxelSize,
                                 const std::vector<std::size_t>& voxels, VolumeMotion& motion)
{
    const Dimensions e = movedBack.dimensions();
    const Volume alongX = differenceAlong(movedBack, 0);
    const Volume alongZ = differenceAlong(movedBack, 2);
    const std::size_t stride = static_cast<std::size_t>(e.x);
    std::array<std::array<double, kPerVolume>, kPerVolume> normal{};
    std::array<double, kPerVolume> right{};
    for (const std::size_t i : voxels) {
        const int x = static_cast<int>(i % stride);
        const int y = static_cast<int>((i / stride) % static_cast<std::size_t>(e.y));
        const int z = static_cast<int>(i / (stride * static_cast<std::size_t>(e.y)));
        if (!insideSlab(motion.transform, x, y, z, e, voxelSize)) continue;
        const double g[3] = {alongX[i] / voxelSize[0], slopeAlongY(movedBack, x, y, z) / voxelSize[1],
                             alongZ[i] / voxelSize[2]};
        const std::array<double, kPerVolume> row = motionRow(movedBack[i], g, gridPosition(x, y, z, e, voxelSize));
        const double r = static_cast<double>(movedBack[i]) - reference[i];
        for (int a = 0; a < kPerVolume; ++a) {
            right[a] -= row[a] * r;
            for (int b = 0; b <= a; ++b) normal[a][b] += row[a] * row[b];
        }
    }
    return solveAndApply(normal, right, motion);
}

MotionStepResult registerLineTotals(const Volume& movedBack, const Volume& reference, const std::array<double, 3>& voxelSize,
                                    VolumeMotion& motion, const Volume* field, int edge)
{
    // The derivatives are those of the mean of the moved-back volume and the reference:
    // the first direction is distorted one way and the second the other, and a turn about
    // x or z moves the lines' totals by the signal's moments along y, which the two
    // distortions move in opposite directions; their mean is the undistorted object's.
    const Dimensions e = movedBack.dimensions();
    Volume mean(e);
    for (std::size_t i = 0, n = mean.size(); i < n; ++i) mean[i] = 0.5f * (movedBack[i] + reference[i]);
    const Volume alongX = differenceAlong(mean, 0);
    const Volume alongZ = differenceAlong(mean, 2);
    // A line's growth of total where the field compresses it: the mean signal times the
    // slope where it is positive (one direction piles up there) and where it is negative
    // (the other), summed along the line; its two factors are fitted with the motion.
    std::array<std::array<double, kTotalsUnknowns>, kTotalsUnknowns> normal{};
    std::array<double, kTotalsUnknowns> right{};
    double squares = 0.0;
    int lines = 0;
    for (int z = edge; z < e.z - edge; ++z)
        for (int x = 0; x < e.x; ++x) {
            std::array<double, kTotalsUnknowns> row{};
            double difference = 0.0;
            bool whole = true;
            for (int y = 0; y < e.y && whole; ++y) whole = insideSlab(motion.transform, x, y, z, e, voxelSize);
            if (!whole) continue;
            for (int y = 0; y < e.y; ++y) {
                const std::size_t i = movedBack.index(x, y, z);
                const double g[3] = {alongX[i] / voxelSize[0], slopeAlongY(mean, x, y, z) / voxelSize[1],
                                     alongZ[i] / voxelSize[2]};
                const std::array<double, kPerVolume> voxel = motionRow(movedBack[i], g, gridPosition(x, y, z, e, voxelSize));
                for (int a = 0; a < kPerVolume; ++a) row[a] += voxel[a];
                difference += static_cast<double>(movedBack[i]) - reference[i];
                if (field != nullptr) {
                    const double slope = centralSlope(*field, x, y, z);
                    row[kPerVolume] += mean[i] * std::max(0.0, slope);
                    row[kPerVolume + 1] += mean[i] * std::max(0.0, -slope);
                }
            }
            // The shift along y moves signal within the line only.
            row[1] = 0.0;
            for (int a = 0; a < kTotalsUnknowns; ++a) {
                right[a] -= row[a] * difference;
                for (int b = 0; b <= a; ++b) normal[a][b] += row[a] * row[b];
            }
            squares += difference * difference;
            ++lines;
        }
    EliminatedExcess reduced = withoutExcess(normal, right, squares);
    return solveAndApply(reduced.normal, reduced.right, motion, {reduced.squares, field != nullptr ? lines - kExcess : lines});
}

Volume movedBack(const SplineVolume& volume, const std::array<double, 3>& voxelSize, const VolumeMotion& motion)
{
    Volume out = resampledRigidlyWithinSlices(volume, voxelSize, motion.transform);
    const float gain = static_cast<float>(motion.gain);
    for (std::size_t i = 0, n = out.size(); i < n; ++i) out[i] *= gain;
    return out;
}

Volume correctedWithMap(const Volume& image, const Volume& d, float sign)
{
    const Volume spline = splineCoefficientsAlongY(image);
    Volume out(d.dimensions());
    for (int z = 0; z < d.nz(); ++z)
        for (int y = 0; y < d.ny(); ++y)
            for (int x = 0; x < d.nx(); ++x) out(x, y, z) = static_cast<float>(corrected(spline, d, x, y, z, sign).value);
    return out;
}

MotionStepResult refineMotionsWithAffineField(const std::vector<MotionVolume>& volumes, const std::array<Volume, 2>& means,
                                              const std::array<double, 3>& voxelSize,
                                              const std::vector<std::size_t>& voxels, Volume& d)
{
    const Dimensions e = d.dimensions();
    const std::size_t stride = static_cast<std::size_t>(e.x);
    const std::array<Volume, 2> meanSplines{splineCoefficientsAlongY(means[0]), splineCoefficientsAlongY(means[1])};
    // Unknowns: kPerVolume for every moving volume, in order, then the affine field.
    std::vector<int> first(volumes.size(), -1);
    int unknowns = 0;
    for (std::size_t v = 0; v < volumes.size(); ++v)
        if (volumes[v].motion != nullptr) {
            first[v] = unknowns;
            unknowns += kPerVolume;
        }
    const int affine = unknowns;
    unknowns += kAffine;
    std::vector<std::vector<double>> normal(static_cast<std::size_t>(unknowns), std::vector<double>(static_cast<std::size_t>(unknowns), 0.0));
    std::vector<double> right(static_cast<std::size_t>(unknowns), 0.0);
    const std::vector<std::size_t> gentle = whereTheFieldIsGentle(voxels, d);

    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const MotionVolume& volume = volumes[v];
        const float sign = volume.direction == 0 ? 1.0f : -1.0f;
        const Volume spline = splineCoefficientsAlongY(*volume.movedBack);
        const bool moves = volume.motion != nullptr;
        const Volume alongX = moves ? differenceAlong(*volume.movedBack, 0) : Volume();
        const Volume alongZ = moves ? differenceAlong(*volume.movedBack, 2) : Volume();
        const Volume& otherSpline = meanSplines[static_cast<std::size_t>(1 - volume.direction)];
        constexpr int kRow = kPerVolume + kAffine;
        double block[kRow][kRow] = {};
        double blockRight[kRow] = {};
        for (const std::size_t i : gentle) {
            const int x = static_cast<int>(i % stride);
            const int y = static_cast<int>((i / stride) % static_cast<std::size_t>(e.y));
            const int z = static_cast<int>(i / (stride * static_cast<std::size_t>(e.y)));
            if (moves && !insideSlab(volume.motion->transform, x, y, z, e, voxelSize)) continue;
            const FieldDerivative own = corrected(spline, d, x, y, z, sign);
            const FieldDerivative other = corrected(otherSpline, d, x, y, z, -sign);
            const double r = own.value - other.value;
            double row[kRow] = {};
            if (moves) {
                const float jacobian = std::max(0.0f, 1.0f + sign * centralSlope(d, x, y, z));
                const float at = static_cast<float>(y) + sign * d[i];
                const SplineSample s = sampleSplineLineWithSlope(spline.data() + spline.index(x, 0, z), stride, e.y, at);
                const double g[3] = {jacobian * linearAlong(alongX.data() + alongX.index(x, 0, z), stride, e.y, at) / voxelSize[0],
                                     jacobian * s.slope / voxelSize[1],
                                     jacobian * linearAlong(alongZ.data() + alongZ.index(x, 0, z), stride, e.y, at) / voxelSize[2]};
                const std::array<double, kPerVolume> motion = motionRow(own.value, g, gridPosition(x, at, z, e, voxelSize));
                std::copy(motion.begin(), motion.end(), row);
            }
            // d changes by sum_k c_k phi_k; its slope along y by c_y / (ny/2).
            const std::array<double, kAffine> phi = affineBasis(x, y, z, e);
            const double byShift = own.byShift - other.byShift;
            const double bySlope = own.bySlope - other.bySlope;
            for (int k = 0; k < kAffine; ++k) row[kPerVolume + k] = byShift * phi[static_cast<std::size_t>(k)];
            row[kPerVolume + 2] += bySlope / (0.5 * e.y);
            for (int a = 0; a < kRow; ++a) {
                blockRight[a] -= row[a] * r;
                for (int b = 0; b <= a; ++b) block[a][b] += row[a] * row[b];
            }
        }
        // The block into the whole system: its volume's unknowns, if any, and the field's.
        const auto place = [&](int k) { return k < kPerVolume ? first[v] + k : affine + (k - kPerVolume); };
        for (int a = 0; a < kRow; ++a) {
            if (a < kPerVolume && !moves) continue;
            right[static_cast<std::size_t>(place(a))] += blockRight[a];
            for (int b = 0; b <= a; ++b) {
                if (b < kPerVolume && !moves) continue;
                normal[static_cast<std::size_t>(place(a))][static_cast<std::size_t>(place(b))] += block[a][b];
                if (a != b) normal[static_cast<std::size_t>(place(b))][static_cast<std::size_t>(place(a))] += block[a][b];
            }
        }
    }
    // Hold the second direction's mean translation along y: a stiff penalty on the sum of
    // their shifts along y (the shift of the small motion lies in the reference frame).
    double largest = 0.0;
    for (int a = 0; a < unknowns; ++a) largest = std::max(largest, normal[static_cast<std::size_t>(a)][static_cast<std::size_t>(a)]);
    std::vector<int> secondShiftsY;
    for (std::size_t v = 0; v < volumes.size(); ++v)
        if (volumes[v].motion != nullptr && volumes[v].direction == 1) secondShiftsY.push_back(first[v] + 1);
    for (const int a : secondShiftsY)
        for (const int b : secondShiftsY) normal[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] += 1e3 * largest;
    // A little damping keeps the step finite where the data constrain a direction weakly.
    for (int a = 0; a < unknowns; ++a) normal[static_cast<std::size_t>(a)][static_cast<std::size_t>(a)] *= 1.0 + 1e-6;
    const std::vector<double> step = solveSymmetric(normal, right);

    MotionStepResult result;
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        if (volumes[v].motion == nullptr) continue;
        const MotionStepResult change = applyStep(step.data() + first[v], *volumes[v].motion);
        result.translationChange = std::max(result.translationChange, change.translationChange);
        result.rotationChange = std::max(result.rotationChange, change.rotationChange);
    }
    const double* c = step.data() + affine;
    for (int z = 0; z < e.z; ++z)
        for (int y = 0; y < e.y; ++y)
            for (int x = 0; x < e.x; ++x) {
                const std::array<double, kAffine> phi = affineBasis(x, y, z, e);
                d(x, y, z) += static_cast<float>(c[0] * phi[0] + c[1] * phi[1] + c[2] * phi[2] + c[3] * phi[3]);
            }
    return result;
}
