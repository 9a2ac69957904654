// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "cli/commands.h"
#include "cli/progressline.h"
#include "cli/stopsignals.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/voxeldata.h"
#include "nifti/niftiprojects.h"

const CommandSpec importCommand{
    .name = "import",
    .arguments = "IMAGE OUT",
    .minimumArguments = 2,
    .maximumArguments = 2,
    .summary = "convert a 3-D or 4-D NIfTI image (.nii, .nii.gz) into an FMR or DMR project",
    .description =
        "IMAGE is a NIfTI-1 or NIfTI-2 image; OUT names the project to write: OUT.fmr (with OUT.stc)\n"
        "or OUT.dmr (with OUT.dwi). Voxel (i, j, k) becomes (x, y, z), every volume is kept, the voxel\n"
        "sizes go into the header, and the data are stored as int16 when every value is a whole number\n"
        "that fits, as float otherwise. A DMR gets its gradient table from --bvals and --bvecs.",
    .options =
        {
            {"--bvals", "FILE", "b-values, one per volume (DMR only; needs --bvecs)"},
            {"--bvecs", "FILE", "gradient directions, three rows of one value per volume (DMR only)"},
        },
};

int commandImport(const std::vector<std::string>& arguments)
{
    return runCommand(importCommand, arguments, [](const ParsedCommandLine& command) {
        const std::string& image = command.arguments[0];
        const std::string& project = command.arguments[1];
        requirePlainPath(image);
        if (!hasExtension(project, "fmr") && !hasExtension(project, "dmr"))
            throw UsageError("OUT must end in .fmr or .dmr, got \"" + printablePath(project) + "\"");
        requireProjectName(project);
        if (command.has("--bvals") != command.has("--bvecs")) throw UsageError("--bvals and --bvecs go together");
        if (command.has("--bvals") && !hasExtension(project, "dmr"))
            throw UsageError("--bvals and --bvecs need a .dmr project");
        std::vector<StepFile> inputs{{image, ""}};
        for (const char* option : {"--bvals", "--bvecs"})
            if (command.has(option)) {
                requirePlainPath(command.value(option));
                inputs.push_back({command.value(option), option});
            }
        try {
            requireOutputsApartFromInputs(inputs, {{project, ""}, {savedDataFilePath(project), "data file of " + project}});
            GradientTable gradients;
            if (command.has("--bvals")) {
                const NiftiInfo info = readNiftiInfo(image);
                gradients = readGradientTable(command.value("--bvals"), command.value("--bvecs"), info.volumes);
            }
            describeUndone([project] { return project + " was not written (what was there before is as it was)."; });
            const NiftiImport imported = importNifti(image, project, gradients, volumeProgress("importing " + image));
            const NiftiInfo& info = imported.info;
            for (const std::string& warning : info.warnings) std::cout << "Note: " << warning << '\n';
            std::size_t nonFinite = 0;
            for (const VolumeValues& values : imported.values) nonFinite += values.nonFinite;
            if (nonFinite > 0)
                std::cout << "Note: " << image << " holds " << nonFinite
                          << " voxels that are not finite numbers (NaN or infinite); they are kept as they are, and "
                             "no map can be estimated from a volume that holds them.\n";
            std::cout << "Imported " << image << " (" << info.extent.x << " x " << info.extent.y << " x "
                      << info.extent.z << ", " << info.volumes << (info.volumes == 1 ? " volume" : " volumes")
                      << ", voxels " << info.voxelSize[0] << " x " << info.voxelSize[1] << " x "
                      << info.voxelSize[2] << " mm) as " << project << '\n';
        } catch (const std::exception& error) {
            return reportFailure("import", error);
        }
        return 0;
    });
}
