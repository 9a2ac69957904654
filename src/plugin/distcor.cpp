// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/distcor.h"

#include <exception>
#include <string>

#include "core/threadcount.h"
#include "core/threadpool.h"
#include "plugin/hostapi.h"
#include "plugin/parameters.h"
#include "plugin/tasks.h"

namespace {

// The host's busy cursor for the span of a long task, stopped even when the task throws.
class BusyCursor {
public:
    BusyCursor() { hostApi.hsShowBusyCursor(); }
    ~BusyCursor() { hostApi.hsStopBusyCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// The threads of a long task: the dialog parameter "threads" when set, else VARNO_THREADS,
// else every core the process may use.
int taskThreads()
{
    const int requested = readIntParameter("threads");
    if (requested == 0) return defaultThreadCount();
    return parseThreadCount(std::to_string(requested), "The dialog parameter \"threads\"");
}

}  // namespace

distcor::distcor() = default;

distcor::~distcor()
{
    delete logStream;
}

bool distcor::initPlugin()
{
    if (!resolveHostApi()) return false;
    delete logStream;
    logStream = nullptr;
    logStream = new MDHSLog(hostApi.hsLogText);

    int major = 0;
    int minor = 0;
    int patch = 0;
    hostApi.hsGetVersionOfMindaroHS(&major, &minor, &patch);
    if (!hostVersionAccepted(major, minor, patch)) {
        hostApi.hsMessageBox("Error: Mindaro version 21.0 or higher required.");
        return false;
    }
    if (!resolveFftApi()) {
        hostApi.hsMessageBox("Did not get access to MKL access functions!");
        return false;
    }
    return true;
}

bool distcor::execute()
{
    try {
        const std::string task = readStringParameter("task");
        if (task == "select_fmr_or_dmr") {
            taskSelectFmrOrDmr();
        } else if (task == "select_vdm") {
            taskSelectVdm();
        } else if (task == "check") {
            taskCheck(*this);
        } else {
            const BusyCursor busy;
            if (task == "estimate" || task == "apply" || task == "combine") {
                // Worker threads for this step only: none outlives it.
                const WorkerThreads threads(taskThreads());
                if (task == "estimate")
                    taskEstimate(*this);
                else if (task == "apply")
                    taskApply(*this);
                else
                    taskCombine(*this);
            }
        }
    } catch (const std::exception& error) {
        const std::string message = std::string("Error: ") + error.what();
        hostApi.hsMessageBox(message.c_str());
    }
    return true;
}

void distcor::log(const std::string& message)
{
    *logStream << message;
    logStream->flush();
}
