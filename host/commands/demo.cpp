// SPDX-License-Identifier: GPL-3.0-or-later
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "boundary/hoststate.h"
#include "boundary/pluginloader.h"
#include "cli/commands.h"
#include "commands/estimatechoices.h"
#include "commands/threadsoption.h"
#include "core/distance.h"
#include "core/pairagreement.h"
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
    .summary = "the quick start: make a phantom pair, estimate its map both ways, undistort it, compare",
    .description = "Writes a 64 x 64 x 30 phantom pair with a known displacement map into DIR (default\n"
                   "./varno-demo) and corrects it twice: with the precise estimate and intensity correction,\n"
                   "as \"mindaro estimate AP.fmr PA.fmr --precise --apply --intensity-correction\" would, into\n"
                   "DIR, and with the standard (full) estimate and plain undistortion on copies of the pair in\n"
                   "DIR/standard. Ends with a summary that sets the two side by side: the agreement of the\n"
#if defined(VARNO_HOST_NIFTI)
                   "corrected pair, how far each map is from the true one, and the processor time; with\n"
                   "the quality-control picture of the precise correction, DIR/AP_qc.png (see \"mindaro qc\n"
                   "--help\"), and the report page DIR/report.html that shows both.",
#else
                   "corrected pair, how far each map is from the true one, and the processor time.",
#endif
    .options = {threadsOption()},
};

namespace {

namespace fs = std::filesystem;

Volume firstVolume(const std::string& path)
{
    FmrHeader project = readFmrHeader(path, true);
    if (project.volumes.empty()) throw ReadFileError("no volume in " + path);
    return std::move(project.volumes.front());
}

std::string mapOf(const std::string& project)
{
    return insertSuffix(replaceExtension(project, "map"), "_vdm");
}

// One correction of the pair: where its files are and how long the estimate took.
struct Correction {
    std::string first;
    std::string second;
    double cpuSeconds = 0.0;
};

// How one map does: the agreement figure (pairAgreement) over the head mask, the correlation and
// mean squared difference of the undistorted copies over the object, and the map's
// distance from the true map over the object.
struct Figures {
    double agreement;
    double correlation;
    double meanSquaredDifference;
    double mapRmsError;
    double mapCorrelation;
};

struct DemoData {
    Volume first;
    Volume second;
    Volume trueMap;
    std::vector<VoxelIndex> object;
    std::vector<std::size_t> head;
};

Figures figuresOf(const DemoData& data, const Volume& firstCopy, const Volume& secondCopy, const Volume& map)
{
    const double n = static_cast<double>(data.object.size());
    return {pairAgreement(data.first, data.second, map, data.head), nccLocal(firstCopy, secondCopy, data.object),
            ssdLocal(firstCopy, secondCopy, data.object) / n, std::sqrt(ssdLocal(map, data.trueMap, data.object) / n),
            nccLocal(map, data.trueMap, data.object)};
}

Figures figuresOf(const DemoData& data, const Correction& correction)
{
    return figuresOf(data, firstVolume(insertSuffix(correction.first, "_undist")),
                     firstVolume(insertSuffix(correction.second, "_undist")),
                     readFiniteVdmMap(mapOf(correction.first)));
}

#if defined(VARNO_HOST_NIFTI)
// One method's correction of the phantom as the report page shows it; the picture and its
// figures only for the one the picture shows.
struct DemoRun {
    const QcInputs* inputs;
    const QcAnalysis* analysis;  // null: figures measured here, no picture
    const Figures* figures;
    const Correction* correction;
    bool precise;
};

ReportPage demoPage(const PhantomFiles& files, const std::vector<DemoRun>& runs)
{
    ReportPage page;
    page.title = "VARNO demo: phantom AP/PA pair";
    page.subtitle = "mindaro demo, " + reportTimestamp() + "; a phantom with a known displacement map, corrected "
                    "with the precise and with the standard estimate";
    page.inputs.header = {"", "project", "phase encoding", "from", "corrected with"};
    page.inputs.rows = {{"AP", fileNamePart(files.first), "along y", "the phantom", "+map"},
                        {"PA", fileNamePart(files.second), "along y, opposite", "the phantom", "\u2212map"},
                        {"truth", fileNamePart(files.truth), "", "the phantom, undistorted", ""},
                        {"true map", fileNamePart(files.map), "", "the phantom", ""}};
    for (const DemoRun& demo : runs) {
        EstimateChoices choices;
        choices.precise = demo.precise;
        choices.intensityCorrection = demo.precise;
        const EstimateDescription description = describeEstimateChoices(choices);
        const QcAnalysis analysis = demo.analysis ? *demo.analysis : analyseQc(*demo.inputs);
        ReportRun run;
        run.method = description.method;
        run.settings = description.settings;
        run.results = qcResultFacts(*demo.inputs, analysis);
        run.results.push_back({"agreement", "Agreement of the intensity-corrected pair",
                               formatCorrelation(demo.figures->agreement), "correlation over the head"});
        run.results.push_back({"map-error", "RMS error of the map", formatFixed(demo.figures->mapRmsError, 3) + " voxels",
                               "against the true map; correlation " + formatFixed(demo.figures->mapCorrelation, 3)});
        run.results.push_back({"time", "Processor time", formatFixed(demo.correction->cpuSeconds, 2) + " s",
                               "estimate and correction"});
        if (demo.analysis) run.figures = qcReportFigures(*demo.inputs, analysis);
        // The page names every figure by a key; the standard run's keys say whose they are.
        if (!demo.precise)
            for (ReportFact& fact : run.results) fact.key = "standard-" + fact.key;
        page.runs.push_back(std::move(run));
    }
    for (const std::string& path : {files.first, files.second, files.truth, files.map, files.summary})
        page.outputs.push_back(fileNamePart(path));
    for (const DemoRun& demo : runs)
        for (const std::string& path : {demo.correction->first, demo.correction->second}) {
            const std::string folder = demo.precise ? "" : "standard/";
            page.outputs.push_back(folder + fileNamePart(mapOf(path)));
            page.outputs.push_back(folder + fileNamePart(insertSuffix(path, "_undist")));
        }
    page.outputs.push_back(fileNamePart(qcPictureName(files.first)));
    page.notes = {orientationNote(*runs[0].inputs, *runs[0].analysis),
                  "The object: the voxels where the undistorted phantom has signal; the figures are measured there. "
                  "The standard estimate corrected copies of the pair in the folder standard/."};
    return page;
}
#endif

int estimate(const Correction& correction, bool precise)
{
    HostState& state = hostState();
    state.stringParameters["file0"] = correction.first;
    state.stringParameters["file1"] = correction.second;
    state.intParameters["apply_to_input"] = 1;
    state.intParameters["precise"] = precise;
    state.intParameters["intensity_correction"] = precise;
    return runPluginTask("estimate");
}

void printSummary(const PhantomFiles& files, const Correction& standard, const Correction& precise)
{
    DemoData data{firstVolume(files.first), firstVolume(files.second), readFiniteVdmMap(files.map), {}, {}};
    data.object = phantomObjectVoxels(firstVolume(files.truth));
    data.head = headMask(data.first, data.second);
    const Figures input = figuresOf(data, data.first, data.second, Volume(data.first.dimensions(), 0.0f));
    const Figures before = figuresOf(data, standard);
    const Figures after = figuresOf(data, precise);

    std::printf("\nSummary\n"
                "  Precise estimate:  maps %s, %s\n"
                "                     undistorted with intensity correction: %s, %s\n"
                "  Standard estimate: maps %s, %s\n"
                "                     undistorted: %s, %s\n"
                "  Phantom and truth: %s (true map %s)\n\n"
                "                                              input pair   standard    precise\n"
                "  Agreement (intensity-corrected, head)        %8.4f   %8.4f   %8.4f\n"
                "  Correlation of the copies (object)           %8.4f   %8.4f   %8.4f\n"
                "  Mean squared difference of the copies       %9.1f  %9.1f  %9.1f\n"
                "  Map RMS error against the truth (voxels)     %8.3f   %8.3f   %8.3f\n"
                "  Map correlation with the truth                      -   %8.3f   %8.3f\n"
                "  Processor time of the estimate (s)                  -   %8.2f   %8.2f\n"
                "  The precise map is %.1f times closer to the true map than the standard one.\n",
                mapOf(precise.first).c_str(), mapOf(precise.second).c_str(),
                insertSuffix(precise.first, "_undist").c_str(), insertSuffix(precise.second, "_undist").c_str(),
                mapOf(standard.first).c_str(), mapOf(standard.second).c_str(),
                insertSuffix(standard.first, "_undist").c_str(), insertSuffix(standard.second, "_undist").c_str(),
                files.summary.c_str(), files.map.c_str(), input.agreement, before.agreement, after.agreement,
                input.correlation, before.correlation, after.correlation, input.meanSquaredDifference,
                before.meanSquaredDifference, after.meanSquaredDifference, input.mapRmsError, before.mapRmsError,
                after.mapRmsError, before.mapCorrelation, after.mapCorrelation, standard.cpuSeconds,
                precise.cpuSeconds, before.mapRmsError / after.mapRmsError);

#if defined(VARNO_HOST_NIFTI)
    QcPair pair;
    pair.first = precise.first;
    pair.second = precise.second;
    pair.firstName = "AP";
    pair.secondName = "PA";
    pair.title = "VARNO demo: phantom AP/PA pair, precise estimate";
    pair.object = data.object;
    const QcInputs inputs = readQcPair(pair);
    const std::string picture = qcPictureName(precise.first);
    const QcResult qc = writeQcPicture(picture, inputs);
    QcPair standardPair = pair;
    standardPair.first = standard.first;
    standardPair.second = standard.second;
    const QcInputs standardInputs = readQcPair(standardPair);
    const std::string page = directoryPart(files.first) + "report.html";
    writeReportPage(page, demoPage(files, {{&inputs, &qc.analysis, &after, &precise, true},
                                           {&standardInputs, nullptr, &before, &standard, false}}));
    std::printf("  Displacement of AP inside the object (precise map): %s; %s.\n",
                formatRange(qc.analysis.map.lowestMm, qc.analysis.map.highestMm, "mm").c_str(),
                foldText(qc.analysis.map, inputs.phaseEncodingAxis).c_str());
    std::printf("  Quality-control picture: %s\n  Report page: %s\n", picture.c_str(), page.c_str());
#endif
}

double processorSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

int commandDemo(const std::vector<std::string>& arguments)
{
    return runCommand(demoCommand, arguments, [](const ParsedCommandLine& command) {
        const std::string directory = command.arguments.empty() ? "varno-demo" : command.arguments.front();
        requireProjectFilePath(directory);
        const CommandThreads threads(requestedThreads(command));
        std::cout << "Writing a 64 x 64 x 30 phantom pair into " << directory << " ...\n";
        PhantomFiles files;
        Correction standard;
        try {
            files = writePhantom(directory, PhantomOptions{});
            const fs::path copies = fs::path(directory) / "standard";
            fs::create_directories(copies);
            for (const std::string& project : {files.first, files.second})
                for (const char* extension : {".fmr", ".stc"}) {
                    const fs::path source = replaceExtension(project, extension + 1);
                    fs::copy_file(source, copies / source.filename(), fs::copy_options::overwrite_existing);
                }
            standard = {(copies / fileNamePart(files.first)).string(), (copies / fileNamePart(files.second)).string()};
        } catch (const std::exception& error) {
            return reportFailure("demo", error);
        }

        std::cout << "Estimating and applying the displacement map (standard full estimate, NCC) ...\n";
        double start = processorSeconds();
        if (const int status = estimate(standard, false); status != 0) return status;
        if (const int gaveUp = requireMapsSaved("demo"); gaveUp != 0) return gaveUp;
        standard.cpuSeconds = processorSeconds() - start;

        Correction precise{files.first, files.second};
        std::cout << "\nEstimating and applying the displacement map (precise estimate, intensity correction) ...\n";
        start = processorSeconds();
        if (const int status = estimate(precise, true); status != 0) return status;
        if (const int gaveUp = requireMapsSaved("demo"); gaveUp != 0) return gaveUp;
        precise.cpuSeconds = processorSeconds() - start;

        try {
            printSummary(files, standard, precise);
        } catch (const std::exception& error) {
            return reportFailure("demo", error);
        }
        return 0;
    });
}
