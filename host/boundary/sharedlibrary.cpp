// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/sharedlibrary.h"

#include <filesystem>

#include "boundary/nativepath.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#if defined(_WIN32)

const char* const kPluginFileName = "varno.dll";

namespace {

std::string systemMessage(DWORD code)
{
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    message.erase(message.find_last_not_of(" \r\n.") + 1);
    return message.empty() ? "system error " + std::to_string(code) : message;
}

}  // namespace

// A full path, so that the library is taken from that file and not searched for; the
// plug-in's own dependencies are then looked for beside it. The system shows no dialog
// of its own when the file is not a loadable library.
LibraryHandle openLibrary(const std::string& path, std::string& reason)
{
    std::error_code error;
    const std::string full = textFromPath(std::filesystem::absolute(pathFromText(path), error));
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryExA(error ? path.c_str() : full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD code = GetLastError();
    SetErrorMode(previousMode);
    if (library == nullptr) reason = systemMessage(code);
    return library;
}

void* libraryFunction(LibraryHandle library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(LibraryHandle library)
{
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string executablePath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

#else

const char* const kPluginFileName = "libvarno.so";

LibraryHandle openLibrary(const std::string& path, std::string& reason)
{
    // A name without a slash would make dlopen search the library path instead.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* message = dlerror();
        reason = message != nullptr ? message : "unknown reason";
    }
    return library;
}

void* libraryFunction(LibraryHandle library, const char* name)
{
    dlerror();
    return dlsym(library, name);
}

void closeLibrary(LibraryHandle library)
{
    dlclose(library);
}

std::string executablePath()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : executable.string();
}

#endif
