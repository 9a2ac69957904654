// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugin/modulelookup.h"

#include <algorithm>
#include <cctype>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#endif

namespace {

std::string lowerCaseWithoutExe(const std::string& name)
{
    std::string lower(name.size(), '\0');
    std::transform(name.begin(), name.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string exe = ".exe";
    if (lower.size() >= exe.size() && lower.compare(lower.size() - exe.size(), exe.size(), exe) == 0)
        lower.resize(lower.size() - exe.size());
    return lower;
}

#if defined(_WIN32)

ModuleHandle findModule(const char* name)
{
    return GetModuleHandleA(name);
}

void* findFunction(ModuleHandle module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void releaseModule(ModuleHandle)
{
}

#else

std::string fileNameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string mainExecutablePath()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

struct SharedObjectSearch {
    const char* moduleName;
    std::string path;
};

int matchSharedObject(dl_phdr_info* info, std::size_t, void* data)
{
    auto* search = static_cast<SharedObjectSearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    if (!moduleFileNameMatches(fileNameOf(info->dlpi_name), search->moduleName)) return 0;
    search->path = info->dlpi_name;
    return 1;
}

// The main executable first, then the shared objects in load order. A shared object is
// opened with RTLD_NOLOAD, which only hands out a handle to what is already there.
ModuleHandle findModule(const char* name)
{
    if (moduleFileNameMatches(fileNameOf(mainExecutablePath()), name)) return dlopen(nullptr, RTLD_LAZY);
    SharedObjectSearch search{name, {}};
    if (dl_iterate_phdr(matchSharedObject, &search) == 0) return nullptr;
    return dlopen(search.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
}

void* findFunction(ModuleHandle module, const char* name)
{
    return dlsym(module, name);
}

void releaseModule(ModuleHandle module)
{
    dlclose(module);
}

#endif

}  // namespace

const ModuleLookup platformModuleLookup{findModule, findFunction, releaseModule};

ModuleLookup moduleLookup = platformModuleLookup;

bool moduleFileNameMatches(const std::string& fileName, const std::string& moduleName)
{
    return !fileName.empty() && lowerCaseWithoutExe(fileName) == lowerCaseWithoutExe(moduleName);
}
