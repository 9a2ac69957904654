// SPDX-License-Identifier: GPL-3.0-or-later
// The host's plug-in SDK: the base class of every plug-in object and the signatures of
// the C functions a plug-in library exports. Included by the plug-in and by the host.
#pragma once

#if defined(_WIN32) && defined(MDHS_PLUGIN_LIBRARY)
#define MDHS_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define MDHS_EXPORT
#else
#define MDHS_EXPORT __attribute__((visibility("default")))
#endif

class MDHS_EXPORT MDHSPluginInterface {
public:
    MDHSPluginInterface();
    MDHSPluginInterface(const MDHSPluginInterface& other);
    MDHSPluginInterface& operator=(const MDHSPluginInterface& other);
    virtual ~MDHSPluginInterface();
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

extern "C" {
// createPlugin returns a new plug-in object owned by the host.
using CreatePluginFunction = MDHSPluginInterface* (*)();
// getPluginName, getPluginVersion, getGUIScript, getHelpFile, getAuthor and
// getPluginDescription return constant NUL-terminated texts held by the library.
using PluginTextFunction = const char* (*)();
}
