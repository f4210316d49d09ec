#pragma once

// The emulated device of the device tests: the stand-in library (selected by CTest through
// BFS_RAPI_LIBRARY) serving a fresh folder, named by BFS_DEVICE_FOLDER while the object lives.

#include "common/TempFolder.h"
#include "storage/rapi.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace bfs::test {

// Skips (or under CI fails) the calling test when the stand-in library does not load; check
// ::testing::Test::IsSkipped() / HasFatalFailure() after it.
inline void RequireStandin() {
    if (LoadRapi()) return;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
        FAIL() << "the stand-in device library did not load: " << RapiLibraryTried();
    GTEST_SKIP() << "the stand-in device library did not load: " << RapiLibraryTried();
}

class TTestDevice {
  public:
    TTestDevice() : m_Folder("bfs-device"), m_Env("BFS_DEVICE_FOLDER", m_Folder.Path) {
        ::chmod(m_Folder.Path.c_str(), 0755);  // open to the unprivileged identity of some tests
    }
    // The local path of a device path given with "/" ("/My Documents/a.txt").
    std::string Local(const std::string& Rel) const { return m_Folder.Path + Rel; }
    void Write(const std::string& Rel, const std::string& Content) const {
        std::ofstream(Local(Rel), std::ios::binary) << Content;
    }
    std::string Read(const std::string& Rel) const {
        std::ifstream in(Local(Rel), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Exists(const std::string& Rel) const {
        struct stat st {};
        return ::lstat(Local(Rel).c_str(), &st) == 0;
    }
    void MakeFolder(const std::string& Rel) const { ::mkdir(Local(Rel).c_str(), 0755); }

  private:
    TTempFolder m_Folder;
    TScopedEnv m_Env;
};

}  // namespace bfs::test
