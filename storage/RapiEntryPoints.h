#pragma once

// The device library's entry points and records, as the program binds them (storage/rapi) and as
// the stand-in library serves them (storage/device-standin). Both sides include this one header, so
// a change of a signature or a record shows on both at once.
//
// Handles are integers: -1 is the invalid handle (0 is never handed out either). Device paths and
// names are zero-terminated UTF-16 strings, "\" separated, "\" alone being the device's top folder.
// Boolean results are 0 for a failure, non-zero for success; the reason of a failure is then read
// with CeGetLastError on the same thread. Status results (the connection calls) are 0 for success.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" {

using TDeviceHandle = intptr_t;
inline constexpr TDeviceHandle INVALID_DEVICE_HANDLE = -1;

// The connection request of CeRapiInitEx. The caller sets Size (12) and zeroes the rest; the library
// puts a descriptor in InitEvent that becomes readable once the connection stands (poll it with a
// timeout; it stays the library's, never closed by the caller), and then sets InitResult (0: up).
struct RAPIINIT {
    uint32_t Size;
    int32_t InitEvent;
    int32_t InitResult;
};
static_assert(sizeof(RAPIINIT) == 12);

// A file time: 100-nanosecond steps since 1601-01-01, split in two 32-bit halves.
struct TDeviceFileTime {
    uint32_t Low;
    uint32_t High;
};

inline constexpr size_t DEVICE_MAX_PATH = 260;

// One entry found by CeFindFirstFile / CeFindNextFile. Times are the device's wall-clock times, in
// whatever zone the device keeps (no zone is converted on either side).
struct CE_FIND_DATA {
    uint32_t FileAttributes;  // 16 folder, 32 file, 1 read-only, 2 hidden
    TDeviceFileTime CreationTime;
    TDeviceFileTime LastAccessTime;
    TDeviceFileTime LastWriteTime;
    uint32_t FileSizeHigh;
    uint32_t FileSizeLow;
    uint32_t ObjectId;
    char16_t FileName[DEVICE_MAX_PATH];  // zero-terminated
};
static_assert(sizeof(CE_FIND_DATA) == 560);

// The device's store: its whole size and the free part, in bytes.
struct STORE_INFORMATION {
    uint32_t StoreSize;
    uint32_t FreeSize;
};

// The library's "last error" values that the program tells apart.
inline constexpr uint32_t DEVICE_ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t DEVICE_ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t DEVICE_ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t DEVICE_ERROR_NO_MORE_FILES = 18;  // a search that found nothing
inline constexpr uint32_t DEVICE_ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t DEVICE_ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t DEVICE_ERROR_ALREADY_EXISTS = 183;

// CeCreateFile's access, sharing and disposition values.
inline constexpr uint32_t DEVICE_GENERIC_READ = 0x80000000u;
inline constexpr uint32_t DEVICE_GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t DEVICE_SHARE_READ = 1;
inline constexpr uint32_t DEVICE_CREATE_NEW = 1;
inline constexpr uint32_t DEVICE_CREATE_ALWAYS = 2;
inline constexpr uint32_t DEVICE_OPEN_EXISTING = 3;
inline constexpr uint32_t DEVICE_ATTRIBUTE_NORMAL = 128;

// The entry points the program calls. The library exports them under these names; the program
// looks each up by name and never links against them.
int32_t CeRapiInit(void);
int32_t CeRapiUnInit(void);
int32_t CeRapiInitEx(RAPIINIT* Init);
TDeviceHandle CeFindFirstFile(const char16_t* FileName, CE_FIND_DATA* FindData);
int32_t CeFindNextFile(TDeviceHandle Find, CE_FIND_DATA* FindData);
int32_t CeFindClose(TDeviceHandle Find);
TDeviceHandle CeCreateFile(const char16_t* FileName, uint32_t DesiredAccess, uint32_t ShareMode,
                           void* SecurityAttributes, uint32_t CreationDisposition,
                           uint32_t FlagsAndAttributes, TDeviceHandle TemplateFile);
int32_t CeReadFile(TDeviceHandle File, void* Buffer, uint32_t BytesToRead, uint32_t* BytesRead,
                   void* Overlapped);
int32_t CeWriteFile(TDeviceHandle File, const void* Buffer, uint32_t BytesToWrite, uint32_t* BytesWritten,
                    void* Overlapped);
int32_t CeCloseHandle(TDeviceHandle Object);
uint32_t CeGetLastError(void);
int32_t CeCreateDirectory(const char16_t* PathName, void* SecurityAttributes);
int32_t CeRemoveDirectory(const char16_t* PathName);
int32_t CeMoveFile(const char16_t* ExistingFileName, const char16_t* NewFileName);
int32_t CeCopyFile(const char16_t* ExistingFileName, const char16_t* NewFileName, int32_t FailIfExists);
int32_t CeDeleteFile(const char16_t* FileName);
uint32_t CeGetFileSize(TDeviceHandle File, uint32_t* FileSizeHigh);
int32_t CeGetStoreInformation(STORE_INFORMATION* StoreInfo);

}  // extern "C"

namespace bfs {

// UTF-8 to the library's UTF-16. False for text that is not well-formed UTF-8 (a name in another
// encoding): such a text is never guessed at, since a wrong guess would name another file.
inline bool Utf8ToUtf16(std::string_view Text, std::u16string& Wide) {
    Wide.clear();
    Wide.reserve(Text.size());
    for (size_t i = 0; i < Text.size();) {
        const auto b = static_cast<unsigned char>(Text[i]);
        char32_t c = 0;
        size_t n = 0;
        if (b < 0x80) {
            c = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, n = 4;
        } else {
            return false;
        }
        if (i + n > Text.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(Text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and values past the last code point are no characters.
        static constexpr char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < LEAST[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            Wide.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            Wide.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            Wide.push_back(static_cast<char16_t>(c));
        }
        i += n;
    }
    return true;
}

// The library's UTF-16 (up to Max units or the first zero) to UTF-8. False for an unpaired surrogate.
inline bool Utf16ToUtf8(const char16_t* Wide, size_t Max, std::string& Text) {
    Text.clear();
    for (size_t i = 0; i < Max && Wide[i] != 0; ++i) {
        char32_t c = Wide[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= Max || Wide[i + 1] < 0xDC00 || Wide[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (Wide[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            Text.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            Text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            Text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            Text.push_back(static_cast<char>(0xE0 | (c >> 12)));
            Text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            Text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            Text.push_back(static_cast<char>(0xF0 | (c >> 18)));
            Text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            Text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            Text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

}  // namespace bfs
