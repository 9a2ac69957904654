// SPDX-License-Identifier: GPL-3.0-or-later
#include "dataset/itempictures.h"

#include "dataset/outputfiles.h"
#include "report/drawing.h"

namespace fs = std::filesystem;

nlohmann::json placeRunPictures(const ItemTarget& target, const CorrectionRun& run, const CorrectedRun& result,
                                LeftRightConvention convention, const fs::path& work, const fs::path& out)
{
    const RunPictures pictures = renderRunPictures(run, result, convention);
    for (const auto& [picture, name] : {std::pair{&pictures.before, &target.beforePicture}, {&pictures.after, &target.afterPicture}}) {
        const std::string staged = (work / fs::path(*name).filename()).string();
        writeBytes(staged, picture->bytes);
        moveIntoPlace(staged, (out / *name).string());
    }
    return {{"beforePicture", target.beforePicture},
            {"afterPicture", target.afterPicture},
            {"pictureWidth", pictures.before.width},
            {"pictureHeight", pictures.before.height}};
}
