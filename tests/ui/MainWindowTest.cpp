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

#include <QAction>
#include <QLabel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
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
};

BFS_UI_TEST(MainWindowTest);

#include "MainWindowTest.moc"
