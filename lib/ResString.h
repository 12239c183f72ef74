#pragma once
// Strings loaded by string-table entry number from a module that is opened by
// file name (the program's own executable). Two classes with separate module
// handles: SCResAString serves the date-time patterns, SCResUString the rest.

#include <windows.h>

// <windows.h> defines FreeModule as a macro for FreeLibrary; the name is ours here.
#undef FreeModule

#include <string>

// What the two classes share; Derived supplies the failure text of its kind.
template <class Derived> class SCResStringT : public std::wstring
{
public:
    SCResStringT() = default;
    SCResStringT(const SCResStringT&) = default;
    SCResStringT& operator=(const SCResStringT&) = default;
    // Loads the entry; a failure leaves the text empty and a warning event.
    explicit SCResStringT(UINT nId);
    virtual ~SCResStringT() = default;

    // True when the entry was read; the text is the entry's or empty.
    BOOL Load(UINT nId);

    // Opens the module that strings are read from (shows a popup when it cannot).
    static BOOL LoadModule(LPCWSTR pszModule);
    // Releases the module; true when none was open. The stale handle stays.
    static BOOL FreeModule();

    static HMODULE s_hModule;
};

class SCResAString : public SCResStringT<SCResAString>
{
public:
    using SCResStringT::SCResStringT;
    static constexpr const wchar_t* kLoadFailureFormat = L"Cannot Load ASCII String Id: %d !";
};

class SCResUString : public SCResStringT<SCResUString>
{
public:
    using SCResStringT::SCResStringT;
    static constexpr const wchar_t* kLoadFailureFormat = L"Cannot Load Unicode String Id: %d !";
};

extern template class SCResStringT<SCResAString>;
extern template class SCResStringT<SCResUString>;
