// The name a release is published as (QVSMakeList --published-as): a UNC path to a
// share or a folder below it, kept as given but for one final backslash; anything
// a client could not reach as a folder is refused with the reason.
#include "tools/QVSMakeList/PublishedAs.h"

#include "tests/support/Support.h"

#include <gtest/gtest.h>

using namespace qvstest;

TEST(PublishedAsValue, AUncPathToAShareOrBelowItAndNothingElse)
{
    const struct
    {
        const wchar_t* given;
        const wchar_t* taken; // null: refused
        const wchar_t* why; // the whole reason
    } rows[] = {
        {L"\\\\corp.example\\apps\\Release", L"\\\\corp.example\\apps\\Release", L""},
        {L"\\\\SRV02\\Builds\\", L"\\\\SRV02\\Builds", L""},
        {L"\\\\srv-02\\Qvs Releases\\2026 \x00C9t\x00E9\\bin", L"\\\\srv-02\\Qvs Releases\\2026 \x00C9t\x00E9\\bin", L""},
        {L"\\\\srv\\apps\\COM10\\NULL\\conx", L"\\\\srv\\apps\\COM10\\NULL\\conx", L""},
        {L"D:\\Release", nullptr, L"it does not begin with two backslashes"},
        {L"//srv/apps", nullptr, L"it does not begin with two backslashes"},
        {L"\\srv\\apps", nullptr, L"it does not begin with two backslashes"},
        {L"\\\\corp.example", nullptr, L"it names no share after the server"},
        {L"\\\\corp.example\\", nullptr, L"it names no share after the server"},
        {L"\\\\srv\\apps\\\\", nullptr, L"it holds an empty element (two backslashes in a row)"},
        {L"\\\\srv\\apps\\\\Release", nullptr, L"it holds an empty element (two backslashes in a row)"},
        {L"\\\\\\srv\\apps", nullptr, L"it holds an empty element (two backslashes in a row)"},
        {L"\\\\srv\\apps\\..\\Release", nullptr, L"it holds the element \"..\""},
        {L"\\\\srv\\apps\\.", nullptr, L"it holds the element \".\""},
        {L"\\\\.\\pipe\\x", nullptr, L"it holds the element \".\""},
        {L"\\\\?\\C:\\Release", nullptr, L"it holds the character '?'"},
        {L"\\\\srv\\apps\\a*b", nullptr, L"it holds the character '*'"},
        {L"\\\\srv\\apps\\a:b", nullptr, L"it holds the character ':'"},
        {L"\\\\srv\\apps\\a/b", nullptr, L"it holds the character '/'"},
        {L"\\\\srv\\apps\\a|b", nullptr, L"it holds the character '|'"},
        {L"\\\\srv\\apps\\a<b>", nullptr, L"it holds the character '<'"},
        {L"\\\\srv\\apps\\a\"b", nullptr, L"it holds the character '\"'"},
        {L"\\\\srv\\apps\\a\tb", nullptr, L"it holds a control character"},
        {L"\\\\srv\\apps\\Release ", nullptr, L"the element \"Release \" ends with a dot or a space"},
        {L"\\\\srv\\apps\\Release.", nullptr, L"the element \"Release.\" ends with a dot or a space"},
        {L"\\\\srv\\Nul.txt", nullptr, L"the element \"Nul.txt\" is a device name"},
        {L"\\\\srv\\apps\\con", nullptr, L"the element \"con\" is a device name"},
        {L"\\\\srv\\apps\\AUX .log", nullptr, L"the element \"AUX .log\" is a device name"},
        {L"\\\\srv\\apps\\lpt9", nullptr, L"the element \"lpt9\" is a device name"},
        {L"\\\\srv\\apps\\COM\x00B9", nullptr, L"the element \"COM\x00B9\" is a device name"},
        {L"\\\\srv\\apps\\CONOUT$", nullptr, L"the element \"CONOUT$\" is a device name"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(ToUtf8(row.given));
        std::wstring error;
        const std::wstring taken = CheckPublishedAs(row.given, error);
        EXPECT_EQ(row.taken != nullptr ? row.taken : L"", taken);
        if (row.taken == nullptr)
        {
            EXPECT_EQ(L"--published-as \"" + std::wstring(row.given) +
                          L"\" is not a UNC path \\\\server\\share[\\...]: " + row.why,
                      error);
        }
    }
}
