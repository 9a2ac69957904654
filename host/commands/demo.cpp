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
#if defined(VARNO_HOST_NIFTI)
#include "report/qcprojects.h"
#include "report/qcreport.h"
#endif

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
#if defined(VARNO_HOST_NIFTI)
                   "how well the estimated map follows the true one and the time taken, the quality-control\n"
                   "picture DIR/AP_qc.png (see \"mindaro qc --help\") and the report page DIR/report.html.",
#else
                   "how well the estimated map follows the true one and the time taken.",
#endif
    .options = {},
};

namespace {

struct Agreement {
    double meanSquaredDifference;
    double correlation;
};

Agreement agreement(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels)
{
    return {ssdLocal(a, b, voxels) / static_cast<double>(voxels.size()), nccLocal(a, b, voxels)};
}

// Root mean square of the difference and correlation of two maps over the voxels.
Agreement mapError(const Volume& estimated, const Volume& truth, const std::vector<VoxelIndex>& voxels)
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

#if defined(VARNO_HOST_NIFTI)
ReportPage demoPage(const PhantomFiles& files, const QcInputs& inputs, const QcAnalysis& analysis,
                    const Agreement& mapAgainstTruth, const std::string& time)
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
    // mapError keeps the root mean square in its first member.
    run.results.push_back({"map-error", "RMS error of the map",
                           formatFixed(mapAgainstTruth.meanSquaredDifference, 3) + " voxels",
                           "against the true map; correlation " + formatFixed(mapAgainstTruth.correlation, 3)});
    run.results.push_back({"time", "Time taken", time, "estimate and correction"});
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
#endif

void printSummary(const PhantomFiles& files, double seconds)
{
    const Volume truth = firstVolume(files.truth);
    const std::vector<VoxelIndex> object = phantomObjectVoxels(truth);
    const Agreement before = agreement(firstVolume(files.first), firstVolume(files.second), object);
    const Agreement after = agreement(firstVolume(insertSuffix(files.first, "_undist")),
                                      firstVolume(insertSuffix(files.second, "_undist")), object);
    const Agreement map = mapError(readVdmMapFile(insertSuffix(replaceExtension(files.first, "map"), "_vdm"), true).map,
                                   readVdmMapFile(files.map, true).map, object);

    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    std::printf("\nSummary\n"
                "  Maps:              %s, %s\n"
                "  Undistorted pair:  %s, %s\n"
                "  Phantom and truth: %s (true map %s)\n\n"
                "  Agreement of the pair inside the object   mean squared difference   correlation\n"
                "    input pair                             %14.1f            %8.4f\n"
                "    corrected pair                         %14.1f            %8.4f\n"
                "  The corrected pair differs %.1f times less than the input pair.\n"
                "  Estimated map against the true map: RMS error %.3f voxels, correlation %.3f.\n"
                "  Time taken: %s for the estimate and the correction.\n",
                insertSuffix(replaceExtension(files.first, "map"), "_vdm").c_str(),
                insertSuffix(replaceExtension(files.second, "map"), "_vdm").c_str(),
                insertSuffix(files.first, "_undist").c_str(), insertSuffix(files.second, "_undist").c_str(),
                files.summary.c_str(), files.map.c_str(), before.meanSquaredDifference, before.correlation,
                after.meanSquaredDifference, after.correlation,
                before.meanSquaredDifference / after.meanSquaredDifference, map.meanSquaredDifference,
                map.correlation, time);

#if defined(VARNO_HOST_NIFTI)
    QcPair pair;
    pair.first = files.first;
    pair.second = files.second;
    pair.firstName = "AP";
    pair.secondName = "PA";
    pair.title = "VARNO demo: phantom AP/PA pair";
    pair.object = object;
    const QcInputs inputs = readQcPair(pair);
    const std::string picture = qcPictureName(files.first);
    const QcResult qc = writeQcPicture(picture, inputs);
    const std::string page = directoryPart(files.first) + "report.html";
    writeReportPage(page, demoPage(files, inputs, qc.analysis, map, time));
    std::printf("  Displacement of AP inside the object: %s; %s.\n",
                formatRange(qc.analysis.map.lowestMm, qc.analysis.map.highestMm, "mm").c_str(),
                foldText(qc.analysis.map, inputs.phaseEncodingAxis).c_str());
    std::printf("  Quality-control picture: %s\n  Report page: %s\n", picture.c_str(), page.c_str());
#endif
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
