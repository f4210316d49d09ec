#include "common/ServerProcess.h"
#include "common/TempFolder.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTSystem.h"
#include "platform/UTTaskScheduler.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

namespace bfs {
namespace {

using Lines = std::vector<std::string>;

// The values of Key's lines in a unit file.
Lines Values(const std::string& Text, const std::string& Key) {
    Lines values;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(Key + "=")) values.push_back(line.substr(Key.size() + 1));
    return values;
}

TScheduleSpec Spec(int Frequency, int Every, int Hour = 9, int Minute = 0, std::array<bool, 7> Days = {}) {
    return {Frequency, Every, Hour, Minute, Days, "2026-12-06"};
}

// A user manager of our own: a script that logs its arguments, answers show-environment from a file,
// links and unlinks enabled timers as systemctl does, and ends each subcommand with the status the
// test chose (file "exit-<subcommand>"). Blanks, "%n" and "$" in the program's path and the program
// folder: systemd's unit checker finds the program only when they are escaped right.
class TaskSchedulerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Program = T.Path + "/my prog $HOME %n/bramlow-file-sync";
        QuotedProgram = "\"" + T.Path + "/my prog $HOME %%n/bramlow-file-sync\"";
        ASSERT_EQ(MakeFolders(T.Path + "/my prog $HOME %n"), 0);
        ASSERT_EQ(WriteFileAtomic(Program, "#!/bin/sh\n", 0755), 0);
        const std::string script = "#!/bin/sh\nd='" + T.Path + "'\n" + R"SH(printf '%s\n' "$*" >> "$d/log"
case "$2" in
  show-environment) cat "$d/env" 2>/dev/null ;;
  enable) mkdir -p "$d/units/timers.target.wants" && ln -sf "../$4" "$d/units/timers.target.wants/$4" ;;
  disable) rm -f "$d/units/timers.target.wants/$4" ;;
esac
[ -f "$d/exit-$2" ] && exit "$(cat "$d/exit-$2")"
exit 0
)SH";
        ASSERT_EQ(WriteFileAtomic(T.Path + "/systemctl", script, 0755), 0);
        SetSchedulerCommand({T.Path + "/systemctl", "--user"});
        SetSchedulerUnitFolder(T.Path + "/units/");
        SetScheduledProgram(Program);
    }
    void TearDown() override {
        SetSchedulerCommand({"systemctl", "--user"});
        SetSchedulerUnitFolder("");
        SetScheduledProgram("");
    }

    void Put(const std::string& Name, const std::string& Text) {
        ASSERT_EQ(WriteFileAtomic(T.Path + "/" + Name, Text), 0);
    }
    // The subcommands run since the last call, without the leading "--user".
    Lines Calls() {
        std::string log;
        ReadWholeFile(T.Path + "/log", log);
        ::unlink((T.Path + "/log").c_str());
        Lines calls;
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);) calls.push_back(line.substr(7));
        return calls;
    }
    std::string Unit(std::string_view SyncID, const char* Ext) {
        std::string text;
        ReadWholeFile(T.Path + "/units/" + ScheduledUnitStem(SyncID) + Ext, text);
        return text;
    }
    Lines UnitFiles() {
        Lines files;
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(T.Path + "/units", ec))
            if (!e.is_directory()) files.push_back(e.path().string());
        return files;
    }
    // systemd's own checker reads the pair offline, and its calendar parser the timer's expression.
    void CheckWithSystemd(std::string_view SyncID) {
        constexpr const char* ANALYZE = "/usr/bin/systemd-analyze";
        BFS_REQUIRE_PROGRAM(ANALYZE);
        const std::string stem = T.Path + "/units/" + ScheduledUnitStem(SyncID),
                          service = Unit(SyncID, ".service");
        std::string out;
        const Lines verify = {
            "sh", "-c", "\"$0\" verify \"$1\" \"$2\" 2>&1", ANALYZE, stem + ".service", stem + ".timer"};
        EXPECT_EQ(RunCommandOutput(verify, out), 0) << out << service << Unit(SyncID, ".timer");
        const Lines calendar = Values(Unit(SyncID, ".timer"), "OnCalendar");
        ASSERT_EQ(calendar.size(), 1u);
        EXPECT_EQ(RunCommandOutput({ANALYZE, "calendar", calendar[0]}, out), 0) << calendar[0];
    }

    test::TTempFolder T{"bfs-sched"};
    test::TScopedEnv m_Config{"XDG_CONFIG_HOME", T.Path + "/config %n"};
    std::string Program, QuotedProgram;
};

TEST_F(TaskSchedulerTest, TriggersAreRenderedAndAcceptedBySystemd) {
    const std::string due = QuotedProgram + " \"--schedule-due\" ";
    const std::array<bool, 7> tueFri = {false, true, false, false, true};
    const struct {
        TScheduleSpec Spec;
        const char* Calendar;
        Lines Condition;
    } cases[] = {
        {Spec(0, 1, 14, 30), "*-*-* 14:30:00", {}},
        {Spec(0, 3, 14, 30), "*-*-* 14:30:00", {due + "\"daily\" \"2026-12-06\" \"3\""}},
        {Spec(1, 1, 0, 5, tueFri), "Tue,Fri *-*-* 00:05:00", {}},
        {Spec(1, 2, 23, 59, tueFri), "Tue,Fri *-*-* 23:59:00", {due + "\"weekly\" \"2026-12-06\" \"2\""}},
        {Spec(2, 15, 8, 0), "*-*-15 08:00:00", {}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(CreateScheduledJob("id", "Backup", c.Spec), 0) << SchedulerError();
        EXPECT_EQ(Values(Unit("id", ".timer"), "OnCalendar"), Lines{c.Calendar});
        EXPECT_EQ(Values(Unit("id", ".service"), "ExecCondition"), c.Condition);
        CheckWithSystemd("id");
    }
}

// A job made under the name, and one made under another and renamed, carry the same units.
TEST_F(TaskSchedulerTest, UnitTextIsEscaped) {
    const std::string name = "Back \"up\" 50% $HOME \\ \xc3\xbc \\";
    const std::string description =
        "Description=Back \"up\" 50%% $HOME \\ \xc3\xbc \\ \n";  // no continuation
    for (const bool renamed : {false, true}) {
        ASSERT_EQ(CreateScheduledJob("a b/c", renamed ? "Old name" : name, Spec(0, 1, 7, 0)), 0);
        if (renamed) {
            ASSERT_EQ(RenameScheduledJob("a b/c", name), 0) << SchedulerError();
        }
        EXPECT_EQ(Unit("a b/c", ".service"),
                  "[Unit]\n" + description + "\n[Service]\nType=exec\nWorkingDirectory=" + T.Path +
                      "/config %%n/bramlow-file-sync/\nExecStart=" + QuotedProgram +
                      " \"Back \\\"up\\\" 50%% $$HOME \\\\ \xc3\xbc \\\\\"\n")
            << renamed;
        EXPECT_EQ(Unit("a b/c", ".timer"), "[Unit]\n" + description +
                                               "\n[Timer]\nOnCalendar=*-*-* 07:00:00\nAccuracySec=1s\n"
                                               "Persistent=false\n\n[Install]\nWantedBy=timers.target\n")
            << renamed;
        CheckWithSystemd("a b/c");
    }
}

TEST(TaskSchedulerStemTest, IdentifiersAreEscapedAsSystemdDoes) {
    const std::pair<std::string, std::string> cases[] = {
        {"Abc:0_9.x", "Abc:0_9.x"},
        {"a b/c-d", "a\\x20b-c\\x2dd"},
        {".hidden", "\\x2ehidden"},
        {"\xc3\xbc%$\\\"", "\\xc3\\xbc\\x25\\x24\\x5c\\x22"},
        {std::string(200, 'a'), std::string(200, 'a')},
        {std::string(201, 'a'), "h-9a253eda0ce95884"},    // the same on every machine and in every run
        {std::string(51, '\xfc'), "h-81cd2532f2417356"},  // short, but long once escaped
    };
    for (const auto& [id, escaped] : cases) EXPECT_EQ(ScheduledUnitStem(id), "bramlow-file-sync-" + escaped);
}

TEST_F(TaskSchedulerTest, CallSequencesLookupRenameAndDelete) {
    const std::string timer = ScheduledUnitStem("Backup") + ".timer";
    EXPECT_EQ(EnsureTaskScheduler(), 0);
    EXPECT_EQ(Calls(), Lines{"show-environment"});
    ASSERT_EQ(CreateScheduledJob("Backup", "Backup", Spec(0, 1)), 0) << SchedulerError();
    EXPECT_EQ(Calls(), (Lines{"show-environment", "daemon-reload", "enable --now " + timer}));
    // Lookups are exact.
    EXPECT_TRUE(ScheduledJobExists("Backup"));
    for (const char* other : {"Back", "ackup", ""}) EXPECT_FALSE(ScheduledJobExists(other)) << other;
    EXPECT_EQ(DeleteScheduledJob("Back"), 0);
    EXPECT_TRUE(Calls().empty());

    const std::string timerText = Unit("Backup", ".timer"), serviceText = Unit("Backup", ".service");
    Put("exit-daemon-reload", "5");  // the old units stay
    EXPECT_EQ(RenameScheduledJob("Backup", "New"), 5);
    EXPECT_EQ(Unit("Backup", ".service"), serviceText);
    EXPECT_EQ(Unit("Backup", ".timer"), timerText);
    Put("exit-daemon-reload", "0");
    ASSERT_EQ(RenameScheduledJob("Backup", "New 50%"), 0) << SchedulerError();
    EXPECT_EQ(Values(Unit("Backup", ".service"), "ExecStart"), Lines{QuotedProgram + " \"New 50%%\""});
    EXPECT_EQ(Values(Unit("Backup", ".timer"), "OnCalendar"), Values(timerText, "OnCalendar"));
    CheckWithSystemd("Backup");
    Calls();

    Put("exit-disable", "4");  // a timer that cannot be stopped keeps its job
    EXPECT_EQ(DeleteScheduledJob("Backup"), 4);
    EXPECT_TRUE(ScheduledJobExists("Backup"));
    EXPECT_NE(SchedulerError().find("--user disable --now " + timer + ": exit status 4"), std::string::npos);
    Put("exit-disable", "0");
    Calls();
    EXPECT_EQ(DeleteScheduledJob("Backup"), 0) << SchedulerError();
    EXPECT_EQ(Calls(), (Lines{"disable --now " + timer, "daemon-reload"}));
    EXPECT_TRUE(UnitFiles().empty());
    EXPECT_EQ(RenameScheduledJob("Backup", "x"), ENOENT);
}

TEST_F(TaskSchedulerTest, FailedCreateReportsAndLeavesNoUnitFile) {
    const std::string enable = "enable --now " + ScheduledUnitStem("id") + ".timer",
                      disable = "disable --now " + ScheduledUnitStem("id") + ".timer";
    const struct {
        Lines Failing;  // the first one is what is reported
        Lines Calls;
    } cases[] = {
        {{"show-environment"}, {"show-environment"}},
        {{"daemon-reload"}, {"show-environment", "daemon-reload", "daemon-reload"}},
        {{"enable"}, {"show-environment", "daemon-reload", enable, disable, "daemon-reload"}},
        {{"enable", "disable"}, {"show-environment", "daemon-reload", enable, disable, "daemon-reload"}},
    };
    for (const auto& c : cases) {
        for (const std::string& step : c.Failing) Put("exit-" + step, "3");
        EXPECT_EQ(CreateScheduledJob("id", "Backup", Spec(0, 2)), 3);
        EXPECT_EQ(Calls(), c.Calls);
        EXPECT_NE(SchedulerError().find("--user " + c.Failing[0]), std::string::npos) << SchedulerError();
        EXPECT_NE(SchedulerError().find(": exit status 3"), std::string::npos) << SchedulerError();
        EXPECT_EQ(UnitFiles(), Lines{});
        for (const std::string& step : c.Failing) Put("exit-" + step, "0");
    }
    Put("file", "");  // the unit folder cannot be made
    SetSchedulerUnitFolder(T.Path + "/file/units");
    EXPECT_EQ(CreateScheduledJob("id", "Backup", Spec(0, 1)), ENOTDIR);
    EXPECT_NE(SchedulerError().find("/file/units"), std::string::npos) << SchedulerError();
    SetSchedulerCommand({T.Path + "/missing"});
    EXPECT_EQ(EnsureTaskScheduler(), -1);
    EXPECT_NE(SchedulerError().find("could not be started"), std::string::npos) << SchedulerError();
}

TEST_F(TaskSchedulerTest, BadInputIsRefusedBeforeAnythingRuns) {
    const std::pair<std::string, std::string> names[] = {
        {"id", "a\nb"}, {"i\td", "Backup"}, {"id", ""}, {"", "x"}, {"id", "\xc3("}, {"id", "\xed\xa0\x80"}};
    for (const auto& [id, name] : names) EXPECT_EQ(CreateScheduledJob(id, name, Spec(0, 1)), EINVAL) << name;
    TScheduleSpec badDate = Spec(0, 2);
    badDate.CreationDate = "2026-02-30";
    const TScheduleSpec specs[] = {Spec(1, 1),  Spec(0, 0), Spec(0, 366),   Spec(1, 57, 9, 0, {true}),
                                   Spec(2, 32), Spec(3, 1), Spec(0, 1, 24), Spec(0, 1, 9, 60),
                                   badDate};
    for (const TScheduleSpec& s : specs)
        EXPECT_EQ(CreateScheduledJob("id", "Backup", s), EINVAL) << s.Frequency;
    EXPECT_EQ(RenameScheduledJob("id", "a\x7f"), EINVAL);
    SetScheduledProgram("/opt/a\"b/bramlow-file-sync");  // systemd starts no program from such a path
    EXPECT_EQ(CreateScheduledJob("id", "Backup", Spec(0, 1)), EINVAL);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(UnitFiles().empty());
}

// The display of the session that made a job is gone after a log-out or a restart: the job names
// none, and a rename drops the display an older job was given.
TEST_F(TaskSchedulerTest, JobsCarryNoDisplayOfTheSessionThatMadeThem) {
    test::TScopedEnv display("DISPLAY", ":74"), wayland("WAYLAND_DISPLAY", "wayland-1"),
        auth("XAUTHORITY", "/x a");
    Put("env", "HOME=/root\n");
    ASSERT_EQ(CreateScheduledJob("id", "Backup", Spec(0, 2)), 0) << SchedulerError();
    std::string service = Unit("id", ".service");
    EXPECT_EQ(Values(service, "Environment"), Lines{}) << service;

    const size_t exec = service.find("ExecStart=");
    service.insert(exec,
                   "Environment=\"DISPLAY=:74\"\nEnvironment=\"WAYLAND_DISPLAY=wayland-1\"\n"
                   "Environment=\"XAUTHORITY=/x a\"\nEnvironment=\"LANG=C\"\n");
    Put("units/" + ScheduledUnitStem("id") + ".service", service);
    ASSERT_EQ(RenameScheduledJob("id", "Nightly"), 0) << SchedulerError();
    EXPECT_EQ(Values(Unit("id", ".service"), "Environment"), Lines{"\"LANG=C\""});
    EXPECT_EQ(Values(Unit("id", ".service"), "ExecCondition").size(), 1u);
    CheckWithSystemd("id");
}

// The editor opens on the job as it was made.
TEST_F(TaskSchedulerTest, AJobIsReadBackAsItWasMade) {
    const std::array<bool, 7> tueFri = {false, true, false, false, true},
                              sun = {false, false, false, false, false, false, true};
    const TScheduleSpec specs[] = {Spec(0, 1, 6, 30),      Spec(0, 365, 0, 0),  Spec(1, 1, 21, 15, tueFri),
                                   Spec(1, 56, 9, 5, sun), Spec(2, 31, 23, 59), Spec(2, 1, 12, 0)};
    for (const TScheduleSpec& made : specs) {
        ASSERT_EQ(CreateScheduledJob("id", "Backup", made), 0) << SchedulerError();
        TScheduleSpec read;
        ASSERT_TRUE(ReadScheduledJob("id", read)) << Unit("id", ".timer") << Unit("id", ".service");
        EXPECT_EQ(read.Frequency, made.Frequency);
        EXPECT_EQ(read.Every, made.Every);
        EXPECT_EQ(read.Hour * 60 + read.Minute, made.Hour * 60 + made.Minute);
        EXPECT_EQ(read.WeekDays, made.WeekDays);
        // Counting from the creation day matters only every n > 1 days or weeks.
        EXPECT_EQ(read.CreationDate, made.Frequency != 2 && made.Every > 1 ? made.CreationDate : "");
    }
    TScheduleSpec untouched = Spec(0, 7);
    EXPECT_FALSE(ReadScheduledJob("other", untouched));
    EXPECT_FALSE(ReadScheduledJob("", untouched));
    // A timer changed by hand into something the editor cannot show is not read.
    for (const char* calendar : {"hourly", "Mon..Fri *-*-* 08:00:00", "*-*-* 08:00", "*-02-29 08:00:00"}) {
        Put("units/" + ScheduledUnitStem("id") + ".timer",
            std::string("[Timer]\nOnCalendar=") + calendar + "\n");
        EXPECT_FALSE(ReadScheduledJob("id", untouched)) << calendar;
    }
    EXPECT_EQ(untouched.Every, 7);
}

TEST(TaskSchedulerDueTest, CountsLocalCalendarDays) {
    const struct {
        const char *Zone, *Mode, *Created;
        int Every, Y, M, D, H;
        bool Due;
    } cases[] = {
        {"UTC", "daily", "2026-12-06", 2, 2026, 12, 6, 12, true},
        {"UTC", "daily", "2026-12-06", 2, 2026, 12, 7, 12, false},
        {"UTC", "daily", "2026-12-06", 2, 2027, 1, 1, 12, true},  // 26 days on
        {"UTC", "daily", "2026-12-06", 3, 2026, 12, 9, 0, true},
        {"UTC", "daily", "2026-12-06", 1, 2026, 12, 5, 23, false},   // before the creation date
        {"UTC", "weekly", "2026-12-09", 2, 2026, 12, 7, 9, false},   // Monday of that week, but before it
        {"UTC", "weekly", "2026-12-09", 2, 2026, 12, 10, 9, true},   // Thursday, week 0
        {"UTC", "weekly", "2026-12-09", 2, 2026, 12, 14, 9, false},  // Monday, week 1
        {"UTC", "weekly", "2026-12-09", 2, 2026, 12, 21, 9, true},   // Monday, week 2
        {"UTC", "weekly", "2026-12-09", 2, 2026, 12, 27, 23, true},  // Sunday, week 2
        // A day of 23 hours (29 March) and one of 25 (25 October) still count as one day each.
        {"Europe/Berlin", "daily", "2026-03-28", 2, 2026, 3, 30, 0, true},
        {"Europe/Berlin", "daily", "2026-03-28", 2, 2026, 3, 29, 23, false},
        {"Europe/Berlin", "daily", "2026-10-24", 2, 2026, 10, 26, 0, true},
        {"Europe/Berlin", "weekly", "2026-03-25", 1, 2026, 3, 30, 0, true},
        {"UTC", "monthly", "2026-12-06", 1, 2026, 12, 6, 12, false},  // not a mode that counts
    };
    for (const auto& c : cases) {
        {
            test::TScopedEnv zone("TZ", c.Zone);
            ::tzset();
            tm t{};
            t.tm_year = c.Y - 1900, t.tm_mon = c.M - 1, t.tm_mday = c.D, t.tm_hour = c.H, t.tm_min = 30;
            t.tm_isdst = -1;
            EXPECT_EQ(ScheduleDue(c.Mode, c.Created, c.Every, ::mktime(&t)), c.Due)
                << c.Zone << " " << c.Mode << " " << c.Created << " every " << c.Every << " on " << c.M << "-"
                << c.D;
        }
        ::tzset();
    }
}

TEST(TaskSchedulerDueTest, CheckModeArguments) {
    const std::pair<Lines, int> cases[] = {
        {{"daily", "2000-01-01", "1"}, 0},  {{"weekly", "2999-01-01", "1"}, 1},
        {{"daily", "2000-01-01"}, 2},       {{"hourly", "2000-01-01", "1"}, 2},
        {{"daily", "2026-2-06", "1"}, 2},   {{"daily", "2000-01-01", "0"}, 2},
        {{"daily", "2000-01-01", "1x"}, 2}, {{"daily", "2000-01-01", "1", "x"}, 2},
    };
    for (const auto& [args, status] : cases) {
        std::string error;
        EXPECT_EQ(ScheduleDueCheck(args, error), status) << args[0] << " " << args[1];
        EXPECT_EQ(error.empty(), status != 2);
    }
}

}  // namespace
}  // namespace bfs
