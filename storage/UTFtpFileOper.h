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
// The address in the one form the back-end connects to (FolderAddressForm of an FTP side): trimmed,
// every trailing "/" removed (but the one after a last name ending in a blank: "ftp://h/d /" names
// the folder "d "), "ftp://" (any case on input) put in front in lower case, the host in lower case
// and port 21 left out; NormalizeUrl(NormalizeUrl(a)) == NormalizeUrl(a). An address naming no host
// ("", "ftp:///") gives "ftp://" or "ftp:///path", which Connect refuses.
std::string NormalizeUrl(std::string_view Address);
// "host" or "host:port": the address without "ftp://", cut before the first "/" that follows.
std::string HostOf(std::string_view Address);
// "ftp://" + HostOf(NormalizeUrl(Address)).
std::string HostPrefix(std::string_view Address);
// The server path of the side's root: the normalised address without its host prefix and without a
// "/" at the end ("" for the server's top folder, else "/data"; "/d " for "ftp://h/d /").
std::string RootPath(std::string_view Address);

// One line of a folder listing, as the back-end reads it.
// Times: an FTP server's times are taken as UTC wherever they come from: MLSD and MLST facts and
// MDTM replies by the standard, LIST lines because servers show UTC there too (the time in the
// entry is then the local time of that instant, as every back-end gives it).
struct TFtpListEntry {
    enum class TKind { Skip, File, Folder };
    TKind Kind = TKind::Skip;  // Skip: "." and "..", links, devices
    std::string Name;
    int64_t Size = 0;
    int32_t FileDate = 0;  // DOS date-time (local time)
    // The instant of the last change (UTC seconds, and the nanoseconds of a fraction): as exact as
    // a machine line tells it, to the minute for a classic line. -1 when the line gave no time.
    int64_t Time = -1;
    int32_t Nanos = 0;
    // A classic line dated by day and year ("Jun 10  2025", as servers list what is six months
    // old): the date is the day's start until the exact time replaces it (TakeMdtmTime).
    bool YearOnly = false;
};
// A machine listing line (MLSD, or the fact line of MLST): "fact=value;...; name". False when the
// line is not an entry line (no type fact, no name). A fact given twice counts as given last.
bool ParseMlsdLine(std::string_view Line, TFtpListEntry& Entry);
// A classic listing line: the "ls -l" form with an English month name ("Dec 07 13:16", "Jan 05
// 2020") or an ISO date ("2026-12-07 13:16"), or the DOS form ("12-07-26  01:16PM  <DIR>  name",
// "12-07-2026  13:16  1234 name"; month first). A date without a year lies within the last six
// months before Now (UTC seconds), so its year is Now's or the one before. False when the line is
// none of these.
bool ParseListLine(std::string_view Line, std::time_t Now, TFtpListEntry& Entry);
// Dates a classic entry by the server's answer to MDTM ("213 YYYYMMDDHHMMSS", UTC) at the precision
// of a classic line's time of day: seconds cut, so that an entry keeps its date when its line turns
// from the time-of-day form to the year form as it ages. False (the entry unchanged) for any other
// answer.
bool TakeMdtmTime(std::string_view Reply, TFtpListEntry& Entry);

// Reads a listing reply (MLSD or LIST) piece by piece as it arrives. Blank lines and a "total N"
// line are passed over; any other line that is no entry makes the listing incomplete, never just
// dropped: the first such line is kept to be named. A reply longer than Limit is not read on.
class TFtpListingReader {
  public:
    // The most of a listing reply read, as for a WebDAV listing.
    static constexpr size_t DEFAULT_LIMIT = size_t{256} << 20;

    TFtpListingReader(bool Classic, std::time_t Now, size_t Limit = DEFAULT_LIMIT)
        : m_Classic(Classic), m_Now(Now), m_Limit(Limit) {}
    // False once the reply is over the limit (TooLong): the transfer should end.
    bool Feed(std::string_view Data);
    // Reads a last line that came without a line end.
    void Finish();
    // Why the listing is incomplete, in words quoting the line; empty when it is whole.
    std::string Problem() const;

    std::vector<TFtpListEntry> Entries;  // the entries read, Skip ones left out
    bool TooLong = false;
    bool Unreadable = false;
    std::string FirstUnreadable;  // the first line that could not be read

  private:
    void Line(std::string_view Text);

    bool m_Classic;
    std::time_t m_Now;
    size_t m_Limit;
    size_t m_Total = 0;
    std::string m_Partial;  // a line not yet ended
};

}  // namespace bfs
