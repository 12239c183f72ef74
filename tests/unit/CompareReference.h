#pragma once
// The comparison's rule written the simplest way, for tests to check CompareLists
// against: every server entry against every client entry, front to back, without
// index or early exit.

#include "lib/File.h"
#include "resource.h"

#include <windows.h>

#include <string>
#include <vector>

namespace qvscomparetest
{
inline std::wstring RemoveEvery(const std::wstring& text, const std::wstring& what)
{
    std::wstring result;
    size_t i = 0;
    while (i < text.size())
    {
        if (text.compare(i, what.size(), what) == 0)
        {
            i += what.size();
        }
        else
        {
            result += text[i++];
        }
    }
    return result;
}

inline bool SameIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The marks that CompareLists must give.
inline std::vector<std::wstring> NestedScanTargets(const FileList& serverList,
                                                   const FileList& clientList,
                                                   const std::wstring& root,
                                                   const std::wstring& source)
{
    const std::wstring clientPrefix = root + L"\\";
    const std::wstring serverPrefix = source + L"\\";
    std::vector<std::wstring> targets;
    for (const auto& pServer : serverList)
    {
        std::wstring target = pServer->target;
        bool bMatched = false;
        for (const auto& pClient : clientList)
        {
            if (SameIgnoringCase(pServer->name, pClient->name) &&
                SameIgnoringCase(RemoveEvery(pServer->folder, serverPrefix),
                                 RemoveEvery(pClient->folder, clientPrefix)))
            {
                bMatched = true;
                SCDateTime serverTime(0);
                SCDateTime clientTime(0);
                serverTime.Parse(pServer->modified.c_str(), IDS_TIMESTAMP_PATTERN);
                clientTime.Parse(pClient->modified.c_str(), IDS_TIMESTAMP_PATTERN);
                if (serverTime > clientTime)
                {
                    target = pClient->folder;
                }
            }
        }
        if (!bMatched && pServer->folder.size() >= serverPrefix.size() &&
            SameIgnoringCase(pServer->folder.substr(0, serverPrefix.size()), serverPrefix))
        {
            target = root + L"\\" + pServer->folder.substr(serverPrefix.size());
        }
        else if (!bMatched)
        {
            const std::wstring& folder = pServer->folder;
            size_t n = folder.find(L'\\', 2);
            n = n == std::wstring::npos ? 0 : n;
            const std::wstring rest = n + 1 <= folder.size() ? folder.substr(n + 1) : L"";
            size_t m = rest.find(L'\\');
            m = m == std::wstring::npos ? 0 : m;
            target = root + rest.substr(m);
        }
        targets.push_back(target);
    }
    return targets;
}
} // namespace qvscomparetest
