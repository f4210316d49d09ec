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
    std::string base = XdgBase("XDG_CACHE_HOME", "/.cache");
    if (base.empty()) return {};
    std::string parent = Ensure(base + "/bramlow-file-sync", 0755);
    if (parent.empty()) return {};
    std::string folder = Ensure(parent + "staging", 0700);
    // The folder may predate us with looser rights; staging copies are private.
    if (!folder.empty()) ::chmod(folder.c_str(), 0700);
    return folder;
}

}  // namespace bfs
