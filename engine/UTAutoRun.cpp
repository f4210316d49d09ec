#include "engine/UTAutoRun.h"

#include "model/UTPublicFunc.h"

#include <optional>

namespace bfs {

namespace {

void Start(IAutoRunTarget& Target, TAutoRunMode Mode, std::vector<TAutoRunStart>& Started) {
    Target.AutoTask().AutoRun = 1;
    Target.AutoStart(Mode);
    Started.push_back({&Target, Mode});
}

// The components of an absolute path with ".", empty components and ".." taken out; nothing for a
// path that is not absolute.
std::optional<std::vector<std::string_view>> Components(std::string_view Path) {
    if (Path.empty() || Path.front() != '/') return std::nullopt;
    std::vector<std::string_view> parts;
    size_t pos = 0;
    while (pos < Path.size()) {
        size_t end = Path.find('/', pos);
        if (end == std::string_view::npos) end = Path.size();
        const std::string_view part = Path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();  // ".." of the root is the root
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

}  // namespace

std::vector<TAutoRunStart> CheckAutoRun(std::span<IAutoRunTarget* const> Targets, int Event,
                                        std::string_view MountPoint, TAutoClock::time_point Now) {
    std::vector<TAutoRunStart> started;
    for (IAutoRunTarget* target : Targets) {
        if (!target || target->AutoBusy()) continue;
        TSyncTask& task = target->AutoTask();
        switch (Event) {
            case AUTORUN_START:
                if (IntToBool(task.StartSync))
                    Start(*target, TAutoRunMode::AnalyzeSync, started);
                else if (IntToBool(task.StartAnalyze))
                    Start(*target, TAutoRunMode::Analyze, started);
                break;
            case AUTORUN_MOUNT:
                if (!IntToBool(task.ConnectSync) && !IntToBool(task.ConnectAnalyze)) break;
                if (!UsesMountPoint(task, MountPoint)) break;
                Start(*target,
                      IntToBool(task.ConnectSync) ? TAutoRunMode::AnalyzeSync : TAutoRunMode::Analyze,
                      started);
                break;
            case AUTORUN_SESSION_END:
                if (IntToBool(task.LogoffSync)) {
                    // One sync at the end of the session: the tasks after it get none.
                    Start(*target, TAutoRunMode::AnalyzeSync, started);
                    return started;
                }
                if (IntToBool(task.LogoffAnalyze)) Start(*target, TAutoRunMode::Analyze, started);
                break;
            case AUTORUN_TICK: {
                if (!IntToBool(task.PeriodSync) && !IntToBool(task.PeriodAnalyze)) break;
                const TPeriodState state = PeriodState(task, Now);
                if (state == TPeriodState::Restart) task.LastPeriodRun = Now;
                if (state != TPeriodState::Due) break;
                task.LastPeriodRun = Now;
                Start(*target, IntToBool(task.PeriodSync) ? TAutoRunMode::AnalyzeSync : TAutoRunMode::Analyze,
                      started);
                break;
            }
            default:
                break;
        }
    }
    return started;
}

int64_t WholeMinutes(TAutoClock::time_point Then, TAutoClock::time_point Now) {
    return std::chrono::duration_cast<std::chrono::minutes>(Now - Then).count();
}

TPeriodState PeriodState(const TSyncTask& Task, TAutoClock::time_point Now) {
    if (Task.LastPeriodRun == TAutoClock::time_point{} || Task.LastPeriodRun > Now)
        return TPeriodState::Restart;
    const int64_t interval = int64_t{Task.Hours} * 60 + int64_t{Task.minutes};
    return WholeMinutes(Task.LastPeriodRun, Now) >= interval - 1 ? TPeriodState::Due : TPeriodState::NotDue;
}

bool AcceptTick(TAutoClock::time_point& LastTimerCheck, TAutoClock::time_point Now) {
    const int64_t m = WholeMinutes(LastTimerCheck, Now);
    LastTimerCheck = Now;
    return m >= 0 && m <= 2;
}

bool CommandLineMatches(std::string_view SyncName, std::string_view Argument) {
    const std::string name = Trim(Argument);
    return !name.empty() && Trim(SyncName) == name;
}

TCommandLineRuns RunCommandLineTask(std::span<IAutoRunTarget* const> Targets, std::string_view Argument) {
    TCommandLineRuns runs;
    for (IAutoRunTarget* target : Targets) {
        if (!target) continue;
        TSyncTask& task = target->AutoTask();
        if (!CommandLineMatches(task.SyncName, Argument)) continue;
        ++runs.Matched;
        if (IntToBool(task.TSsync))
            Start(*target, TAutoRunMode::AnalyzeSync, runs.Started);
        else if (IntToBool(task.TSanalyze))
            Start(*target, TAutoRunMode::Analyze, runs.Started);
    }
    return runs;
}

bool IsPathUnder(std::string_view Path, std::string_view Root) {
    const auto path = Components(Path);
    const auto root = Components(Root);
    if (!path || !root || root->size() > path->size()) return false;
    for (size_t i = 0; i < root->size(); ++i)
        if ((*root)[i] != (*path)[i]) return false;
    return true;
}

bool UsesMountPoint(const TSyncTask& Task, std::string_view MountPoint) {
    for (const TFolderSourceRef& side : {Task.LFolder, Task.RFolder})
        if (side && IsLocalKind(side->DeviceType) && IsPathUnder(Trim(side->FolerAllName), MountPoint))
            return true;
    return false;
}

}  // namespace bfs
