#include "lib/ResString.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace
{
// Strings come from the program's own executable, which is built beside the tests,
// opened once for the whole run as the dialog does when it starts.
class StringModules : public testing::Environment
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(SCResAString::LoadModule(L"QVSCliUpdate.exe"));
        ASSERT_TRUE(SCResUString::LoadModule(L"QVSCliUpdate.exe"));
    }
    void TearDown() override
    {
        SCResAString::FreeModule();
        SCResUString::FreeModule();
    }
};
} // namespace

int wmain(int argc, wchar_t** argv)
{
    // A fault in a test must fail that test, not open a crash dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new StringModules);
    return RUN_ALL_TESTS();
}
