// SPDX-License-Identifier: GPL-3.0-or-later
// End-to-end benchmark: makes phantoms with "mindaro simulate" and times the host's
// tasks as whole processes, several runs each. Prints the median wall and CPU time and
// the peak resident memory of every case, and for the estimates how good the map is: on
// phantoms its RMS error against the true map, on the scanner pair the agreement figure
// of volume 0 (the map's own) and volume 1 (held out); and whether the map folds. The
// dataset cases run "mindaro bids" on the phantom dataset of the tests (with the scanner
// pair as a subject when it is there); their CPU time includes the work-item processes.
//
// With --scaling it times the speed targets of the worker threads instead: 1 against 2
// threads, with a prediction for 8 (see scalingTable).
//
//   varno_e2e_bench [--runs N] [--only NAME | --scaling]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/pairagreement.h"
#include "estimate/preciseobjective.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "support/bidsdataset.h"

namespace {

struct Measurement {
    double wallSeconds = 0.0;
    double cpuSeconds = 0.0;
    long peakKilobytes = 0;
};

std::string mindaro()
{
    return (std::filesystem::canonical("/proc/self/exe").parent_path() / "mindaro").string();
}

// Runs mindaro with the arguments in the folder, standard output into FOLDER/output.txt,
// errors discarded; throws unless it ends with the expected status.
Measurement run(const std::vector<std::string>& arguments, const std::string& folder, int expectedStatus = 0)
{
    std::vector<std::string> command{mindaro()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);

    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        std::freopen("output.txt", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expectedStatus) {
        std::string line;
        for (const std::string& word : arguments) line += " " + word;
        throw std::runtime_error("mindaro" + line + " failed");
    }
    Measurement measurement;
    measurement.wallSeconds = std::chrono::duration<double>(end - start).count();
    measurement.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    measurement.peakKilobytes = usage.ru_maxrss;
    return measurement;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The share of a core that each of `threads` busy threads gets over 0.2 s: 1 when the
// machine's cores are free, less when other work or the hypervisor's quota takes time from
// them. A virtual machine can lose half of it for minutes, which makes every wall time longer
// and caps the speed-up of 2 threads at 2 x share(2) / share(1).
double cpuShare(int threads)
{
    std::vector<double> shares(static_cast<std::size_t>(threads), 0.0);
    std::vector<std::thread> spinners;
    for (int t = 0; t < threads; ++t)
        spinners.emplace_back([&shares, t] {
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = threadCpuSeconds();
            volatile double sink = 0.0;
            while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200))
                for (int i = 0; i < 1000; ++i) sink = sink + i;
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            shares[static_cast<std::size_t>(t)] = (threadCpuSeconds() - cpuStart) / wall;
        });
    for (std::thread& spinner : spinners) spinner.join();
    double sum = 0.0;
    for (double share : shares) sum += share;
    return sum / threads;
}

// What the accuracy columns measure after a case's runs.
enum class Accuracy { None, Phantom, PhantomLeftRight, RealPair };

struct Case {
    std::string name;
    std::vector<std::string> simulate;  // phantom options; empty for the real pair
    std::vector<std::string> timed;
    double dataMegabytes = 0.0;         // size of the data the task reads, for the memory ratio
    bool dataset = false;               // the phantom BIDS dataset in raw/ instead of a phantom pair
    Accuracy accuracy = Accuracy::None;
};

std::vector<Volume> projectVolumes(const std::string& path)
{
    return readFmrHeader(path, true).volumes;
}

Volume storedMap(const std::string& path)
{
    return readVdmMapFile(path, true).map;
}

// RMS of (map - truth) over the voxels where the undistorted object is at least the
// threshold.
double rmsError(const Volume& map, const Volume& truth, const Volume& object, float threshold)
{
    double sum = 0.0;
    double count = 0.0;
    for (std::size_t i = 0; i < map.size(); ++i) {
        if (!(object[i] >= threshold)) continue;
        const double e = static_cast<double>(map[i]) - truth[i];
        sum += e * e;
        count += 1.0;
    }
    return std::sqrt(sum / count);
}

// The accuracy figures of the maps a case left in FOLDER/p, as text for its line. The
// largest |central difference| of the map along the phase encoding says whether it folds:
// 1 + d' and 1 - d' stay positive while it is below 1.
std::string accuracyText(Accuracy accuracy, const std::string& folder)
{
    const std::string p = folder + "/p/";
    char text[256];
    if (accuracy == Accuracy::RealPair) {
        const std::vector<Volume> first = projectVolumes(p + "PA.fmr");
        const std::vector<Volume> second = projectVolumes(p + "AP.fmr");
        const Volume map = storedMap(p + "PA_vdm.map");
        const std::vector<std::size_t> head = headMask(first[0], second[0]);
        std::snprintf(text, sizeof text, "agreement %.4f / %.4f (volume 0 / 1), largest |d'| %.3f",
                      pairAgreement(first[0], second[0], map, head), pairAgreement(first[1], second[1], map, head),
                      largestSlope(map));
        return text;
    }
    const bool leftRight = accuracy == Accuracy::PhantomLeftRight;
    const auto working = [&](Volume v) { return leftRight ? v.transposeXY() : v; };
    const std::string first = leftRight ? "LR" : "AP";
    const std::string second = leftRight ? "RL" : "PA";
    const Volume a = working(projectVolumes(p + first + ".fmr")[0]);
    const Volume b = working(projectVolumes(p + second + ".fmr")[0]);
    const Volume object = working(projectVolumes(p + "truth.fmr")[0]);
    const Volume truth = working(storedMap(p + "true_vdm.map"));
    const Volume map = working(storedMap(p + first + "_vdm.map"));
    std::snprintf(text, sizeof text, "map RMS error %.3f (object >= 100), %.3f (>= 1), agreement %.4f, largest |d'| %.3f",
                  rmsError(map, truth, object, 100.0f), rmsError(map, truth, object, 1.0f),
                  pairAgreement(a, b, map, headMask(a, b)), largestSlope(map));
    return text;
}

// The "Method:" line that "estimate --precise" prints, when there is one.
std::string methodText(const std::string& folder)
{
    std::ifstream output(folder + "/output.txt");
    std::string line;
    while (std::getline(output, line))
        if (line.rfind("Method:", 0) == 0) return line.substr(line.find_first_not_of(' ', 7));
    return {};
}

// The dataset's broken subject makes every participant run end with status 1.
const int kDatasetStatus = 1;

struct ScalingCase {
    std::string name;
    std::vector<std::string> simulate;  // phantom options; empty for the scanner pair
    std::vector<std::string> timed;
    double target;  // the speed-up asked of 2 threads against 1
    // Outputs removed (untimed) before each run, so that every run writes new files as the
    // first run does: replacing a file makes the kernel release the old one's cached pages
    // inside the rename, about 40 ms for 49 MB on this machine's disk, on the calling thread.
    std::vector<std::string> removedBefore = {};
};

// Puts a case's inputs into folder/p: a phantom made with the given options, or the real
// pair's projects copied when there are none. False when the real pair is not there.
bool prepareInputs(const std::vector<std::string>& simulateOptions, const std::string& realPair,
                   const std::string& folder)
{
    if (!simulateOptions.empty()) {
        std::vector<std::string> simulate{"simulate", "p"};
        simulate.insert(simulate.end(), simulateOptions.begin(), simulateOptions.end());
        run(simulate, folder);
        return true;
    }
    if (!std::filesystem::exists(realPair)) return false;
    std::filesystem::create_directory(folder + "/p");
    for (const char* file : {"PA.fmr", "PA.stc", "AP.fmr", "AP.stc"})
        std::filesystem::copy_file(realPair + "/" + file, folder + "/p/" + file);
    return true;
}

// Whether the last run's precise map needed the full standard estimate as its check (the
// standard map at half resolution did not settle it): its time is then mostly that
// estimate's.
bool ranFullCheck(const std::string& folder)
{
    std::ifstream output(folder + "/output.txt");
    std::string line;
    while (std::getline(output, line))
        if (line == "Checking the precise map against the standard estimate...") return true;
    return false;
}

// Each case with --threads 1 and --threads 2, runs times each, on the same phantom. The
// parallel fraction p follows from the speed-up t1 / t2 (Amdahl: t2 = t1 (1 - p + p / 2)),
// and with it the time on 8 threads, t1 (1 - p + p / 8), on a machine with 8 free cores.
// Wall times mean something only on an otherwise idle machine with at least 2 cores: before
// each pair of runs the machine's share of a core for 1 and 2 busy threads is measured, and
// the table gives the ceiling 2 x share(2) / share(1) that it puts on the speed-up.
int scalingTable(int runs, const std::string& realPair)
{
    const std::vector<std::string> phantom128{"--size", "128x128x60", "--voxel-size", "1.5", "--noise", "10"};
    const std::vector<ScalingCase> cases{
        {"full estimate 128x128x60", phantom128, {"estimate", "p/AP.fmr", "p/PA.fmr"}, 1.7},
        {"precise estimate 128x128x60", phantom128, {"estimate", "p/AP.fmr", "p/PA.fmr", "--precise"}, 1.8},
        {"precise real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr", "--precise"}, 1.8},
        {"apply 200 volumes 64x64x30",
         {"--size", "64x64x30", "--volumes", "200"},
         {"apply", "p/true_vdm.map", "p/AP.fmr"},
         1.8},
        {"apply 200 volumes, new copy",
         {"--size", "64x64x30", "--volumes", "200"},
         {"apply", "p/true_vdm.map", "p/AP.fmr"},
         1.8,
         {"p/AP_undist.fmr", "p/AP_undist.stc"}},
        {"combine 2 x 100 volumes 128^2x60",
         {"--size", "128x128x60", "--voxel-size", "1.5", "--volumes", "100", "--noise", "10"},
         {"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map"},
         1.7},
    };
    std::printf("%-30s %10s %10s %10s %10s %8s %8s %8s %10s %8s\n", "case", "wall 1", "wall 2", "CPU 1", "CPU 2",
                "speed-up", "target", "ceiling", "wall 8 *", "8 *");
    for (const ScalingCase& scaling : cases) {
        char pattern[] = "/tmp/varno-scaling-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return 1;
        const std::string folder = pattern;
        try {
            if (!prepareInputs(scaling.simulate, realPair, folder)) {
                std::printf("%-30s skipped: %s not found\n", scaling.name.c_str(), realPair.c_str());
                std::filesystem::remove_all(folder);
                continue;
            }
            // The runs alternate between 1 and 2 threads, and the speed-up is the median of
            // each neighbouring pair's ratio: the machine's own speed drifts by 10-20 % over
            // minutes, which a block of 1-thread runs followed by a block of 2-thread runs
            // would read as a change of speed-up.
            std::vector<double> walls[2], cpus[2], ratios, ceilings;
            for (int r = 0; r < runs; ++r) {
                ceilings.push_back(2.0 * cpuShare(2) / cpuShare(1));
                for (int threads : {1, 2}) {
                    std::vector<std::string> command = scaling.timed;
                    command.insert(command.end(), {"--threads", std::to_string(threads)});
                    for (const std::string& output : scaling.removedBefore) std::filesystem::remove(folder + "/" + output);
                    const Measurement m = run(command, folder);
                    walls[threads - 1].push_back(m.wallSeconds);
                    cpus[threads - 1].push_back(m.cpuSeconds);
                }
                ratios.push_back(walls[0].back() / walls[1].back());
            }
            const double wall[2] = {median(walls[0]), median(walls[1])};
            const double cpu[2] = {median(cpus[0]), median(cpus[1])};
            const double speedUp = median(ratios);
            const double parallel = std::clamp(2.0 * (1.0 - 1.0 / speedUp), 0.0, 1.0);
            const double wall8 = wall[0] * (1.0 - parallel + parallel / 8.0);
            std::printf("%-30s %8.3f s %8.3f s %8.3f s %8.3f s %7.2fx %7.2fx %7.2fx %8.3f s %7.2fx%s\n",
                        scaling.name.c_str(), wall[0], wall[1], cpu[0], cpu[1], speedUp, scaling.target,
                        median(ceilings), wall8, wall[0] / wall8,
                        ranFullCheck(folder) ? " (with the full standard estimate as its check)" : "");
            std::fflush(stdout);
        } catch (const std::exception& error) {
            std::printf("%-30s failed: %s\n", scaling.name.c_str(), error.what());
        }
        std::filesystem::remove_all(folder);
    }
    std::printf("ceiling: the most that 2 threads could gain in these minutes, 2 x share(2) / share(1), where\n"
                "  share(n) is the share of a core each of n busy threads got (2.00x on 2 free cores)\n"
                "* predicted from the parallel fraction of the 1- and 2-thread wall times (Amdahl); the\n"
                "  prediction needs 8 free cores and ignores memory bandwidth.\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    std::string only;
    bool scaling = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (option == "--scaling") {
            scaling = true;
        } else {
            std::cerr << "usage: varno_e2e_bench [--runs N] [--only NAME | --scaling]\n";
            return 2;
        }
    }
    const std::string realPair = VARNO_SHARED_DATA_DIR "/ge-pepolar";
    if (scaling) return scalingTable(runs, realPair);

    const double mb = 1.0 / (1024.0 * 1024.0);
    const std::vector<std::string> pair{"estimate", "p/AP.fmr", "p/PA.fmr"};
    const auto with = [](std::vector<std::string> words, std::initializer_list<std::string> more) {
        words.insert(words.end(), more);
        return words;
    };
    const std::vector<std::string> phantom64{"--size", "64x64x30", "--noise", "10"};
    const std::vector<std::string> phantom128{"--size", "128x128x60", "--voxel-size", "1.5", "--noise", "10"};
    const std::vector<std::string> phantom128x3{"--size", "128x128x60", "--voxel-size", "1.5", "--noise", "10",
                                                "--volumes", "3"};
    const std::vector<std::string> gradientEcho64{"--size", "64x64x30", "--voxel-size", "3.5", "--noise", "10",
                                                  "--gradient-echo", "30"};
    const std::vector<std::string> gradientEcho96{"--size", "96x96x60", "--voxel-size", "2.5", "--noise", "10",
                                                  "--gradient-echo", "30"};
    const std::vector<std::string> leftRight{"--size", "96x64x40", "--voxel-size", "2x3x4", "--noise", "25",
                                             "--left-right"};
    const Accuracy phantom = Accuracy::Phantom;
    const std::vector<Case> cases{
        {"fast estimate 64x64x30", {"--size", "64x64x30"}, with(pair, {"--fast"})},
        {"fast estimate 96x96x60", {"--size", "96x96x60"}, with(pair, {"--fast"})},
        {"full estimate 64x64x30", {"--size", "64x64x30"}, pair},
        {"full estimate 96x96x60", {"--size", "96x96x60"}, pair},
        {"full estimate 128x128x72", {"--size", "128x128x72"}, pair},
        {"apply 200 volumes 64x64x30",
         {"--size", "64x64x30", "--volumes", "200"},
         {"apply", "p/true_vdm.map", "p/AP.fmr"},
         200.0 * 64 * 64 * 30 * 2 * mb},
        // The memory column compares the peak with one volume of floats: the target is the
        // output and two volumes per direction.
        // The speed target is for one thread.
        {"combine 2 x 100 volumes 128x128x60, 1 thread (vs 1 volume)",
         {"--size", "128x128x60", "--voxel-size", "1.5", "--volumes", "100", "--noise", "10"},
         {"combine", "p/AP.fmr", "p/PA.fmr", "--map", "p/true_vdm.map", "--threads", "1"},
         128.0 * 128 * 60 * 4 * mb},
        {"fast estimate real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr", "--fast"}},
        {"full estimate real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr"}, 0.0, false, Accuracy::RealPair},
        {"precise estimate real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr", "--precise"}, 0.0, false,
         Accuracy::RealPair},
        {"precise estimate real pair, both volumes, motion", {},
         {"estimate", "p/PA.fmr", "p/AP.fmr", "--precise", "--volumes", "all", "all", "--motion"}, 0.0, false,
         Accuracy::RealPair},
        {"precise 3+3 volumes with motion 128x128x60", phantom128x3, with(pair, {"--precise", "--volumes", "all", "all", "--motion"}),
         0.0, false, phantom},
        {"full estimate 64x64x30 noise 10", phantom64, pair, 0.0, false, phantom},
        {"precise estimate 64x64x30 noise 10", phantom64, with(pair, {"--precise"}), 0.0, false, phantom},
        {"full estimate 128x128x60 noise 10", phantom128, pair, 0.0, false, phantom},
        {"precise estimate 128x128x60 noise 10", phantom128, with(pair, {"--precise"}), 0.0, false, phantom},
        {"full estimate LR 96x64x40 noise 25", leftRight, {"estimate", "p/LR.fmr", "p/RL.fmr", "--lr"}, 0.0, false,
         Accuracy::PhantomLeftRight},
        {"precise estimate LR 96x64x40 noise 25", leftRight, {"estimate", "p/LR.fmr", "p/RL.fmr", "--lr", "--precise"},
         0.0, false, Accuracy::PhantomLeftRight},
        {"full estimate gradient echo 64x64x30", gradientEcho64, pair, 0.0, false, phantom},
        {"precise estimate gradient echo 64x64x30", gradientEcho64, with(pair, {"--precise"}), 0.0, false, phantom},
        {"full estimate gradient echo 96x96x60", gradientEcho96, pair, 0.0, false, phantom},
        {"precise estimate gradient echo 96x96x60", gradientEcho96, with(pair, {"--precise"}), 0.0, false, phantom},
        {"bids dataset --standard --fast --jobs 1",
         {},
         {"bids", "raw", "out", "participant", "--standard", "--fast", "--force", "--jobs", "1"},
         0.0,
         true},
        {"bids dataset --standard --fast --jobs 2",
         {},
         {"bids", "raw", "out", "participant", "--standard", "--fast", "--force", "--jobs", "2"},
         0.0,
         true},
        {"bids dataset --jobs 1", {}, {"bids", "raw", "out", "participant", "--force", "--jobs", "1"}, 0.0, true},
        {"bids dataset --jobs 2", {}, {"bids", "raw", "out", "participant", "--force", "--jobs", "2"}, 0.0, true},
    };

    // A share below 1 lengthens every wall time by its inverse; the CPU time of a one-thread
    // run is then the truer figure of what the task costs.
    std::printf("share of a core that one busy thread gets now: %.2f (1 when the machine is free)\n", cpuShare(1));
    std::printf("%-42s %6s %12s %12s %14s\n", "case", "runs", "median wall", "median CPU", "peak memory");
    for (const Case& benchmarkCase : cases) {
        if (!only.empty() && benchmarkCase.name.find(only) == std::string::npos) continue;
        char pattern[] = "/tmp/varno-e2e-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return 1;
        const std::string folder = pattern;
        try {
            if (benchmarkCase.dataset) {
                writeTestDataset(folder + "/raw", true);
            } else if (!prepareInputs(benchmarkCase.simulate, realPair, folder)) {
                std::printf("%-42s skipped: %s not found\n", benchmarkCase.name.c_str(), realPair.c_str());
                std::filesystem::remove_all(folder);
                continue;
            }
            std::vector<double> wall;
            std::vector<double> cpu;
            long peak = 0;
            for (int r = 0; r < runs; ++r) {
                const Measurement m = run(benchmarkCase.timed, folder, benchmarkCase.dataset ? kDatasetStatus : 0);
                wall.push_back(m.wallSeconds);
                cpu.push_back(m.cpuSeconds);
                peak = std::max(peak, m.peakKilobytes);
            }
            std::printf("%-42s %6d %10.3f s %10.3f s %11.1f MB", benchmarkCase.name.c_str(), runs, median(wall),
                        median(cpu), static_cast<double>(peak) / 1024.0);
            if (benchmarkCase.dataMegabytes > 0.0)
                std::printf("  (%.2f x the %.1f MB of data)", static_cast<double>(peak) / 1024.0 / benchmarkCase.dataMegabytes,
                            benchmarkCase.dataMegabytes);
            std::printf("\n");
            if (benchmarkCase.accuracy != Accuracy::None) {
                const std::string method = methodText(folder);
                std::printf("%-42s %s%s%s\n", "", accuracyText(benchmarkCase.accuracy, folder).c_str(),
                            method.empty() ? "" : "; map from the ", method.c_str());
            }
            std::fflush(stdout);
        } catch (const std::exception& error) {
            std::printf("%-42s failed: %s\n", benchmarkCase.name.c_str(), error.what());
        }
        std::filesystem::remove_all(folder);
    }
    return 0;
}
