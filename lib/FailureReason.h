#pragma once
// What reason a failed run records in QVS.ini ("UpdateFailureReason"): the first
// failure's own, never the last error of whatever ran after it, and never empty.
// A failure is a system error code (the system's text, on one line) or, where no
// code tells why, the program's own words.

#include <windows.h>

#include <string>

class CException;

class SCFailureReason
{
public:
    // The first of these calls wins; a code of 0 tells nothing and is ignored.
    void Note(DWORD dwError) noexcept;
    void Note(const std::wstring& strReason);
    bool IsNoted() const noexcept { return m_dwError != ERROR_SUCCESS || !m_strReason.empty(); }
    void Clear() noexcept;

    // The reason to record: the system's text for the code on one line, or the
    // program's words, or strNothingNoted when no failure was noted.
    std::wstring Text(const std::wstring& strNothingNoted) const;

private:
    DWORD m_dwError = ERROR_SUCCESS;
    std::wstring m_strReason;
};

// The system error a caught exception stands for; 0 when it names none.
DWORD SCErrorOfException(const CException* e) noexcept;
