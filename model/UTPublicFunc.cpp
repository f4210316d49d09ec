#include "model/UTPublicFunc.h"

#include "model/UTDosTime.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTSystem.h"

#include <utf8proc.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>

namespace bfs {

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

template <class TIsBlank>
std::string_view TrimBy(std::string_view S, TIsBlank Blank) {
    while (!S.empty() && Blank(S.front())) S.remove_prefix(1);
    while (!S.empty() && Blank(S.back())) S.remove_suffix(1);
    return S;
}

// The characters of a UTF-8 text, each as its bytes. A byte that does not start a valid sequence is
// a character of its own, so every text splits and joins back to the same bytes.
std::vector<std::string_view> SplitChars(std::string_view Text) {
    std::vector<std::string_view> chars;
    chars.reserve(Text.size());
    size_t i = 0;
    while (i < Text.size()) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(Text.data() + i),
                                  static_cast<utf8proc_ssize_t>(Text.size() - i), &cp);
        size_t len = n > 0 ? static_cast<size_t>(n) : 1;
        chars.push_back(Text.substr(i, len));
        i += len;
    }
    return chars;
}

size_t CharCount(std::string_view Text) {
    size_t count = 0;
    for (char c : Text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    return count;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal value of a field that must be all digits; -1 otherwise.
int DigitsValue(const std::vector<std::string_view>& Chars, size_t From, size_t Count) {
    int value = 0;
    for (size_t i = From; i < From + Count; ++i) {
        if (Chars[i].size() != 1 || !IsDigit(Chars[i][0])) return -1;
        value = value * 10 + (Chars[i][0] - '0');
    }
    return value;
}

char RandomFiller() {
    thread_local std::mt19937 gen{std::random_device{}()};
    std::uniform_int_distribution<int> dist(33, 126);
    int code = dist(gen);
    if (code == '<') code = '=';  // the form goes into XML text
    return static_cast<char>(code);
}

constexpr size_t FILLER_COUNT = 10;
constexpr size_t SHORT_FORM_MIN = 40;
constexpr size_t SHORT_FORM_MAX_CHARS = 99;
constexpr char LONG_LENGTH_MARK = '#';
constexpr size_t LONG_LENGTH_MAX_DIGITS = 9;

std::string BadPassword(std::string_view Why) {
    // The form itself is not logged: it is a password.
    TMyException::Instance().LogError("Bad password text", "EConvertError", Why);
    return {};
}

std::mutex g_ShutdownMutex;  // guards g_ShutdownCommand
std::vector<std::string> g_ShutdownCommand{"systemctl", "poweroff"};

constexpr const char* AUTOSTART_FILE = "bramlow-file-sync.desktop";
constexpr const char* RUN_AT_STARTUP_CONTEXT =
    "Error Registry,If You run on vista,then please run as administrator.";

void LogStartupError(const std::string& What, int Err) {
    std::string message = What;
    if (Err != 0) message += std::string(": ") + std::strerror(Err);
    TMyException::Instance().LogError(RUN_AT_STARTUP_CONTEXT, "EInOutError", message);
}

// The autostart entry that starts Program under the name ValueName.
std::string AutostartEntryText(std::string_view ValueName, const std::string& Program) {
    return "[Desktop Entry]\nType=Application\nName=" + EscapeDesktopString(ValueName) +
           "\nExec=" + QuoteDesktopExecArg(Program) + "\n";
}

}  // namespace

std::string Trim(std::string_view S) {
    return std::string(TrimBy(S, IsBlank));
}

std::string_view TrimWhiteSpace(std::string_view S) {
    return TrimBy(S, IsWhiteSpace);
}

bool IsSafeName(std::string_view Name) {
    if (Name.empty() || Name == "." || Name == "..") return false;
    return Name.find('/') == std::string_view::npos && Name.find('\0') == std::string_view::npos;
}

bool IsSafeRelPath(std::string_view Path) {
    if (Path.empty()) return false;
    if (Path == "/") return true;
    if (Path.front() == '/') Path.remove_prefix(1);
    if (!Path.empty() && Path.back() == '/') Path.remove_suffix(1);
    for (;;) {
        size_t slash = Path.find('/');
        if (!IsSafeName(Path.substr(0, slash))) return false;
        if (slash == std::string_view::npos) return true;
        Path.remove_prefix(slash + 1);
    }
}

std::string JoinPath(std::string_view A, std::string_view B, char Sep) {
    std::string a(A);
    std::string b(B);
    char from = Sep == '/' ? '\\' : '/';
    std::replace(a.begin(), a.end(), from, Sep);
    std::replace(b.begin(), b.end(), from, Sep);
    if (b.empty() || b.front() != Sep) b.insert(b.begin(), Sep);
    if (!a.empty() && a.back() == Sep) a.pop_back();
    return a + b;
}

std::string ExtractParentBySep(std::string_view Path, char Sep) {
    size_t pos = Path.rfind(Sep);
    if (pos == std::string_view::npos) return {};
    return std::string(Path.substr(0, pos));
}

std::string ExtractNameBySep(std::string_view Path, char Sep) {
    size_t pos = Path.rfind(Sep);
    if (pos == std::string_view::npos) return std::string(Path);
    return std::string(Path.substr(pos + 1));
}

std::string StripTrailingSlash(std::string_view Path) {
    std::string_view core = Path;
    while (!core.empty() && IsBlank(core.back())) core.remove_suffix(1);
    bool cut = false;
    if (core.size() > 1 && core.back() == '/') {
        core.remove_suffix(1);
        cut = true;
    }
    std::string_view rest = core;
    while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
    if (!rest.empty() && rest.back() == '\\') {
        core = rest.substr(0, rest.size() - 1);
        cut = true;
    }
    return std::string(cut ? core : Path);
}

bool IsValidFileName(std::string_view Name) {
    return Name.find_first_of("\\/:*?><|") == std::string_view::npos;
}

std::vector<std::string> SplitSeparated(char Sep, std::string_view Text) {
    std::vector<std::string> parts;
    std::string part;
    size_t i = 0;
    while (i < Text.size()) {
        char c = Text[i];
        if (c == Sep || c == '\r' || c == '\n') {
            parts.push_back(std::move(part));
            part.clear();
            // CR LF is one break; a separator followed by LF counts as CR LF, as the separator
            // stands for a CR.
            if (c != '\n' && Sep != '\n' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
        } else {
            part += c;
        }
        ++i;
    }
    // A text that ends with a break has no empty last part.
    if (!part.empty()) parts.push_back(std::move(part));
    return parts;
}

int CountSeparated(char Sep, std::string_view Text) {
    return static_cast<int>(SplitSeparated(Sep, Text).size());
}

int AnsiCharCount(std::string_view Text) {
    int units = 0;
    size_t i = 0;
    while (i < Text.size()) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(Text.data() + i),
                                  static_cast<utf8proc_ssize_t>(Text.size() - i), &cp);
        if (n <= 0) return 0;
        units += cp > 0xFFFF ? 2 : 1;
        i += static_cast<size_t>(n);
    }
    return units;
}

std::optional<int64_t> ParseMDYDateTime(std::string_view Text) {
    std::vector<std::string_view> chars = SplitChars(Text);
    if (chars.size() < 16) return std::nullopt;
    int month = DigitsValue(chars, 0, 2);
    int day = DigitsValue(chars, 3, 2);
    int year = DigitsValue(chars, 6, 4);
    int hour = DigitsValue(chars, 11, 2);
    int minute = DigitsValue(chars, 14, 2);
    if (month < 1 || month > 12 || day < 1 || year < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59)
        return std::nullopt;
    static constexpr int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int monthDays = DAYS[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day > monthDays) return std::nullopt;

    const int64_t t = LocalTimeToUnixTime(year, month, day, hour, minute, 0);
    if (t == -1) return std::nullopt;
    return t;
}

std::string WrapText(std::string_view Text, int Width) {
    if (static_cast<long long>(CharCount(Text)) <= Width) return std::string(Text);
    std::vector<std::string> words = SplitSeparated(' ', Text);
    std::string result;
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) {
        line += words[i];
        line += ' ';
        if (static_cast<long long>(CharCount(line)) > Width) {
            result += line;
            result += '\r';
            line.clear();
        } else if (i + 1 == words.size()) {
            result += line;
        }
    }
    return result;
}

std::string ScramblePassword(std::string_view Plain) {
    std::vector<std::string_view> chars = SplitChars(Plain);
    std::string form;
    form.reserve(FILLER_COUNT + 12 + 2 * Plain.size() + SHORT_FORM_MIN);
    for (size_t i = 0; i < FILLER_COUNT; ++i) form += RandomFiller();
    size_t formChars = FILLER_COUNT;
    if (chars.size() <= SHORT_FORM_MAX_CHARS) {
        form += static_cast<char>('0' + chars.size() / 10);
        form += static_cast<char>('0' + chars.size() % 10);
        formChars += 2;
    } else {
        std::string length = std::to_string(chars.size());
        form += LONG_LENGTH_MARK;
        form += length;
        form += LONG_LENGTH_MARK;
        formChars += length.size() + 2;
    }
    for (std::string_view c : chars) {
        form += c;
        form += RandomFiller();
        formChars += 2;
    }
    for (; formChars < SHORT_FORM_MIN; ++formChars) form += RandomFiller();
    return form;
}

std::string UnscramblePassword(std::string_view Form) {
    std::vector<std::string_view> chars = SplitChars(Form);
    if (chars.size() < FILLER_COUNT + 2) return BadPassword("The scrambled password is too short");

    size_t length = 0;
    size_t first = 0;  // index of the password's first character
    if (chars[FILLER_COUNT] == std::string_view(&LONG_LENGTH_MARK, 1)) {
        size_t i = FILLER_COUNT + 1;
        size_t digits = 0;
        while (i < chars.size() && chars[i].size() == 1 && IsDigit(chars[i][0]) &&
               digits < LONG_LENGTH_MAX_DIGITS) {
            length = length * 10 + static_cast<size_t>(chars[i][0] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || i >= chars.size() || chars[i] != std::string_view(&LONG_LENGTH_MARK, 1))
            return BadPassword("The length of the scrambled password is not a number");
        first = i + 1;
    } else {
        int value = DigitsValue(chars, FILLER_COUNT, 2);
        if (value < 0) return BadPassword("The length of the scrambled password is not a number");
        length = static_cast<size_t>(value);
        first = FILLER_COUNT + 2;
    }
    // The last character of the password sits at first + 2 * (length - 1).
    if (length > 0 && (first >= chars.size() || (chars.size() - first - 1) / 2 < length - 1))
        return BadPassword("The scrambled password is shorter than its length says");

    std::string plain;
    for (size_t k = 0; k < length; ++k) plain += chars[first + 2 * k];
    return plain;
}

std::string LogTimeStamp(std::time_t When) {
    std::tm local{};
    if (::localtime_r(&When, &local) == nullptr) return {};
    char buf[32];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(buf, n);
}

std::string GetCurrentUserName() {
    return GetProcessUserName();
}

std::string GetLocalComputerName() {
    return GetHostName();
}

int ShutdownComputer() {
    std::vector<std::string> command;
    {
        std::lock_guard lock(g_ShutdownMutex);
        command = g_ShutdownCommand;
    }
    return RunCommand(command) == 0 ? 1 : 0;
}

void SetShutdownCommand(std::vector<std::string> Argv) {
    std::lock_guard lock(g_ShutdownMutex);
    g_ShutdownCommand = std::move(Argv);
}

int SetRunAtStartup(std::string_view ValueName, std::string_view Flag) {
    try {
        std::string folder = GetAutostartFolder();
        if (folder.empty()) {
            LogStartupError("No home folder for the autostart entry", 0);
            return 0;
        }
        std::string file = folder + AUTOSTART_FILE;
        if (Trim(Flag).empty()) {
            std::error_code ec;
            std::filesystem::remove(file, ec);  // a missing entry is no failure
            if (ec) LogStartupError("Cannot remove " + file, ec.value());
            return 0;
        }
        std::string program = GetExecutablePath();
        if (program.empty()) {
            LogStartupError("Cannot find the running program", errno);
            return 0;
        }
        std::string entry = AutostartEntryText(ValueName, program);
        if (int err = MakeFolders(folder); err != 0) {
            LogStartupError("Cannot create " + folder, err);
            return 0;
        }
        if (int err = WriteFileAtomic(file, entry); err != 0) LogStartupError("Cannot write " + file, err);
    } catch (const std::exception& e) {
        LogError(RUN_AT_STARTUP_CONTEXT, e);
    }
    return 0;
}

std::string GetRunAtStartupFile() {
    std::string folder = GetAutostartFolder();
    return folder.empty() ? std::string() : folder + AUTOSTART_FILE;
}

int GetRunAtStartup(std::string_view ValueName) {
    std::string file = GetRunAtStartupFile();
    if (file.empty()) return -1;
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(file, ec);
    if (status.type() == std::filesystem::file_type::not_found) return 0;
    if (ec) return -1;
    std::string program = GetExecutablePath();
    std::string text;
    if (program.empty() || ReadWholeFile(file, text) != 0) return -1;
    return text == AutostartEntryText(ValueName, program) ? 1 : -1;
}

std::string GetStagingFolder() {
    return GetStagingFolderPath();
}

std::string GetAppDataFolder() {
    return GetDataFolder();
}

}  // namespace bfs
