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
                   "and how well the estimated map follows the true one, and the quality-control picture\n"
                   "DIR/AP_qc.png (see \"mindaro qc --help\").",
#else
                   "and how well the estimated map follows the true one.",
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

void printSummary(const PhantomFiles& files)
{
    const Volume truth = firstVolume(files.truth);
    const std::vector<VoxelIndex> object = phantomObjectVoxels(truth);
    const Agreement before = agreement(firstVolume(files.first), firstVolume(files.second), object);
    const Agreement after = agreement(firstVolume(insertSuffix(files.first, "_undist")),
                                      firstVolume(insertSuffix(files.second, "_undist")), object);
    const Agreement map = mapError(readFiniteVdmMap(insertSuffix(replaceExtension(files.first, "map"), "_vdm")),
                                   readFiniteVdmMap(files.map), object);

    std::printf("\nSummary\n"
                "  Maps:              %s, %s\n"
                "  Undistorted pair:  %s, %s\n"
                "  Phantom and truth: %s (true map %s)\n\n"
                "  Agreement of the pair inside the object   mean squared difference   correlation\n"
                "    input pair                             %14.1f            %8.4f\n"
                "    corrected pair                         %14.1f            %8.4f\n"
                "  The corrected pair differs %.1f times less than the input pair.\n"
                "  Estimated map against the true map: RMS error %.3f voxels, correlation %.3f.\n",
                insertSuffix(replaceExtension(files.first, "map"), "_vdm").c_str(),
                insertSuffix(replaceExtension(files.second, "map"), "_vdm").c_str(),
                insertSuffix(files.first, "_undist").c_str(), insertSuffix(files.second, "_undist").c_str(),
                files.summary.c_str(), files.map.c_str(), before.meanSquaredDifference, before.correlation,
                after.meanSquaredDifference, after.correlation,
                before.meanSquaredDifference / after.meanSquaredDifference, map.meanSquaredDifference,
                map.correlation);

#if defined(VARNO_HOST_NIFTI)
    QcPair pair;
    pair.first = files.first;
    pair.second = files.second;
    pair.firstName = "AP";
    pair.secondName = "PA";
    pair.title = "VARNO demo: phantom AP/PA pair";
    pair.object = object;
    const std::string picture = qcPictureName(files.first);
    writePairQcPicture(pair, picture);
    std::printf("  Quality-control picture: %s\n", picture.c_str());
#endif
}

}  // namespace

int commandDemo(const std::vector<std::string>& arguments)
{
    return runCommand(demoCommand, arguments, [](const ParsedCommandLine& command) {
        const std::string directory = command.arguments.empty() ? "varno-demo" : command.arguments.front();
        requireProjectFilePath(directory);
        std::cout << "Writing a 64 x 64 x 30 phantom pair into " << directory << " ...\n";
        PhantomFiles files;
        try {
            files = writePhantom(directory, PhantomOptions{});
        } catch (const std::exception& error) {
            return reportFailure("demo", error);
        }

        HostState& state = hostState();
        state.stringParameters["file0"] = files.first;
        state.stringParameters["file1"] = files.second;
        state.intParameters["apply_to_input"] = 1;
        std::cout << "Estimating and applying the displacement map (full estimate, NCC) ...\n";
        const int status = runPluginTask("estimate");
        if (status != 0) return status;
        if (const int gaveUp = requireMapsSaved("demo"); gaveUp != 0) return gaveUp;

        try {
            printSummary(files);
        } catch (const std::exception& error) {
            return reportFailure("demo", error);
        }
        return 0;
    });
}
