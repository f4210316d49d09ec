#include "model/UTDosTime.h"

#include <ctime>

namespace bfs {

namespace {

constexpr int FIRST_YEAR = 1980;
constexpr int LAST_YEAR = 2107;  // 1980 + 127, the most the seven year bits hold
constexpr int64_t SECONDS_PER_DAY = 86400;

uint32_t Pack(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<uint32_t>(year - FIRST_YEAR) << 25 | static_cast<uint32_t>(month) << 21 |
           static_cast<uint32_t>(day) << 16 | static_cast<uint32_t>(hour) << 11 |
           static_cast<uint32_t>(minute) << 5 | static_cast<uint32_t>(second / 2);
}

constexpr auto EARLIEST = static_cast<uint32_t>(DOS_DATE_EARLIEST);
constexpr auto LATEST = static_cast<uint32_t>(DOS_DATE_LATEST);

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the civil-calendar algorithms).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

// The local time's offset from UTC (seconds east) at instant T. A listing converts every entry's time,
// and the C library's conversion takes a process-wide lock each time; so each thread keeps the offsets
// of the last few quarter hours it met. An offset is kept only when it is the same at both ends of
// its quarter hour, so a change of daylight saving inside one is never smoothed over.
constexpr int64_t SPAN = 900;
constexpr int CACHE_SLOTS = 16;
struct TOffsetSlot {
    int64_t Span = INT64_MIN;
    long Offset = 0;
};
thread_local TOffsetSlot t_Offsets[CACHE_SLOTS];
thread_local unsigned t_Generation = 0;
unsigned g_Generation = 0;  // bumped by ResetLocalTimeCache

bool OffsetAt(int64_t T, long& Offset) {
    const std::time_t t = static_cast<std::time_t>(T);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) return false;
    Offset = local.tm_gmtoff;
    return true;
}

bool LocalOffset(int64_t T, long& Offset) {
    if (t_Generation != g_Generation) {
        for (auto& slot : t_Offsets) slot = TOffsetSlot{};
        t_Generation = g_Generation;
    }
    const int64_t span = FloorDiv(T, SPAN);
    TOffsetSlot& slot = t_Offsets[static_cast<uint64_t>(span) % CACHE_SLOTS];
    if (slot.Span == span) {
        Offset = slot.Offset;
        return true;
    }
    long first = 0, last = 0;
    if (!OffsetAt(span * SPAN, first) || !OffsetAt(span * SPAN + SPAN - 1, last)) return OffsetAt(T, Offset);
    if (first != last) return OffsetAt(T, Offset);
    slot = {span, first};
    Offset = first;
    return true;
}

}  // namespace

void ResetLocalTimeCache() {
    ++g_Generation;
}

int32_t UnixTimeToDosDate(int64_t UnixSeconds) {
    // Far outside the range (a day of margin for any zone's offset) is clamped without arithmetic
    // that could overflow.
    constexpr int64_t FIRST_INSTANT = 315532800 - SECONDS_PER_DAY;  // 1980-01-01 UTC, less a day
    constexpr int64_t END_INSTANT = 4354819200 + SECONDS_PER_DAY;   // 2108-01-01 UTC, plus a day
    if (UnixSeconds < FIRST_INSTANT) return static_cast<int32_t>(EARLIEST);
    if (UnixSeconds > END_INSTANT) return static_cast<int32_t>(LATEST);
    long offset = 0;
    if (!LocalOffset(UnixSeconds, offset)) return static_cast<int32_t>(UnixSeconds < 0 ? EARLIEST : LATEST);
    const int64_t local = UnixSeconds + offset;
    const int64_t days = FloorDiv(local, SECONDS_PER_DAY);
    const int64_t secs = local - days * SECONDS_PER_DAY;
    int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    if (year < FIRST_YEAR) return static_cast<int32_t>(EARLIEST);
    if (year > LAST_YEAR) return static_cast<int32_t>(LATEST);
    const int hour = static_cast<int>(secs / 3600), minute = static_cast<int>(secs / 60 % 60);
    return static_cast<int32_t>(
        Pack(static_cast<int>(year), month, day, hour, minute, static_cast<int>(secs % 60)));
}

int64_t DosDateToUnixTime(int32_t DosDate) {
    const auto d = static_cast<uint32_t>(DosDate);
    const int year = static_cast<int>(d >> 25) + FIRST_YEAR;
    const int month = static_cast<int>((d >> 21) & 0x0F);
    const int day = static_cast<int>((d >> 16) & 0x1F);
    const int hour = static_cast<int>((d >> 11) & 0x1F);
    const int minute = static_cast<int>((d >> 5) & 0x3F);
    const int second = static_cast<int>(d & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1) {
        // Out-of-range fields are carried over the way the C library normalises them.
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        return static_cast<int64_t>(std::mktime(&local));
    }
    return LocalTimeToUnixTime(year, month, day, hour, minute, second);
}

int64_t LocalTimeToUnixTime(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    // The wall-clock time as if it were UTC, then corrected by the offset in force at that instant
    // (found from a first guess, so a date in summer gets the summer offset).
    const int64_t wall =
        DaysFromCivil(Year, Month, Day) * SECONDS_PER_DAY + Hour * 3600 + Minute * 60 + Second;
    long offset = 0;
    if (!LocalOffset(wall, offset)) return -1;
    long corrected = 0;
    if (!LocalOffset(wall - offset, corrected)) return -1;
    return wall - corrected;
}

int32_t UtcTimeToDosDate(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    if (Month < 1 || Month > 12 || Day < 1 || Day > 31 || Hour > 23 || Minute > 59 || Second > 60) return 0;
    std::tm tm{};
    tm.tm_year = Year - 1900;
    tm.tm_mon = Month - 1;
    tm.tm_mday = Day;
    tm.tm_hour = Hour;
    tm.tm_min = Minute;
    tm.tm_sec = Second;
    return UnixTimeToDosDate(static_cast<int64_t>(::timegm(&tm)));
}

}  // namespace bfs
