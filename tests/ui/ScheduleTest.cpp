#include "UiTestMain.h"
#include "model/TaskList.h"
#include "model/UTConsts.h"
#include "model/UTIniFile.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTTaskScheduler.h"
#include "ui/DMUnit.h"
#include "ui/ScheduleManagerUnit.h"
#include "ui/UFMain.h"
#include "ui/UFTaskConfig.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>

using namespace bfs;
namespace fs = std::filesystem;

namespace {

const QDateTime NOW(QDate(2026, 12, 6), QTime(14, 30, 17));
const QString AT = QStringLiteral("At 14:30 ");
const QString STARTING = QStringLiteral(", starting 6 Dec 2026");
const QString OLD = QStringLiteral("At 08:00:00 UTC every day, starting 1 Dec 2026");

QString Q(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

// A scheduler that keeps its jobs in a set and writes down every call made to it.
struct TFakeScheduler {
    QStringList Calls;
    std::set<std::string> Jobs;
    std::map<std::string, TScheduleSpec> Saved;  // what ReadScheduledJob finds
    int EnsureStatus = 0, CreateStatus = 0, DeleteStatus = 0;

    TSchedulerLink Link() {
        TSchedulerLink link;
        link.EnsureTaskScheduler = [this] { return Calls << "ensure", EnsureStatus; };
        link.ScheduledJobExists = [this](std::string_view ID) {
            return Calls << "exists " + Q(ID), Jobs.count(std::string(ID)) > 0;
        };
        link.DeleteScheduledJob = [this](std::string_view ID) {
            if (Calls << "delete " + Q(ID), DeleteStatus == 0) Jobs.erase(std::string(ID));
            return DeleteStatus;
        };
        link.CreateScheduledJob = [this](std::string_view ID, std::string_view Name, const TScheduleSpec& S) {
            QString days;
            for (bool d : S.WeekDays) days += d ? 'X' : '.';
            Calls << QString("create %1 %2 %3/%4 %5:%6 %7 %8")
                         .arg(Q(ID), Q(Name))
                         .arg(S.Frequency)
                         .arg(S.Every)
                         .arg(S.Hour)
                         .arg(S.Minute, 2, 10, QChar('0'))
                         .arg(days, Q(S.CreationDate));
            if (CreateStatus == 0) Jobs.insert(std::string(ID));
            return CreateStatus;
        };
        link.RenameScheduledJob = [this](std::string_view ID, std::string_view Name) {
            return Calls << "rename " + Q(ID) + " " + Q(Name), 0;
        };
        link.ReadScheduledJob = [this](std::string_view ID, TScheduleSpec& S) {
            const auto found = Saved.find(std::string(ID));
            if (found == Saved.end()) return false;
            return S = found->second, true;
        };
        link.SchedulerError = [] {
            return std::string("systemctl --user enable --now x.timer: exit status 1");
        };
        return link;
    }
};

std::unique_ptr<TSyncTask> Stored(const std::string& ID) {
    TTaskListDocument doc;
    doc.LoadFile(GetProgramFolder() + "tasklist.fs");
    const int index = doc.GetTaskList().FindTast(ID);
    if (index < 0) return nullptr;
    auto task = std::make_unique<TSyncTask>();
    task->LoadFromXML(doc.GetTaskList().Get_Tast(index));
    return task;
}

// The words of a unit's Exec line: each in double quotes, "\" escaping, "$$" and "%%" for "$" and "%".
QStringList ExecWords(const QString& Line) {
    QStringList words;
    static const QRegularExpression word(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    for (const QRegularExpressionMatch& m : word.globalMatch(Line))
        words << m.captured(1)
                     .replace(QRegularExpression(QStringLiteral("\\\\(.)")), QStringLiteral("\\1"))
                     .replace(QStringLiteral("$$"), QStringLiteral("$"))
                     .replace(QStringLiteral("%%"), QStringLiteral("%"));
    return words;
}

using TAct = std::function<void(TFTaskConfig&)>;

}  // namespace

Q_DECLARE_METATYPE(TAct)

class ScheduleTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TIniFile> m_OldLanguage;
    QStringList m_Boxes;
    TFakeScheduler m_Fake;

    // The editor as shown, on the frequency given.
    std::unique_ptr<TScheduleManagerForm> Editor(int Frequency = 0) {
        auto e = std::make_unique<TScheduleManagerForm>(m_Fake.Link(), [] { return NOW; });
        if (e->FormShow()) e->comScheduleTask->setCurrentIndex(Frequency), e->comScheduleTaskChange();
        return e;
    }

    // The configuration window on the task "Photos" through the fake scheduler; Choose, when set,
    // is what the user does in the schedule editor before its OK.
    std::unique_ptr<TFTaskConfig> Config(const std::function<void(TSyncTask&)>& Setup,
                                         std::function<void(TScheduleManagerForm&)> Choose = {}) {
        auto w = std::make_unique<TFTaskConfig>();
        TSyncTask& t = *w->Task;
        t.SyncName = "Photos";
        t.SyncID = "{photos}";
        t.LFolder->FolerAllName = m_Home.path().toStdString() + "/left";
        t.RFolder->FolerAllName = m_Home.path().toStdString() + "/right";
        if (Setup) Setup(t);
        w->Scheduler = m_Fake.Link();
        w->Clock = [] { return NOW; };
        w->RunScheduleEditor = [Choose](TScheduleManagerForm& E) {
            if (!E.FormShow() || !Choose) return 0;
            Choose(E);
            E.OkButtonClick();
            return E.result();
        };
        w->show();
        return w;
    }

  private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        tzset();
        QLocale::setDefault(QLocale::c());
        qputenv("XDG_CONFIG_HOME", (m_Home.path() + "/config").toUtf8());
        std::ofstream(GetProgramFolder() + "schedule.lng")
            << "[title]\nschedulenotset=Choose a schedule\nschedulejoberror=No "
               "job\nerror_free_tasklist_xml=No list\n";
        m_OldLanguage = std::move(SysConfig().LangFile);
        QCOMPARE(SysConfig().OpenLanguage("schedule.lng"), 0);
        MessageBoxFunc = [this](const QString& Text, const QString&, int) {
            m_Boxes << Text;
            return IDYES;
        };
    }
    void cleanupTestCase() {
        SysConfig().LangFile = std::move(m_OldLanguage);
        MessageBoxFunc = nullptr;
    }
    void init() {
        fs::remove(GetProgramFolder() + "tasklist.fs");
        m_Boxes.clear();
        m_Fake = TFakeScheduler();
    }

    void describeScheduleGivesEachForm_data() {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("every");
        QTest::addColumn<QString>("days");
        QTest::addColumn<QString>("text");
        QTest::newRow("daily") << 0 << 1 << ""
                               << "every day";
        QTest::newRow("every 3 days") << 0 << 3 << ""
                                      << "every 3 days";
        QTest::newRow("weekly, Monday") << 1 << 1 << "X......"
                                        << "every Mon of every week";
        QTest::newRow("weekly, three days") << 1 << 1 << "X.X...X"
                                            << "every Mon,Wed,Sun of every week";
        QTest::newRow("weekly, no day") << 1 << 1 << "......."
                                        << "every  of every week";
        QTest::newRow("every 2 weeks") << 1 << 2 << ".X..X.."
                                       << "every Tue,Fri of every 2 weeks";
        // The job runs only in months that have the day: the summary says which ones it skips.
        QTest::newRow("monthly, day 28") << 2 << 28 << ""
                                         << "on day 28 of every month";
        QTest::newRow("monthly, day 29") << 2 << 29 << ""
                                         << "on day 29 of every month (February only in leap years)";
        QTest::newRow("monthly, day 30") << 2 << 30 << ""
                                         << "on day 30 of every month but February";
        QTest::newRow("monthly, day 31")
            << 2 << 31 << ""
            << "on day 31 of every month that has one (not Feb, Apr, Jun, Sep, Nov)";
    }
    void describeScheduleGivesEachForm() {
        QFETCH(int, frequency);
        QFETCH(int, every);
        QFETCH(QString, days);
        QFETCH(QString, text);
        std::array<bool, 7> weekDays{};
        for (int i = 0; i < days.size(); ++i) weekDays[static_cast<size_t>(i)] = days[i] == 'X';
        QCOMPARE(DescribeSchedule(frequency, every, weekDays, QTime(14, 30), NOW.date()),
                 AT + text + STARTING);
    }

    void editorOpensOnDefaultsAndKeepsTheTypedTimeAcrossFrequencies() {
        QDateTime now = NOW;
        TScheduleManagerForm e(m_Fake.Link(), [&now] { return now; });
        QVERIFY(e.FormShow());
        QCOMPARE(m_Fake.Calls, QStringList{"ensure"});
        QCOMPARE(e.comScheduleTask->currentIndex(), 0);
        QCOMPARE(e.dtpStartTime->time(), QTime(14, 30));
        QVERIFY(e.DailyGroup->isVisibleTo(&e) && !e.WeeklyGroup->isVisibleTo(&e) &&
                !e.MonthlyGroup->isVisibleTo(&e));
        QCOMPARE(e.Summary(), AT + "every day" + STARTING);

        e.seEveryOfDaily->setValue(3);
        e.dtpStartTime->setTime(QTime(9, 5));
        QCOMPARE(e.Summary(), "At 09:05 every 3 days" + STARTING);
        now = now.addSecs(3600);
        const auto choose = [&](int Frequency) {
            e.comScheduleTask->setCurrentIndex(Frequency);
            e.comScheduleTaskChange();
        };
        choose(1);
        QCOMPARE(e.dtpStartTime->time(), QTime(9, 5));
        QVERIFY(!e.DailyGroup->isVisibleTo(&e) && e.WeeklyGroup->isVisibleTo(&e));
        QCOMPARE(e.Schedule().WeekDays,
                 (std::array<bool, 7>{true, false, false, false, false, false, false}));
        e.CheckBoxWed->setChecked(true);
        e.CheckBoxSun->setChecked(true);
        e.seEveryOfWeekly->setValue(4);
        QCOMPARE(e.Summary(), "At 09:05 every Mon,Wed,Sun of every 4 weeks" + STARTING);
        choose(2);
        QVERIFY(e.MonthlyGroup->isVisibleTo(&e) && !e.WeeklyGroup->isVisibleTo(&e));
        QCOMPARE(e.Summary(), "At 09:05 on day 1 of every month" + STARTING);
        // Back again: the count and days start over, the time stays.
        choose(1);
        QCOMPARE(e.seEveryOfWeekly->value(), 1);
        QCOMPARE(e.Schedule().WeekDays,
                 (std::array<bool, 7>{true, false, false, false, false, false, false}));
        choose(0);
        QCOMPARE(e.seEveryOfDaily->value(), 1);
        QCOMPARE(e.dtpStartTime->time(), QTime(9, 5));
    }

    // Config... on a scheduled task opens the editor on the job's schedule, and OK without a change
    // makes the same job again; a choice not yet saved is what a second Config... shows.
    void editorOpensOnTheSavedSchedule_data() {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("every");
        QTest::addColumn<QString>("days");
        QTest::addColumn<QString>("summary");
        QTest::newRow("daily") << 0 << 1 << "......."
                               << "At 06:30 every day";
        QTest::newRow("every 3 days") << 0 << 3 << "......."
                                      << "At 06:30 every 3 days";
        QTest::newRow("weekly") << 1 << 2 << ".X..X.."
                                << "At 06:30 every Tue,Fri of every 2 weeks";
        QTest::newRow("monthly") << 2 << 15 << "......."
                                 << "At 06:30 on day 15 of every month";
    }
    void editorOpensOnTheSavedSchedule() {
        QFETCH(int, frequency);
        QFETCH(int, every);
        QFETCH(QString, days);
        QFETCH(QString, summary);
        TScheduleSpec saved{frequency, every, 6, 30, {}, "2026-11-02"};
        for (int i = 0; i < 7; ++i) saved.WeekDays[static_cast<size_t>(i)] = days[i] == 'X';
        m_Fake.Jobs.insert("{photos}");
        m_Fake.Saved["{photos}"] = saved;
        QStringList shown;
        auto w = Config([](TSyncTask& t) { t.TSsync = t.TSanalyze = 1, t.TaskScheduler = OLD.toStdString(); },
                        [&](TScheduleManagerForm& E) {
                            const TScheduleSpec s = E.Schedule();
                            QString d;
                            for (bool on : s.WeekDays) d += on ? 'X' : '.';
                            shown << QString("%1 %2 %3 %4")
                                         .arg(s.Frequency)
                                         .arg(s.Every)
                                         .arg(d)
                                         .arg(E.dtpStartTime->time().toString("HH:mm"));
                            QCOMPARE(E.Summary(), summary + STARTING);
                            QVERIFY((frequency == 0   ? E.DailyGroup
                                     : frequency == 1 ? E.WeeklyGroup
                                                      : E.MonthlyGroup)
                                        ->isVisibleTo(&E));
                        });
        w->bt_taskconfigClick();
        m_Fake.Saved.clear();  // the second opening shows the choice taken, not the job
        w->bt_taskconfigClick();
        const QString expected = QString("%1 %2 %3 06:30").arg(frequency).arg(every).arg(days);
        QCOMPARE(shown, (QStringList{expected, expected}));
        w->BitBtn_okClick();
        QCOMPARE(
            m_Fake.Calls.last(),
            QString("create {photos} Photos %1/%2 6:30 %3 2026-12-06").arg(frequency).arg(every).arg(days));
    }

    void typedCountsAreBroughtIntoTheirRanges_data() {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("value");
        QTest::newRow("400 days") << 0 << "400" << 365;
        QTest::newRow("0 days") << 0 << "0" << 1;
        QTest::newRow("57 weeks") << 1 << "57" << 56;
        QTest::newRow("day 32") << 2 << "32" << 31;
        QTest::newRow("day 0") << 2 << "0" << 1;
        QTest::newRow("day 15") << 2 << "15" << 15;
    }
    void typedCountsAreBroughtIntoTheirRanges() {
        QFETCH(int, frequency);
        QFETCH(QString, typed);
        QFETCH(int, value);
        auto e = Editor(frequency);
        e->show();
        QSpinBox* count = frequency == 0   ? e->seEveryOfDaily
                          : frequency == 1 ? e->seEveryOfWeekly
                                           : e->seEveryOfMonthly;
        count->setFocus();
        auto* edit = count->findChild<QLineEdit*>();
        edit->selectAll();
        QTest::keyClicks(edit, typed);
        QCOMPARE(count->value(), value);
        QCOMPARE(e->Schedule().Every, value);
    }

    void okIsRefusedWhileAWeeklyScheduleHasNoDay() {
        auto e = Editor(1);
        e->CheckBoxMon->setChecked(false);
        e->OkButtonClick();
        QCOMPARE(m_Boxes.size(), 1);
        QCOMPARE(e->result(), 0);
        e->CheckBoxFri->setChecked(true);
        e->OkButtonClick();
        QCOMPARE(e->result(), 1);
        QCOMPARE(m_Boxes.size(), 1);
    }

    // Enter and the keypad's Enter are OK from every field; a count typed just before counts, brought
    // into its range.
    void enterIsOkFromEveryField() {
        using E = TScheduleManagerForm;
        const struct {
            const char* Name;
            int Frequency;
            std::function<QWidget*(E&)> Field;
            int Every;  // after "400" is typed into the count; 0: not a count
        } fields[] = {
            {"frequency", 0, [](E& e) { return e.comScheduleTask; }, 0},
            {"start time", 0, [](E& e) { return e.dtpStartTime; }, 0},
            {"every n days", 0, [](E& e) { return e.seEveryOfDaily; }, 365},
            {"every n weeks", 1, [](E& e) { return e.seEveryOfWeekly; }, 56},
            {"a weekday", 1, [](E& e) { return e.CheckBoxWed; }, 0},
            {"day of the month", 2, [](E& e) { return e.seEveryOfMonthly; }, 31},
        };
        for (const auto& f : fields) {
            for (const auto& [key, modifier] :
                 {std::pair{Qt::Key_Return, Qt::NoModifier}, std::pair{Qt::Key_Enter, Qt::KeypadModifier}}) {
                auto e = Editor(f.Frequency);
                e->show();
                QWidget* field = f.Field(*e);
                field->setFocus();
                // A spin box or time edit types into its line edit.
                QWidget* keys = field->focusProxy() ? field->focusProxy() : field;
                if (f.Every) {
                    static_cast<QSpinBox*>(field)->selectAll();
                    QTest::keyClicks(keys, QStringLiteral("400"));
                }
                QTest::keyClick(keys, key, modifier);
                QVERIFY2(e->result() == QDialog::Accepted && !e->isVisible(), f.Name);
                if (f.Every) QCOMPARE(e->Schedule().Every, f.Every);
            }
        }
    }

    void anUnreachableSchedulerGivesItsReasonAndCancels() {
        m_Fake.EnsureStatus = 1;
        QCOMPARE(Editor()->Execute(), 0);
        QCOMPARE(m_Boxes.size(), 2);  // Editor() tried too
        QVERIFY(m_Boxes[1].contains("systemctl --user enable --now x.timer: exit status 1"));
        // Through the configuration window: no schedule taken, nothing recorded.
        auto w = Config({}, [](TScheduleManagerForm&) {});
        w->cb_anataskschedule->setChecked(true);
        w->bt_taskconfigClick();
        QCOMPARE(w->Edit_task->text(), QString());
    }

    // What OK does to the job, the task list and the window; loading and Cancel touch nothing.
    void theJobChangesOnlyWithOkOrApply_data() {
        QTest::addColumn<bool>("scheduled");  // the task has a job and says so
        QTest::addColumn<int>("failing");     // 1 the create fails, 2 the delete
        QTest::addColumn<TAct>("act");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("stored");  // flags and text in the task list; "" not written
        const TAct choose = [](TFTaskConfig& w) {
            w.cb_synctaskscheduler->setChecked(true), w.bt_taskconfigClick();
        };
        const TAct untick = [](TFTaskConfig& w) {
            w.cb_synctaskscheduler->setChecked(false), w.cb_anataskschedule->setChecked(false);
        };
        const TAct ok = [](TFTaskConfig& w) { w.BitBtn_okClick(); };
        const auto then = [](TAct A, TAct B) { return TAct([=](TFTaskConfig& w) { A(w), B(w); }); };
        const TAct cancel = [](TFTaskConfig& w) { w.BitBtn_CancelClick(); };
        const QString made = "1/1/" + AT + "every Tue,Fri of every 2 weeks" + STARTING;
        const QString create = "create {photos} Photos 1/2 14:30 .X..X.. 2026-12-06";
        const QString old = "1/1/" + OLD;
        const QString exists = "exists {photos}";
        QTest::newRow("loading, Cancel") << true << 0 << cancel << QStringList{} << "";
        QTest::newRow("chosen, Cancel") << false << 0 << then(choose, cancel) << QStringList{"ensure"} << "";
        QTest::newRow("chosen, OK") << false << 0 << then(choose, ok)
                                    << QStringList{"ensure", exists, "ensure", create} << made;
        QTest::newRow("replaced") << true << 0 << then([](TFTaskConfig& w) { w.bt_taskconfigClick(); }, ok)
                                  << QStringList{"ensure", exists, "ensure", "delete {photos}", create}
                                  << made;
        QTest::newRow("unticked, OK")
            << true << 0 << then(untick, ok) << QStringList{exists, "ensure", "delete {photos}"} << "0/0/";
        QTest::newRow("renamed") << true << 0
                                 << then([](TFTaskConfig& w) { w.edit_taskname->setText("Pictures"); }, ok)
                                 << QStringList{exists, exists, "ensure", "rename {photos} Pictures"} << old;
        QTest::newRow("ticked, no schedule")
            << false << 0 << then([](TFTaskConfig& w) { w.cb_anataskschedule->setChecked(true); }, ok)
            << QStringList{exists} << "";
        QTest::newRow("failing create") << false << 1 << then(choose, ok)
                                        << QStringList{"ensure", exists, "ensure", create, exists} << "0/0/";
        QTest::newRow("failing delete") << true << 2 << then(untick, ok)
                                        << QStringList{exists, "ensure", "delete {photos}", exists} << old;
    }
    void theJobChangesOnlyWithOkOrApply() {
        QFETCH(bool, scheduled);
        QFETCH(int, failing);
        QFETCH(TAct, act);
        QFETCH(QStringList, calls);
        QFETCH(QString, stored);
        if (scheduled) m_Fake.Jobs.insert("{photos}");
        m_Fake.CreateStatus = failing == 1, m_Fake.DeleteStatus = failing == 2;
        auto w = Config(
            [&](TSyncTask& t) {
                if (scheduled) t.TSsync = t.TSanalyze = 1, t.TaskScheduler = OLD.toStdString();
            },
            [](TScheduleManagerForm& E) {
                E.comScheduleTask->setCurrentIndex(1);
                E.comScheduleTaskChange();
                E.CheckBoxMon->setChecked(false), E.CheckBoxTue->setChecked(true),
                    E.CheckBoxFri->setChecked(true);
                E.seEveryOfWeekly->setValue(2);
            });
        QCOMPARE(m_Fake.Calls, QStringList{});
        act(*w);
        QCOMPARE(m_Fake.Calls, calls);
        QCOMPARE(w->result(), stored.isEmpty() || failing ? 0 : 1);
        // A refusal or a failure says why in a box, and the window stays open.
        const bool kept = failing || calls == QStringList{"exists {photos}"};
        QCOMPARE(w->isVisible(), kept);
        QCOMPARE(m_Boxes.size(), kept ? 1 : 0);
        const auto task = Stored("{photos}");
        QCOMPARE(task != nullptr, !stored.isEmpty());
        if (!task) return;
        QCOMPARE(QString("%1/%2/").arg(task->TSsync).arg(task->TSanalyze) + Q(task->TaskScheduler), stored);
        QCOMPARE(m_Fake.Jobs.count("{photos}") > 0, task->TSanalyze != 0);
    }

    // The real link with a stand-in for systemctl: the job the window makes runs the task, and
    // deleting the task in the main window takes its job away.
    void aScheduledJobRunsItsTaskAndGoesWithIt() {
        const QString home = m_Home.path() + "/e2e";
        const std::string h = home.toStdString();
        struct TRestore {
            ~TRestore() {
                SetSchedulerCommand({"systemctl", "--user"});
                SetSchedulerUnitFolder("");
                SetScheduledProgram("");
            }
        } restore;
        QVERIFY(MakeFolders(h + "/bin") == 0 && MakeFolders(h + "/left/docs") == 0 &&
                MakeFolders(h + "/right") == 0);
        QCOMPARE(
            WriteFileAtomic(h + "/bin/systemctl", "#!/bin/sh\necho \"$@\" >> \"" + h + "/systemctl.log\"\n"),
            0);
        fs::permissions(h + "/bin/systemctl", fs::perms::owner_all);
        QCOMPARE(WriteFileAtomic(h + "/left/docs/a.txt", "alpha"), 0);
        SetSchedulerCommand({h + "/bin/systemctl", "--user"});
        SetSchedulerUnitFolder(h + "/units");
        SetScheduledProgram(BFS_PROGRAM_PATH);

        auto w = std::make_unique<TFTaskConfig>();
        w->IsNew = true;
        TSyncTask& t = *w->Task;
        t.SyncName = "Night copy";  // a blank in the name: still one argument
        for (auto [folder, side] :
             {std::pair{t.LFolder.get(), "/left"}, std::pair{t.RFolder.get(), "/right"}}) {
            folder->DeviceType = DEVICE_LOCAL;
            folder->FolerAllName = h + side;
        }
        w->RunScheduleEditor = [](TScheduleManagerForm& E) {
            if (!E.FormShow()) return 0;
            E.OkButtonClick();
            return E.result();
        };
        w->show();
        w->cb_synctaskscheduler->setChecked(true);
        w->bt_taskconfigClick();
        w->BitBtn_okClick();
        QVERIFY2(m_Boxes.isEmpty(), qPrintable(m_Boxes.join('\n')));
        QCOMPARE(w->result(), 1);
        const std::string id = w->Task->SyncID;
        const std::string stem = h + "/units/" + ScheduledUnitStem(id);
        QVERIFY(ScheduledJobExists(id));

        std::string service, log;
        QCOMPARE(ReadWholeFile(stem + ".service", service), 0);
        QCOMPARE(ReadWholeFile(h + "/systemctl.log", log), 0);
        QVERIFY2(log.find("enable --now " + ScheduledUnitStem(id) + ".timer") != std::string::npos,
                 log.c_str());
        QStringList command;
        for (const QString& line : QString::fromStdString(service).split('\n'))
            if (line.startsWith("ExecStart=")) command = ExecWords(line.mid(10));
        QCOMPARE(command, (QStringList{BFS_PROGRAM_PATH, "Night copy"}));

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_Home.path() + "/config");
        for (const char* var : {"DATA", "CACHE"})
            env.insert(QString("XDG_%1_HOME").arg(var), home + "/" + var);
        env.insert("XDG_RUNTIME_DIR", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(command.takeFirst(), command);
        QVERIFY(program.waitForFinished(60000));
        QVERIFY2(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
                 program.readAllStandardError().constData());
        std::string copied;
        QCOMPARE(ReadWholeFile(h + "/right/docs/a.txt", copied), 0);
        QCOMPARE(copied, std::string("alpha"));

        w.reset();
        TFMain main;
        main.LoadTaskList("");
        QVERIFY(main.CurrentTaskWindow());
        main.Action_DeleteTask->trigger();
        QVERIFY(!ScheduledJobExists(id));
        QVERIFY(!fs::exists(stem + ".timer"));
        QCOMPARE(ReadWholeFile(h + "/systemctl.log", log), 0);
        QVERIFY2(log.find("disable --now " + ScheduledUnitStem(id) + ".timer") != std::string::npos,
                 log.c_str());
        QVERIFY(!Stored(id));
    }
};

BFS_UI_TEST(ScheduleTest);
#include "ScheduleTest.moc"
