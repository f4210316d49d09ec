#pragma once

// Small routines that the back-ends share: how a copy's progress reads, which dates a copy sets, and
// the texts of the web protocols (numbers, paths in addresses, HTTP dates, Base64).

#include "model/UTDosTime.h"
#include "model/UTFileTree.h"
#include "model/UTSharedString.h"
#include "platform/UTLocalFile.h"

#include <sys/stat.h>
#include <time.h>

#include <charconv>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace bfs {

// A percentage with at most two decimals and no trailing zeros or dot (40, 66.67, 100), the same in
// every locale.
inline std::string FormatPercent(double Value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed, 2);
    if (ec != std::errc()) return "0";
    std::string text(buf, end);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text.empty() ? "0" : text;
}

// A folder waiting to be listed by a back-end that lists one folder per request: its address on
// the server (in the back-end's own form), its node, and the Path its entries get.
struct TPendingFolder {
    std::string Folder;
    TFileTree* Node;
    TSharedString Rel;
};

// What reading one folder of a listing came to.
enum class TFolderRead {
    Read,     // listed whole
    Refused,  // this folder could not be read (marked NotListed, logged); the others go on
    GiveUp,   // the connection is lost or the listing stopped: nothing more is read
    HandBack  // this worker cannot serve (its own log-on failed): another worker reads the folder
};

// One worker of a parallel listing, on its own connection: reads Folder into its node and appends
// the folders found in it to SubFolders. Runs on one thread at a time; never on two.
using TFolderReader =
    std::function<TFolderRead(const TPendingFolder& Folder, std::vector<TPendingFolder>& SubFolders)>;

// Lists a tree folder by folder, starting from Root, on up to Workers threads: the calling thread
// reads with First; each further thread is started only while folders are waiting, and gets its
// reader (its own connection) from MakeReader, called on that thread (an empty reader: it takes no
// part). Folders are taken in the order they were found, so Progress, called under the listing's
// lock, goes out once per level before its first folder is read, for at most Steps levels. Stopped
// is tested before every folder. Each folder's node is filled by the one worker that reads it, so
// the tree is the same whatever the number of workers; its levels are left unsorted.
// True when every folder was read; otherwise every folder not read is marked NotListed. An
// exception of a reader ends the listing and is rethrown once every worker has ended.
bool ListFoldersInParallel(TPendingFolder Root, size_t Workers, int32_t Steps, const TFolderReader& First,
                           const std::function<TFolderReader()>& MakeReader,
                           const std::function<bool()>& Stopped, const std::function<void()>& Progress);

// Whether a local source's status St no longer matches the size and date a listing gave it (a date
// that names no day is not compared).
bool DiffersFromListing(const struct stat& St, int64_t Size, int32_t FileDate);
// Whether the local source open as Fd changed while it was copied: it no longer matches the
// listing, or its modification or change time is not Before's to the nanosecond (rewritten within
// the same second, or rewritten and dated back).
bool ChangedSince(int Fd, const struct stat& Before, int64_t Size, int32_t FileDate);

// Removes the temporary file Name of the local folder FolderFd that its writer left behind (it died,
// or the system did), only when no writer holds its lock: a copy in progress keeps its file.
// Failures wait for the next time.
void RemoveLeftover(int FolderFd, const std::string& Name) noexcept;

// A download of a listed file into the local file Target, as every back-end's GetFile makes it: the
// bytes go to a temporary file of the reserved form beside Target (Prefix, as TTempFile takes it),
// which takes Target's name only once it holds exactly the Listed bytes the listing gave the file.
// The file never holds more: the write that would take it past Listed is refused and ends the
// download (Overran), so that a file that grows while it is read, or a server that sends without
// end, cannot fill the disk. A temporary file not committed is removed when the object goes; one
// that a killed run left is a leftover of the reserved form, removed by a later listing of its
// folder; the staging folder, which no side lists, is rid of its leftovers by the first download
// into it that a process makes.
class TDownloadFile {
  public:
    TDownloadFile(std::string Target, std::string_view Prefix, int64_t Listed);
    TDownloadFile(const TDownloadFile&) = delete;
    TDownloadFile& operator=(const TDownloadFile&) = delete;

    // Whether the temporary file could be made.
    bool Created() const noexcept { return m_Temp.Created(); }
    // Appends Data. False when it would take the file past the listed size (nothing of it is
    // written, and Overran() tells) or when the write failed.
    bool Write(std::string_view Data);
    // Empties the file for another attempt at the same download.
    bool Restart();
    int64_t Bytes() const noexcept { return m_Bytes; }
    bool Overran() const noexcept { return m_Overran; }
    // Whether a write to the local file failed (a full disk, say).
    bool WriteFailed() const noexcept { return m_WriteFailed; }
    // Whether the file holds exactly the listed size.
    bool Whole() const noexcept { return !m_Overran && m_Bytes == m_Listed; }
    // Gives the file the mode a plain copy gets (0666 less the umask) and, when Times is given, the
    // times futimens(2) takes from it; then flushes it and renames it over Target in one step. False
    // when the file is not Whole() or a step failed (Target is then as it was).
    bool Commit(const timespec* Times);

  private:
    std::string m_Target;
    TTempFile m_Temp;
    int64_t m_Listed;
    int64_t m_Bytes = 0;
    bool m_Overran = false;
    bool m_WriteFailed = false;
};

// Whether Text begins with Head, ASCII letters compared without case (schemes, header names).
bool StartsWithNoCase(std::string_view Text, std::string_view Head);

// Reads all of Text as a decimal number; false for an empty text, a sign, a trailing character or
// a value that does not fit T.
template <typename T>
bool ParseNumber(std::string_view Text, T& Value) {
    if (Text.empty()) return false;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return ec == std::errc() && end == Text.data() + Text.size();
}

// RFC 3986 percent-encoding of a server path for an address: every byte other than letters,
// digits, "-", ".", "_", "~" and the separator "/" becomes "%" and two upper-case hexadecimal
// digits (a blank "%20", "+" "%2B", "#" "%23", "%" "%25", "?" "%3F", each byte of a UTF-8
// character on its own).
std::string EncodePath(std::string_view Path);
// The reverse: "%XX" becomes its byte; a "%" not followed by two hexadecimal digits stays as it is.
std::string DecodePath(std::string_view Path);
// An HTTP date ("Fri, 05 Mar 2010 14:07:33 GMT", always UTC; blanks around it allowed) as Unix
// seconds, the second itself; -1 when the text is no such date.
int64_t HttpDateToUnixTime(std::string_view Text);
// The same as a DOS date-time of local time; 0 when the text is no such date.
int32_t HttpDateToDosDate(std::string_view Text);
// Standard Base64 with "=" padding.
std::string Base64Encode(std::string_view Text);
// The MD5 of all that Bytes reads, as 32 lower-case hexadecimal digits; empty when Bytes failed.
std::string Md5Hex(const TFileTree::TTextSource& Bytes);

}  // namespace bfs
