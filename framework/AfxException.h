#pragma once
// The framework's exception family. Exceptions are thrown by pointer, caught by
// pointer, and destroyed by the one handler that receives them (Delete).

#include "framework/AfxObject.h"

#include <string>

class CException : public CObject
{
    DECLARE_DYNAMIC(CException)
public:
    explicit CException(BOOL bAutoDelete = TRUE) noexcept : m_bAutoDelete(bAutoDelete) {}
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;

    // Destroys a heap exception; a static one (auto-delete off) survives.
    void Delete() noexcept;

    // Copies the exception's text (at most nMaxError - 1 characters) into lpszError.
    // The base class has no text: it writes an empty string and returns FALSE.
    virtual BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError,
                                 PUINT pnHelpContext = nullptr) const;

    BOOL m_bAutoDelete;

protected:
    // Writes text into the caller's buffer, cut to fit; TRUE when text is not empty.
    static BOOL CopyMessage(const std::wstring& text, LPWSTR lpszError, UINT nMaxError) noexcept;
};

class CMemoryException : public CException
{
    DECLARE_DYNAMIC(CMemoryException)
public:
    using CException::CException;
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;
};

class CNotSupportedException : public CException
{
    DECLARE_DYNAMIC(CNotSupportedException)
public:
    using CException::CException;
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;
};

class CResourceException : public CException
{
    DECLARE_DYNAMIC(CResourceException)
public:
    using CException::CException;
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;
};

class CUserException : public CException
{
    DECLARE_DYNAMIC(CUserException)
public:
    using CException::CException;
};

class COleException : public CException
{
    DECLARE_DYNAMIC(COleException)
public:
    explicit COleException(HRESULT sc = E_FAIL) noexcept : m_sc(sc) {}
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;
    HRESULT m_sc;
};

class CFileException : public CException
{
    DECLARE_DYNAMIC(CFileException)
public:
    enum
    {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    CFileException(int cause = none, LONG lOsError = -1, std::wstring fileName = {});

    // The cause that a system error code stands for.
    static int OsErrorToException(LONG lOsError) noexcept;

    // The system's text for the error, followed by the file concerned.
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;

    int m_cause;
    LONG m_lOsError;
    std::wstring m_strFileName;
};

class CArchiveException : public CException
{
    DECLARE_DYNAMIC(CArchiveException)
public:
    enum
    {
        none,
        genericException,
        readOnly,
        endOfFile,
        writeOnly,
        badIndex,
        badClass,
        badSchema,
        badFormat
    };

    CArchiveException(int cause = none, std::wstring fileName = {});
    BOOL GetErrorMessage(LPWSTR, UINT, PUINT = nullptr) const override;

    int m_cause;
    std::wstring m_strFileName;
};

// The system's message text for an error code, exactly as the system gives it
// (line end included), in the given language (0: the system's own choice);
// empty when the system has none.
std::wstring AfxSystemErrorText(DWORD dwError, DWORD dwLanguageId = 0);

// The same text on one line, without its line end, for messages and records;
// "Error <code>." when the system has no text.
std::wstring AfxSystemErrorLine(DWORD dwError);

[[noreturn]] void AfxThrowMemoryException();
[[noreturn]] void AfxThrowNotSupportedException();
[[noreturn]] void AfxThrowResourceException();
[[noreturn]] void AfxThrowUserException();
[[noreturn]] void AfxThrowOleException(HRESULT sc);
[[noreturn]] void AfxThrowFileException(int cause, LONG lOsError = -1,
                                        const std::wstring& fileName = {});
[[noreturn]] void AfxThrowArchiveException(int cause, const std::wstring& fileName = {});
