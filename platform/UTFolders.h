#pragma once

#include <string>
#include <vector>

namespace bfs {

// The folders that stand in for the Windows program folder and special folders. Each ends with
// "/" and is created on first use (the staging and runtime folders with mode 0700).
// - Program folder (settings, task list, language files, logs, templates):
//   $XDG_CONFIG_HOME/bramlow-file-sync/ (default ~/.config/bramlow-file-sync/)
// - Data folder (saved states of sides that keep their state locally):
//   $XDG_DATA_HOME/bramlow-file-sync/ (default ~/.local/share/bramlow-file-sync/)
// - Staging folder (files passing between two remote sides): $XDG_CACHE_HOME/bramlow-file-sync/staging/
// - Runtime folder (lock files): $XDG_RUNTIME_DIR/bramlow-file-sync/ when XDG_RUNTIME_DIR is
//   an absolute path, else $XDG_CACHE_HOME/bramlow-file-sync/run/
// An empty result means the folder could not be made (no HOME, no permission).
std::string GetProgramFolder();
// Stored passwords stay private: the program folder becomes 0700 (new ones are made so) and every
// task-list file in it ("*.fs": the task list, templates) loses any rights of group and others.
// 0, or the errno of the first failure.
int SecureProgramFolder();
std::string GetDataFolder();
std::string GetStagingFolderPath();

// The runtime folder (lock files, the instance socket), and why it may not be used.
struct TRuntimeFolder {
    std::string Path;     // ends with "/"; empty when there is no base to put it in
    std::string Problem;  // empty when the folder may be used, else a clause naming it: "the folder
                          // /run/user/1000/bramlow-file-sync is a symbolic link"
};
// Makes the runtime folder (mode 0700) when it is missing and checks it: it is used only when it
// is a real folder (not a link, never followed), owned by this user, of mode 0700. Anything else is
// refused as it is found, never changed.
TRuntimeFolder CheckRuntimeFolder();
// CheckRuntimeFolder's path when the folder may be used, else "".
std::string GetRuntimeFolder();

// Creates an empty file of a unique name (mode 0600) in the staging folder and returns its full
// path; empty when it cannot be made. The caller removes it when done with it.
std::string MakeStagingFile();

// The program's own folders (the program, data and cache folders), made yet or not, without a
// trailing "/". Paths in them are the program's, never a side's, wherever they lie.
std::vector<std::string> OwnFolderPaths();

// The user's home folder: $HOME when set and not empty, else the password database's entry; empty
// when neither knows it. Safe on any thread.
std::string GetHomeFolder();

// The base of per-user settings: $XDG_CONFIG_HOME when it is an absolute path (the base-directory
// rules ignore relative ones), else ~/.config. Not created; empty without a home.
std::string GetConfigHome();

}  // namespace bfs
