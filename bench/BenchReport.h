#pragma once

// What the benchmarks share for printing their figures and measuring memory.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bfs::bench {

using TClock = std::chrono::steady_clock;

inline double Seconds(TClock::time_point From, TClock::time_point To) {
    return std::chrono::duration<double>(To - From).count();
}

// 1234567 -> "1,234,567".
inline std::string Grouped(long long Value) {
    std::string digits = std::to_string(Value < 0 ? -Value : Value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return Value < 0 ? "-" + out : out;
}

inline std::string Fixed(double Value, int Decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", Decimals, Value);
    return buf;
}

// Reads a "Name:   123 kB" line of /proc/self/status, in bytes; -1 when missing.
inline long long StatusBytes(const char* Field) {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return -1;
    char line[256];
    long long result = -1;
    const size_t len = std::strlen(Field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, Field, len) == 0) {
            result = std::atoll(line + len) * 1024;
            break;
        }
    }
    std::fclose(f);
    return result;
}

// Peak memory of the current process from a chosen point on. The peak (VmHWM) is reset to the
// current RSS by writing "5" to /proc/self/clear_refs; where that is refused, the lifetime peak
// ru_maxrss stands in (then every phase reports the run's peak so far: an upper bound).
class TPeakMeter {
  public:
    TPeakMeter() { m_Resettable = Reset(); }
    bool Resettable() const { return m_Resettable; }
    bool Reset() {
        const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = ::write(fd, "5", 1) == 1;
        ::close(fd);
        return ok;
    }
    long long Peak() const {
        if (m_Resettable) return StatusBytes("VmHWM:");
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return static_cast<long long>(usage.ru_maxrss) * 1024;
    }

  private:
    bool m_Resettable = false;
};

}  // namespace bfs::bench
