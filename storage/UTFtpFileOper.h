#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The back-end of an FTP server (kind 3). The class itself lives in the .cpp.
// Addresses: "ftp://host[:port]/server/path" (port 21 when none is given); user name and password
// come from the side, never from the address.
std::unique_ptr<TFileOper> CreateFtpFileOper(bool FreeOnTerminate);

// Browsing a server's folders for the folder window, on a back-end that CreateFtpFileOper made.
class IFtpBrowser {
  public:
    virtual ~IFtpBrowser() = default;
    // The sub-folders of a server folder, given as an address ("ftp://host/dir") or a server path
    // ("/dir"): each with Name and Path (the folder's server path + name + "/"). Empty when not
    // connected or the folder cannot be listed.
    virtual std::vector<TFileAttri> ListSubfolders(const std::string& Path) = 0;
    // Whether the last ListSubfolders read its folder: an empty list is then an empty folder, not a
    // failure.
    virtual bool LastListRead() const = 0;
    // 1 when Other differs from this back-end's side in user, password or host (the connection
    // is then dropped, so the next Connect logs on anew), else 0.
    virtual int32_t SameServer(const TFolderSource& Other) = 0;
    // Takes the side's address again after it changed.
    virtual void ParseUrl() = 0;
};
// The browse side of an FTP back-end; null for any other back-end.
IFtpBrowser* FtpBrowserOf(TFileOper& Oper);

// Address routines.
// Trimmed, one trailing "/" removed, "ftp://" put in front when missing.
std::string NormalizeUrl(std::string_view Address);
// "host" or "host:port": the address without "ftp://", cut before the first "/" that follows.
std::string HostOf(std::string_view Address);
// "ftp://" + HostOf(NormalizeUrl(Address)).
std::string HostPrefix(std::string_view Address);
// The server path of the side's root: the normalised address without its host prefix ("" for the
// server's top folder, else "/data").
std::string RootPath(std::string_view Address);

// One line of a folder listing, as the back-end reads it.
struct TFtpListEntry {
    enum class TKind { Skip, File, Folder };
    TKind Kind = TKind::Skip;  // Skip: "." and "..", links, devices, lines that are not entries
    std::string Name;
    int64_t Size = 0;
    int32_t FileDate = 0;  // DOS date-time
    // The instant of the last change as exactly as a machine line tells it (UTC seconds, and the
    // nanoseconds of a fraction). -1 for a classic line, whose fields name no zone: its instant is
    // FileDate read as local time, to the minute.
    int64_t Time = -1;
    int32_t Nanos = 0;
    // A classic line dated by day and year ("Jun 10  2025", as servers list what is six months
    // old): FileDate is the day's start until the exact time replaces it (TakeMdtmTime).
    bool YearOnly = false;
};
// A machine listing line (MLSD): "fact=value;...; name". Its modify time is UTC, converted to
// local time. False when the line is not an entry line.
bool ParseMlsdLine(std::string_view Line, TFtpListEntry& Entry);
// A classic listing line ("ls -l" form): the time is taken as given. A date without a year lies
// within the last six months before Now (UTC seconds), so its year is Now's or the one before.
bool ParseListLine(std::string_view Line, std::time_t Now, TFtpListEntry& Entry);
// Dates a classic entry by the server's answer to MDTM ("213 YYYYMMDDHHMMSS", UTC, as a server
// that lists in UTC lists its times) at the precision of a classic line's time of day: the same
// fields, seconds cut, so that an entry keeps its date when its line turns from the time-of-day
// form to the year form as it ages. False (the entry unchanged) for any other answer.
bool TakeMdtmTime(std::string_view Reply, TFtpListEntry& Entry);

}  // namespace bfs
