#pragma once
// Files and buffered archives. CFile owns one Win32 file handle and raises
// CFileException (system error code and file name) when an operation fails;
// CArchive reads or writes a CFile through a buffer and raises CArchiveException
// when what it reads is not what it expects.

#include "framework/AfxException.h"
#include "framework/AfxHandle.h"
#include "framework/AfxObject.h"

#include <cstdint>
#include <string>
#include <vector>

class CFile : public CObject
{
public:
    // Open flags: access in the low two bits, sharing in bits 4-6, creation above.
    enum OpenFlags : UINT
    {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        osSequentialScan = 0x80000,
    };

    enum SeekPosition : UINT
    {
        begin = FILE_BEGIN,
        current = FILE_CURRENT,
        end = FILE_END,
    };

    CFile() noexcept = default;
    // Opens the file; raises CFileException when it cannot be opened.
    CFile(const std::wstring& strFileName, UINT nOpenFlags);
    ~CFile() override;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens the file (closing whatever this object had open). FALSE when it cannot
    // be opened; pError, when given, then tells why.
    virtual BOOL Open(const std::wstring& strFileName, UINT nOpenFlags,
                      CFileException* pError = nullptr);
    // Closes the file; raises when the system reports a failure. The object is
    // closed afterwards in any case.
    virtual void Close();
    // Closes the file without raising.
    virtual void Abort() noexcept;

    // Bytes read: fewer than asked only at the end of the file.
    virtual UINT Read(void* lpBuf, UINT nCount);
    // Writes all nCount bytes or raises.
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual void Flush();

    // The new position from the start of the file.
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    void SeekToBegin() { Seek(0, begin); }
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    virtual ULONGLONG GetPosition() const;
    virtual ULONGLONG GetLength() const;
    // Sets the file's length; the position is left at the new end.
    virtual void SetLength(ULONGLONG dwNewLen);

    // The last element of the opened path: name and extension.
    virtual std::wstring GetFileName() const;
    // The opened path, made absolute.
    virtual std::wstring GetFilePath() const { return m_strFileName; }

    BOOL IsOpen() const noexcept { return m_hFile.valid() ? TRUE : FALSE; }
    HANDLE GetHandle() const noexcept { return m_hFile.get(); }

protected:
    // Raises CFileException for a system error code and this object's file.
    [[noreturn]] void ThrowOsError(DWORD dwError) const;
    void CheckOpen() const;

    UniqueFile m_hFile;
    std::wstring m_strFileName;
};

class CArchive
{
public:
    enum Mode : UINT
    {
        store = 0,
        load = 1,
    };

    // Reads (load) or writes (store) the open file through a buffer of nBufSize bytes.
    CArchive(CFile* pFile, UINT nMode, UINT nBufSize = 4096);
    // A storing archive that was neither closed nor aborted writes what its buffer
    // still holds; a failure there is dropped, since nothing could report it.
    ~CArchive();
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    BOOL IsLoading() const noexcept { return m_bLoading ? TRUE : FALSE; }
    BOOL IsStoring() const noexcept { return m_bLoading ? FALSE : TRUE; }
    CFile* GetFile() const noexcept { return m_pFile; }

    // Bytes read: fewer than asked only at the end of the file.
    UINT Read(void* lpBuf, UINT nMax);
    void Write(const void* lpBuf, UINT nMax);
    // 16-bit text as its code units, nothing added.
    void WriteString(const std::wstring& str);
    void WriteString(const wchar_t* psz, size_t nLength);

    // Reads one line of 16-bit text (code units in the file's byte order). A line
    // ends at LF, or at CR together with the one code unit that follows it; the
    // line end is not kept. FALSE at the end of the file when nothing was read.
    // A line longer than nMaxLength code units raises badFormat; a file that ends
    // inside a code unit raises endOfFile.
    BOOL ReadString(std::wstring& rString, size_t nMaxLength = SIZE_MAX);

    // Writes the buffer to the file (storing) or gives back what was read ahead
    // by moving the file position back (loading).
    void Flush();
    // Flushes and detaches from the file; the file stays open.
    void Close();
    // Detaches without writing anything.
    void Abort() noexcept;

private:
    // Makes at least nBytes bytes available; FALSE when the file has fewer left.
    bool FillBuffer(UINT nBytes);
    void CheckLoading() const;
    void CheckStoring() const;
    bool TakeCodeUnit(wchar_t& ch);

    CFile* m_pFile;
    bool m_bLoading;
    std::vector<BYTE> m_buffer;
    size_t m_nCur = 0; // next byte to read or write
    size_t m_nMax = 0; // end of the bytes read (loading)
};
