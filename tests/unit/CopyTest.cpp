// The copy of marked files: folders made on the way, the replacement of
// installed files, what is reported, and the launch message at the end.
#include "lib/FileIterator.h"

#include "lib/Miscellaneous.h"
#include "tests/unit/FileIteratorTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using qvstest::TempDir;
using qvswalktest::HiddenDialogWindow;
using qvswalktest::MessageRecorder;
using qvswalktest::RecordMessage;
using qvswalktest::SystemText;
using qvswalktest::UpperCase;

namespace
{
const std::wstring kCopying = L"Copying...";
const std::wstring kError = L"Error!..";

// A release folder and an installation whose root is the program folder's parent.
class Copy : public testing::Test
{
protected:
    void SetUp() override
    {
        qvstest::MakeDirs(release.path() + L"\\bin");
        qvstest::MakeDirs(install.path() + L"\\bin");
        SetAppFolderForTesting(install.path() + L"\\bin\\");
    }
    void TearDown() override
    {
        SetAppFolderForTesting(L"");
        SetCopyFileFunctionForTesting(nullptr);
    }

    // An entry for release\relative, to be copied into target.
    void Plan(const std::wstring& relativeFolder, const std::wstring& name,
              const std::wstring& target)
    {
        auto pEntry = std::make_unique<FileListEntry>();
        pEntry->folder = release.path() + L"\\" + relativeFolder;
        pEntry->name = name;
        pEntry->modified = L"04/12/26 21:59:45";
        pEntry->target = target;
        plan.push_back(std::move(pEntry));
    }

    TempDir release;
    TempDir install;
    FileList plan;
    MessageRecorder recorder;
};

bool HasLeftovers(const std::wstring& folder)
{
    const std::vector<std::wstring> names = qvswalktest::FileNames(folder);
    return std::any_of(names.begin(), names.end(),
                       [](const std::wstring& name) {
                           return name.starts_with(L"~QVSCopy-") ||
                                  SCFileIterator::IsCopyLeftoverName(name);
                       });
}

// A copy that dies half-way: writes half the source into its destination, then fails.
std::wstring g_copyDestination;
BOOL WINAPI CopyHalfThenFail(LPCWSTR source, LPCWSTR destination, BOOL)
{
    g_copyDestination = destination;
    const std::string bytes = qvstest::ReadBytes(source);
    qvstest::WriteBytes(destination, bytes.substr(0, bytes.size() / 2));
    SetLastError(ERROR_NETNAME_DELETED);
    return FALSE;
}
} // namespace

TEST_F(Copy, EveryMissingLevelIsCreatedThenTheFileCopied)
{
    qvstest::WriteBytes(release / L"bin\\app.dll", "new app");
    const std::wstring target = install.path() + L"\\new\\deeper\\deepest\\";
    Plan(L"bin\\", L"app.dll", target);
    HiddenDialogWindow window;
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, &window));

    EXPECT_EQ("new app", qvstest::ReadBytes(target + L"app.dll"));
    ASSERT_EQ(1u, recorder.messages.size());
    EXPECT_EQ(kCopying + UpperCase(release / L"bin\\app.dll"), recorder.messages[0]);
    EXPECT_EQ(&window, recorder.contexts[0]);
    EXPECT_FALSE(HasLeftovers(target));
}

TEST_F(Copy, AnExistingEmptyTargetFolderIsUsedAsItIs)
{
    qvstest::WriteBytes(release / L"bin\\a.txt", "a");
    qvstest::MakeDirs(install / L"empty");
    Plan(L"bin\\", L"a.txt", install / L"empty\\");
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr));
    EXPECT_EQ("a", qvstest::ReadBytes(install / L"empty\\a.txt"));
}

TEST_F(Copy, AReadOnlyHiddenSystemDestinationIsReplacedAndTakesTheSourcesTimeAndAttributes)
{
    qvstest::WriteBytes(release / L"bin\\app.dll", "new version");
    const FILETIME ftSource = qvstest::FileTimeFromUtc(2026, 12, 4, 20, 59, 45);
    qvstest::SetLastWriteTime(release / L"bin\\app.dll", ftSource);
    SetFileAttributesW((release / L"bin\\app.dll").c_str(), FILE_ATTRIBUTE_ARCHIVE);
    qvstest::WriteBytes(install / L"bin\\app.dll", "old");
    SetFileAttributesW((install / L"bin\\app.dll").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    Plan(L"bin\\", L"app.dll", install / L"bin\\");
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr));

    EXPECT_EQ("new version", qvstest::ReadBytes(install / L"bin\\app.dll"));
    const FILETIME ftCopied = qvstest::GetLastWriteTime(install / L"bin\\app.dll");
    EXPECT_EQ(0, CompareFileTime(&ftSource, &ftCopied));
    const DWORD attributes = GetFileAttributesW((install / L"bin\\app.dll").c_str());
    EXPECT_EQ(0u, attributes &
                      (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_FALSE(HasLeftovers(install / L"bin"));
}

TEST_F(Copy, AFailedCopyAmongSeveralTheOthersAreCopiedAndTheLaunchIsStillPosted)
{
    qvstest::WriteBytes(release / L"bin\\one.dll", "1");
    qvstest::WriteBytes(release / L"bin\\three.dll", "3");
    Plan(L"bin\\", L"one.dll", install / L"bin\\");
    Plan(L"bin\\", L"two.dll", install / L"bin\\"); // not in the release
    Plan(L"bin\\", L"three.dll", install / L"bin\\");
    HiddenDialogWindow window;
    EXPECT_FALSE(SCFileIterator::CopyFiles(&plan, &RecordMessage, &window));

    EXPECT_EQ("1", qvstest::ReadBytes(install / L"bin\\one.dll"));
    EXPECT_EQ("3", qvstest::ReadBytes(install / L"bin\\three.dll"));
    EXPECT_FALSE(qvstest::Exists(install / L"bin\\two.dll"));
    EXPECT_EQ((std::vector<std::wstring>{kCopying + UpperCase(release / L"bin\\one.dll"),
                                         kError + SystemText(ERROR_FILE_NOT_FOUND),
                                         kCopying + UpperCase(release / L"bin\\three.dll")}),
              recorder.messages);
    WPARAM wParam = 99;
    LPARAM lParam = 99;
    EXPECT_EQ(1, window.TakeLaunchMessages(&wParam, &lParam));
    EXPECT_EQ(0u, wParam);
    EXPECT_EQ(0, lParam);
    EXPECT_FALSE(HasLeftovers(install / L"bin"));
}

TEST_F(Copy, TheCopyMessageShowsTheSourceInCapitals)
{
    qvstest::MakeDirs(release / L"bin\\mixed Case");
    qvstest::WriteBytes(release / L"bin\\mixed Case\\app.dll", "x");
    Plan(L"bin\\mixed Case\\", L"app.dll", install / L"bin\\");
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr));
    ASSERT_EQ(1u, recorder.messages.size());
    const std::wstring expected = kCopying + release.path() + L"\\BIN\\MIXED CASE\\APP.DLL";
    EXPECT_EQ(UpperCase(expected.substr(kCopying.size())),
              recorder.messages[0].substr(kCopying.size()));
    EXPECT_NE(std::wstring::npos, recorder.messages[0].find(L"\\BIN\\MIXED CASE\\APP.DLL"));
}

TEST_F(Copy, EntriesWithoutTargetAreNeitherCopiedNorReported)
{
    qvstest::WriteBytes(release / L"bin\\same.dll", "same");
    Plan(L"bin\\", L"same.dll", L"");
    HiddenDialogWindow window;
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, &window));
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_FALSE(qvstest::Exists(install / L"bin\\same.dll"));
    EXPECT_EQ(1, window.TakeLaunchMessages());
}

TEST_F(Copy, WithoutCallbackTheCopyIsSilent)
{
    qvstest::WriteBytes(release / L"bin\\quiet.dll", "q");
    Plan(L"bin\\", L"quiet.dll", install / L"bin\\");
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, nullptr, nullptr));
    EXPECT_EQ("q", qvstest::ReadBytes(install / L"bin\\quiet.dll"));
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Copy, WithoutAListNothingIsDoneNothingPostedAndTheResultIsFalse)
{
    HiddenDialogWindow window;
    EXPECT_FALSE(SCFileIterator::CopyFiles(nullptr, &RecordMessage, &window));
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(0, window.TakeLaunchMessages());
}

TEST_F(Copy, CopyOneFileReportsSuccessAndFailureWithTheContext)
{
    qvstest::WriteBytes(release / L"bin\\one.txt", "one");
    HiddenDialogWindow window;
    EXPECT_TRUE(SCFileIterator::CopyOneFile(release / L"bin\\one.txt", install / L"bin\\one.txt",
                                            &RecordMessage, &window));
    EXPECT_FALSE(SCFileIterator::CopyOneFile(release / L"bin\\none.txt", install / L"bin\\none.txt",
                                             &RecordMessage, &window));
    EXPECT_EQ((std::vector<std::wstring>{kCopying + (release / L"bin\\one.txt"),
                                         kError + SystemText(ERROR_FILE_NOT_FOUND)}),
              recorder.messages);
    EXPECT_EQ((std::vector<CWnd*>{&window, &window}), recorder.contexts);
    EXPECT_EQ("one", qvstest::ReadBytes(install / L"bin\\one.txt"));
    EXPECT_FALSE(HasLeftovers(install / L"bin"));
}

// ---- A failed copy loses nothing ----

TEST_F(Copy, ACopyThatFailsPartWayLeavesTheInstalledFileByteForByte)
{
    const std::string oldBytes("installed \0 version\r\n", 21);
    qvstest::WriteBytes(release / L"bin\\app.dll", std::string(100000, 'N'));
    qvstest::WriteBytes(install / L"bin\\app.dll", oldBytes);
    SetFileAttributesW((install / L"bin\\app.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    SetCopyFileFunctionForTesting(&CopyHalfThenFail);
    Plan(L"bin\\", L"app.dll", install / L"bin\\");
    EXPECT_FALSE(SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr));

    EXPECT_EQ(oldBytes, qvstest::ReadBytes(install / L"bin\\app.dll"));
    EXPECT_TRUE(GetFileAttributesW((install / L"bin\\app.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
    // The copy went to a recognisable temporary file beside the destination, now gone.
    const std::wstring tempName = g_copyDestination.substr(g_copyDestination.rfind(L'\\') + 1);
    EXPECT_TRUE(SCFileIterator::IsCopyLeftoverName(tempName)) << g_copyDestination;
    EXPECT_EQ(install / L"bin\\" + tempName, g_copyDestination);
    EXPECT_EQ(std::vector<std::wstring>{L"app.dll"}, qvswalktest::FileNames(install / L"bin"));
    EXPECT_EQ(std::vector<std::wstring>{kError + SystemText(ERROR_NETNAME_DELETED)},
              recorder.messages);
    SetFileAttributesW((install / L"bin\\app.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Copy, ALockedSourceLeavesTheInstalledFileAndNoTemporaryFile)
{
    qvstest::WriteBytes(release / L"bin\\app.dll", "new");
    qvstest::WriteBytes(install / L"bin\\app.dll", "old");
    UniqueFile lock(CreateFileW((release / L"bin\\app.dll").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_FALSE(SCFileIterator::CopyOneFile(release / L"bin\\app.dll", install / L"bin\\app.dll",
                                             &RecordMessage, nullptr));
    EXPECT_EQ("old", qvstest::ReadBytes(install / L"bin\\app.dll"));
    EXPECT_EQ(std::vector<std::wstring>{L"app.dll"}, qvswalktest::FileNames(install / L"bin"));
    EXPECT_EQ(std::vector<std::wstring>{kError + SystemText(ERROR_SHARING_VIOLATION)},
              recorder.messages);
}

TEST_F(Copy, ADestinationInUseStaysAsItWasWithItsAttributesAndNoTemporaryFile)
{
    qvstest::WriteBytes(release / L"bin\\app.dll", "new");
    qvstest::WriteBytes(install / L"bin\\app.dll", "running");
    SetFileAttributesW((install / L"bin\\app.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    {
        // A running program holds its file without letting it be deleted or renamed over.
        UniqueFile inUse(CreateFileW((install / L"bin\\app.dll").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(inUse);
        EXPECT_FALSE(SCFileIterator::CopyOneFile(
            release / L"bin\\app.dll", install / L"bin\\app.dll", &RecordMessage, nullptr));
    }
    EXPECT_EQ("running", qvstest::ReadBytes(install / L"bin\\app.dll"));
    EXPECT_TRUE(GetFileAttributesW((install / L"bin\\app.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(std::vector<std::wstring>{L"app.dll"}, qvswalktest::FileNames(install / L"bin"));
    ASSERT_EQ(1u, recorder.messages.size());
    EXPECT_EQ(0u, recorder.messages[0].find(kError));
    SetFileAttributesW((install / L"bin\\app.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// ---- Temporary files of copies that never finished ----

TEST(CopyLeftovers, OnlyTheCopysOwnNamePatternIsRecognised)
{
    EXPECT_TRUE(SCFileIterator::IsCopyLeftoverName(L"~QVSCopy-1a2b-0.tmp"));
    EXPECT_TRUE(SCFileIterator::IsCopyLeftoverName(L"~qvscopy-FFFF-12.TMP"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"~QVSCopy-.tmp"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"~QVSCopy-12.tmp"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"~QVSCopy-1z-2.tmp"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"~QVSCopy-1-2.tmp.dll"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"QVSCopy-1-2.tmp"));
    EXPECT_FALSE(SCFileIterator::IsCopyLeftoverName(L"app.dll"));
}

TEST(CopyLeftovers, LeftoversOfEndedProcessesAreRemovedAndNothingElse)
{
    TempDir dir;
    // Process numbers are multiples of four: 0xFFFFFFF1 is never a running process.
    qvstest::WriteBytes(dir / L"~QVSCopy-fffffff1-0.tmp", "stale");
    qvstest::WriteBytes(dir / L"~QVSCopy-fffffff1-1.tmp", "stale");
    SetFileAttributesW((dir / L"~QVSCopy-fffffff1-1.tmp").c_str(), FILE_ATTRIBUTE_READONLY);
    wchar_t own[64] = {};
    swprintf(own, 64, L"~QVSCopy-%lx-5.tmp", GetCurrentProcessId());
    qvstest::WriteBytes(dir / own, "in progress");
    qvstest::WriteBytes(dir / L"~QVSCopy-notes.tmp", "not ours");
    qvstest::WriteBytes(dir / L"app.dll", "app");
    EXPECT_EQ(2, SCFileIterator::RemoveCopyLeftovers(dir.path()));
    std::vector<std::wstring> names = qvswalktest::FileNames(dir.path());
    std::sort(names.begin(), names.end());
    std::vector<std::wstring> expected{own, L"app.dll", L"~QVSCopy-notes.tmp"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names);
    EXPECT_EQ(0, SCFileIterator::RemoveCopyLeftovers(dir.path() + L"\\"));
}

TEST_F(Copy, TheCopyClearsLeftoversFromTheFoldersItCopiesInto)
{
    qvstest::WriteBytes(install / L"bin\\~QVSCopy-fffffff1-7.tmp", "stale");
    qvstest::WriteBytes(release / L"bin\\a.dll", "a");
    Plan(L"bin\\", L"a.dll", install / L"bin\\");
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, nullptr, nullptr));
    EXPECT_EQ(std::vector<std::wstring>{L"a.dll"}, qvswalktest::FileNames(install / L"bin"));
}

// ---- Folders ----

TEST(CreateFolderPath, EveryLevelFromTheDriveDownButNotALastElementWithoutBackslash)
{
    TempDir dir;
    SCFileIterator iterator;
    iterator.CreateFolderPath(dir / L"a\\b\\c\\");
    EXPECT_TRUE(GetFileAttributesW((dir / L"a\\b\\c").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    iterator.CreateFolderPath(dir / L"x\\y\\file.txt");
    EXPECT_TRUE(qvstest::Exists(dir / L"x\\y"));
    EXPECT_FALSE(qvstest::Exists(dir / L"x\\y\\file.txt"));
    // Existing levels are no obstacle.
    iterator.CreateFolderPath(dir / L"a\\b\\c\\d\\");
    EXPECT_TRUE(qvstest::Exists(dir / L"a\\b\\c\\d"));
}

TEST(CreateFolderPath, APathWithoutADriveIsLeftAlone)
{
    TempDir dir;
    wchar_t old[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, old);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    SCFileIterator iterator;
    iterator.CreateFolderPath(L"rel\\sub\\");
    iterator.CreateFolderPath(L"\\\\server\\share\\dir\\");
    SetCurrentDirectoryW(old);
    EXPECT_FALSE(qvstest::Exists(dir / L"rel"));
}

TEST_F(Copy, FoldersAndFilesBeyondMaxPath)
{
    qvstest::WriteBytes(release / L"bin\\long.dll", "long");
    std::wstring target = install.path();
    while (target.size() < 330)
    {
        target += L"\\" + std::wstring(30, L'L');
    }
    target += L"\\";
    Plan(L"bin\\", L"long.dll", target);
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr));
    EXPECT_EQ("long", qvstest::ReadBytes(AfxLongPathForm(target + L"long.dll")));
}
