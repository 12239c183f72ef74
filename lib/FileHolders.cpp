#include "lib/FileHolders.h"

#include <windows.h>

#include <restartmanager.h>

#include <vector>

namespace
{
// A Restart Manager session, ended with its owner.
class RmSession
{
public:
    RmSession() noexcept
    {
        wchar_t szKey[CCH_RM_SESSION_KEY + 1] = {};
        m_bStarted = RmStartSession(&m_dwHandle, 0, szKey) == ERROR_SUCCESS;
    }
    ~RmSession()
    {
        if (m_bStarted)
        {
            RmEndSession(m_dwHandle);
        }
    }
    RmSession(const RmSession&) = delete;
    RmSession& operator=(const RmSession&) = delete;
    bool Started() const noexcept { return m_bStarted; }
    DWORD Handle() const noexcept { return m_dwHandle; }

private:
    DWORD m_dwHandle = 0;
    bool m_bStarted = false;
};

std::wstring Describe(const RM_PROCESS_INFO& info)
{
    std::wstring text = info.strAppName[0] != L'\0' ? info.strAppName : L"?";
    text += L" (process " + std::to_wstring(info.Process.dwProcessId);
    DWORD dwSession = 0;
    if (ProcessIdToSessionId(info.Process.dwProcessId, &dwSession))
    {
        text += L", session " + std::to_wstring(dwSession);
    }
    return text + L")";
}
} // namespace

std::wstring SCDescribeFileHolders(const std::wstring& strPath)
{
    const RmSession session;
    LPCWSTR files[] = {strPath.c_str()};
    if (!session.Started() ||
        RmRegisterResources(session.Handle(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS)
    {
        return {};
    }
    std::vector<RM_PROCESS_INFO> holders(4);
    for (int nTries = 0; nTries < 3; ++nTries)
    {
        UINT nNeeded = 0;
        UINT nHolders = static_cast<UINT>(holders.size());
        DWORD dwReasons = 0;
        const DWORD dwResult =
            RmGetList(session.Handle(), &nNeeded, &nHolders, holders.data(), &dwReasons);
        if (dwResult == ERROR_MORE_DATA)
        {
            holders.resize(nNeeded);
            continue;
        }
        if (dwResult != ERROR_SUCCESS)
        {
            return {};
        }
        std::wstring text;
        for (UINT n = 0; n < nHolders && n < holders.size(); ++n)
        {
            text += (text.empty() ? L"" : L", ") + Describe(holders[n]);
        }
        return text;
    }
    return {};
}
