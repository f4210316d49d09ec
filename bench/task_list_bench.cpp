// Task lists at scale: one task with F filter items (default 80,000), and a task list of T tasks
// (default 40,000). Prints the time to save and load the large task, to load every task of the long
// list through the engine (the document, then each task's LoadFromXML), and to open a list of W
// tasks in the main window (one page and tab per task, offscreen) with its time and memory per page.
// Then runs the program as a scheduler starts it ("bramlow-file-sync <task>", offscreen) on the
// first task of that list of W, which copies one file, with its time and peak memory. Asserts
// nothing.
//
// Usage: QT_QPA_PLATFORM=offscreen task_list_bench [--filters F] [--tasks T] [--window-tasks W]
//   W defaults to 1,000: each task's page is a whole window of widgets (about 0.8 MB), so the
//   window's figures at T tasks follow from the per-page ones. 0 leaves the window out.

#include "BenchReport.h"
#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTFolderSource.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "ui/UFMain.h"

#include <QApplication>
#include <pugixml.hpp>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace bfs;
using namespace bfs::bench;

// The masks of the large task: distinct, in an order a wrong walk would not keep.
std::string Mask(int I) {
    return "*.x" + std::to_string((I * 7919) % 1000003);
}

// The program's own pauses in a command-line run that copies something: 1 s between the analysis
// and its sync, 5 s after the run before the program closes.
constexpr double PROGRAM_PAUSES = 6.0;

// A task between two local folders.
void MakeTask(TSyncTask& Task, const char* Name, const char* ID, const std::string& Left = "/tmp/left",
              const std::string& Right = "/tmp/right") {
    Task.SyncName = Name;
    Task.SyncID = ID;
    Task.LFolder->DeviceType = Task.RFolder->DeviceType = DEVICE_LOCAL;
    Task.LFolder->FolerAllName = Left;
    Task.RFolder->FolerAllName = Right;
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

// Writes a task list of Tasks copies of one saved task, each with its own name ("Task <i>") and
// identifier. Given folders, the tasks are two-way between them and sync when run from the command
// line.
void WriteLongList(int Tasks, const std::string& Left = "/tmp/left",
                   const std::string& Right = "/tmp/right") {
    TSyncTask task;
    MakeTask(task, "Task", "task", Left, Right);
    task.IncludeFilter = {"*.txt", "*.doc"};
    task.TSsync = 1;
    // The model is the list's only task: a list written before would hold its own first.
    const std::string path = GetProgramFolder() + "tasklist.fs";
    std::remove(path.c_str());
    task.SaveToTaskList(1);
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

// Runs the program on the first task of a list of Tasks, as a scheduler would, with one file to copy.
void CommandLineRun(int Tasks, const std::string& Scratch) {
    const std::string left = Scratch + "/left", right = Scratch + "/right";
    std::filesystem::remove_all(left);
    std::filesystem::remove_all(right);
    MakeFolders(left);
    MakeFolders(right);
    WriteFileAtomic(left + "/a.txt", "alpha");
    WriteLongList(Tasks, left, right);

    std::string program = BFS_PROGRAM_PATH, name = "Task 0";
    std::vector<char*> args = {program.data(), name.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto t0 = TClock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    const bool ended = rc == 0 && ::wait4(pid, &status, 0, &usage) == pid;
    const double secs = Seconds(t0, TClock::now());
    std::string copied;
    const bool ok = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                    ReadWholeFile(right + "/a.txt", copied) == 0 && copied == "alpha";
    std::printf("A command-line run of one task of %s%s\n", Grouped(Tasks).c_str(), ok ? "" : " (FAILED)");
    std::printf("  run (with %.0f s of the program's own pauses) %6.3f s\n", PROGRAM_PAUSES, secs);
    std::printf("  peak memory                               %8.0f MB\n", usage.ru_maxrss / 1024.0);
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
        CommandLineRun(windowTasks, scratch);
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
