#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "core/distance.h"
#include "files/fileerrors.h"
#include "files/filenames.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "phantom/phantom.h"
#include "report/qcprojects.h"
#include "report/qcreport.h"

const CommandSpec demoCommand{
    .name = "demo",
    .arguments = "[DIR]",
    .minimumArguments = 0,
    .maximumArguments = 1,
    .summary = "the quick start: make a phantom pair, estimate its map, undistort it, summarise",
    .description = "Writes a 64 x 64 x 30 phantom pair with a known displacement map into DIR (default\n"
                   "./varno-demo), runs the full estimate with undistortion of both inputs, exactly as\n"
                   "\"mindaro estimate AP.fmr PA.fmr --apply\" would, and ends with a summary: where the\n"
                   "maps and the copies are, how much closer the corrected pair is than the input pair,\n"
                   "how well the estimated map follows the true one and the time taken, the quality-control\n"
                   "picture DIR/AP_qc.png (see \"mindaro qc --help\") and the report page DIR/report.html.",
    .options = {},
};

namespace {

struct MapError {
    double rms;  // voxels
    double correlation;
};

// Root mean square of the difference and correlation of two maps over the voxels.
MapError mapError(const Volume& estimated, const Volume& truth, const std::vector<VoxelIndex>& voxels)
{
    return {std::sqrt(ssdLocal(estimated, truth, voxels) / static_cast<double>(voxels.size())),
            nccLocal(estimated, truth, voxels)};
}

Volume firstVolume(const std::string& path)
{
    FmrHeader project = readFmrHeader(path, true);
    if (project.volumes.empty()) throw ReadFileError("no volume in " + path);
    return std::move(project.volumes.front());
}

ReportPage demoPage(const PhantomFiles& files, const QcInputs& inputs, const QcAnalysis& analysis,
                    const MapError& error, double seconds)
{
    ReportPage page;
    page.title = inputs.title;
    page.subtitle = "mindaro demo, " + reportTimestamp() + "; a phantom with a known displacement map";
    page.inputs.header = {"", "project", "phase encoding", "from", "corrected with"};
    page.inputs.rows = {{"AP", fileNamePart(files.first), "along y", "the phantom", "+map"},
                        {"PA", fileNamePart(files.second), "along y, opposite", "the phantom", "\u2212map"},
                        {"truth", fileNamePart(files.truth), "", "the phantom, undistorted", ""},
                        {"true map", fileNamePart(files.map), "", "the phantom", ""}};
    const EstimateDescription description = describeEstimateChoices(EstimateChoices{});
    ReportRun run;
    run.method = description.method;
    run.settings = description.settings;
    run.results = qcResultFacts(inputs, analysis);
    run.results.push_back({"map-error", "RMS error of the map", formatFixed(error.rms, 3) + " voxels",
                           "against the true map; correlation " + formatFixed(error.correlation, 3)});
    run.results.push_back({"time", "Time taken", durationText(seconds), "estimate and correction"});
    run.figures = qcReportFigures(inputs, analysis);
    page.runs.push_back(std::move(run));
    for (const std::string& path : {files.first, files.second, files.truth, files.map, files.summary})
        page.outputs.push_back(fileNamePart(path));
    for (const std::string& path : {files.first, files.second}) {
        page.outputs.push_back(fileNamePart(insertSuffix(replaceExtension(path, "map"), "_vdm")));
        page.outputs.push_back(fileNamePart(insertSuffix(path, "_undist")));
    }
    page.outputs.push_back(fileNamePart(qcPictureName(files.first)));
    page.notes = {orientationNote(inputs, analysis),
                  "The object: the voxels where the undistorted phantom has signal; the figures are measured there."};
    return page;
}

void printSummary(const PhantomFiles& files, double seconds)
{
    const Volume truth = firstVolume(files.truth);
    QcPair pair;
    pair.first = files.first;
    pair.second = files.second;
    pair.firstName = "AP";
    pair.secondName = "PA";
    pair.title = "VARNO demo: phantom AP/PA pair";
    pair.object = phantomObjectVoxels(truth);
    const QcInputs inputs = readQcPair(pair);
    const std::string picture = qcPictureName(files.first);
    const QcResult qc = writeQcPicture(picture, inputs);
    const MapError error = mapError(inputs.displacement, readVdmMapFile(files.map, true).map, pair.object);
    const std::string page = directoryPart(files.first) + "report.html";
    writeReportPage(page, demoPage(files, inputs, qc.analysis, error, seconds));

    const QcAgreement& q = qc.analysis.agreement;
    const std::string improvement =
        improvementText(q).empty() ? "" : "  The corrected pair differs " + improvementText(q) + " than the input pair.\n";
    std::printf("\nSummary\n"
                "  Maps:              %s, %s\n"
                "  Undistorted pair:  %s, %s\n"
                "  Phantom and truth: %s (true map %s)\n\n"
                "  Agreement of the pair inside the object   mean squared difference   correlation\n"
                "    input pair                             %14s            %8s\n"
                "    corrected pair                         %14s            %8s\n"
                "%s"
                "  Estimated map against the true map: RMS error %s voxels, correlation %s.\n"
                "  Time taken: %s for the estimate and the correction.\n",
                insertSuffix(replaceExtension(files.first, "map"), "_vdm").c_str(),
                insertSuffix(replaceExtension(files.second, "map"), "_vdm").c_str(),
                insertSuffix(files.first, "_undist").c_str(), insertSuffix(files.second, "_undist").c_str(),
                files.summary.c_str(), files.map.c_str(), formatMeanSquared(q.meanSquaredBefore).c_str(),
                formatCorrelation(q.correlationBefore).c_str(), formatMeanSquared(q.meanSquaredAfter).c_str(),
                formatCorrelation(q.correlationAfter).c_str(), improvement.c_str(), formatFixed(error.rms, 3).c_str(),
                formatFixed(error.correlation, 3).c_str(), durationText(seconds).c_str());
    std::printf("  Displacement of AP inside the object: %s; %s.\n",
                formatRange(qc.analysis.map.lowestMm, qc.analysis.map.highestMm, "mm").c_str(),
                foldText(qc.analysis.map, inputs.phaseEncodingAxis).c_str());
    std::printf("  Quality-control picture: %s\n  Report page: %s\n", picture.c_str(), page.c_str());
}

}  // namespace

int commandDemo(const std::vector<std::string>& arguments)
{
    return runCommand(demoCommand, arguments, [](const ParsedCommandLine& command) {
        const std::string directory = command.arguments.empty() ? "varno-demo" : command.arguments.front();
        std::cout << "Writing a 64 x 64 x 30 phantom pair into " << directory << " ...\n";
        PhantomFiles files;
        try {
            files = writePhantom(directory, PhantomOptions{});
        } catch (const std::exception& error) {
            std::cerr << "mindaro demo: " << error.what() << '\n';
            return 1;
        }

        HostState& state = hostState();
        state.stringParameters["file0"] = files.first;
        state.stringParameters["file1"] = files.second;
        state.intParameters["apply_to_input"] = 1;
        std::cout << "Estimating and applying the displacement map (full estimate, NCC) ...\n";
        const auto start = std::chrono::steady_clock::now();
        const int status = runPluginTask("estimate");
        if (status != 0) return status;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        try {
            printSummary(files, seconds);
        } catch (const std::exception& error) {
            std::cerr << "mindaro demo: " << error.what() << '\n';
            return 1;
        }
        return 0;
    });
}
