// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI test images written with the NIfTI library directly (not through the host), with
// a chosen version, data type, scaling and an oblique geometry, and read back raw.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nifti2_io.h>

#include "core/volume.h"

struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePointer = std::unique_ptr<nifti_image, NiftiImageDeleter>;

struct TestImageLayout {
    Dimensions extent{12, 10, 6};
    int volumes = 1;
    int datatype = DT_INT16;
    int version = 1;                        // 1 or 2
    double voxel[3] = {2.0, 2.5, 3.0};      // pixdim, in the units below
    int xyzUnits = NIFTI_UNITS_MM;
    double slope = 0.0;                     // scl_slope; 0 for none
    double intercept = 0.0;
    double repetitionTime = 2.0;            // seconds, for 4-D images
};

// Writes path with the values of value(i, j, k, t) converted to the data type (raw
// stored values, before scaling), a qform (rotated 10 degrees about z, qfac -1, offset)
// and a different oblique sform, both with codes set.
void writeTestImage(const std::string& path, const TestImageLayout& layout,
                    const std::function<double(int, int, int, int)>& value);

// Writes volumes as float32 with the geometry of writeTestImage.
void writeTestVolumes(const std::string& path, const std::vector<Volume>& volumes, const TestImageLayout& layout);

// Writes the image (header, empty extension flag, data) as a single file, gzip for ".gz".
void writeImageFile(nifti_image* image, const std::string& path, int version = 1);

NiftiImagePointer readRaw(const std::string& path, bool withData = true);

// Stored value number index of a raw image, converted to double (no scaling).
double rawValue(const nifti_image& image, long long index);

// Overwrites count bytes at offset of a file (an uncompressed image's header field).
void patchBytes(const std::string& path, std::size_t offset, const void* bytes, std::size_t count);
// The same with the bytes of a value.
template <class T>
void patchFile(const std::string& path, std::size_t offset, T value)
{
    patchBytes(path, offset, &value, sizeof value);
}

// Writes the bytes gzip-compressed, as a ".nii.gz" image holds them.
void writeCompressed(const std::string& path, const std::string& bytes);
