#pragma once

#include "model/UTListOrder.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// A list of texts, each with an attached object that moves with it when the list is sorted.
template <class TObject = void*>
struct TStringItem {
    std::string Str;
    TObject Object{};
};
template <class TObject = void*>
using TStringList = std::vector<TStringItem<TObject>>;

// What is blank at the ends of a text. Two rules, because saved files depend on each:
// - Trim: the blank and every control character (bytes up to 32). Addresses, names, masks and
//   every other field of a task list are compared and stored trimmed so.
// - TrimWhiteSpace: white space only (blank, tab, CR, LF, VT, FF), as the ini files trim names and
//   values (the Windows private-profile rules): a value may begin or end with another control
//   character, and reads back with it.
std::string Trim(std::string_view S);
std::string_view TrimWhiteSpace(std::string_view S);

// Whether a name listed from a side may be joined into a path: false for "", ".", ".." and for names
// holding "/" or NUL. Such names are never joined, so a listing cannot climb out of its root.
bool IsSafeName(std::string_view Name);

// Whether a "/"-separated relative path is made of safe names only. A leading and a trailing "/"
// are allowed ("/" alone, "/docs/", "docs/a"); an empty path and an empty component ("a//b") are not.
bool IsSafeRelPath(std::string_view Path);

// A and B joined with exactly one Sep. With Sep '/' every "\" in A and B becomes "/"; with any other
// separator every "/" becomes Sep. The conversion applies to whatever the parts hold, so callers pass
// paths and names that hold no separator of the other kind: a listed name (IsSafeName) that may hold
// a "\" (legal in a Linux name) is appended by the caller, not passed through here.
// ('dir/', 'file') -> 'dir/file'; ('', 'file') -> '/file'; ('dir', '') -> 'dir/'.
std::string JoinPath(std::string_view A, std::string_view B, char Sep);

// The text before the last Sep; empty when the path holds none. ('/dir/file' -> '/dir', '/file' -> '').
// Works on the path as given (blanks at either end are part of the names). A multi-byte UTF-8
// character never holds an ASCII separator byte, so the cut never splits a character.
std::string ExtractParentBySep(std::string_view Path, char Sep);

// The text after the last Sep; the whole path when it holds none. ('/dir/file' -> 'file').
std::string ExtractNameBySep(std::string_view Path, char Sep);

// The path without one trailing "/" and then without one trailing "\": 'a/' -> 'a', 'a\' -> 'a',
// 'a\/' -> 'a', 'a/\' -> 'a/'. "/" itself stays "/" (the root has no other form). Blanks and control
// characters after a removed separator go with it; a path that ends in no separator is unchanged.
std::string StripTrailingSlash(std::string_view Path);

// True when the name holds none of the characters \ / : * ? > < | (the double quote is allowed).
bool IsValidFileName(std::string_view Name);

// Puts the list in listing order (CompareNames: case-folded, exact bytes as tie-break; never the
// user's locale), each attached object moving with its text. Equal texts keep their order.
template <class TObject>
void SortStrings(TStringList<TObject>& List) {
    std::stable_sort(List.begin(), List.end(),
                     [](const TStringItem<TObject>& a, const TStringItem<TObject>& b) {
                         return CompareNames(a.Str, b.Str) < 0;
                     });
}

// The parts of Text when every Sep and every line break (CR, LF or CR LF) ends a part: an empty text
// has no parts, a text that ends with a break has no empty last part, and two breaks in a row give
// an empty part. With ',': 'a,b' -> a|b, 'a,' -> a, ',a' -> |a, 'a,,b' -> a||b.
std::vector<std::string> SplitSeparated(char Sep, std::string_view Text);

// The number of parts SplitSeparated gives.
int CountSeparated(char Sep, std::string_view Text);

// Index of the first entry that equals Text when both are trimmed (case-sensitive), else -1.
template <class TObject>
int IndexOfTrimmed(std::string_view Text, const TStringList<TObject>& List) {
    std::string key = Trim(Text);
    for (size_t i = 0; i < List.size(); ++i)
        if (Trim(List[i].Str) == key) return static_cast<int>(i);
    return -1;
}

// The number of UTF-16 units of a UTF-8 text (a character outside the basic plane counts two);
// 0 when the text is not valid UTF-8.
int AnsiCharCount(std::string_view Text);

constexpr int BoolToInt(bool B) {
    return B ? 1 : 0;
}
// Only 1 is true: a stored flag of 2 is not "on".
constexpr bool IntToBool(int I) {
    return I == 1;
}

// Reads the fixed form "MM-DD-YYYY hh:mm" by character positions (month 1-2, day 4-5, year 7-10, hour
// 12-13, minute 15-16; the characters between are not checked; seconds are 0) as a local time.
// Returns its instant in seconds since 1970 (daylight saving decided by the date), or nothing when a
// field is not all digits or the date or time does not exist.
std::optional<int64_t> ParseMDYDateTime(std::string_view Text);

// Text broken into lines of about Width characters for display, the lines joined by CR. A text of at
// most Width characters comes back unchanged. Otherwise the text is cut into words at blanks and line
// breaks; each word is followed by one blank, and a line is ended (with CR) as soon as it is longer
// than Width, so a line may overrun by its last word and a text whose last word overran ends with CR.
std::string WrapText(std::string_view Text, int Width);

// The stored form of a folder password. Lengths are counted in characters (UTF-8 code points), so
// any password round-trips. Filler characters are random printable ASCII (33..126) with "<" replaced
// by "=", so the form holds no "<" and no blank that the password itself does not hold.
// - Up to 99 characters: 10 filler, the length as two digits, each character followed by one filler,
//   then filler up to 40 characters (a password of up to 14 characters gives exactly 40).
// - 100 characters or more: 10 filler, "#", the length in decimal, "#", each character followed by
//   one filler. "#" is never a digit, so the two forms cannot be confused.
std::string ScramblePassword(std::string_view Plain);

// The password of a stored form. A form that is too short, whose length field is not a number or
// whose length runs past its end gives an empty password and one line in the error log.
std::string UnscramblePassword(std::string_view Form);

// The local date and time of When as every log line carries it: "YYYY-MM-DD hh:mm:ss" (24-hour
// clock); empty when the time cannot be converted.
std::string LogTimeStamp(std::time_t When);

// The user the program runs as, and the computer's host name (headers of the sync logs).
std::string GetCurrentUserName();
std::string GetLocalComputerName();

// Powers the computer off with the power-off command (by default "systemctl poweroff": a normal
// shutdown, other programs may still save their work). 1 when the command ran and succeeded, else 0.
int ShutdownComputer();
// Replaces the power-off command (program and arguments, no shell); tests use a harmless one.
void SetShutdownCommand(std::vector<std::string> Argv);

// With a non-blank Flag, writes the session autostart entry
// ($XDG_CONFIG_HOME/autostart/bramlow-file-sync.desktop) named ValueName that starts the running
// program; with a blank Flag removes it. Failures go to the error log only. Always 0.
int SetRunAtStartup(std::string_view ValueName, std::string_view Flag);
// The file of that autostart entry; empty when there is no home folder.
std::string GetRunAtStartupFile();
// What the session starts: 1 when the entry SetRunAtStartup(ValueName, on) writes is in place for
// the running program, 0 when there is no entry, -1 when something else stands there (an entry
// for another program or name, one that cannot be read) or there is no home folder. Callers check
// with it whether a SetRunAtStartup took.
int GetRunAtStartup(std::string_view ValueName);

// The private staging folder (files passing between two remote sides) and the folder of locally
// kept saved states. Each ends with "/"; empty when the folder could not be made.
std::string GetStagingFolder();
std::string GetAppDataFolder();

}  // namespace bfs
