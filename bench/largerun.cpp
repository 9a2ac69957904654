// SPDX-License-Identifier: GPL-3.0-or-later
// Runs larger than memory: a pair of 128 x 128 x 60 and a run of N float32 volumes on its
// grid (N = 500 is 2 GB) through import, export, apply, correct --apply-to, correct with a
// field map (the field that correct wrote) and bids, and with the same run acquired in the
// other direction through combine (projects and NIfTI) and correct --combine, each command
// measured by /usr/bin/time -v: peak resident memory, user and wall time. Run it with two
// sizes to see the time grow linearly with the volumes and the memory stay flat.
//
//   varno_largerun_bench [--volumes N]... [--folder DIR]   (default: 125 and 250 volumes)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "nifti/niftifile.h"
#include "phantom/phantom.h"
#include "support/bidsdataset.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Measurement {
    long peakKilobytes = 0;
    double userSeconds = 0.0;
    double wallSeconds = 0.0;
    int status = -1;
};

// The host beside this program, found once: a rebuild while the benchmark runs must not
// lose it.
const std::string& mindaro()
{
    static const std::string path = (fs::canonical("/proc/self/exe").parent_path() / "mindaro").string();
    return path;
}

double clockSeconds(const std::string& text)
{
    // "h:mm:ss" or "m:ss.ss"
    double seconds = 0.0;
    std::size_t start = 0;
    for (std::size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', start)) {
        seconds = seconds * 60.0 + std::stod(text.substr(start, colon - start));
        start = colon + 1;
    }
    return seconds * 60.0 + std::stod(text.substr(start));
}

Measurement timed(const std::vector<std::string>& arguments, const std::string& folder)
{
    const std::string report = folder + "/time.txt";
    std::vector<std::string> command{"/usr/bin/time", "-v", "-o", report, mindaro()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (folder + "/output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (folder + "/errors.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = 0;
    Measurement measurement;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        measurement.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        const auto value = line.substr(line.rfind(' ') + 1);
        if (line.find("Maximum resident set size") != std::string::npos) measurement.peakKilobytes = std::stol(value);
        if (line.find("User time (seconds)") != std::string::npos) measurement.userSeconds = std::stod(value);
        if (line.find("Elapsed (wall clock)") != std::string::npos) measurement.wallSeconds = clockSeconds(value);
    }
    return measurement;
}

void sidecar(const std::string& image, const std::string& direction)
{
    const std::string path = image.substr(0, image.find(".nii")) + ".json";
    std::ofstream(path) << nlohmann::json{{"PhaseEncodingDirection", direction}, {"TotalReadoutTime", 0.05}}.dump(2);
}

// Writes volumes volumes of the object, float32 with a little noise, uncompressed, with the
// geometry of reference and a sidecar giving direction.
void writeRun(const std::string& run, const std::string& reference, const Volume& object, int volumes,
              const std::string& direction)
{
    NiftiVolumeWriter writer(run, reference, "large run", volumes, false);
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (int v = 0; v < volumes; ++v) {
        Volume volume = object;
        for (std::size_t i = 0; i < volume.size(); i += 7) volume[i] += noise(random);
        writer.write(volume);
    }
    writer.finish();
    sidecar(run, direction);
}

// A BIDS dataset of one subject: the pair in fmap (meant for the run) and the run in func;
// beside the dataset (ROOT/../run_pa.nii) the run acquired in the other direction.
void writeDataset(const std::string& root, int volumes)
{
    PhantomOptions options;
    options.extent = {128, 128, 60};
    options.voxelSize = {2.0, 2.0, 2.0};
    const PhantomVolumes phantom = makePhantom(options);
    const TestGrid grid{options.extent, {2.0, 2.0, 2.0}, {}};
    const std::string fmap = root + "/sub-01/fmap/";
    const std::string func = root + "/sub-01/func/";
    writeGridImage(fmap + "sub-01_dir-AP_epi.nii.gz", grid, {phantom.first.front()});
    writeGridImage(fmap + "sub-01_dir-PA_epi.nii.gz", grid, {phantom.second.front()});
    std::ofstream(fmap + "sub-01_dir-AP_epi.json")
        << nlohmann::json{{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", 0.05},
                          {"IntendedFor", {"func/sub-01_task-rest_bold.nii"}}}.dump(2);
    sidecar(fmap + "sub-01_dir-PA_epi.nii.gz", "j");
    std::ofstream(root + "/dataset_description.json") << R"({"Name": "large run", "BIDSVersion": "1.9.0"})";
    fs::create_directories(func);
    const std::string reference = fmap + "sub-01_dir-AP_epi.nii.gz";
    writeRun(func + "sub-01_task-rest_bold.nii", reference, phantom.first.front(), volumes, "j-");
    writeRun(root + "/../run_pa.nii", reference, phantom.second.front(), volumes, "j");
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    std::string base = fs::temp_directory_path().string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--volumes") sizes.push_back(std::stoi(argv[i + 1]));
        if (option == "--folder") base = argv[i + 1];
    }
    if (sizes.empty()) sizes = {125, 250};
    mindaro();
    std::printf("%-8s %-22s %12s %10s %10s %8s\n", "volumes", "command", "peak MB", "user s", "wall s", "status");
    for (const int volumes : sizes) {
        const std::string folder = base + "/varno-largerun-" + std::to_string(volumes);
        fs::remove_all(folder);
        fs::create_directories(folder);
        writeDataset(folder + "/raw", volumes);
        const std::string ap = "raw/sub-01/fmap/sub-01_dir-AP_epi.nii.gz";
        const std::string pa = "raw/sub-01/fmap/sub-01_dir-PA_epi.nii.gz";
        const std::string bold = "raw/sub-01/func/sub-01_task-rest_bold.nii";
        const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
            {"import", {"import", bold, "run.fmr"}},
            {"export", {"export", "run.fmr", "run.nii.gz", "--like", ap}},
            {"import pair", {"import", ap, "ap.fmr"}},
            {"import pair 2", {"import", pa, "pa.fmr"}},
            {"estimate", {"estimate", "ap.fmr", "pa.fmr", "--fast"}},
            {"apply", {"apply", "ap_vdm.map", "run.fmr"}},
            {"correct --apply-to", {"correct", "--ap", ap, "--pa", pa, "--apply-to", bold, "--out", "corrected", "--fast"}},
            {"correct --fieldmap",
             {"correct", "--fieldmap", "corrected/field_hz.nii.gz", "--magnitude", ap, "--apply-to", bold, "--out",
              "fieldmap"}},
            {"bids", {"bids", "raw", "derivatives", "participant", "--jobs", "1", "--fast"}},
            {"import minus", {"import", "run_pa.nii", "run_pa.fmr"}},
            {"combine", {"combine", "run.fmr", "run_pa.fmr", "--map", "ap_vdm.map"}},
            {"combine (NIfTI)",
             {"combine", "--plus", bold, "--minus", "run_pa.nii", "--map", "corrected/displacement_voxels.nii.gz",
              "--out", "combined.nii.gz"}},
            {"correct --combine",
             {"correct", "--ap", ap, "--pa", pa, "--apply-to", bold, "--apply-to", "run_pa.nii", "--combine", "--out",
              "both", "--fast"}},
        };
        for (const auto& [name, arguments] : cases) {
            const Measurement m = timed(arguments, folder);
            const bool setUp = name.rfind("import pair", 0) == 0 || name == "estimate" || name == "import minus";
            if (setUp) continue;
            std::printf("%-8d %-22s %12.1f %10.2f %10.2f %8d\n", volumes, name.c_str(), m.peakKilobytes / 1024.0,
                        m.userSeconds, m.wallSeconds, m.status);
            std::fflush(stdout);
        }
        fs::remove_all(folder);
    }
    std::printf("\nThe run alone is volumes x 3.9 MB (500 volumes: 1.97 GB). Wall times need an idle machine.\n");
    return 0;
}
