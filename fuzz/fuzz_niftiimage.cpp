// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI images of any content, read as import reads them: the header checked field by
// field, then the voxel data. A gzip stream (by its first two bytes) is read as ".nii.gz".
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "fuzzsupport.h"
#include "nifti/niftifile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool compressed = size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
    const std::string path = fuzzScratchFolder() + (compressed ? "/input.nii.gz" : "/input.nii");
    writeWholeFile(path, data, size);
    try {
        const NiftiImage image = readNifti(path);
        if (image.volumes.size() != static_cast<std::size_t>(image.info.volumes) ||
            image.values.size() != image.volumes.size())
            std::abort();
        for (const Volume& volume : image.volumes)
            if (volume.dimensions() != image.info.extent) std::abort();
        for (int axis = 0; axis < 3; ++axis)
            if (!(image.info.voxelSize[axis] > 0.0) || !std::isfinite(image.info.voxelSize[axis])) std::abort();
    } catch (const NiftiError&) {
        // Refused with a reason, as it should be.
    }
    return 0;
}
