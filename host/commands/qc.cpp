// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>
#include <sstream>

#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "commands/threadsoption.h"
#include "files/fileidentity.h"
#include "files/filenames.h"
#include "files/voxeldata.h"
#include "report/qcprojects.h"
#include "report/qcreport.h"

const CommandSpec qcCommand{
    .name = "qc",
    .arguments = "FIRST SECOND",
    .minimumArguments = 2,
    .maximumArguments = 2,
    .summary = "draw the quality-control picture of a pair corrected by \"estimate --apply\"; --html for a page",
    .description =
        "FIRST and SECOND are the projects given to \"mindaro estimate ... --apply\"; their _undist\n"
        "copies and FIRST_vdm.map must be beside them. Writes FIRST_qc.png (or --out, PNG or SVG by its\n"
        "extension): evenly spaced axial, coronal and sagittal slices through the object of the pair\n"
        "before and after the correction, of their absolute difference before and after on one scale,\n"
        "and of the displacement map in mm over the corrected FIRST with contour lines and a colour\n"
        "bar. The slices are oriented by the projects' position information (in voxel order when they\n"
        "have none), voxel sizes in proportion. The summary gives the agreement of the pair before and\n"
        "after, the map's range and the fold check. --html also writes the picture as SVG and a report\n"
        "page, one HTML file with its pictures embedded, beside it.",
    .options =
        {
            {"--out", "PICTURE", "where to write the picture, .png or .svg (default FIRST_qc.png)"},
            {"--html", "", "also write PICTURE as .svg and the report page PICTURE as .html"},
            {"--volumes", "K0 K1", "volumes to show from FIRST and SECOND, counted from 0 (default 0 0)", false, 2},
            {"--lr", "", "the map was estimated with left-right phase encoding"},
            {"--names", "A B", "labels of the two acquisitions (default their file names)", false, 2},
            {"--neurological", "", "the patient's left on the left of the pictures (default: right on the left)"},
            threadsOption(),
        },
};

namespace {

ReportPage qcPage(const QcPair& pair, const QcInputs& inputs, const QcResult& result,
                  const std::vector<std::string>& pictures)
{
    const std::string axis = pair.leftRight ? "along x (--lr)" : "along y";
    ReportPage page;
    page.title = inputs.title;
    page.subtitle = "mindaro qc, " + reportTimestamp();
    page.inputs.header = {"", "project", "volume", "phase encoding"};
    page.inputs.rows = {
        {inputs.firstName + ", corrected with +map", pair.first, std::to_string(pair.firstVolume), axis},
        {inputs.secondName + ", corrected with \u2212map", pair.second, std::to_string(pair.secondVolume), axis},
        {"map", insertSuffix(replaceExtension(pair.first, "map"), "_vdm"), "", axis}};
    ReportRun run;
    run.method = "as estimated by \"mindaro estimate\" (the projects do not record it)";
    run.results = qcResultFacts(inputs, result.analysis);
    run.figures = qcReportFigures(inputs, result.analysis);
    page.runs.push_back(std::move(run));
    for (const std::string& picture : pictures) page.outputs.push_back(fileNamePart(picture));
    page.notes = {orientationNote(inputs, result.analysis),
                  "The object: the voxels where the mean of the four images reaches a tenth of its 99th percentile."};
    return page;
}

}  // namespace

int commandQc(const std::vector<std::string>& arguments)
{
    return runCommand(qcCommand, arguments, [](const ParsedCommandLine& command) {
        const CommandThreads threads(requestedThreads(command));
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
        if (command.has("--neurological")) pair.convention = LeftRightConvention::Neurological;
        pair.title = "Distortion correction of " + fileNamePart(pair.first) + " and " + fileNamePart(pair.second);
        const std::string path = command.has("--out") ? command.value("--out") : qcPictureName(pair.first);
        requirePlainPath(path);
        if (!hasExtension(path, "png") && !hasExtension(path, "svg"))
            throw UsageError("--out expects a picture name ending in .png or .svg, got \"" + path + "\"");
        const std::string svg = replaceExtension(path, "svg");
        const std::string page = replaceExtension(path, "html");
        try {
            std::vector<StepFile> inputFiles;
            for (const std::string& file : qcInputFiles(pair)) {
                inputFiles.push_back({file, ""});
                if (!hasExtension(file, "map")) inputFiles.push_back({projectDataFilePath(file), "data file of " + file});
            }
            std::vector<StepFile> outputFiles{{path, "the picture"}};
            if (command.has("--html")) {
                if (svg != path) outputFiles.push_back({svg, "the picture as SVG"});
                outputFiles.push_back({page, "the report page"});
            }
            requireOutputsApartFromInputs(inputFiles, outputFiles);
            const QcInputs inputs = readQcPair(pair);
            const QcResult result = writeQcPicture(path, inputs);
            for (const std::string& line : result.summary) std::cout << line << '\n';
            std::cout << "Quality-control picture: " << path << '\n';
            if (command.has("--html")) {
                std::vector<std::string> pictures{path};
                if (svg != path) {
                    writeQcPicture(svg, inputs, result.analysis);
                    pictures.push_back(svg);
                    std::cout << "Quality-control picture: " << svg << '\n';
                }
                writeReportPage(page, qcPage(pair, inputs, result, pictures));
                std::cout << "Report page: " << page << '\n';
            }
        } catch (const std::exception& error) {
            return reportFailure("qc", error);
        }
        return 0;
    });
}
