// SPDX-License-Identifier: GPL-3.0-or-later
// Header text of any content, read as FMR and as DMR and written back.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "files/projectheader.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string fmrPath = fuzzScratchFolder() + "/header.fmr";
    const std::string dmrPath = fuzzScratchFolder() + "/header.dmr";
    writeWholeFile(fmrPath, data, size);
    writeWholeFile(dmrPath, data, size);

    // A parse that stops early is no error, so nothing may be thrown here.
    const FmrHeader fmr = readFmrHeader(fmrPath, false);
    std::ostringstream fmrText;
    fmr.writeHeaderText(fmrText);

    const DmrHeader dmr = readDmrHeader(dmrPath, false);
    std::ostringstream dmrText;
    dmr.writeHeaderText(dmrText);
    return 0;
}
