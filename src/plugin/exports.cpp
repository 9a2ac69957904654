// SPDX-License-Identifier: GPL-3.0-or-later
// The C functions through which the host learns about the plug-in and creates it.
#include "core/version.h"
#include "plugin/distcor.h"

extern "C" {

MDHS_EXPORT MDHSPluginInterface* createPlugin()
{
    return new distcor();
}

MDHS_EXPORT const char* getPluginName()
{
    return kVarnoPluginName;
}

MDHS_EXPORT const char* getPluginVersion()
{
    return kVarnoVersion;
}

MDHS_EXPORT const char* getGUIScript()
{
    return kVarnoScriptFile;
}

MDHS_EXPORT const char* getHelpFile()
{
    return "VarnoPluginHelp/index.html";
}

MDHS_EXPORT const char* getAuthor()
{
    return "<i>The VARNO team</i>";
}

MDHS_EXPORT const char* getPluginDescription()
{
    return "~~ VARNO: EPI distortion correction from reversed phase encoding ~~<BR>"
           "This plug-in corrects EPI data using reverse phase-encoded data, anterior-posterior "
           "(AP/PA) and left-right (LR/RL), via image registration.<BR>"
           "<b>For details please consult the manual: "
           "<a href=\"VarnoPluginHelp/index.html\">VARNO plugin help</a></b><br>";
}
}
