#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The log-in name of the user the process runs as (the password database, else $USER); empty when
// neither knows it.
std::string GetProcessUserName();

// The computer's host name (gethostname); empty when it cannot be read.
std::string GetHostName();

// The full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string GetExecutablePath();

// Runs a program with the given arguments (Argv[0] is looked up in PATH) and waits for it to end.
// No shell is involved, so arguments are passed exactly as given. Returns the program's exit
// status, or -1 when it could not be started or was ended by a signal.
int RunCommand(const std::vector<std::string>& Argv);

// RunCommand that also collects what the program writes to its standard output into Output (its
// standard error stays the caller's). Output holds what was read even when the status is not 0.
int RunCommandOutput(const std::vector<std::string>& Argv, std::string& Output);

// The folder of the session's autostart entries: $XDG_CONFIG_HOME/autostart/ (when that is an
// absolute path), else ~/.config/autostart/. Ends with "/"; empty when there is no home folder.
// The folder is not created.
std::string GetAutostartFolder();

// Text as a string value of a desktop entry: "\" doubled, line breaks and tabs as "\n", "\r", "\t".
std::string EscapeDesktopString(std::string_view Text);

// Arg as it is written after "Exec=" in a desktop entry, so that the session starts exactly that
// program: quoted when it holds a reserved character (a blank among them), "%" doubled, then
// escaped as a string value (EscapeDesktopString).
std::string QuoteDesktopExecArg(std::string_view Arg);

// The size of the file system holding Path and the bytes free for the calling user (statvfs). 0, or
// the errno of the failed query (both values are then 0).
int GetDiskSpace(const std::string& Path, int64_t& TotalBytes, int64_t& FreeBytes);

}  // namespace bfs
