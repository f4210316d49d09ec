// The program's link to the desktop's scheduler: one systemd user timer per task, which starts
// the program with the task's name at the chosen times.
//
// A task's job is the unit pair bramlow-file-sync-<id>.service and .timer in the user's unit
// folder, <id> being the task's identifier escaped as systemd escapes names. The units are driven
// through "systemctl --user" (never a shell); both the command and the unit folder can be replaced,
// which the tests do.
#pragma once

#include <array>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// When a task's job starts it.
struct TScheduleSpec {
    int Frequency = 0;  // 0 daily, 1 weekly, 2 monthly
    int Every = 1;      // every n days (1-365) or weeks (1-56); the day of the month (1-31)
    int Hour = 0;       // start time, local
    int Minute = 0;
    std::array<bool, 7> WeekDays{};  // weekly: the chosen days, Monday first
    std::string CreationDate;        // "YYYY-MM-DD", local: the day counting starts from (n > 1);
                                     // empty: today
};

// Makes sure a scheduler can be reached ("systemctl --user show-environment" succeeds).
// 0 when it can; else the command's exit status (-1: it could not be started), and
// SchedulerError() says what failed.
int EnsureTaskScheduler();

// True when the task's service unit file exists in the unit folder. Exact: the identifier
// "Back" never finds the job of "Backup". An empty identifier has no job.
bool ScheduledJobExists(std::string_view SyncID);

// The schedule of the task's job read back from its unit files (the creation date only for a job
// every n > 1 days or weeks). False, Spec untouched, when the task has no job or its units do not
// hold a schedule this program makes.
bool ReadScheduledJob(std::string_view SyncID, TScheduleSpec& Spec);

// Stops and disables the task's timer, removes both unit files, reloads the user manager.
// 0 when no unit file is left (also when there was none); else the failing step's status, and
// SchedulerError() names the command and its status.
int DeleteScheduledJob(std::string_view SyncID);

// Writes the task's service and timer (each atomically), reloads the user manager and enables and
// starts the timer. TaskName is what the job passes to the program as its one argument. 0 on
// success; else the failing step's status, SchedulerError() says what failed, and no unit file of
// the task is left behind. Refused (EINVAL) before anything is written: a name or identifier with a
// control character, a name that is not UTF-8, a schedule the editor does not offer (a weekly one
// without a day among them), a program path that systemd cannot start (a quote or backslash in it).
int CreateScheduledJob(std::string_view SyncID, std::string_view TaskName, const TScheduleSpec& Spec);

// Rewrites the task's units after the task was renamed: the service passes TaskName, and both
// carry it as their description; the timer's schedule stays as it is. Reloads the user manager.
// 0 on success (both old units stay on failure); ENOENT when the task has no job.
int RenameScheduledJob(std::string_view SyncID, std::string_view TaskName);

// The last failure of the functions above as a line for the user: the command and its exit
// status, or the file that could not be written.
std::string SchedulerError();

// The unit name stem of a task: "bramlow-file-sync-" + the identifier escaped by systemd's rules
// ([A-Za-z0-9:_.] kept, "/" as "-", other bytes "\xNN", a leading "." as "\x2e"); an escaped
// identifier over 200 characters becomes "h-" + a stable hexadecimal hash of it.
std::string ScheduledUnitStem(std::string_view SyncID);

// The --schedule-due check that a job's ExecCondition= runs before the program starts.
// Mode "daily" or "weekly", Created "YYYY-MM-DD", Every n >= 1. True when today (local calendar)
// is a day the job is due: a whole multiple of n days since Created (weekly: of n weeks, counted
// from the Monday of Created's week).
// A day before Created, or a Mode, Created or Every that is not valid, is never due.
bool ScheduleDue(std::string_view Mode, std::string_view Created, int Every);
// The same for the local calendar day of the instant Now.
bool ScheduleDue(std::string_view Mode, std::string_view Created, int Every, time_t Now);

// The program's check mode "--schedule-due <mode> <created> <n>", given the three arguments after
// the option: 0 when the job is due today, 1 when it is not, 2 when the arguments are not valid
// (Error then holds a line for the user).
int ScheduleDueCheck(const std::vector<std::string>& Args, std::string& Error);

// Replaceable parts, for tests and for machines that keep units elsewhere.
// The command that drives the user manager; default {"systemctl", "--user"}.
void SetSchedulerCommand(std::vector<std::string> Argv);
// The folder of the unit files; default $XDG_CONFIG_HOME/systemd/user/ (~/.config/systemd/user/).
void SetSchedulerUnitFolder(std::string Folder);
// The program a job starts; default the running program (GetExecutablePath).
void SetScheduledProgram(std::string Path);

}  // namespace bfs
