#include "tools/QVSMakeList/PublishedAs.h"

#include <windows.h>

#include <string_view>
#include <vector>

namespace
{
// The names Windows keeps for devices in every folder, with any extension.
bool IsDeviceName(std::wstring_view element)
{
    element = element.substr(0, element.find(L'.'));
    while (!element.empty() && element.back() == L' ')
    {
        element.remove_suffix(1);
    }
    std::wstring upper(element);
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL" ||
        upper == L"CONIN$" || upper == L"CONOUT$")
    {
        return true;
    }
    // COM1-COM9 and LPT1-LPT9, also with the superscript digits Windows takes for them.
    const wchar_t digit = upper.size() == 4 ? upper[3] : L'\0';
    return (upper.starts_with(L"COM") || upper.starts_with(L"LPT")) &&
           ((digit >= L'1' && digit <= L'9') || digit == L'\x00B9' || digit == L'\x00B2' ||
            digit == L'\x00B3');
}

// Why an element of the path cannot be a folder's name; empty when it can.
std::wstring ElementProblem(std::wstring_view element)
{
    if (element.empty())
    {
        return L"it holds an empty element (two backslashes in a row)";
    }
    if (element == L"." || element == L"..")
    {
        return L"it holds the element \"" + std::wstring(element) + L"\"";
    }
    for (const wchar_t c : element)
    {
        if (c < 0x20 || std::wstring_view(L"<>:\"/|?*").find(c) != std::wstring_view::npos)
        {
            return c < 0x20 ? L"it holds a control character"
                            : L"it holds the character '" + std::wstring(1, c) + L"'";
        }
    }
    if (element.back() == L'.' || element.back() == L' ')
    {
        return L"the element \"" + std::wstring(element) + L"\" ends with a dot or a space";
    }
    if (IsDeviceName(element))
    {
        return L"the element \"" + std::wstring(element) + L"\" is a device name";
    }
    return std::wstring();
}
} // namespace

std::wstring CheckPublishedAs(const std::wstring& strGiven, std::wstring& strError)
{
    std::wstring strPath = strGiven;
    if (strPath.size() > 2 && strPath.back() == L'\\')
    {
        strPath.pop_back();
    }
    const auto refuse = [&strError, &strGiven](const std::wstring& strWhy)
    {
        strError = L"--published-as \"" + strGiven + L"\" is not a UNC path \\\\server\\share[\\...]: " +
                   strWhy;
        return std::wstring();
    };
    if (strPath.size() < 2 || strPath[0] != L'\\' || strPath[1] != L'\\')
    {
        return refuse(L"it does not begin with two backslashes");
    }
    std::vector<std::wstring_view> elements;
    const std::wstring_view rest = std::wstring_view(strPath).substr(2);
    for (size_t nStart = 0;;)
    {
        const size_t nEnd = rest.find(L'\\', nStart);
        elements.push_back(rest.substr(nStart, nEnd == std::wstring_view::npos ? nEnd : nEnd - nStart));
        if (nEnd == std::wstring_view::npos)
        {
            break;
        }
        nStart = nEnd + 1;
    }
    if (elements.size() < 2)
    {
        return refuse(L"it names no share after the server");
    }
    for (const std::wstring_view element : elements)
    {
        const std::wstring strProblem = ElementProblem(element);
        if (!strProblem.empty())
        {
            return refuse(strProblem);
        }
    }
    return strPath;
}

void RenameListFolders(FileList& list, const std::wstring& strFrom, const std::wstring& strTo)
{
    const std::wstring strPrefix = strFrom + L"\\";
    for (const std::unique_ptr<FileListEntry>& pEntry : list)
    {
        if (pEntry->folder.starts_with(strPrefix))
        {
            pEntry->folder = strTo + pEntry->folder.substr(strFrom.size());
        }
    }
}
