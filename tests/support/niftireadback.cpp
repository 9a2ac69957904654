// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/niftireadback.h"

#include <gtest/gtest.h>

#include "support/niftitestimages.h"

std::vector<Volume> readVolumes(const std::string& path)
{
    const NiftiImagePointer image = readRaw(path);
    const Dimensions extent{static_cast<int>(image->nx), static_cast<int>(image->ny), static_cast<int>(image->nz)};
    std::vector<Volume> volumes;
    long long index = 0;
    const long long count = image->dim[0] >= 4 ? image->nt : 1;
    for (long long t = 0; t < count; ++t) {
        Volume volume(extent);
        for (std::size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<float>(rawValue(*image, index++));
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

void expectSameGrid(const std::string& input, const std::string& output)
{
    const NiftiImagePointer a = readRaw(input, false);
    const NiftiImagePointer b = readRaw(output, false);
    EXPECT_EQ(a->qform_code, b->qform_code) << output;
    EXPECT_EQ(a->sform_code, b->sform_code) << output;
    EXPECT_EQ(a->xyz_units, b->xyz_units) << output;
    for (int axis = 1; axis <= 3; ++axis) {
        EXPECT_EQ(a->dim[axis], b->dim[axis]) << output;
        EXPECT_EQ(a->pixdim[axis], b->pixdim[axis]) << output;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(a->sto_xyz.m[r][c], b->sto_xyz.m[r][c]) << output;
            EXPECT_EQ(a->qto_xyz.m[r][c], b->qto_xyz.m[r][c]) << output;
        }
}
