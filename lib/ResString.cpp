#include "lib/ResString.h"

#include "framework/AfxWinApp.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <cwchar>

namespace
{
// "Cannot find module ... !", from the running program's own table: the module
// that holds the others is the one missing.
std::wstring ModuleNotFoundText(LPCWSTR pszModule)
{
    const std::wstring strModule = pszModule != nullptr ? pszModule : L"";
    const std::wstring strPattern = AfxLoadString(IDS_CANNOT_FIND_MODULE);
    return strPattern.empty() ? strModule : AfxFormatStrings(strPattern, {strModule});
}
} // namespace

template <class Derived> HMODULE SCResStringT<Derived>::s_hModule = nullptr;

template <class Derived> SCResStringT<Derived>::SCResStringT(UINT nId)
{
    if (!Load(nId))
    {
        wchar_t text[64];
        swprintf(text, 64, Derived::kLoadFailureFormat, static_cast<int>(nId));
        LogWarningEvent(text, SC_SOURCE_FILE, __LINE__);
    }
}

template <class Derived> BOOL SCResStringT<Derived>::Load(UINT nId)
{
    try
    {
        clear();
        // 511 characters and the terminator; longer entries are cut.
        wchar_t buffer[512] = {};
        const int nCount = LoadStringW(s_hModule, nId, buffer, 512);
        assign(buffer);
        if (nCount > 0)
        {
            return TRUE;
        }
        SC_THROW(SC_NO_CODE);
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
    }
    clear();
    return FALSE;
}

template <class Derived> BOOL SCResStringT<Derived>::LoadModule(LPCWSTR pszModule)
{
    s_hModule = LoadLibraryExW(pszModule, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (s_hModule == nullptr)
    {
        PopupMessage(ModuleNotFoundText(pszModule), SC_SOURCE_FILE, __LINE__);
    }
    return s_hModule != nullptr;
}

template <class Derived> BOOL SCResStringT<Derived>::FreeModule()
{
    if (s_hModule == nullptr)
    {
        return TRUE;
    }
    return ::FreeLibrary(s_hModule);
}

template class SCResStringT<SCResAString>;
template class SCResStringT<SCResUString>;
