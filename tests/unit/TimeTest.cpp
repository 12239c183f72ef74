// The date-time value: construction, day of week, seconds since 1970 and comparisons.
#include "lib/Time.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ctime>

namespace
{
using Fields = std::array<int, 9>; // year, month, day of week, day, h, m, s, ms, status

Fields FieldsOf(const SCDateTime& dt)
{
    const SYSTEMTIME& st = dt.m_st;
    return {st.wYear,   st.wMonth,  st.wDayOfWeek,    st.wDay,       st.wHour,
            st.wMinute, st.wSecond, st.wMilliseconds, dt.GetStatus()};
}

// Counts the runtime's _mktime64 conversions while it lives, by swapping this
// program's import-table entry for one that counts and passes the call on.
class MktimeCounter
{
public:
    MktimeCounter() : m_pSlot(FindImportSlot("_mktime64"))
    {
        if (m_pSlot != nullptr)
        {
            s_pfnReal = reinterpret_cast<MktimeFn>(*m_pSlot);
            Write(reinterpret_cast<ULONGLONG>(&Counting));
        }
        s_nCalls = 0;
    }
    ~MktimeCounter()
    {
        if (m_pSlot != nullptr)
        {
            Write(reinterpret_cast<ULONGLONG>(s_pfnReal));
        }
    }
    MktimeCounter(const MktimeCounter&) = delete;
    MktimeCounter& operator=(const MktimeCounter&) = delete;

    bool Installed() const { return m_pSlot != nullptr; }
    int Calls() const { return s_nCalls; }

private:
    using MktimeFn = __time64_t(__cdecl*)(tm*);

    static __time64_t __cdecl Counting(tm* pTm)
    {
        ++s_nCalls;
        return s_pfnReal(pTm);
    }

    void Write(ULONGLONG value)
    {
        DWORD dwOld = 0;
        VirtualProtect(m_pSlot, sizeof(*m_pSlot), PAGE_READWRITE, &dwOld);
        *m_pSlot = value;
        VirtualProtect(m_pSlot, sizeof(*m_pSlot), dwOld, &dwOld);
    }

    static ULONGLONG* FindImportSlot(const char* pszName)
    {
        const auto base = reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr));
        const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + static_cast<ULONG_PTR>(pDos->e_lfanew));
        const IMAGE_DATA_DIRECTORY& dir =
            pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* pImport =
                 reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
             pImport->Name != 0; ++pImport)
        {
            auto* pNames =
                reinterpret_cast<const IMAGE_THUNK_DATA*>(base + pImport->OriginalFirstThunk);
            auto* pSlots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + pImport->FirstThunk);
            for (; pNames->u1.AddressOfData != 0; ++pNames, ++pSlots)
            {
                if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal))
                {
                    continue;
                }
                const auto* pByName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + pNames->u1.AddressOfData);
                if (std::strcmp(pByName->Name, pszName) == 0)
                {
                    return &pSlots->u1.Function;
                }
            }
        }
        return nullptr;
    }

    ULONGLONG* m_pSlot;
    static inline MktimeFn s_pfnReal = nullptr;
    static inline int s_nCalls = 0;
};
} // namespace

TEST(DateTimeValue, Construction)
{
    EXPECT_EQ((Fields{0, 0, 0, 0, 0, 0, 0, 0, 1}), FieldsOf(g_dtInvalid));
    EXPECT_EQ((Fields{0, 0, 0, 0, 0, 0, 0, 0, 0}), FieldsOf(SCDateTime(0)));
    EXPECT_EQ((Fields{0, 0, 0, 0, 0, 0, 0, 0, 1}), FieldsOf(SCDateTime(1)));
    // Six fields: milliseconds 0, day of week filled in (5 March 2024 is a Tuesday).
    EXPECT_EQ((Fields{2024, 3, 2, 5, 7, 8, 9, 0, 0}), FieldsOf(SCDateTime(2024, 3, 5, 7, 8, 9)));
    // A date the month does not have keeps its fields and stays valid.
    EXPECT_EQ((Fields{2023, 2, 0, 29, 10, 0, 0, 0, 0}),
              FieldsOf(SCDateTime(2023, 2, 29, 10, 0, 0)));
    // From SYSTEMTIME nothing is checked or filled in, not even a wrong day of week.
    const SYSTEMTIME st = SYSTEMTIME{2024, 3, 6, 5, 7, 8, 9, 12};
    EXPECT_EQ((Fields{2024, 3, 6, 5, 7, 8, 9, 12, 0}), FieldsOf(SCDateTime(st)));
    SCDateTime dt(1);
    dt = st;
    EXPECT_EQ((Fields{2024, 3, 6, 5, 7, 8, 9, 12, 0}), FieldsOf(dt));
    dt = g_dtInvalid;
    EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt));
    const SCDateTime copy(dt);
    EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(copy));
    SCDateTime self(st);
    SCDateTime& alias = self;
    self = alias;
    EXPECT_EQ((Fields{2024, 3, 6, 5, 7, 8, 9, 12, 0}), FieldsOf(self));
}

TEST(DateTimeValue, NormalizeAcceptsOnlyDatesFrom1601)
{
    struct Case
    {
        SYSTEMTIME st;
        bool bAccepted;
        int nDayOfWeek;
    };
    // clang-format off
    const Case cases[] = {
        {SYSTEMTIME{1601, 1, 5, 1, 0, 0, 0, 0}, true, 1},
        {SYSTEMTIME{2000, 2, 0, 29, 23, 59, 59, 999}, true, 2},
        {SYSTEMTIME{1600, 12, 5, 31, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{1900, 2, 5, 29, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2023, 2, 5, 29, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 13, 5, 1, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 31, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 0, 0, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 1, 24, 0, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 1, 0, 60, 0, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 1, 0, 0, 60, 0}, false, 5},
        {SYSTEMTIME{2024, 4, 5, 1, 0, 0, 0, 1000}, false, 5},
    };
    // clang-format on
    for (const Case& c : cases)
    {
        SCDateTime dt(c.st);
        dt.m_nStatus = 7;
        EXPECT_EQ(c.bAccepted, dt.Normalize()) << c.st.wYear << "-" << c.st.wMonth;
        Fields expected = FieldsOf(SCDateTime(c.st));
        expected[2] = c.nDayOfWeek;
        expected[8] = 7;
        EXPECT_EQ(expected, FieldsOf(dt));
    }
}

TEST(DateTimeValue, SetDateAndTime)
{
    const SCDateTime date(SYSTEMTIME{2024, 3, 0, 5, 1, 2, 3, 4});
    const SCDateTime time(SYSTEMTIME{1999, 12, 0, 31, 22, 33, 44, 555});
    SCDateTime dt(1);
    dt.SetDateAndTime(date, time);
    EXPECT_EQ((Fields{2024, 3, 2, 5, 22, 33, 44, 555, 0}), FieldsOf(dt));
    // Either argument may be the value itself.
    SCDateTime self(time);
    self.SetDateAndTime(date, self);
    EXPECT_EQ((Fields{2024, 3, 2, 5, 22, 33, 44, 555, 0}), FieldsOf(self));
    dt.SetDateAndTime(g_dtInvalid, time);
    EXPECT_EQ(1, dt.GetStatus());
    dt.SetDateAndTime(date, g_dtInvalid);
    EXPECT_EQ(1, dt.GetStatus());
}

TEST(DateTimeValue, CurrentTimeIsLocalTimeWithMilliseconds)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    const SCDateTime now = SCDateTime::GetCurrentTime();
    SYSTEMTIME after;
    GetLocalTime(&after);
    EXPECT_EQ(0, now.GetStatus());
    EXPECT_LE(SCDateTime(before).GetTime(), now.GetTime());
    EXPECT_LE(now.GetTime(), SCDateTime(after).GetTime());
    EXPECT_GT(now.GetTime(), SCDateTime(2020, 1, 1, 0, 0, 0).GetTime());
    SCDateTime normalized(now);
    EXPECT_TRUE(normalized.Normalize());
    EXPECT_EQ(FieldsOf(normalized), FieldsOf(now));
}

TEST(DateTimeValue, GetTime)
{
    const SCDateTime base(2024, 1, 10, 12, 0, 0);
    EXPECT_EQ(1, SCDateTime(2024, 1, 10, 12, 0, 1).GetTime() - base.GetTime());
    EXPECT_EQ(86400, SCDateTime(2024, 1, 11, 12, 0, 0).GetTime() - base.GetTime());
    // Milliseconds and day of week play no part; out-of-range days roll over.
    EXPECT_EQ(base.GetTime(), SCDateTime(SYSTEMTIME{2024, 1, 6, 10, 12, 0, 0, 999}).GetTime());
    EXPECT_EQ(SCDateTime(2023, 3, 1, 10, 0, 0).GetTime(),
              SCDateTime(2023, 2, 29, 10, 0, 0).GetTime());
    EXPECT_EQ(SCDateTime(2024, 5, 1, 0, 0, 0).GetTime(),
              SCDateTime(2024, 4, 31, 0, 0, 0).GetTime());
    EXPECT_NE(-1, SCDateTime(2023, 3, 1, 10, 0, 0).GetTime());
    // Not representable: before 1970, beyond the library's limit, all zero, invalid.
    EXPECT_EQ(-1, SCDateTime(1960, 1, 1, 0, 0, 0).GetTime());
    EXPECT_EQ(-1, SCDateTime(3001, 6, 1, 0, 0, 0).GetTime());
    EXPECT_EQ(-1, SCDateTime(0).GetTime());
    EXPECT_EQ(-1, g_dtInvalid.GetTime());
    SCDateTime invalid(2024, 1, 10, 12, 0, 0);
    invalid.m_nStatus = 1;
    EXPECT_EQ(-1, invalid.GetTime());
}

TEST(DateTimeValue, ComparisonsAreToTheSecond)
{
    struct Case
    {
        SCDateTime a, b;
        int nOrder; // sign of a - b
    };
    SCDateTime early(SYSTEMTIME{2024, 6, 0, 1, 12, 0, 0, 100});
    SCDateTime late(SYSTEMTIME{2024, 6, 0, 1, 12, 0, 0, 900});
    SCDateTime invalidWithFields(2020, 5, 5, 0, 0, 0);
    invalidWithFields.m_nStatus = 1;
    const Case cases[] = {
        {early, late, 0},
        {late, early, 0},
        {SCDateTime(2024, 6, 1, 12, 0, 0), SCDateTime(2024, 6, 1, 12, 0, 1), -1},
        {SCDateTime(2025, 1, 1, 0, 0, 0), SCDateTime(2024, 12, 31, 23, 59, 59), 1},
        {g_dtInvalid, SCDateTime(2020, 5, 5, 0, 0, 0), -1},
        {SCDateTime(2020, 5, 5, 0, 0, 0), g_dtInvalid, 1},
        {g_dtInvalid, invalidWithFields, 0},
        {SCDateTime(1960, 1, 1, 0, 0, 0), g_dtInvalid, 0},
        {SCDateTime(0), SCDateTime(1960, 1, 1, 0, 0, 0), 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message()
                     << c.a.GetYear() << "-" << c.a.GetMonth() << "-" << c.a.GetDay() << " vs "
                     << c.b.GetYear() << "-" << c.b.GetMonth() << "-" << c.b.GetDay());
        EXPECT_EQ(c.nOrder == 0, c.a == c.b);
        EXPECT_EQ(c.nOrder != 0, c.a != c.b);
        EXPECT_EQ(c.nOrder < 0, c.a < c.b);
        EXPECT_EQ(c.nOrder > 0, c.a > c.b);
        EXPECT_EQ(c.nOrder <= 0, c.a <= c.b);
        EXPECT_EQ(c.nOrder >= 0, c.a >= c.b);
    }
}

TEST(DateTimeValue, SameObjectIsComparedWithoutConversion)
{
    MktimeCounter counter;
    ASSERT_TRUE(counter.Installed());
    const SCDateTime a(2024, 3, 5, 7, 8, 9);
    const SCDateTime copy(a);
    EXPECT_TRUE(a == a);
    EXPECT_FALSE(a != a);
    EXPECT_FALSE(a < a);
    EXPECT_FALSE(a > a);
    EXPECT_TRUE(a <= a);
    EXPECT_TRUE(a >= a);
    EXPECT_EQ(0, counter.Calls());
    // An equal value that is another object is converted, both sides.
    EXPECT_FALSE(a > copy);
    EXPECT_TRUE(a >= copy);
    EXPECT_EQ(4, counter.Calls());
}
