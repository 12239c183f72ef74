#include "tests/support/Release.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace qvstest
{
Release::Release()
{
    // The test command shares the build's top folder as \\COMPUTER\<top> and names
    // a folder below it in QVS_UNC_LOCAL.
    const wchar_t* base = _wgetenv(L"QVS_UNC_LOCAL");
    if (base == nullptr || wcsncmp(base, L"Z:\\", 3) != 0)
    {
        throw std::runtime_error("QVS_UNC_LOCAL is not set: run the tests through scripts/test");
    }
    static std::atomic<unsigned> s_counter{0};
    m_local = std::wstring(base) + L"\\rel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(s_counter++);
    MakeDirs(m_local);
    m_unc = L"\\\\" + ComputerName() + m_local.substr(2);
}

Release::~Release()
{
    RemoveTree(m_local);
}

void Release::AddFile(const std::wstring& relative, const std::string& content,
                      const FILETIME& ftUtc) const
{
    const std::wstring path = m_local + L"\\" + relative;
    MakeDirs(path.substr(0, path.rfind(L'\\')));
    WriteBytes(path, content);
    SetLastWriteTime(path, ftUtc);
}

DWORD Release::Publish() const
{
    return RunProcess(L"\"" + ExeFolder() + L"QVSMakeList.exe\" \"" + m_local + L"\"");
}
} // namespace qvstest
