#include "UiTestMain.h"
#include "ui/UTSingleInstance.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
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
        QTest::qWaitFor([&] { return done.load(); }, 10000);
        second.join();
        return {claimed, took};
    }

  private slots:
    void init() { qputenv("XDG_RUNTIME_DIR", m_Runtime.path().toUtf8()); }

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
};

BFS_UI_TEST(StartupTest);
#include "StartupTest.moc"
