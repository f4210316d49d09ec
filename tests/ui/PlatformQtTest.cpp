#include "UiTestMain.h"
#include "model/UTConsts.h"
#include "platform/UTAtomicFile.h"
#include "ui/UTQtNotifyTarget.h"
#include "ui/UTSeedFolder.h"
#include "ui/UTWebPage.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace bfs;

namespace {

// Counts the worker messages it receives, by number.
class TReceiver : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() >= QEvent::User) {
            auto* m = static_cast<TMessageEvent*>(e);
            Received.push_back(m->Msg());
            ReceivedOnThread = QThread::currentThread();
            return true;
        }
        return QObject::event(e);
    }
    std::vector<uint32_t> Received;
    QThread* ReceivedOnThread = nullptr;
};

}  // namespace

class PlatformQtTest : public QObject {
    Q_OBJECT
  private slots:
    void onlyWebAndMailAddressesAreOpened() {
        const struct {
            const char* Address;
            bool Opened;
        } cases[] = {
            {"https://www.bramlow-file-sync.example/help/", true},
            {"HTTP://intranet/help", true},
            {"mailto:support@example.org", true},
            {"https://", false},
            {"file:///etc/passwd", false},
            {"javascript:alert(1)", false},
            {"/usr/bin/xterm", false},
            {"help", false},
            {"", false},
            {"https://example.org/\nsecond line", false},
        };
        for (const auto& c : cases) QVERIFY2(IsOpenableURL(c.Address) == c.Opened, c.Address);
    }

    void seedWritesDefaultsOnceAndKeepsUserFiles() {
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        const std::string folder = dir.path().toStdString() + "/bramlow-file-sync/";
        QCOMPARE(SeedProgramFolder(), 0);
        std::string ini, lng;
        QCOMPARE(ReadWholeFile(folder + "Tessmarin.ini", ini), 0);
        QCOMPARE(ReadWholeFile(folder + "en-english.lng", lng), 0);
        QVERIFY(ini.find("[filesync]") != std::string::npos);
        QVERIFY(lng.find("[title]") != std::string::npos);

        // A second start keeps what the user changed.
        QCOMPARE(WriteFileAtomic(folder + "Tessmarin.ini", "[filesync]\r\nSaveLog=1\r\n"), 0);
        QCOMPARE(SeedProgramFolder(), 0);
        QCOMPARE(ReadWholeFile(folder + "Tessmarin.ini", ini), 0);
        QCOMPARE(QString::fromStdString(ini), QStringLiteral("[filesync]\r\nSaveLog=1\r\n"));
    }

    void postedMessagesArriveOnTheWindowThread() {
        TReceiver receiver;
        TQtNotifyTarget target(&receiver);
        std::thread worker([&] {
            target.PostMessage(WM_UPDATEPROCESS, 0, 10);
            target.PostMessage(WM_COPYPROCESS, 0, 10);
        });
        worker.join();
        QCoreApplication::processEvents();
        QCOMPARE(receiver.Received, (std::vector<uint32_t>{WM_UPDATEPROCESS, WM_COPYPROCESS}));
        QCOMPARE(receiver.ReceivedOnThread, QThread::currentThread());
    }

    // A fast worker's progress rides on the event still waiting: few events, every step counted,
    // the text's news kept until taken, and the next post after a take comes through again.
    void progressPostsRideOnTheEventStillWaiting() {
        TReceiver receiver;
        TQtNotifyTarget target(&receiver);
        std::thread worker([&] {
            for (int i = 0; i < 1000; ++i) {
                target.PostMessage(WM_UPDATEPROCESS, 0, 10);
                target.PostMessage(WM_COPYPROCESS, 0, 10);
            }
        });
        worker.join();
        QCoreApplication::processEvents();
        QCOMPARE(receiver.Received, (std::vector<uint32_t>{WM_UPDATEPROCESS, WM_COPYPROCESS}));
        QCOMPARE(target.TakeSteps(), 1000);
        QVERIFY(target.TakeStatus());
        QCOMPARE(target.TakeSteps(), 0);
        QVERIFY(!target.TakeStatus());
        target.PostMessage(WM_UPDATEPROCESS, 0, 10);
        target.PostMessage(WM_TASKFINISHED, 0, 0);  // any other message is posted as it is
        target.PostMessage(WM_TASKFINISHED, 0, 0);
        QCoreApplication::processEvents();
        QCOMPARE(receiver.Received.size(), size_t{5});
        QCOMPARE(target.TakeSteps(), 1);
    }

    void synchronizeBlocksUntilTheWindowThreadRanTheCall() {
        TReceiver receiver;
        TQtNotifyTarget target(&receiver);
        std::atomic<bool> returned{false};
        QThread* ranOn = nullptr;
        std::thread worker([&] {
            target.Synchronize([&] { ranOn = QThread::currentThread(); });
            target.SendMessage(WM_TASKFINISHED, 0, 0);
            returned = true;
        });
        // The worker waits for us: it cannot return before the event loop runs its calls.
        QThread::msleep(50);
        QVERIFY(!returned);
        QTRY_VERIFY(returned.load());
        worker.join();
        QCOMPARE(ranOn, QThread::currentThread());
        QCOMPARE(receiver.Received, (std::vector<uint32_t>{WM_TASKFINISHED}));
    }
};

BFS_UI_TEST(PlatformQtTest);
#include "PlatformQtTest.moc"
