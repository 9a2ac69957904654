// SPDX-License-Identifier: GPL-3.0-or-later
#include "files/motionfile.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/stagedfile.h"

namespace {

const char* const kHeader = "volume\ttrans_x_mm\ttrans_y_mm\ttrans_z_mm\trot_x_deg\trot_y_deg\trot_z_deg";

}  // namespace

std::string motionFileName(const std::string& projectPath)
{
    return insertSuffix(replaceExtension(projectPath, "tsv"), "_motion");
}

void writeMotionFile(const std::string& path, const std::vector<VolumeMotionRow>& rows)
{
    StagedFile file(path);
    {
        std::ofstream out(file.writePath(), file.writeMode() | std::ios::binary);
        out << kHeader << '\n';
        char line[200];
        for (const VolumeMotionRow& row : rows) {
            // Adding 0 turns a negative zero into 0.
            std::snprintf(line, sizeof line, "%u\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\n", row.volume,
                          row.translation[0] + 0.0, row.translation[1] + 0.0, row.translation[2] + 0.0,
                          row.rotation[0] + 0.0, row.rotation[1] + 0.0, row.rotation[2] + 0.0);
            out << line;
        }
        out.close();
        if (!out) throw WriteFileError("could not write file " + path);
    }
    file.commit();
}

std::vector<VolumeMotionRow> readMotionFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw OpenFileError("could not open file " + path);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        throw ReadFileError(path + " is not a motion file: its first line is not the header \"" + std::string(kHeader) +
                            "\"");
    std::vector<VolumeMotionRow> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        VolumeMotionRow row;
        fields >> row.volume >> row.translation[0] >> row.translation[1] >> row.translation[2] >> row.rotation[0] >>
            row.rotation[1] >> row.rotation[2];
        if (!fields) throw ReadFileError(path + ": line " + std::to_string(rows.size() + 2) + " is not a volume's motion");
        rows.push_back(row);
    }
    return rows;
}
