// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/volumetransform.h"

#include "core/mdhslog.h"

namespace {

constexpr const char* kModule = "src\\volumetransform";

Point3 centre(const Volume& v)
{
    return {static_cast<float>(v.nx() - 1) / 2.0f, static_cast<float>(v.ny() - 1) / 2.0f,
            static_cast<float>(v.nz() - 1) / 2.0f};
}

} // namespace

void transformVolume(Volume& dst, const Volume& src, const Transform& m)
{
    check(&dst != &src, kModule, 15, "&dst != &src");
    const std::array<float, 16>& a = m.m;
    for (int z = 0; z < dst.nz(); ++z) {
        const float fz = static_cast<float>(z);
        const float baseX = a[12] + fz * a[8], baseY = a[13] + fz * a[9], baseZ = a[14] + fz * a[10];
        for (int y = 0; y < dst.ny(); ++y) {
            const float fy = static_cast<float>(y);
            const float rowX = fy * a[4], rowY = fy * a[5], rowZ = fy * a[6];
            float* out = dst.data() + dst.index(0, y, z);
            for (int x = 0; x < dst.nx(); ++x) {
                const float fx = static_cast<float>(x);
                out[x] = src.sampleTrilinear(baseX + (rowX + fx * a[0]), baseY + (rowY + fx * a[1]),
                                             baseZ + (rowZ + fx * a[2]));
            }
        }
    }
}

void transformVolumeCentred(Volume& dst, const Volume& src, const Transform& m)
{
    check(&dst != &src, kModule, 28, "&dst != &src");
    const Point3 from = centre(src);
    const Point3 to = centre(dst);
    const Transform toSource = preTranslate(Transform{}, from);
    const Transform about = preTranslate(product(toSource, m), {-to.x, -to.y, -to.z});
    transformVolume(dst, src, about);
}

void resizeVolume(Volume& dst, const Volume& src)
{
    check(&dst != &src, kModule, 39, "&dst != &src");
    Transform scale;
    scale.m[0] = static_cast<float>(src.nx()) / static_cast<float>(dst.nx());
    scale.m[5] = static_cast<float>(src.ny()) / static_cast<float>(dst.ny());
    scale.m[10] = static_cast<float>(src.nz()) / static_cast<float>(dst.nz());
    transformVolumeCentred(dst, src, scale);
}
