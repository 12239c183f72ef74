// What the shipped program file carries besides its code.
#include "framework/AfxHandle.h"
#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
class ProgramResources : public testing::Test
{
protected:
    void SetUp() override
    {
        m_module.reset(LoadLibraryExW((qvstest::ExeFolder() + L"QVSCliUpdate.exe").c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(m_module);
    }

    // The resource's bytes, empty when it is missing.
    std::string Bytes(LPCWSTR type, UINT id) const
    {
        const HRSRC hRes = FindResourceW(m_module.get(), MAKEINTRESOURCEW(id), type);
        if (hRes == nullptr)
        {
            return {};
        }
        const HGLOBAL hData = LoadResource(m_module.get(), hRes);
        const char* p = static_cast<const char*>(LockResource(hData));
        return std::string(p, SizeofResource(m_module.get(), hRes));
    }

    UniqueModule m_module;
};

// Reads a DLGTEMPLATEEX header: style, size and number of controls.
struct DialogHeader
{
    DWORD style;
    DWORD exStyle;
    WORD count;
    short cx;
    short cy;
};

DialogHeader ReadDialogHeader(const std::string& bytes)
{
    DialogHeader header{};
    const auto* words = reinterpret_cast<const WORD*>(bytes.data());
    if (bytes.size() >= 26 && words[1] == 0xFFFF) // extended template
    {
        memcpy(&header.exStyle, bytes.data() + 8, 4);
        memcpy(&header.style, bytes.data() + 12, 4);
        memcpy(&header.count, bytes.data() + 16, 2);
        memcpy(&header.cx, bytes.data() + 22, 2);
        memcpy(&header.cy, bytes.data() + 24, 2);
    }
    else if (bytes.size() >= 18)
    {
        memcpy(&header.style, bytes.data(), 4);
        memcpy(&header.exStyle, bytes.data() + 4, 4);
        memcpy(&header.count, bytes.data() + 8, 2);
        memcpy(&header.cx, bytes.data() + 14, 2);
        memcpy(&header.cy, bytes.data() + 16, 2);
    }
    return header;
}
} // namespace

TEST_F(ProgramResources, ManifestKeepsTheProgramUnelevated)
{
    const std::string manifest = Bytes(RT_MANIFEST, 1);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(std::string::npos, manifest.find("requestedExecutionLevel level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));
}

TEST_F(ProgramResources, VersionNamesTheProduct)
{
    const std::string version = Bytes(RT_VERSION, 1);
    ASSERT_GT(version.size(), sizeof(VS_FIXEDFILEINFO));
    const std::wstring text(reinterpret_cast<const wchar_t*>(version.data()), version.size() / 2);
    EXPECT_NE(std::wstring::npos, text.find(L"QVS Hot-Update Client Utility"));
    EXPECT_NE(std::wstring::npos, text.find(L"ProductVersion"));
}

TEST_F(ProgramResources, IconComesInSeveralSizes)
{
    const std::string group = Bytes(RT_GROUP_ICON, IDR_MAINFRAME);
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    memcpy(&count, group.data() + 4, 2);
    EXPECT_GE(count, 4);
    const HICON hIcon = static_cast<HICON>(
        LoadImageW(m_module.get(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(nullptr, hIcon);
    DestroyIcon(hIcon);
}

TEST_F(ProgramResources, DialogTemplatesHaveTheirStylesSizesAndControls)
{
    const struct
    {
        UINT id;
        DWORD style;
        DWORD exStyle;
        WORD controls;
        short cx;
        short cy;
    } dialogs[] = {
        {IDD_QVSCLIUPDATE_DIALOG,
         DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU,
         WS_EX_APPWINDOW, 4, 320, 200},
        {IDD_STATUS, 0x90800140, 0, 3, 136, 39},
        {IDD_SELDIR, 0x80C800C0, 0, 14, 165, 134},
    };
    for (const auto& d : dialogs)
    {
        const DialogHeader header = ReadDialogHeader(Bytes(RT_DIALOG, d.id));
        EXPECT_EQ(d.style, header.style) << d.id;
        EXPECT_EQ(d.exStyle, header.exStyle) << d.id;
        EXPECT_EQ(d.controls, header.count) << d.id;
        EXPECT_EQ(d.cx, header.cx) << d.id;
        EXPECT_EQ(d.cy, header.cy) << d.id;
    }
}
