// The window frame: the main window made larger than its default, a task's plan showing every
// column, and a message box with a long text.

#include "Screens.h"
#include "engine/MemFileOper.h"
#include "engine/UTSyncTask.h"
#include "model/UTConsts.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QTreeView>

#include <cstdio>
#include <memory>

using namespace bfs;
using namespace bfs::test;

namespace {

void MainWindowResized() {
    const std::string list = GetProgramFolder() + "tasklist.fs";
    std::remove(list.c_str());
    auto left = std::make_shared<TMemStore>(), right = std::make_shared<TMemStore>();
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        return std::make_unique<TMemFileOper>(f.FolerAllName.find("left") != std::string::npos ? left
                                                                                               : right);
    });
    TSyncTask t;
    t.SyncName = "Photos";
    t.SyncID = "{screens-resized}";
    t.LFolder->DeviceType = t.RFolder->DeviceType = DEVICE_WEBDAV;
    t.LFolder->FolerAllName = "https://dav.example.org/left/Photos";
    t.RFolder->FolerAllName = "https://dav.example.org/right/Photos";
    t.SaveToTaskList(1);
    const int32_t day = (45 << 25) | (3 << 21) | (14 << 16), later = day + (1 << 11);
    for (const char* f : {"/2024/beach.jpg", "/2024/boat.jpg", "/2025/city.png", "/notes.txt"}) {
        left->AddFile(f, std::string(4000, 'x'), day);
        right->AddFile(f, std::string(4000, 'x'), day);
    }
    left->AddFile("/2024/beach.jpg", std::string(5200, 'l'), later);
    right->AddFile("/2025/city.png", std::string(7300, 'r'), later);
    left->AddFile("/2025/new-left.png", std::string(3100, 'n'), later);
    right->Remove("/notes.txt");

    TFMain w;
    w.show();
    w.LoadTaskList("");
    TFSyncMain* task = w.CurrentTaskWindow();
    task->StartAnalyze();
    WaitFor([&] { return !task->Running(); }, "the end of the analysis");
    w.resize(QSize(1040, 660) + QSize(200, 100));  // larger than the size it likes
    QTreeView& plan = *task->VST1;
    plan.expandAll();
    if (plan.header()->length() > plan.viewport()->width()) {
        std::fprintf(stderr, "screens: the resized main window does not show every column of the plan\n");
        ++g_Failures;
    }
    Save(w, "main-window-resized");
    w.close();
    TSyncTask::SetFileOperFactory({});
    std::remove(list.c_str());
}

void LongMessage() {
    const QString text =
        QString::fromStdString(SysConfig().GetText("schedulejoberror")) +
        "\rFailed to enable unit: Unit file bramlow-file-sync-{6F9619FF-8B86-D011-B42D-00C04FC964FF}.timer "
        "does not exist. The systemd user instance may not be running in this session; log in again or "
        "start it with \"systemctl --user start default.target\".";
    std::unique_ptr<QMessageBox> box = BuildMessageBox(text, "Bramlow File Sync", MB_OK | MB_ICONERROR);
    box->show();
    Save(*box, "message-box-long");
}

// The main window as it first opens on a screen smaller than it would like (the offscreen screen:
// 800 x 600 pixels, 400 x 300 at 2x), and with the keyboard on the Job menu.
void MainWindowFirstSize() {
    const std::string list = GetProgramFolder() + "tasklist.fs";
    std::remove(list.c_str());
    TFMain w;
    w.show();
    w.LoadTaskList("");
    // Its title bar whole on the screen, the pictures at its right end included (a screen lower than
    // the window's controls need may leave its bottom below the screen's).
    const QRect free = w.screen()->availableGeometry(), at = w.frameGeometry();
    if (at.left() < free.left() || at.top() < free.top() || at.right() > free.right()) {
        std::fprintf(stderr, "screens: the main window opens beyond the screen\n");
        ++g_Failures;
    }
    Save(w, "main-window-first-size");
    w.resize(1040, 660);
    w.jobbutton->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    Save(w, "main-window-keyboard");
}

void ChromeScreens() {
    MainWindowResized();
    MainWindowFirstSize();
    LongMessage();
}

const TScreens g_ChromeScreens(&ChromeScreens);

}  // namespace
