#pragma once

#include <cstdint>
#include <string>

namespace bfs {

// The program's registry settings: the values under the current user's key
// "Software\Bramlow File Sync". Here the key is the section of that name in "registry.ini" in the
// program folder, read and written with the ini code (UTIniFile.h).
struct TMyRegistryInfo {
    bool CheckUpdate = false;  // look for a newer version at start-up
    std::string HelpURL;       // help page address
    std::string HomePage;      // the product's home page (read, never opened)
    int32_t len_up = 1;
    int32_t len_down = 6;
    bool ScanValue1 = false;
    bool ScanValue2 = false;
    bool ScanValue3 = false;
    bool ScanValue4 = false;
    bool ScanValue5 = true;
    bool UserScanValue = false;
};

inline constexpr const char* REGISTRY_KEY = "Software\\Bramlow File Sync";
inline constexpr const char* REGISTRY_FILE_NAME = "registry.ini";

// The settings read at start-up (ReadRegistryInfo); user-interface thread only.
extern TMyRegistryInfo RegistryInfo;

// Fills Info from the registry file FileName. A value that is missing, or that does not read as its
// type (text where a number belongs), takes its default, and the default is written back; values
// that read are never rewritten. Booleans are stored as 0 and 1 and read as true when not 0.
// Returns 0, or the errno of writing the file back (Info is filled either way).
int ReadRegistryInfo(const std::string& FileName, TMyRegistryInfo& Info);
// ReadRegistryInfo on the program folder's "registry.ini" into RegistryInfo; called once at start.
int ReadRegistryInfo();

}  // namespace bfs
