// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/hostapi.h"

#include <tuple>

#include "core/fftapi.h"
#include "core/stoprequest.h"
#include "plugin/modulelookup.h"

HostApi hostApi;

namespace {

// The host's executable module, which goes by one of two names.
class HostModule {
public:
    HostModule() : module(moduleLookup.findModule("Mindaro.exe"))
    {
        if (module == nullptr) module = moduleLookup.findModule("MindaroEDU.exe");
    }
    ~HostModule()
    {
        if (module != nullptr) moduleLookup.releaseModule(module);
    }
    HostModule(const HostModule&) = delete;
    HostModule& operator=(const HostModule&) = delete;

    bool found() const { return module != nullptr; }

    template <typename Function>
    Function function(const char* name) const
    {
        return reinterpret_cast<Function>(moduleLookup.findFunction(module, name));
    }

    // Stores the function, or null when the host does not have it.
    template <typename Function>
    void take(const char* name, Function& entry) const
    {
        entry = function<Function>(name);
    }

    // Stores the function only when the host has it.
    template <typename Function>
    bool store(const char* name, Function& entry) const
    {
        const auto found = function<Function>(name);
        if (found != nullptr) entry = found;
        return found != nullptr;
    }

private:
    ModuleHandle module;
};

}  // namespace

bool resolveHostApi()
{
    const HostModule host;
    if (!host.found()) return false;
    const auto version = host.function<HsGetVersionOfMindaroHS>("hsGetVersionOfMindaroHS");
    if (version == nullptr) return false;
    hostApi.hsGetVersionOfMindaroHS = version;
    host.take("hsLogText", hostApi.hsLogText);
    host.take("hsMessageBox", hostApi.hsMessageBox);
    host.take("hsYesNoMessageBox", hostApi.hsYesNoMessageBox);
    host.take("hsGetOpenFileName", hostApi.hsGetOpenFileName);
    host.take("hsShowBusyCursor", hostApi.hsShowBusyCursor);
    host.take("hsStopBusyCursor", hostApi.hsStopBusyCursor);
    host.take("hsGetStringParameter", hostApi.hsGetStringParameter);
    host.take("hsGetIntParameter", hostApi.hsGetIntParameter);
    host.take("hsSetStringParameter", hostApi.hsSetStringParameter);
    host.take("hsSetIntParameter", hostApi.hsSetIntParameter);
    host.take("hsCreateMAPForCurrentFMR", hostApi.hsCreateMAPForCurrentFMR);
    host.take("hsGetMAPOfCurrentFMR", hostApi.hsGetMAPOfCurrentFMR);
    host.take("hsSetMAPParametersOfCurrentFMR", hostApi.hsSetMAPParametersOfCurrentFMR);
    host.take("hsSaveMAPsOfCurrentFMR", hostApi.hsSaveMAPsOfCurrentFMR);
    host.take("hsLoadMAPsToCurrentFMR", hostApi.hsLoadMAPsToCurrentFMR);
    // Where the host offers its stop flag, the long loops poll it; elsewhere their own,
    // which nothing sets.
    const auto stopFlag = host.function<HsStopRequestFlag>("hsStopRequestFlag");
    followStopFlag(stopFlag != nullptr ? static_cast<const StopFlag*>(stopFlag()) : nullptr);
    return true;
}

bool resolveFftApi()
{
    const HostModule host;
    return host.found() && host.store("hs_fftwf_malloc", fftApi.hs_fftwf_malloc) &&
           host.store("hs_fftwf_free", fftApi.hs_fftwf_free) &&
           host.store("hs_fftwf_plan_dft_r2c_3d", fftApi.hs_fftwf_plan_dft_r2c_3d) &&
           host.store("hs_fftwf_plan_dft_c2r_3d", fftApi.hs_fftwf_plan_dft_c2r_3d) &&
           host.store("hs_fftwf_execute", fftApi.hs_fftwf_execute) &&
           host.store("hs_fftwf_destroy_plan", fftApi.hs_fftwf_destroy_plan);
}

bool hostVersionAccepted(int major, int minor, int patch)
{
    return std::tie(major, minor, patch) >= std::make_tuple(3, 1, 0);
}
