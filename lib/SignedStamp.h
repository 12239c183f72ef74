#pragma once
// The time stamps of a signed release. With a ReleaseKey, what the signed list says
// is the truth about a file, not the last-write time a share writer can set: every
// installed file takes the stamp the list gives for it, a file is copied when that
// stamp differs from the installed one's (not only when it is later), and a list
// whose stamps lie more than a day ahead of the clock is refused.
//
// A list stamp ("dd/MM/yy HH:mm:ss", two-digit years 1980-2079) is local time without
// a zone. An installed file is given the stamp read as this zone's standard time, so
// that it means the same file time all year; the walk shows file times with the
// offset in force now, which lies ahead of standard time by the daylight saving in
// force now (SCSignedStampShiftSeconds).

#include <windows.h>

#include <string>

// The stamp's fields, as seconds counted from a fixed day (no zone applied);
// false when the text is no stamp.
bool SCStampFieldSeconds(const std::wstring& strStamp, LONGLONG& nSeconds) noexcept;

// The file time an installed file takes for the stamp; false when it is no stamp.
bool SCSignedStampFileTime(const std::wstring& strStamp, FILETIME& ftUtc) noexcept;

// How many seconds the walk's stamp of a file lies ahead of the signed stamp it was
// given: the daylight saving in force now (0 outside it).
LONGLONG SCSignedStampShiftSeconds() noexcept;

// The signed stamp of an installed file the walk listed with strWalkStamp differs
// from the list's strListStamp (either no stamp counts as differing).
bool SCSignedStampsDiffer(const std::wstring& strListStamp, const std::wstring& strWalkStamp,
                          LONGLONG nShiftSeconds) noexcept;

// The stamp lies more than a day ahead of this computer's clock, or is no stamp.
bool SCIsStampAhead(const std::wstring& strStamp) noexcept;
