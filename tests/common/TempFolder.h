#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace bfs::test {

// A fresh folder under /tmp named Prefix + six random characters, removed with everything in it.
class TTempFolder {
  public:
    explicit TTempFolder(std::string_view Prefix = "bfs-test") {
        std::string name = "/tmp/" + std::string(Prefix) + "-XXXXXX";
        if (::mkdtemp(name.data()))
            Path = name;
        else
            ADD_FAILURE() << "cannot create " << name;
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    ~TTempFolder() {
        // rm copes with trees deeper than a path can name and with folders left unreadable.
        if (!Path.empty())
            (void)std::system(("chmod -R u+rwx '" + Path + "' 2>/dev/null; rm -rf '" + Path + "'").c_str());
    }
    std::string Path;
};

// Sets an environment variable while the object lives, then puts back what was there (or nothing).
class TScopedEnv {
  public:
    TScopedEnv(const char* Name, const std::string& Value) : m_Name(Name) {
        if (const char* old = std::getenv(Name)) m_Old = old;
        ::setenv(Name, Value.c_str(), 1);
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;
    ~TScopedEnv() {
        if (m_Old)
            ::setenv(m_Name, m_Old->c_str(), 1);
        else
            ::unsetenv(m_Name);
    }

  private:
    const char* m_Name;
    std::optional<std::string> m_Old;
};

}  // namespace bfs::test
