#include "framework/AfxFile.h"

#include "framework/AfxFileFind.h"

#include <algorithm>
#include <cstring>

namespace
{
// The path made absolute, however long it is; the path itself when the system
// cannot make it so (the open then reports why).
std::wstring FullPath(const std::wstring& strPath)
{
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const DWORD n = GetFullPathNameW(strPath.c_str(), static_cast<DWORD>(full.size()),
                                         full.data(), nullptr);
        if (n == 0)
        {
            break;
        }
        if (n < full.size())
        {
            full.resize(n);
            return full;
        }
        full.resize(n); // n is the size needed, terminator included
    }
    return strPath;
}
} // namespace

CFile::CFile(const std::wstring& strFileName, UINT nOpenFlags)
{
    CFileException error;
    if (!Open(strFileName, nOpenFlags, &error))
    {
        AfxThrowFileException(error.m_cause, error.m_lOsError, error.m_strFileName);
    }
}

CFile::~CFile()
{
    Abort();
}

BOOL CFile::Open(const std::wstring& strFileName, UINT nOpenFlags, CFileException* pError)
{
    Abort();
    m_strFileName = FullPath(strFileName);

    DWORD dwAccess = 0;
    switch (nOpenFlags & 3)
    {
    case modeRead:
        dwAccess = GENERIC_READ;
        break;
    case modeWrite:
        dwAccess = GENERIC_WRITE;
        break;
    case modeReadWrite:
        dwAccess = GENERIC_READ | GENERIC_WRITE;
        break;
    default:
        if (pError != nullptr)
        {
            pError->m_cause = CFileException::genericException;
            pError->m_lOsError = ERROR_INVALID_PARAMETER;
            pError->m_strFileName = m_strFileName;
        }
        return FALSE;
    }

    DWORD dwShare = 0; // compatibility and exclusive: nobody else
    switch (nOpenFlags & 0x70)
    {
    case shareDenyWrite:
        dwShare = FILE_SHARE_READ;
        break;
    case shareDenyRead:
        dwShare = FILE_SHARE_WRITE;
        break;
    case shareDenyNone:
        dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    default:
        break;
    }

    DWORD dwCreate = OPEN_EXISTING;
    if ((nOpenFlags & modeCreate) != 0)
    {
        dwCreate = (nOpenFlags & modeNoTruncate) != 0 ? OPEN_ALWAYS : CREATE_ALWAYS;
    }
    const DWORD dwAttributes =
        FILE_ATTRIBUTE_NORMAL |
        ((nOpenFlags & osSequentialScan) != 0 ? FILE_FLAG_SEQUENTIAL_SCAN : 0);

    // Handles are never inherited: the program starts other programs, which must
    // not keep its list files open. Paths beyond the old length limit are opened
    // in their long form.
    HANDLE h = CreateFileW(AfxLongPathForm(m_strFileName).c_str(), dwAccess, dwShare, nullptr, dwCreate,
                           dwAttributes, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        const DWORD dwError = GetLastError();
        if (pError != nullptr)
        {
            pError->m_lOsError = static_cast<LONG>(dwError);
            pError->m_cause = CFileException::OsErrorToException(pError->m_lOsError);
            pError->m_strFileName = m_strFileName;
        }
        SetLastError(dwError);
        return FALSE;
    }
    m_hFile.reset(h);
    return TRUE;
}

void CFile::Close()
{
    const HANDLE h = m_hFile.release();
    if (h != INVALID_HANDLE_VALUE && !CloseHandle(h))
    {
        ThrowOsError(GetLastError());
    }
}

void CFile::Abort() noexcept
{
    m_hFile.reset();
}

void CFile::ThrowOsError(DWORD dwError) const
{
    const LONG lOsError = static_cast<LONG>(dwError);
    AfxThrowFileException(CFileException::OsErrorToException(lOsError), lOsError, m_strFileName);
}

void CFile::CheckOpen() const
{
    if (!m_hFile.valid())
    {
        ThrowOsError(ERROR_INVALID_HANDLE);
    }
}

UINT CFile::Read(void* lpBuf, UINT nCount)
{
    CheckOpen();
    if (nCount == 0)
    {
        return 0;
    }
    DWORD nRead = 0;
    if (!ReadFile(m_hFile.get(), lpBuf, nCount, &nRead, nullptr))
    {
        ThrowOsError(GetLastError());
    }
    return nRead;
}

void CFile::Write(const void* lpBuf, UINT nCount)
{
    CheckOpen();
    if (nCount == 0)
    {
        return;
    }
    DWORD nWritten = 0;
    if (!WriteFile(m_hFile.get(), lpBuf, nCount, &nWritten, nullptr))
    {
        ThrowOsError(GetLastError());
    }
    if (nWritten != nCount)
    {
        // A file on a full disk takes what fits and reports success.
        ThrowOsError(ERROR_DISK_FULL);
    }
}

void CFile::Flush()
{
    CheckOpen();
    if (!FlushFileBuffers(m_hFile.get()))
    {
        ThrowOsError(GetLastError());
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom)
{
    CheckOpen();
    LARGE_INTEGER distance;
    distance.QuadPart = lOff;
    LARGE_INTEGER position;
    position.QuadPart = 0;
    if (!SetFilePointerEx(m_hFile.get(), distance, &position, nFrom))
    {
        ThrowOsError(GetLastError());
    }
    return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetPosition() const
{
    CheckOpen();
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    LARGE_INTEGER position;
    position.QuadPart = 0;
    if (!SetFilePointerEx(m_hFile.get(), distance, &position, FILE_CURRENT))
    {
        ThrowOsError(GetLastError());
    }
    return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetLength() const
{
    CheckOpen();
    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (!GetFileSizeEx(m_hFile.get(), &size))
    {
        ThrowOsError(GetLastError());
    }
    return static_cast<ULONGLONG>(size.QuadPart);
}

void CFile::SetLength(ULONGLONG dwNewLen)
{
    Seek(static_cast<LONGLONG>(dwNewLen), begin);
    if (!SetEndOfFile(m_hFile.get()))
    {
        ThrowOsError(GetLastError());
    }
}

std::wstring CFile::GetFileName() const
{
    const size_t pos = m_strFileName.find_last_of(L"\\/:");
    return pos == std::wstring::npos ? m_strFileName : m_strFileName.substr(pos + 1);
}

// ---- CArchive ----

CArchive::CArchive(CFile* pFile, UINT nMode, UINT nBufSize)
    : m_pFile(pFile), m_bLoading((nMode & load) != 0)
{
    if (m_pFile == nullptr || !m_pFile->IsOpen())
    {
        AfxThrowArchiveException(CArchiveException::genericException);
    }
    m_buffer.resize(nBufSize < 16 ? 16 : nBufSize);
}

CArchive::~CArchive()
{
    if (m_pFile != nullptr && !m_bLoading && m_nCur != 0)
    {
        try
        {
            m_pFile->Write(m_buffer.data(), static_cast<UINT>(m_nCur));
        }
        catch (CException* e)
        {
            e->Delete();
        }
    }
}

void CArchive::CheckLoading() const
{
    if (m_pFile == nullptr)
    {
        AfxThrowArchiveException(CArchiveException::genericException);
    }
    if (!m_bLoading)
    {
        AfxThrowArchiveException(CArchiveException::writeOnly, m_pFile->GetFilePath());
    }
}

void CArchive::CheckStoring() const
{
    if (m_pFile == nullptr)
    {
        AfxThrowArchiveException(CArchiveException::genericException);
    }
    if (m_bLoading)
    {
        AfxThrowArchiveException(CArchiveException::readOnly, m_pFile->GetFilePath());
    }
}

bool CArchive::FillBuffer(UINT nBytes)
{
    if (m_nMax - m_nCur >= nBytes)
    {
        return true;
    }
    // Keep what is left at the start, then read behind it until enough is there.
    const size_t nLeft = m_nMax - m_nCur;
    if (nLeft != 0 && m_nCur != 0)
    {
        std::memmove(m_buffer.data(), m_buffer.data() + m_nCur, nLeft);
    }
    m_nCur = 0;
    m_nMax = nLeft;
    while (m_nMax < nBytes)
    {
        const UINT nRead =
            m_pFile->Read(m_buffer.data() + m_nMax, static_cast<UINT>(m_buffer.size() - m_nMax));
        if (nRead == 0)
        {
            return false;
        }
        m_nMax += nRead;
    }
    return true;
}

UINT CArchive::Read(void* lpBuf, UINT nMax)
{
    CheckLoading();
    auto* pOut = static_cast<BYTE*>(lpBuf);
    UINT nDone = 0;
    while (nDone < nMax)
    {
        if (m_nCur == m_nMax && !FillBuffer(1))
        {
            break;
        }
        const size_t nTake = std::min<size_t>(nMax - nDone, m_nMax - m_nCur);
        std::memcpy(pOut + nDone, m_buffer.data() + m_nCur, nTake);
        m_nCur += nTake;
        nDone += static_cast<UINT>(nTake);
    }
    return nDone;
}

void CArchive::Write(const void* lpBuf, UINT nMax)
{
    CheckStoring();
    const auto* pIn = static_cast<const BYTE*>(lpBuf);
    while (nMax != 0)
    {
        if (m_nCur == m_buffer.size())
        {
            m_pFile->Write(m_buffer.data(), static_cast<UINT>(m_nCur));
            m_nCur = 0;
        }
        const size_t nTake = std::min<size_t>(nMax, m_buffer.size() - m_nCur);
        std::memcpy(m_buffer.data() + m_nCur, pIn, nTake);
        m_nCur += nTake;
        pIn += nTake;
        nMax -= static_cast<UINT>(nTake);
    }
}

void CArchive::WriteString(const wchar_t* psz, size_t nLength)
{
    // Written in pieces that a UINT byte count can hold.
    constexpr size_t kPiece = 1u << 28;
    while (nLength != 0)
    {
        const size_t n = nLength < kPiece ? nLength : kPiece;
        Write(psz, static_cast<UINT>(n * sizeof(wchar_t)));
        psz += n;
        nLength -= n;
    }
}

void CArchive::WriteString(const std::wstring& str)
{
    WriteString(str.data(), str.size());
}

bool CArchive::TakeCodeUnit(wchar_t& ch)
{
    if (!FillBuffer(sizeof(wchar_t)))
    {
        if (m_nCur != m_nMax)
        {
            AfxThrowArchiveException(CArchiveException::endOfFile, m_pFile->GetFilePath());
        }
        return false;
    }
    std::memcpy(&ch, m_buffer.data() + m_nCur, sizeof(wchar_t));
    m_nCur += sizeof(wchar_t);
    return true;
}

BOOL CArchive::ReadString(std::wstring& rString, size_t nMaxLength)
{
    CheckLoading();
    rString.clear();
    bool bAny = false;
    for (;;)
    {
        if (!FillBuffer(sizeof(wchar_t)))
        {
            if (m_nCur != m_nMax)
            {
                AfxThrowArchiveException(CArchiveException::endOfFile, m_pFile->GetFilePath());
            }
            return bAny ? TRUE : FALSE;
        }
        bAny = true;
        // Scan the whole code units the buffer holds for the line end.
        const size_t nUnits = (m_nMax - m_nCur) / sizeof(wchar_t);
        const BYTE* p = m_buffer.data() + m_nCur;
        size_t i = 0;
        wchar_t ch = 0;
        for (; i < nUnits; ++i)
        {
            std::memcpy(&ch, p + i * sizeof(wchar_t), sizeof(wchar_t));
            if (ch == L'\n' || ch == L'\r')
            {
                break;
            }
        }
        if (i > nMaxLength - rString.size())
        {
            AfxThrowArchiveException(CArchiveException::badFormat, m_pFile->GetFilePath());
        }
        const size_t nOld = rString.size();
        rString.resize(nOld + i);
        std::memcpy(rString.data() + nOld, p, i * sizeof(wchar_t));
        m_nCur += i * sizeof(wchar_t);
        if (i < nUnits)
        {
            m_nCur += sizeof(wchar_t);
            if (ch == L'\r')
            {
                wchar_t next = 0;
                TakeCodeUnit(next); // whatever follows CR belongs to the line end
            }
            return TRUE;
        }
    }
}

void CArchive::Flush()
{
    if (m_pFile == nullptr)
    {
        return;
    }
    if (m_bLoading)
    {
        // Give back what was read ahead, so the file position is where reading stopped.
        if (m_nMax != m_nCur)
        {
            m_pFile->Seek(-static_cast<LONGLONG>(m_nMax - m_nCur), CFile::current);
        }
        m_nCur = 0;
        m_nMax = 0;
    }
    else if (m_nCur != 0)
    {
        const UINT n = static_cast<UINT>(m_nCur);
        m_nCur = 0;
        m_pFile->Write(m_buffer.data(), n);
    }
}

void CArchive::Close()
{
    Flush();
    m_pFile = nullptr;
}

void CArchive::Abort() noexcept
{
    m_pFile = nullptr;
    m_nCur = 0;
    m_nMax = 0;
}
