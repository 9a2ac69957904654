// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/restoration.h"

#include <algorithm>
#include <cmath>

#include "core/mdhslog.h"
#include "core/restorationlines.h"
#include "core/threadpool.h"

namespace {

constexpr const char* kModule = "src\\restoration";

}  // namespace

void checkRestorationInputs(const std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                            const RestorationSettings& settings)
{
    check(plus.size() == minus.size(), kModule, 20, "plus.size() == minus.size()");
    check(std::isfinite(settings.smoothness) && settings.smoothness > 0.0, kModule, 21,
          "std::isfinite(settings.smoothness) && settings.smoothness > 0.0");
    for (std::size_t i = 0; i < plus.size(); ++i) {
        check(plus[i].dimensions() == vdm.dimensions(), kModule, 22, "plus[i].dimensions() == vdm.dimensions()");
        check(minus[i].dimensions() == vdm.dimensions(), kModule, 23, "minus[i].dimensions() == vdm.dimensions()");
    }
}

void restorePairs(std::vector<Volume>& plus, const std::vector<Volume>& minus, const Volume& vdm,
                  const RestorationSettings& settings)
{
    checkRestorationInputs(plus, minus, vdm, settings);
    const int nx = vdm.nx(), ny = vdm.ny();
    const std::size_t stride = static_cast<std::size_t>(nx);
    for (int z = 0; z < vdm.nz(); ++z) {
        const SliceLines lines(vdm, z, settings.smoothness);
        forEachPiece(restorationPieces(plus.size(), nx, kRestoredLinesPerPiece), [&](std::size_t index) {
            const RestorationPiece piece = restorationPiece(index, plus.size(), nx, kRestoredLinesPerPiece);
            LineScratch scratch(ny);
            for (int x = piece.begin; x < piece.end; ++x) {
                const std::size_t origin = vdm.index(x, 0, z);
                LinePairs pairs;
                for (; pairs.count < piece.count; ++pairs.count) {
                    const std::size_t pair = piece.first + static_cast<std::size_t>(pairs.count);
                    pairs.plus[pairs.count] = pairs.out[pairs.count] = plus[pair].data() + origin;
                    pairs.minus[pairs.count] = minus[pair].data() + origin;
                }
                restoreLines(lines, x, pairs, stride, scratch, stride);
            }
        });
    }
}

Volume restorePair(const Volume& plus, const Volume& minus, const Volume& vdm, const RestorationSettings& settings)
{
    std::vector<Volume> result{plus};
    restorePairs(result, {minus}, vdm, settings);
    return std::move(result.front());
}
