#include "GatedFileOper.h"
#include "UiTestMain.h"
#include "model/UTConsts.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTFileLock.h"
#include "ui/UFSyncMain.h"
#include "ui/UTAutomation.h"
#include "ui/UTQtNotifyTarget.h"

#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

using namespace bfs;
using namespace bfs::test;
namespace fs = std::filesystem;

namespace {

// Stands in for the main window: hands the end of each sync to the automation.
class TMainStandIn : public QObject {
  public:
    TAutomation* Automation = nullptr;
    bool event(QEvent* e) override {
        if (e->type() == static_cast<QEvent::Type>(WM_TASKFINISHED) && Automation) Automation->TaskFinished();
        return e->type() >= QEvent::User || QObject::event(e);
    }
};

}  // namespace

class AutomationTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::string m_Root;
    std::vector<std::unique_ptr<TFSyncMain>> m_Windows;
    std::vector<TFSyncMain*> m_Live;
    std::unique_ptr<TAutomation> m_Auto;
    std::optional<int> m_ExitCode;
    TMainStandIn m_Main;
    TQtNotifyTarget m_MainTarget{&m_Main};
    std::map<std::string, TMemStoreRef> m_Stores;  // the in-memory sides, by address "mem:..."
    TGate m_PutGate;
    int m_Serial = 0;

    // A task window over two local folders (Name/left, Name/right) or, with Mem, two in-memory sides.
    TFSyncMain& AddWindow(const std::string& Name, bool Mem = false) {
        auto& w = *m_Windows.emplace_back(std::make_unique<TFSyncMain>());
        w.MainWnd = &m_MainTarget;
        w.Task->SyncName = Name;
        w.Task->SyncID = "{" + Name + std::to_string(++m_Serial) + "}";
        const std::string base = Mem ? "mem:" + w.Task->SyncID : m_Root + "/" + w.Task->SyncID;
        w.Task->LFolder->FolerAllName = base + "/left";
        w.Task->RFolder->FolerAllName = base + "/right";
        w.Task->LFolder->DeviceType = w.Task->RFolder->DeviceType = Mem ? DEVICE_WEBDAV : DEVICE_LOCAL;
        if (Mem) {
            (m_Stores[base + "/left"] = std::make_shared<TMemStore>())->AddFile("/a.txt", "alpha", 1000);
            m_Stores[base + "/right"] = std::make_shared<TMemStore>();
        } else {
            fs::create_directories(base + "/right");
            fs::create_directories(base + "/left");
            std::ofstream(base + "/left/a.txt") << "alpha";
        }
        m_Live.push_back(&w);
        return w;
    }
    TAutomation& NewAutomation() {
        m_Auto = std::make_unique<TAutomation>();
        m_Main.Automation = m_Auto.get();
        m_Auto->LiveWindows = [this] { return m_Live; };
        m_Auto->Quit = [this](int Code) { m_ExitCode = Code; };
        m_Auto->Delays = {
            .StartRuns = 10, .MountPoll = 20, .MountSettle = 10, .Finish = 20, .IdleSettle = 100};
        return *m_Auto;
    }
    bool Synced(TFSyncMain& W) const {
        const std::string right = W.Task->RFolder->FolerAllName;
        if (auto it = m_Stores.find(right); it != m_Stores.end()) return it->second->Snapshot().size() > 0;
        return fs::exists(right + "/a.txt");
    }
    int PowerOffs() const {
        std::ifstream in(m_Root + "/poweroff");
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    }

    // Between the cases of one test.
    void Reset() {
        m_PutGate.Open();
        m_Auto.reset();
        m_Live.clear();
        m_Windows.clear();
        m_ExitCode.reset();
        SysConfig().AutoClose = 0;
        fs::remove(m_Root + "/poweroff");
    }

  private slots:
    void init() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (m_Home.path() + "/data").toUtf8());
        m_Root = m_Home.path().toStdString() + "/" + QTest::currentTestFunction();
        fs::create_directories(m_Root);
        SetShutdownCommand({"sh", "-c", "echo off >> '" + m_Root + "/poweroff'"});
        TSyncTask::SetFileOperFactory([this](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
            auto it = m_Stores.find(f.FolerAllName);
            if (it == m_Stores.end()) return nullptr;
            return std::make_unique<TGatedFileOper>(it->second, nullptr, &m_PutGate);
        });
    }
    void cleanup() {
        Reset();
        TSyncTask::SetFileOperFactory({});
        SetShutdownCommand({"systemctl", "poweroff"});
    }

    void powerOffComesOnceAfterTheLastBusyTaskEnds() {
        for (int autoClose : {1, 0}) {
            SysConfig().AutoClose = autoClose;
            NewAutomation();
            TFSyncMain& slow = AddWindow("Slow", true);
            TFSyncMain& quick = AddWindow("Quick");
            m_PutGate.Close();
            slow.AnalyzeThenSync();
            QTRY_COMPARE_WITH_TIMEOUT(m_PutGate.Waiting.load(), 1, 10000);
            quick.AnalyzeThenSync();
            QTRY_VERIFY_WITH_TIMEOUT(!quick.Running() && Synced(quick), 10000);
            QTest::qWait(400);
            QCOMPARE(PowerOffs(), 0);  // the slow sync still runs
            m_PutGate.Open();
            QTRY_VERIFY_WITH_TIMEOUT(!slow.Running(), 10000);
            QTest::qWait(600);
            QCOMPARE(PowerOffs(), autoClose);
            Reset();
        }
    }

    void aCommandLineInstanceEndsWithTheStatusOfItsRuns() {
        const struct {
            const char* Argument;
            int ExitCode;
            const char* Runs;  // per window: s synced, - untouched
        } cases[] = {
            {"  Daily  ", 0, "ss----"},  // every task of the name, blanks around it ignored
            {"daily", 1, "------"},      // names are case-sensitive
            {"Broken", 1, "------"},     // a row fails
            {"Review", 0, "------"},     // an analysis only ends the instance too
            {"Gone", 1, "------"},       // a deleted task no longer exists
            {"Idle", 1, "------"},       // neither analysis nor sync to run
        };
        for (const auto& c : cases) {
            NewAutomation();
            AddWindow("Daily").Task->TSsync = 1;
            AddWindow("Daily").Task->TSsync = 1;
            TFSyncMain& broken = AddWindow("Broken", true);
            broken.Task->TSsync = 1;
            m_Stores[broken.Task->LFolder->FolerAllName]->FailPaths.insert("/a.txt");
            AddWindow("Review").Task->TSanalyze = 1;
            AddWindow("Gone").Task->TSsync = 1;
            m_Live.pop_back();
            AddWindow("Idle");
            m_Auto->Start(c.Argument);
            QTRY_VERIFY_WITH_TIMEOUT(m_ExitCode.has_value(), 15000);
            QCOMPARE(*m_ExitCode, c.ExitCode);
            for (size_t i = 0; i < m_Windows.size(); ++i) {
                QVERIFY(!m_Windows[i]->Running());
                QCOMPARE(Synced(*m_Windows[i]), c.Runs[i] == 's');
            }
            Reset();
        }
    }

    // An exception from no task window, while a command-line run syncs, ends that run as a failed
    // one with its reason once the row in flight is done: the task is free, the instance ends with 1.
    void anExceptionFromElsewhereEndsTheCommandLineRuns() {
        NewAutomation();
        TFSyncMain& w = AddWindow("Daily", true);
        w.Task->TSsync = 1;
        m_PutGate.Close();
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        m_Auto->Start("Daily");
        QTRY_COMPARE_WITH_TIMEOUT(m_PutGate.Waiting.load(), 1, 10000);
        m_Auto->Unexpected(nullptr, "boom");
        m_PutGate.Open();
        QTRY_VERIFY_WITH_TIMEOUT(m_ExitCode.has_value(), 15000);
        QCOMPARE(*m_ExitCode, 1);
        QVERIFY(!w.Running());
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.front()[1].toString(),
                 QString(R"(task "Daily": Error: the run stopped on an unexpected error: boom)"));
        TFileLock lock;
        QVERIFY(lock.TryLock(w.Task->LockFileName()));
    }

    void theEndOfTheSessionWaitsForItsRunsForABoundedTime() {
        const struct {
            int OpenAfterMs;  // the sync is let through after this; -1 never
            int HoldMs;
            bool Ended;
        } cases[] = {{1500, 20000, true}, {-1, 400, false}};
        for (const auto& c : cases) {
            TAutomation& automation = NewAutomation();
            automation.Delays.SessionHold = c.HoldMs;
            TFSyncMain& w = AddWindow("Logoff", true);
            w.Task->LogoffSync = 1;
            AddWindow("After").Task->LogoffSync = 1;  // only the first LogoffSync task runs
            m_PutGate.Close();
            if (c.OpenAfterMs >= 0) QTimer::singleShot(c.OpenAfterMs, [this] { m_PutGate.Open(); });
            QSignalSpy ended(&w, &TFSyncMain::RunEnded);
            QElapsedTimer held;
            held.start();
            automation.SessionEnding();
            QCOMPARE(ended.size(), c.Ended ? 1 : 0);
            QVERIFY(held.elapsed() < c.HoldMs + 1000);
            QVERIFY(!m_Windows[1]->Running() && !Synced(*m_Windows[1]));
            Reset();
        }
    }
};

BFS_UI_TEST(AutomationTest);
#include "AutomationTest.moc"
