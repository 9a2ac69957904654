// SPDX-License-Identifier: GPL-3.0-or-later
// The plug-in object that the host creates, starts and asks to run dialog steps.
#pragma once

#include <string>

#include "core/mdhslog.h"
#include "sdk/mdhsplugininterface.h"

class MDHS_EXPORT distcor : public MDHSPluginInterface {
public:
    distcor();
    ~distcor() override;
    distcor(const distcor&) = delete;
    distcor& operator=(const distcor&) = delete;

    // Runs the dialog step named by the parameter "task"; errors become "Error: " message
    // boxes. Always true.
    bool execute() override;
    // Takes the host's services, opens the log stream, checks the host version and takes
    // the host's FFT functions. True when the plug-in is ready.
    bool initPlugin() override;

    // One message to the host log: one insertion, then a flush.
    void log(const std::string& message);

    // The host log; owned, null until initPlugin.
    MDHSLog* logStream = nullptr;
};
