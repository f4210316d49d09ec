#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The back-end of a folder on a mobile device attached to the desktop (kind 6), reached through the
// device library (storage/rapi.h). The class itself lives in the .cpp.
// Addresses: "wm:" + device name + device path, the device path "\" separated from the device's
// top folder: wm:Pocket_PC\My Documents\Notes, or wm:Pocket_PC\ for the top folder itself.
// Entries are listed with the usual "/" paths; "\" device paths stay inside the back-end, and a
// name holding "\" (the device's separator) is refused.
std::unique_ptr<TFileOper> CreateWMFileOper(bool FreeOnTerminate);

// Browsing the attached device for the folder window, on a back-end that CreateWMFileOper made.
class IDeviceBrowser {
  public:
    virtual ~IDeviceBrowser() = default;
    // The device name of a "wm:" address (DeviceNameOf). For an empty Path the attached device's:
    // empty when no device is attached, else the device the desktop connected last (LastDeviceName
    // of the program folder's registry file), else the library's own (ConfiguredDeviceName).
    virtual std::string GetDeviceName(const std::string& Path) = 0;
    // The names (not paths) of the folders directly inside the device folder Path ("\" or
    // "\My Documents"), added to List. 0 when the folder was read (a folder holding nothing
    // included); else the library's error, non-zero.
    virtual int32_t GetDeviceSubFolders(const std::string& Path, std::vector<std::string>& List) = 0;
};
// The browse side of a device back-end; null for any other back-end.
IDeviceBrowser* DeviceBrowserOf(TFileOper& Oper);

// The device name of an address: from after "wm:" up to the first "\"; empty when the address
// holds no "\" or does not begin with "wm:".
std::string DeviceNameOf(std::string_view Address);
// The device path of an address: the address with "wm:" + device name cut off its front, one
// trailing "\" removed unless it is the top folder "\"; empty when the address names no device
// folder (no "\", or no "wm:").
std::string DevicePathOf(std::string_view Address);
// The display name of the device the desktop connected last, from the registry file RegistryFile:
// the partner named by "Last Device", or the first partner when that is empty; empty when there is
// none.
std::string LastDeviceName(const std::string& RegistryFile);
// Records in the registry file RegistryFile that the desktop connected the device Name last: the
// partner of that display name (added when there is none) becomes "Last Device", as LastDeviceName
// reads it. The file is rewritten only when that changes anything. 0, or the errno of the write
// (EINVAL for an empty name).
int RecordLastDevice(const std::string& RegistryFile, const std::string& Name);

// How long Connect waits for the device library to report the device (default 2000 ms).
void SetDeviceConnectWait(int Milliseconds);

}  // namespace bfs
