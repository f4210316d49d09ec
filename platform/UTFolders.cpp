#include "platform/UTFolders.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/UTAtomicFile.h"

namespace bfs {

namespace {

std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// $VAR when it is an absolute path (the base-directory rules ignore relative ones), else
// HOME + Fallback.
std::string XdgBase(const char* var, const char* fallback) {
    if (const char* v = std::getenv(var); v && v[0] == '/') return v;
    std::string home = HomeFolder();
    if (home.empty()) return {};
    return home + fallback;
}

std::string Ensure(std::string folder, unsigned mode) {
    if (folder.empty()) return {};
    if (MakeFolders(folder, mode) != 0) return {};
    if (folder.back() != '/') folder += '/';
    return folder;
}

// A folder only its owner may enter. It may predate us with looser rights, so the mode is set again.
std::string EnsurePrivate(const std::string& folder) {
    std::string result = Ensure(folder, 0700);
    if (!result.empty()) ::chmod(result.c_str(), 0700);
    return result;
}

// A private folder below the program's cache folder.
std::string PrivateCacheFolder(const char* name) {
    std::string base = XdgBase("XDG_CACHE_HOME", "/.cache");
    if (base.empty()) return {};
    std::string parent = Ensure(base + "/bramlow-file-sync", 0755);
    return parent.empty() ? std::string() : EnsurePrivate(parent + name);
}

}  // namespace

std::string GetProgramFolder() {
    std::string base = XdgBase("XDG_CONFIG_HOME", "/.config");
    return base.empty() ? std::string() : Ensure(base + "/bramlow-file-sync", 0755);
}

std::string GetDataFolder() {
    std::string base = XdgBase("XDG_DATA_HOME", "/.local/share");
    return base.empty() ? std::string() : Ensure(base + "/bramlow-file-sync", 0755);
}

std::string GetStagingFolderPath() {
    return PrivateCacheFolder("staging");
}

// Lock files are private: another user who could create or hold them could keep a task from running.
std::string GetRuntimeFolder() {
    if (const char* v = std::getenv("XDG_RUNTIME_DIR"); v && v[0] == '/')
        return EnsurePrivate(std::string(v) + "/bramlow-file-sync");
    return PrivateCacheFolder("run");
}

}  // namespace bfs
