// SPDX-License-Identifier: GPL-3.0-or-later
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "files/projectheader.h"

namespace {

// A 200-volume run of 64 x 64 x 30 int16 voxels in a temporary folder, made once.
class StcRun {
public:
    static constexpr int kNx = 64, kNy = 64, kNz = 30, kVolumes = 200;

    StcRun() : dir_(std::filesystem::temp_directory_path() / ("varno-bench-stc-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(dir_);
        std::ofstream header(headerPath(), std::ios::binary);
        header << "\r\nFileVersion: 7\r\nNrOfVolumes: " << kVolumes << "\r\nNrOfSlices: " << kNz
               << "\r\nPrefix: \"run\"\r\nDataType: 1\r\nResolutionX: " << kNx << "\r\nResolutionY: " << kNy
               << "\r\n";
        std::ofstream data((dir_ / "run.stc").string(), std::ios::binary);
        std::vector<std::int16_t> slice(static_cast<std::size_t>(kNx) * kNy);
        for (int image = 0; image < kNz * kVolumes; ++image) {
            for (std::size_t i = 0; i < slice.size(); ++i)
                slice[i] = static_cast<std::int16_t>((i * 2654435761u + static_cast<unsigned>(image)) % 4096u);
            data.write(reinterpret_cast<const char*>(slice.data()), static_cast<std::streamsize>(slice.size() * 2));
        }
    }
    ~StcRun()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    StcRun(const StcRun&) = delete;
    StcRun& operator=(const StcRun&) = delete;

    std::string headerPath() const { return (dir_ / "run.fmr").string(); }
    std::string copyPath() const { return (dir_ / "copy.fmr").string(); }

private:
    std::filesystem::path dir_;
};

const StcRun& stcRun()
{
    static const StcRun run;
    return run;
}

void setVoxelRate(benchmark::State& state)
{
    const double voxels = double(StcRun::kNx) * StcRun::kNy * StcRun::kNz * StcRun::kVolumes;
    state.counters["Mvoxel/s"] =
        benchmark::Counter(voxels * static_cast<double>(state.iterations()) * 1e-6, benchmark::Counter::kIsRate);
}

void BM_ReadStcRun(benchmark::State& state)
{
    const std::string path = stcRun().headerPath();
    for (auto _ : state) {
        FmrHeader run = readFmrHeader(path, true);
        benchmark::DoNotOptimize(run.volumes.data());
    }
    setVoxelRate(state);
}

void BM_WriteStcRun(benchmark::State& state)
{
    FmrHeader run = readFmrHeader(stcRun().headerPath(), true);
    run.fileName = stcRun().copyPath();
    run.Prefix.value = "copy";
    for (auto _ : state) run.writeWithData();
    setVoxelRate(state);
}

} // namespace

BENCHMARK(BM_ReadStcRun)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteStcRun)->Unit(benchmark::kMillisecond)->UseRealTime();
