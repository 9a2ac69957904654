// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the seed corpora of the fuzz targets with the project's own writers:
//   varno_fuzz_seeds DIR   ->  DIR/projectheader, DIR/vdmmapfile, DIR/voxeldata, DIR/parameters,
//                              DIR/niftiimage
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iostream>
#include <string>

#include <nifti2_io.h>

#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "fuzzsupport.h"
#include "nifti/niftifile.h"
#include "phantom/phantom.h"

namespace fs = std::filesystem;

namespace {

void writeSeed(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string fileBytes(const fs::path& path)
{
    return readWholeFile(path.string());
}

// An FMR header with a past transformation, a slice timing table and an acquisition time,
// the blocks that a phantom header leaves out.
std::string headerWithAllBlocks(const std::string& phantomHeader)
{
    FmrHeader h = readFmrHeader(phantomHeader, false);
    h.NrOfPastSpatialTransformations.value = 1;
    h.NameOfSpatialTransformation = {"NameOfSpatialTransformation", "Motion correction", 30, true, true};
    h.TypeOfSpatialTransformation = {"TypeOfSpatialTransformation", 2, 30, true};
    h.AppliedToFileName = {"AppliedToFileName", "run.fmr", 30, true, true};
    h.NrOfTransformationValues = {"NrOfTransformationValues", 16, 30, true};
    h.transformationValues = {1, 0, 0, 0.5f, 0, 1, 0, -1.25f, 0, 0, 1, 2, 0, 0, 0, 1};
    h.SliceTimingTableSize.value = 2;
    h.sliceTimingTable = {0.0f, 1000.0f};
    h.AcqusitionTime = {"AcqusitionTime", 12.5f, 30, true};
    std::ostringstream text;
    h.writeHeaderText(text);
    return text.str();
}

void voxelDataSeed(const fs::path& folder, const std::string& name, VoxelDataChoice choice, float first)
{
    const std::string scratch = fuzzScratchFolder();
    std::vector<Volume> volumes;
    for (int v = 0; v < choice.volumes; ++v) {
        Volume volume(choice.nx, choice.ny, choice.nz);
        for (std::size_t i = 0; i < volume.size(); ++i) volume[i] = first + static_cast<float>(v * 100 + i) * 1.5f;
        volumes.push_back(volume);
    }
    std::string data;
    if (choice.diffusion) {
        DmrHeader h = makeDmrRecord(choice, scratch + "/seed.dmr");
        h.volumes = volumes;
        h.writeWithData();
        data = readWholeFile(scratch + "/data.dwi");
    } else {
        FmrHeader h = makeFmrRecord(choice, scratch + "/seed.fmr");
        h.volumes = volumes;
        h.writeWithData();
        data = readWholeFile(scratch + "/data.stc");
    }
    writeSeed(folder / name, encodeVoxelDataChoice(choice) + data);
}

// A NIfTI-1 image of the phantom's first volume with both transforms, written through the
// library, as the reference that the host's own writer copies the header of.
std::string niftiReference(const Volume& volume, int version)
{
    const std::int64_t dims[8] = {3, volume.nx(), volume.ny(), volume.nz(), 1, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, DT_FLOAT32, 1);
    for (int axis = 1; axis <= 3; ++axis) image->pixdim[axis] = 3.0;
    image->dx = image->dy = image->dz = 3.0;
    image->xyz_units = NIFTI_UNITS_MM;
    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->quatern_d = 0.1;
    image->qfac = 1.0;
    image->sform_code = NIFTI_XFORM_ALIGNED_ANAT;
    for (int row = 0; row < 3; ++row) image->sto_xyz.m[row][row] = 3.0;
    std::copy(volume.data(), volume.data() + volume.size(), static_cast<float*>(image->data));
    std::string bytes;
    const auto append = [&](const void* data, std::size_t size) { bytes.append(static_cast<const char*>(data), size); };
    if (version == 2) {
        nifti_2_header header{};
        image->nifti_type = NIFTI_FTYPE_NIFTI2_1;
        nifti_convert_nim2n2hdr(image, &header);
        std::memcpy(header.magic, "n+2\0\r\n\032\n", 8);
        header.vox_offset = sizeof header + 4;
        append(&header, sizeof header);
    } else {
        nifti_1_header header{};
        image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
        nifti_convert_nim2n1hdr(image, &header);
        std::memcpy(header.magic, "n+1", 4);
        header.vox_offset = static_cast<float>(sizeof header + 4);
        append(&header, sizeof header);
    }
    append("\0\0\0\0", 4);
    append(image->data, volume.size() * sizeof(float));
    nifti_image_free(image);
    return bytes;
}

void niftiSeeds(const fs::path& folder, const PhantomFiles& fmr)
{
    const Volume volume = readFmrHeader(fmr.first, true).volumes.front();
    const std::string scratch = fuzzScratchFolder();
    for (const int version : {1, 2}) {
        const std::string reference = scratch + "/reference" + std::to_string(version) + ".nii";
        writeSeed(reference, niftiReference(volume, version));
        writeSeed(folder / ("float-v" + std::to_string(version) + ".nii"), fileBytes(reference));
        const std::string written = scratch + "/written" + std::to_string(version) + ".nii";
        writeNiftiLike(written, {volume, volume * 2.0f}, NiftiStorage::Int16WhenExact, reference, "seed");
        writeSeed(folder / ("int16-4d-v" + std::to_string(version) + ".nii"), fileBytes(written));
    }
    const std::string compressed = scratch + "/compressed.nii.gz";
    writeNiftiLike(compressed, {volume}, NiftiStorage::Float32, scratch + "/reference1.nii", "seed");
    writeSeed(folder / "float.nii.gz", fileBytes(compressed));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: varno_fuzz_seeds DIR\n";
        return 2;
    }
    const fs::path root(argv[1]);
    for (const char* target : {"projectheader", "vdmmapfile", "voxeldata", "parameters", "niftiimage"})
        fs::create_directories(root / target);

    PhantomOptions fmrOptions;
    fmrOptions.extent = {8, 8, 2};
    fmrOptions.peakDisplacement = 0.5;
    const PhantomFiles fmr = writePhantom(fuzzScratchFolder() + "/fmr", fmrOptions);
    PhantomOptions dmrOptions = fmrOptions;
    dmrOptions.diffusion = true;
    dmrOptions.floatData = true;
    dmrOptions.volumes = 2;
    const PhantomFiles dmr = writePhantom(fuzzScratchFolder() + "/dmr", dmrOptions);

    writeSeed(root / "projectheader" / "phantom.fmr", fileBytes(fmr.first));
    writeSeed(root / "projectheader" / "phantom.dmr", fileBytes(dmr.first));
    writeSeed(root / "projectheader" / "blocks.fmr", headerWithAllBlocks(fmr.first));

    writeSeed(root / "vdmmapfile" / "phantom.map", fileBytes(fmr.map));
    VdmMapFile small = makeVdmMapFile(fuzzScratchFolder() + "/small.map", Volume(3, 2, 2, 0.25f));
    writeVdmMapFile(small);
    writeSeed(root / "vdmmapfile" / "small.map", fileBytes(small.fileName));
    small.kindWord = 10002;   // an older file: version 1, no version-2 word, two extra integers fewer
    small.countWord = 2;
    small.fileName = fuzzScratchFolder() + "/old.map";
    writeVdmMapFile(small);
    writeSeed(root / "vdmmapfile" / "old.map", fileBytes(small.fileName));

    voxelDataSeed(root / "voxeldata", "stc-int16", {false, 3, 2, 2, 2, 1, 1}, -3.0f);
    voxelDataSeed(root / "voxeldata", "stc-float", {false, 2, 2, 1, 3, 2, 1}, 0.5f);
    voxelDataSeed(root / "voxeldata", "dwi-int16", {true, 2, 3, 2, 2, 1, 3}, 7.0f);
    voxelDataSeed(root / "voxeldata", "dwi-float", {true, 1, 2, 2, 2, 2, 3}, -0.25f);

    writeSeed(root / "parameters" / "files", fmr.first + "\n\n" + dmr.first + "\r\n");
    writeSeed(root / "parameters" / "single", "run1.fmr");

    niftiSeeds(root / "niftiimage", fmr);
    return 0;
}
