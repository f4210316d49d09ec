#include "ui/UTAutomation.h"

#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "ui/UFSyncMain.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMenu>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace bfs {

// A task window as the automatic-run rules see it; its runs are started through the automation so
// that their ends can be waited for.
class TAutomation::TWindowTarget : public IAutoRunTarget {
  public:
    TWindowTarget(TAutomation& Owner, TFSyncMain& Window, TRunOwner RunOwner)
        : m_Owner(Owner), m_Window(Window), m_RunOwner(RunOwner) {}
    TSyncTask& AutoTask() override { return *m_Window.Task; }
    bool AutoBusy() const override { return m_Window.Running(); }
    void AutoStart(TAutoRunMode Mode) override { m_Owner.StartRun(m_Window, Mode, m_RunOwner); }

  private:
    TAutomation& m_Owner;
    TFSyncMain& m_Window;
    TRunOwner m_RunOwner;
};

TAutomation::TAutomation(QObject* Parent)
    : QObject(Parent),
      Quit([](int ExitCode) { QCoreApplication::exit(ExitCode); }),
      Timer_task(new QTimer(this)),
      m_MountTimer(new QTimer(this)),
      m_FinishTimer(new QTimer(this)) {
    Timer_task->setInterval(60000);
    connect(Timer_task, &QTimer::timeout, this, &TAutomation::Timer_taskTimer);
    connect(m_MountTimer, &QTimer::timeout, this, &TAutomation::PollMounts);
    m_FinishTimer->setSingleShot(true);
    // The pause before a close or a power-off is as long as it says (a coarse timer may end it early).
    m_FinishTimer->setTimerType(Qt::PreciseTimer);
    connect(m_FinishTimer, &QTimer::timeout, this, &TAutomation::FinishTimeout);
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager&) { SessionEnding(); });
}

TAutomation::~TAutomation() {
    // The icon refers to its menu: it goes first.
    delete TrayIcon;
    delete pop_tray;
}

void TAutomation::Start(const std::optional<std::string>& CommandLineTask) {
    if (SysConfig().ShowTrayIcon == 1) CreateTrayIcon();
    LastTimerCheck = TAutoClock::now();
    Timer_task->start();
    m_Mounts = TMountTable(MountTableFile);
    m_Mounts.Added();
    m_MountTimer->start(Delays.MountPoll);
    if (CommandLineTask) RunCommandLineTask(*CommandLineTask);
    QTimer::singleShot(Delays.StartRuns, this, [this] { CheckAutoRun(AUTORUN_START); });
}

std::vector<IAutoRunTarget*> TAutomation::Targets(std::vector<TWindowTarget>& Storage, TRunOwner Owner) {
    std::vector<TFSyncMain*> windows;
    if (LiveWindows) windows = LiveWindows();
    Storage.reserve(windows.size());
    std::vector<IAutoRunTarget*> targets;
    for (TFSyncMain* w : windows)
        if (w && w->Task) targets.push_back(&Storage.emplace_back(*this, *w, Owner));
    return targets;
}

void TAutomation::CheckAutoRun(int Event, const std::string& MountPoint) {
    std::vector<TWindowTarget> storage;
    const auto targets =
        Targets(storage, Event == AUTORUN_SESSION_END ? TRunOwner::SessionEnd : TRunOwner::Automatic);
    bfs::CheckAutoRun(targets, Event, MountPoint, TAutoClock::now());
}

void TAutomation::Timer_taskTimer() {
    if (AcceptTick(LastTimerCheck, TAutoClock::now())) CheckAutoRun(AUTORUN_TICK);
}

void TAutomation::PollMounts() {
    for (const std::string& point : m_Mounts.Added())
        QTimer::singleShot(Delays.MountSettle, this, [this, point] { CheckAutoRun(AUTORUN_MOUNT, point); });
}

void TAutomation::StartRun(TFSyncMain& Window, TAutoRunMode Mode, TRunOwner Owner) {
    connect(&Window, &TFSyncMain::RunEnded, this, &TAutomation::OnRunEnded, Qt::UniqueConnection);
    connect(&Window, &QObject::destroyed, this, &TAutomation::ForgetGoneWindows, Qt::UniqueConnection);
    const TTrackedRun run{&Window, Owner, Window.Task->SyncName};
    if (Owner != TRunOwner::Automatic) {
        // The first end of a run that this window reports is taken as the end of this one: a
        // window that is already running would report the end of another run.
        if (Window.Running()) {
            RunDone(run, true, "the task was already running");
            return;
        }
        m_Runs.push_back(run);
    }
    if (Mode == TAutoRunMode::AnalyzeSync)
        Window.AnalyzeThenSync();
    else
        Window.StartAnalyze();
    if (Owner == TRunOwner::Automatic) return;
    // A run that was refused has already ended (RunEnded). One that neither started nor ended
    // would be waited for in vain.
    auto it =
        std::find_if(m_Runs.begin(), m_Runs.end(), [&](const TTrackedRun& r) { return r.Window == &Window; });
    if (it != m_Runs.end() && !Window.Running()) {
        m_Runs.erase(it);
        RunDone(run, true, "the run did not start");
    }
}

void TAutomation::OnRunEnded(bool Failed, const QString& Reason) {
    auto* window = qobject_cast<TFSyncMain*>(sender());
    auto it =
        std::find_if(m_Runs.begin(), m_Runs.end(), [&](const TTrackedRun& r) { return r.Window == window; });
    if (!window || it == m_Runs.end()) return;
    const TTrackedRun run = *it;
    m_Runs.erase(it);
    if (Reason.isEmpty())
        RunDone(run, Failed, "the run failed, was cancelled or could not list a side");
    else
        RunDone(run, Failed, Reason.toStdString(), true);
}

void TAutomation::ForgetGoneWindows() {
    // The pointers of a window being destroyed are already cleared.
    std::vector<TTrackedRun> gone;
    std::erase_if(m_Runs, [&](const TTrackedRun& r) {
        if (r.Window) return false;
        gone.push_back(r);
        return true;
    });
    for (const TTrackedRun& r : gone) RunDone(r, true, "the task window closed before its run ended");
}

void TAutomation::RunDone(const TTrackedRun& Run, bool Failed, const std::string& Reason, bool WholeLine) {
    switch (Run.Owner) {
        case TRunOwner::Automatic:
            break;
        case TRunOwner::CommandLine:
            if (Failed) CommandLineFailure(WholeLine ? Reason : "task \"" + Run.Name + "\": " + Reason);
            CheckCommandLineDone();
            break;
        case TRunOwner::SessionEnd:
            if (m_SessionLoop && !Waiting(TRunOwner::SessionEnd)) m_SessionLoop->quit();
            break;
    }
}

void TAutomation::Unexpected(QObject* Receiver, const std::string& What) {
    for (QObject* o = Receiver; o; o = o->parent())
        if (auto* window = qobject_cast<TFSyncMain*>(o)) {
            window->RunFault(What);
            return;
        }
    if (!m_CommandLine) return;
    // Ending a run changes m_Runs.
    const std::vector<TTrackedRun> runs = m_Runs;
    for (const TTrackedRun& r : runs)
        if (r.Owner == TRunOwner::CommandLine && r.Window) r.Window->RunFault(What);
}

bool TAutomation::Waiting(TRunOwner Owner) const {
    return std::any_of(m_Runs.begin(), m_Runs.end(), [&](const TTrackedRun& r) { return r.Owner == Owner; });
}

bool TAutomation::AnyTaskRunning() const {
    if (!m_Runs.empty()) return true;
    if (!LiveWindows) return false;
    for (TFSyncMain* w : LiveWindows())
        if (w && w->Running()) return true;
    return false;
}

void TAutomation::RunCommandLineTask(const std::string& Name) {
    m_CommandLine = true;
    m_CommandLineStarting = true;
    std::vector<TWindowTarget> storage;
    const TCommandLineRuns runs = bfs::RunCommandLineTask(Targets(storage, TRunOwner::CommandLine), Name);
    if (runs.Matched > 0) StartedFromCommandLine = true;
    if (runs.Matched == 0)
        CommandLineFailure("no task is named \"" + Trim(Name) + "\"");
    else if (runs.Started.empty())
        CommandLineFailure("task \"" + Trim(Name) +
                           "\" has neither analysis nor sync set for scheduled runs");
    m_CommandLineStarting = false;
    CheckCommandLineDone();
}

void TAutomation::CommandLineFailure(const std::string& Reason) {
    m_CommandLineFailed = true;
    std::fprintf(stderr, "Bramlow File Sync: %s\n", Reason.c_str());
    std::fflush(stderr);
}

void TAutomation::CheckCommandLineDone() {
    if (!m_CommandLine || m_CommandLineStarting || m_ClosePending || m_Closed ||
        Waiting(TRunOwner::CommandLine))
        return;
    m_ClosePending = true;
    ArmFinish();
}

void TAutomation::TaskFinished() {
    if (SysConfig().AutoClose != 1) return;
    m_PowerOffPending = true;
    ArmFinish();
}

void TAutomation::ArmFinish() {
    m_IdleSeen = false;
    m_FinishTimer->start(Delays.Finish);
}

void TAutomation::FinishTimeout() {
    if (m_PowerOffPending) {
        // Power off only when nothing has run for a while: a run between its analysis and its sync
        // is idle for a moment, and its sync must not be cut off.
        const bool running = AnyTaskRunning();
        if (running || !m_IdleSeen) {
            m_IdleSeen = !running;
            m_FinishTimer->start(Delays.IdleSettle);
            return;
        }
        m_PowerOffPending = false;
        if (ShutdownComputer() != 1)
            TMyException::Instance().LogError("ShutdownComputer", "EOSError", "the power-off command failed");
    }
    m_IdleSeen = false;
    // A command-line instance closes after its power-off, so that the power-off is not lost.
    if (m_ClosePending) {
        m_ClosePending = false;
        m_Closed = true;
        if (Quit) Quit(m_CommandLineFailed ? 1 : 0);
    }
}

void TAutomation::SessionEnding() {
    m_SessionEnding = true;
    if (m_SessionLoop) return;  // a second request while the first one waits
    CheckAutoRun(AUTORUN_SESSION_END);
    if (!Waiting(TRunOwner::SessionEnd)) return;
    QEventLoop loop;
    m_SessionLoop = &loop;
    QTimer::singleShot(Delays.SessionHold, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    m_SessionLoop = nullptr;
    // The session ends now; runs still going are no longer waited for.
    std::erase_if(m_Runs, [](const TTrackedRun& r) { return r.Owner == TRunOwner::SessionEnd; });
}

void TAutomation::CreateTrayIcon() {
    if (TrayIcon) return;
    pop_tray = new QMenu;
    connect(pop_tray->addAction(QStringLiteral("Return Main Windows")), &QAction::triggered, this, [this] {
        if (RestoreWindow) RestoreWindow();
    });
    pop_tray->addSeparator();
    connect(pop_tray->addAction(AboutText), &QAction::triggered, this, [this] {
        if (ShowAbout) ShowAbout();
    });
    connect(pop_tray->addAction(ExitText), &QAction::triggered, this, [this] {
        if (ExitProgram) ExitProgram();
    });
    TrayIcon = new QSystemTrayIcon(TrayIconImage, this);
    TrayIcon->setToolTip(QStringLiteral("Bramlow File Sync"));
    TrayIcon->setContextMenu(pop_tray);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason Reason) {
        if (Reason == QSystemTrayIcon::Trigger && RestoreWindow) RestoreWindow();
    });
    TrayIcon->show();
}

}  // namespace bfs
