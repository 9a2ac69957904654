// SPDX-License-Identifier: GPL-3.0-or-later
#include "boundary/nativepath.h"

#if defined(_WIN32)
#include <windows.h>

std::filesystem::path pathFromText(const std::string& text)
{
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return std::filesystem::path(wide);
}

std::string textFromPath(const std::filesystem::path& path)
{
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    std::string text(static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr)),
                     '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    return text;
}

#else

std::filesystem::path pathFromText(const std::string& text)
{
    return std::filesystem::path(text);
}

std::string textFromPath(const std::filesystem::path& path)
{
    return path.string();
}

#endif
