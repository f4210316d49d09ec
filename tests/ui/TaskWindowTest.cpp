#include "GatedFileOper.h"
#include "UiTestMain.h"
#include "common/SilentServer.h"
#include "model/UTConsts.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/TooltipUtil.h"
#include "ui/UFSyncMain.h"
#include "ui/UTPlanModel.h"
#include "ui/UTQtNotifyTarget.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTreeView>
#include <QtTest>

#include <filesystem>
#include <memory>

using namespace bfs;
using namespace bfs::test;
namespace fs = std::filesystem;

namespace {

// Stands in for the main window: counts what the task window tells it.
class TMainStandIn : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() < QEvent::User) return QObject::event(e);
        Received.push_back(static_cast<TMessageEvent*>(e)->Msg());
        return true;
    }
    std::vector<uint32_t> Received;
};

bool HasLine(const QStringList& Lines, const QString& Start) {
    for (const QString& l : Lines)
        if (l.startsWith(Start)) return true;
    return false;
}

void WriteFile(const std::string& Path, const std::string& Content) {
    fs::create_directories(fs::path(Path).parent_path());
    QCOMPARE(WriteFileAtomic(Path, Content), 0);
}

// The row of the plan shown for the entry Name, at any depth; null when the view has none.
TPlanRow* FindRow(TFSyncMain& W, const std::string& Name) {
    std::vector<TPlanRow*> pending{W.Run().Plan.RootNode.get()};
    while (!pending.empty()) {
        TPlanRow* row = pending.back();
        pending.pop_back();
        if (row->Data.ResultNode && row->Data.Name == Name) return row;
        for (const auto& c : row->Children) pending.push_back(c.get());
    }
    return nullptr;
}

void SelectRow(TFSyncMain& W, const std::string& Name) {
    TPlanRow* row = FindRow(W, Name);
    QVERIFY2(row, Name.c_str());
    const QModelIndex index = W.PlanModel().IndexOf(row);
    W.VST1->setCurrentIndex(index);
    emit W.VST1->clicked(index);  // as a click: the row menu is made for the row
}

int AnalysisRecords(TFSyncMain& W) {
    return static_cast<int>(W.LogLines().filter(QRegularExpression("^----- Analysis ")).size());
}

// Takes the local files the window hands to the desktop.
class TOpenedUrls : public QObject {
    Q_OBJECT
  public slots:
    void Open(const QUrl& Url) { Opened << Url.toLocalFile(); }

  public:
    QStringList Opened;
};

// A side whose server turns the log-on away.
class TRefusingOper : public TMemFileOper {
  public:
    using TMemFileOper::TMemFileOper;
    int32_t Connect() override {
        FailureText = "log-on refused";
        return 5;
    }
};

}  // namespace

class TaskWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TFSyncMain> m_Window;
    TMainStandIn m_Main;
    std::unique_ptr<TQtNotifyTarget> m_MainTarget;
    std::string m_Left, m_Right;
    TMemStoreRef m_LeftStore, m_RightStore;
    TGate m_ListGate, m_PutGate, m_GetGate;

    TFSyncMain& Open(int32_t Kind) {
        m_Window = std::make_unique<TFSyncMain>();
        m_MainTarget = std::make_unique<TQtNotifyTarget>(&m_Main);
        m_Main.Received.clear();
        m_Window->MainWnd = m_MainTarget.get();
        TSyncTask& t = *m_Window->Task;
        t.SyncName = "Photos";
        t.SyncID = "{task-window-test}";
        t.IsDeleteFile = 1;
        t.LFolder->DeviceType = t.RFolder->DeviceType = Kind;
        if (Kind == DEVICE_LOCAL) {
            t.LFolder->FolerAllName = m_Left;
            t.RFolder->FolerAllName = m_Right;
        } else {
            t.LFolder->FolerAllName = "mem:left";
            t.RFolder->FolerAllName = "mem:right";
        }
        m_Window->show();
        return *m_Window;
    }
    static constexpr int32_t DAY = (45 << 25) | (3 << 21) | (14 << 16), LATER = DAY + (1 << 11);
    // A task synced once, with notes.txt changed on both sides since: analysed, a conflict waits.
    TFSyncMain& OpenWithConflict() {
        m_LeftStore->AddFile("/notes.txt", "first", DAY);
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        if (Idle(w)) w.BitBtn_SyncClick();
        Idle(w);
        m_LeftStore->AddFile("/notes.txt", "left edit", LATER);
        m_RightStore->AddFile("/notes.txt", "right edit", LATER + 2);
        w.StartAnalyze();
        Idle(w);
        return w;
    }
    // Waits until no run of the window is alive.
    static bool Idle(TFSyncMain& W) {
        return QTest::qWaitFor([&] { return !W.Running(); }, 10000);
    }
    // The task's log as the window wrote it (SaveLog on), with bare line ends.
    std::string TaskLog() const {
        std::string text;
        ReadWholeFile(GetProgramFolder() + SyncIDToFileName(m_Window->Task->SyncID) + ".log", text);
        std::erase(text, '\r');
        return text;
    }

  private slots:
    void init() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (m_Home.path() + "/data").toUtf8());
        // The task's lock is this test's own, whatever else runs the same task at the same time.
        qputenv("XDG_RUNTIME_DIR", m_Home.path().toUtf8());
        // Nor do the program-wide masks that other windows' tests leave behind filter these plans.
        SysConfig().IncludeFilter.clear();
        SysConfig().ExcludeFilter.clear();
        const std::string root = m_Home.path().toStdString();
        m_Left = root + "/left";
        m_Right = root + "/right";
        fs::remove_all(m_Left);
        fs::remove_all(m_Right);
        fs::create_directories(m_Left);
        fs::create_directories(m_Right);
        m_LeftStore = std::make_shared<TMemStore>();
        m_RightStore = std::make_shared<TMemStore>();
        m_ListGate.Open();
        m_PutGate.Open();
        m_GetGate.Open();
        TSyncTask::SetFileOperFactory([this](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
            // Like the program's own factory, no back-end for a kind that has none.
            // A folder typed into the window is an address of a known form: "/mem/left" stands for
            // "mem:left" there.
            const std::string address =
                f.FolerAllName.starts_with("/mem/") ? "mem:" + f.FolerAllName.substr(5) : f.FolerAllName;
            if (address.rfind("mem:", 0) != 0 || f.DeviceType == DEVICE_SFTP) return nullptr;
            if (address == "mem:refused") return std::make_unique<TRefusingOper>(m_LeftStore);
            return std::make_unique<TGatedFileOper>(address == "mem:left" ? m_LeftStore : m_RightStore,
                                                    &m_ListGate, &m_PutGate, &m_GetGate);
        });
    }
    void cleanup() {
        m_ListGate.Open();
        m_PutGate.Open();
        m_GetGate.Open();
        m_Window.reset();
        TSyncTask::SetFileOperFactory({});
    }

    void refusedRunsWriteOneLineAndChangeNothing() {
        // The runtime folder here is the program folder too (both live in m_Home).
        const QString runFolder = m_Home.path() + "/bramlow-file-sync";
        const struct {
            int32_t Kind;
            bool SameFolders;
            QFile::Permissions RunFolder;  // the runtime folder's mode during the run
            QString Line;
            bool Red;
        } cases[] = {
            {DEVICE_LOCAL, true, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner,
             "Left and right folders are the same", true},
            {DEVICE_SFTP, false, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner,
             "Cannot connect Left folder: mem:left", false},
            {DEVICE_LOCAL, false,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther,
             "The lock of task \"Photos\" could not be made: the folder " + runFolder +
                 " has mode 0705, not 0700.",
             false},
        };
        for (const auto& c : cases) {
            TFSyncMain& w = Open(c.Kind);
            if (c.SameFolders) w.Task->RFolder->FolerAllName = w.Task->LFolder->FolerAllName;
            QSignalSpy ended(&w, &TFSyncMain::RunEnded);
            QVERIFY(QDir().mkpath(runFolder) && QFile::setPermissions(runFolder, c.RunFolder));
            w.StartAnalyze();
            QVERIFY(QFile::setPermissions(runFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QCOMPARE(ended.size(), 1);
            QCOMPARE(ended.front().front().toBool(), true);
            QCOMPARE(w.LogLines(), QStringList{c.Line});
            QCOMPARE(w.memo1->document()->begin().begin().fragment().charFormat().foreground().color() ==
                         QColor(0xD6, 0x45, 0x45),
                     c.Red);
            QVERIFY(!w.Running());
            QVERIFY(w.BitBtn_Analyze->isEnabled());
            QVERIFY(!w.BitBtn_Sync->isEnabled());
        }
    }

    // A run that does not start says why on the status line, and the log line adds where and why.
    void aRefusedRunSaysWhyOnTheStatusLine() {
        TSilentServer server;
        server.Refuse();
        const QString missing = QString::fromStdString(m_Home.path().toStdString() + "/gone");
        const QString down = QString::fromStdString(server.Address("http")) + "/dav";
        const struct {
            const char* Name;
            int32_t LeftKind, RightKind;
            QString Left, Right;
            bool OtherRunning;  // the same task runs in another window
            QString Line, Status;
        } cases[] = {
            {"left folder missing", DEVICE_LOCAL, DEVICE_LOCAL, missing, "", false,
             "Cannot connect Left folder: " + missing + " (no such folder)",
             "Cannot connect the left folder: no such folder."},
            {"server down", DEVICE_WEBDAV, DEVICE_LOCAL, down, "", false,
             "Cannot connect Left folder: " + down + " (server not reachable)",
             "Cannot connect the left folder: server not reachable."},
            {"log-on refused", DEVICE_LOCAL, DEVICE_WEBDAV, "", "mem:refused", false,
             "Cannot connect Right folder: mem:refused (log-on refused)",
             "Cannot connect the right folder: log-on refused."},
            {"no storage of the kind", DEVICE_SFTP, DEVICE_LOCAL, "mem:left", "", false,
             "Cannot connect Left folder: mem:left",
             "Cannot connect the left folder: no storage of this kind."},
            {"already running", DEVICE_WEBDAV, DEVICE_WEBDAV, "mem:left", "mem:right", true,
             "The task \"Photos\" is already running.", "The task \"Photos\" is already running."},
        };
        for (const auto& c : cases) {
            TFSyncMain& w = Open(DEVICE_LOCAL);
            TSyncTask& t = *w.Task;
            t.LFolder->DeviceType = c.LeftKind;
            t.RFolder->DeviceType = c.RightKind;
            if (!c.Left.isEmpty()) t.LFolder->FolerAllName = c.Left.toStdString();
            if (!c.Right.isEmpty()) t.RFolder->FolerAllName = c.Right.toStdString();
            // The same task in a second window, held in its listing.
            std::unique_ptr<TFSyncMain> other;
            if (c.OtherRunning) {
                m_ListGate.Close();
                other = std::make_unique<TFSyncMain>();
                other->Task->Assign(t);
                other->StartAnalyze();
                QTRY_COMPARE(m_ListGate.Waiting.load(), 2);
            }
            w.StartAnalyze();
            QVERIFY2(Idle(w), c.Name);
            QVERIFY2(w.LogLines() == QStringList{c.Line}, qPrintable(w.LogLines().join('|')));
            QVERIFY2(w.Label_ActionStatus->text() == c.Status, qPrintable(w.Label_ActionStatus->text()));
            QVERIFY2(w.BitBtn_Analyze->isEnabled() && !w.BitBtn_cancel->isEnabled(), c.Name);
            if (other) {
                m_ListGate.Open();
                QVERIFY(Idle(*other));
            }
        }
    }

    // Tab walks the window as it is laid out, and the control it reaches shows a ring unless it
    // draws its own focus; a click shows none.
    void tabFollowsTheLayoutAndShowsTheFocus() {
        TFSyncMain& w = Open(DEVICE_LOCAL);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto* ring = w.findChild<QWidget*>(QStringLiteral("FocusRing"));
        QVERIFY(ring);
        // Sync and Cancel are off, and so is the view choice, until there is a plan.
        const struct {
            QWidget* Control;
            bool Ring;
        } stops[] = {{w.edit_LFolder, false}, {w.bt_LBrowse, true}, {w.bt_taskconfig, true},
                     {w.Edit_RFolder, false}, {w.bt_RBrowse, true}, {w.BitBtn_Analyze, true},
                     {w.VST1, true},          {w.memo1, true},      {w.edit_LFolder, false}};
        w.edit_LFolder->setFocus(Qt::TabFocusReason);
        for (const auto& c : stops) {
            QCOMPARE(QApplication::focusWidget(), c.Control);
            QTRY_COMPARE(ring->isVisible(), c.Ring);
            if (c.Ring)
                QVERIFY(ring->geometry().contains(QRect(c.Control->mapTo(&w, QPoint()), c.Control->size())));
            QTest::keyClick(c.Control, Qt::Key_Tab);
        }
        // A click puts the focus where the user looks: no ring.
        QTest::mouseClick(w.VST1->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.VST1));
        QTRY_VERIFY(!ring->isVisible());
    }

    // An address typed and not yet left is the one the run uses.
    void aRunTakesTheAddressStillBeingTyped() {
        TFSyncMain& w = Open(DEVICE_LOCAL);
        w.Edit_RFolder->clear();
        QTest::keyClicks(w.Edit_RFolder, QString::fromStdString(m_Left));
        w.StartAnalyze();
        QCOMPARE(w.LogLines(), QStringList{"Left and right folders are the same"});
    }

    void analyzeThenSyncCarriesOutThePlanAndRecordsTheRun() {
        WriteFile(m_Left + "/docs/a.txt", "alpha");
        WriteFile(m_Right + "/b.txt", "beta");
        TFSyncMain& w = Open(DEVICE_LOCAL);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QStringList lines = w.LogLines();
        QVERIFY2(HasLine(lines, "All:"), qPrintable(lines.join('\n')));
        QVERIFY(HasLine(lines, "----- Analysis TotalTime:"));
        QVERIFY(HasLine(lines, "Left Folder:" + QString::fromStdString(m_Left) + ",Total Size:"));
        QCOMPARE(w.CurrentView(), int(VIEW_CHANGES));
        QVERIFY(w.BitBtn_Sync->isEnabled());
        QVERIFY(w.rb_changed->text().endsWith("(2)"));

        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.BitBtn_SyncClick();
        QVERIFY(Idle(w));
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.front().front().toBool(), false);
        QVERIFY(fs::exists(m_Right + "/docs/a.txt"));
        QVERIFY(fs::exists(m_Left + "/b.txt"));
        lines = w.LogLines();
        QVERIFY(HasLine(lines, "----- Sync End. Time:"));
        QVERIFY(lines.last().endsWith("ms -----"));
        QCOMPARE(std::count(m_Main.Received.begin(), m_Main.Received.end(), WM_TASKFINISHED), 1);
        for (const auto& row : w.Run().Plan.RootNode->Children) QCOMPARE(row->Data.Action, ACTION_SAME);
        // The plan was carried out; only a new analysis enables Sync again.
        QVERIFY(!w.BitBtn_Sync->isEnabled());
    }

    void nothingToSyncLeavesSyncOffAndNeverSyncsALaterAnalysis() {
        WriteFile(m_Left + "/same.txt", "x");
        TFSyncMain& w = Open(DEVICE_LOCAL);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        w.BitBtn_SyncClick();
        QVERIFY(Idle(w));
        // Both sides now equal: analyze-and-sync finds nothing, and its "sync after" ends with it.
        w.AnalyzeThenSync();
        QVERIFY(Idle(w));
        QVERIFY(!w.BitBtn_Sync->isEnabled());
        QCOMPARE(w.Label_ActionStatus->text(), QString("No changes were made."));
        WriteFile(m_Left + "/later.txt", "new");
        m_Main.Received.clear();
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QTest::qWait(1300);
        QVERIFY(!fs::exists(m_Right + "/later.txt"));
        QVERIFY(m_Main.Received.empty());
        QVERIFY(w.BitBtn_Sync->isEnabled());
    }

    void aPatternFromARowRebuildsThePlanBeforeItIsCarriedOut() {
        m_LeftStore->AddFile("/a.txt", "alpha", 1000);
        m_LeftStore->AddFile("/b.log", "beta", 1000);
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QVERIFY(w.rb_changed->text().endsWith("(2)"));
        for (const auto& row : w.Run().Plan.RootNode->Children)
            if (row->Data.Name == "b.log") w.VST1->setCurrentIndex(w.PlanModel().IndexOf(row.get()));
        w.AddFilterFromNode(true, false);
        QCOMPARE(w.Task->ExcludeFilter, std::vector<std::string>{".log"});
        QVERIFY(w.rb_changed->text().endsWith("(1)"));
        // The main window's view messages: only the changes view can be carried out.
        QCoreApplication::postEvent(&w, new TMessageEvent(WM_ALL, 0, 10));
        QCoreApplication::processEvents();
        QCOMPARE(w.CurrentView(), int(VIEW_ALL));
        w.BitBtn_SyncClick();
        QVERIFY(Idle(w));
        QVERIFY(m_RightStore->Snapshot().empty());
        QCoreApplication::postEvent(&w, new TMessageEvent(WM_MODIFY, 0, 10));
        QCoreApplication::processEvents();
        w.BitBtn_SyncClick();
        QVERIFY(Idle(w));
        QVERIFY(m_RightStore->Has("/a.txt"));
        QVERIFY(!m_RightStore->Has("/b.log"));
    }

    void deletingFromARowTouchesOnlyTheFileTheRowShows() {
        m_LeftStore->AddFile("/a.txt", "left", 1000);
        m_RightStore->AddFile("/a.txt", "right", 2000);
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        TPlanRow* row = w.Run().Plan.RootNode->Children.front().get();
        w.VST1->setCurrentIndex(w.PlanModel().IndexOf(row));
        m_RightStore->AddFile("/a.txt", "changed meanwhile", 3000);
        w.act_del_right_file->trigger();
        QVERIFY(Idle(w));
        QVERIFY(m_RightStore->Has("/a.txt"));
        QVERIFY(HasLine(w.LogLines(), "Error changed since the analysis: "));
        m_RightStore->AddFile("/a.txt", "right", 2000);
        w.act_del_right_file->trigger();
        QVERIFY(Idle(w));
        QVERIFY(!m_RightStore->Has("/a.txt"));
        QCOMPARE(row->Data.Action, ACTION_NOT_COPY);
    }

    // "Save as" downloads on its own thread; the file appears whole under the chosen name or not at
    // all (no temporary file left either), whatever ends the download.
    void saveAsRunsOffTheWindowAndNeverLeavesAPartialFile() {
        enum TEnd { LET_GO, CANCEL, CLOSE };
        const std::string folder = m_Home.path().toStdString() + "/saved", target = folder + "/a copy.txt";
        for (const TEnd end : {LET_GO, CANCEL, CLOSE}) {
            fs::remove_all(folder);
            fs::create_directories(folder);
            m_LeftStore->AddFile("/a.txt", "alpha", 1000);
            TFSyncMain& w = Open(DEVICE_WEBDAV);
            w.StartAnalyze();
            QVERIFY(Idle(w));
            w.VST1->setCurrentIndex(w.PlanModel().IndexOf(w.Run().Plan.RootNode->Children.front().get()));
            w.ChooseSaveTarget = [&](const std::string&) { return target; };
            m_GetGate.Close();
            w.act_leftfilesaveas->trigger();
            QTRY_COMPARE(m_GetGate.Waiting.load(), 1);
            QVERIFY(w.Running() && w.BitBtn_cancel->isEnabled() && !w.BitBtn_Analyze->isEnabled());
            if (end == CLOSE) {
                w.close();
                m_Window.reset();
            } else {
                end == LET_GO ? m_GetGate.Open() : w.BitBtn_cancelClick();
                QVERIFY(Idle(w));
                QCOMPARE(HasLine(w.LogLines(), "Error saving: " + QString::fromStdString(target)),
                         end == CANCEL);
            }
            std::string content;
            QCOMPARE(ReadWholeFile(target, content) == 0 ? content : "none",
                     end == LET_GO ? "alpha" : "none");
            QCOMPARE(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
                     end == LET_GO ? 1 : 0);
        }
    }

    // A server that takes the connection and never answers: the window's loop keeps turning while the
    // run waits on it and Cancel ends the run; once the server refuses, the run ends with its one line.
    void aSilentServerNeverHoldsTheWindow() {
        TSilentServer server;
        TFSyncMain& w = Open(DEVICE_LOCAL);
        w.Task->LFolder->DeviceType = DEVICE_WEBDAV;
        w.Task->LFolder->FolerAllName = server.Address("http") + "/dav";
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(5);
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.StartAnalyze();
        QTRY_VERIFY(server.Accepted() > 0);
        const int before = ticks;
        QTRY_VERIFY(ticks > before + 3);
        QVERIFY(w.Running() && ended.isEmpty());
        w.BitBtn_cancelClick();
        QVERIFY(Idle(w));  // a generous bound: the server would hold the run for a minute
        QCOMPARE(ended.size(), 1);
        server.Refuse();
        const QStringList earlier = w.LogLines();
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QCOMPARE(w.LogLines().mid(earlier.size()),
                 QStringList{"Cannot connect Left folder: " + QString::fromStdString(server.Address("http")) +
                             "/dav (server not reachable)"});
        QCOMPARE(ended.size(), 2);
        QVERIFY(w.BitBtn_Analyze->isEnabled() && !w.BitBtn_cancel->isEnabled() && !w.pb_action->isVisible());
    }

    void cancelDuringTheListingsEndsTheRunWithoutAnAnalysis() {
        m_LeftStore->AddFile("/a.txt", "alpha", 1000);
        m_ListGate.Close();
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QTRY_COMPARE(m_ListGate.Waiting.load(), 2);
        // While the run is alive the main window's run messages do nothing.
        QCoreApplication::postEvent(&w, new TMessageEvent(WM_ANAL_JOB, 0, 10));
        QCoreApplication::processEvents();
        w.BitBtn_cancelClick();
        QVERIFY(Idle(w));
        QVERIFY(!w.BitBtn_Sync->isEnabled());
        QVERIFY(w.BitBtn_Analyze->isEnabled());
        QVERIFY(!HasLine(w.LogLines(), "All:"));
        QCOMPARE(w.Run().Plan.RootNode->Children.size(), size_t(0));
        // The task's lock went with the run: a new analysis runs.
        m_ListGate.Open();
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QVERIFY(w.BitBtn_Sync->isEnabled());
    }

    void cancelDuringTheSyncStopsAfterTheCurrentRow() {
        for (int i = 0; i < 12; ++i) m_LeftStore->AddFile("/f" + std::to_string(i) + ".txt", "data", 1000);
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        m_PutGate.Close();
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.BitBtn_SyncClick();
        QTRY_VERIFY(m_PutGate.Waiting.load() >= 1);
        QVERIFY(w.Running());
        QVERIFY(!w.BitBtn_Analyze->isEnabled());
        w.BitBtn_cancelClick();
        m_PutGate.Open();
        QVERIFY(Idle(w));
        const size_t left = 12 - m_RightStore->Snapshot().size();
        QVERIFY(left > 0);
        // Said so, counted as a failed run, and what is left is in the captions.
        QCOMPARE(w.Label_ActionStatus->text(), QString("Sync cancelled."));
        QCOMPARE(w.LogLines().mid(w.LogLines().size() - 2, 1), QStringList{"Sync cancelled."});
        QCOMPARE(ended.front().front().toBool(), true);
        QVERIFY(w.rb_changed->text().endsWith(QString("(%1)").arg(left)));
        QVERIFY(HasLine(w.LogLines(), "----- Sync End. Time:"));
        QCOMPARE(std::count(m_Main.Received.begin(), m_Main.Received.end(), WM_TASKFINISHED), 1);
    }

    // A conflict, whether an automatic run leaves it alone or the two-way rule holds it, counts as
    // one (not as a change), is named in the pane and the task log with the count after it, and
    // fails the run with that count, also when a sync follows.
    void conflictsAreNamedCountedAndFailTheRun() {
        const auto saveLogOff = qScopeGuard([] { SysConfig().SaveLog = 0; });
        for (const bool automatic : {true, false}) {
            m_LeftStore = std::make_shared<TMemStore>();
            m_RightStore = std::make_shared<TMemStore>();
            SysConfig().SaveLog = 0;
            TFSyncMain& w = OpenWithConflict();  // its analysis names the conflict once already
            fs::remove(GetProgramFolder() + SyncIDToFileName(w.Task->SyncID) + ".log");
            SysConfig().SaveLog = 1;
            if (!automatic) m_LeftStore->AddFile("/new.txt", "a change: a sync follows", LATER);
            w.Task->AutoRun = automatic;
            QSignalSpy ended(&w, &TFSyncMain::RunEnded);
            w.AnalyzeThenSync();
            QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty() && !w.Running(); }, 10000));
            QCOMPARE(ended.front()[0].toBool(), true);
            QCOMPARE(ended.front()[1].toString(),
                     QString(R"(The task "Photos" ran: 1 conflict was not synced.)"));
            QCOMPARE(m_RightStore->Has("/new.txt"), !automatic);
            const QString figures = QString("Changed:%1,Conflicts:1,").arg(automatic ? 0 : 1);
            const QStringList lines = w.LogLines();
            QVERIFY2(lines.filter(QRegularExpression("^All:")).last().contains(figures),
                     qPrintable(lines.join('\n')));
            QCOMPARE(lines.count("Conflict, not synced: /notes.txt"), 2);
            QCOMPARE(lines.count("1 conflict was not synced."), 2);
            QVERIFY(TaskLog().find("-----\nConflict, not synced: /notes.txt\n1 conflict was not synced.\n") !=
                    std::string::npos);
        }
    }

    void aFailedRowIsShownAsAnError() {
        m_LeftStore->AddFile("/ok.txt", "fine", 1000);
        m_LeftStore->AddFile("/bad.txt", "broken", 1000);
        m_LeftStore->FailPaths.insert("/bad.txt");
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.BitBtn_SyncClick();
        QVERIFY(Idle(w));
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.front().front().toBool(), true);
        QVERIFY2(HasLine(w.LogLines(), "Error "), qPrintable(w.LogLines().join('\n')));
        bool errorRow = false;
        for (const auto& row : w.Run().Plan.RootNode->Children)
            if (row->Data.Name == "bad.txt") errorRow = row->Data.Action == ACTION_ERROR;
        QVERIFY(errorRow);
    }

    // Job > Sync (F6) carries out the plan shown with the user's changes, from any view; Analyze and
    // Sync (F9) analyzes again. A conflict waiting is no "No changes were made.".
    void syncCommandCarriesOutThePlanAsTheUserLeftIt() {
        const struct {
            intptr_t WParam;
            int View;
            std::string Notes;  // the right side's notes.txt afterwards
            bool SkippedCopied;
        } cases[] = {{SYNC_SHOWN_PLAN, VIEW_ALL, "left edit", false}, {0, VIEW_CHANGES, "right edit", true}};
        for (const auto& c : cases) {
            m_LeftStore = std::make_shared<TMemStore>();
            m_RightStore = std::make_shared<TMemStore>();
            TFSyncMain& w = OpenWithConflict();
            QVERIFY(w.Label_ActionStatus->text() != "No changes were made.");
            m_LeftStore->AddFile("/b.txt", "beta", LATER);
            w.StartAnalyze();
            QVERIFY(Idle(w));
            w.ShowView(VIEW_ALL);
            SelectRow(w, "notes.txt");
            w.act_pop_LtoR->trigger();
            SelectRow(w, "b.txt");
            w.act_pop_Donotcopy->trigger();
            w.ShowView(c.View);
            const int analyses = AnalysisRecords(w);
            QSignalSpy ended(&w, &TFSyncMain::RunEnded);
            TMessageEvent sync(WM_ANAL_SYNC, c.WParam, 10);
            QCoreApplication::sendEvent(&w, &sync);
            QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 10000));
            QCOMPARE(m_RightStore->Get("/notes.txt").Content, c.Notes);
            QCOMPARE(m_RightStore->Has("/b.txt"), c.SkippedCopied);
            QCOMPARE(AnalysisRecords(w) - analyses, c.WParam == SYNC_SHOWN_PLAN ? 0 : 1);
        }
    }

    // A plan is carried out only on the folders it was made for: a folder changed after the
    // analysis takes Sync away, and F6 analyses again.
    void aChangedFolderDropsThePlan() {
        TFSyncMain& w = OpenWithConflict();
        m_LeftStore->AddFile("/b.txt", "beta", LATER);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QVERIFY(w.BitBtn_Sync->isEnabled());
        // Still being typed when F6 comes.
        w.edit_LFolder->setText("/mem/elsewhere");
        w.edit_LFolder->setModified(true);
        const int analyses = AnalysisRecords(w);
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        TMessageEvent sync(WM_ANAL_SYNC, SYNC_SHOWN_PLAN, 10);
        QCoreApplication::sendEvent(&w, &sync);
        QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 10000));
        QCOMPARE(AnalysisRecords(w) - analyses, 1);
        // And a folder changed and left: Sync goes away at once.
        QVERIFY(Idle(w));
        w.edit_LFolder->setText("/mem/left");
        emit w.edit_LFolder->editingFinished();
        m_LeftStore->AddFile("/c.txt", "gamma", LATER);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        QVERIFY(w.BitBtn_Sync->isEnabled());
        w.edit_LFolder->setText("/mem/elsewhere");
        emit w.edit_LFolder->editingFinished();
        QVERIFY(!w.BitBtn_Sync->isEnabled());
    }

    // A folder typed into the window takes the kind of its form, and is stored so; one of no known
    // form is refused with a message, and the side keeps its folder.
    void aTypedFolderTakesTheKindOfItsForm() {
        TFSyncMain& w = OpenWithConflict();
        QStringList boxes;
        MessageBoxFunc = [&](const QString& Text, const QString&, int) {
            boxes << Text;
            return 1;
        };
        const struct {
            const char* Typed;
            int32_t Kind;        // the side's kind after
            const char* Stored;  // the side's address after
            bool Refused;
        } rows[] = {
            {"/home/me/a/", DEVICE_LOCAL, "/home/me/a", false},
            {"ftp://host/data", DEVICE_FTP, "ftp://host/data", false},
            {"smb://host/share/dir", DEVICE_NETWORK, "\\\\host\\share\\dir", false},
            {"relative/dir", DEVICE_NETWORK, "\\\\host\\share\\dir", true},
            {"/mem/left", DEVICE_LOCAL, "/mem/left", false},
        };
        w.Task->LFolder->DeviceType = DEVICE_MOBILE;
        for (const auto& r : rows) {
            boxes.clear();
            w.edit_LFolder->setText(QString::fromUtf8(r.Typed));
            emit w.edit_LFolder->editingFinished();
            QVERIFY2(boxes.size() == (r.Refused ? 1 : 0), r.Typed);
            QCOMPARE(w.edit_LFolder->text(), QString::fromUtf8(r.Stored));
            // (What SaveLeftFolderPath stores of the side is tested with the task list.)
            QVERIFY2(w.Task->LFolder->DeviceType == r.Kind && w.Task->LFolder->FolerAllName == r.Stored,
                     r.Typed);
        }
        MessageBoxFunc = nullptr;
    }

    // The balloon at Analyze, as a start or a tab change shows it, hangs below the button's caption
    // and points up at it: it covers neither folder field, and a click into a field reaches it.
    void theAnalyzeBalloonLeavesTheFolderFieldsFree() {
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        // Room on the screen above the window and below it.
        w.setGeometry(0, 150, 800, 400);
        w.InitResultTree();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.BitBtn_Analyze->setToolTip(QStringLiteral("Compare both folders and show what a sync would do"));
        TMessageEvent showTip(WM_SHOWTIP, 0, 10);
        QCoreApplication::sendEvent(&w, &showTip);
        QWidget* balloon = w.ToolTip->TipWindow();
        QVERIFY(w.ToolTip->Active() && balloon->isVisible());
        const QRect shown = balloon->geometry();
        for (QWidget* field : {w.edit_LFolder, w.Edit_RFolder})
            QVERIFY(!shown.intersects(QRect(field->mapToGlobal(QPoint(0, 0)), field->size())));
        // The pointer's end: the middle of the caption's bottom edge, under the button.
        QWidget* caption = w.BitBtn_Analyze1;
        const QPoint end = caption->mapToGlobal(QPoint(caption->width() / 2, caption->height()));
        const QPoint button = w.BitBtn_Analyze->mapToGlobal(QPoint(0, 0));
        QVERIFY(button.x() <= end.x() && end.x() < button.x() + w.BitBtn_Analyze->width());
        QCOMPARE(shown.top(), end.y());
        QVERIFY(balloon->mask().contains(end - shown.topLeft() + QPoint(0, 3)));  // its pointer

        const QPoint field = w.edit_LFolder->mapToGlobal(w.edit_LFolder->rect().center());
        QCOMPARE(QApplication::widgetAt(field), w.edit_LFolder);
        QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, w.mapFromGlobal(field));
        QVERIFY(w.edit_LFolder->hasFocus());
    }

    // After a sync each row it carried out shows both sides as they now are, also in a view chosen
    // afterwards; folder rows sum them, and the clock keeps the run's time.
    void aSyncedPlanShowsBothSidesAsTheyNowAre() {
        m_LeftStore->AddFile("/docs/old.txt", "old", DAY);
        TFSyncMain& w = OpenWithConflict();
        m_LeftStore->AddFile("/docs/new.txt", std::string(300, 'n'), LATER);  // copied to the right
        m_LeftStore->Remove("/docs/old.txt");                                 // deleted on the right
        m_LeftStore->AddFile("/bad.txt", std::string(50, 'b'), LATER);        // fails
        m_LeftStore->FailPaths.insert("/bad.txt");
        w.StartAnalyze();
        QVERIFY(Idle(w));
        w.ShowView(VIEW_CONFLICTS);
        SelectRow(w, "notes.txt");
        w.act_pop_RtoL->trigger();  // "right edit" copied to the left
        w.ShowView(VIEW_CHANGES);
        m_PutGate.Close();
        w.BitBtn_SyncClick();
        QTimer::singleShot(1100, [this] { m_PutGate.Open(); });
        QVERIFY(Idle(w));
        QCOMPARE(w.Label_lasttime->text(), QString("00:00:01"));
        QCOMPARE(w.Label_ActionStatus->text(), QString("Sync finished: 1 failed."));
        QVERIFY(w.rb_changed->text().endsWith("(0)") && w.rb_errors->text().endsWith("(1)"));
        const struct {
            const char* Name;
            int64_t LeftSize, RightSize;
        } rows[] = {{"new.txt", 300, 300},
                    {"notes.txt", 10, 10},
                    {"old.txt", 0, 0},
                    {"bad.txt", 50, 0},
                    {"docs", 300, 300}};
        for (const int view : {int(VIEW_CHANGES), int(VIEW_ALL)}) {
            if (view == VIEW_ALL) w.ShowView(view);
            for (const auto& r : rows) {
                QVERIFY2(FindRow(w, r.Name), r.Name);
                const TResultNodeData& d = FindRow(w, r.Name)->Data;
                QCOMPARE(std::make_pair(d.LeftSize, d.RightSize), std::make_pair(r.LeftSize, r.RightSize));
                QCOMPARE(d.LeftDate != 0, r.LeftSize > 0 && !d.IsFolder);
                QCOMPARE(d.RightDate != 0, r.RightSize > 0 && !d.IsFolder);
                QCOMPARE(d.LtoRCount + d.RtoLCount, 0);
            }
            QCOMPARE(FindRow(w, "notes.txt")->Data.LeftDate, FindRow(w, "notes.txt")->Data.RightDate);
        }
        w.rb_errors->click();  // the result may be looked at, not carried out again
        QCOMPARE(w.Run().Plan.RootNode->Children.front()->Data.Name, std::string("bad.txt"));
        QVERIFY(!w.BitBtn_Sync->isEnabled());
    }

    // "Open folder" on a local side: a folder row's own folder, a file row's holder, the root.
    void openFolderOpensTheRowsFolderOnALocalSide() {
        WriteFile(m_Left + "/docs/a.txt", "alpha");
        WriteFile(m_Left + "/top.txt", "top");
        TFSyncMain& w = Open(DEVICE_LOCAL);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        TOpenedUrls urls;
        QDesktopServices::setUrlHandler("file", &urls, "Open");
        for (const auto& [row, folder] : {std::pair{"a.txt", "/docs"}, {"docs", "/docs"}, {"top.txt", ""}}) {
            SelectRow(w, row);
            w.act_open_Left_Folder->trigger();
            QCOMPARE(urls.Opened.takeFirst(), QString::fromStdString(m_Left + folder));
        }
        QDesktopServices::unsetUrlHandler("file");
    }

    // A folder a side could not list fails the run, with the side's reason in the pane, the task log
    // and the run's end; the rest is synced.
    void aFolderNotListedGivesItsReason() {
        SysConfig().SaveLog = 1;
        const auto saveLogOff = qScopeGuard([] { SysConfig().SaveLog = 0; });
        m_LeftStore->AddFile("/a.txt", "alpha", DAY);
        m_LeftStore->AddFile("/d/b.txt", "beta", DAY);
        m_LeftStore->SetUnreadable("/d");
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.AnalyzeThenSync();
        QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty() && !w.Running(); }, 10000));
        const QString line =
            "The left folder /d could not be listed completely (unreadable): nothing below it "
            "is copied or deleted.";
        QCOMPARE(ended.front()[1].toString(), R"(task "Photos": )" + line);
        QVERIFY(m_RightStore->Has("/a.txt") && !m_RightStore->Has("/d/b.txt"));
        QVERIFY(w.LogLines().contains(line));
        QVERIFY2(TaskLog().find("-----\n" + line.toStdString() + "\n") != std::string::npos,
                 TaskLog().c_str());
    }

    // The close cancels the sync as Cancel does: the rows in flight finish, and the run's record
    // says it was cancelled, in the pane and in the task log.
    void closingDuringASyncWaitsForTheWorkerWithoutDeadlock() {
        SysConfig().SaveLog = 1;
        const auto saveLogOff = qScopeGuard([] { SysConfig().SaveLog = 0; });
        for (int i = 0; i < 12; ++i) m_LeftStore->AddFile("/f" + std::to_string(i) + ".txt", "data", 1000);
        TFSyncMain& w = Open(DEVICE_WEBDAV);
        w.StartAnalyze();
        QVERIFY(Idle(w));
        m_PutGate.Close();
        QSignalSpy ended(&w, &TFSyncMain::RunEnded);
        w.BitBtn_SyncClick();
        QTRY_VERIFY(m_PutGate.Waiting.load() >= 1);
        // Let the row through a moment after the close began, as a slow copy would.
        QTimer::singleShot(50, [this] { m_PutGate.Open(); });
        w.close();
        QVERIFY(!w.Run().WorkerAlive());
        const size_t copied = m_RightStore->Snapshot().size();
        QVERIFY2(copied >= 1 && copied < 12, qPrintable(QString::number(copied)));
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.front().front().toBool(), true);
        const QStringList lines = w.LogLines();
        QVERIFY2(lines.size() >= 2 && lines[lines.size() - 2] == "Sync cancelled." &&
                     lines.last().startsWith("----- Sync End. Time:"),
                 qPrintable(lines.join('\n')));
        QVERIFY2(TaskLog().find("\nSync cancelled.\n----- Sync End. Time:") != std::string::npos,
                 TaskLog().c_str());
        m_Window.reset();
    }
};

BFS_UI_TEST(TaskWindowTest);
#include "TaskWindowTest.moc"
