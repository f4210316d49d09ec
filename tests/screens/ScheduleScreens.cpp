// The schedule editor opened on a task's weekly job, then switched to a late day of the month (the
// start time kept, the months without that day named), and the configuration window's automation
// page of a task that runs on a schedule. The scheduler is a stand-in that is always there.

#include "Screens.h"
#include "model/UTConsts.h"
#include "ui/ScheduleManagerUnit.h"
#include "ui/UFTaskConfig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>

using namespace bfs;

namespace {

const QDateTime NOW(QDate(2026, 12, 7), QTime(21, 30));

TSchedulerLink AlwaysThere() {
    TSchedulerLink link;
    link.EnsureTaskScheduler = [] { return 0; };
    link.ScheduledJobExists = [](std::string_view) { return true; };
    link.DeleteScheduledJob = [](std::string_view) { return 0; };
    link.CreateScheduledJob = [](std::string_view, std::string_view, const TScheduleSpec&) { return 0; };
    link.RenameScheduledJob = [](std::string_view, std::string_view) { return 0; };
    link.SchedulerError = [] { return std::string(); };
    return link;
}

void ScheduleScreens() {
    TScheduleManagerForm editor(AlwaysThere(), [] { return NOW; });
    editor.OpenOn(TScheduleSpec{1, 2, 6, 30, {true, false, false, true, false, false, false}, "2026-11-02"});
    if (!editor.FormShow()) ++g_Failures;
    editor.show();
    Save(editor, "schedule-editor-weekly");
    editor.comScheduleTask->setCurrentIndex(2);
    editor.comScheduleTaskChange();
    editor.seEveryOfMonthly->setValue(31);
    Save(editor, "schedule-editor-monthly");
    editor.close();

    TFTaskConfig w;
    w.Scheduler = AlwaysThere();
    w.Clock = [] { return NOW; };
    TSyncTask& t = *w.Task;
    t.SyncName = "Photos";
    t.SyncID = "{screens-schedule}";
    t.LFolder->DeviceType = DEVICE_LOCAL;
    t.LFolder->FolerAllName = "/home/anna/Pictures";
    t.RFolder->DeviceType = DEVICE_LOCAL;
    t.RFolder->FolerAllName = "/media/backup/Pictures";
    t.StartAnalyze = 1;
    t.TSsync = t.TSanalyze = 1;
    t.TaskScheduler =
        DescribeSchedule(1, 2, {true, false, false, true, false, false, false}, QTime(6, 30), NOW.date())
            .toStdString();
    w.show();
    w.SelectTab(w.select3button);
    Save(w, "task-config-scheduled");
    w.close();
}

}  // namespace

const TScreens g_ScheduleScreens(&ScheduleScreens);
