#include "engine/UTAutoRun.h"

#include <gtest/gtest.h>

#include <deque>

namespace bfs {
namespace {

using namespace std::chrono_literals;

struct TFakeTarget : IAutoRunTarget {
    TSyncTask Task;
    bool Busy = false;
    std::string Starts;  // "A" an analysis, "S" an analysis and sync, in order
    TSyncTask& AutoTask() override { return Task; }
    bool AutoBusy() const override { return Busy; }
    void AutoStart(TAutoRunMode Mode) override {
        EXPECT_EQ(Task.AutoRun, 1) << "AutoRun is set before the run starts";
        Starts += Mode == TAutoRunMode::AnalyzeSync ? "S" : "A";
    }
};

struct TSpec {
    int32_t Sync = 0;
    int32_t Analyze = 0;
    bool Busy = false;
    std::string Left = std::string();  // local left folder
};

// The two flags an event reads.
std::pair<int32_t TSyncTask::*, int32_t TSyncTask::*> FlagsOf(int Event) {
    switch (Event) {
        case AUTORUN_START:
            return {&TSyncTask::StartSync, &TSyncTask::StartAnalyze};
        case AUTORUN_MOUNT:
            return {&TSyncTask::ConnectSync, &TSyncTask::ConnectAnalyze};
        case AUTORUN_SESSION_END:
            return {&TSyncTask::LogoffSync, &TSyncTask::LogoffAnalyze};
        case AUTORUN_TICK:
            return {&TSyncTask::PeriodSync, &TSyncTask::PeriodAnalyze};
        default:
            return {&TSyncTask::TSsync, &TSyncTask::TSanalyze};
    }
}

// One character per target: what it started ("-" nothing).
std::string Outcome(std::deque<TFakeTarget>& Fakes) {
    std::string out;
    for (TFakeTarget& f : Fakes) out += f.Starts.empty() ? "-" : f.Starts;
    return out;
}

std::deque<TFakeTarget> MakeTargets(int Event, const std::vector<TSpec>& Specs) {
    std::deque<TFakeTarget> fakes;
    const auto [sync, analyze] = FlagsOf(Event);
    for (const TSpec& s : Specs) {
        TFakeTarget& f = fakes.emplace_back();
        f.Task.*sync = s.Sync;
        f.Task.*analyze = s.Analyze;
        f.Busy = s.Busy;
        f.Task.LFolder->DeviceType = DEVICE_LOCAL;
        f.Task.LFolder->FolerAllName = s.Left;
    }
    return fakes;
}

std::vector<IAutoRunTarget*> Pointers(std::deque<TFakeTarget>& Fakes) {
    std::vector<IAutoRunTarget*> out;
    for (TFakeTarget& f : Fakes) out.push_back(&f);
    return out;
}

TEST(AutoRunTest, EventsStartTheTasksWhoseTriggerMatches) {
    const struct {
        int Event;
        std::vector<TSpec> Tasks;
        std::string Expected;
    } cases[] = {
        {AUTORUN_START, {{1, 0}, {0, 1}, {1, 1}, {0, 0}, {1, 1, true}, {2, 2}}, "SAS---"},
        // The first LogoffSync task is the last to run; an analysis before it still runs, and a busy
        // LogoffSync task is passed over without ending the loop.
        {AUTORUN_SESSION_END, {{0, 1}, {1, 0, true}, {1, 0}, {1, 0}, {0, 1}}, "A-S--"},
        {AUTORUN_MOUNT,
         {{1, 0, false, "/media/u/STICK/docs"},
          {0, 1, false, "/media/u/STICK"},
          {1, 1, false, "/media/u/STICK2/docs"},
          {1, 1, false, "/home/u"},
          {1, 1, true, "/media/u/STICK"},
          {0, 0, false, "/media/u/STICK"}},
         "SA----"},
        {0, {{1, 1}}, "-"},
        {5, {{1, 1}}, "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "event " << c.Event);
        auto fakes = MakeTargets(c.Event, c.Tasks);
        CheckAutoRun(Pointers(fakes), c.Event, "/media/u/STICK", TAutoClock::now());
        EXPECT_EQ(Outcome(fakes), c.Expected);
    }
}

TEST(AutoRunTest, PeriodicRuns) {
    const TAutoClock::time_point loaded = TAutoClock::time_point{} + 1000h;
    const struct {
        int32_t Hours, Minutes;
        TSpec Flags;
        TAutoClock::time_point Last;
        TAutoClock::duration At;  // after loaded
        std::string Expected;
        bool Moved;  // LastPeriodRun became the tick's time
    } cases[] = {
        {1, 0, {1, 0}, loaded, 58min + 59s, "-", false},
        {1, 0, {1, 0}, loaded, 59min, "S", true},
        {1, 0, {1, 0}, loaded, 61min + 59s, "S", true},
        {1, 0, {1, 0}, loaded, 300min, "S", true},  // missed its moment: runs at the next tick
        {1, 0, {0, 1}, loaded, 60min, "A", true},
        {1, 0, {1, 1, true}, loaded, 60min, "-", false},
        {0, 0, {1, 0}, loaded, 0min, "S", true},
        {0, 10, {1, 0}, loaded, 9min, "S", true},
        {0, 10, {1, 0}, loaded, 8min + 59s, "-", false},
        // No LastPeriodRun yet, or one after now: the period starts at this tick.
        {0, 0, {1, 0}, {}, 0min, "-", true},
        {1, 0, {1, 0}, loaded + 10h, 60min, "-", true},
        {0, 0, {0, 0}, {}, 0min, "-", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.Hours << "h" << c.Minutes << "m at +"
                     << std::chrono::duration_cast<std::chrono::seconds>(c.At).count() << "s");
        auto fakes = MakeTargets(AUTORUN_TICK, {c.Flags});
        fakes[0].Task.Hours = c.Hours;
        fakes[0].Task.minutes = c.Minutes;
        fakes[0].Task.LastPeriodRun = c.Last;
        const auto now = loaded + c.At;
        CheckAutoRun(Pointers(fakes), AUTORUN_TICK, {}, now);
        EXPECT_EQ(Outcome(fakes), c.Expected);
        EXPECT_EQ(fakes[0].Task.LastPeriodRun, c.Moved ? now : c.Last);
    }
}

TEST(AutoRunTest, AnHourlyTaskKeepsItsRhythmAndRunsOnceFreeAfterBeingBusy) {
    auto fakes = MakeTargets(AUTORUN_TICK, {{1, 0}});
    TFakeTarget& f = fakes[0];
    f.Task.Hours = 1;
    const TAutoClock::time_point loaded = TAutoClock::time_point{} + 1000h;
    f.Task.LastPeriodRun = loaded;
    std::vector<int> runMinutes;
    for (int minute = 1; minute <= 240; ++minute) {
        f.Busy = minute >= 110 && minute <= 125;  // a long manual run covers the second window
        const size_t before = f.Starts.size();
        CheckAutoRun(Pointers(fakes), AUTORUN_TICK, {}, loaded + std::chrono::minutes(minute));
        if (f.Starts.size() > before) runMinutes.push_back(minute);
    }
    EXPECT_EQ(runMinutes, (std::vector<int>{59, 126, 185}));
}

TEST(AutoRunTest, TicksAreAcceptedAfterAnyGapFromTheNextOneOn) {
    const TAutoClock::time_point start = TAutoClock::time_point{} + 1000h;
    const struct {
        TAutoClock::duration Gap;
        bool Accepted;
    } cases[] = {
        {0s, true},   {60s, true},   {179s, true}, {180s, false},
        {-59s, true}, {-60s, false}, {-2h, false}, {3h, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::chrono::duration_cast<std::chrono::seconds>(c.Gap).count());
        TAutoClock::time_point last = start;
        EXPECT_EQ(AcceptTick(last, start + c.Gap), c.Accepted);
        EXPECT_EQ(last, start + c.Gap);
        // A skipped tick (the machine slept, the clock went back) re-arms: the next one counts.
        EXPECT_TRUE(AcceptTick(last, start + c.Gap + 60s));
    }
}

TEST(AutoRunTest, CommandLineRunsEveryTaskOfTheTrimmedName) {
    const std::vector<std::pair<std::string, TSpec>> tasks = {
        {"Daily", {1, 0, true}}, {" Daily", {0, 1}}, {"daily", {1, 0}}, {"Weekly", {0, 0}}, {"", {1, 0}},
    };
    const struct {
        std::string Argument;
        int Matched;
        std::string Expected;
    } cases[] = {
        {"  Daily  ", 2, "SA---"},  // the busy one too: the window refuses a second run itself
        {"daily", 1, "--S--"},     {"Weekly", 1, "-----"}, {"Dail", 0, "-----"},
        {"   ", 0, "-----"},       {"", 0, "-----"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.Argument + "'");
        std::vector<TSpec> specs;
        for (const auto& t : tasks) specs.push_back(t.second);
        auto fakes = MakeTargets(-1, specs);
        for (size_t i = 0; i < tasks.size(); ++i) fakes[i].Task.SyncName = tasks[i].first;
        const TCommandLineRuns runs = RunCommandLineTask(Pointers(fakes), c.Argument);
        EXPECT_EQ(runs.Matched, c.Matched);
        EXPECT_EQ(Outcome(fakes), c.Expected);
        EXPECT_EQ(runs.Started.size(), static_cast<size_t>(std::count_if(c.Expected.begin(), c.Expected.end(),
                                                                         [](char x) { return x != '-'; })));
    }
}

TEST(AutoRunTest, MountPointsHoldPathsByWholeComponents) {
    const struct {
        const char* Path;
        const char* Root;
        bool Under;
    } cases[] = {
        {"/media/usb/docs", "/media/usb", true},   {"/media/usb", "/media/usb/", true},
        {"/media/usb2/docs", "/media/usb", false}, {"//media//usb/./x/", "/media/usb", true},
        {"/media/x/../usb/a", "/media/usb", true}, {"/media/usb/../other", "/media/usb", false},
        {"/media", "/media/usb", false},           {"/anything", "/", true},
        {"media/usb/docs", "/media/usb", false},   {"/media/usb", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsPathUnder(c.Path, c.Root), c.Under) << c.Path << " in " << c.Root;

    const struct {
        int32_t Kind;
        bool Left;
        const char* Address;
        bool Uses;
    } sides[] = {
        {DEVICE_LOCAL, false, "/mnt/disk/backup", true},
        {DEVICE_NONE, true, "/mnt/disk", false},  // a side of no kind has no back-end: it never runs
        {DEVICE_FTP, true, "/mnt/disk/x", false},
        {DEVICE_NETWORK, false, "/mnt/disk/x", false},
        {DEVICE_LOCAL, true, "", false},
        {DEVICE_LOCAL, true, " /mnt/disk/x ", true},
    };
    for (const auto& s : sides) {
        TSyncTask task;
        TFolderSource& side = s.Left ? *task.LFolder : *task.RFolder;
        side.DeviceType = s.Kind;
        side.FolerAllName = s.Address;
        EXPECT_EQ(UsesMountPoint(task, "/mnt/disk"), s.Uses) << s.Address;
    }
}

}  // namespace
}  // namespace bfs
