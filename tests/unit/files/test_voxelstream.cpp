// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/stoprequest.h"
#include "core/threadpool.h"
#include "files/fileerrors.h"
#include "files/projectheader.h"
#include "files/voxeldata.h"
#include "support/datasetfiles.h"

namespace {

// A project of the given extent with random data, its header naming the given prefix.
void writeProject(const std::string& header, const std::string& dataFile, const std::string& prefix, Dimensions e,
                  int volumes, bool floats, bool dwi, unsigned seed)
{
    std::string text = "\nFileVersion: 7\nNrOfVolumes: " + std::to_string(volumes) + "\nNrOfSlices: " +
                       std::to_string(e.z) + "\nPrefix: \"" + prefix + "\"\nDataStorageFormat: " +
                       (dwi ? "3" : "1") + "\nDataType: " + (floats ? "2" : "1") + "\nResolutionX: " +
                       std::to_string(e.x) + "\nResolutionY: " + std::to_string(e.y) + "\n";
    writeFile(header, text);
    std::mt19937 random(seed);
    std::string bytes(static_cast<std::size_t>(e.x) * e.y * e.z * volumes * (floats ? 4 : 2), '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    if (floats)  // keep the floats finite and moderate: the top byte of every word small
        for (std::size_t i = 3; i < bytes.size(); i += 4) bytes[i] = static_cast<char>(bytes[i] & 0x43);
    writeFile(dataFile, bytes);
}

// A transform that mixes every voxel with its neighbour, so that both values and places count.
Volume mixed(const Volume& v)
{
    Volume out(v.dimensions());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = 0.75f * v[i] + 0.5f * v[(i + 1) % v.size()] - 3.0f;
    return out;
}

Volume mixedWith(const Volume& a, const Volume& b)
{
    Volume out = mixed(a);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += 2.0f * b[i];
    return out;
}

// The copy as saveAs writes it from the whole project held in memory.
template <class Header>
void heldCopy(const std::string& source, const std::string& copy)
{
    Header h;
    h.readHeader(source, true);
    for (Volume& volume : h.volumes) volume = mixed(volume);
    h.saveAs(copy);
}

// The volumes of a block are transformed on three threads.
template <class Header>
void streamedCopy(const std::string& source, const std::string& copy)
{
    const WorkerThreads threads(3);
    Header h;
    h.readHeader(source, false);
    saveTransformedAs(h, copy, mixed);
    EXPECT_TRUE(h.volumes.empty());
    EXPECT_EQ(h.fileName, copy);
}

} // namespace

// Runs long enough to pass through memory in several blocks, in both layouts and both
// element types: header and data equal the copy written from the whole project.
TEST(StreamedCopy, EqualsTheCopyOfTheWholeProjectByteForByte)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("held"));
    std::filesystem::create_directories(dir.file("streamed"));
    const Dimensions extent{64, 64, 32};  // half a megabyte per volume as floats
    for (const bool dwi : {false, true})
        for (const bool floats : {false, true}) {
            SCOPED_TRACE(std::string(dwi ? "DWI" : "STC") + (floats ? " float" : " int16"));
            const std::string name = std::string("run") + (dwi ? "d" : "f") + (floats ? "4" : "2");
            const std::string header = dir.file(name + (dwi ? ".dmr" : ".fmr"));
            const std::string data = dir.file(name + (dwi ? ".dwi" : ".stc"));
            writeProject(header, data, name, extent, 19, floats, dwi, floats ? 5u : 6u);
            const std::string held = dir.file("held/" + name + "_undist" + (dwi ? ".dmr" : ".fmr"));
            const std::string streamed = dir.file("streamed/" + name + "_undist" + (dwi ? ".dmr" : ".fmr"));
            if (dwi) {
                heldCopy<DmrHeader>(header, held);
                streamedCopy<DmrHeader>(header, streamed);
            } else {
                heldCopy<FmrHeader>(header, held);
                streamedCopy<FmrHeader>(header, streamed);
            }
            const std::string extension = dwi ? ".dwi" : ".stc";
            EXPECT_EQ(readWhole(streamed), readWhole(held));
            const std::string streamedData = readWhole(dir.file("streamed/" + name + "_undist" + extension));
            EXPECT_EQ(streamedData.size(), readWhole(data).size());
            EXPECT_TRUE(streamedData == readWhole(dir.file("held/" + name + "_undist" + extension)));
        }
}

// Volumes visited one at a time are the volumes loaded whole, and volumes written one at a
// time give the files written from the whole project, in both layouts.
TEST(StreamedProject, VisitingAndWritingVolumeByVolumeEqualTheWholeProject)
{
    ScratchDir dir;
    const Dimensions extent{64, 64, 32};
    for (const bool dwi : {false, true}) {
        SCOPED_TRACE(dwi ? "DWI" : "STC");
        const std::string name = dwi ? "d" : "f";
        const std::string header = dir.file(name + (dwi ? ".dmr" : ".fmr"));
        writeProject(header, dir.file(name + (dwi ? ".dwi" : ".stc")), name, extent, 21, true, dwi, 9u);
        const auto check = [&](auto whole, auto bare) {
            int visited = 0;
            forEachVolume(bare, [&](int v, const Volume& volume) {
                EXPECT_EQ(v, visited++);
                const Volume& held = whole.volumes[static_cast<std::size_t>(v)];
                EXPECT_TRUE(std::equal(volume.data(), volume.data() + volume.size(), held.data(), held.data() + held.size()))
                    << v;
            });
            EXPECT_EQ(visited, 21);
            auto held = whole;
            held.fileName = dir.file("held" + name + (dwi ? ".dmr" : ".fmr"));
            held.Prefix.value = "held" + name;
            held.writeWithData();
            auto streamed = bare;
            streamed.fileName = dir.file("streamed" + name + (dwi ? ".dmr" : ".fmr"));
            streamed.Prefix.value = "streamed" + name;
            writeStreamed(streamed, [&](int v) { return whole.volumes[static_cast<std::size_t>(v)]; });
            const std::string extension = dwi ? ".dwi" : ".stc";
            EXPECT_TRUE(readWhole(dir.file("streamed" + name + extension)) == readWhole(dir.file("held" + name + extension)));
        };
        if (dwi)
            check(readDmrHeader(header, true), readDmrHeader(header, false));
        else
            check(readFmrHeader(header, true), readFmrHeader(header, false));
    }
}

// A stop request ends a streamed copy between two slices, and nothing of the copy stays.
TEST(StreamedCopy, AStopRequestLeavesNothingBehind)
{
    ScratchDir dir;
    writeProject(dir.file("s.fmr"), dir.file("s.stc"), "s", {16, 16, 8}, 12, false, false, 3u);
    FmrHeader h = readFmrHeader(dir.file("s.fmr"), false);
    int transformed = 0;
    EXPECT_THROW(saveTransformedAs(h, dir.file("s_undist.fmr"),
                                   [&](const Volume& v) {
                                       if (++transformed == 2) requestStop(SIGTERM);
                                       return v;
                                   }),
                 StopRequested);
    withdrawStopRequest();
    EXPECT_GE(transformed, 2);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
}

// A header whose Prefix already names the copy's data file: the data are read whole before
// the copy replaces them, as saveAs does, instead of being overwritten while read.
TEST(StreamedCopy, CopyOntoItsOwnDataFileReadsTheDataFirst)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("held"));
    writeProject(dir.file("held/a.fmr"), dir.file("held/a_undist.stc"), "a_undist", {8, 6, 4}, 5, false, false, 7u);
    writeProject(dir.file("a.fmr"), dir.file("a_undist.stc"), "a_undist", {8, 6, 4}, 5, false, false, 7u);
    heldCopy<FmrHeader>(dir.file("held/a.fmr"), dir.file("held/a_undist.fmr"));
    streamedCopy<FmrHeader>(dir.file("a.fmr"), dir.file("a_undist.fmr"));
    EXPECT_EQ(readWhole(dir.file("a_undist.stc")), readWhole(dir.file("held/a_undist.stc")));
    EXPECT_EQ(readWhole(dir.file("a_undist.fmr")), readWhole(dir.file("held/a_undist.fmr")));
}

// A transform that fails leaves no header and no data file behind; a missing data file is
// reported before anything is transformed.
TEST(StreamedCopy, FailuresLeaveNothingBehind)
{
    ScratchDir dir;
    writeProject(dir.file("b.fmr"), dir.file("b.stc"), "b", {8, 6, 4}, 3, false, false, 8u);
    FmrHeader h = readFmrHeader(dir.file("b.fmr"), false);
    EXPECT_THROW(saveTransformedAs(h, dir.file("b_undist.fmr"), [](const Volume&) -> Volume {
                     throw std::logic_error("refused");
                 }),
                 std::logic_error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("b_undist.fmr")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("b_undist.stc")));

    std::filesystem::remove(dir.file("b.stc"));
    FmrHeader missing = readFmrHeader(dir.file("b.fmr"), false);
    bool transformed = false;
    EXPECT_THROW(checkVoxelData(missing), std::exception);
    EXPECT_THROW(saveTransformedAs(missing, dir.file("b_undist.fmr"), [&](const Volume& v) {
                     transformed = true;
                     return v;
                 }),
                 std::exception);
    EXPECT_FALSE(transformed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("b_undist.fmr")));
}

// The copy reads the next block and writes the one before while a block is transformed;
// its errors are still those of a single pass: a data file cut short while the copy runs
// is reported, but a transform that fails first wins over the read of the block after it.
// Nothing of the copy stays, on one thread and on three.
TEST(StreamedCopy, FailuresWhileStreamingComeInTheOrderOfASinglePass)
{
    ScratchDir dir;
    const Dimensions extent{64, 64, 32};  // eight volumes of floats in a block
    const std::uintmax_t volumeBytes = 64 * 64 * 32 * 4;
    for (const int threads : {1, 3})
        for (const bool transformFails : {false, true}) {
            SCOPED_TRACE(std::to_string(threads) + " threads" + (transformFails ? ", transform fails" : ""));
            writeProject(dir.file("c.dmr"), dir.file("c.dwi"), "c", extent, 19, true, true, 4u);
            const WorkerThreads workers(threads);
            DmrHeader h = readDmrHeader(dir.file("c.dmr"), false);
            std::atomic<int> transformed{0};
            const auto transform = [&](const Volume& v) {
                // The first two blocks stay readable; the third is gone before it is read.
                if (transformed++ == 0) std::filesystem::resize_file(dir.file("c.dwi"), 16 * volumeBytes);
                if (transformFails && transformed > 8) throw std::logic_error("refused");
                return mixed(v);
            };
            if (transformFails)
                EXPECT_THROW(saveTransformedAs(h, dir.file("c_undist.dmr"), transform), std::logic_error);
            else
                EXPECT_THROW(saveTransformedAs(h, dir.file("c_undist.dmr"), transform), ReadFileError);
            EXPECT_FALSE(std::filesystem::exists(dir.file("c_undist.dmr")));
            EXPECT_FALSE(std::filesystem::exists(dir.file("c_undist.dwi")));
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
                      2);
        }
}

// Volumes too large to share a block with another are still transformed several at a time,
// and the copy is the one written from the whole project.
TEST(StreamedCopy, LargeVolumesAreTransformedSideBySide)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("held"));
    writeProject(dir.file("l.fmr"), dir.file("l.stc"), "l", {128, 128, 64}, 4, false, false, 2u);  // 4 MB a volume
    heldCopy<FmrHeader>(dir.file("l.fmr"), dir.file("held/l_undist.fmr"));
    const WorkerThreads threads(3);
    FmrHeader h = readFmrHeader(dir.file("l.fmr"), false);
    std::atomic<int> running{0}, mostAtOnce{0};
    saveTransformedAs(h, dir.file("l_undist.fmr"), [&](const Volume& v) {
        const int now = ++running;
        for (int most = mostAtOnce; now > most && !mostAtOnce.compare_exchange_weak(most, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Volume out = mixed(v);
        --running;
        return out;
    });
    EXPECT_GE(mostAtOnce.load(), 2);
    EXPECT_TRUE(readWhole(dir.file("l_undist.stc")) == readWhole(dir.file("held/l_undist.stc")));
}

// Slabs of slices z..z+depth-1 of volumes first..first+count-1 as volumes of depth slices.
Volume slabOf(const Volume& volume, int z, int depth)
{
    Volume slab(volume.nx(), volume.ny(), depth);
    std::memcpy(slab.data(), volume.data() + volume.index(0, 0, z), slab.size() * sizeof(float));
    return slab;
}

// Two runs stream through together slab by slab, in blocks of volumes: every slab of the
// copy is the combination of the same slab of both (told which volumes it holds), in both
// layouts, slice by slice and in slabs of two slices (the last one shorter).
TEST(StreamedCopy, PairedRunsCombineSlabBySlab)
{
    ScratchDir dir;
    const Dimensions extent{24, 20, 3};
    for (const bool dwi : {false, true})
        for (const int slab : {1, 2}) {
            SCOPED_TRACE(std::string(dwi ? "DWI" : "STC") + ", slab " + std::to_string(slab));
            const std::string kind = dwi ? ".dmr" : ".fmr", data = dwi ? ".dwi" : ".stc";
            writeProject(dir.file("p" + kind), dir.file("p" + data), "p", extent, 5, true, dwi, 9u);
            writeProject(dir.file("m" + kind), dir.file("m" + data), "m", extent, 5, false, dwi, 10u);
            std::vector<std::array<int, 4>> blocks;  // slice, first volume, volumes and depth of every call
            const auto combined = [&](const Volume& first, const Volume& second, int volume) {
                Volume out = mixedWith(first, second);
                for (std::size_t i = 0; i < out.size(); ++i) out[i] += static_cast<float>(volume);
                return out;
            };
            const PairSlabCombine combine = [&](int z, int firstVolume, std::vector<Volume>& first,
                                                std::vector<Volume>& second) {
                blocks.push_back({z, firstVolume, static_cast<int>(first.size()), first.front().nz()});
                ASSERT_EQ(second.size(), first.size());
                for (std::size_t v = 0; v < first.size(); ++v)
                    first[v] = combined(first[v], second[v], firstVolume + static_cast<int>(v));
            };
            std::vector<Volume> plus, minus, result;
            if (dwi) {
                DmrHeader h = readDmrHeader(dir.file("p.dmr"), false);
                saveCombinedAs(h, readDmrHeader(dir.file("m.dmr"), false), dir.file("p_combined.dmr"), combine, 2, slab);
                plus = readDmrHeader(dir.file("p.dmr"), true).volumes;
                minus = readDmrHeader(dir.file("m.dmr"), true).volumes;
                result = readDmrHeader(dir.file("p_combined.dmr"), true).volumes;
            } else {
                FmrHeader h = readFmrHeader(dir.file("p.fmr"), false);
                saveCombinedAs(h, readFmrHeader(dir.file("m.fmr"), false), dir.file("p_combined.fmr"), combine, 2, slab);
                plus = readFmrHeader(dir.file("p.fmr"), true).volumes;
                minus = readFmrHeader(dir.file("m.fmr"), true).volumes;
                result = readFmrHeader(dir.file("p_combined.fmr"), true).volumes;
            }
            std::vector<std::array<int, 4>> expectedBlocks;
            for (int z = 0; z < extent.z; z += slab)
                for (int first = 0; first < 5; first += 2)
                    expectedBlocks.push_back({z, first, std::min(2, 5 - first), std::min(slab, extent.z - z)});
            EXPECT_EQ(blocks, expectedBlocks);
            ASSERT_EQ(result.size(), 5u);
            for (std::size_t v = 0; v < result.size(); ++v)
                for (int z = 0; z < extent.z; z += slab) {
                    const int depth = std::min(slab, extent.z - z);
                    const Volume expected =
                        combined(slabOf(plus[v], z, depth), slabOf(minus[v], z, depth), static_cast<int>(v));
                    EXPECT_EQ(std::memcmp(&result[v](0, 0, z), expected.data(), expected.size() * sizeof(float)), 0)
                        << "volume " << v << " slice " << z;
                }
        }
}

// Paired runs read the next block and write the one before while a block is combined; the
// errors are still those of a single pass: a data file cut short while the copy runs is
// reported, but a combination that fails first wins over the read of the block after it.
// Nothing of the copy stays, on one thread and on three.
TEST(StreamedCopy, PairedFailuresWhileStreamingComeInTheOrderOfASinglePass)
{
    ScratchDir dir;
    const Dimensions extent{64, 80, 3};  // slices larger than the stream's buffer: read as they are asked for
    const std::uintmax_t sliceBytes = 64 * 80 * 2;
    for (const int threads : {1, 3})
        for (const bool combineFails : {false, true}) {
            SCOPED_TRACE(std::to_string(threads) + " threads" + (combineFails ? ", combination fails" : ""));
            writeProject(dir.file("p.fmr"), dir.file("p.stc"), "p", extent, 6, false, false, 9u);
            writeProject(dir.file("m.fmr"), dir.file("m.stc"), "m", extent, 6, false, false, 10u);
            const WorkerThreads workers(threads);
            FmrHeader h = readFmrHeader(dir.file("p.fmr"), false);
            int combined = 0;
            const PairSlabCombine combine = [&](int, int, std::vector<Volume>& first, std::vector<Volume>& second) {
                // Blocks of two volumes of slice 0: the first two stay readable, the third is
                // gone before it is read.
                if (combined++ == 0) std::filesystem::resize_file(dir.file("m.stc"), 4 * sliceBytes);
                if (combineFails && combined == 2) throw std::logic_error("refused");
                for (std::size_t v = 0; v < first.size(); ++v) first[v] = mixedWith(first[v], second[v]);
            };
            const FmrHeader partner = readFmrHeader(dir.file("m.fmr"), false);
            if (combineFails)
                EXPECT_THROW(saveCombinedAs(h, partner, dir.file("p_combined.fmr"), combine, 2, 1), std::logic_error);
            else
                EXPECT_THROW(saveCombinedAs(h, partner, dir.file("p_combined.fmr"), combine, 2, 1), ReadFileError);
            EXPECT_EQ(combined, 2);
            EXPECT_FALSE(std::filesystem::exists(dir.file("p_combined.fmr")));
            EXPECT_FALSE(std::filesystem::exists(dir.file("p_combined.stc")));
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
                      4);
        }
}
