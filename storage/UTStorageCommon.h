#pragma once

// Small routines that the back-ends share: how a copy's progress reads and which dates a copy sets.

#include "model/UTDosTime.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

namespace bfs {

// A percentage with at most two decimals and no trailing zeros or dot (40, 66.67, 100), the same in
// every locale.
inline std::string FormatPercent(double Value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed, 2);
    if (ec != std::errc()) return "0";
    std::string text(buf, end);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text.empty() ? "0" : text;
}

// The instant of a DOS date-time, or -1 for one that names no day (month or day 0, as a record that
// was never dated holds): such a date leaves a file's time as it is.
inline int64_t DosDateInstant(int32_t FileDate) {
    const auto d = static_cast<uint32_t>(FileDate);
    const uint32_t month = (d >> 21) & 0x0F, day = (d >> 16) & 0x1F;
    if (month < 1 || month > 12 || day < 1) return -1;
    return DosDateToUnixTime(FileDate);
}

}  // namespace bfs
