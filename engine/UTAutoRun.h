#pragma once

#include "engine/UTSyncTask.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The rules of the runs that start without the user: at program start, when a file system is
// mounted, when the session ends, at the one-minute tick and for a task named on the command line.
// They decide which task starts and how; the windows only supply the tasks and carry the runs out.

// The clock of the periodic runs, the same as TSyncTask::LastPeriodRun's.
using TAutoClock = std::chrono::steady_clock;

// The events of CheckAutoRun.
constexpr int AUTORUN_START = 1;        // the program has started
constexpr int AUTORUN_MOUNT = 2;        // a file system was mounted (the mount point goes along)
constexpr int AUTORUN_SESSION_END = 3;  // the user's session is ending
constexpr int AUTORUN_TICK = 4;         // the one-minute timer has ticked

enum class TAutoRunMode {
    Analyze,      // an analysis only
    AnalyzeSync,  // an analysis followed by the sync of its plan
};

// One task as the automatic runs see it.
class IAutoRunTarget {
  public:
    virtual ~IAutoRunTarget() = default;
    virtual TSyncTask& AutoTask() = 0;
    // A run of the task (or a worker of one) is alive.
    virtual bool AutoBusy() const = 0;
    // Starts a run. The task's AutoRun is already 1.
    virtual void AutoStart(TAutoRunMode Mode) = 0;
};

struct TAutoRunStart {
    IAutoRunTarget* Target = nullptr;
    TAutoRunMode Mode = TAutoRunMode::Analyze;
};

// Starts the runs that Event calls for, visiting Targets in order; returns them in the order
// started. A busy target is skipped. Each start sets the task's AutoRun to 1 first.
// - AUTORUN_START: StartSync -> analysis and sync; else StartAnalyze -> analysis.
// - AUTORUN_MOUNT: only tasks that use MountPoint (UsesMountPoint): ConnectSync -> analysis and
//   sync; else ConnectAnalyze -> analysis.
// - AUTORUN_SESSION_END: LogoffSync -> analysis and sync, and no later target runs anything;
//   else LogoffAnalyze -> analysis.
// - AUTORUN_TICK: a task with PeriodSync or PeriodAnalyze whose period is due (PeriodState) gets
//   LastPeriodRun := Now and then analysis and sync (PeriodSync) or analysis.
// Any other event starts nothing.
std::vector<TAutoRunStart> CheckAutoRun(std::span<IAutoRunTarget* const> Targets, int Event,
                                        std::string_view MountPoint, TAutoClock::time_point Now);

// Whole minutes from Then to Now, truncated toward zero (negative when Now is earlier).
int64_t WholeMinutes(TAutoClock::time_point Then, TAutoClock::time_point Now);

enum class TPeriodState {
    NotDue,
    Due,
    // LastPeriodRun is unset (the epoch) or later than Now: the period starts at Now, nothing runs.
    // A task made while the program runs has no LastPeriodRun yet; without this it would be due at
    // once, and a time after Now would hold it back for as long as the difference.
    Restart,
};
// The period of a task of Hours and minutes is due when at least Hours*60 + minutes - 1 whole
// minutes have passed since LastPeriodRun, however many more: a task that was busy, or whose moment
// fell between two ticks, runs at the next tick where it is free.
TPeriodState PeriodState(const TSyncTask& Task, TAutoClock::time_point Now);

// One tick of the one-minute timer at Now. The tick counts when 0 to 2 whole minutes passed since
// LastTimerCheck; a larger gap (the machine slept, the thread was held up) or a negative one
// skips this tick. LastTimerCheck becomes Now either way, so the next tick counts again and the
// periodic runs never stop for good.
bool AcceptTick(TAutoClock::time_point& LastTimerCheck, TAutoClock::time_point Now);

// Whether a command-line argument names a task: equal after both are trimmed of blanks, exactly
// (case-sensitive). An argument that is blank names no task.
bool CommandLineMatches(std::string_view SyncName, std::string_view Argument);

struct TCommandLineRuns {
    int Matched = 0;                     // targets whose task the argument names
    std::vector<TAutoRunStart> Started;  // those of them that were started
};
// Starts every target whose task Argument names (all of them, in order): TSsync -> analysis and
// sync; else TSanalyze -> analysis; a task with neither is matched but not started. Each start sets
// AutoRun to 1 first. Busy is not tested: the target refuses a run while one is alive.
TCommandLineRuns RunCommandLineTask(std::span<IAutoRunTarget* const> Targets, std::string_view Argument);

// Whether Path lies at or under Root, both absolute, compared by whole path components: repeated
// separators, "." components and a trailing separator do not count, ".." takes the previous
// component away (no link is resolved). "/media/usb" holds "/media/usb/docs", not "/media/usb2".
bool IsPathUnder(std::string_view Path, std::string_view Root);

// Whether the task uses the file system mounted at MountPoint: one of its local sides (kind local
// or not yet chosen) has an absolute address at or under it.
bool UsesMountPoint(const TSyncTask& Task, std::string_view MountPoint);

}  // namespace bfs
