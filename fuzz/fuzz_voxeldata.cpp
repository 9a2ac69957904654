// SPDX-License-Identifier: GPL-3.0-or-later
// STC and DWI data of small extents. The first bytes choose the kind, the extents, the
// element type and the storage format (fuzzsupport.h); the rest is the data file. Data
// that loads must come out of the writer byte for byte as it went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "files/fileerrors.h"
#include "files/projectheader.h"
#include "fuzzsupport.h"

namespace {

template <class Header>
void loadAndWriteBack(Header record, const VoxelDataChoice& choice, const std::string& dataExtension,
                      const std::string& dataBytes)
{
    {
        std::ofstream header(record.fileName, std::ios::binary | std::ios::trunc);
        record.writeHeaderText(header);
    }
    Header loaded;
    try {
        loaded.readHeader(record.fileName, true);
    } catch (const IOError&) {
        return;   // negative extents, a size that does not fit, or a DWI format other than 3
    }
    if (choice.nx < 0 || choice.ny < 0 || choice.nz < 0 || choice.volumes < 0) std::abort();
    if (loaded.volumes.size() != static_cast<std::size_t>(choice.volumes)) std::abort();
    for (const Volume& volume : loaded.volumes)
        if (volume.dimensions() != Dimensions{choice.nx, choice.ny, choice.nz}) std::abort();
    if (loaded.volumes.empty()) return;

    loaded.saveAs(fuzzScratchFolder() + "/copy.hdr");
    if (readWholeFile(fuzzScratchFolder() + "/copy" + dataExtension) != dataBytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kVoxelDataChoiceBytes) return 0;
    const VoxelDataChoice choice = decodeVoxelDataChoice(data);
    const std::string dataBytes(reinterpret_cast<const char*>(data) + kVoxelDataChoiceBytes, size - kVoxelDataChoiceBytes);
    const std::string folder = fuzzScratchFolder();
    if (choice.diffusion) {
        writeWholeFile(folder + "/data.dwi", data + kVoxelDataChoiceBytes, size - kVoxelDataChoiceBytes);
        loadAndWriteBack(makeDmrRecord(choice, folder + "/data.dmr"), choice, ".dwi", dataBytes);
    } else {
        writeWholeFile(folder + "/data.stc", data + kVoxelDataChoiceBytes, size - kVoxelDataChoiceBytes);
        loadAndWriteBack(makeFmrRecord(choice, folder + "/data.fmr"), choice, ".stc", dataBytes);
    }
    return 0;
}
