#pragma once

#include <sys/fsuid.h>
#include <unistd.h>

#include <thread>

namespace bfs::test {

// Runs Body on a thread whose file-system identity is an unprivileged user when the tests run as
// root (as CI does), so that permission bits bind it as they bind any user. The identity is per
// thread; the folders Body must reach have to be open to others.
template <class F>
void RunUnprivileged(F&& Body) {
    std::thread worker([&] {
        const bool root = ::geteuid() == 0;
        if (root) ::setfsuid(65534);
        Body();
        if (root) ::setfsuid(0);
    });
    worker.join();
}

}  // namespace bfs::test
