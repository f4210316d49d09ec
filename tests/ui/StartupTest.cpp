#include "UiTestMain.h"
#include "model/UTMyException.h"
#include "platform/UTAtomicFile.h"
#include "ui/UTSingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace bfs;

class StartupTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Runtime;

    // Claims Name from another thread, as a second start of the program would, while this thread's
    // event loop lets the running instance answer. The second start's result and its time.
    std::pair<bool, qint64> SecondStart(const QString& Name, int TimeoutMs) {
        std::atomic<bool> done{false};
        bool claimed = true;
        qint64 took = 0;
        std::thread second([&] {
            QElapsedTimer t;
            t.start();
            TSingleInstance other(Name);
            claimed = other.Claim(TimeoutMs);
            took = t.elapsed();
            done = true;
        });
        (void)QTest::qWaitFor([&] { return done.load(); }, 10000);
        second.join();
        return {claimed, took};
    }

  private slots:
    void init() {
        qputenv("XDG_RUNTIME_DIR", m_Runtime.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_Runtime.path().toUtf8());
    }

    // An exception that escapes a handler, of any type, is one error-log line with the context
    // "unknown", and the program goes on.
    void anExceptionEscapingAHandlerIsLoggedAndTheProgramGoesOn() {
        const struct {
            std::function<void()> Throw;
            const char* Line;
        } cases[] = {
            {[] { throw std::out_of_range("row 7"); }, " msg:unknown out_of_range:row 7\r\n"},
            {[] { throw 42; }, " msg:unknown Exception:an exception of unknown type\r\n"},
        };
        for (const auto& c : cases) {
            QFile::remove(QString::fromStdString(TMyException::LogFileName()));
            bool called = false;
            QMetaObject::invokeMethod(
                qApp, [&] { called = true, c.Throw(); }, Qt::QueuedConnection);
            QVERIFY(QTest::qWaitFor([&] { return called; }));
            std::string log;
            QCOMPARE(ReadWholeFile(TMyException::LogFileName(), log), 0);
            QVERIFY2(log.starts_with("[Error]:") && log.ends_with(c.Line) &&
                         std::count(log.begin(), log.end(), '\n') == 1,
                     log.c_str());
        }
    }

    void aSecondStartBringsTheFirstBackAndEnds() {
        TSingleInstance first(QStringLiteral("Bramlow File Sync"));
        QVERIFY(first.Claim());
        QSignalSpy restored(&first, &TSingleInstance::RestoreRequested);
        const auto [claimed, took] = SecondStart(QStringLiteral("Bramlow File Sync"), 3000);
        QVERIFY(!claimed);
        QCOMPARE(restored.size(), 1);
        Q_UNUSED(took);
    }

    void aHungInstanceIsNotWaitedForLongAndAStaleSocketIsTakenOver() {
        TSingleInstance probe(QStringLiteral("hung"));
        {
            // Listens and never answers.
            QLocalServer hung;
            QVERIFY(hung.listen(probe.ServerName()));
            const auto [claimed, took] = SecondStart(QStringLiteral("hung"), 300);
            QVERIFY(!claimed);
            QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        }
        // The hung one is gone: the next start runs.
        QVERIFY(probe.Claim(300));
    }

    // A runtime folder that is not this user's private folder is never used: nothing there is
    // connected to or listened on; the start runs alone and says why.
    void aRuntimeFolderThatIsNotPrivateIsNeverUsed() {
        const QString folder = m_Runtime.path() + "/bramlow-file-sync";
        const QString elsewhere = m_Runtime.path() + "/elsewhere";
        const auto owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        const struct {
            const char* Name;
            bool Link;                // a link to a private folder elsewhere, else a folder of Mode
            QFile::Permissions Mode;  // of the folder the socket would be in
            QString Problem;
        } cases[] = {
            {"open to others", false, owner | QFile::ReadOther | QFile::ExeOther,
             "the folder " + folder + " has mode 0705, not 0700"},
            {"a link", true, owner, "the folder " + folder + " is a symbolic link"},
        };
        for (const auto& c : cases) {
            const QString listening = c.Link ? elsewhere : folder;
            QVERIFY(QDir().mkpath(listening) && QFile::setPermissions(listening, c.Mode));
            if (c.Link) QVERIFY(QFile::link(elsewhere, folder));
            // Someone answers where the socket would be.
            QLocalServer other;
            QVERIFY(other.listen(listening + "/Bramlow File Sync.instance"));
            TSingleInstance start(QStringLiteral("Bramlow File Sync"));
            QVERIFY2(start.ServerName().isEmpty(), c.Name);
            QCOMPARE(start.Problem(), c.Problem);
            QVERIFY2(start.Claim(300), c.Name);
            QTest::qWait(50);
            QVERIFY2(!other.hasPendingConnections(), c.Name);
            other.close();
            QFile::remove(folder);
            QVERIFY(QFile::setPermissions(listening, owner));
            QVERIFY(QDir(listening).removeRecursively());
        }
    }
};

BFS_UI_TEST(StartupTest);
#include "StartupTest.moc"
