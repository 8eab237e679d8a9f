#pragma once
// Texts between the system code page and the wide form that Windows calls take and give,
// whole: nothing is cut. A caller whose Windows call has a fixed buffer cuts there itself.

#include <windows.h>

#include <cwchar>
#include <string>

namespace KelvraCorelib::Platform {

inline std::wstring wideText(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size_t(size) : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), result.data(), size);
    return result;
}

// The first length characters of text (up to its terminator when length is negative).
inline std::string narrowText(const wchar_t* text, int length = -1)
{
    if (text == nullptr)
        return std::string();
    if (length < 0)
        length = int(std::wcslen(text));
    if (length == 0)
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size_t(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace KelvraCorelib::Platform
