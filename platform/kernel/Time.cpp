// FILETIME (100 ns since 1601-01-01 UTC) and SYSTEMTIME conversions; local
// time follows the machine's time zone, daylight saving included.
#include <time.h>

#include <cstdint>

#include "win/winbase.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 as FILETIME
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;

uint64_t ToU64(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
void FromU64(uint64_t v, FILETIME* ft) {
    ft->dwLowDateTime = static_cast<DWORD>(v);
    ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Offset of local time from UTC, in seconds, at the UTC instant t.
int64_t LocalOffsetAt(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    if (!localtime_r(&tt, &tmv)) return 0;
    return tmv.tm_gmtoff;
}

void UnixToSystemTime(int64_t secs, unsigned ms, LPSYSTEMTIME st) {
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    int64_t rem = secs - days * 86400;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st->wHour = static_cast<WORD>(rem / 3600);
    st->wMinute = static_cast<WORD>(rem / 60 % 60);
    st->wSecond = static_cast<WORD>(rem % 60);
    st->wMilliseconds = static_cast<WORD>(ms);
}

}  // namespace

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t v = kUnixEpochTicks + static_cast<int64_t>(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100;
    FromU64(static_cast<uint64_t>(v), lpSystemTimeAsFileTime);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    FILETIME ft, local;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToLocalFileTime(&ft, &local);
    FileTimeToSystemTime(&local, lpSystemTime);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t v = ToU64(*lpFileTime);
    if (v > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t rel = static_cast<int64_t>(v) - kUnixEpochTicks;
    int64_t secs = rel >= 0 ? rel / kTicksPerSecond : -((-rel + kTicksPerSecond - 1) / kTicksPerSecond);
    unsigned ms = static_cast<unsigned>((rel - secs * kTicksPerSecond) / 10000);
    UnixToSystemTime(secs, ms, lpSystemTime);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME lpFileTime) {
    if (!st || !lpFileTime || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay);
    int64_t secs = days * 86400 + st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
    int64_t v = kUnixEpochTicks + secs * kTicksPerSecond + static_cast<int64_t>(st->wMilliseconds) * 10000;
    FromU64(static_cast<uint64_t>(v), lpFileTime);
    return TRUE;
}

namespace {

// Moves a FILETIME by the offset of local time the function gives for its
// whole seconds since 1970; times before 1601 become 1601.
template <typename Offset>
BOOL ShiftFileTime(const FILETIME* in, LPFILETIME out, int sign, Offset offsetFor) {
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t v = static_cast<int64_t>(ToU64(*in));
    int64_t shifted = v + sign * offsetFor((v - kUnixEpochTicks) / kTicksPerSecond) * kTicksPerSecond;
    FromU64(static_cast<uint64_t>(shifted < 0 ? 0 : shifted), out);
    return TRUE;
}

}  // namespace

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return ShiftFileTime(lpFileTime, lpLocalFileTime, 1, LocalOffsetAt);
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    // The offset depends on the UTC instant we are looking for: refine twice.
    return ShiftFileTime(lpLocalFileTime, lpFileTime, -1,
                         [](int64_t localSecs) { return LocalOffsetAt(localSecs - LocalOffsetAt(localSecs)); });
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    uint64_t a = ToU64(*lpFileTime1), b = ToU64(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}

DWORD GetTickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}
