// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/progressline.h"

#include <iostream>

#include "cli/busycursor.h"
#include "cli/terminal.h"

std::function<void(int, int)> volumeProgress(const std::string& label)
{
    const bool terminal = errorIsTerminal();
    return [label, terminal](int done, int total) {
        if (terminal) {
            withBusyCursorCleared([&] {
                std::cerr << '\r' << label << ": " << done << '/' << total << " volumes";
                if (done == total) std::cerr << "\r\033[K";
                std::cerr.flush();
            });
        } else if (total >= 100 && done < total && done * 4 / total != (done - 1) * 4 / total) {
            std::cerr << label << ": " << done << '/' << total << " volumes\n";
        }
    };
}
