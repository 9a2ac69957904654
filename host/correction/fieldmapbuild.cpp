// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/fieldmapbuild.h"

#include <cmath>
#include <stdexcept>

#include "cli/numbertext.h"
#include "fieldmap/phaseunits.h"
#include "nifti/fieldtransfer.h"

namespace {

std::string extentText(const Dimensions& e)
{
    return std::to_string(e.x) + " x " + std::to_string(e.y) + " x " + std::to_string(e.z);
}

// The one volume of a phase or field image.
NiftiImage readSingleVolume(const FieldMapImage& image)
{
    NiftiImage read = readNifti(image.path);
    if (read.info.volumes != 1)
        throw std::runtime_error(image.label + " holds " + std::to_string(read.info.volumes) +
                                 " volumes; a phase or field-map image holds one.");
    return read;
}

// A phase image in radians, saying how it was stored.
Volume phaseRadians(const FieldMapImage& image, const Volume& stored, std::string& scaleText)
{
    const std::optional<PhaseScale> scale = detectPhaseScale(stored);
    if (!scale)
        throw std::runtime_error(image.label + " holds neither a phase in radians (-pi..pi or 0..2 pi) nor one in scanner "
                                               "units (-4096..4095, or 0..4095); it cannot be read as a phase.");
    scaleText = phaseScaleText(*scale);
    return phaseInRadians(stored, *scale);
}

// The mean of the magnitude's volumes on the grid of the phase: resampled through world
// coordinates when it lies on another grid.
Volume magnitudeOnGrid(const FieldMapImage& image, const NiftiInfo& grid, const std::string& gridImage,
                       std::vector<std::string>& notes)
{
    const NiftiImage read = readNifti(image.path);
    Volume mean(read.info.extent, 0.0f);
    for (std::size_t v = 0; v < mean.size(); ++v) {
        double sum = 0.0;
        for (const Volume& volume : read.volumes) sum += volume[v];
        mean[v] = static_cast<float>(sum / static_cast<double>(read.volumes.size()));
    }
    if (sameGrid(read.info, grid)) return mean;
    if (voxelsInsideGrid(read.info, grid) == 0)
        throw std::runtime_error("The magnitude " + image.label + " (" + extentText(read.info.extent) +
                                 ") and the phase " + gridImage + " (" + extentText(grid.extent) +
                                 ") do not overlap in world coordinates; they must show the same head.");
    notes.push_back("The magnitude " + image.label + " lies on another grid than " + gridImage +
                    "; it was resampled into that grid through world coordinates.");
    return resampleThroughWorld(mean, read.info, grid, 1.0, BeyondGrid::Zero);
}

void requirePlausibleField(const FieldMap& map)
{
    if (map.estimate.largestHertz <= kLargestFieldHertz) return;
    const FieldMapInputs& inputs = map.inputs;
    std::string check;
    if (inputs.kind == FieldMapKind::FieldInHertz)
        check = "check \"Units\" of " + inputs.phase.metadataSource;
    else
        check = "check the echo times (" + map.echoTimes->source + ": " + numberText(map.echoTimes->first) + " s and " +
                numberText(map.echoTimes->second) + " s; \"" +
                (inputs.kind == FieldMapKind::PhaseDifference ? "EchoTime1\" and \"EchoTime2\"" : "EchoTime\"") + ")";
    throw std::runtime_error("The field of " + inputs.phase.label + " reaches " + numberText(std::round(map.estimate.largestHertz)) +
                             " Hz inside the head, beyond the " + numberText(kLargestFieldHertz) + " Hz of any head in a "
                             "scanner: " + check + ".");
}

}  // namespace

FieldMap buildFieldMap(const FieldMapInputs& inputs, const FieldMapSettings& settings)
{
    FieldMap map;
    map.inputs = inputs;
    map.smoothingMm = settings.smoothingMm;
    map.gridImage = inputs.phase.label;
    const NiftiImage phase = readSingleVolume(inputs.phase);
    map.grid = phase.info;

    Volume measured;
    if (inputs.kind == FieldMapKind::FieldInHertz) {
        const FieldUnits units = resolveFieldUnits(inputs.phase);
        map.stored = units.name;
        measured = phase.volumes.front() * static_cast<float>(units.hertzPerUnit);
    } else {
        map.echoTimes = resolveEchoTimes(inputs, settings.echoTimes, settings.echoTimesAdvice, map.notes);
        if (inputs.kind == FieldMapKind::PhaseDifference) {
            measured = phaseRadians(inputs.phase, phase.volumes.front(), map.stored);
        } else {
            const NiftiImage second = readSingleVolume(*inputs.phase2);
            if (!sameGrid(second.info, phase.info))
                throw std::runtime_error("The phases " + inputs.phase.label + " (" + extentText(phase.info.extent) +
                                         ") and " + inputs.phase2->label + " (" + extentText(second.info.extent) +
                                         ") lie on different grids; the two echoes must share one.");
            std::string secondScale;
            const Volume first = phaseRadians(inputs.phase, phase.volumes.front(), map.stored);
            const Volume later = phaseRadians(*inputs.phase2, second.volumes.front(), secondScale);
            if (secondScale != map.stored) map.stored += " and " + secondScale;
            measured = wrappedDifference(first, later);
        }
        map.notes.push_back("The phase of " + inputs.phase.label +
                            (inputs.phase2 ? " and " + inputs.phase2->label : std::string()) + " is read as " +
                            map.stored + ".");
    }

    map.magnitude = magnitudeOnGrid(inputs.magnitude, map.grid, map.gridImage, map.notes);
    if (inputs.magnitude2) {
        const Volume other = magnitudeOnGrid(*inputs.magnitude2, map.grid, map.gridImage, map.notes);
        for (std::size_t v = 0; v < other.size(); ++v) map.magnitude[v] = 0.5f * (map.magnitude[v] + other[v]);
    }
    const VoxelMask mask = headMask(map.magnitude);
    if (maskCount(mask) == 0)
        throw std::runtime_error("The magnitude " + inputs.magnitude.label +
                                 " shows no head: no voxel reaches a tenth of its 98th percentile.");

    const FieldSettings fieldSettings{map.grid.voxelSize, settings.smoothingMm};
    if (inputs.kind == FieldMapKind::FieldInHertz)
        map.estimate = fieldFromHertz(measured, mask, fieldSettings);
    else
        map.estimate = fieldFromPhaseDifference(measured, mask, map.echoTimes->second - map.echoTimes->first,
                                                fieldSettings);
    requirePlausibleField(map);
    return map;
}
