#include "GatedFileOper.h"
#include "UiTestMain.h"
#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTConsts.h"
#include "model/UTMyException.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"
#include "ui/UTAutomation.h"
#include "ui/UTPictures.h"
#include "ui/UTWindowChrome.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

using namespace bfs;
namespace fs = std::filesystem;

namespace {

// Records the messages a task window receives, before it handles them.
class TMessageLog : public QObject {
  public:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() >= QEvent::User)
            Seen.push_back({Watched, static_cast<TMessageEvent*>(Event)->Msg(),
                            static_cast<TMessageEvent*>(Event)->LParam});
        return false;
    }
    struct TSeen {
        QObject* Window;
        uint32_t Msg;
        intptr_t LParam;
    };
    std::vector<TSeen> Seen;
};

std::string TaskListPath() {
    return GetProgramFolder() + "tasklist.fs";
}

// Appends tasks (name, identifier) to the program's task list.
void SaveTasks(const std::vector<std::pair<std::string, std::string>>& Tasks) {
    for (const auto& [name, id] : Tasks) {
        TSyncTask t;
        t.SyncName = name;
        t.SyncID = id;
        QCOMPARE(t.SaveToTaskList(1), 0);
    }
}

std::vector<std::string> IdsInTaskList(const std::string& Path = TaskListPath()) {
    TTaskListDocument doc;
    doc.LoadFile(Path);
    std::vector<std::string> ids;
    for (int i = 0; i < doc.GetTaskList().Count(); ++i)
        ids.push_back(doc.GetTaskList().Get_Tast(i).Get_SyncID());
    return ids;
}

std::string ReadText(const std::string& Path) {
    std::string data;
    ReadWholeFile(Path, data);
    return data;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TFMain> m_Main;
    std::vector<QString> m_Boxes;
    int m_Answer = IDYES;

    TFMain& Open() {
        m_Main = std::make_unique<TFMain>();
        m_Main->LoadTaskList("");
        return *m_Main;
    }
    std::vector<std::string> WindowIds() const {
        std::vector<std::string> ids;
        for (TFSyncMain* w : m_Main->LiveTaskWindows()) ids.push_back(w->Task->SyncID);
        return ids;
    }
    // Only the shown tab is drawn selected.
    void CheckSelection(int Shown) {
        const auto& tabs = m_Main->Tabs();
        for (int i = 0; i < static_cast<int>(tabs.size()); ++i) {
            const bool on = i == Shown;
            QCOMPARE(tabs[i].Images[0], on ? 2 : 4);
            QCOMPARE(tabs[i].Images[1], on ? 1 : 5);
            QCOMPARE(tabs[i].Images[2], on ? 0 : 3);
        }
        QCOMPARE(m_Main->CurrentTab(), Shown);
        QCOMPARE(m_Main->Notebook1->currentWidget(), static_cast<QWidget*>(tabs[Shown].Window));
    }

  private slots:
    void init() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (m_Home.path() + "/data").toUtf8());
        fs::remove_all(m_Home.path().toStdString() + "/bramlow-file-sync");
        SysConfig().TemplateList.clear();
        m_Boxes.clear();
        m_Answer = IDYES;
        MessageBoxFunc = [this](const QString& Text, const QString&, int) {
            m_Boxes.push_back(Text);
            return m_Answer;
        };
    }
    void cleanup() {
        m_Main.reset();
        MessageBoxFunc = nullptr;
    }

    void loadGivesATabPerTaskAndSkipsAMalformedOne() {
        SaveTasks({{"A", "id-a"}, {"BB", "id-b"}, {"C", "id-c"}});
        std::string text = ReadText(TaskListPath());
        const size_t second = text.find("<Tast>", text.find("<Tast>") + 1);
        text.insert(second, "<Tast>garbage</Tast>\n");
        QCOMPARE(WriteFileAtomic(TaskListPath(), text), 0);

        TFMain& m = Open();
        QCOMPARE(WindowIds(), (std::vector<std::string>{"id-a", "id-b", "id-c"}));
        QCOMPARE(m.Notebook1->count(), 4);  // "Default" and one page per task
        QCOMPARE(m.Notebook1->widget(0)->objectName(), QStringLiteral("Default"));
        const QFontMetrics fm(m.Pl_jobs->font());
        int width = 0;
        for (const auto& tab : m.Tabs()) {
            QCOMPARE(tab.MiddleWidth, fm.horizontalAdvance(tab.Label->text()) + 20);
            width += tab.MiddleWidth + 12;
            QVERIFY(tab.Window->Task->LastPeriodRun != std::chrono::steady_clock::time_point{});
        }
        QCOMPARE(m.StripWidth(), width);
        QCOMPARE(m.Tabs()[1].Label->text(), QStringLiteral("BB"));
        CheckSelection(0);
        QVERIFY(ReadText(TMyException::LogFileName()).find("has no SyncID") != std::string::npos);
    }

    // Every task in the list's order, each tab captioned; shared identifiers are separated, in the
    // file too; an element without one is skipped and named by its place in the list.
    void loadKeepsTheListsOrderAndSeparatesSharedIdentifiers() {
        using V = std::vector<std::string>;
        const struct {
            std::vector<std::pair<std::string, std::string>> Tasks;
            V Windows, Captions, File;
            const char* Logged;
        } cases[] = {
            {{{"A", "a"}, {"B", "a"}, {"C", "b"}, {"D", "a"}},
             {"a", "a_2", "b", "a_3"},
             {"A", "B", "C", "D"},
             {"a", "a_2", "b", "a_3"},
             nullptr},
            {{{"A", "x"}, {"None", " "}, {"C", "x"}},
             {"x", "x_2"},
             {"A", "C"},
             {"x", " ", "x_2"},
             "task 2 (\"None\") has no SyncID"},
        };
        for (const auto& c : cases) {
            m_Main.reset();
            fs::remove(TaskListPath());
            fs::remove(TMyException::LogFileName());
            SaveTasks(c.Tasks);
            TFMain& m = Open();
            QCOMPARE(WindowIds(), c.Windows);
            V captions;
            for (const auto& tab : m.Tabs()) {
                captions.push_back(tab.Label->text().toStdString());
                QVERIFY(tab.MiddleWidth > 0);
            }
            QCOMPARE(captions, c.Captions);
            QCOMPARE(IdsInTaskList(), c.File);
            QCOMPARE(ReadText(TMyException::LogFileName()).find("has no SyncID") != std::string::npos,
                     c.Logged != nullptr);
            if (c.Logged) QVERIFY(ReadText(TMyException::LogFileName()).find(c.Logged) != std::string::npos);
        }
    }

    void sharedIdentifiersInTheTaskListAreSeparated() {
        SaveTasks({{"A", "same"}, {"B", "same"}});
        Open();
        QCOMPARE(WindowIds(), (std::vector<std::string>{"same", "same_2"}));
        QCOMPARE(IdsInTaskList(), (std::vector<std::string>{"same", "same_2"}));
    }

    void tabsShowTheirPageAndActivateIt() {
        SaveTasks({{"A", "a"}, {"B", "b"}, {"C", "c"}});
        TFMain& m = Open();
        QVERIFY(m.Tabs()[0].Window->TipTimer->isActive());  // the load's activation: tips after a moment
        TMessageLog log;
        for (const auto& tab : m.Tabs()) tab.Window->installEventFilter(&log);
        m.SelectTab(2);
        QTest::mouseClick(m.Tabs()[1].MiddlePiece, Qt::LeftButton);
        CheckSelection(1);
        QCOMPARE(log.Seen.size(), size_t(2));
        QVERIFY(log.Seen[0].Window == m.Tabs()[2].Window);
        QCOMPARE(log.Seen[0].Msg, WM_SHOWTIP);
        QCOMPARE(log.Seen[0].LParam, intptr_t(10));
        QVERIFY(log.Seen[1].Window == m.Tabs()[1].Window);
    }

    void addedTaskIsShownAtOnce() {
        TFMain& m = Open();
        bool gotTemplate = true;
        std::string name;
        m.NewTaskDialog = [&](std::unique_ptr<TSyncTask> Template) -> std::unique_ptr<TSyncTask> {
            gotTemplate = Template != nullptr;
            if (name.empty()) return nullptr;  // cancelled
            auto t = std::make_unique<TSyncTask>();
            t->SyncName = name;
            t->SyncID = "id-" + name;
            return t;
        };
        m.Action_addTask->trigger();
        QVERIFY(!gotTemplate);
        QVERIFY(m.Tabs().empty());
        QVERIFY(!m.CurrentTaskWindow());
        for (const char* n : {"First", "Second"}) {
            name = n;
            m.bt_addtask->Click();
            CheckSelection(static_cast<int>(m.Tabs().size()) - 1);
            QCOMPARE(m.CurrentTaskWindow()->Task->SyncName, name);
        }
    }

    void deleteAsksThenRemovesTheTaskForGood() {
        SaveTasks({{"A", "a"}, {"BB", "b"}, {"C", "c"}});
        TFMain& m = Open();
        m.SelectTab(1);
        const int thirdLeft = m.Tabs()[2].LeftPiece->x();
        m_Answer = IDNO;
        m.Action_DeleteTask->trigger();
        QCOMPARE(m_Boxes.size(), size_t(1));
        QVERIFY(m_Boxes[0].endsWith(QStringLiteral(" \" BB \" ?")));
        QCOMPARE(IdsInTaskList().size(), size_t(3));
        QCOMPARE(m.CurrentTab(), 1);

        m_Answer = IDYES;
        m.Action_DeleteTask->trigger();
        QCOMPARE(IdsInTaskList(), (std::vector<std::string>{"a", "c"}));
        QCOMPARE(WindowIds(), (std::vector<std::string>{"a", "c"}));
        QVERIFY(m.Tabs()[1].Deleted && m.Tabs()[1].MiddlePiece->isHidden());
        QCOMPARE(m.Tabs()[2].LeftPiece->x(), thirdLeft - (m.Tabs()[1].MiddleWidth + 12));
        CheckSelection(0);
        // Neither the commands on all tasks nor a selection reach the deleted task any more.
        QSignalSpy deletedRuns(m.Tabs()[1].Window, &TFSyncMain::RunEnded);
        QSignalSpy liveRuns(m.Tabs()[2].Window, &TFSyncMain::RunEnded);
        m.Action_analyzeAll->trigger();
        QCOMPARE(deletedRuns.size(), 0);
        QCOMPARE(liveRuns.size(), 1);  // refused at once: the task has no folders
        m.SelectTab(1);
        QCOMPARE(m.CurrentTab(), 0);

        m.Action_DeleteTask->trigger();
        m.Action_DeleteTask->trigger();
        QVERIFY(!m.CurrentTaskWindow());
        QCOMPARE(m.Notebook1->currentIndex(), 0);
        m.UpdateJobMenu();
        for (QAction* a : {m.Action_DeleteTask, m.Action_clone, m.Action_saveasT, m.Action_analyze,
                           m.Action_analyzeAll, m.Action_SyncAll, m.Action_AS, m.Action_ASAll})
            QVERIFY2(!a->isEnabled(), qPrintable(a->text()));
        QVERIFY(IdsInTaskList().empty());
    }

    void failedDeletionKeepsTheTab() {
        SaveTasks({{"A", "a"}});
        TFMain& m = Open();
        QCOMPARE(WriteFileAtomic(TaskListPath(), "<not a task list"), 0);
        m.Action_DeleteTask->trigger();
        QCOMPARE(m_Boxes.size(), size_t(2));  // the question, then the failure
        QCOMPARE(m.CurrentTab(), 0);
        QVERIFY(!m.Tabs()[0].Deleted);
    }

    void cloneAndImportNeverShareAnIdentifier() {
        SaveTasks({{"A", "id-a"}});
        const std::string importFile = m_Home.path().toStdString() + "/import.fs";
        fs::copy_file(TaskListPath(), importFile);
        TFMain& m = Open();
        m.Action_clone->trigger();
        m.SelectTab(0);
        m.Action_clone->trigger();
        QCOMPARE(m.CurrentTab(), 2);
        QCOMPARE(m.CurrentTaskWindow()->Task->SyncName, std::string("New_A"));

        m.ImportTaskList(importFile);
        m.ImportTaskList(importFile);
        const std::vector<std::string> expected{"id-a", "New_id-a", "New_id-a_2", "id-a_", "id-a__2"};
        QCOMPARE(WindowIds(), expected);
        QCOMPARE(IdsInTaskList(), expected);
        QCOMPARE(m.CurrentTab(), 0);  // the first page is shown again
        // A file that is no task list changes nothing.
        QCOMPARE(WriteFileAtomic(importFile, "<TaskList><Tast>"), 0);
        m.ImportTaskList(importFile);
        QCOMPARE(WindowIds(), expected);
    }

    void exportWritesAPrivateWholeCopy() {
        SaveTasks({{"A", "a"}});
        TFMain& m = Open();
        const std::string dir = m_Home.path().toStdString() + "/out/";
        fs::create_directories(dir);
        QCOMPARE(WriteFileAtomic(dir + "old.FS", "old"), 0);
        QCOMPARE(::chmod((dir + "old.FS").c_str(), 0644), 0);
        const struct {
            const char* Chosen;
            const char* Written;
        } cases[] = {{"list", "list.fs"}, {"old.FS", "old.FS"}, {"x.fs.bak", "x.fs.bak.fs"}};
        for (const auto& c : cases) {
            m.ChooseTaskListFile = [&](bool Save) {
                return Save ? QString::fromStdString(dir + c.Chosen) : QString();
            };
            m.Action_exportTL->trigger();
            QCOMPARE(ReadText(dir + c.Written), ReadText(TaskListPath()));
            struct stat st {};
            QCOMPARE(::stat((dir + c.Written).c_str(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
        QVERIFY(m_Boxes.empty());
        QVERIFY(!m.ExportTaskList(dir + "missing/list"));
        QCOMPARE(m_Boxes.size(), size_t(1));
        QVERIFY(!fs::exists(dir + "missing"));
    }

    void templatesMakeTasksOfTheirOwn() {
        SaveTasks({{"A", "a"}});
        TFMain& m = Open();
        int chooserCalls = 0;
        m.ChooseTemplate = [&](const QStringList& Names) {
            ++chooserCalls;
            return Names.value(0);
        };
        m.act_newFromTemplate->trigger();  // no template yet: nothing asks
        QCOMPARE(chooserCalls, 0);

        QString answer = QStringLiteral("a,b");
        m.AskTemplateName = [&] { return answer; };
        m.Action_saveasT->trigger();
        QCOMPARE(m_Boxes.size(), size_t(1));
        QVERIFY(SysConfig().TemplateList.empty());
        answer = QStringLiteral(" Weekly ");
        m.Action_saveasT->trigger();
        m.Action_saveasT->trigger();  // saved again: listed once
        QCOMPARE(SysConfig().TemplateList, std::string("Weekly"));
        QVERIFY(fs::exists(GetProgramFolder() + "Weekly.fs"));

        std::vector<std::string> offered;
        m.NewTaskDialog = [&](std::unique_ptr<TSyncTask> Template) -> std::unique_ptr<TSyncTask> {
            offered.push_back(Template->SyncID);
            if (Template->SaveToTaskList(1) != 0) return nullptr;  // saved as the configuration window does
            return Template;
        };
        m.act_newFromTemplate->trigger();
        m.act_newFromTemplate->trigger();
        QCOMPARE(offered.size(), size_t(2));
        QVERIFY(offered[0] != offered[1]);
        QCOMPARE(m.CurrentTab(), 2);
        QCOMPARE(m.CurrentTaskWindow()->Task->SyncName, std::string("A"));
    }

    void messagesBetweenWindows() {
        SaveTasks({{"A", "a"}, {"B", "b"}});
        TFMain& m = Open();
        m.SelectTab(1);
        TMessageLog log;
        m.Tabs()[0].Window->installEventFilter(&log);
        m.Tabs()[1].Window->installEventFilter(&log);
        const std::pair<QAction*, uint32_t> sent[] = {
            {m.Action_analyze, WM_ANAL_JOB}, {m.Action_sync, WM_ANAL_SYNC},   {m.Action_AS, WM_ANAL_SYNC},
            {m.Action_Log, WM_SHOWLOG},      {m.Action_Notcopy, WM_NOT_COPY}, {m.Action_CTRtoL, WM_MOVE_RTOL},
            {m.ViewActions[0], WM_ALL},      {m.ViewActions[10], WM_RTOL},
        };
        for (const auto& [action, msg] : sent) {
            log.Seen.clear();
            action->trigger();
            QCOMPARE(log.Seen.size(), size_t(1));
            QVERIFY(log.Seen[0].Window == m.Tabs()[1].Window);
            QCOMPARE(log.Seen[0].Msg, msg);
        }

        // The task window's options, through the main window's configuration window: only the tab
        // follows the new name; the folders stay the task's.
        TFSyncMain* w = m.Tabs()[1].Window;
        w->Task->LFolder->FolerAllName = "/data/left";
        m.TaskOptionsDialog = [](TSyncTask& Copy) {
            Copy.SyncName = "A much longer name";
            return 1;
        };
        const int oldWidth = m.Tabs()[1].MiddleWidth;
        w->Action_optionsExecute();
        QTRY_COMPARE(m.Tabs()[1].Label->text(), QStringLiteral("A much longer name"));
        QVERIFY(m.Tabs()[1].MiddleWidth > oldWidth);
        QCOMPARE(m.Tabs()[0].Label->text(), QStringLiteral("A"));
        QCOMPARE(w->Task->LFolder->FolerAllName, std::string("/data/left"));
        QCOMPARE(w->Task->SyncID, std::string("b"));
        QCOMPARE(m.Notebook1->currentWidget(), static_cast<QWidget*>(w));

        int finished = 0;
        m.TaskFinished = [&] { ++finished; };
        TMessageEvent done(WM_TASKFINISHED, 0, 10);
        QCoreApplication::sendEvent(&m, &done);
        QCOMPARE(finished, 1);
    }

    // A close while a sync runs asks first. No lets the run go on to its end; Yes, or a close no one
    // is asked about (the session is ending), cancels it as Cancel does, and the window closes once
    // the rows in flight have finished and the run's record is written. Nothing running: no question.
    // (The record in the task log: TaskWindowTest.)
    void closingDuringASyncAsksThenCancelsAndRecordsTheRun() {
        const struct {
            bool Running, SessionEnds;
            int Answer, Boxes;
            bool Closes;
        } cases[] = {{false, false, IDNO, 0, true},
                     {true, false, IDNO, 1, false},
                     {true, false, IDYES, 1, true},
                     {true, true, IDNO, 0, true}};
        bfs::test::TGate gate;
        bfs::test::TMemStoreRef left, right;
        TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
            return std::make_unique<bfs::test::TGatedFileOper>(f.FolerAllName == "mem:left" ? left : right,
                                                               nullptr, &gate);
        });
        const auto restore = qScopeGuard([&] {
            gate.Open();
            m_Main.reset();
            TSyncTask::SetFileOperFactory({});
        });
        for (const auto& c : cases) {
            left = std::make_shared<bfs::test::TMemStore>();
            right = std::make_shared<bfs::test::TMemStore>();
            for (int i = 0; i < 12; ++i) left->AddFile("/f" + std::to_string(i) + ".txt", "data", 1000);
            fs::remove(TaskListPath());
            TSyncTask t;
            t.SyncName = "Big";
            t.SyncID = "close-" + std::to_string(&c - cases);
            for (auto [folder, address] :
                 {std::pair{t.LFolder.get(), "mem:left"}, std::pair{t.RFolder.get(), "mem:right"}}) {
                folder->DeviceType = DEVICE_WEBDAV;
                folder->FolerAllName = address;
            }
            QCOMPARE(t.SaveToTaskList(1), 0);
            TFMain& main = Open();
            main.show();
            TFSyncMain& w = *main.LiveTaskWindows().at(0);
            w.StartAnalyze();
            QVERIFY(QTest::qWaitFor([&] { return !w.Running(); }, 10000));
            if (c.Running) {
                gate.Close();
                w.BitBtn_SyncClick();
                QVERIFY(QTest::qWaitFor([&] { return gate.Waiting.load() >= 1; }, 10000));
            }
            if (c.SessionEnds) main.Automation->SessionEnding();
            m_Boxes.clear();
            m_Answer = c.Answer;
            QCOMPARE(main.close(), !c.Running);
            QCOMPARE(static_cast<int>(m_Boxes.size()), c.Boxes);
            gate.Open();
            QVERIFY(QTest::qWaitFor([&] { return !w.Running() && main.isVisible() != c.Closes; }, 10000));
            if (!c.Running) continue;
            QCOMPARE(right->Snapshot().size() < 12, c.Closes);
            QCOMPARE(w.LogLines().contains("Sync cancelled."), c.Closes);
            QVERIFY(w.LogLines().last().startsWith("----- Sync End. Time:"));
        }
    }

    void scrollButtonsKeepTheStripInReach() {
        for (int i = 0; i < 20; ++i)
            SaveTasks({{"Task number " + std::to_string(i), "t" + std::to_string(i)}});
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        QVERIFY(m.StripWidth() > m.panel_tab->width() + 200);
        QVERIFY(m.MoveRightButton->isVisible() && m.moveLeftButton->isVisible());
        m.MoveRightButtonClick();
        m.MoveRightButtonClick();
        m.moveLeftButtonClick();
        QCOMPARE(m.Pl_jobs->x(), -50);
        m.moveLeftButtonClick();
        m.moveLeftButtonClick();
        QCOMPARE(m.Pl_jobs->x(), 0);
        for (int i = 0; i < 100; ++i) m.MoveRightButtonClick();
        QCOMPARE(m.Pl_jobs->x(), m.panel_tab->width() - m.StripWidth());
        m.SelectTab(1);  // a chosen tab is scrolled into view
        QCOMPARE(m.Pl_jobs->x(), -m.Tabs()[1].LeftPiece->x());
    }

    void resizeEdgesFollowThePoint() {
        const Qt::Edges none, l = Qt::LeftEdge, r = Qt::RightEdge, t = Qt::TopEdge, b = Qt::BottomEdge;
        const std::pair<QPoint, Qt::Edges> cases[] = {
            {{200, 150}, none}, {{0, 150}, l},       {{4, 150}, l},       {{5, 150}, none},
            {{399, 150}, r},    {{394, 150}, none},  {{200, 0}, t},       {{200, 299}, b},
            {{0, 0}, l | t},    {{2, 15}, l | t},    {{2, 16}, l},        {{15, 2}, t | l},
            {{16, 2}, t},       {{397, 285}, r | b}, {{384, 298}, b | r}, {{383, 298}, b},
            {{-1, 150}, none},  {{400, 150}, none},
        };
        for (const auto& [pos, edges] : cases)
            QVERIFY2(ResizeEdges(pos, {400, 300}, RESIZE_BORDER, RESIZE_CORNER) == edges,
                     qPrintable(QStringLiteral("at %1,%2").arg(pos.x()).arg(pos.y())));
        // A window narrower than two borders: the nearer edges.
        QVERIFY(ResizeEdges({2, 3}, {6, 6}, RESIZE_BORDER, RESIZE_CORNER) == (l | b));

        const QRect start(100, 100, 400, 300);
        const std::tuple<Qt::Edges, QPoint, QRect> moves[] = {
            {r, {50, 999}, {100, 100, 450, 300}},    {l, {-30, 0}, {70, 100, 430, 300}},
            {l, {500, 0}, {300, 100, 200, 300}},  // stops at the minimum, the right edge stays
            {t | l, {10, 10}, {110, 110, 390, 290}}, {b, {0, -400}, {100, 100, 400, 150}},
            {b | r, {20, 30}, {100, 100, 420, 330}}, {none, {20, 30}, start},
        };
        for (const auto& [edges, delta, expected] : moves)
            QCOMPARE(ResizedGeometry(start, edges, delta, {200, 150}), expected);
    }

    void edgesResizeTheMainWindowWithTheirCursors() {
        SaveTasks({{"A", "a"}});
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        // At its default size (on a screen with room for it) a task's plan shows its last column,
        // with room for a scroll bar.
        m.resize(1040, 660);
        QTRY_COMPARE(m.CurrentTaskWindow()->width(), m.Notebook1->contentsRect().width());
        QTreeView& plan = *m.CurrentTaskWindow()->VST1;
        QVERIFY(plan.header()->length() + plan.verticalScrollBar()->sizeHint().width() <=
                plan.width() - 2 * plan.frameWidth());

        auto* frame = m.findChild<TResizeFrame*>();
        QVERIFY(frame && frame->isVisible());
        const int w = m.width(), h = m.height();
        QCOMPARE(m.childAt(2, h / 2), static_cast<QWidget*>(frame));
        QVERIFY(m.childAt(w / 2, h / 2) != frame);
        const std::pair<QPoint, Qt::CursorShape> cursors[] = {{{w - 2, h / 2}, Qt::SizeHorCursor},
                                                              {{w / 2, h - 2}, Qt::SizeVerCursor},
                                                              {{2, 2}, Qt::SizeFDiagCursor},
                                                              {{w - 2, 2}, Qt::SizeBDiagCursor}};
        for (const auto& [pos, shape] : cursors) {
            QTest::mouseMove(frame, pos);
            QCOMPARE(frame->cursor().shape(), shape);
        }

        // Without the window system's resizing (offscreen) the window follows the mouse itself.
        const QRect before = m.geometry();
        QTest::mousePress(frame, Qt::LeftButton, {}, {w - 2, h - 2});
        QTest::mouseMove(frame, {w + 48, h + 38});
        QTest::mouseRelease(frame, Qt::LeftButton, {}, {w + 48, h + 38});
        QCOMPARE(m.geometry(), before.adjusted(0, 0, 50, 40));
        QTest::mousePress(frame, Qt::LeftButton, {}, {2, 2});
        QTest::mouseMove(frame, {-28, -18});
        QTest::mouseRelease(frame, Qt::LeftButton, {}, {-28, -18});
        QCOMPARE(m.geometry(), before.adjusted(-30, -20, 50, 40));
        QCOMPARE(m.minimumSize(), QSize(832, 618).boundedTo(m.screen()->availableGeometry().size()));
    }

    void maximiseByPictureAndTitleAndBack() {
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        TTitleBar& bar = *m.TitleBar;
        auto* frame = m.findChild<TResizeFrame*>();
        auto face = [&](const char* Name) {
            return bar.MaxBtn->pixmap().toImage() == LoadPicture(QString::fromLatin1(Name)).toImage();
        };
        QVERIFY(face("MaxBtn1"));
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QCoreApplication::sendEvent(bar.MaxBtn, &enter);
        QVERIFY(face("MaxBtn2"));
        // Twice by the picture (the mouse stays over it), then twice by a double click on the title.
        for (int i = 0; i < 4; ++i) {
            if (i < 2)
                bar.MaxBtn->Click();
            else
                QTest::mouseDClick(bar.TitleLabel, Qt::LeftButton);
            const bool maximised = i % 2 == 0;
            QCOMPARE(m.isMaximized(), maximised);
            QVERIFY(face(maximised ? "RestoreBtn2" : "MaxBtn2"));
            QCOMPARE(frame->isVisible(), !maximised);  // a maximised window has no edges to take
        }

        // Minimised while maximised, the window comes back maximised when called for.
        m.showMaximized();
        m.showMinimized();
        TMessageEvent restore(WM_RESTORE_WIN, 0, 0);
        QCoreApplication::sendEvent(&m, &restore);
        QVERIFY(m.isMaximized() && !m.isMinimized());

        // A dialog's title bar neither maximises nor takes a double click for it.
        QWidget dialog;
        TTitleBar* small = MakeBorderless(dialog, QStringLiteral("Dialog"), false, true);
        dialog.show();
        QVERIFY(!small->MaxBtn);
        QTest::mouseDClick(small->TitleLabel, Qt::LeftButton);
        QVERIFY(!dialog.isMaximized());
    }

    // The first size fits the screen's free area and is centred in it, at any scale.
    void firstSizeFitsTheScreen() {
        const struct {
            QSize Wanted;
            QRect Free, Expected;
        } cases[] = {
            {{1040, 660}, {0, 0, 1920, 1040}, {440, 190, 1040, 660}},   // room enough: its own size
            {{1040, 660}, {0, 0, 800, 476}, {0, 0, 800, 476}},          // 1,600 x 1,000 at 2x, less a panel
            {{1040, 660}, {0, 32, 1000, 968}, {0, 186, 1000, 660}},     // too narrow only, panel on top
            {{1040, 660}, {1920, 0, 1280, 600}, {2040, 0, 1040, 600}},  // a second screen
        };
        for (const auto& c : cases) QCOMPARE(FirstGeometry(c.Wanted, c.Free), c.Expected);
        // The offscreen screen is smaller than the window would like to be.
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        const QRect free = m.screen()->availableGeometry();
        QVERIFY2(free.contains(m.frameGeometry()), qPrintable(QString("%1x%2 on %3x%4")
                                                                  .arg(m.width())
                                                                  .arg(m.height())
                                                                  .arg(free.width())
                                                                  .arg(free.height())));
    }

    // Alt and a menu's underlined letter opens the menu; the commands' own Alt keys stay theirs.
    void menuLettersOpenTheirMenus() {
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowActive(&m));
        const struct {
            Qt::Key Key;
            QMenu* Menu;
            TImageExButton* Button;
            QString Text;
        } cases[] = {
            {Qt::Key_J, m.pop_job, m.jobbutton, "Job"},
            {Qt::Key_C, m.pop_action, m.actionbutton, "Actions"},
            {Qt::Key_V, m.pop_view, m.viewbutton, "View"},
            {Qt::Key_T, m.pop_tools, m.toolsbutton, "Tools"},
            {Qt::Key_H, m.pop_help, m.HelpButton, "Help"},
        };
        for (const auto& c : cases) {
            // The caption reads as before; the "&" only underlines.
            QCOMPARE(c.Button->accessibleName(), c.Text);
            QCOMPARE(c.Button->findChild<QLabel*>()->text().remove('&'), c.Text);
            QSignalSpy shown(c.Menu, &QMenu::aboutToShow);
            QTimer::singleShot(50, c.Menu, [menu = c.Menu] { menu->close(); });
            QTest::keyClick(&m, c.Key, Qt::AltModifier);
            QTRY_COMPARE(shown.size(), 1);
            QVERIFY(c.Button->hasFocus());
        }
        // No menu letter is one of the commands' keys.
        for (QAction* a :
             {m.Action_addTask, m.Action_DeleteTask, m.Action_analyze, m.Action_sync, m.Action_exit})
            for (const auto& c : cases) QVERIFY(!a->shortcuts().contains(QKeySequence(Qt::ALT | c.Key)));
    }

    // Tab reaches the window's picture buttons, and the one that has the focus shows it.
    void tabShowsWhereTheFocusIs() {
        SaveTasks({{"A", "{a}"}, {"B", "{b}"}});
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowActive(&m));
        m.HelpButton->setFocus(Qt::TabFocusReason);  // the Job button comes to the focus, whatever had it
        m.jobbutton->setFocus(Qt::TabFocusReason);
        auto* ring = m.findChild<QWidget*>(QStringLiteral("FocusRing"));
        QVERIFY(ring);
        QStringList order;
        for (int i = 0; i < 9; ++i) {
            QWidget* f = QApplication::focusWidget();
            QVERIFY(f);
            const auto& tabs = m.Tabs();
            order << (f == m.bt_addtask          ? QString("+")
                      : f == tabs[0].MiddlePiece ? QString("tab A")
                      : f == tabs[1].MiddlePiece ? QString("tab B")
                      : f == static_cast<QWidget*>(m.CurrentTaskWindow()->edit_LFolder)
                          ? QString("left folder")
                          : f->accessibleName());
            // An edit shows its focus itself.
            const bool edit = qobject_cast<QLineEdit*>(f) != nullptr;
            QTRY_COMPARE(ring->isVisible(), !edit);
            if (!edit) QVERIFY(ring->geometry().contains(QRect(f->mapTo(&m, QPoint(0, 0)), f->size())));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        // Left to right along the menu bar and the tab row, then into the page shown.
        QCOMPARE(order, QStringList({"Job", "Actions", "View", "Tools", "Help", "+", "tab A", "tab B",
                                     "left folder"}));
    }

    // Each page marks the focus in it, a page made after the load too, and only the ring of the
    // window the focus is in shows; pages and rings that go leave the others marking it.
    void everyPageMarksItsFocusAndOutlivesOthersGoing() {
        SaveTasks({{"A", "{a}"}, {"B", "{b}"}, {"C", "{c}"}});
        TFMain& m = Open();
        m.show();
        QVERIFY(QTest::qWaitForWindowActive(&m));
        m.Action_clone->trigger();  // a fourth page, shown at once
        const auto ringOf = [](QWidget* W) {
            return W->findChild<QWidget*>(QStringLiteral("FocusRing"), Qt::FindDirectChildrenOnly);
        };
        const auto marks = [](QWidget* Ring, QWidget* Control) {
            return Ring->isVisible() && Ring->geometry().contains(QRect(
                                            Control->mapTo(Ring->parentWidget(), QPoint()), Control->size()));
        };
        const auto& tabs = m.Tabs();
        QCOMPARE(tabs.size(), size_t(4));
        for (int shown : {3, 2, 0}) {
            m.SelectTab(shown);
            TFSyncMain* page = tabs[shown].Window;
            page->bt_taskconfig->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(marks(ringOf(page), page->bt_taskconfig));
            QVERIFY(!ringOf(&m)->isVisible());
            for (const TTaskTab& t : tabs) QVERIFY(t.Window == page || !ringOf(t.Window)->isVisible());
        }
        m.jobbutton->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(marks(ringOf(&m), m.jobbutton));
        QVERIFY(!ringOf(tabs[0].Window)->isVisible());

        // The main window goes, its pages one by one, while one of them marks the focus; and a ring
        // taken away while it marks the focus.
        TFSyncMain other;
        m.SelectTab(3);
        tabs[3].Window->bt_taskconfig->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(ringOf(tabs[3].Window)->isVisible());
        m_Main.reset();
        other.show();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        other.bt_taskconfig->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(marks(ringOf(&other), other.bt_taskconfig));
        delete ringOf(&other);
        other.bt_LBrowse->setFocus(Qt::TabFocusReason);
        QVERIFY(!ringOf(&other));
    }

    void messageBoxesGrowWithTheirText() {
        const struct {
            int Longest, Measure, Screen, Extra, Expected;
        } widths[] = {
            {300, 700, 1920, 90, 300},    // fits: the text's own width
            {1500, 700, 1920, 90, 700},   // a wide screen: no longer than a line easy to follow
            {600, 700, 400, 70, 290},     // an 800-pixel screen at scale 2: nine tenths of it
            {900, 700, 800, 70, 650},     // the same screen at scale 1
            {900, 700, 1100, 80, 540},    // no wider than the toolkit lets a box grow
            {2000, 1200, 3840, 80, 920},  // nor wider than 1000 pixels
        };
        for (const auto& c : widths)
            QCOMPARE(MessageTextWidth(c.Longest, c.Measure, c.Screen, c.Extra), c.Expected);

        const QString longText = QStringLiteral(
            "Can not download the new version.\rBecause Can not connect "
            "http://update.bramlow-file-sync.example/,Please check the network. The task list could not "
            "be exported to /home/anna/Documents/Backups/exported task lists/tasklist.fs");
        const struct {
            QString Text;
            int MaxLines;
        } boxes[] = {{QStringLiteral("Right Folder disk space is not enough."), 1}, {longText, 4}};
        for (const auto& c : boxes) {
            std::unique_ptr<QMessageBox> box = BuildMessageBox(c.Text, QStringLiteral("Caption"), MB_OK);
            box->show();
            QVERIFY(box->width() <= box->screen()->availableGeometry().width() * 9 / 10);
            auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY2(label->height() < (c.MaxLines + 1) * label->fontMetrics().lineSpacing(),
                     qPrintable(c.Text));
        }
    }
};

BFS_UI_TEST(MainWindowTest);

#include "MainWindowTest.moc"
