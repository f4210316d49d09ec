// Opens one task window on a task of a task-list file, before the main window exists:
//   bfs-task-window "<task name>" [TASK-LIST FILE]
// The task list defaults to "tasklist.fs" of the program folder; the window works on the program
// folder's settings and language file like the program itself.

#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/UFSyncMain.h"
#include "ui/UTSeedFolder.h"

#include <QApplication>

#include <cstdio>
#include <string>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Bramlow File Sync"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: bfs-task-window \"<task name>\" [task-list file]\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::string list = argc > 2 ? argv[2] : bfs::GetProgramFolder() + "tasklist.fs";

    bfs::SeedProgramFolder();
    auto& config = bfs::SysConfig();
    config.Load(std::string(bfs::SETTINGS_FILE_NAME));
    config.OpenLanguage(config.curlang);
    bfs::ReadRegistryInfo();
    bfs::TDM dm;

    bfs::TTaskListDocument doc;
    if (const int rc = doc.LoadFile(list); rc != bfs::TTaskListDocument::LOAD_OK) {
        std::fprintf(stderr, "bfs-task-window: cannot read %s: %s\n", list.c_str(), doc.ErrorText().c_str());
        return 1;
    }
    const bfs::TXMLTaskListType tasks = doc.GetTaskList();
    for (const bfs::TXMLTastType& tast : tasks.Items()) {
        if (tast.Get_SyncName() != name) continue;
        bfs::TFSyncMain window;
        window.Task->LoadFromXML(tast);
        window.setWindowTitle(QString::fromStdString(name) + QStringLiteral(" - Bramlow File Sync"));
        window.resize(1040, 660);
        window.show();
        return app.exec();
    }
    std::fprintf(stderr, "bfs-task-window: no task named \"%s\" in %s\n", name.c_str(), list.c_str());
    return 1;
}
