#pragma once
// Keys made once per run, and release records written and signed as QVSMakeList
// writes them, for the tables of keys, records and the trust rule.
#include "lib/ReleaseKey.h"
#include "lib/ReleaseRecord.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace signedrecords
{
inline const std::wstring kFolder = L"\\\\SRV01\\Release\\bin\\";
inline const std::vector<std::wstring> kNames = {L"app.dll", L"QVS.exe", L"\u6570\u636e.dat"};

// Key 0 is the administrator's, 1 the next one, 2 somebody else's.
inline const SCReleaseSigningKey& Key(size_t n)
{
    static const std::vector<std::unique_ptr<SCReleaseSigningKey>> s_keys = []
    {
        std::vector<std::unique_ptr<SCReleaseSigningKey>> keys;
        for (int i = 0; i < 3; ++i)
        {
            keys.push_back(std::make_unique<SCReleaseSigningKey>());
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), keys.back()->Generate());
        }
        return keys;
    }();
    return *s_keys.at(n);
}

inline SCSha256::Digest DigestOf(const std::string& bytes)
{
    SCSha256::Digest digest{};
    EXPECT_TRUE(SCSha256::HashBytes(bytes.data(), bytes.size(), digest));
    return digest;
}

// A list's bytes naming the files.
inline std::string ListBytes(const std::vector<std::wstring>& names = kNames)
{
    std::wstring text;
    for (const std::wstring& name : names)
    {
        text += kFolder + L"\t\t" + name + L"\t\t04/12/26 21:59:45\r\n";
    }
    return qvstest::Utf16Bytes(text);
}

// The record of that list, unsigned.
inline std::wstring RecordText(const std::string& listBytes,
                               const std::vector<std::wstring>& names = kNames)
{
    std::wstring text = SCReleaseRecord::FormatFirstLine(DigestOf(listBytes));
    for (const std::wstring& name : names)
    {
        SCReleaseRecord::Item item;
        item.nSize = name.size();
        item.digest = DigestOf(qvstest::ToUtf8(name));
        text += SCReleaseRecord::FormatLine(kFolder, name, item);
    }
    return text;
}

// Signed by key nSigner as release nRelease, naming key nNext (none when negative).
inline std::wstring SignedText(std::wstring text, size_t nSigner, ULONGLONG nRelease, int nNext = -1)
{
    const SCReleasePublicKey* pNext =
        nNext < 0 ? nullptr : &Key(static_cast<size_t>(nNext)).GetPublicKey();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Key(nSigner).SignRecord(text, nRelease, pNext));
    return text;
}
} // namespace signedrecords
