// The program a user runs against its engine alone, on the same trees in the same run:
//   program_bench [--quick] [--repeat R]
// Each run is a two-way task between two local folders: the engine through TTaskRun (scan,
// analysis, sync, new saved states), the program as a scheduler starts it
// ("bramlow-file-sync <task>", offscreen) on a twin pair of folders. The program's designed waits
// (the pause between the analysis and its sync, the close after a command-line run) are taken out
// of its time. Runs: first sync of 10,000 and 100,000 small files, then at 100,000 a no-op run and
// a run after 1% changes on each side. --quick: 2,000 and 10,000 files. Each run is made R times
// (default 2), engine and program taking turns, and each is judged by its fastest: the disk's own
// hiccups then weigh on neither. The program's fixed cost (its start and close around a run of two
// empty folders) is printed apart; it is part of every program time.

#include "BenchReport.h"
#include "engine/UTSyncTask.h"
#include "engine/UTTaskRun.h"
#include "model/UTConsts.h"
#include "platform/UTAtomicFile.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

using namespace bfs;
using namespace bfs::bench;
namespace fs = std::filesystem;

namespace {

// The program's own pauses in a command-line run: after an analysis that leaves something to do,
// 1 s before its sync starts; after the last run, 5 s before the program closes.
constexpr double SYNC_PAUSE = 1.0;
constexpr double CLOSE_PAUSE = 5.0;
constexpr int FILES_PER_FOLDER = 1000;
constexpr double GOAL = 1.1;

std::string g_Home;

// Writes a small file (no flush: the trees are scratch) with the given date.
void WriteDated(const std::string& Path, const std::string& Text, time_t Date) {
    std::FILE* f = std::fopen(Path.c_str(), "we");
    if (!f) return;
    std::fwrite(Text.data(), 1, Text.size(), f);
    std::fclose(f);
    const timespec times[2] = {{Date, 0}, {Date, 0}};
    ::utimensat(AT_FDCWD, Path.c_str(), times, 0);
}

std::string FilePath(const std::string& Root, int I) {
    return Root + "/d" + std::to_string(I / FILES_PER_FOLDER) + "/f" + std::to_string(I) + ".txt";
}

// Files "d<k>/f<i>.txt" of a few bytes, all with one date, in as many folders as it takes.
void MakeTree(const std::string& Root, int Files) {
    for (int i = 0; i < Files; ++i) {
        if (i % FILES_PER_FOLDER == 0) MakeFolders(Root + "/d" + std::to_string(i / FILES_PER_FOLDER));
        WriteDated(FilePath(Root, i), "file " + std::to_string(i) + "\n", 1600000000);
    }
}

// Every hundredth file of Root gets a new content and date (Offset picks which; each Round its own).
void ChangeOnePercent(const std::string& Root, int Files, int Offset, int Round) {
    for (int i = Offset; i < Files; i += 100)
        WriteDated(FilePath(Root, i), "changed " + std::to_string(Round) + " " + std::to_string(i) + "\n",
                   1700000000 + Round * 100);
}

// Makes a pair the first sync finds again: the right side empty, no saved states.
void Unsync(const std::string& Left, const std::string& Right) {
    std::error_code ec;
    fs::remove_all(Right, ec);
    fs::remove_all(Left + "/" + MARKER_FOLDER, ec);
    MakeFolders(Right);
}

// Whether both sides of a pair hold the 1% changes of both sides (a run that did not sync is no
// measure of a sync).
bool Synced(const std::string& Left, const std::string& Right, int Files) {
    for (int i : {0, 50, Files - 50}) {
        std::string l, r;
        if (ReadWholeFile(FilePath(Left, i), l) != 0 || ReadWholeFile(FilePath(Right, i), r) != 0 || l != r ||
            !l.starts_with("changed"))
            return false;
    }
    return true;
}

void Configure(TSyncTask& Task, const std::string& Name, const std::string& Left, const std::string& Right) {
    Task.SyncName = Name;
    Task.SyncDirection = 0;
    Task.IsDeleteFile = 1;
    Task.TSsync = 1;
    Task.TSanalyze = 1;
    for (auto [folder, path] : {std::pair{Task.LFolder.get(), Left}, std::pair{Task.RFolder.get(), Right}}) {
        folder->DeviceType = DEVICE_LOCAL;
        folder->FolerAllName = path;
    }
}

struct TEngineRun {
    double Seconds = -1;
    bool Changed = false;  // the plan held something to do
};

TEngineRun RunEngine(const std::string& Left, const std::string& Right) {
    TSyncTask task;
    Configure(task, "engine", Left, Right);
    task.SyncID = "ENGINE";
    TTaskRun run(task);
    TEngineRun result;
    const auto t0 = TClock::now();
    if (run.StartScan() != 0 || run.FinishScan() != 0 || run.Analyze() != 0) {
        std::fprintf(stderr, "program_bench: the engine run failed: %s\n", run.ErrorText.c_str());
        return result;
    }
    const TFileTree& r = *run.ResultTree;
    result.Changed = r.LtoRCount + r.RtoLCount + r.DeleteCount > 0;
    if (result.Changed) run.Sync();
    result.Seconds = Seconds(t0, TClock::now());
    return result;
}

// The program started as a scheduler starts it; its wall time, or -1 when it failed.
double RunProgram(const std::string& Task) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (!var.starts_with("XDG_") && !var.starts_with("QT_QPA_PLATFORM=")) env.push_back(var);
    }
    for (const char* var : {"CONFIG", "DATA", "CACHE"})
        env.push_back(std::string("XDG_") + var + "_HOME=" + g_Home + "/" + var);
    env.push_back("XDG_RUNTIME_DIR=" + g_Home);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp, argv;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string program = BFS_PROGRAM_PATH, name = Task;
    argv = {program.data(), name.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto t0 = TClock::now();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double secs = Seconds(t0, TClock::now());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? secs : -1;
}

void PrintRow(const std::string& What, const TEngineRun& Engine, double Program) {
    const double waits = CLOSE_PAUSE + (Engine.Changed ? SYNC_PAUSE : 0);
    const double own = Program - waits;
    if (Engine.Seconds < 0 || Program < 0) {
        std::printf("%-44s %10s %12s %8s\n", What.c_str(), "failed", "failed", "");
        return;
    }
    const double ratio = own / Engine.Seconds;
    std::printf("%-44s %9ss %11ss %7sx  goal <= %sx: %s\n", What.c_str(), Fixed(Engine.Seconds, 2).c_str(),
                Fixed(own, 2).c_str(), Fixed(ratio, 2).c_str(), Fixed(GOAL, 1).c_str(),
                ratio <= GOAL ? "met" : "missed");
}

// Runs the engine and the program Repeat times each, taking turns (Prepare before every run, with
// the run's number), and prints the fastest of each.
void Measure(const std::string& What, int Repeat, const std::string& Task, const std::string& EngineLeft,
             const std::string& EngineRight, const std::string& ProgramLeft, const std::string& ProgramRight,
             const std::function<void(const std::string&, const std::string&, int)>& Prepare) {
    TEngineRun engine{-1, false};
    double program = -1;
    bool failed = false;
    for (int round = 0; round < Repeat; ++round) {
        if (Prepare) Prepare(EngineLeft, EngineRight, round);
        const TEngineRun e = RunEngine(EngineLeft, EngineRight);
        if (Prepare) Prepare(ProgramLeft, ProgramRight, round);
        const double p = RunProgram(Task);
        failed = failed || e.Seconds < 0 || p < 0;
        if (engine.Seconds < 0 || e.Seconds < engine.Seconds) engine = e;
        if (program < 0 || p < program) program = p;
    }
    if (failed) engine.Seconds = program = -1;
    PrintRow(What, engine, program);
}

}  // namespace

int main(int argc, char* argv[]) {
    bool quick = false;
    int repeat = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: program_bench [--quick] [--repeat R]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/bfs-program-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    g_Home = pattern;
    for (const char* var : {"CONFIG", "DATA", "CACHE"})
        ::setenv((std::string("XDG_") + var + "_HOME").c_str(), (g_Home + "/" + var).c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", g_Home.c_str(), 1);

    std::printf(
        "The program (bramlow-file-sync <task>, offscreen, its designed %gs and %gs waits taken out)\n"
        "against the engine alone (TTaskRun), two-way, local folders, fastest of %d runs each\n\n",
        SYNC_PAUSE, CLOSE_PAUSE, repeat);
    int taskNumber = 0;
    const auto addTask = [&](const std::string& Left, const std::string& Right) {
        TSyncTask task;
        const std::string name = "bench" + std::to_string(++taskNumber);
        Configure(task, name, Left, Right);
        return task.SaveToTaskList(1) == 0 ? name : std::string();
    };

    // The fixed cost: a start, a run over two empty folders, a close. The first start also fills
    // the font cache of the fresh home, as a user's first start once did: it is not counted.
    const std::string emptyLeft = g_Home + "/empty-left", emptyRight = g_Home + "/empty-right";
    MakeFolders(emptyLeft), MakeFolders(emptyRight);
    const std::string empty = addTask(emptyLeft, emptyRight);
    if (empty.empty()) {
        std::fprintf(stderr, "program_bench: cannot write the task list\n");
        return 1;
    }
    RunProgram(empty);
    double fixed = -1;
    for (int round = 0; round < std::max(3, repeat); ++round) {
        const double p = RunProgram(empty);
        if (p >= 0 && (fixed < 0 || p < fixed)) fixed = p;
    }
    std::printf("the program's start and close around a run of two empty folders: %s s\n\n",
                fixed < 0 ? "failed" : Fixed(fixed - CLOSE_PAUSE, 3).c_str());

    std::printf("%-44s %10s %12s %8s\n", "run", "engine", "program", "ratio");
    const int small = quick ? 2000 : 10000, large = quick ? 10000 : 100000;
    for (int files : {small, large}) {
        const std::string base = g_Home + "/t" + std::to_string(files);
        const std::string el = base + "/engine-left", er = base + "/engine-right";
        const std::string pl = base + "/program-left", pr = base + "/program-right";
        for (const std::string& f : {el, er, pl, pr}) MakeFolders(f);
        MakeTree(el, files);
        MakeTree(pl, files);
        const std::string name = addTask(pl, pr);
        if (name.empty()) {
            std::fprintf(stderr, "program_bench: cannot write the task list\n");
            return 1;
        }
        const std::string count = Grouped(files);
        Measure("first sync, " + count + " files", repeat, name, el, er, pl, pr,
                [](const std::string& Left, const std::string& Right, int) { Unsync(Left, Right); });
        if (files != large) continue;
        Measure("no-op, " + count + " files a side", repeat, name, el, er, pl, pr, {});
        Measure("1% changed on each side, " + count + " files", repeat, name, el, er, pl, pr,
                [files](const std::string& Left, const std::string& Right, int Round) {
                    ChangeOnePercent(Left, files, 0, Round);
                    ChangeOnePercent(Right, files, 50, Round);
                });
        if (!Synced(el, er, files) || !Synced(pl, pr, files))
            std::printf("  (the changes did not reach both sides: engine %s, program %s)\n",
                        Synced(el, er, files) ? "synced" : "not synced",
                        Synced(pl, pr, files) ? "synced" : "not synced");
    }
    std::error_code ec;
    fs::remove_all(g_Home, ec);
    return 0;
}
