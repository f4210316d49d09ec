#include "model/UTDosTime.h"

#include <ctime>

namespace bfs {

namespace {

constexpr int FIRST_YEAR = 1980;
constexpr int LAST_YEAR = 2107;  // 1980 + 127, the most the seven year bits hold

uint32_t Pack(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<uint32_t>(year - FIRST_YEAR) << 25 | static_cast<uint32_t>(month) << 21 |
           static_cast<uint32_t>(day) << 16 | static_cast<uint32_t>(hour) << 11 |
           static_cast<uint32_t>(minute) << 5 | static_cast<uint32_t>(second / 2);
}

constexpr uint32_t EARLIEST = (0u << 25) | (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
constexpr uint32_t LATEST = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;

}  // namespace

int32_t UnixTimeToDosDate(int64_t UnixSeconds) {
    std::time_t t = static_cast<std::time_t>(UnixSeconds);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr)
        return static_cast<int32_t>(UnixSeconds < 0 ? EARLIEST : LATEST);
    int year = local.tm_year + 1900;
    if (year < FIRST_YEAR) return static_cast<int32_t>(EARLIEST);
    if (year > LAST_YEAR) return static_cast<int32_t>(LATEST);
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second stays in its minute
    return static_cast<int32_t>(
        Pack(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second));
}

int64_t DosDateToUnixTime(int32_t DosDate) {
    auto d = static_cast<uint32_t>(DosDate);
    std::tm local{};
    local.tm_year = static_cast<int>(d >> 25) + FIRST_YEAR - 1900;
    local.tm_mon = static_cast<int>((d >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((d >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((d >> 11) & 0x1F);
    local.tm_min = static_cast<int>((d >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(d & 0x1F) * 2;
    local.tm_isdst = -1;
    std::time_t t = std::mktime(&local);
    return static_cast<int64_t>(t);
}

}  // namespace bfs
