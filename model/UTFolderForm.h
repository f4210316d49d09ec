#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bfs {

// A folder address as a kind of storage and the address in the form that kind stores.
struct TFolderForm {
    int32_t DeviceType = 0;
    std::string Address;
};

// Splits an address's "host[:port]" (an IPv6 host in brackets): Host the host, Port the port
// written (kept as it is when none is). False when a port written is no number from 1 to 65535.
bool SplitHostPort(std::string_view Authority, std::string_view& Host, int& Port);

// The kind of storage a typed or pasted folder address names by its form:
//   /home/me/a                        local folder
//   \\host\share\dir, smb://host/share/dir    network share (stored as \\host\share\dir)
//   ftp://host/dir                    FTP server
//   sftp://host/dir                   SFTP server
//   http://host/dir, https://host/dir WebDAV server, or S3 when the side is an S3 side already
//                                     (an S3 address is the service's URL + "/" + bucket + prefix)
//   wm:device\dir                     mobile device ("wm:device" is the device's top folder)
// Blanks at either end and one trailing separator are dropped; schemes match in any case. An empty
// text keeps CurrentKind: the side has no folder yet. A text of none of these forms (a relative
// path, "~/a", a URL without a host or a share without its name) fits no kind: nothing.
std::optional<TFolderForm> FolderFormOf(std::string_view Text, int32_t CurrentKind);

// A side's folder address in the form its back-end connects to, written one way only: two writings
// of one folder give one text, two folders two texts. By kind:
//   local      runs of "/" as one, no "/" at the end ("/" stays "/")
//   share      "\\host[:port]\share\folder", a "/" read as "\", the host in lower case, port 445
//              left out, no "\" at the end
//   FTP        trimmed, "ftp://" in front, the host in lower case, port 21 left out, no "/" at the end
//   WebDAV     trimmed, "http://" or "https://", the host in lower case, the scheme's own port left
//              out, no "/" at the end ("http://" when no scheme is written)
//   S3         trimmed, the endpoint in lower case + "/" + bucket [+ "/" + key prefix]; no scheme: the
//              side's secure flag decides it, not the address
//   device     "wm:" + device + device path, no "\" at the end but the top folder's ("wm:Phone\")
// Local folders, shares and devices are taken as written, blanks included, as their back-ends take
// them. Where a back-end trims the address, a last name that ends in a blank keeps one "/" after it,
// since trimming would cut the blank from the name ("ftp://h/d /" names the folder "d ", and stays
// so). Paths keep their case. A share or WebDAV address that its back-end could not use, a device
// address without "wm:" and its "\", and any address of a kind without a back-end come back as they
// are. FolderAddressForm of its own result gives that result.
std::string FolderAddressForm(int32_t Kind, std::string_view Address);

// Whether A and B, addresses of a side of Kind, name one folder: equal FolderAddressForm, compared
// without regard to case on a share or a device, which find names so.
bool SameFolderAddress(int32_t Kind, std::string_view A, std::string_view B);

}  // namespace bfs
