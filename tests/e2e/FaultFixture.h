#pragma once
// What the fault tests share: a release reached through its UNC path, an
// installation of the real program, and the checks that every fault must pass:
// each installed file is its old or its new content byte for byte, no temporary
// copy is left, the outcome in QVS.ini, and what the log says.

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "tests/support/DialogProbe.h"
#include "tests/support/Installation.h"
#include "tests/support/Release.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace qvsfault
{
using namespace qvstest;

inline FILETIME T(WORD year, WORD month, WORD day, WORD hour = 12)
{
    return FileTimeFromUtc(year, month, day, hour, 0, 0);
}

// Long variants run when QVS_LONG is set (see tests/README.md).
inline bool LongRun()
{
    const wchar_t* value = _wgetenv(L"QVS_LONG");
    return value != nullptr && *value != L'\0' && wcscmp(value, L"0") != 0;
}

// Content that differs from every other version's at every 4 KB block, so
// that a file made of parts of two versions can never pass for either.
inline std::string Content(size_t size, const std::string& version)
{
    std::string text;
    text.reserve(size);
    for (size_t block = 0; text.size() < size; ++block)
    {
        std::string line = version + " block " + std::to_string(block) + "\n";
        while (line.size() < 4096)
        {
            line += static_cast<char>('a' + (line.size() + block) % 26);
        }
        text += line;
    }
    text.resize(size);
    return text;
}

// Every file below a folder, as relative paths (long paths included).
inline void CollectFiles(const std::wstring& root, const std::wstring& relative,
                         std::vector<std::wstring>& files)
{
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(AfxLongPathForm(folder + L"\\*").c_str(), &fd));
    if (!find)
    {
        return;
    }
    do
    {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            {
                CollectFiles(root, child, files);
            }
        }
        else
        {
            files.push_back(child);
        }
    } while (FindNextFileW(find.get(), &fd));
}

// Removes a tree whose paths may be longer than MAX_PATH; links are removed, not followed.
inline void RemoveLongTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(AfxLongPathForm(folder + L"\\*").c_str(), &fd));
    if (find)
    {
        do
        {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            const std::wstring child = AfxLongPathForm(folder + L"\\" + name);
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            {
                DeleteFileW(child.c_str());
            }
            else if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            {
                RemoveLongTree(folder + L"\\" + name);
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(AfxLongPathForm(folder).c_str());
}

inline std::vector<std::wstring> FilesBelow(const std::wstring& root)
{
    std::vector<std::wstring> files;
    CollectFiles(root, L"", files);
    return files;
}

// Temporary files of copies (the copy's own name pattern) below a folder.
inline std::vector<std::wstring> CopyLeftovers(const std::wstring& root)
{
    std::vector<std::wstring> found;
    for (const std::wstring& file : FilesBelow(root))
    {
        const std::wstring name = file.substr(file.rfind(L'\\') + 1);
        if (name.starts_with(L"~QVSCopy-"))
        {
            found.push_back(file);
        }
    }
    return found;
}

inline std::string Narrow(const std::vector<std::wstring>& items)
{
    std::string text;
    for (const std::wstring& item : items)
    {
        text += ToUtf8(item) + "\n";
    }
    return text;
}

// Writes a file with its last-write time, making every missing folder; paths
// may be longer than MAX_PATH.
inline void WriteFileAt(const std::wstring& path, const std::string& content, const FILETIME& ft)
{
    const std::wstring longPath = AfxLongPathForm(path);
    MakeDirs(AfxLongPathForm(path.substr(0, path.rfind(L'\\'))));
    WriteBytes(longPath, content);
    SetLastWriteTime(longPath, ft);
}

// The system's text for an error on one line, as QVS.ini records a reason.
inline std::wstring ReasonText(DWORD dwError)
{
    LPWSTR p = nullptr;
    const DWORD n =
        FormatMessageW(0x1300, nullptr, dwError, 0, reinterpret_cast<LPWSTR>(&p), 0, nullptr);
    std::wstring text = n != 0 ? std::wstring(p, n) : std::wstring();
    LocalFree(p);
    for (wchar_t& c : text)
    {
        if (c == L'\r' || c == L'\n')
        {
            c = L' ';
        }
    }
    while (!text.empty() && text.back() == L' ')
    {
        text.pop_back();
    }
    return text;
}

// An installation laid out by hand: the real program, the stand-in client as
// QVS.exe and QVS.ini in root\folder, for layouts Installation does not make.
struct HandMadeInstallation
{
    HandMadeInstallation(const std::wstring& strRoot, const std::wstring& folder,
                         const std::wstring& sourceFolder)
        : root(strRoot), program(strRoot + L"\\" + folder)
    {
        MakeDirs(program);
        const std::wstring from = ExeFolder();
        EXPECT_TRUE(CopyFileW((from + L"QVSCliUpdate.exe").c_str(),
                              (program + L"\\QVSCliUpdate.exe").c_str(), FALSE));
        EXPECT_TRUE(CopyFileW((from + L"StandInClient.exe").c_str(),
                              (program + L"\\QVS.exe").c_str(), FALSE));
        WriteUtf16(program + L"\\QVS.ini",
                   L"\xFEFF[HotUpdate]\r\nSourceFolder=" + sourceFolder + L"\r\n");
    }
    DWORD Run() const { return RunProcess(L"\"" + program + L"\\QVSCliUpdate.exe\""); }
    std::wstring Ini(const wchar_t* key) const
    {
        wchar_t value[1024] = {};
        GetPrivateProfileStringW(L"HotUpdate", key, L"<missing>", value, 1024,
                                 (program + L"\\QVS.ini").c_str());
        return value;
    }
    bool ClientStarted() const
    {
        return WaitUntil([this] { return Exists(program + L"\\QVS.started"); }, 10000);
    }

    std::wstring root;
    std::wstring program;
};

// A release and an installation of the real program whose QVS.ini names it.
class FaultRun : public testing::Test
{
protected:
    void SetUp() override
    {
        m_inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=" + m_release.unc() + L"\r\n");
    }

    // A file of the release, with its content remembered as the new version.
    void Publish(const std::wstring& relative, const std::string& content, const FILETIME& ft)
    {
        WriteFileAt(m_release.local() + L"\\" + relative, content, ft);
        m_new[relative] = content;
    }
    // A file of the installation, with its content remembered as the old version.
    void Install(const std::wstring& relative, const std::string& content, const FILETIME& ft)
    {
        WriteFileAt(Installed(relative), content, ft);
        m_old[relative] = content;
    }
    std::wstring Installed(const std::wstring& relative) const
    {
        return m_inst.root() + L"\\" + relative;
    }
    std::string ReadInstalled(const std::wstring& relative) const
    {
        return ReadBytes(AfxLongPathForm(Installed(relative)));
    }
    bool IsInstalled(const std::wstring& relative) const
    {
        return Exists(AfxLongPathForm(Installed(relative)));
    }

    std::wstring Ini(const wchar_t* key) const
    {
        wchar_t value[1024] = {};
        GetPrivateProfileStringW(L"HotUpdate", key, L"<missing>", value, 1024,
                                 m_inst.ini().c_str());
        return value;
    }
    std::string Log() const { return Exists(m_inst.log()) ? ReadBytes(m_inst.log()) : ""; }
    std::wstring LocalListCopy() const { return m_inst.root() + L"\\HotUpdateFileList_Server.txt"; }

    // Every file that the release or the installation had is its old content
    // (or still missing, if it had none) or its new content, byte for byte.
    void ExpectEveryFileOldOrNew() const
    {
        std::map<std::wstring, bool> relatives;
        for (const auto& [relative, content] : m_old)
        {
            relatives[relative] = true;
        }
        for (const auto& [relative, content] : m_new)
        {
            relatives[relative] = true;
        }
        for (const auto& [relative, unused] : relatives)
        {
            const auto oldIt = m_old.find(relative);
            const auto newIt = m_new.find(relative);
            if (!IsInstalled(relative))
            {
                EXPECT_TRUE(oldIt == m_old.end()) << "lost: " << ToUtf8(relative);
                continue;
            }
            const std::string content = ReadInstalled(relative);
            const bool isOld = oldIt != m_old.end() && content == oldIt->second;
            const bool isNew = newIt != m_new.end() && content == newIt->second;
            EXPECT_TRUE(isOld || isNew)
                << "damaged: " << ToUtf8(relative) << " (" << content.size() << " bytes)";
        }
    }
    // Every file of the release is installed with its new content.
    void ExpectEveryFileNew() const
    {
        for (const auto& [relative, content] : m_new)
        {
            ASSERT_TRUE(IsInstalled(relative)) << ToUtf8(relative);
            EXPECT_TRUE(ReadInstalled(relative) == content) << "not updated: " << ToUtf8(relative);
        }
    }
    // A run that succeeded: "1", no reason, every file new, no temporary file.
    void ExpectCompleteUpdate() const
    {
        EXPECT_EQ(L"1", Ini(L"UpdateSucceeded"));
        EXPECT_EQ(L"", Ini(L"UpdateFailureReason"));
        ExpectEveryFileNew();
        EXPECT_EQ("", Narrow(CopyLeftovers(m_inst.root())));
        EXPECT_TRUE(Exists(LocalListCopy()));
    }
    // A run that failed: "0" with a reason that the log shows after "Error!..".
    void ExpectRecordedFailure() const
    {
        EXPECT_EQ(L"0", Ini(L"UpdateSucceeded"));
        const std::wstring reason = Ini(L"UpdateFailureReason");
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(std::wstring::npos, reason.find(L"successfully")) << ToUtf8(reason);
        const std::string log = Log();
        EXPECT_NE(std::string::npos, log.find("Error!.." + ToUtf8(reason))) << log;
    }

    // Four installed files replaced by large new versions and one large new file
    // in a new folder: a run long enough to be interrupted at many moments.
    void PrepareLargeUpdate(size_t size)
    {
        for (int i = 1; i <= 4; ++i)
        {
            const std::wstring relative = L"bin\\big" + std::to_wstring(i) + L".dll";
            Install(relative, "old version of big" + std::to_string(i), T(2025, 6, 1));
            Publish(relative, Content(size, "big" + std::to_string(i) + " v2"), T(2026, 1, 10));
        }
        Publish(L"sub\\new.dat", Content(size, "new v2"), T(2026, 1, 11));
        ASSERT_EQ(0u, m_release.Publish());
    }
    // Waits until the k-th temporary copy (counted by distinct names) appears
    // in bin or sub while the program runs; false when the program ended first.
    bool WaitForTemporaryCopy(const RunningProgram& program, size_t k,
                              DWORD timeoutMs = 60000) const
    {
        std::vector<std::wstring> seen;
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (GetTickCount64() < deadline && !program.HasEnded())
        {
            for (const wchar_t* folder : {L"\\bin\\", L"\\sub\\"})
            {
                WIN32_FIND_DATAW fd;
                UniqueFind find(
                    FindFirstFileW((m_inst.root() + folder + L"~QVSCopy-*").c_str(), &fd));
                if (!find)
                {
                    continue;
                }
                do
                {
                    if (std::find(seen.begin(), seen.end(), fd.cFileName) == seen.end())
                    {
                        seen.emplace_back(fd.cFileName);
                    }
                } while (FindNextFileW(find.get(), &fd));
            }
            if (seen.size() >= k)
            {
                return true;
            }
            Sleep(1);
        }
        return false;
    }

    Release m_release;
    Installation m_inst;
    std::map<std::wstring, std::string> m_old;
    std::map<std::wstring, std::string> m_new;
};
} // namespace qvsfault
