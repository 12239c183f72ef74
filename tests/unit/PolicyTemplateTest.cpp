// The Group Policy templates against what the program reads: every policy of
// policy/QVSCliUpdate.admx writes, into the key the program reads, a value the
// program reads, of the kind and range it reads; every value the program reads has
// its policy; every text and presentation the template names is in its en-US file.
#include "lib/Policy.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

using namespace qvstest;

namespace
{
// A file of the sources, as Wine's drive Z: shows it.
std::wstring SourceText(std::wstring relative)
{
    std::wstring path = L"Z:" + FromUtf8(QVS_SOURCE_DIR) + L"/" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return FromUtf8(ReadBytes(path));
}

// Every match of the pattern in the text, each as its groups.
std::vector<std::wsmatch> All(const std::wstring& text, const std::wregex& pattern)
{
    return {std::wsregex_iterator(text.begin(), text.end(), pattern), std::wsregex_iterator()};
}

std::map<std::wstring, std::wstring> Attributes(const std::wstring& tag)
{
    std::map<std::wstring, std::wstring> attributes;
    for (const std::wsmatch& m : All(tag, std::wregex(LR"(([A-Za-z]+)="([^"]*)\")")))
    {
        attributes[m[1]] = m[2];
    }
    return attributes;
}
} // namespace

TEST(PolicyTemplate, EveryPolicyWritesAValueTheProgramReadsAndEveryValueItReadsHasItsPolicy)
{
    const std::wstring admx = SourceText(L"policy/QVSCliUpdate.admx");
    const std::wstring adml = SourceText(L"policy/en-US/QVSCliUpdate.adml");

    // Value name: "text", or the numbers' range "min-max" (on/off: "off-on").
    std::map<std::wstring, std::wstring> read;
    for (const SCPolicyValueSpec& known : PolicyValues())
    {
        read[known.pszName] = known.bNumber ? std::to_wstring(known.dwMin) + L"-" +
                                                std::to_wstring(known.dwMax)
                                          : L"text";
    }
    std::map<std::wstring, std::wstring> written;
    const auto add = [&written](const std::wstring& name, const std::wstring& kind)
    { EXPECT_TRUE(written.emplace(name, kind).second) << ToUtf8(name) << " twice"; };
    for (const std::wsmatch& m : All(admx, std::wregex(LR"(\skey="([^"]*)\")")))
    {
        EXPECT_EQ(ToUtf8(kPolicyKey), ToUtf8(m[1]));
    }
    for (const std::wsmatch& policy :
         All(admx, std::wregex(LR"(<policy\s([^>]*)>([\s\S]*?)</policy>)")))
    {
        const std::wstring body = policy[2];
        std::map<std::wstring, std::wstring> attributes = Attributes(policy[1]);
        if (attributes.count(L"valueName") != 0)
        {
            std::wsmatch on;
            std::wsmatch off;
            const auto state = [](const wchar_t* name)
            {
                return std::wregex(L"<" + std::wstring(name) +
                                   LR"re(>\s*<decimal value="(\d+)" />\s*</)re" + name + L">");
            };
            ASSERT_TRUE(std::regex_search(body, on, state(L"enabledValue")) &&
                        std::regex_search(body, off, state(L"disabledValue")))
                << ToUtf8(attributes[L"valueName"]);
            add(attributes[L"valueName"], off[1].str() + L"-" + on[1].str());
        }
        std::wsmatch elements;
        std::regex_search(body, elements, std::wregex(LR"(<elements>([\s\S]*)</elements>)"));
        const std::wstring inElements = elements[1];
        for (const std::wsmatch& element :
             All(inElements, std::wregex(LR"(<(text|decimal)\s([^>]*)/>)")))
        {
            attributes = Attributes(element[2]);
            EXPECT_LE(std::stoul(attributes.try_emplace(L"maxLength", L"0").first->second),
                      kMaxPolicyText);
            add(attributes[L"valueName"], element[1] == L"text" ? L"text"
                                                                 : attributes[L"minValue"] + L"-" +
                                                                       attributes[L"maxValue"]);
        }
    }
    EXPECT_EQ(read, written);

    // What GPMC looks up in the language file.
    for (const std::wsmatch& m : All(admx, std::wregex(LR"(\$\((string|presentation)\.(\w+)\))")))
    {
        EXPECT_NE(std::wstring::npos, adml.find(L"<" + m[1].str() + L" id=\"" + m[2].str() + L"\""))
            << ToUtf8(m[0]);
    }
    for (const std::wsmatch& m : All(adml, std::wregex(LR"(refId="(\w+)\")")))
    {
        EXPECT_NE(std::wstring::npos, admx.find(L" id=\"" + m[1].str() + L"\"")) << ToUtf8(m[0]);
    }
}
