#include "UiTestMain.h"
#include "model/TaskList.h"
#include "model/UTIniFile.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/ScheduleManagerUnit.h"
#include "ui/UFTaskConfig.h"
#include "ui/UTDialogParts.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

using namespace bfs;
namespace fs = std::filesystem;

namespace {

int32_t Dos(int Year, int Month, int Day, int Hour, int Minute) {
    return static_cast<int32_t>((uint32_t(Year - 1980) << 25) | (uint32_t(Month) << 21) |
                                (uint32_t(Day) << 16) | (uint32_t(Hour) << 11) | (uint32_t(Minute) << 5));
}

// Every stored field of a task, one "name=value" line each, so a difference names its field.
QStringList Fields(const TSyncTask& T) {
    QStringList f;
    auto add = [&](const char* Name, const auto& Value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(Value)>, std::string>)
            f << QString("%1=%2").arg(Name, QString::fromStdString(Value));
        else
            f << QString("%1=%2").arg(Name).arg(Value);
    };
    add("SyncName", T.SyncName);
    add("L", T.LFolder->FolerAllName), add("LType", T.LFolder->DeviceType), add("LUser", T.LFolder->UserName);
    add("LPWD", T.LFolder->PWD), add("R", T.RFolder->FolerAllName), add("RType", T.RFolder->DeviceType);
    add("SyncDirection", T.SyncDirection), add("ForcedOrVerified", T.ForcedOrVerified);
    add("IsDeleteFile", T.IsDeleteFile), add("SaveOldFile", T.SaveOldFile), add("UseTempFile", T.UseTempFile);
    add("EstimateDiskSpace", T.EstimateDiskSpace), add("CheckNoChange", T.CheckNoChange);
    for (const auto& m : T.ExcludeFilter) add("Exclude", m);
    for (const auto& m : T.IncludeFilter) add("Include", m);
    add("ExcludeEmtpyFolder", T.ExcludeEmtpyFolder), add("ExcludeHiddenFile", T.ExcludeHiddenFile);
    add("ExcludeSystemFile", T.ExcludeSystemFile);
    add("ExTimeMin", T.ExcludeFileTimeMin), add("ExTimeMax", T.ExcludeFileTimeMax);
    add("InTimeMin", T.IncludeFileTimeMin), add("InTimeMax", T.IncludeFileTimeMax);
    add("ExSizeMin", T.ExcludeFileSizeMin), add("ExSizeMax", T.ExcludeFileSizeMax);
    add("InSizeMin", T.IncludeFileSizeMin), add("InSizeMax", T.IncludeFileSizeMax);
    add("StartSync", T.StartSync), add("StartAnalyze", T.StartAnalyze), add("ConnectSync", T.ConnectSync);
    add("ConnectAnalyze", T.ConnectAnalyze), add("LogoffSync", T.LogoffSync);
    add("LogoffAnalyze", T.LogoffAnalyze), add("PeriodSync", T.PeriodSync);
    add("PeriodAnalyze", T.PeriodAnalyze), add("Hours", T.Hours), add("minutes", T.minutes);
    add("TSsync", T.TSsync), add("TSanalyze", T.TSanalyze), add("TaskScheduler", T.TaskScheduler);
    add("Conflicts", T.Conflicts), add("EnsureFolderTags", T.EnsureFolderTags);
    return f;
}

std::string TaskListPath() {
    return GetProgramFolder() + "tasklist.fs";
}

// The identifiers in the task list, in file order.
QStringList StoredIDs() {
    TTaskListDocument doc;
    doc.LoadFile(TaskListPath());
    QStringList ids;
    const TXMLTaskListType list = doc.GetTaskList();
    for (int i = 0; i < list.Count(); ++i) ids << QString::fromStdString(list.Get_Tast(i).Get_SyncID());
    return ids;
}

std::unique_ptr<TSyncTask> Stored(const std::string& ID) {
    TTaskListDocument doc;
    doc.LoadFile(TaskListPath());
    const TXMLTaskListType list = doc.GetTaskList();
    const int index = list.FindTast(ID);
    if (index < 0) return nullptr;
    auto task = std::make_unique<TSyncTask>();
    task->LoadFromXML(list.Get_Tast(index));
    return task;
}

}  // namespace

class TaskConfigTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TIniFile> m_OldLanguage;
    std::unique_ptr<TFTaskConfig> m_Window;
    struct TBox {
        QString Text, Caption;
        int Flags;
    };
    QList<TBox> m_Boxes;
    // Runs on the window before it shows, when set.
    std::function<void(TFTaskConfig&)> m_BeforeShow;

    // The window on a task as the task window opens it; Setup fills the task first.
    TFTaskConfig& Open(const std::function<void(TSyncTask&)>& Setup, bool IsNew = false) {
        m_Window = std::make_unique<TFTaskConfig>();
        TSyncTask& t = *m_Window->Task;
        t.SyncName = "Photos";
        t.SyncID = "{photos}";
        t.LFolder->DeviceType = DEVICE_FTP;
        t.LFolder->FolerAllName = "ftp://example.org/photos";
        t.LFolder->UserName = "anna";
        t.LFolder->PWD = "secret";
        t.RFolder->DeviceType = DEVICE_LOCAL;
        t.RFolder->FolerAllName = "/srv/photos";
        if (Setup) Setup(t);
        // A task loaded with a schedule has its job; the user's own scheduler is never reached.
        const bool scheduled = t.TSanalyze != 0;
        m_Window->Scheduler = {
            .EnsureTaskScheduler = [] { return 0; },
            .ScheduledJobExists = [scheduled](std::string_view) { return scheduled; },
            .DeleteScheduledJob = [](std::string_view) { return 0; },
            .CreateScheduledJob = [](std::string_view, std::string_view, const TScheduleSpec&) { return 0; },
            .RenameScheduledJob = [](std::string_view, std::string_view) { return 0; },
            .SchedulerError = [] { return std::string(); }};
        m_Window->IsNew = IsNew;
        if (m_BeforeShow) m_BeforeShow(*m_Window);
        m_Window->show();
        return *m_Window;
    }

  private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        std::ofstream(GetProgramFolder() + "taskconfig.lng")
            << "[title]\nnewtaskname=New task\nOptions=Options\nfilesizeerror=Check the sizes\n"
               "filetimeerror=Check the dates\ntasknameerror=Bad name\ntasknameexists=Name taken\n"
               "error_free_tasklist_xml=No list\nschedulenotset=Choose a schedule\n"
               "ltor=Left to right\nrtol=Right to left\ndonotcopy=Do not copy\nnewerfilewins=Newer wins\n";
        m_OldLanguage = std::move(SysConfig().LangFile);
        QCOMPARE(SysConfig().OpenLanguage("taskconfig.lng"), 0);
        MessageBoxFunc = [this](const QString& Text, const QString& Caption, int Flags) {
            m_Boxes.push_back({Text, Caption, Flags});
            return IDOK;
        };
    }
    void cleanupTestCase() {
        SysConfig().LangFile = std::move(m_OldLanguage);
        MessageBoxFunc = nullptr;
    }
    void init() {
        fs::remove(TaskListPath());
        m_Boxes.clear();
        m_BeforeShow = nullptr;
    }
    void cleanup() { m_Window.reset(); }

    void everyFieldRoundTripsThroughTheWindow() {
        const std::function<void(TSyncTask&)> rows[] = {
            [](TSyncTask& t) {
                t.ForcedOrVerified = -1;
                t.SaveOldFile = t.UseTempFile = t.IsDeleteFile = 1;
                t.ExcludeFilter = {"*.tmp", " cache\\* "};
                t.IncludeFilter = {"*.doc"};
                t.ExcludeEmtpyFolder = t.ExcludeHiddenFile = 1;
                t.StartSync = t.StartAnalyze = t.ConnectAnalyze = t.LogoffAnalyze = 1;
                t.PeriodAnalyze = 1, t.Hours = 3, t.minutes = 15;
                t.TSsync = t.TSanalyze = 1, t.TaskScheduler = "Daily at 10:00", t.Conflicts = 1;
            },
            [](TSyncTask& t) {
                t.SyncDirection = 2, t.ForcedOrVerified = 1, t.EnsureFolderTags = 1, t.EstimateDiskSpace = 1;
                t.ExcludeSystemFile = 1, t.Hours = 4;
                t.ExcludeFilter = {"*.bak"};
                t.ExcludeFileSizeMin = 10240, t.ExcludeFileSizeMax = 3145728000;
                t.IncludeFileSizeMin = 0, t.IncludeFileSizeMax = 1536;
                // 2050 is a negative int32 and still later than 2001.
                t.ExcludeFileTimeMin = Dos(2001, 2, 3, 4, 5),
                t.ExcludeFileTimeMax = Dos(2050, 12, 31, 23, 59);
                t.IncludeFileTimeMin = Dos(1980, 1, 1, 0, 0),
                t.IncludeFileTimeMax = Dos(2107, 12, 31, 23, 58);
                t.IncludeFilter = {"*"};
            },
            [](TSyncTask& t) {
                t.SyncDirection = 1, t.ForcedOrVerified = 0;
                t.ConnectSync = t.ConnectAnalyze = t.LogoffSync = t.LogoffAnalyze = 1;
                t.PeriodSync = t.PeriodAnalyze = 1, t.Hours = 0, t.minutes = 30;
            },
        };
        for (const auto& setup : rows) {
            TFTaskConfig& w = Open(setup);
            const QStringList expected = Fields(*w.Task);
            w.BitBtn_okClick();
            QCOMPARE(w.result(), 1);
            QVERIFY(m_Boxes.isEmpty());
            QCOMPARE(Fields(*w.Task), expected);
            const auto stored = Stored("{photos}");
            QVERIFY(stored);
            QCOMPARE(Fields(*stored), expected);
        }
    }

    void sizesShowInTheLargestExactUnit() {
        const struct {
            int64_t Bytes;
            QString Text, Unit;
        } rows[] = {{0, "0", "B"},        {1024, "1", "KB"},       {1536, "1536", "B"},
                    {1048576, "1", "MB"}, {1049600, "1025", "KB"}, {3145728000, "3000", "MB"}};
        for (const auto& r : rows) {
            TFTaskConfig& w = Open([&](TSyncTask& t) { t.IncludeFileSizeMax = r.Bytes; });
            QVERIFY(w.cb_infilesizemax->isChecked() && w.Edit_infilesizemax->isEnabled());
            QCOMPARE(w.Edit_infilesizemax->text(), r.Text);
            QCOMPARE(w.Edit_infilesizemax_b->currentText(), r.Unit);
        }
    }

    void refusedValuesShowTheirMessageAndSaveNothing() {
        const struct {
            const char* What;
            std::function<void(TFTaskConfig&)> Change;
            QString Message;
            std::function<QWidget*(TFTaskConfig&)> Focus;
        } rows[] = {
            {"min above max",
             [](TFTaskConfig& w) {
                 w.cb_exfilesizemin->setChecked(true), w.cb_filesizemax->setChecked(true);
                 w.Edit_exfilesizemin->setText("10"), w.Edit_exfilesizemin_b->setCurrentIndex(1);
                 w.Edit_exfilesizemax->setText("5"), w.Edit_exfilesizemax_b->setCurrentIndex(1);
             },
             "Check the sizes", [](TFTaskConfig& w) -> QWidget* { return w.Edit_exfilesizemax; }},
            {"empty size", [](TFTaskConfig& w) { w.cb_infilesizemin->setChecked(true); }, "Check the sizes",
             [](TFTaskConfig& w) -> QWidget* { return w.Edit_infilesizemin; }},
            {"size beyond 64 bits",
             [](TFTaskConfig& w) {
                 w.cb_infilesizemax->setChecked(true), w.Edit_infilesizemax->setText("99999999999999");
                 w.Edit_infilesizemax_b->setCurrentIndex(2);
             },
             "Check the sizes", [](TFTaskConfig& w) -> QWidget* { return w.Edit_infilesizemax; }},
            {"no such day",
             [](TFTaskConfig& w) {
                 w.cb_exfiletimemin->setChecked(true), w.edit_exfiletimemin->setText("02/30/2020 10:00");
             },
             "Check the dates", [](TFTaskConfig& w) -> QWidget* { return w.edit_exfiletimemin; }},
            {"before 1980",
             [](TFTaskConfig& w) {
                 w.cb_exfiletimemax->setChecked(true), w.edit_exfiletimemax->setText("12/31/1979 10:00");
             },
             "Check the dates", [](TFTaskConfig& w) -> QWidget* { return w.edit_exfiletimemax; }},
            {"after 2107",
             [](TFTaskConfig& w) {
                 w.cb_infiletimemin->setChecked(true), w.edit_infiletimemin->setText("01/01/2108 00:00");
             },
             "Check the dates", [](TFTaskConfig& w) -> QWidget* { return w.edit_infiletimemin; }},
            {"after later than before",
             [](TFTaskConfig& w) {
                 w.cb_infiletimemin->setChecked(true), w.edit_infiletimemin->setText("05/01/2020 00:00");
                 w.cb_infiletimemax->setChecked(true), w.edit_infiletimemax->setText("04/01/2020 00:00");
             },
             "Check the dates", [](TFTaskConfig& w) -> QWidget* { return w.edit_infiletimemax; }},
            {"slash in name", [](TFTaskConfig& w) { w.edit_taskname->setText("a/b"); }, "Bad name",
             [](TFTaskConfig& w) -> QWidget* { return w.edit_taskname; }},
            {"control character in name", [](TFTaskConfig& w) { w.edit_taskname->setText("a\tb"); },
             "Bad name", [](TFTaskConfig& w) -> QWidget* { return w.edit_taskname; }},
        };
        for (const auto& r : rows) {
            for (bool ok : {true, false}) {
                TFTaskConfig& w = Open([](TSyncTask& t) { t.IsDeleteFile = 1; });
                const QStringList before = Fields(*w.Task);
                w.select3button->Click();
                // Earlier controls change too: none of it may reach the task.
                w.cb_prodelete->setChecked(false);
                r.Change(w);
                m_Boxes.clear();
                ok ? w.BitBtn_okClick() : w.BitBtn_ApplyClick();
                QVERIFY2(w.isVisible(), r.What);
                QCOMPARE(m_Boxes.size(), 1);
                QCOMPARE(m_Boxes[0].Text, r.Message);
                QCOMPARE(m_Boxes[0].Caption, QString("Bramlow File Sync"));
                QCOMPARE(m_Boxes[0].Flags, MB_ICONINFORMATION);
                QCOMPARE(w.focusWidget(), r.Focus(w));
                QVERIFY(w.Notebook1->currentWidget()->isAncestorOf(r.Focus(w)));
                QCOMPARE(Fields(*w.Task), before);
                QVERIFY(!w.Applied);
                QVERIFY(!fs::exists(TaskListPath()));
            }
        }
    }

    void taskNamesAreCheckedOnOkAndApply() {
        // Music is another task of the list, stored as Stored; the window edits Photos, saved
        // beside it, or a new task.
        const struct {
            const char* What;
            std::string Stored;
            bool IsNew;
            QString Typed;
            QString Message;  // empty: accepted
            std::string Saved;
        } rows[] = {
            {"empty", "Music", false, "", "Bad name", ""},
            {"blanks only", "Music", false, "   ", "Bad name", ""},
            {"empty new task", "Music", true, "", "Bad name", ""},
            {"another task's name", "Music", false, "Music", "Name taken", ""},
            {"another task's name, new task", "Music", true, "Music", "Name taken", ""},
            {"clash after trimming the typed name", "Music", false, "  Music ", "Name taken", ""},
            {"clash after trimming the stored name", " Music  ", false, "Music", "Name taken", ""},
            {"names compare exactly", "Music", false, "music", "", "music"},
            {"the task's own name", "Music", false, "Photos", "", "Photos"},
            {"the task's own name with blanks", "Music", false, " Photos ", "", "Photos"},
            {"a new name", "Music", false, "Holiday", "", "Holiday"},
            {"a new name, new task", "Music", true, "Holiday", "", "Holiday"},
        };
        for (const auto& r : rows) {
            for (bool ok : {true, false}) {
                const QString what = QString("%1 (%2)").arg(r.What, ok ? "OK" : "Apply");
                fs::remove(TaskListPath());
                TSyncTask music;
                music.SyncName = r.Stored;
                music.SyncID = "{music}";
                QCOMPARE(music.SaveToTaskList(1), 0);
                TFTaskConfig& w = Open(
                    [&](TSyncTask& t) {
                        if (r.IsNew)
                            t.SyncID.clear();
                        else
                            QCOMPARE(t.SaveToTaskList(1), 0);
                    },
                    r.IsNew);
                const QStringList idsBefore = StoredIDs();
                w.select2button->Click();
                w.edit_taskname->setText(r.Typed);
                m_Boxes.clear();
                ok ? w.BitBtn_okClick() : w.BitBtn_ApplyClick();
                if (!r.Message.isEmpty()) {
                    QVERIFY2(w.isVisible(), qPrintable(what));
                    QCOMPARE(m_Boxes.size(), 1);
                    QCOMPARE(m_Boxes[0].Text, r.Message);
                    QCOMPARE(w.focusWidget(), w.edit_taskname);
                    QCOMPARE(w.CurrentTab(), w.select1Button);
                    QVERIFY2(!w.Applied, qPrintable(what));
                    QCOMPARE(StoredIDs(), idsBefore);
                    if (!r.IsNew) QCOMPARE(Stored("{photos}")->SyncName, std::string("Photos"));
                    continue;
                }
                QVERIFY2(m_Boxes.isEmpty(), qPrintable(what));
                QVERIFY2(w.Applied, qPrintable(what));
                QCOMPARE(w.isVisible(), !ok);
                QCOMPARE(w.Task->SyncName, r.Saved);
                QCOMPARE(Stored(w.Task->SyncID)->SyncName, r.Saved);
                QCOMPARE(Stored("{music}")->SyncName, r.Stored);
                QCOMPARE(StoredIDs().size(), 2);
            }
        }
    }

    void dialogButtonsAndTabsShowTheirFaces() {
        TDM dm;
        QWidget parent;
        auto* grid = new QGridLayout(&parent);
        TImageExButton *shortButton, *longButton, *tab1, *tab2;
        TImageEx *shortCaption, *longCaption, *tabCaption1, *tabCaption2;
        grid->addWidget(NewDialogButton(&parent, "OK", shortButton, shortCaption), 0, 0);
        grid->addWidget(NewDialogButton(&parent, QString(40, 'W'), longButton, longCaption), 0, 1);
        StackFace(&parent, grid, 1, 0, tab1, tabCaption1);
        StackFace(&parent, grid, 1, 1, tab2, tabCaption2);

        // A button is as large as its face, or as its caption needs; the caption covers it exactly
        // and names it.
        const QFontMetrics fm(longCaption->font());
        const struct {
            TImageExButton* Button;
            TImageEx* Caption;
            QSize Size;
        } sizes[] = {
            {shortButton, shortCaption, QSize(BUTTON_WIDTH, std::max(BUTTON_HEIGHT, fm.height() + 8))},
            {longButton, longCaption,
             QSize(fm.horizontalAdvance(QString(40, 'W')) + 20, std::max(BUTTON_HEIGHT, fm.height() + 8))},
        };
        for (const auto& r : sizes) {
            QCOMPARE(r.Button->size(), r.Size);
            QCOMPARE(r.Caption->size(), r.Size);
            QCOMPARE(r.Button->accessibleName(), r.Caption->text());
            QCOMPARE(r.Button->toolTip(), r.Caption->text());
            QVERIFY(r.Caption->testAttribute(Qt::WA_TransparentForMouseEvents));
        }

        // Pressed while the button is down, its state's face again after the click.
        const auto same = [](const QPixmap& A, const QPixmap& B) { return A.toImage() == B.toImage(); };
        QVERIFY(same(shortButton->pixmap(), dm.bigbutton.Pixmap(0)));
        emit shortButton->mouseDown();
        QVERIFY(same(shortButton->pixmap(), dm.bigbutton.Pixmap(2)));
        shortButton->Click();
        QVERIFY(same(shortButton->pixmap(), dm.bigbutton.Pixmap(0)));
        shortButton->setEnabled(false);
        emit shortButton->mouseDown();
        QVERIFY(!same(shortButton->pixmap(), dm.bigbutton.Pixmap(2)));

        // Page tabs: a click selects one, and only one of the row.
        for (TImageExButton* t : {tab1, tab2}) UsePageTabFaces(t);
        QVERIFY(same(tab1->PicMouseMove(), LighterFace(dm.TabIL.Pixmap(0))));
        QVERIFY(!same(tab1->PicMouseMove(), tab1->PicNormal()));
        tab1->Click();
        tab2->Click();
        QCOMPARE(std::make_pair(tab1->PicState(), tab2->PicState()), std::make_pair(isNormal, isSelect));
        QVERIFY(same(tab2->pixmap(), dm.TabIL.Pixmap(1)));
        QVERIFY(same(tab1->pixmap(), dm.TabIL.Pixmap(0)));
    }

    void aFailedWriteKeepsTheWindowAndTheTask() {
        std::ofstream(TaskListPath()) << "<not a task list";
        TFTaskConfig& w = Open([](TSyncTask&) {});
        const QStringList before = Fields(*w.Task);
        w.cb_prodelete->setChecked(true);
        w.BitBtn_okClick();
        QVERIFY(w.isVisible());
        QCOMPARE(m_Boxes.size(), 1);
        QCOMPARE(m_Boxes[0].Text, QString("No list"));
        QCOMPARE(Fields(*w.Task), before);
        QVERIFY(!w.Applied);
    }

    void aNewTaskStartsTwoWayAndGetsAnIdentifier() {
        TFTaskConfig& w = Open(
            [](TSyncTask& t) {
                t.SyncName.clear();
                t.SyncID.clear();
            },
            true);
        QCOMPARE(w.windowTitle(), QString("[New task] Options"));
        QVERIFY(w.rb_sync->isChecked());
        QVERIFY(!w.cb_syncdirect->isEnabled() && !w.rb_forcedcopy->isEnabled() &&
                !w.rb_Verified->isEnabled());
        QVERIFY(w.cb_excludeempty->isChecked());
        // A blank name is refused by Apply and OK alike; nothing is written.
        w.BitBtn_ApplyClick();
        w.BitBtn_okClick();
        QVERIFY(w.isVisible());
        QCOMPARE(m_Boxes.size(), 2);
        QVERIFY(!fs::exists(TaskListPath()));

        TFTaskConfig& again = Open(
            [](TSyncTask& t) {
                t.SyncName.clear();
                t.SyncID.clear();
            },
            true);
        again.edit_taskname->setText("  Docs ");
        again.BitBtn_ApplyClick();
        again.BitBtn_ApplyClick();
        again.BitBtn_okClick();
        QCOMPARE(again.result(), 1);
        QVERIFY(!again.IsNew);
        QCOMPARE(StoredIDs(), QStringList{QString::fromStdString(again.Task->SyncID)});
        const auto stored = Stored(again.Task->SyncID);
        QCOMPARE(stored->SyncName, std::string("Docs"));
        QCOMPARE(stored->ExcludeEmtpyFolder, 1);
        QCOMPARE(stored->ForcedOrVerified, -1);
        QCOMPARE(stored->Hours, 2);
    }

    void tasksFromATemplateNeverShareItsIdentifier() {
        QStringList ids;
        for (int i = 0; i < 3; ++i) {
            TFTaskConfig& w =
                Open([](TSyncTask& t) { t.SyncName = "Weekly", t.SyncID = "Weekly-template"; }, true);
            // Two tasks cannot share a name: each is offered one no task has yet.
            const QString offered = i == 0 ? QString("Weekly") : QString("Weekly (%1)").arg(i + 1);
            QCOMPARE(w.edit_taskname->text(), offered);
            QCOMPARE(w.windowTitle(), QString("[%1] Options").arg(offered));
            w.BitBtn_okClick();
            QCOMPARE(w.result(), 1);
            QVERIFY(m_Boxes.isEmpty());
            ids << QString::fromStdString(w.Task->SyncID);
        }
        QCOMPARE(StoredIDs(), ids);
        QVERIFY(ids[0] != ids[1] && ids[1] != ids[2] && !ids.contains("Weekly-template") &&
                !ids.contains(""));
    }

    void aTemplateIsOfferedANameNoTaskHas() {
        const QString long50(50, 'x');
        const struct {
            QStringList Stored;  // names of the task list
            QString Template, Offered;
        } rows[] = {
            {{}, "Weekly", "Weekly"},
            {{"Weekly", "Weekly (2)"}, "Weekly", "Weekly (3)"},
            {{" Weekly "}, "Weekly", "Weekly (2)"},
            {{"Weekly (2)"}, "Weekly (2)", "Weekly (3)"},
            {{"Weekly", "Weekly (3)"}, "Weekly", "Weekly (2)"},
            {{long50}, long50, QString(46, 'x') + " (2)"},
        };
        for (const auto& r : rows) {
            fs::remove(TaskListPath());
            for (int i = 0; i < r.Stored.size(); ++i) {
                TSyncTask stored;
                stored.SyncName = r.Stored[i].toStdString();
                stored.SyncID = "{stored" + std::to_string(i) + "}";
                QCOMPARE(stored.SaveToTaskList(1), 0);
            }
            TFTaskConfig& w = Open([&](TSyncTask& t) { t.SyncName = r.Template.toStdString(); }, true);
            QCOMPARE(w.edit_taskname->text(), r.Offered);
        }
    }

    // The template's schedule comes with it: OK makes the new task's job as if it had been chosen
    // with Config..., counting from today.
    void aTemplatesScheduleComesWithIt() {
        const QDate today(2026, 3, 4), then(2025, 1, 2);
        const auto weekDays = [](std::initializer_list<int> Days) {
            std::array<bool, 7> d{};
            for (int i : Days) d[size_t(i)] = true;
            return d;
        };
        const struct {
            const char* What;
            int Frequency, Every;
            std::array<bool, 7> Days;
            QTime Start;
            bool Sync;     // sync on schedule, not only analyze
            bool Earlier;  // the summary as earlier versions wrote it: the locale's long time form
        } rows[] = {
            {"every third day, after noon", 0, 3, {}, QTime(23, 5, 17), true, false},
            {"every second week", 1, 2, weekDays({0, 6}), QTime(0, 0), false, false},
            {"monthly", 2, 31, {}, QTime(12, 0), true, false},
            {"an earlier version's summary", 0, 1, {}, QTime(14, 30), true, true},
        };
        for (const auto& r : rows) {
            fs::remove(TaskListPath());
            m_Boxes.clear();
            std::vector<std::pair<std::string, TScheduleSpec>> made;
            m_BeforeShow = [&](TFTaskConfig& w) {
                w.Clock = [&] { return QDateTime(today, QTime(8, 0)); };
                w.Scheduler.CreateScheduledJob = [&](std::string_view, std::string_view Name,
                                                     const TScheduleSpec& Spec) {
                    made.emplace_back(std::string(Name), Spec);
                    return 0;
                };
            };
            TFTaskConfig& w = Open(
                [&](TSyncTask& t) {
                    t.SyncName = "Weekly";
                    t.TSanalyze = 1;
                    t.TSsync = r.Sync;
                    t.TaskScheduler =
                        (r.Earlier ? QStringLiteral("At %1 every day, starting 1/2/25")
                                         .arg(QLocale().toString(r.Start, QLocale::LongFormat))
                                   : DescribeSchedule(r.Frequency, r.Every, r.Days, r.Start, then))
                            .toStdString();
                },
                true);
            w.Scheduler.ScheduledJobExists = [](std::string_view) { return false; };
            QCOMPARE(w.Edit_task->text(), DescribeSchedule(r.Frequency, r.Every, r.Days, r.Start, today));
            w.BitBtn_okClick();
            QVERIFY2(w.result() == 1 && m_Boxes.isEmpty(), r.What);
            QCOMPARE(made.size(), size_t(1));
            QCOMPARE(made[0].first, std::string("Weekly"));
            const TScheduleSpec& spec = made[0].second;
            QVERIFY2(spec.Frequency == r.Frequency && spec.Every == r.Every && spec.WeekDays == r.Days &&
                         spec.Hour == r.Start.hour() && spec.Minute == r.Start.minute(),
                     r.What);
            QCOMPARE(spec.CreationDate, std::string("2026-03-04"));
            QCOMPARE(Stored(w.Task->SyncID)->TSanalyze, 1);
        }

        // A summary that tells no schedule: nothing is shown, and OK asks for one.
        m_Boxes.clear();
        TFTaskConfig& w = Open(
            [](TSyncTask& t) {
                t.SyncName = "Weekly";
                t.TSanalyze = 1;
                t.TaskScheduler = "Daily at 10:00";
            },
            true);
        w.Scheduler.ScheduledJobExists = [](std::string_view) { return false; };
        QVERIFY(w.cb_anataskschedule->isChecked() && w.Edit_task->text().isEmpty());
        w.BitBtn_okClick();
        QVERIFY(w.isVisible());
        QCOMPARE(m_Boxes.size(), 1);
        QCOMPARE(m_Boxes[0].Text, QString("Choose a schedule"));
    }

    void applyThenCancelKeepsTheAppliedSettings() {
        TFTaskConfig& w = Open([](TSyncTask& t) { QCOMPARE(t.SaveToTaskList(1), 0); });
        w.cb_savepv->setChecked(true);
        w.BitBtn_ApplyClick();
        QVERIFY(w.Applied && w.isVisible());
        w.cb_prodelete->setChecked(true);
        w.BitBtn_CancelClick();
        QCOMPARE(w.result(), 0);
        const auto stored = Stored("{photos}");
        for (const TSyncTask* t : {w.Task.get(), stored.get()}) {
            QCOMPARE(t->SaveOldFile, 1);
            QCOMPARE(t->IsDeleteFile, 0);
        }
        QCOMPARE(StoredIDs(), QStringList{"{photos}"});
    }

    // Copies always go through a temporary name: the box says so whatever the task's key, which is
    // kept as stored.
    void theTemporaryCopyBoxShowsWhatTheProgramDoes() {
        for (int stored : {0, 1}) {
            for (bool isNew : {false, true}) {
                fs::remove(TaskListPath());
                TFTaskConfig& w = Open(
                    [&](TSyncTask& t) {
                        t.UseTempFile = stored;
                        if (isNew) t.SyncName.clear(), t.SyncID.clear();
                    },
                    isNew);
                QVERIFY(w.cb_userTemp->isChecked() && !w.cb_userTemp->isEnabled());
                QVERIFY(w.cb_userTemp->toolTip().contains("temporary name"));
                if (isNew) w.edit_taskname->setText("Docs");
                w.BitBtn_okClick();
                QCOMPARE(w.result(), 1);
                QCOMPARE(Stored(w.Task->SyncID)->UseTempFile, stored);
            }
        }
    }

    // The folder fields show the addresses, selectable, and take no typing or pasting; whatever
    // their text, OK stores each side as the task or Browse left it.
    void folderFieldsShowTheAddressesOnly() {
        TFTaskConfig& w = Open([](TSyncTask& t) { QCOMPARE(t.SaveToTaskList(1), 0); });
        QApplication::clipboard()->setText(QStringLiteral("/home/anna/pasted"));
        for (QLineEdit* field : {w.edit_lfolder, w.edit_rfolder}) {
            const QString shown = field->text();
            QVERIFY(field->isReadOnly());
            field->setFocus();
            field->selectAll();
            QCOMPARE(field->selectedText(), shown);
            QTest::keyClicks(field, QStringLiteral("x/"));
            QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
            QTest::keyClick(field, Qt::Key_Backspace);
            QCOMPARE(field->text(), shown);
        }
        w.edit_lfolder->setText(QStringLiteral("~/photos"));
        w.BitBtn_okClick();
        QVERIFY(w.result() == 1 && m_Boxes.isEmpty());
        const auto stored = Stored("{photos}");
        QCOMPARE(stored->LFolder->DeviceType, DEVICE_FTP);
        QCOMPARE(stored->LFolder->FolerAllName, std::string("ftp://example.org/photos"));
        QCOMPARE(stored->LFolder->UserName, std::string("anna"));
    }

    // Enter is OK except where a mask is typed; Tab walks the page as it reads.
    void keyboard() {
        TFTaskConfig& w = Open([](TSyncTask& t) { QCOMPARE(t.SaveToTaskList(1), 0); });
        QWidget* expected[] = {w.edit_taskname, w.edit_lfolder, w.lbrowseButton,
                               w.edit_rfolder,  w.RFolderImage, w.rb_sync};
        QWidget* at = w.edit_taskname;
        for (QWidget* next : expected) {
            QCOMPARE(at, next);
            at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus) at = at->nextInFocusChain();
        }
        w.select2button->Click();
        w.vedit_exclude->setFocus();
        QTest::keyClick(w.vedit_exclude, Qt::Key_Return);
        QVERIFY(w.isVisible());
        w.select1Button->Click();
        w.edit_taskname->setFocus();
        w.edit_taskname->setText("Holiday");
        QTest::keyClick(w.edit_taskname, Qt::Key_Return);
        QCOMPARE(w.result(), 1);
        QCOMPARE(Stored("{photos}")->SyncName, std::string("Holiday"));
    }

    void masksBrowseAndInterlocks() {
        TFTaskConfig& w = Open([](TSyncTask& t) { t.ExcludeFilter = {"a", "c"}; });
        w.ChooseFolder = [](int Side, const std::string& Current) {
            return Side == 1 && Current == "ftp://example.org/photos" ? std::string("/home/anna/photos/")
                                                                      : "";
        };
        w.tb_lbrowseClick();
        w.tb_rbrowseClick();
        QCOMPARE(w.edit_lfolder->text(), QString("/home/anna/photos"));
        // Add inserts at the current row and opens it; blank rows are dropped, the others kept as
        // typed, the row still being typed in too.
        w.select2button->Click();
        const auto type = [&](const QString& Text) {
            QWidget* editor = w.vedit_exclude->indexWidget(w.vedit_exclude->currentIndex());
            QVERIFY(editor);
            QTest::keyClicks(editor, Text);
        };
        w.vedit_exclude->setCurrentCell(1, 0);
        w.bt_addexcludeClick();
        type(" b ");
        w.vedit_exclude->setCurrentCell(0, 0);
        w.bt_addexcludeClick();
        type("   ");
        w.bt_delincludeClick();
        // A size limit without include masks applies to every file.
        w.cb_infilesizemin->setChecked(true);
        w.Edit_infilesizemin->setText("7");
        // A sync box checks and fixes its analyze box; analyzing no more periodically zeroes the period.
        w.cb_syncconn->setChecked(true);
        QVERIFY(w.cb_anaconn->isChecked() && !w.cb_anaconn->isEnabled());
        w.cb_anaperiod->setChecked(true);
        w.edit_hours->setValue(5);
        w.cb_anaperiod->setChecked(false);
        QCOMPARE(w.edit_hours->value(), 0);
        w.cb_savepv->setChecked(true);
        w.cb_estimatedisk->setChecked(true);
        QVERIFY(!w.cb_savepv->isChecked() && !w.cb_savepv->isEnabled());
        w.rb_backup->setChecked(true);
        QVERIFY(w.rb_forcedcopy->isChecked() && !w.rb_Verified->isChecked() && w.cb_usetasktags->isEnabled());
        w.rb_Verified->setChecked(true);
        QVERIFY(!w.rb_forcedcopy->isChecked());
        // The hint of the control under the mouse shows on the hint line.
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(w.cb_excludehidden, &enter);
        QCOMPARE(w.Label_tip->text(), QString("All Hidden files and folders will be excluded."));
        w.BitBtn_okClick();
        QCOMPARE(w.result(), 1);
        const auto t = Stored("{photos}");
        QCOMPARE(t->ExcludeFilter, (std::vector<std::string>{"a", " b ", "c"}));
        QCOMPARE(t->IncludeFilter, std::vector<std::string>{"*"});
        QCOMPARE(t->IncludeFileSizeMin, int64_t{7});
        QCOMPARE(t->LFolder->FolerAllName, std::string("/home/anna/photos"));
        QCOMPARE(t->LFolder->DeviceType, DEVICE_LOCAL);
        QCOMPARE(t->RFolder->FolerAllName, std::string("/srv/photos"));
        QCOMPARE(std::make_pair(t->ConnectSync, t->ConnectAnalyze), std::make_pair(1, 1));
        QCOMPARE(std::make_pair(t->Hours, t->minutes), std::make_pair(0, 0));
        QCOMPARE(std::make_pair(t->SyncDirection, t->ForcedOrVerified), std::make_pair(1, 1));
        QCOMPARE(t->SaveOldFile, 0);

        // A period of nothing shows as one hour.
        TFTaskConfig& again = Open([](TSyncTask& t) { t.PeriodAnalyze = 1; });
        QCOMPARE(std::make_pair(again.edit_hours->value(), again.edit_minutes->value()),
                 std::make_pair(1, 0));
    }
};

BFS_UI_TEST(TaskConfigTest);

#include "TaskConfigTest.moc"
