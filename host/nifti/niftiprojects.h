// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion between NIfTI images and this system's projects and maps: import of a 3-D or
// 4-D image as an FMR or DMR project, export of a project or map with the geometry of a
// reference image.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "nifti/niftifile.h"

// Gradient direction (x, y, z) and b-value of every volume.
using GradientTable = std::vector<std::array<float, 4>>;

// Reads a BIDS bval/bvec pair: bvals holds one b-value per volume, bvecs three rows of one
// value per volume (one line of three per volume is accepted too). Throws
// std::runtime_error naming the file and what does not fit.
GradientTable readGradientTable(const std::string& bvals, const std::string& bvecs, int volumes);

struct NiftiImport {
    NiftiInfo info;
    std::vector<VolumeValues> values;  // one entry per volume
};

// Called with the volumes done and the volumes to do in all, as a conversion goes on.
using VolumeProgress = std::function<void(int done, int total)>;

// Writes the image as the project named project (".fmr", or ".dmr" with its gradient
// table, which may be empty): voxel (i, j, k) to (x, y, z), voxel sizes into the header,
// int16 when every value is a whole number that fits, float otherwise. Returns what was
// read. A few volumes are in memory at a time; an image whose header does not settle the
// storage is read twice. Throws NiftiError, std::runtime_error and the project file errors.
NiftiImport importNifti(const std::string& image, const std::string& project, const GradientTable& gradients = {},
                        const VolumeProgress& progress = {});

// The volumes of a project (".fmr", ".dmr") or the map of a ".map" file (readFiniteVdmMap).
std::vector<Volume> readProjectOrMapVolumes(const std::string& path, NiftiStorage& storage);

// Writes a project's volumes (a few in memory at a time) or a map to output with the
// reference's geometry.
void exportToNifti(const std::string& input, const std::string& output, const std::string& like,
                   const VolumeProgress& progress = {});
// A project's volumes with the description given.
void exportProjectToNifti(const std::string& project, const std::string& output, const std::string& like,
                          const std::string& description, const VolumeProgress& progress = {});
