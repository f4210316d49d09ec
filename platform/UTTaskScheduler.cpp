#include "platform/UTTaskScheduler.h"

#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTSystem.h"

#include <time.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

namespace bfs {

namespace {

constexpr std::string_view UNIT_PREFIX = "bramlow-file-sync-";
constexpr size_t MAX_ESCAPED_ID = 200;  // keeps the unit names well below systemd's 255 bytes
constexpr std::string_view DUE_OPTION = "--schedule-due";

// The replaceable parts and the last failure. The windows call in from their one thread; the lock
// keeps a test's replacement and a call apart all the same.
std::mutex g_SchedulerMutex;
std::vector<std::string> g_SchedulerCommand{"systemctl", "--user"};  // guarded by g_SchedulerMutex
std::string g_UnitFolder;                                            // guarded; empty: the default
std::string g_ScheduledProgram;                                      // guarded; empty: this program
std::string g_SchedulerError;                                        // guarded

void SetError(std::string Text) {
    std::lock_guard lock(g_SchedulerMutex);
    g_SchedulerError = std::move(Text);
}

std::vector<std::string> SchedulerCommand() {
    std::lock_guard lock(g_SchedulerMutex);
    return g_SchedulerCommand;
}

std::string UnitFolder() {
    std::string folder;
    {
        std::lock_guard lock(g_SchedulerMutex);
        folder = g_UnitFolder;
    }
    if (folder.empty()) {
        folder = GetConfigHome();
        if (folder.empty()) return {};
        if (folder.back() != '/') folder += '/';
        folder += "systemd/user/";
    }
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::string ScheduledProgram() {
    {
        std::lock_guard lock(g_SchedulerMutex);
        if (!g_ScheduledProgram.empty()) return g_ScheduledProgram;
    }
    return GetExecutablePath();
}

bool HasControlCharacter(std::string_view Text) {
    for (unsigned char c : Text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Well-formed UTF-8 (shortest forms, no surrogates, nothing past U+10FFFF): systemd ignores a unit
// line that is not.
bool IsUtf8(std::string_view Text) {
    for (size_t i = 0; i < Text.size();) {
        utf8proc_int32_t code = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(Text.data() + i),
                                        static_cast<utf8proc_ssize_t>(Text.size() - i), &code);
        if (n <= 0) return false;
        i += static_cast<size_t>(n);
    }
    return true;
}

// Text that can stand in a unit file: no control character, well-formed UTF-8.
bool IsUnitText(std::string_view Text) {
    return !HasControlCharacter(Text) && IsUtf8(Text);
}

std::string Hex2(unsigned char c) {
    constexpr char DIGITS[] = "0123456789abcdef";
    return {DIGITS[c >> 4], DIGITS[c & 15]};
}

// FNV-1a, 64 bits: the same on every machine and in every run, unlike std::hash.
std::string StableHash(std::string_view Text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : Text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    std::string hex;
    for (int shift = 56; shift >= 0; shift -= 8) hex += Hex2(static_cast<unsigned char>(h >> shift));
    return hex;
}

// A line "Key=Value" of a unit file. Every value goes through the specifier expansion, so "%" is
// doubled. A line that ends in an unpaired backslash would continue on the next line; a blank after
// it ends the line instead (the parser strips it from the value).
std::string UnitLine(std::string_view Key, std::string_view Value) {
    std::string line(Key);
    line += '=';
    for (char c : Value) {
        if (c == '%') line += '%';
        line += c;
    }
    bool escaped = false;
    for (char c : line) escaped = !escaped && c == '\\';
    if (escaped) line += ' ';
    return line + "\n";
}

// One argument of an Exec line or one assignment of Environment=, as a quoted word: inside the
// quotes "\" and """ are escaped. "%" is doubled later by UnitLine.
std::string QuoteUnitWord(std::string_view Word, bool ExpandsVariables) {
    std::string quoted = "\"";
    for (char c : Word) {
        if (c == '\\' || c == '"') quoted += '\\';
        if (c == '$' && ExpandsVariables) quoted += '$';  // "$$" is a plain "$" on an Exec line
        quoted += c;
    }
    return quoted + "\"";
}

// An Exec line. Variables are expanded in the arguments only, so the program's "$" stays single.
std::string ExecLine(const std::vector<std::string>& Argv) {
    std::string line;
    for (const std::string& arg : Argv) {
        if (!line.empty()) line += ' ';
        line += QuoteUnitWord(arg, !line.empty());
    }
    return line;
}

std::string JoinCommand(const std::vector<std::string>& Argv) {
    std::string text;
    for (const std::string& arg : Argv) {
        if (!text.empty()) text += ' ';
        text += arg;
    }
    return text;
}

// Runs the scheduler command with Args appended. Its exit status (-1: it could not be started);
// a failure is recorded for SchedulerError().
int RunScheduler(const std::vector<std::string>& Args, std::string* Output = nullptr) {
    std::vector<std::string> argv = SchedulerCommand();
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::string discarded;
    int status = RunCommandOutput(argv, Output ? *Output : discarded);
    if (status == -1)
        SetError(JoinCommand(argv) + ": could not be started or did not end normally");
    else if (status != 0)
        SetError(JoinCommand(argv) + ": exit status " + std::to_string(status));
    return status;
}

int FileFailure(const std::string& What, const std::string& Path, int Error) {
    SetError(What + " " + Path + ": " + std::strerror(Error));
    return Error;
}

// Removes the file when it is there. 0, or the errno of the failure.
int RemoveFile(const std::string& Path) {
    if (::unlink(Path.c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

// "YYYY-MM-DD" as a calendar day; nothing for any other text or a day the calendar lacks.
std::optional<std::chrono::sys_days> ParseDate(std::string_view Text) {
    if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-') return std::nullopt;
    auto number = [&](size_t pos, size_t len) -> std::optional<int> {
        int value = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            if (Text[i] < '0' || Text[i] > '9') return std::nullopt;
            value = value * 10 + (Text[i] - '0');
        }
        return value;
    };
    auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
    if (!y || !m || !d) return std::nullopt;
    std::chrono::year_month_day date{std::chrono::year(*y), std::chrono::month(static_cast<unsigned>(*m)),
                                     std::chrono::day(static_cast<unsigned>(*d))};
    if (!date.ok()) return std::nullopt;
    return std::chrono::sys_days(date);
}

// The local calendar day of the instant Now.
std::chrono::sys_days LocalDay(time_t Now) {
    ::tzset();  // the zone may have changed since the last conversion (the tests change it)
    tm local{};
    ::localtime_r(&Now, &local);
    return std::chrono::sys_days(std::chrono::year_month_day{
        std::chrono::year(local.tm_year + 1900), std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
        std::chrono::day(static_cast<unsigned>(local.tm_mday))});
}

std::string FormatDate(std::chrono::sys_days Day) {
    std::chrono::year_month_day date(Day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::chrono::sys_days MondayOf(std::chrono::sys_days Day) {
    return Day - std::chrono::days(std::chrono::weekday(Day).iso_encoding() - 1);
}

std::string TwoDigits(int Value) {
    return {char('0' + Value / 10), char('0' + Value % 10)};
}

constexpr std::string_view DAY_NAMES[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// The value of the first line "Key=..." of a unit file.
std::optional<std::string> UnitValue(const std::string& Text, std::string_view Key) {
    for (size_t pos = 0; pos < Text.size();) {
        size_t end = std::min(Text.find('\n', pos), Text.size());
        std::string_view line(Text.data() + pos, end - pos);
        if (line.size() > Key.size() && line.starts_with(Key) && line[Key.size()] == '=')
            return std::string(line.substr(Key.size() + 1));
        pos = end + 1;
    }
    return std::nullopt;
}

// The timer's OnCalendar= expression; empty when the schedule is not one the editor offers.
std::string CalendarExpression(const TScheduleSpec& Spec) {
    const std::string time = " " + TwoDigits(Spec.Hour) + ":" + TwoDigits(Spec.Minute) + ":00";
    switch (Spec.Frequency) {
        case 0:
            return "*-*-*" + time;
        case 1: {
            std::string days;
            for (size_t i = 0; i < 7; ++i) {
                if (!Spec.WeekDays[i]) continue;
                if (!days.empty()) days += ',';
                days += DAY_NAMES[i];
            }
            return days.empty() ? std::string() : days + " *-*-*" + time;
        }
        case 2:
            return "*-*-" + TwoDigits(Spec.Every) + time;
        default:
            return {};
    }
}

// What the schedule asks for, checked: empty, or why it cannot be made.
std::string CheckSpec(const TScheduleSpec& Spec) {
    if (Spec.Hour < 0 || Spec.Hour > 23 || Spec.Minute < 0 || Spec.Minute > 59)
        return "the start time is not valid";
    switch (Spec.Frequency) {
        case 0:
            if (Spec.Every < 1 || Spec.Every > 365) return "a daily job runs every 1 to 365 days";
            break;
        case 1:
            if (Spec.Every < 1 || Spec.Every > 56) return "a weekly job runs every 1 to 56 weeks";
            if (CalendarExpression(Spec).empty()) return "a weekly job needs at least one day of the week";
            break;
        case 2:
            if (Spec.Every < 1 || Spec.Every > 31) return "a monthly job runs on a day from 1 to 31";
            break;
        default:
            return "the frequency is not daily, weekly or monthly";
    }
    if (Spec.Frequency != 2 && Spec.Every > 1 && !Spec.CreationDate.empty() && !ParseDate(Spec.CreationDate))
        return "the creation date is not a date of the form YYYY-MM-DD";
    return {};
}

// The service carries no display of its own: the one of the session that made the job is gone
// after a log-out or a restart. The program opens its windows on the display the user manager
// knows when it runs, and runs unseen when there is none.
std::string ServiceText(std::string_view TaskName, const std::string& Program, const std::string& Folder,
                        const std::vector<std::string>& Condition) {
    std::string text = "[Unit]\n" + UnitLine("Description", TaskName) + "\n[Service]\n" +
                       UnitLine("Type", "exec") + UnitLine("WorkingDirectory", Folder);
    if (!Condition.empty()) text += UnitLine("ExecCondition", ExecLine(Condition));
    text += UnitLine("ExecStart", ExecLine({Program, std::string(TaskName)}));
    return text;
}

std::string TimerText(std::string_view TaskName, const std::string& Calendar) {
    return "[Unit]\n" + UnitLine("Description", TaskName) + "\n[Timer]\n" + UnitLine("OnCalendar", Calendar) +
           UnitLine("AccuracySec", "1s") + UnitLine("Persistent", "false") + "\n[Install]\n" +
           UnitLine("WantedBy", "timers.target");
}

// A line Environment="DISPLAY=...", "WAYLAND_DISPLAY=..." or "XAUTHORITY=..." of an older service.
bool IsDisplayAssignment(std::string_view Line) {
    for (std::string_view name : {"DISPLAY=", "WAYLAND_DISPLAY=", "XAUTHORITY="})
        if (Line.starts_with("Environment=\"" + std::string(name))) return true;
    return false;
}

// The program a job starts, checked; 0 or an errno (SchedulerError() then says why).
int CheckedProgram(std::string& Program) {
    Program = ScheduledProgram();
    if (Program.empty()) {
        SetError("The program's own path cannot be read");
        return ENOENT;
    }
    // systemd refuses a program whose path holds a quote, a backslash or a control character.
    if (Program.front() != '/' || !IsUnitText(Program) ||
        Program.find_first_of("\"'\\") != std::string::npos) {
        SetError("A scheduled job cannot start a program from this path: " + Program);
        return EINVAL;
    }
    return 0;
}

// Takes back a job that could not be completed: its timer stopped and disabled, its files gone.
// The failure that led here is what the caller reports, so these steps only try.
void RollBack(const std::string& Folder, const std::string& Stem, bool Enabled) {
    std::string error;
    {
        std::lock_guard lock(g_SchedulerMutex);
        error = g_SchedulerError;
    }
    if (Enabled) RunScheduler({"disable", "--now", Stem + ".timer"});
    RemoveFile(Folder + Stem + ".service");
    RemoveFile(Folder + Stem + ".timer");
    // "enable" may have made its link before a later step failed.
    std::error_code ec;
    const std::string link = Folder + "timers.target.wants/" + Stem + ".timer";
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec))) RemoveFile(link);
    RunScheduler({"daemon-reload"});
    SetError(error);
}

}  // namespace

int EnsureTaskScheduler() {
    std::string output;
    return RunScheduler({"show-environment"}, &output);
}

bool ScheduledJobExists(std::string_view SyncID) {
    if (SyncID.empty()) return false;
    const std::string folder = UnitFolder();
    return !folder.empty() && FileExists(folder + ScheduledUnitStem(SyncID) + ".service");
}

int DeleteScheduledJob(std::string_view SyncID) {
    if (SyncID.empty()) return 0;  // no identifier, no job
    const std::string folder = UnitFolder();
    if (folder.empty()) return 0;
    const std::string stem = ScheduledUnitStem(SyncID);
    const std::string service = folder + stem + ".service", timer = folder + stem + ".timer";
    const bool hasTimer = FileExists(timer);
    if (!hasTimer && !FileExists(service)) return 0;
    // A timer that cannot be disabled keeps running: its files stay, so the job is still seen.
    if (hasTimer)
        if (int status = RunScheduler({"disable", "--now", stem + ".timer"}); status != 0) return status;
    if (int error = RemoveFile(timer)) return FileFailure("Cannot remove", timer, error);
    if (int error = RemoveFile(service)) return FileFailure("Cannot remove", service, error);
    return RunScheduler({"daemon-reload"});
}

int CreateScheduledJob(std::string_view SyncID, std::string_view TaskName, const TScheduleSpec& Spec) {
    if (SyncID.empty() || TaskName.empty() || HasControlCharacter(SyncID) || !IsUnitText(TaskName)) {
        SetError("A scheduled job needs a task name (UTF-8) and an identifier without control characters");
        return EINVAL;
    }
    if (std::string problem = CheckSpec(Spec); !problem.empty()) {
        SetError("The schedule cannot be made: " + problem);
        return EINVAL;
    }
    std::string program;
    if (int error = CheckedProgram(program)) return error;
    // The job runs where the program keeps its files, as a start from the menu does.
    const std::string programFolder = GetProgramFolder();
    if (programFolder.empty() || !IsUnitText(programFolder)) {
        SetError("The program folder cannot be made");
        return ENOENT;
    }
    const std::string folder = UnitFolder();
    if (folder.empty()) {
        SetError("There is no folder for the scheduler's units (no home folder)");
        return ENOENT;
    }

    // Nothing is written for a user manager that cannot be reached.
    if (int status = EnsureTaskScheduler(); status != 0) return status;

    std::vector<std::string> condition;
    if (Spec.Frequency != 2 && Spec.Every > 1) {
        const std::string created =
            Spec.CreationDate.empty() ? FormatDate(LocalDay(::time(nullptr))) : Spec.CreationDate;
        condition = {program, std::string(DUE_OPTION), Spec.Frequency == 0 ? "daily" : "weekly", created,
                     std::to_string(Spec.Every)};
    }
    const std::string stem = ScheduledUnitStem(SyncID);
    const std::string service = folder + stem + ".service", timer = folder + stem + ".timer";

    if (int error = MakeFolders(folder)) return FileFailure("Cannot make the folder", folder, error);
    if (int error = WriteFileAtomic(service, ServiceText(TaskName, program, programFolder, condition))) {
        FileFailure("Cannot write", service, error);
        RollBack(folder, stem, false);
        return error;
    }
    if (int error = WriteFileAtomic(timer, TimerText(TaskName, CalendarExpression(Spec)))) {
        FileFailure("Cannot write", timer, error);
        RollBack(folder, stem, false);
        return error;
    }
    if (int status = RunScheduler({"daemon-reload"}); status != 0) {
        RollBack(folder, stem, false);
        return status;
    }
    if (int status = RunScheduler({"enable", "--now", stem + ".timer"}); status != 0) {
        RollBack(folder, stem, true);
        return status;
    }
    return 0;
}

int RenameScheduledJob(std::string_view SyncID, std::string_view TaskName) {
    if (SyncID.empty() || TaskName.empty() || HasControlCharacter(SyncID) || !IsUnitText(TaskName)) {
        SetError("A scheduled job needs a task name (UTF-8) and an identifier without control characters");
        return EINVAL;
    }
    const std::string folder = UnitFolder();
    const std::string stem = folder + ScheduledUnitStem(SyncID);
    const std::string service = stem + ".service", timer = stem + ".timer";
    std::string oldService, oldTimer;
    if (folder.empty() || ReadWholeFile(service, oldService) != 0) {
        SetError("The task has no scheduled job: " + service);
        return ENOENT;
    }
    const bool hasTimer = ReadWholeFile(timer, oldTimer) == 0;
    std::string program;
    if (int error = CheckedProgram(program)) return error;

    // Only the name changes: the lines that carry it are replaced, the rest (the due check, the
    // calendar) stays as it was made. A display an older job was given is dropped: it outlives its
    // session.
    const auto renamed = [&](const std::string& Old) {
        std::string text;
        for (size_t pos = 0; pos < Old.size();) {
            size_t end = Old.find('\n', pos);
            end = end == std::string::npos ? Old.size() : end + 1;
            std::string_view line(Old.data() + pos, end - pos);
            if (line.starts_with("Description="))
                text += UnitLine("Description", TaskName);
            else if (line.starts_with("ExecStart="))
                text += UnitLine("ExecStart", ExecLine({program, std::string(TaskName)}));
            else if (!IsDisplayAssignment(line))
                text += line;
            pos = end;
        }
        return text;
    };
    // On any failure both units are put back: the job keeps running the task under its old name.
    if (int error = WriteFileAtomic(service, renamed(oldService)))
        return FileFailure("Cannot write", service, error);
    if (hasTimer)
        if (int error = WriteFileAtomic(timer, renamed(oldTimer))) {
            FileFailure("Cannot write", timer, error);
            WriteFileAtomic(service, oldService);
            return error;
        }
    if (int status = RunScheduler({"daemon-reload"}); status != 0) {
        WriteFileAtomic(service, oldService);
        if (hasTimer) WriteFileAtomic(timer, oldTimer);
        return status;
    }
    return 0;
}

bool ReadScheduledJob(std::string_view SyncID, TScheduleSpec& Spec) {
    const std::string folder = UnitFolder();
    if (SyncID.empty() || folder.empty()) return false;
    const std::string stem = folder + ScheduledUnitStem(SyncID);
    std::string timer, service;
    if (ReadWholeFile(stem + ".timer", timer) != 0 || ReadWholeFile(stem + ".service", service) != 0)
        return false;
    const auto calendar = UnitValue(timer, "OnCalendar");
    if (!calendar) return false;
    auto number = [](std::string_view Digits, int& Value) {
        auto [end, ec] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value);
        return !Digits.empty() && ec == std::errc() && end == Digits.data() + Digits.size();
    };

    // "[days ]*-*-<* or day> HH:MM:00", as CalendarExpression writes it.
    TScheduleSpec spec;
    std::vector<std::string_view> words;
    for (std::string_view rest(*calendar); !rest.empty();) {
        const size_t blank = std::min(rest.find(' '), rest.size());
        words.push_back(rest.substr(0, blank));
        rest.remove_prefix(std::min(blank + 1, rest.size()));
    }
    if (words.size() == 3) {
        spec.Frequency = 1;
        for (std::string_view days = words[0]; !days.empty();) {
            const size_t comma = std::min(days.find(','), days.size());
            const auto name = std::find(std::begin(DAY_NAMES), std::end(DAY_NAMES), days.substr(0, comma));
            if (name == std::end(DAY_NAMES)) return false;
            spec.WeekDays[static_cast<size_t>(name - std::begin(DAY_NAMES))] = true;
            days.remove_prefix(std::min(comma + 1, days.size()));
        }
        words.erase(words.begin());
    }
    if (words.size() != 2 || !words[0].starts_with("*-*-") || words[1].size() != 8 ||
        !words[1].ends_with(":00") || words[1][2] != ':' || !number(words[1].substr(0, 2), spec.Hour) ||
        !number(words[1].substr(3, 2), spec.Minute))
        return false;
    const std::string_view day = words[0].substr(4);
    if (day != "*") {
        if (spec.Frequency == 1 || !number(day, spec.Every)) return false;
        spec.Frequency = 2;
    }

    // Every n days or weeks: the due check's last two words, the creation date and n.
    if (const auto condition = UnitValue(service, "ExecCondition"); condition && spec.Frequency != 2) {
        std::vector<std::string> args;
        for (size_t pos = 0; (pos = condition->find('"', pos)) != std::string::npos;) {
            const size_t end = condition->find('"', pos + 1);
            if (end == std::string::npos) break;
            args.push_back(condition->substr(pos + 1, end - pos - 1));
            pos = end + 1;
        }
        if (args.size() < 3 || !ParseDate(args[args.size() - 2]) || !number(args.back(), spec.Every) ||
            args[args.size() - 3] != (spec.Frequency == 0 ? "daily" : "weekly"))
            return false;
        spec.CreationDate = args[args.size() - 2];
    }
    if (!CheckSpec(spec).empty()) return false;
    Spec = spec;
    return true;
}

std::string SchedulerError() {
    std::lock_guard lock(g_SchedulerMutex);
    return g_SchedulerError;
}

std::string ScheduledUnitStem(std::string_view SyncID) {
    std::string escaped;
    for (size_t i = 0; i < SyncID.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(SyncID[i]);
        if (c == '/')
            escaped += '-';
        else if ((c == '.' && i > 0) || c == ':' || c == '_' || (c >= '0' && c <= '9') ||
                 (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            escaped += static_cast<char>(c);
        else
            escaped += "\\x" + Hex2(c);
    }
    if (escaped.size() > MAX_ESCAPED_ID) escaped = "h-" + StableHash(escaped);
    return std::string(UNIT_PREFIX) + escaped;
}

bool ScheduleDue(std::string_view Mode, std::string_view Created, int Every, time_t Now) {
    const auto created = ParseDate(Created);
    if (!created || Every < 1 || (Mode != "daily" && Mode != "weekly")) return false;
    const std::chrono::sys_days today = LocalDay(Now);
    if (today < *created) return false;
    if (Mode == "daily") return (today - *created).count() % Every == 0;
    return (MondayOf(today) - MondayOf(*created)).count() / 7 % Every == 0;
}

bool ScheduleDue(std::string_view Mode, std::string_view Created, int Every) {
    return ScheduleDue(Mode, Created, Every, ::time(nullptr));
}

int ScheduleDueCheck(const std::vector<std::string>& Args, std::string& Error) {
    int every = 0;
    if (Args.size() == 3) {
        const std::string& n = Args[2];
        auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), every);
        if (ec != std::errc() || end != n.data() + n.size()) every = 0;
    }
    if (Args.size() != 3 || (Args[0] != "daily" && Args[0] != "weekly") || !ParseDate(Args[1]) || every < 1) {
        Error = "usage: " + std::string(DUE_OPTION) + " daily|weekly YYYY-MM-DD N (N >= 1)";
        return 2;
    }
    return ScheduleDue(Args[0], Args[1], every) ? 0 : 1;
}

void SetSchedulerCommand(std::vector<std::string> Argv) {
    std::lock_guard lock(g_SchedulerMutex);
    g_SchedulerCommand = std::move(Argv);
}

void SetSchedulerUnitFolder(std::string Folder) {
    std::lock_guard lock(g_SchedulerMutex);
    g_UnitFolder = std::move(Folder);
}

void SetScheduledProgram(std::string Path) {
    std::lock_guard lock(g_SchedulerMutex);
    g_ScheduledProgram = std::move(Path);
}

}  // namespace bfs
