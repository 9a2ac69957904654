// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/niftitestimages.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

NiftiImagePointer makeImage(const TestImageLayout& layout)
{
    const int64_t dims[8] = {layout.volumes > 1 ? 4 : 3, layout.extent.x, layout.extent.y, layout.extent.z, layout.volumes, 1, 1, 1};
    NiftiImagePointer image(nifti_make_new_nim(dims, layout.datatype, 1));
    if (!image) throw std::runtime_error("cannot make a test image");
    image->pixdim[1] = image->dx = layout.voxel[0];
    image->pixdim[2] = image->dy = layout.voxel[1];
    image->pixdim[3] = image->dz = layout.voxel[2];
    if (layout.volumes > 1) image->pixdim[4] = image->dt = layout.repetitionTime;
    image->xyz_units = layout.xyzUnits;
    image->time_units = NIFTI_UNITS_SEC;
    image->scl_slope = layout.slope;
    image->scl_inter = layout.intercept;

    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->quatern_b = 0.0;
    image->quatern_c = 0.0;
    image->quatern_d = std::sin(0.5 * 10.0 * M_PI / 180.0);
    image->qoffset_x = -11.5;
    image->qoffset_y = 7.25;
    image->qoffset_z = -20.0;
    image->qfac = -1.0;
    image->qto_xyz = nifti_quatern_to_dmat44(image->quatern_b, image->quatern_c, image->quatern_d, image->qoffset_x,
                                             image->qoffset_y, image->qoffset_z, image->dx, image->dy, image->dz,
                                             image->qfac);
    image->sform_code = NIFTI_XFORM_MNI_152;
    const double s[4][4] = {{-1.9, 0.3, 0.1, 90.0}, {0.2, 2.4, -0.4, -126.0}, {0.0, 0.5, 2.9, -72.0}, {0, 0, 0, 1}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) image->sto_xyz.m[r][c] = s[r][c];
    std::strcpy(image->descrip, "test image");
    return image;
}

}  // namespace

// Header, empty extension flag and data, as a single file (gzip for ".gz").
void writeImageFile(nifti_image* image, const std::string& path, int version)
{
    nifti_1_header header1{};
    nifti_2_header header2{};
    const bool two = version == 2;
    image->nifti_type = two ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1;
    if (two ? nifti_convert_nim2n2hdr(image, &header2) != 0 : nifti_convert_nim2n1hdr(image, &header1) != 0)
        throw std::runtime_error("cannot make the test header");
    std::memcpy(header2.magic, "n+2\0\r\n\032\n", 8);
    header2.vox_offset = 544;
    std::memcpy(header1.magic, "n+1", 4);
    header1.vox_offset = 352.0f;
    const bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    znzFile file = znzopen(path.c_str(), "wb", gz ? 1 : 0);
    if (znz_isnull(file)) throw std::runtime_error("cannot write " + path);
    const char extension[4] = {};
    if (two)
        znzwrite(&header2, sizeof header2, 1, file);
    else
        znzwrite(&header1, sizeof header1, 1, file);
    znzwrite(extension, 4, 1, file);
    znzwrite(image->data, static_cast<std::size_t>(image->nbyper), static_cast<std::size_t>(image->nvox), file);
    znzclose(file);
}

void writeTestImage(const std::string& path, const TestImageLayout& layout,
                    const std::function<double(int, int, int, int)>& value)
{
    NiftiImagePointer image = makeImage(layout);
    long long index = 0;
    for (int t = 0; t < layout.volumes; ++t)
        for (int k = 0; k < layout.extent.z; ++k)
            for (int j = 0; j < layout.extent.y; ++j)
                for (int i = 0; i < layout.extent.x; ++i, ++index) {
                    const double v = value(i, j, k, t);
                    switch (layout.datatype) {
                    case DT_UINT8: static_cast<std::uint8_t*>(image->data)[index] = static_cast<std::uint8_t>(v); break;
                    case DT_INT16: static_cast<std::int16_t*>(image->data)[index] = static_cast<std::int16_t>(v); break;
                    case DT_INT32: static_cast<std::int32_t*>(image->data)[index] = static_cast<std::int32_t>(v); break;
                    case DT_FLOAT32: static_cast<float*>(image->data)[index] = static_cast<float>(v); break;
                    case DT_FLOAT64: static_cast<double*>(image->data)[index] = v; break;
                    default: break;  // other types keep their zero fill
                    }
                }
    writeImageFile(image.get(), path, layout.version);
}

void writeTestVolumes(const std::string& path, const std::vector<Volume>& volumes, const TestImageLayout& layout)
{
    TestImageLayout floatLayout = layout;
    floatLayout.datatype = DT_FLOAT32;
    floatLayout.volumes = static_cast<int>(volumes.size());
    floatLayout.extent = volumes.front().dimensions();
    writeTestImage(path, floatLayout, [&](int i, int j, int k, int t) { return volumes[t](i, j, k); });
}

NiftiImagePointer readRaw(const std::string& path, bool withData)
{
    NiftiImagePointer image(nifti_image_read(path.c_str(), withData ? 1 : 0));
    if (!image) throw std::runtime_error("cannot read " + path);
    return image;
}

double rawValue(const nifti_image& image, long long index)
{
    switch (image.datatype) {
    case DT_UINT8: return static_cast<const std::uint8_t*>(image.data)[index];
    case DT_INT16: return static_cast<const std::int16_t*>(image.data)[index];
    case DT_INT32: return static_cast<const std::int32_t*>(image.data)[index];
    case DT_FLOAT32: return static_cast<const float*>(image.data)[index];
    case DT_FLOAT64: return static_cast<const double*>(image.data)[index];
    default: throw std::runtime_error("unexpected data type in a test image");
    }
}

void patchBytes(const std::string& path, std::size_t offset, const void* bytes, std::size_t count)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    if (!file) throw std::runtime_error("cannot patch " + path);
}

void writeCompressed(const std::string& path, const std::string& bytes)
{
    znzFile file = znzopen(path.c_str(), "wb", 1);
    if (znz_isnull(file)) throw std::runtime_error("cannot write " + path);
    znzwrite(bytes.data(), 1, bytes.size(), file);
    znzclose(file);
}
