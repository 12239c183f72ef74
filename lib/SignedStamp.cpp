#include "lib/SignedStamp.h"

namespace
{
constexpr LONGLONG kDaySeconds = 24 * 3600;
// FILETIME counts 100 ns units.
constexpr LONGLONG kUnitsPerSecond = 10000000;

bool TwoDigits(const std::wstring& text, size_t nAt, int& nValue) noexcept
{
    if (nAt + 2 > text.size() || text[nAt] < L'0' || text[nAt] > L'9' || text[nAt + 1] < L'0' ||
        text[nAt + 1] > L'9')
    {
        return false;
    }
    nValue = (text[nAt] - L'0') * 10 + (text[nAt + 1] - L'0');
    return true;
}

// Days from 1 January 1601 (the file time's day 0) to the date.
LONGLONG DaysOf(int nYear, int nMonth, int nDay) noexcept
{
    static constexpr int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int nYears = nYear - 1601;
    LONGLONG nDays = 365LL * nYears + nYears / 4 - nYears / 100 + nYears / 400;
    const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    nDays += kBefore[nMonth - 1] + (bLeap && nMonth > 2 ? 1 : 0);
    return nDays + nDay - 1;
}

LONGLONG UnitsOf(const FILETIME& ft) noexcept
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) |
                                 ft.dwLowDateTime);
}

// The bias of standard time and the one in force now, in minutes (UTC = local + bias).
void Biases(LONG& nStandard, LONG& nNow) noexcept
{
    TIME_ZONE_INFORMATION zone{};
    const DWORD dwZone = GetTimeZoneInformation(&zone);
    nStandard = zone.Bias + zone.StandardBias;
    nNow = dwZone == TIME_ZONE_ID_DAYLIGHT   ? zone.Bias + zone.DaylightBias
           : dwZone == TIME_ZONE_ID_STANDARD ? nStandard
                                             : zone.Bias;
}
} // namespace

bool SCStampFieldSeconds(const std::wstring& strStamp, LONGLONG& nSeconds) noexcept
{
    int nDay = 0, nMonth = 0, nYear = 0, nHour = 0, nMinute = 0, nSecond = 0;
    if (strStamp.size() != 17 || strStamp[2] != L'/' || strStamp[5] != L'/' ||
        strStamp[8] != L' ' || strStamp[11] != L':' || strStamp[14] != L':' ||
        !TwoDigits(strStamp, 0, nDay) || !TwoDigits(strStamp, 3, nMonth) ||
        !TwoDigits(strStamp, 6, nYear) || !TwoDigits(strStamp, 9, nHour) ||
        !TwoDigits(strStamp, 12, nMinute) || !TwoDigits(strStamp, 15, nSecond))
    {
        return false;
    }
    // The lists' window of two-digit years.
    nYear += nYear < 80 ? 2000 : 1900;
    static constexpr int kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > kDaysIn[nMonth - 1] ||
        (nMonth == 2 && nDay == 29 && !bLeap) || nHour > 23 || nMinute > 59 || nSecond > 59)
    {
        return false;
    }
    nSeconds = DaysOf(nYear, nMonth, nDay) * kDaySeconds + nHour * 3600 + nMinute * 60 + nSecond;
    return true;
}

bool SCSignedStampFileTime(const std::wstring& strStamp, FILETIME& ftUtc) noexcept
{
    LONGLONG nSeconds = 0;
    if (!SCStampFieldSeconds(strStamp, nSeconds))
    {
        return false;
    }
    LONG nStandard = 0, nNow = 0;
    Biases(nStandard, nNow);
    const auto nUnits = static_cast<ULONGLONG>((nSeconds + nStandard * 60LL) * kUnitsPerSecond);
    ftUtc.dwLowDateTime = static_cast<DWORD>(nUnits);
    ftUtc.dwHighDateTime = static_cast<DWORD>(nUnits >> 32);
    return true;
}

LONGLONG SCSignedStampShiftSeconds() noexcept
{
    LONG nStandard = 0, nNow = 0;
    Biases(nStandard, nNow);
    return (nStandard - nNow) * 60LL;
}

bool SCSignedStampsDiffer(const std::wstring& strListStamp, const std::wstring& strWalkStamp,
                          LONGLONG nShiftSeconds) noexcept
{
    LONGLONG nList = 0, nWalk = 0;
    return !SCStampFieldSeconds(strListStamp, nList) || !SCStampFieldSeconds(strWalkStamp, nWalk) ||
           nWalk - nShiftSeconds != nList;
}

bool SCIsStampAhead(const std::wstring& strStamp) noexcept
{
    LONGLONG nSeconds = 0;
    if (!SCStampFieldSeconds(strStamp, nSeconds))
    {
        return true;
    }
    // Against the local clock, as the publisher's stamp was local: a day covers
    // every zone's difference.
    SYSTEMTIME stNow{};
    GetLocalTime(&stNow);
    FILETIME ftNow{};
    SystemTimeToFileTime(&stNow, &ftNow);
    return nSeconds > UnitsOf(ftNow) / kUnitsPerSecond + kDaySeconds;
}
