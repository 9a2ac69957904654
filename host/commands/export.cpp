// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>

#include "cli/commands.h"
#include "cli/progressline.h"
#include "cli/stopsignals.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/voxeldata.h"
#include "nifti/niftiprojects.h"

const CommandSpec exportCommand{
    .name = "export",
    .arguments = "INPUT OUT",
    .minimumArguments = 2,
    .maximumArguments = 2,
    .summary = "write a project or a map as a NIfTI image with the geometry of a reference image",
    .description =
        "INPUT is a project (.fmr, .dmr; every volume is written) or a map (.map, displacements in\n"
        "voxels). OUT (.nii or .nii.gz) gets the header of the --like image: NIfTI version, qform,\n"
        "sform, units and timing, so that it overlays that image in any viewer. INPUT must have the\n"
        "reference's extent. Projects stored as int16 are written as int16, others as float.",
    .options =
        {
            {"--like", "IMAGE", "the NIfTI image whose geometry OUT takes (required)"},
        },
};

int commandExport(const std::vector<std::string>& arguments)
{
    return runCommand(exportCommand, arguments, [](const ParsedCommandLine& command) {
        if (!command.has("--like")) throw UsageError("--like IMAGE is required: the image whose geometry OUT takes");
        const std::string& input = command.arguments[0];
        const std::string& output = command.arguments[1];
        const std::string& like = command.value("--like");
        if (hasExtension(input, "fmr") || hasExtension(input, "dmr"))
            requireProjectName(input);
        else
            requireProjectFilePath(input);
        requirePlainPath(output);
        requirePlainPath(like);
        if (!isNiftiName(output))
            throw UsageError("OUT must end in .nii or .nii.gz, got \"" + printablePath(output) + "\"");
        try {
            std::vector<StepFile> inputs{{input, ""}, {like, "--like"}};
            if (!hasExtension(input, "map")) inputs.push_back({projectDataFilePath(input), "data file of " + input});
            requireOutputsApartFromInputs(inputs, {{output, ""}});
            for (const std::string& warning : readNiftiInfo(like).warnings) std::cout << "Note: " << warning << '\n';
            describeUndone([output] { return output + " was not written (what was there before is as it was)."; });
            exportToNifti(input, output, like, volumeProgress("exporting " + input));
            std::cout << "Exported " << input << " as " << output << '\n';
        } catch (const std::exception& error) {
            return reportFailure("export", error);
        }
        return 0;
    });
}
