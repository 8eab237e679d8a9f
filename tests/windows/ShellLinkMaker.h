#pragma once
// Windows code only, for the tests: writes a shell link (a shortcut file) the way the shell
// does, through its link object's ANSI interface and its persist-file interface.
#include <string>

#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

namespace TrawlexTests {

// Saves a shortcut at link (a path ending in ".lnk" or any other name) that leads to target.
inline bool makeShellLink(const std::string& link, const std::string& target)
{
    if (FAILED(CoInitialize(nullptr)))
        return false;
    IShellLinkA* shellLink = nullptr;
    IPersistFile* file = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      reinterpret_cast<void**>(&shellLink));
    if (SUCCEEDED(result))
        result = shellLink->SetPath(target.c_str());
    if (SUCCEEDED(result))
        result = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        std::wstring widePath(link.size(), L'\0');
        const int length = MultiByteToWideChar(CP_ACP, 0, link.data(), int(link.size()), widePath.data(),
                                               int(widePath.size()));
        widePath.resize(length > 0 ? size_t(length) : 0);
        result = file->Save(widePath.c_str(), TRUE);
    }
    if (file != nullptr)
        file->Release();
    if (shellLink != nullptr)
        shellLink->Release();
    CoUninitialize();
    return SUCCEEDED(result);
}

}  // namespace TrawlexTests
