// Renders every window in its telling states into PNG files, offscreen, for people to look at:
//   bfs-screens DIR [SUFFIX]
// Each picture is DIR/<window>-<state><SUFFIX>.png. The sides are in-memory stores (the test back-end),
// so every run looks the same.

#include "Screens.h"

#include "GatedFileOper.h"
#include "model/UTConsts.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"
#include "ui/UFTaskConfig.h"
#include "ui/UTAutomation.h"
#include "ui/UTSeedFolder.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace bfs;
using namespace bfs::test;

namespace {

QString g_Dir;
QString g_Suffix;

std::vector<void (*)()>& Registered() {
    static std::vector<void (*)()> screens;
    return screens;
}

}  // namespace

int g_Failures = 0;

TScreens::TScreens(void (*Render)()) {
    Registered().push_back(Render);
}

void Save(QWidget& W, const QString& Name) {
    QCoreApplication::processEvents();
    const QString file = g_Dir + "/" + Name + g_Suffix + ".png";
    if (!W.grab().save(file)) {
        std::fprintf(stderr, "screens: cannot write %s\n", qPrintable(file));
        ++g_Failures;
    } else {
        std::printf("%s\n", qPrintable(file));
    }
}

void WaitFor(const std::function<bool()>& Done, const char* What) {
    for (int i = 0; i < 4000 && !Done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
    if (!Done()) {
        std::fprintf(stderr, "screens: %s never happened\n", What);
        ++g_Failures;
    }
}

namespace {

void WaitIdle(TFSyncMain& W) {
    WaitFor([&] { return !W.Running(); }, "the end of the run");
}

// Holds every copy from the Nth on until let go.
struct TSlowPuts {
    std::atomic<int> Count{0};
    int HoldFrom = 1 << 30;
    TGate Gate;
};

class TSlowOper : public TMemFileOper {
  public:
    TSlowOper(TMemStoreRef Store, TSlowPuts& Puts) : TMemFileOper(std::move(Store)), m_Puts(Puts) {}
    int32_t PutFile(const std::string& LocalPath, TFolderSource& Source, const TFileAttri& A, int32_t Flags,
                    bool Log) override {
        if (++m_Puts.Count >= m_Puts.HoldFrom) m_Puts.Gate.Wait([] { return false; });
        return TMemFileOper::PutFile(LocalPath, Source, A, Flags, Log);
    }

  private:
    TSlowPuts& m_Puts;
};

void TaskWindowScreens() {
    auto left = std::make_shared<TMemStore>(), right = std::make_shared<TMemStore>();
    TSlowPuts puts;
    TSyncTask::SetFileOperFactory([&](const TFolderSource& f, bool) -> std::unique_ptr<TFileOper> {
        if (f.DeviceType == DEVICE_LOCAL) return nullptr;  // the program's own local side
        return std::make_unique<TSlowOper>(f.FolerAllName.find("left") != std::string::npos ? left : right,
                                           puts);
    });
    TFSyncMain w;
    TSyncTask& t = *w.Task;
    t.SyncName = "Photos";
    t.SyncID = "{screens}";
    t.IsDeleteFile = 1;
    t.LFolder->DeviceType = t.RFolder->DeviceType = DEVICE_WEBDAV;
    t.LFolder->FolerAllName = "https://dav.example.org/left/Photos";
    t.RFolder->FolerAllName = "https://dav.example.org/right/Photos";
    t.ExcludeFilter = {"*.tmp"};
    w.resize(1040, 660);
    w.show();
    Save(w, "task-window-empty");

    // A first sync makes both sides equal and records their states.
    const int32_t day = (45 << 25) | (3 << 21) | (14 << 16), later = day + (1 << 11);
    for (const char* f : {"/2024/beach.jpg", "/2024/boat.jpg", "/2024/dunes.jpg", "/2025/city.png",
                          "/2025/tower.png", "/notes.txt", "/old.doc", "/albums/summer.xml"})
        left->AddFile(f, std::string(1000 + std::strlen(f) * 731, 'x'), day);
    left->AddFile("/cache.tmp", "tmp", day);
    w.StartAnalyze();
    WaitIdle(w);
    w.BitBtn_SyncClick();
    WaitIdle(w);

    // Changes on both sides since: every kind of row.
    left->AddFile("/2024/beach.jpg", std::string(5200, 'l'), later);  // overwrite to the right
    right->AddFile("/2025/city.png", std::string(7300, 'r'), later);  // overwrite to the left
    left->AddFile("/notes.txt", "left edit", later);                  // conflict
    right->AddFile("/notes.txt", "right edit", later + 2);
    left->Remove("/old.doc");                                             // deleted on the left
    right->Remove("/2024/dunes.jpg");                                     // deleted on the right
    left->AddFile("/2025/new-left.png", std::string(3100, 'n'), later);   // new on the left
    right->AddFile("/scans/receipt.pdf", std::string(9100, 'p'), later);  // new on the right
    left->AddFile("/draft.tmp", "tmp", later);                            // excluded
    right->AddFile("/albums/summer.xml", "<broken", later);
    right->FailPaths.insert("/albums/summer.xml");
    w.StartAnalyze();
    WaitIdle(w);
    static const char* const names[11] = {"all",      "changes",       "conflicts",    "errors",
                                          "included", "excluded",      "new",          "overwrite",
                                          "delete",   "left-to-right", "right-to-left"};
    for (int kind = 0; kind < 11; ++kind) {
        w.ShowView(kind);
        Save(w, QStringLiteral("task-window-analysis-%1").arg(names[kind]));
    }
    w.ShowView(VIEW_CHANGES);
    // A selected row keeps its action picture readable on the selection colour.
    const QAbstractItemModel& plan = *w.VST1->model();
    const QModelIndex selected = plan.index(0, 0, plan.index(0, 0, plan.index(0, 0)));
    w.VST1->setCurrentIndex(selected);
    Save(w, "task-window-selected-row");
    w.VST1->clearSelection();

    // A sync caught in the middle, then its end with a failed row.
    puts.Count = 0;
    puts.HoldFrom = 3;
    puts.Gate.Close();
    w.BitBtn_SyncClick();
    WaitFor([&] { return puts.Gate.Waiting.load() > 0; }, "a copy held in the middle of the sync");
    Save(w, "task-window-syncing");
    puts.Gate.Open();
    WaitIdle(w);
    Save(w, "task-window-after-sync");
    w.ShowView(VIEW_ERRORS);
    Save(w, "task-window-failed-row");

    // The keyboard's focus on Analyze.
    w.BitBtn_Analyze->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    Save(w, "task-window-focus");

    // A run that does not start: the left folder is on a disk not plugged in.
    t.LFolder->DeviceType = DEVICE_LOCAL;
    t.LFolder->FolerAllName = "/media/anna/Backup disk/Photos";
    w.edit_LFolder->setText(QString::fromStdString(t.LFolder->FolerAllName));
    w.StartAnalyze();
    WaitIdle(w);
    Save(w, "task-window-missing-folder");
    w.close();
    TSyncTask::SetFileOperFactory({});
}

void UpdateBoxScreens() {
    const struct {
        const char* Name;
        const char* Text;
        int Flags;
    } boxes[] = {
        {"update-newer", "A newer version of Bramlow File Sync is available. Would you like to update now?",
         MB_YESNO | MB_ICONINFORMATION},
        {"update-up-to-date",
         "There are no updates available at this time.\rYour Bramlow File Sync is up-to-date.",
         MB_ICONINFORMATION},
        {"update-failed",
         "Can not download the new version.\rBecause Can not connect "
         "http://update.bramlow-file-sync.example/,Please "
         "check the network.",
         MB_ICONINFORMATION},
        {"disk-space", "Right Folder disk space is not enough.", MB_ICONERROR},
    };
    for (const auto& b : boxes) {
        std::unique_ptr<QMessageBox> box =
            BuildMessageBox(QString::fromUtf8(b.Text), "Bramlow File Sync", b.Flags);
        box->show();
        Save(*box, b.Name);
    }
}

// The task configuration window: each page of a one-way task, a value it refuses with the box that
// says so, and a new task.
void TaskConfigScreens() {
    TFTaskConfig w;
    TSyncTask& t = *w.Task;
    t.SyncName = "Photos";
    t.SyncID = "{screens-config}";
    t.LFolder->DeviceType = DEVICE_LOCAL;
    t.LFolder->FolerAllName = "/home/anna/Pictures";
    t.RFolder->DeviceType = DEVICE_WEBDAV;
    t.RFolder->FolerAllName = "https://dav.example.org/backup/Pictures";
    t.SyncDirection = 1;
    t.SaveOldFile = t.UseTempFile = 1;
    t.ExcludeFilter = {"*.tmp", "Thumbs.db", "cache\\*"};
    t.IncludeFilter = {"*.jpg", "*.png"};
    t.ExcludeFileSizeMin = 500LL << 20;
    t.IncludeFileTimeMin = (40 << 25) | (1 << 21) | (1 << 16);  // 01/01/2020 00:00
    t.ExcludeEmtpyFolder = t.ExcludeHiddenFile = 1;
    t.StartAnalyze = t.ConnectSync = t.ConnectAnalyze = t.PeriodAnalyze = 1;
    t.Hours = 6;
    t.minutes = 30;
    t.Conflicts = 1;
    w.show();
    Save(w, "task-config-general");
    w.SelectTab(w.select2button);
    Save(w, "task-config-filter");
    w.SelectTab(w.select3button);
    Save(w, "task-config-automation");

    // At most 20 MB while at least 500 MB: refused, the focus on the field at fault.
    std::unique_ptr<QMessageBox> box;
    const TMessageBoxFunc shown = MessageBoxFunc;
    MessageBoxFunc = [&](const QString& Text, const QString& Caption, int Flags) {
        box = BuildMessageBox(Text, Caption, Flags, &w);
        return IDOK;
    };
    w.cb_filesizemax->setChecked(true);
    w.Edit_exfilesizemax->setText("20");
    w.Edit_exfilesizemax_b->setCurrentIndex(2);
    w.BitBtn_okClick();
    MessageBoxFunc = shown;
    if (!box) {
        std::fprintf(stderr, "screens: the refused size never showed its message\n");
        ++g_Failures;
    } else {
        Save(w, "task-config-refused");
        box->show();
        Save(*box, "task-config-refused-message");
    }
    w.close();

    TFTaskConfig created;
    created.IsNew = true;
    created.show();
    Save(created, "task-config-new");
    created.close();
}

// The main window: no task yet, three tasks, and so many that the tab strip scrolls.
void MainWindowScreens() {
    const std::string list = GetProgramFolder() + "tasklist.fs";
    std::remove(list.c_str());
    auto shoot = [](const char* Name, int ScrollClicks) {
        TFMain w;
        // The narrowest window, where the tabs run out of room, else the size it likes on a screen
        // with room for it.
        w.resize(ScrollClicks > 0 ? QSize(832, 618) : QSize(1040, 660));
        w.show();
        w.LoadTaskList("");
        for (int i = 0; i < ScrollClicks; ++i) w.MoveRightButtonClick();
        if (ScrollClicks > 0 && (!w.MoveRightButton->isVisible() || w.Pl_jobs->x() >= 0)) {
            std::fprintf(stderr, "screens: the tab strip never scrolled\n");
            ++g_Failures;
        }
        Save(w, Name);
    };
    shoot("main-window-empty", 0);
    const char* const names[] = {"Photos",       "Documents",  "Music backup", "Projects",
                                 "Mail archive", "Scans",      "Videos",       "Notes",
                                 "Website",      "Old laptop", "Recipes",      "Taxes 2024"};
    auto add = [&](int From, int To) {
        for (int i = From; i < To; ++i) {
            TSyncTask t;
            t.SyncName = names[i];
            t.SyncID = "{screens-main-" + std::to_string(i) + "}";
            t.LFolder->FolerAllName = std::string("/home/anna/") + names[i];
            t.RFolder->DeviceType = DEVICE_WEBDAV;
            t.RFolder->FolerAllName = std::string("https://dav.example.org/backup/") + names[i];
            t.SaveToTaskList(1);
        }
    };
    add(0, 3);
    shoot("main-window-three-tasks", 0);
    add(3, 12);
    shoot("main-window-scrolled-tabs", 3);
    std::remove(list.c_str());
}

// The notification-area icon's menu, as the main window fills it.
void TrayMenuScreens() {
    TFMain window;
    window.Automation->CreateTrayIcon();
    QMenu& menu = *window.Automation->pop_tray;
    menu.popup(QPoint(40, 40));
    Save(menu, "tray-menu");
    menu.hide();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bfs-screens DIR [SUFFIX]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    QApplication app(argc, argv);
    g_Dir = QString::fromLocal8Bit(argv[1]);
    g_Suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QDir().mkpath(g_Dir);
    SeedProgramFolder();
    SysConfig().Load(std::string(SETTINGS_FILE_NAME));
    SysConfig().OpenLanguage(SysConfig().curlang);
    TDM dm;
    TaskWindowScreens();
    UpdateBoxScreens();
    MainWindowScreens();
    TaskConfigScreens();
    TrayMenuScreens();
    for (void (*render)() : Registered()) render();
    return g_Failures == 0 ? 0 : 1;
}
