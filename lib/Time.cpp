#include "lib/Time.h"

#include "lib/ResString.h"
#include "lib/Xcpt.h"

#include <cwchar>
#include <ctime>
#include <new>

// Constant-initialized: static objects of other files may copy it while they are made.
constinit const SCDateTime g_dtInvalid(1);

namespace
{
// Days per month for the parser's checks, indexed by month; February is cut to 28
// outside leap years when the year was typed, and month 0 (a month whose second
// digit was never typed) has no days at all.
constexpr WORD kDaysInMonth[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeapYear(unsigned nYear) noexcept
{
    return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
}

// Whether the fields form a date and time that the platform's calendar holds: a
// Gregorian date from 1601 on and a time of day to the millisecond.
bool IsCalendarTime(const SYSTEMTIME& st) noexcept
{
    if (st.wYear < 1601 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wHour > 23 ||
        st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
    {
        return false;
    }
    const unsigned nDays = st.wMonth == 2 && !IsLeapYear(st.wYear) ? 28u : kDaysInMonth[st.wMonth];
    return st.wDay <= nDays;
}

// Time stamps are written with the Latin digits only; other scripts' digits would
// give values that mean nothing here.
bool IsDigit(wchar_t c) noexcept
{
    return c >= L'0' && c <= L'9';
}

// Pattern letters and am/pm markers are Latin letters: their lower case must not
// depend on the user's locale.
wchar_t ToLower(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// The number forms of the patterns: nWidth 0 is "%d", otherwise zero-padded to
// at least nWidth digits.
void AppendNumber(std::wstring& strText, unsigned nValue, int nWidth)
{
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%0*u", nWidth, nValue);
    strText += buffer;
}

// How far a token of nWanted characters may move without stepping over the
// pattern's terminating zero.
const wchar_t* Advance(const wchar_t* p, int nWanted) noexcept
{
    for (int i = 0; i < nWanted && *p != L'\0'; ++i)
    {
        ++p;
    }
    return p;
}

// One field of the parser: its digits so far, kept in 16 bits like the field itself.
struct ParsedField
{
    WORD value = 0;
    size_t count = 0;

    // Returns whether the digit was the field's first.
    bool Take(wchar_t c) noexcept
    {
        value = static_cast<WORD>(value * 10 + (c - L'0'));
        return count++ == 0;
    }
};
} // namespace

SCDateTime::SCDateTime(SYSTEMTIME st) : m_st(st), m_nStatus(0) {}

SCDateTime::SCDateTime(const SCDateTime& other) : m_st(other.m_st), m_nStatus(other.m_nStatus) {}

SCDateTime::SCDateTime(WORD wYear, WORD wMonth, WORD wDay, WORD wHour, WORD wMinute, WORD wSecond)
    : m_st{}, m_nStatus(0)
{
    m_st.wYear = wYear;
    m_st.wMonth = wMonth;
    m_st.wDay = wDay;
    m_st.wHour = wHour;
    m_st.wMinute = wMinute;
    m_st.wSecond = wSecond;
    Normalize();
}

SCDateTime& SCDateTime::operator=(const SCDateTime& other)
{
    if (this != &other)
    {
        m_nStatus = other.m_nStatus;
        m_st = other.m_st;
    }
    return *this;
}

SCDateTime& SCDateTime::operator=(SYSTEMTIME st)
{
    m_st = st;
    m_nStatus = 0;
    return *this;
}

SCDateTime SCDateTime::GetCurrentTime()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return SCDateTime(st);
}

void SCDateTime::SetDateAndTime(const SCDateTime& date, const SCDateTime& time)
{
    // A combination with an invalid part is no date and time at all. The two sets of
    // fields do not overlap, so either argument may be this object.
    m_nStatus = (date.m_nStatus != 0 || time.m_nStatus != 0) ? 1 : 0;
    m_st.wYear = date.m_st.wYear;
    m_st.wMonth = date.m_st.wMonth;
    m_st.wDay = date.m_st.wDay;
    m_st.wHour = time.m_st.wHour;
    m_st.wMinute = time.m_st.wMinute;
    m_st.wSecond = time.m_st.wSecond;
    m_st.wMilliseconds = time.m_st.wMilliseconds;
    Normalize();
}

bool SCDateTime::Normalize()
{
    // The round trip through a file time fills in the day of week. Wine's conversion
    // lets 29 February through in every year (and rolls it over to 1 March), so the
    // calendar is checked here before the platform is asked.
    FILETIME ft;
    if (!IsCalendarTime(m_st) || !SystemTimeToFileTime(&m_st, &ft))
    {
        return false;
    }
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st))
    {
        return false;
    }
    m_st = st;
    return true;
}

int64_t SCDateTime::GetTime() const
{
    if (m_nStatus != 0)
    {
        return -1;
    }
    tm broken = {};
    broken.tm_sec = m_st.wSecond;
    broken.tm_min = m_st.wMinute;
    broken.tm_hour = m_st.wHour;
    broken.tm_mday = m_st.wDay;
    broken.tm_mon = m_st.wMonth - 1;
    broken.tm_year = m_st.wYear - 1900;
    // The library decides from its zone rules whether daylight saving applies.
    broken.tm_isdst = -1;
    return _mktime64(&broken);
}

bool SCDateTime::operator==(const SCDateTime& other) const
{
    return this == &other || GetTime() == other.GetTime();
}

bool SCDateTime::operator!=(const SCDateTime& other) const
{
    return this != &other && GetTime() != other.GetTime();
}

bool SCDateTime::operator<(const SCDateTime& other) const
{
    return this != &other && GetTime() < other.GetTime();
}

bool SCDateTime::operator>(const SCDateTime& other) const
{
    return this != &other && GetTime() > other.GetTime();
}

bool SCDateTime::operator<=(const SCDateTime& other) const
{
    return this == &other || GetTime() <= other.GetTime();
}

bool SCDateTime::operator>=(const SCDateTime& other) const
{
    return this == &other || GetTime() >= other.GetTime();
}

// ---- Text forms ----

std::wstring SCDateTime::Format(UINT nPatternId) const
{
    const SCResAString strPattern(nPatternId);
    return Format(static_cast<const std::wstring&>(strPattern));
}

std::wstring SCDateTime::Format(const std::wstring& strPattern) const
{
    std::wstring strResult;
    if (m_nStatus != 0)
    {
        return strResult;
    }
    // The pattern ends at its first zero. Tokens look ahead at most to that zero and
    // never move past it, even those that always take the character after them.
    const wchar_t* p = strPattern.c_str();
    while (*p != L'\0')
    {
        const wchar_t c = *p;
        int nConsumed = 1;
        switch (c)
        {
        case L'd':
        case L'D':
            nConsumed = ToLower(p[1]) == L'd' ? 2 : 1;
            AppendNumber(strResult, m_st.wDay, nConsumed == 2 ? 2 : 0);
            break;
        case L'M':
            if (p[1] == L'M' && p[2] == L'M')
            {
                nConsumed = 3;
                strResult += GetMonthName();
            }
            else
            {
                nConsumed = p[1] == L'M' ? 2 : 1;
                AppendNumber(strResult, m_st.wMonth, nConsumed == 2 ? 2 : 0);
            }
            break;
        case L'y':
        case L'Y':
            // The second and fourth characters are taken unseen; only the third decides.
            // A last y has no third character to look at and writes the short form.
            if (p[1] != L'\0' && ToLower(p[2]) == L'y')
            {
                nConsumed = 4;
                AppendNumber(strResult, m_st.wYear, 4);
            }
            else
            {
                nConsumed = 2;
                AppendNumber(strResult, m_st.wYear % 100u, 2);
            }
            break;
        case L'H':
            nConsumed = ToLower(p[1]) == L'h' ? 2 : 1;
            AppendNumber(strResult, m_st.wHour, nConsumed == 2 ? 2 : 0);
            break;
        case L'h':
        {
            const unsigned nHour12 = m_st.wHour > 12 ? m_st.wHour - 12u : m_st.wHour;
            nConsumed = ToLower(p[1]) == L'h' ? 2 : 1;
            AppendNumber(strResult, nHour12, nConsumed == 2 ? 2 : 0);
            break;
        }
        case L'm':
            nConsumed = p[1] == L'm' ? 2 : 1;
            AppendNumber(strResult, m_st.wMinute, nConsumed == 2 ? 2 : 0);
            break;
        case L's':
        case L'S':
            nConsumed = ToLower(p[1]) == L's' ? 2 : 1;
            AppendNumber(strResult, m_st.wSecond, nConsumed == 2 ? 2 : 0);
            break;
        case L'f':
        case L'F':
            if (ToLower(p[1]) == L'f')
            {
                nConsumed = ToLower(p[2]) == L'f' ? 3 : 2;
            }
            AppendNumber(strResult, m_st.wMilliseconds, nConsumed == 1 ? 0 : nConsumed);
            break;
        case L'T':
            nConsumed = 2;
            strResult += m_st.wHour <= 11 ? L"AM" : L"PM";
            break;
        case L't':
            nConsumed = 2;
            strResult += m_st.wHour <= 11 ? L"am" : L"pm";
            break;
        case L'W':
        case L'w':
            strResult += GetDayOfWeekName();
            break;
        default:
            strResult += c;
            break;
        }
        p = Advance(p, nConsumed);
    }
    return strResult;
}

std::wstring SCDateTime::ToString() const
{
    return Format(2);
}

std::wstring SCDateTime::GetDayOfWeekName() const
{
    if (m_st.wDayOfWeek > 6)
    {
        return std::wstring();
    }
    return SCResUString(7u + m_st.wDayOfWeek);
}

std::wstring SCDateTime::GetMonthName() const
{
    if (m_st.wMonth < 1 || m_st.wMonth > 12)
    {
        return std::wstring();
    }
    return SCResUString(13u + m_st.wMonth);
}

BOOL SCDateTime::Parse(LPCWSTR pszText, UINT nPatternId)
{
    try
    {
        const SCResAString strPattern(nPatternId);
        return Parse(pszText, static_cast<const std::wstring&>(strPattern));
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    catch (...)
    {
        // Loading the pattern can fail only for want of memory; the caller learns of
        // it from the result like of any other failure.
    }
    *this = g_dtInvalid;
    return FALSE;
}

BOOL SCDateTime::Parse(LPCWSTR pszText, const std::wstring& strPattern)
{
    try
    {
        if (pszText == nullptr)
        {
            SC_THROW(SC_NO_CODE);
        }
        ParsedField day, month, year, hour, minute, second, millisecond;
        wchar_t ampm[2] = {};
        int nAmPm = 0;
        bool b24Hour = false;
        // A two-letter day or month of which only the first digit was typed may be 0.
        bool bDayFlag = false;
        bool bMonthFlag = false;

        // The text leads: the walk ends with it, wherever the pattern stands. The
        // pattern's own end is matched as a literal, which no text character equals.
        const wchar_t* t = pszText;
        const wchar_t* p = strPattern.c_str();
        while (*t != L'\0')
        {
            const wchar_t c = *t;
            switch (*p)
            {
            case L'd':
            case L'D':
            case L'M':
            case L'm':
            case L'H':
            case L'h':
            {
                if (!IsDigit(c))
                {
                    SC_THROW(SC_NO_CODE);
                }
                ParsedField* pField = &day;
                bool* pFlag = nullptr;
                wchar_t cLetter = L'd';
                switch (*p)
                {
                case L'd':
                case L'D':
                    pFlag = &bDayFlag;
                    break;
                case L'M':
                    pField = &month;
                    pFlag = &bMonthFlag;
                    cLetter = L'm';
                    break;
                case L'm':
                    pField = &minute;
                    cLetter = L'm';
                    break;
                default:
                    b24Hour = b24Hour || *p == L'H';
                    pField = &hour;
                    cLetter = L'h';
                    break;
                }
                const bool bFirst = pField->Take(c);
                const bool bTwoLetters = ToLower(p[1]) == cLetter;
                if (pFlag != nullptr)
                {
                    *pFlag = bFirst && bTwoLetters;
                }
                // Written once, the letter takes a second digit when one follows.
                if (!(bFirst && !bTwoLetters && IsDigit(t[1])))
                {
                    ++p;
                }
                break;
            }
            case L'y':
            case L'Y':
            case L's':
            case L'S':
            case L'f':
            case L'F':
            {
                if (!IsDigit(c))
                {
                    SC_THROW(SC_NO_CODE);
                }
                const wchar_t cLetter = ToLower(*p);
                ParsedField& field = cLetter == L'y'   ? year
                                     : cLetter == L's' ? second
                                                       : millisecond;
                field.Take(c);
                ++p;
                break;
            }
            case L't':
            case L'T':
            {
                const wchar_t cLower = ToLower(c);
                if (cLower != L'a' && cLower != L'p' && cLower != L'm')
                {
                    SC_THROW(SC_NO_CODE);
                }
                if (nAmPm == 2)
                {
                    SC_THROW(SC_NO_CODE);
                }
                ampm[nAmPm++] = cLower;
                ++p;
                break;
            }
            default:
                if (c != *p)
                {
                    SC_THROW(SC_NO_CODE);
                }
                ++p;
                break;
            }
            ++t;
        }

        const SCDateTime now = GetCurrentTime();

        if (year.count >= 1 && year.value < 100)
        {
            year.value = static_cast<WORD>(year.value + (year.value < 80 ? 2000 : 1900));
        }
        if (month.count >= 1)
        {
            if (bMonthFlag)
            {
                if (month.value > 12)
                {
                    SC_THROW(SC_NO_CODE);
                }
            }
            else if (month.value < 1 || month.value > 12)
            {
                SC_THROW(SC_NO_CODE);
            }
        }
        if (day.count >= 1)
        {
            WORD nLimit = 31;
            if (month.count >= 1)
            {
                nLimit = kDaysInMonth[month.value];
                if (month.value == 2 && year.count >= 2 && !IsLeapYear(year.value))
                {
                    nLimit = 28;
                }
            }
            if (bDayFlag)
            {
                if (day.value > nLimit)
                {
                    SC_THROW(SC_NO_CODE);
                }
            }
            else if (day.value < 1 || day.value > nLimit)
            {
                SC_THROW(SC_NO_CODE);
            }
        }
        if (hour.count >= 1)
        {
            if (hour.value > (b24Hour ? 23 : 12))
            {
                SC_THROW(SC_NO_CODE);
            }
            if (ampm[0] == L'a' && hour.value > 11)
            {
                SC_THROW(SC_NO_CODE);
            }
            if (ampm[0] == L'p' && hour.value == 0)
            {
                SC_THROW(SC_NO_CODE);
            }
            if (ampm[0] == L'p' && hour.value < 12)
            {
                hour.value = static_cast<WORD>(hour.value + 12);
            }
        }
        if (minute.count >= 1 && minute.value > 59)
        {
            SC_THROW(SC_NO_CODE);
        }
        if (second.count >= 1 && second.value > 59)
        {
            SC_THROW(SC_NO_CODE);
        }
        if (millisecond.count >= 1 && millisecond.value > 999)
        {
            SC_THROW(SC_NO_CODE);
        }
        if (nAmPm >= 1 && ampm[0] != L'a' && ampm[0] != L'p')
        {
            SC_THROW(SC_NO_CODE);
        }
        if (nAmPm == 2 && ampm[1] != L'm')
        {
            SC_THROW(SC_NO_CODE);
        }

        // What the text did not reach is today at midnight.
        SCDateTime value(0);
        value.SetDateAndTime(now, value);
        const struct
        {
            const ParsedField& field;
            WORD& target;
        } fields[] = {
            {day, value.m_st.wDay},
            {month, value.m_st.wMonth},
            {year, value.m_st.wYear},
            {hour, value.m_st.wHour},
            {minute, value.m_st.wMinute},
            {second, value.m_st.wSecond},
            {millisecond, value.m_st.wMilliseconds},
        };
        for (const auto& entry : fields)
        {
            if (entry.field.count >= 1)
            {
                entry.target = entry.field.value;
            }
        }
        value.Normalize();
        *this = value;
        return TRUE;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
        // Report it as the framework reports memory exhaustion.
        try
        {
            AfxThrowMemoryException();
        }
        catch (CException* e)
        {
            SC_HANDLE(e);
        }
    }
    catch (...)
    {
        // Nothing else is expected here; the value still ends invalid.
    }
    *this = g_dtInvalid;
    return FALSE;
}

std::wstring SCDateTime::FormatGmt(UINT nPatternId) const
{
    const __time64_t nTime = GetTime();
    // A value without a second count has no UTC form; it reads like an invalid value.
    if (nTime == -1)
    {
        return std::wstring();
    }
    const tm* pUtc = _gmtime64(&nTime);
    if (pUtc == nullptr)
    {
        return std::wstring();
    }
    const SCDateTime utc(static_cast<WORD>(pUtc->tm_year + 1900),
                         static_cast<WORD>(pUtc->tm_mon + 1), static_cast<WORD>(pUtc->tm_mday),
                         static_cast<WORD>(pUtc->tm_hour), static_cast<WORD>(pUtc->tm_min),
                         static_cast<WORD>(pUtc->tm_sec));
    return utc.Format(nPatternId);
}

BOOL SCDateTime::ParseGmt(LPCWSTR pszText, UINT nPatternId)
{
    SCDateTime utc(0);
    SYSTEMTIME stLocal;
    // A parsed value need not form a date (29 February of a year not typed); such a
    // value has no local time, whatever the platform's conversion would make of it.
    if (utc.Parse(pszText, nPatternId) && IsCalendarTime(utc.m_st) &&
        SystemTimeToTzSpecificLocalTime(nullptr, &utc.m_st, &stLocal))
    {
        *this = stLocal;
        return TRUE;
    }
    *this = g_dtInvalid;
    return FALSE;
}
