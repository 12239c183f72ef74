#include "framework/AfxException.h"

#include "framework/AfxHandle.h"
#include "framework/AfxRes.h"
#include "framework/AfxWinApp.h"

#include <utility>

IMPLEMENT_DYNAMIC(CException, CObject)
IMPLEMENT_DYNAMIC(CMemoryException, CException)
IMPLEMENT_DYNAMIC(CNotSupportedException, CException)
IMPLEMENT_DYNAMIC(CResourceException, CException)
IMPLEMENT_DYNAMIC(CUserException, CException)
IMPLEMENT_DYNAMIC(COleException, CException)
IMPLEMENT_DYNAMIC(CFileException, CException)
IMPLEMENT_DYNAMIC(CArchiveException, CException)

void CException::Delete() noexcept
{
    if (m_bAutoDelete)
    {
        delete this;
    }
}

BOOL CException::CopyMessage(const std::wstring& text, LPWSTR lpszError, UINT nMaxError) noexcept
{
    if (lpszError == nullptr || nMaxError == 0)
    {
        return FALSE;
    }
    const size_t n = text.size() < nMaxError - 1 ? text.size() : nMaxError - 1;
    text.copy(lpszError, n);
    lpszError[n] = L'\0';
    return n > 0 ? TRUE : FALSE;
}

BOOL CException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const
{
    if (pnHelpContext != nullptr)
    {
        *pnHelpContext = 0;
    }
    return CopyMessage(std::wstring(), lpszError, nMaxError);
}

BOOL CMemoryException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    // Nothing may be allocated here: the entry is read straight into the buffer.
    return AfxLoadString(AFX_IDS_MEMORY_EXCEPTION, lpszError, nMaxError) > 0 ? TRUE : FALSE;
}

BOOL CNotSupportedException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    return CopyMessage(AfxLoadString(AFX_IDS_NOT_SUPPORTED_EXCEPTION), lpszError, nMaxError);
}

BOOL CResourceException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    return CopyMessage(AfxLoadString(AFX_IDS_RESOURCE_EXCEPTION), lpszError, nMaxError);
}

BOOL COleException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    return CopyMessage(AfxSystemErrorText(static_cast<DWORD>(m_sc)), lpszError, nMaxError);
}

CFileException::CFileException(int cause, LONG lOsError, std::wstring fileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(std::move(fileName))
{
}

int CFileException::OsErrorToException(LONG lOsError) noexcept
{
    switch (static_cast<DWORD>(lOsError))
    {
    case NO_ERROR:
        return none;
    case ERROR_FILE_NOT_FOUND:
        return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
        return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return accessDenied;
    case ERROR_INVALID_HANDLE:
        return invalidFile;
    case ERROR_CURRENT_DIRECTORY:
        return removeCurrentDir;
    case ERROR_CANNOT_MAKE:
        return directoryFull;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK:
        return badSeek;
    case ERROR_SHARING_VIOLATION:
        return sharingViolation;
    case ERROR_LOCK_VIOLATION:
        return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return diskFull;
    case ERROR_HANDLE_EOF:
        return endOfFile;
    default:
        return genericException;
    }
}

BOOL CFileException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    std::wstring text = m_lOsError == -1 ? AfxLoadString(AFX_IDS_FILE_EXCEPTION)
                                         : AfxSystemErrorLine(static_cast<DWORD>(m_lOsError));
    if (!m_strFileName.empty())
    {
        text += L" (" + m_strFileName + L")";
    }
    return CopyMessage(text, lpszError, nMaxError);
}

CArchiveException::CArchiveException(int cause, std::wstring fileName)
    : m_cause(cause), m_strFileName(std::move(fileName))
{
}

BOOL CArchiveException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT) const
{
    std::wstring text;
    switch (m_cause)
    {
    case endOfFile:
        text = AfxLoadString(AFX_IDS_ARCHIVE_END_OF_FILE);
        break;
    case badFormat:
        text = AfxLoadString(AFX_IDS_ARCHIVE_BAD_FORMAT);
        break;
    case readOnly:
        text = AfxLoadString(AFX_IDS_ARCHIVE_READ_ONLY);
        break;
    case writeOnly:
        text = AfxLoadString(AFX_IDS_ARCHIVE_WRITE_ONLY);
        break;
    default:
        text = AfxLoadString(AFX_IDS_ARCHIVE_GENERIC);
        break;
    }
    if (!m_strFileName.empty())
    {
        text += L" (" + m_strFileName + L")";
    }
    return CopyMessage(text, lpszError, nMaxError);
}

std::wstring AfxSystemErrorText(DWORD dwError, DWORD dwLanguageId)
{
    LPWSTR pBuffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, dwError, dwLanguageId, reinterpret_cast<LPWSTR>(&pBuffer), 0, nullptr);
    const UniqueLocal buffer(pBuffer);
    return n != 0 && pBuffer != nullptr ? std::wstring(pBuffer, n) : std::wstring();
}

std::wstring AfxSystemErrorLine(DWORD dwError)
{
    std::wstring text = AfxSystemErrorText(dwError);
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
    return text.empty() ? AfxFormatStrings(AfxLoadString(AFX_IDS_ERROR_CODE), {std::to_wstring(dwError)})
                        : text;
}

void AfxThrowMemoryException()
{
    // Allocating under memory exhaustion would fail again: one static object serves.
    static CMemoryException s_memoryException(FALSE);
    throw &s_memoryException;
}

void AfxThrowNotSupportedException()
{
    throw new CNotSupportedException;
}

void AfxThrowResourceException()
{
    throw new CResourceException;
}

void AfxThrowUserException()
{
    throw new CUserException;
}

void AfxThrowOleException(HRESULT sc)
{
    throw new COleException(sc);
}

void AfxThrowFileException(int cause, LONG lOsError, const std::wstring& fileName)
{
    throw new CFileException(cause, lOsError, fileName);
}

void AfxThrowArchiveException(int cause, const std::wstring& fileName)
{
    throw new CArchiveException(cause, fileName);
}
