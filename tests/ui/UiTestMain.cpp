#include "UiTestMain.h"

#include "ui/UTApplication.h"

#include <QtTest>

#include <cstring>
#include <memory>

namespace bfs::uitest {

std::vector<TFactory>& Factories() {
    static std::vector<TFactory> factories;
    return factories;
}

}  // namespace bfs::uitest

// Runs every registered class, or only the one named after "-class"; other arguments go to Qt Test.
// The application object is the program's own, so the tests see its handling of events.
int main(int argc, char* argv[]) {
    bfs::TApplication app(argc, argv);
    const char* only = nullptr;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-class") == 0 && i + 1 < argc) {
            only = argv[++i];
            continue;
        }
        args.push_back(argv[i]);
    }
    int failed = 0, ran = 0;
    for (const auto& make : bfs::uitest::Factories()) {
        std::unique_ptr<QObject> test(make());
        if (only && std::strcmp(test->metaObject()->className(), only) != 0) continue;
        ++ran;
        failed += QTest::qExec(test.get(), static_cast<int>(args.size()), args.data()) != 0;
    }
    // A class asked for by name that does not exist is a failure, not an empty success.
    return failed == 0 && ran > 0 ? 0 : 1;
}
