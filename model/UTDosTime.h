#pragma once

#include <cstdint>

namespace bfs {

// File times are 32-bit DOS date-times in local time:
//   bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours, 16-20 day, 21-24 month, 25-31 years since 1980.
// Years from 2044 on set bit 31, so such a value is negative as an int32: compare dates with
// CompareFileDates (model/UTFileAttri.h, unsigned), never with the int32 operators. The saved-state text
// keeps the signed decimal form.

// The DOS date-time of an instant, from the local time at that instant (so a summer time and a
// winter time each get their own offset). Seconds are rounded down to even. Instants before
// 1980-01-01 00:00:00 give that time, instants after 2107-12-31 23:59:58 give that time.
int32_t UnixTimeToDosDate(int64_t UnixSeconds);

// The two ends of the range: 1980-01-01 00:00:00 and 2107-12-31 23:59:58.
constexpr int32_t DOS_DATE_EARLIEST = (1 << 21) | (1 << 16);
constexpr int32_t DOS_DATE_LATEST =
    static_cast<int32_t>((127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u);
// Whether a DOS date-time is one of the two ends of the range, which every instant beyond them is
// clamped to: a file moved from one such instant to another shows the same date, so its date
// cannot tell whether it changed.
constexpr bool DosDateAtBound(int32_t FileDate) {
    return FileDate == DOS_DATE_EARLIEST || FileDate == DOS_DATE_LATEST;
}

// The instant of a DOS date-time read as local time (daylight saving decided by the date itself).
// Fields out of range (a month 0 or 13) are carried over as mktime does; -1 when the time cannot be
// represented.
int64_t DosDateToUnixTime(int32_t DosDate);

// The instant of a DOS date-time, or -1 for one that names no day (month or day 0, as a record that
// was never dated holds): such a date leaves a file's time as it is.
inline int64_t DosDateInstant(int32_t FileDate) {
    const auto d = static_cast<uint32_t>(FileDate);
    const uint32_t month = (d >> 21) & 0x0F, day = (d >> 16) & 0x1F;
    if (month < 1 || month > 12 || day < 1) return -1;
    return DosDateToUnixTime(FileDate);
}

// The conversions keep each thread's recent local-time offsets; after the time zone changed (TZ set
// again, tzset), call this so that every thread looks them up afresh.
void ResetLocalTimeCache();

// The instant of a valid local date and time (month 1-12, day 1-31 of that month), daylight saving
// decided by the date itself; -1 when it cannot be represented.
int64_t LocalTimeToUnixTime(int Year, int Month, int Day, int Hour, int Minute, int Second);

// The DOS date-time (of local time) of a date and time given in UTC, as servers report them; 0 when a
// field is out of range.
int32_t UtcTimeToDosDate(int Year, int Month, int Day, int Hour, int Minute, int Second);

}  // namespace bfs
