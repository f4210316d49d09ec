#pragma once

#include <QObject>

#include <functional>
#include <vector>

// Every test class of the windows' test registers itself here; the one main() runs them all in one
// QApplication, and fails when any of them fails. A class runs alone with "-class Name".
namespace bfs::uitest {

using TFactory = std::function<QObject*()>;
std::vector<TFactory>& Factories();

struct TRegister {
    explicit TRegister(TFactory Factory) { Factories().push_back(std::move(Factory)); }
};

}  // namespace bfs::uitest

#define BFS_UI_TEST(Class) \
    static const bfs::uitest::TRegister Register##Class([]() -> QObject* { return new Class; })
