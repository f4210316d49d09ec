#pragma once

#include <string>
#include <string_view>

namespace bfs {

// Writes Data as the file Path so that a crash leaves the old file or the new one, never a half:
// a temporary file in the same folder, flushed to disk, renamed over Path, folder synced.
// Keeps the mode of an existing file (new files get 0644 less the umask). Returns 0 on success,
// else the errno of the failing step; on failure no temporary file is left behind.
int WriteFileAtomic(const std::string& Path, std::string_view Data);
// The same with the file's mode set to Mode whatever it was (0600 for files that hold passwords).
int WriteFileAtomic(const std::string& Path, std::string_view Data, unsigned Mode);

// Reads the whole file into Data. Returns 0, or the errno of the failure (ENOENT when missing).
int ReadWholeFile(const std::string& Path, std::string& Data);

// Appends Line to the file (created when missing, mode 0644 less the umask) with one write(2) on
// an O_APPEND descriptor, so lines from several threads or processes never interleave.
// Returns 0 or an errno.
int AppendToFile(const std::string& Path, std::string_view Line);

// Creates the folder and every missing parent with Mode (existing folders are left as they are).
// Returns 0 or an errno.
int MakeFolders(const std::string& Path, unsigned Mode = 0755);

bool FileExists(const std::string& Path);    // a regular file (links followed)
bool FolderExists(const std::string& Path);  // a folder (links followed)

}  // namespace bfs
