// What keeps two updates of one installation apart, whoever starts them and
// however they spell its folder; and the log's text in code pages that take no
// conversion flags.
#include "lib/Miscellaneous.h"

#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace qvstest;
using Result = SCInstallationLock::Result;

TEST(InstallationLock, EverySpellingOfTheRootNamesOneLockAndAnEndedHolderFreesIt)
{
    TempDir dir;
    const std::wstring root = dir / L"Client Installation";
    MakeDirs(root);
    const std::wstring name = InstallationLockName(root);
    EXPECT_EQ(0u, name.find(L"Global\\QVSCliUpdate.")) << ToUtf8(name);
    // Other case, a final backslash, a detour through its parent, the short
    // (8.3) name: the same folder, the same lock. (A drive substituted for the
    // parent folder is one more spelling, but Wine gives such a drive a volume
    // serial of its own only now and then, so it cannot be tried here.)
    std::wstring upper = root;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    wchar_t szShort[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(root.c_str(), szShort, MAX_PATH));
    ASSERT_NE(root, std::wstring(szShort));
    for (const std::wstring& spelling :
         {upper, root + L"\\", root + L"\\..\\Client Installation", std::wstring(szShort)})
    {
        EXPECT_EQ(name, InstallationLockName(spelling)) << ToUtf8(spelling);
    }
    MakeDirs(dir / L"Other");
    EXPECT_NE(name, InstallationLockName(dir / L"Other"));

    // Held: another start waits as long as it is told, then gives up.
    {
        SCInstallationLock first;
        ASSERT_EQ(Result::Acquired, first.Acquire(root, 0));
        Result waited = Result::Acquired;
        std::thread([&] { waited = SCInstallationLock().Acquire(upper, 200); }).join();
        EXPECT_EQ(Result::TimedOut, waited);
    }
    // A holder that ends without releasing it, as a killed start does, blocks nobody.
    const auto killed = std::make_unique<SCInstallationLock>();
    std::thread([&] { EXPECT_EQ(Result::Acquired, killed->Acquire(root, 0)); }).join();
    SCInstallationLock next;
    EXPECT_EQ(Result::Acquired, next.Acquire(root, 200));
}

TEST(LogText, CodePagesThatTakeNoFlagsGiveTheTextAndOthersNoLookAlikes)
{
    const std::wstring text = L"Gr\u00FC\u00DFe \u2211 \u65E5\u672C \U0001F600";
    // UTF-8 (Windows' "Beta: Use Unicode UTF-8") holds every character. (Wine takes
    // any flag for it; Windows refuses all but two, and the text would be empty.)
    EXPECT_EQ(ToUtf8(text), MultiByteText(text, CP_UTF8));
    // Western: what the code page lacks is its default character, not a look-alike.
    EXPECT_EQ("Gr\xFC\xDF" "e ? ?? c?", MultiByteText(L"Gr\u00FC\u00DFe \u2211 \u65E5\u672C c\u0109", 1252));
}
