// SPDX-License-Identifier: GPL-3.0-or-later
// Signatures of the services that the host exports by name and the plug-in resolves at
// start-up, and the host's map header record. Included by the plug-in and by the host.
#pragma once

#include <cstdint>

// The host's map header as far as the plug-in touches it; the trailing fields are the
// host's own.
struct MapHeader {
    std::int32_t DimX;
    std::int32_t DimY;
    std::int32_t DimZ;
    std::int32_t Kind;           // set to 1 by the plug-in
    float Threshold;             // 1.0 for a VDM, 0.1 for a derivative map
    float Maximum;               // 5.0 for a VDM, 1.0 for a derivative map
    std::int32_t Untouched;      // left as the host filled it
    std::int32_t Flags;          // set to 0 by the plug-in
    std::int32_t hostFields[16];
};

using FftComplex = float[2];

extern "C" {
using HsGetVersionOfMindaroHS = void (*)(int* major, int* minor, int* patch);
using HsLogText = void (*)(const char* text);
using HsMessageBox = void (*)(const char* text);
using HsYesNoMessageBox = int (*)(const char* question);
// Writes the chosen path, NUL-terminated, into a 512-byte buffer.
using HsGetOpenFileName = void (*)(const char* title, const char* initial, const char* filter, char* path);
using HsBusyCursor = void (*)();
// Writes the value, NUL-terminated, into a 10240-byte buffer.
using HsGetStringParameter = void (*)(char* name, char* value);
using HsGetIntParameter = int (*)(char* name);
using HsSetStringParameter = void (*)(char* name, char* value);
using HsSetIntParameter = void (*)(char* name, int value);
using HsCreateMAPForCurrentFMR = bool (*)();
using HsGetMAPOfCurrentFMR = float** (*)(MapHeader* header);
using HsSetMAPParametersOfCurrentFMR = bool (*)(MapHeader* header);
using HsSaveMAPsOfCurrentFMR = bool (*)(const char* path);
using HsLoadMAPsToCurrentFMR = bool (*)(const char* path);
// The stand-in host's own service, which the host application lacks: the address of the
// host's stop flag (a lock-free std::atomic<int>, the number of the signal that asked the
// work to stop, 0 while none did). A plug-in that finds it polls that flag in its long
// loops; one that does not runs every task to its end.
using HsStopRequestFlag = const void* (*)();

using HsFftwfMalloc = void* (*)(std::uint64_t bytes);
using HsFftwfFree = void (*)(void* pointer);
using HsFftwfPlanDftR2c3d = void* (*)(int n0, int n1, int n2, float* in, FftComplex* out, unsigned flags);
using HsFftwfPlanDftC2r3d = void* (*)(int n0, int n1, int n2, FftComplex* in, float* out, unsigned flags);
using HsFftwfExecute = void (*)(void* plan);
using HsFftwfDestroyPlan = void (*)(void* plan);
}

// Sizes of the buffers that the plug-in hands to the host.
constexpr int kOpenFileNameBufferSize = 512;
constexpr int kStringParameterBufferSize = 10240;
