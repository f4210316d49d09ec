// The task configuration window as the keyboard meets it: a new task made from a template (a free
// name, the template's schedule), a folder address selected in its read-only field, and the focus on
// a picture button.

#include "Screens.h"
#include "model/UTConsts.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/ScheduleManagerUnit.h"
#include "ui/UFTaskConfig.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTableWidget>
#include <QToolButton>

#include <cstdio>

using namespace bfs;

namespace {

const QDateTime NOW(QDate(2026, 12, 8), QTime(9, 0));

void Activate(QWidget& W) {
    W.activateWindow();
    WaitFor([&] { return W.isActiveWindow(); }, "the window's activation");
}

// The focus moved on by the Tab key from From, as a user moves it.
void TabFrom(QWidget* From) {
    From->setFocus();
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QCoreApplication::sendEvent(From, &tab);
}

void TaskConfigKeyboardScreens() {
    const std::string list = GetProgramFolder() + "tasklist.fs";
    std::remove(list.c_str());
    TSyncTask weekly;
    weekly.SyncName = "Weekly backup";
    weekly.SyncID = "{screens-weekly}";
    weekly.SaveToTaskList(1);

    // From the template of that task: offered a name of its own, its schedule kept.
    TFTaskConfig fromTemplate;
    fromTemplate.IsNew = true;
    fromTemplate.Clock = [] { return NOW; };
    TSyncTask& t = *fromTemplate.Task;
    t.SyncName = "Weekly backup";
    t.LFolder->DeviceType = DEVICE_LOCAL;
    t.LFolder->FolerAllName = "/home/anna/Documents";
    t.RFolder->DeviceType = DEVICE_NETWORK;
    t.RFolder->FolerAllName = "\\\\nas\\backup\\Documents";
    t.TSsync = t.TSanalyze = 1;
    t.TaskScheduler = DescribeSchedule(1, 1, {false, false, false, false, true, false, false}, QTime(18, 0),
                                       QDate(2025, 5, 1))
                          .toStdString();
    fromTemplate.show();
    Save(fromTemplate, "task-config-from-template");
    fromTemplate.SelectTab(fromTemplate.select3button);
    Save(fromTemplate, "task-config-from-template-schedule");
    fromTemplate.close();

    // A folder field takes no typing; its address can be selected and copied.
    TFTaskConfig keyboard;
    TSyncTask& u = *keyboard.Task;
    u.SyncName = "Photos";
    u.SyncID = "{screens-keyboard}";
    u.LFolder->DeviceType = DEVICE_FTP;
    u.LFolder->FolerAllName = "ftp://example.org/photos";
    u.RFolder->DeviceType = DEVICE_LOCAL;
    u.RFolder->FolerAllName = "/srv/photos";
    keyboard.show();
    Activate(keyboard);
    keyboard.edit_lfolder->setFocus();
    keyboard.edit_lfolder->selectAll();
    Save(keyboard, "task-config-folder-selected");

    // The keyboard's place on a picture button.
    TabFrom(keyboard.edit_lfolder);
    Save(keyboard, "task-config-focus-browse");
    TabFrom(keyboard.cb_estimatedisk);
    Save(keyboard, "task-config-focus-ok");
    keyboard.SelectTab(keyboard.select2button);
    TabFrom(keyboard.vedit_exclude);
    Save(keyboard, "task-config-focus-add-mask");
    TabFrom(keyboard.cb_exfilesizemin);
    Save(keyboard, "task-config-focus-size");
    keyboard.close();
    std::remove(list.c_str());
}

const TScreens g_TaskConfigKeyboardScreens(&TaskConfigKeyboardScreens);

}  // namespace
