// Task lists at scale: one task with F filter items (default 80,000), and a task list of T tasks
// (default 40,000). Prints the time to save and load the large task, to load every task of the long
// list through the engine (the document, then each task's LoadFromXML), and to open a list of W
// tasks in the main window (one page and tab per task, offscreen) with its time and memory per page.
// Asserts nothing.
//
// Usage: QT_QPA_PLATFORM=offscreen task_list_bench [--filters F] [--tasks T] [--window-tasks W]
//   W defaults to 1,000: each task's page is a whole window of widgets (about 0.8 MB), so the
//   window's figures at T tasks follow from the per-page ones. 0 leaves the window out.

#include "BenchReport.h"
#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/UFMain.h"

#include <QApplication>
#include <pugixml.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using namespace bfs;
using namespace bfs::bench;

// The masks of the large task: distinct, in an order a wrong walk would not keep.
std::string Mask(int I) {
    return "*.x" + std::to_string((I * 7919) % 1000003);
}

// A task between two local folders.
void MakeTask(TSyncTask& Task, const char* Name, const char* ID) {
    Task.SyncName = Name;
    Task.SyncID = ID;
    Task.LFolder->FolerAllName = "/tmp/left";
    Task.RFolder->FolerAllName = "/tmp/right";
}

void LargeFilter(int Filters) {
    TSyncTask task;
    MakeTask(task, "Large filter", "large");
    for (int i = 0; i < Filters; ++i) task.IncludeFilter.push_back(Mask(i));
    task.ExcludeFilter = {"*.tmp"};

    auto t0 = TClock::now();
    const int saved = task.SaveToTaskList(1);
    auto t1 = TClock::now();
    TTaskListDocument doc;
    const int loaded = doc.LoadFile(GetProgramFolder() + "tasklist.fs");
    auto t2 = TClock::now();
    TSyncTask back;
    back.LoadFromXML(doc.GetTaskList().Get_Tast(0));
    auto t3 = TClock::now();

    bool same =
        saved == 0 && loaded == TTaskListDocument::LOAD_OK && back.IncludeFilter == task.IncludeFilter;
    std::printf("One task, %s filter items%s\n", Grouped(Filters).c_str(),
                same ? "" : " (NOT LOADED BACK ALIKE)");
    std::printf("  save (read, change, write the task list)  %8.3f s\n", Seconds(t0, t1));
    std::printf("  parse the task list                       %8.3f s\n", Seconds(t1, t2));
    std::printf("  load the task (LoadFromXML)               %8.3f s\n", Seconds(t2, t3));
    std::remove((GetProgramFolder() + "tasklist.fs").c_str());
}

// Writes a task list of Tasks copies of one saved task, each with its own name and identifier.
void WriteLongList(int Tasks) {
    TSyncTask task;
    MakeTask(task, "Task", "task");
    task.IncludeFilter = {"*.txt", "*.doc"};
    task.SaveToTaskList(1);
    const std::string path = GetProgramFolder() + "tasklist.fs";
    TTaskListDocument one;
    one.LoadFile(path);
    pugi::xml_node model = one.GetTaskList().Get_Tast(0).XmlNode();

    pugi::xml_document doc;
    doc.append_child(pugi::node_declaration).append_attribute("encoding").set_value("utf-8");
    pugi::xml_node root = doc.append_child("TaskList");
    for (int i = 0; i < Tasks; ++i) {
        pugi::xml_node t = root.append_copy(model);
        t.child("SyncID").text().set(("task-" + std::to_string(i)).c_str());
        t.child("SyncName").text().set(("Task " + std::to_string(i)).c_str());
    }
    doc.save_file(path.c_str(), "\t");
}

void LongListThroughEngine(int Tasks) {
    const auto t0 = TClock::now();
    TTaskListDocument doc;
    doc.LoadFile(GetProgramFolder() + "tasklist.fs");
    const auto t1 = TClock::now();
    int count = 0;
    bool inOrder = true;
    for (const TXMLTastType& tast : doc.GetTaskList().Items()) {
        TSyncTask task;
        task.LoadFromXML(tast);
        inOrder = inOrder && task.SyncID == "task-" + std::to_string(count);
        ++count;
    }
    const auto t2 = TClock::now();
    std::printf("A task list of %s tasks%s\n", Grouped(Tasks).c_str(),
                count == Tasks && inOrder ? "" : " (NOT LOADED IN ORDER)");
    std::printf("  parse the task list                       %8.3f s\n", Seconds(t0, t1));
    std::printf("  load every task (LoadFromXML)             %8.3f s\n", Seconds(t1, t2));
}

void LongListThroughWindow(int Tasks) {
    TPeakMeter peak;
    auto t0 = TClock::now();
    long long windows = 0;
    {
        TFMain main;
        const auto t1 = TClock::now();
        main.LoadTaskList("");
        const auto t2 = TClock::now();
        // What the load left for the event loop (layouts, the shown page), as the program's loop
        // would take it next.
        QCoreApplication::processEvents();
        const auto t3 = TClock::now();
        windows = static_cast<long long>(main.LiveTaskWindows().size());
        std::printf("The main window, %s tasks (%s pages)\n", Grouped(Tasks).c_str(),
                    Grouped(windows).c_str());
        std::printf("  open the main window                      %8.3f s\n", Seconds(t0, t1));
        std::printf("  load the task list (a page and tab each)  %8.3f s\n", Seconds(t1, t2));
        std::printf("  the events the load left                  %8.3f s\n", Seconds(t2, t3));
        std::printf("  peak memory                               %8.0f MB\n", peak.Peak() / 1048576.0);
        if (windows > 0)
            std::printf("  per page: %.2f ms to load, %.2f MB at the peak\n",
                        Seconds(t1, t3) * 1000 / windows, peak.Peak() / 1048576.0 / windows);
        t0 = TClock::now();
    }
    std::printf("  close (every page)                        %8.3f s\n", Seconds(t0, TClock::now()));
}

}  // namespace

int main(int argc, char** argv) {
    int filters = 80000, tasks = 40000, windowTasks = 1000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--filters") == 0)
            filters = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--tasks") == 0)
            tasks = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--window-tasks") == 0)
            windowTasks = std::atoi(argv[++i]);
    }
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The program folder and the rest live in a scratch folder, removed at the end.
    char scratch[] = "/tmp/bfs-tasklist-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return 1;
    for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        ::setenv(var, (std::string(scratch) + "/" + var).c_str(), 1);
    ::mkdir((std::string(scratch) + "/XDG_RUNTIME_DIR").c_str(), 0700);
    QApplication app(argc, argv);

    if (filters > 0) LargeFilter(filters);
    if (tasks > 0) {
        WriteLongList(tasks);
        LongListThroughEngine(tasks);
    }
    if (windowTasks > 0) {
        if (windowTasks != tasks) WriteLongList(windowTasks);
        LongListThroughWindow(windowTasks);
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
