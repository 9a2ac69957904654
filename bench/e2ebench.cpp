// End-to-end benchmark: makes phantoms with "mindaro simulate" and times the host's
// tasks as whole processes, several runs each. Prints the median wall and CPU time and
// the peak resident memory of every case. The dataset cases run "mindaro bids" on the
// phantom dataset of the tests (with the scanner pair as a subject when it is there);
// their CPU time includes the work-item processes.
//
//   varno_e2e_bench [--runs N] [--only NAME]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

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

// Runs mindaro with the arguments in the folder, output discarded; throws unless it ends
// with the expected status.
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
        std::freopen("/dev/null", "w", stdout);
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

struct Case {
    std::string name;
    std::vector<std::string> simulate;  // phantom options; empty for the real pair
    std::vector<std::string> timed;
    double dataMegabytes = 0.0;         // size of the data the task reads, for the memory ratio
    bool dataset = false;               // the phantom BIDS dataset in raw/ instead of a phantom pair
};

// The dataset's broken subject makes every participant run end with status 1.
const int kDatasetStatus = 1;

}  // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::cerr << "usage: varno_e2e_bench [--runs N] [--only NAME]\n";
            return 2;
        }
    }

    const std::string realPair = VARNO_SHARED_DATA_DIR "/ge-pepolar";
    const double mb = 1.0 / (1024.0 * 1024.0);
    const std::vector<Case> cases{
        {"fast estimate 64x64x30", {"--size", "64x64x30"}, {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast"}},
        {"fast estimate 96x96x60", {"--size", "96x96x60"}, {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast"}},
        {"full estimate 64x64x30", {"--size", "64x64x30"}, {"estimate", "p/AP.fmr", "p/PA.fmr"}},
        {"full estimate 96x96x60", {"--size", "96x96x60"}, {"estimate", "p/AP.fmr", "p/PA.fmr"}},
        {"full estimate 128x128x72", {"--size", "128x128x72"}, {"estimate", "p/AP.fmr", "p/PA.fmr"}},
        {"apply 200 volumes 64x64x30",
         {"--size", "64x64x30", "--volumes", "200"},
         {"apply", "p/true_vdm.map", "p/AP.fmr"},
         200.0 * 64 * 64 * 30 * 2 * mb},
        {"fast estimate real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr", "--fast"}},
        {"full estimate real pair 128x128x60", {}, {"estimate", "p/PA.fmr", "p/AP.fmr"}},
        {"bids dataset --fast --jobs 1", {}, {"bids", "raw", "out", "participant", "--fast", "--force", "--jobs", "1"}, 0.0, true},
        {"bids dataset --fast --jobs 2", {}, {"bids", "raw", "out", "participant", "--fast", "--force", "--jobs", "2"}, 0.0, true},
        {"bids dataset --jobs 1", {}, {"bids", "raw", "out", "participant", "--force", "--jobs", "1"}, 0.0, true},
        {"bids dataset --jobs 2", {}, {"bids", "raw", "out", "participant", "--force", "--jobs", "2"}, 0.0, true},
    };

    std::printf("%-36s %6s %12s %12s %14s\n", "case", "runs", "median wall", "median CPU", "peak memory");
    for (const Case& benchmarkCase : cases) {
        if (!only.empty() && benchmarkCase.name.find(only) == std::string::npos) continue;
        char pattern[] = "/tmp/varno-e2e-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return 1;
        const std::string folder = pattern;
        try {
            if (benchmarkCase.dataset) {
                writeTestDataset(folder + "/raw", true);
            } else if (benchmarkCase.simulate.empty()) {
                if (!std::filesystem::exists(realPair)) {
                    std::printf("%-36s skipped: %s not found\n", benchmarkCase.name.c_str(), realPair.c_str());
                    std::filesystem::remove_all(folder);
                    continue;
                }
                std::filesystem::create_directory(folder + "/p");
                for (const char* file : {"PA.fmr", "PA.stc", "AP.fmr", "AP.stc"})
                    std::filesystem::copy_file(realPair + "/" + file, folder + "/p/" + file);
            } else {
                std::vector<std::string> simulate{"simulate", "p"};
                simulate.insert(simulate.end(), benchmarkCase.simulate.begin(), benchmarkCase.simulate.end());
                run(simulate, folder);
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
            std::printf("%-36s %6d %10.3f s %10.3f s %11.1f MB", benchmarkCase.name.c_str(), runs, median(wall),
                        median(cpu), static_cast<double>(peak) / 1024.0);
            if (benchmarkCase.dataMegabytes > 0.0)
                std::printf("  (%.2f x the %.1f MB of data)", static_cast<double>(peak) / 1024.0 / benchmarkCase.dataMegabytes,
                            benchmarkCase.dataMegabytes);
            std::printf("\n");
            std::fflush(stdout);
        } catch (const std::exception& error) {
            std::printf("%-36s failed: %s\n", benchmarkCase.name.c_str(), error.what());
        }
        std::filesystem::remove_all(folder);
    }
    return 0;
}
