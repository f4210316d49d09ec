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

}  // namespace bfs
