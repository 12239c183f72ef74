#pragma once
// File names ignore case: comparisons of names and the capitals the copy lines
// show, as the system folds them.

#include <windows.h>

#include <string>
#include <string_view>

inline bool EqualNoCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

inline bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

inline bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) noexcept
{
    return text.size() >= suffix.size() &&
           EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

inline std::wstring UpperCase(std::wstring strText)
{
    if (!strText.empty())
    {
        CharUpperBuffW(strText.data(), static_cast<DWORD>(strText.size()));
    }
    return strText;
}
