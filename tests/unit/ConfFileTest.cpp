// "QVS.ini": reading SourceFolder whatever its length, and recording outcomes.
#include "lib/ConfFile.h"

#include "lib/Miscellaneous.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace
{
class ConfFile : public testing::Test
{
protected:
    void SetUp() override { SetAppFolderForTesting(m_dir.path() + L"\\"); }
    void TearDown() override { SetAppFolderForTesting(L""); }

    std::wstring IniPath() const { return m_dir / L"QVS.ini"; }
    void WriteIni(const std::wstring& text) const
    {
        qvstest::WriteUtf16(IniPath(), L"\xFEFF" + text);
    }

    qvstest::TempDir m_dir;
};

std::wstring Folder(size_t length)
{
    std::wstring text = L"\\\\SRV01\\Release";
    while (text.size() < length)
    {
        text += static_cast<wchar_t>(L'a' + text.size() % 26);
    }
    return text.substr(0, length);
}
} // namespace

TEST_F(ConfFile, MissingFileSectionOrKeyReadsEmpty)
{
    EXPECT_EQ(L"", ReadSourceFolder());
    WriteIni(L"[Other]\r\nSourceFolder=x\r\n");
    EXPECT_EQ(L"", ReadSourceFolder());
    WriteIni(L"[HotUpdate]\r\nUpdateSucceeded=1\r\n");
    EXPECT_EQ(L"", ReadSourceFolder());
    EXPECT_FALSE(qvstest::Exists(m_dir / L"nothing-written"));
}

TEST_F(ConfFile, ValuesAroundEveryBufferSizeAreReadWhole)
{
    // The read buffer starts at 256 characters and doubles while the value is cut.
    for (size_t length : {1u, 254u, 255u, 256u, 300u, 510u, 511u, 512u, 1023u, 1024u, 5000u})
    {
        const std::wstring value = Folder(length);
        WriteIni(L"[HotUpdate]\r\nSourceFolder=" + value + L"\r\n");
        EXPECT_EQ(value, ReadSourceFolder()) << length;
    }
}

TEST_F(ConfFile, AValueTooLongForTheLargestBufferRaises)
{
    const std::wstring longest = Folder(524286);
    WriteIni(L"[HotUpdate]\r\nSourceFolder=" + longest + L"\r\n");
    EXPECT_EQ(longest, ReadSourceFolder());

    WriteIni(L"[HotUpdate]\r\nSourceFolder=" + Folder(524287) + L"\r\n");
    qvstest::EventRecorder recorder;
    bool raised = false;
    try
    {
        ReadSourceFolder();
    }
    catch (SCException* e)
    {
        raised = true;
        EXPECT_EQ(SC_NO_CODE, e->m_nCode);
        e->Delete();
    }
    EXPECT_TRUE(raised);
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(ConfFile, ABlankValueIsReadAsItStands)
{
    WriteIni(L"[HotUpdate]\r\nSourceFolder=\"  \"\r\n");
    EXPECT_EQ(L"  ", ReadSourceFolder());
}

TEST_F(ConfFile, SuccessCreatesTheFileWithTheThreeKeys)
{
    WriteUpdateResult(true, SCDateTime(2026, 12, 4, 21, 59, 45), L"");
    ASSERT_TRUE(qvstest::Exists(IniPath()));
    EXPECT_EQ(L"1", ReadConfString(L"HotUpdate", L"UpdateSucceeded"));
    EXPECT_EQ(L"2026-12-04 21:59:45.000", ReadConfString(L"HotUpdate", L"UpdateDateTime"));
    // The reason key is present with nothing after its equals sign.
    wchar_t keys[512] = {};
    GetPrivateProfileStringW(L"HotUpdate", nullptr, L"", keys, 512, IniPath().c_str());
    std::wstring names;
    for (const wchar_t* p = keys; *p != L'\0'; p += wcslen(p) + 1)
    {
        names += std::wstring(p) + L";";
    }
    EXPECT_EQ(L"UpdateSucceeded;UpdateDateTime;UpdateFailureReason;", names);
    EXPECT_EQ(L"", ReadConfString(L"HotUpdate", L"UpdateFailureReason"));
}

TEST_F(ConfFile, FailureRecordsZeroAndTheReasonUnchanged)
{
    WriteIni(L"[HotUpdate]\r\nSourceFolder=\\\\SRV01\\Release\r\n");
    WriteUpdateResult(false, SCDateTime(2024, 3, 5, 7, 8, 9), L"The network path was not found.");
    EXPECT_EQ(L"0", ReadConfString(L"HotUpdate", L"UpdateSucceeded"));
    EXPECT_EQ(L"2024-03-05 07:08:09.000", ReadConfString(L"HotUpdate", L"UpdateDateTime"));
    EXPECT_EQ(L"The network path was not found.",
              ReadConfString(L"HotUpdate", L"UpdateFailureReason"));
    // What was there stays.
    EXPECT_EQ(L"\\\\SRV01\\Release", ReadSourceFolder());
}
