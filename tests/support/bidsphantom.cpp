// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/bidsphantom.h"

#include <cmath>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

BidsPhantom writeBidsPhantom(const std::string& folder, const std::string& apDirection, double readoutTime,
                             bool leftRight)
{
    BidsPhantom result;
    PhantomOptions options;
    options.leftRight = leftRight;
    options.extent = {48, 48, 24};
    options.voxelSize = {3.0, 3.0, 3.0};
    options.peakDisplacement = 3.0;
    result.phantom = makePhantom(options);
    result.layout.extent = options.extent;
    result.layout.voxel[0] = leftRight ? 2.5 : 3.0;
    result.layout.voxel[1] = result.layout.voxel[2] = 3.0;
    const std::string fmap = folder + "/sub-01/fmap";
    std::filesystem::create_directories(fmap);
    result.ap = fmap + "/sub-01_dir-AP_epi.nii.gz";
    result.pa = fmap + "/sub-01_dir-PA_epi.nii.gz";
    const auto rounded = [](const Volume& v) {
        return [&v](int i, int j, int k, int) { return std::round(v(i, j, k)); };
    };
    writeTestImage(result.ap, result.layout, rounded(result.phantom.first.front()));
    writeTestImage(result.pa, result.layout, rounded(result.phantom.second.front()));
    const std::string paDirection = apDirection.back() == '-' ? apDirection.substr(0, 1) : apDirection + "-";
    const auto sidecar = [&](const std::string& name, const std::string& direction) {
        const nlohmann::json content{
            {"PhaseEncodingDirection", direction}, {"TotalReadoutTime", readoutTime}, {"EchoTime", 0.03}};
        std::ofstream(fmap + "/" + name) << content.dump(2);
    };
    sidecar("sub-01_dir-AP_epi.json", apDirection);
    sidecar("sub-01_dir-PA_epi.json", paDirection);
    return result;
}
