// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fakehost.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

FakeHost* current = nullptr;

void fakeVersion(int* major, int* minor, int* patch)
{
    current->calls.push_back("version");
    *major = current->version[0];
    *minor = current->version[1];
    *patch = current->version[2];
}

void fakeLogText(const char* text)
{
    current->calls.push_back(std::string("log:") + text);
}

void fakeMessageBox(const char* text)
{
    current->calls.push_back(std::string("message:") + text);
}

int fakeYesNo(const char* question)
{
    current->calls.push_back(std::string("yesno:") + question);
    return 0;
}

void fakeOpenFileName(const char* title, const char*, const char* filter, char* path)
{
    current->calls.push_back(std::string("open:") + title + "|" + filter);
    std::strcpy(path, current->openFileAnswer.c_str());
}

void fakeShowBusy()
{
    current->calls.push_back("showBusy");
}

void fakeStopBusy()
{
    current->calls.push_back("stopBusy");
}

void fakeGetString(char* name, char* value)
{
    current->calls.push_back(std::string("getString:") + name);
    if (current->throwingParameter == name) throw std::runtime_error("broken parameter");
    std::strcpy(value, current->strings[name].c_str());
}

int fakeGetInt(char* name)
{
    current->calls.push_back(std::string("getInt:") + name);
    return current->ints[name];
}

void fakeSetString(char* name, char* value)
{
    current->calls.push_back(std::string("setString:") + name + "=" + value);
    current->strings[name] = value;
}

void fakeSetInt(char* name, int value)
{
    current->calls.push_back(std::string("setInt:") + name + "=" + std::to_string(value));
    current->ints[name] = value;
}

void* fakeFftMalloc(std::uint64_t)
{
    return nullptr;
}

void fakeFftFree(void*)
{
}

void* fakePlanR2c(int, int, int, float*, FftComplex*, unsigned)
{
    return nullptr;
}

void* fakePlanC2r(int, int, int, FftComplex*, float*, unsigned)
{
    return nullptr;
}

void fakeFftPlan(void*)
{
}

int mindaroModule;
int mindaroEduModule;

const std::map<std::string, void*>& exportedFunctions()
{
    static const std::map<std::string, void*> functions{
        {"hsGetVersionOfMindaroHS", reinterpret_cast<void*>(&fakeVersion)},
        {"hsLogText", reinterpret_cast<void*>(&fakeLogText)},
        {"hsMessageBox", reinterpret_cast<void*>(&fakeMessageBox)},
        {"hsYesNoMessageBox", reinterpret_cast<void*>(&fakeYesNo)},
        {"hsGetOpenFileName", reinterpret_cast<void*>(&fakeOpenFileName)},
        {"hsShowBusyCursor", reinterpret_cast<void*>(&fakeShowBusy)},
        {"hsStopBusyCursor", reinterpret_cast<void*>(&fakeStopBusy)},
        {"hsGetStringParameter", reinterpret_cast<void*>(&fakeGetString)},
        {"hsGetIntParameter", reinterpret_cast<void*>(&fakeGetInt)},
        {"hsSetStringParameter", reinterpret_cast<void*>(&fakeSetString)},
        {"hsSetIntParameter", reinterpret_cast<void*>(&fakeSetInt)},
        {"hs_fftwf_malloc", reinterpret_cast<void*>(&fakeFftMalloc)},
        {"hs_fftwf_free", reinterpret_cast<void*>(&fakeFftFree)},
        {"hs_fftwf_plan_dft_r2c_3d", reinterpret_cast<void*>(&fakePlanR2c)},
        {"hs_fftwf_plan_dft_c2r_3d", reinterpret_cast<void*>(&fakePlanC2r)},
        {"hs_fftwf_execute", reinterpret_cast<void*>(&fakeFftPlan)},
        {"hs_fftwf_destroy_plan", reinterpret_cast<void*>(&fakeFftPlan)},
    };
    return functions;
}

ModuleHandle fakeFindModule(const char* name)
{
    current->moduleLookups.push_back(name);
    if (std::string(name) == "Mindaro.exe" && current->mindaroLoaded) return &mindaroModule;
    if (std::string(name) == "MindaroEDU.exe" && current->mindaroEduLoaded) return &mindaroEduModule;
    return nullptr;
}

void* fakeFindFunction(ModuleHandle module, const char* name)
{
    current->functionLookups.push_back(std::string(module == &mindaroModule ? "Mindaro.exe" : "MindaroEDU.exe") +
                                       ":" + name);
    if (current->missingFunctions.count(name) != 0) return nullptr;
    const auto found = exportedFunctions().find(name);
    return found == exportedFunctions().end() ? nullptr : found->second;
}

void fakeReleaseModule(ModuleHandle)
{
}

}  // namespace

FakeHost::FakeHost() : savedHostApi(hostApi), savedFftApi(fftApi), savedLookup(moduleLookup)
{
    current = this;
    hostApi.hsGetVersionOfMindaroHS = fakeVersion;
    hostApi.hsLogText = fakeLogText;
    hostApi.hsMessageBox = fakeMessageBox;
    hostApi.hsYesNoMessageBox = fakeYesNo;
    hostApi.hsGetOpenFileName = fakeOpenFileName;
    hostApi.hsShowBusyCursor = fakeShowBusy;
    hostApi.hsStopBusyCursor = fakeStopBusy;
    hostApi.hsGetStringParameter = fakeGetString;
    hostApi.hsGetIntParameter = fakeGetInt;
    hostApi.hsSetStringParameter = fakeSetString;
    hostApi.hsSetIntParameter = fakeSetInt;
    moduleLookup = {fakeFindModule, fakeFindFunction, fakeReleaseModule};
}

FakeHost::~FakeHost()
{
    hostApi = savedHostApi;
    fftApi = savedFftApi;
    moduleLookup = savedLookup;
    current = nullptr;
}

std::vector<std::string> FakeHost::callsStartingWith(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const std::string& call : calls)
        if (call.rfind(prefix, 0) == 0) found.push_back(call);
    return found;
}

int FakeHost::positionOf(const std::string& call) const
{
    const auto found = std::find(calls.begin(), calls.end(), call);
    return found == calls.end() ? -1 : static_cast<int>(found - calls.begin());
}
