#include "model/UTRegistry.h"

#include "model/UTIniFile.h"
#include "platform/UTFolders.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace bfs {

TMyRegistryInfo RegistryInfo;

namespace {

// One registry value: its name, where it goes, and its default. Exactly one of the three fields is
// set. Read and written in this order, so a first start writes the values in it.
struct TRegistryValue {
    const char* Name;
    bool TMyRegistryInfo::*Flag;
    int32_t TMyRegistryInfo::*Number;
    std::string TMyRegistryInfo::*Text;
    int32_t NumberDefault;
    const char* TextDefault;
};

constexpr TRegistryValue VALUES[] = {
    {"CheckUpdate", &TMyRegistryInfo::CheckUpdate, nullptr, nullptr, 0, nullptr},
    {"HelpURL", nullptr, nullptr, &TMyRegistryInfo::HelpURL, 0,
     "https://www.bramlow-file-sync.example/help/"},
    {"HomePage", nullptr, nullptr, &TMyRegistryInfo::HomePage, 0, "https://www.bramlow-file-sync.example/"},
    {"len_up", nullptr, &TMyRegistryInfo::len_up, nullptr, 1, nullptr},
    {"len_down", nullptr, &TMyRegistryInfo::len_down, nullptr, 6, nullptr},
    {"ScanValue1", &TMyRegistryInfo::ScanValue1, nullptr, nullptr, 0, nullptr},
    {"ScanValue2", &TMyRegistryInfo::ScanValue2, nullptr, nullptr, 0, nullptr},
    {"ScanValue3", &TMyRegistryInfo::ScanValue3, nullptr, nullptr, 0, nullptr},
    {"ScanValue4", &TMyRegistryInfo::ScanValue4, nullptr, nullptr, 0, nullptr},
    {"ScanValue5", &TMyRegistryInfo::ScanValue5, nullptr, nullptr, 1, nullptr},
    {"UserScanValue", &TMyRegistryInfo::UserScanValue, nullptr, nullptr, 0, nullptr},
};

// A stored number: decimal, or "0x" hexadecimal as the registry editor shows a DWORD; nothing else.
std::optional<int32_t> ParseNumber(std::string_view Text) {
    int base = 10;
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        Text.remove_prefix(2);
        base = 16;
    }
    int64_t value = 0;
    const char* end = Text.data() + Text.size();
    const auto res = std::from_chars(Text.data(), end, value, base);
    if (Text.empty() || res.ec != std::errc() || res.ptr != end) return std::nullopt;
    // A DWORD is 32 bits, read as signed.
    if (value < INT32_MIN || value > static_cast<int64_t>(UINT32_MAX)) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

int ReadRegistryInfo(const std::string& FileName, TMyRegistryInfo& Info) {
    TIniFile ini(FileName);
    bool changed = false;
    for (const TRegistryValue& v : VALUES) {
        const bool exists = ini.ValueExists(REGISTRY_KEY, v.Name);
        if (v.Text) {
            if (exists) {
                Info.*v.Text = ini.ReadString(REGISTRY_KEY, v.Name, "");
                continue;
            }
            Info.*v.Text = v.TextDefault;
            ini.WriteString(REGISTRY_KEY, v.Name, v.TextDefault);
            changed = true;
            continue;
        }
        const std::optional<int32_t> stored =
            exists ? ParseNumber(ini.ReadString(REGISTRY_KEY, v.Name, "")) : std::nullopt;
        const int32_t value = stored ? *stored : v.NumberDefault;
        if (v.Flag)
            Info.*v.Flag = value != 0;
        else
            Info.*v.Number = value;
        if (!stored) {
            ini.WriteInteger(REGISTRY_KEY, v.Name, value);
            changed = true;
        }
    }
    return changed ? ini.Save() : 0;
}

int ReadRegistryInfo() {
    const std::string folder = GetProgramFolder();
    if (folder.empty()) {
        RegistryInfo = TMyRegistryInfo();  // no folder to keep them in: the defaults, unsaved
        for (const TRegistryValue& v : VALUES)
            if (v.Text) RegistryInfo.*v.Text = v.TextDefault;
        return ENOENT;
    }
    return ReadRegistryInfo(folder + REGISTRY_FILE_NAME, RegistryInfo);
}

}  // namespace bfs
