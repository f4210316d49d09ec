#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace bfs {

// Kinds of storage (TFolderSource::DeviceType).
constexpr int32_t DEVICE_NONE = 0;     // not yet chosen; shown as a local folder
constexpr int32_t DEVICE_LOCAL = 1;    // local folder
constexpr int32_t DEVICE_NETWORK = 2;  // network share
constexpr int32_t DEVICE_FTP = 3;      // FTP server
constexpr int32_t DEVICE_SFTP = 4;     // SFTP server: stored and shown only, no back-end
constexpr int32_t DEVICE_WEBDAV = 5;   // WebDAV server
constexpr int32_t DEVICE_MOBILE = 6;   // mobile device through the device remote API
constexpr int32_t DEVICE_S3 = 7;       // Amazon S3 bucket

// A side whose files the program reads and writes by their local paths: only a local folder (a
// network share is reached through its back-end, it has no local path here).
inline bool IsLocalKind(int32_t DeviceType) {
    return DeviceType == DEVICE_LOCAL;
}

// One side of a task: where it lives and how to log on. The task owns one per side and the
// back-ends serving that side work on the very same object (shared, never copied behind the
// task's back); sides are copied field by field where a copy is wanted.
struct TFolderSource {
    int32_t DeviceType = 0;
    std::string FolerAllName;  // root folder address, in the form of the kind's back-end
    int32_t validate = 0;      // stored with the task; nothing reads it
    std::string UserName;      // log-on name; for S3 the access key id
    std::string PWD;           // plain text in memory; scrambled only in the task-list file
    int32_t ActiveMode = 0;    // stored with the task; nothing reads it
    int32_t FactTime = 0;      // per-kind flag; for S3: 1 = HTTPS, 0 = plain HTTP
    std::string PrivateKey;    // SFTP private key text (stored and shown only)
    std::string ProxyName;     // proxy for the FTP session (nothing fills it)
    std::string ProxyBypass;   // proxy bypass list (nothing fills it)
    std::string InfoText;      // what the back-end reported about the side after its last scan
};

using TFolderSourceRef = std::shared_ptr<TFolderSource>;

}  // namespace bfs
