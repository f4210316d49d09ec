#include "model/UTDosTime.h"
#include "model/UTFileAttri.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace bfs {
namespace {

// Runs each test in a zone with daylight saving, so summer and winter dates use different offsets.
class DosTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* old = std::getenv("TZ")) m_OldTz = old;
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
        ResetLocalTimeCache();
    }
    void TearDown() override {
        if (m_OldTz)
            ::setenv("TZ", m_OldTz->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        ResetLocalTimeCache();
    }
    static int64_t Local(int y, int mo, int d, int h, int mi, int s) {
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        tm.tm_isdst = -1;
        return static_cast<int64_t>(std::mktime(&tm));
    }
    static uint32_t Bits(int y, int mo, int d, int h, int mi, int s) {
        return static_cast<uint32_t>(y - 1980) << 25 | static_cast<uint32_t>(mo) << 21 |
               static_cast<uint32_t>(d) << 16 | static_cast<uint32_t>(h) << 11 |
               static_cast<uint32_t>(mi) << 5 | static_cast<uint32_t>(s / 2);
    }
    std::optional<std::string> m_OldTz;
};

TEST_F(DosTimeTest, FieldsAndRoundTrip) {
    struct TCase {
        int Y, Mo, D, H, Mi, S;
    };
    const TCase cases[] = {
        {1980, 1, 1, 0, 0, 0},     {2010, 3, 5, 14, 7, 32},
        {2010, 7, 15, 12, 0, 58},  // winter and summer
        {2024, 2, 29, 23, 59, 58}, {2043, 12, 31, 23, 59, 58},
        {2044, 1, 1, 0, 0, 0},     {2107, 12, 31, 23, 59, 58},
    };
    for (const auto& c : cases) {
        int64_t t = Local(c.Y, c.Mo, c.D, c.H, c.Mi, c.S);
        int32_t dos = UnixTimeToDosDate(t);
        EXPECT_EQ(static_cast<uint32_t>(dos), Bits(c.Y, c.Mo, c.D, c.H, c.Mi, c.S)) << c.Y << "-" << c.Mo;
        EXPECT_EQ(DosDateToUnixTime(dos), t) << c.Y << "-" << c.Mo;
        EXPECT_EQ(dos < 0, c.Y >= 2044) << c.Y;  // the year bits reach bit 31 from 2044
    }
}

TEST_F(DosTimeTest, OddSecondsRoundDown) {
    int64_t t = Local(2010, 3, 5, 14, 7, 33);
    EXPECT_EQ(UnixTimeToDosDate(t), UnixTimeToDosDate(t - 1));
    EXPECT_EQ(DosDateToUnixTime(UnixTimeToDosDate(t)), t - 1);
}

TEST_F(DosTimeTest, OutOfRangeInstantsAreClamped) {
    const int32_t earliest = static_cast<int32_t>(Bits(1980, 1, 1, 0, 0, 0));
    const int32_t latest = static_cast<int32_t>(Bits(2107, 12, 31, 23, 59, 58));
    EXPECT_EQ(UnixTimeToDosDate(0), earliest);
    EXPECT_EQ(UnixTimeToDosDate(Local(1979, 12, 31, 23, 59, 59)), earliest);
    EXPECT_EQ(UnixTimeToDosDate(-5'000'000'000LL), earliest);
    EXPECT_EQ(UnixTimeToDosDate(Local(2108, 1, 1, 0, 0, 0)), latest);
    EXPECT_EQ(UnixTimeToDosDate(Local(2107, 12, 31, 23, 59, 59)), latest);
    EXPECT_EQ(UnixTimeToDosDate(INT64_MAX), latest);
    EXPECT_EQ(UnixTimeToDosDate(INT64_MIN), earliest);
}

// Every instant beyond either end lists as that end, so a date there cannot show that a file changed.
TEST_F(DosTimeTest, DatesAtTheEndsOfTheRangeTellNothing) {
    EXPECT_EQ(static_cast<uint32_t>(DOS_DATE_EARLIEST), Bits(1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(static_cast<uint32_t>(DOS_DATE_LATEST), Bits(2107, 12, 31, 23, 59, 58));
    const struct {
        int64_t Instant;
        bool AtBound;
    } cases[] = {
        {Local(1975, 6, 1, 12, 0, 0), true},      {Local(1977, 6, 1, 12, 0, 0), true},
        {Local(1979, 12, 31, 23, 59, 59), true},  {Local(1980, 1, 1, 0, 0, 0), true},
        {Local(1980, 1, 1, 0, 0, 2), false},      {Local(2020, 9, 13, 12, 26, 40), false},
        {Local(2107, 12, 31, 23, 59, 56), false}, {Local(2107, 12, 31, 23, 59, 58), true},
        {Local(2150, 1, 1, 0, 0, 0), true},       {-5'000'000'000LL, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DosDateAtBound(UnixTimeToDosDate(c.Instant)), c.AtBound) << c.Instant;
}

TEST_F(DosTimeTest, DatesCompareUnsigned) {
    int32_t y2043 = UnixTimeToDosDate(Local(2043, 6, 1, 0, 0, 0));
    int32_t y2044 = UnixTimeToDosDate(Local(2044, 6, 1, 0, 0, 0));
    ASSERT_LT(y2044, 0);
    EXPECT_LT(CompareFileDates(y2043, y2044), 0);
    EXPECT_GT(CompareFileDates(y2044, y2043), 0);
    EXPECT_EQ(CompareFileDates(y2044, y2044), 0);
}

// The conversions keep per-thread offsets; they must agree with the C library at every instant,
// across changes of daylight saving (also half-hour ones) and in zones east and west of UTC.
TEST_F(DosTimeTest, AgreesWithTheCLibraryAcrossDaylightSavingChanges) {
    const char* zones[] = {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                           "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "UTC0", "<-0330>3:30"};
    for (const char* zone : zones) {
        SCOPED_TRACE(zone);
        ::setenv("TZ", zone, 1);
        ::tzset();
        ResetLocalTimeCache();
        // Every 7 minutes 13 seconds over a year that holds both changes, and a few later years.
        for (int64_t t = 1577836800; t < 1577836800 + 370LL * 86400; t += 433) {
            std::time_t tt = static_cast<std::time_t>(t);
            std::tm lt{};
            ASSERT_NE(::localtime_r(&tt, &lt), nullptr);
            const int32_t dos = UnixTimeToDosDate(t);
            ASSERT_EQ(static_cast<uint32_t>(dos),
                      Bits(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec))
                << t;
            // Back to an instant with the same wall time (a wall time that occurs twice, in the hour
            // the clocks go back, may come back as either instant).
            ASSERT_EQ(UnixTimeToDosDate(DosDateToUnixTime(dos)), dos) << t;
        }
    }
}

}  // namespace
}  // namespace bfs
