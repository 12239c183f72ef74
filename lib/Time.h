#pragma once
// SCDateTime: a local wall-clock date and time to the millisecond with a
// valid/invalid status, compared to the whole second, and its text forms.

#include <windows.h>

// <windows.h> defines GetCurrentTime as a macro for GetTickCount; the name is ours here.
#undef GetCurrentTime

#include <cstdint>
#include <string>

class SCDateTime
{
public:
    // All fields 0; status 0 (valid, to be filled) or 1 (invalid). A constant
    // expression, so that g_dtInvalid is in place before any dynamic initialization.
    constexpr explicit SCDateTime(int nStatus) noexcept : m_st{}, m_nStatus(nStatus) {}
    // Fields copied unchanged, status 0, no normalization.
    SCDateTime(SYSTEMTIME st);
    SCDateTime(const SCDateTime& other);
    // Status 0, milliseconds and day of week 0, then normalized.
    SCDateTime(WORD wYear, WORD wMonth, WORD wDay, WORD wHour, WORD wMinute, WORD wSecond);

    SCDateTime& operator=(const SCDateTime& other);
    SCDateTime& operator=(SYSTEMTIME st);

    // The current local time, milliseconds and day of week included.
    static SCDateTime GetCurrentTime();

    // Date from date, time of day from time; then normalized.
    void SetDateAndTime(const SCDateTime& date, const SCDateTime& time);

    // Fills in the day of week when the fields form a date from 1601 on; otherwise
    // leaves everything as it is and returns false. Never touches the status.
    bool Normalize();

    int GetStatus() const noexcept { return m_nStatus; }
    WORD GetYear() const noexcept { return m_st.wYear; }
    WORD GetMonth() const noexcept { return m_st.wMonth; }
    WORD GetDay() const noexcept { return m_st.wDay; }
    WORD GetHour() const noexcept { return m_st.wHour; }
    WORD GetMinute() const noexcept { return m_st.wMinute; }
    WORD GetSecond() const noexcept { return m_st.wSecond; }
    WORD GetDayOfWeek() const noexcept { return m_st.wDayOfWeek; }

    // Seconds since 1970-01-01 00:00:00 UTC, the fields read as local time;
    // -1 when invalid or not representable.
    int64_t GetTime() const;

    bool operator==(const SCDateTime& other) const;
    bool operator!=(const SCDateTime& other) const;
    bool operator<(const SCDateTime& other) const;
    bool operator>(const SCDateTime& other) const;
    bool operator<=(const SCDateTime& other) const;
    bool operator>=(const SCDateTime& other) const;

    // ---- Text forms ----
    std::wstring Format(UINT nPatternId) const;
    std::wstring Format(const std::wstring& strPattern) const;
    std::wstring ToString() const; // Format(2)
    BOOL Parse(LPCWSTR pszText, UINT nPatternId);
    BOOL Parse(LPCWSTR pszText, const std::wstring& strPattern);
    std::wstring GetDayOfWeekName() const;
    std::wstring GetMonthName() const;
    std::wstring FormatGmt(UINT nPatternId) const;
    BOOL ParseGmt(LPCWSTR pszText, UINT nPatternId);

    SYSTEMTIME m_st;
    int m_nStatus;
};

// The program-wide invalid value: all fields 0, status 1. Never changed.
extern const SCDateTime g_dtInvalid;
