// SPDX-License-Identifier: GPL-3.0-or-later
// ".map" files of any content: read with and without the slices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "files/fileerrors.h"
#include "files/vdmmapfile.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzzScratchFolder() + "/input.map";
    writeWholeFile(path, data, size);
    for (bool loadData : {false, true}) {
        try {
            const VdmMapFile file = readVdmMapFile(path, loadData);
            const std::size_t expected = loadData ? static_cast<std::size_t>(file.nx) * file.ny * file.nz : 0;
            if (file.map.size() != expected || file.text.empty()) std::abort();
        } catch (const ReadFileError&) {
            // A short file or an empty text: refused as it should be.
        }
    }
    return 0;
}
