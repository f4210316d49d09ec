#pragma once

// The binding of the device library: the program loads it by name on first use, so that it starts
// and works without it, and reaches it only through the guard wrappers below. Each wrapper has the
// parameters and result of the library's entry point of the same name (RapiEntryPoints.h) and
// returns a fixed fallback, calling nothing, when the library or that entry point is missing:
//
//   CeRapiInit, CeRapiUnInit, CeRapiInitEx, CeGetLastError      0xFFFF (a failure code)
//   CeFindFirstFile, CeCreateFile                               INVALID_DEVICE_HANDLE (-1)
//   CeGetFileSize                                               0xFFFFFFFF (the call's own failure)
//   every Boolean call                                          0 (false)
//
// So a missing library never looks like a handle, a found file or a connection.
//
// Which file is loaded: the one named by the environment variable BFS_RAPI_LIBRARY, else the one
// named by the setting Library of section [Device] in the settings file, else DEVICE_LIBRARY_NAME
// beside the program, else DEVICE_LIBRARY_NAME in the system's search order. A load that fails is
// tried again on the next call; a library once loaded stays loaded for the whole run.
//
// The path routines take UTF-8 paths ("\" separated device paths) and hand the library UTF-16; a
// path that is not well-formed UTF-8 fails them without a call.
//
// A call that passes one of the library's records also finds the library's own declaration by
// argument-dependent lookup: write it qualified (bfs::CeFindFirstFile).

#include "storage/RapiEntryPoints.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bfs {

inline constexpr const char* DEVICE_LIBRARY_NAME = "libbfs-rapi.so";
inline constexpr const char* DEVICE_LIBRARY_ENV = "BFS_RAPI_LIBRARY";
// The section of the settings file that the device library and its stand-in read.
inline constexpr std::string_view DEVICE_SECTION = "Device";

inline constexpr const char* DEVICE_NAME_ENV = "BFS_DEVICE_NAME";

// The name of the device the library serves, as it is configured for the library: the environment
// variable BFS_DEVICE_NAME when set, else the setting Name of section [Device] in the settings file;
// empty when neither names one. Says nothing of whether the device is attached.
std::string ConfiguredDeviceName();

// True when the library is loaded (now or earlier). Safe on any thread.
bool LoadRapi();
// The file the last load tried, for messages ("" before the first try).
std::string RapiLibraryTried();

int32_t CeRapiInit();
int32_t CeRapiUnInit();
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
uint32_t CeGetLastError();
int32_t CeCreateDirectory(const char16_t* PathName, void* SecurityAttributes);
int32_t CeRemoveDirectory(const char16_t* PathName);
int32_t CeMoveFile(const char16_t* ExistingFileName, const char16_t* NewFileName);
int32_t CeCopyFile(const char16_t* ExistingFileName, const char16_t* NewFileName, int32_t FailIfExists);
int32_t CeDeleteFile(const char16_t* FileName);
uint32_t CeGetFileSize(TDeviceHandle File, uint32_t* FileSizeHigh);
int32_t CeGetStoreInformation(STORE_INFORMATION* StoreInfo);

// The library's last error after a failed call, never 0: a library that reports none gives
// DEVICE_ERROR_ACCESS_DENIED, so a failure always reads as one.
uint32_t RapiLastError();

// Creates one device folder (its parent must exist). True when created.
bool RapiCreateDir(std::string_view Path);
bool RapiDeleteFile(std::string_view Path);
// 0 when the folder was removed, else the reason (RapiLastError).
uint32_t RapiRemoveDir(std::string_view Path);
// The 64-bit size of a device file; -1 when it cannot be opened or its size not read.
int64_t RapiGetFileSize(std::string_view Path);
// Copies a device file; fails, leaving it as it was, when Dst exists.
bool RapiCopyFile(std::string_view Src, std::string_view Dst);
// Moves a device file or folder; fails when Dst exists.
bool RapiMoveFile(std::string_view Src, std::string_view Dst);

}  // namespace bfs
