#include <iostream>
#include <sstream>

#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/voxeldata.h"
#include "report/qcprojects.h"

const CommandSpec qcCommand{
    .name = "qc",
    .arguments = "FIRST SECOND",
    .minimumArguments = 2,
    .maximumArguments = 2,
    .summary = "draw the quality-control picture (PNG) of a pair corrected by \"estimate --apply\"",
    .description =
        "FIRST and SECOND are the projects given to \"mindaro estimate ... --apply\"; their _undist\n"
        "copies and FIRST_vdm.map must be beside them. Writes FIRST_qc.png (or --out): axial, coronal\n"
        "and sagittal slices through the pair before and after the correction, their absolute\n"
        "difference before and after on one scale, and the displacement map in mm with a colour\n"
        "bar and the object outline; the caption gives the agreement of the pair before and after.",
    .options =
        {
            {"--out", "PNG", "where to write the picture (default FIRST_qc.png)"},
            {"--volumes", "K0 K1", "volumes to show from FIRST and SECOND, counted from 0 (default 0 0)", false, 2},
            {"--lr", "", "the map was estimated with left-right phase encoding"},
            {"--names", "A B", "labels of the two acquisitions (default their file names)", false, 2},
        },
};

int commandQc(const std::vector<std::string>& arguments)
{
    return runCommand(qcCommand, arguments, [](const ParsedCommandLine& command) {
        QcPair pair;
        pair.first = command.arguments[0];
        pair.second = command.arguments[1];
        requireProjectName(pair.first);
        requireProjectName(pair.second);
        pair.leftRight = command.has("--lr");
        const VolumePair volumes = parseVolumePair(command);
        pair.firstVolume = volumes.first;
        pair.secondVolume = volumes.second;
        if (command.has("--names")) {
            if (command.value("--names").find_first_of("\r\n") != std::string::npos)
                throw UsageError("--names takes labels without line breaks, got \"" +
                                 printablePath(command.value("--names")) + "\"");
            std::istringstream words(command.value("--names"));
            words >> pair.firstName >> pair.secondName;
            for (const std::string& name : {pair.firstName, pair.secondName}) {
                if (name.size() > kLongestQcLabel)
                    throw UsageError("--names takes labels of at most " + std::to_string(kLongestQcLabel) +
                                     " characters, got one of " + std::to_string(name.size()));
            }
        }
        pair.title = "Distortion correction of " + pair.first + " and " + pair.second;
        const std::string path = command.has("--out") ? command.value("--out") : qcPictureName(pair.first);
        requirePlainPath(path);
        try {
            std::vector<StepFile> inputs;
            for (const std::string& file : qcInputFiles(pair)) {
                inputs.push_back({file, ""});
                if (!hasExtension(file, "map")) inputs.push_back({projectDataFilePath(file), "data file of " + file});
            }
            requireOutputsApartFromInputs(inputs, {{path, "the picture"}});
            const QcPicture picture = writePairQcPicture(pair, path);
            for (const std::string& line : picture.caption) std::cout << line << '\n';
            std::cout << "Quality-control picture: " << path << '\n';
        } catch (const std::exception& error) {
            return reportFailure("qc", error);
        }
        return 0;
    });
}
