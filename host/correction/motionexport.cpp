// SPDX-License-Identifier: GPL-3.0-or-later
#include "correction/motionexport.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "boundary/hoststate.h"
#include "files/motionfile.h"
#include "nifti/jsonfile.h"

void exportMotion(const Correction& correction, std::vector<std::string>& written)
{
    HostState& state = hostState();
    const std::string images[2] = {correction.ap, correction.pa};
    const char* const names[2] = {"motion_ap.tsv", "motion_pa.tsv"};
    for (int j = 0; j < 2; ++j) {
        const auto found = state.stringParameters.find("motion_file" + std::to_string(j));
        if (found == state.stringParameters.end() || found->second.empty()) continue;
        const std::vector<VolumeMotionRow> rows = readMotionFile(found->second);
        const std::string name = names[j];
        const std::string sidecar = name.substr(0, name.size() - 4) + ".json";
        writeMotionFile(resultPath(correction, name), rows);
        writeJsonFile(resultPath(correction, sidecar),
                      {{"Description", "Rigid motion of the head in every volume of " + images[j] +
                                           " that the estimate used, relative to the first volume of " +
                                           correction.ap + ", estimated with the field (VARNO)"},
                       {"Source", images[j]},
                       {"volume", {{"Description", "index of the volume in the image, from 0"}}},
                       {"trans_x_mm", {{"Units", "mm"}}},
                       {"trans_y_mm", {{"Units", "mm"}, {"Description", "along the phase encoding: between the two "
                                                                         "images it cannot be told from a field offset "
                                                                         "and is held at a mean of 0"}}},
                       {"trans_z_mm", {{"Units", "mm"}}},
                       {"rot_x_deg", {{"Units", "degrees"}}},
                       {"rot_y_deg", {{"Units", "degrees"}}},
                       {"rot_z_deg", {{"Units", "degrees"}, {"Description", "rotations about x, then y, then z"}}}});
        for (const VolumeMotionRow& row : rows) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "Motion of volume %u of %s: %.2f %.2f %.2f mm, %.2f %.2f %.2f degrees\n", row.volume,
                          images[j].c_str(), row.translation[0], row.translation[1], row.translation[2],
                          row.rotation[0], row.rotation[1], row.rotation[2]);
            std::cout << line;
        }
        written.push_back((correction.folder / name).string());
        written.push_back((correction.folder / sidecar).string());
    }
}
