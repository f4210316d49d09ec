// The task configuration window as the keyboard and the typed addresses meet it: a new task made
// from a template (a free name, the template's schedule), a typed folder of no known form refused
// with its box, and the focus on a picture button.

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
#include <QMessageBox>
#include <QTableWidget>
#include <QToolButton>

#include <cstdio>
#include <memory>

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

    // A typed folder of no known form: refused on OK, the focus on its field.
    TFTaskConfig typed;
    TSyncTask& u = *typed.Task;
    u.SyncName = "Photos";
    u.SyncID = "{screens-typed}";
    u.LFolder->DeviceType = DEVICE_FTP;
    u.LFolder->FolerAllName = "ftp://example.org/photos";
    u.RFolder->DeviceType = DEVICE_LOCAL;
    u.RFolder->FolerAllName = "/srv/photos";
    typed.show();
    Activate(typed);
    typed.edit_lfolder->setText("photos/2024");
    std::unique_ptr<QMessageBox> box;
    const TMessageBoxFunc shown = MessageBoxFunc;
    MessageBoxFunc = [&](const QString& Text, const QString& Caption, int Flags) {
        box = BuildMessageBox(Text, Caption, Flags, &typed);
        return IDOK;
    };
    typed.BitBtn_okClick();
    MessageBoxFunc = shown;
    if (!box || !typed.isVisible()) {
        std::fprintf(stderr, "screens: the typed folder of no known form was not refused\n");
        ++g_Failures;
    } else {
        Save(typed, "task-config-typed-refused");
        box->show();
        Save(*box, "task-config-typed-refused-message");
    }

    // The keyboard's place on a picture button.
    box.reset();
    Activate(typed);
    typed.edit_lfolder->setText("/home/anna/photos");
    TabFrom(typed.edit_lfolder);
    Save(typed, "task-config-focus-browse");
    TabFrom(typed.cb_estimatedisk);
    Save(typed, "task-config-focus-ok");
    typed.SelectTab(typed.select2button);
    TabFrom(typed.vedit_exclude);
    Save(typed, "task-config-focus-add-mask");
    TabFrom(typed.cb_exfilesizemin);
    Save(typed, "task-config-focus-size");
    typed.close();
    std::remove(list.c_str());
}

const TScreens g_TaskConfigKeyboardScreens(&TaskConfigKeyboardScreens);

}  // namespace
