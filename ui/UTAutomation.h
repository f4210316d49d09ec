#pragma once

#include "engine/UTAutoRun.h"
#include "platform/UTMountTable.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QEventLoop;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace bfs {

class TFSyncMain;

// The waits of the automation, in milliseconds. None of them blocks the user-interface thread.
struct TAutomationDelays {
    int StartRuns = 500;     // from Start to the start-up runs
    int MountPoll = 2000;    // between two readings of the mount table
    int MountSettle = 1500;  // from a new mount to its runs, so that the file system is usable
    int Finish = 5000;       // from the end of a run to the power-off or the close
    // No task may run for this long before the power-off. Longer than the pause between the analysis
    // and the sync of one run, during which its task window is idle.
    int IdleSettle = 1500;
    int SessionHold = 30000;  // the longest the end of the session waits for the runs it started
};

// The runs that start without the user, and what follows the end of a run, for the main window that
// owns it: the start-up runs, the one-minute timer (Timer_task) of the periodic runs, the watch on
// the mount table, the end of the session, the command-line runs, the power-off after a sync
// (AutoClose) and the tray icon. Tasks are reached through their windows (LiveWindows), never by
// name, so a deleted task never runs again.
class TAutomation : public QObject {
    Q_OBJECT

  public:
    explicit TAutomation(QObject* Parent = nullptr);
    ~TAutomation() override;

    // Set by the main window before Start.
    // The windows of the tasks that exist (deleted ones left out), in tab order: the order in which
    // the automatic runs visit them.
    std::function<std::vector<TFSyncMain*>()> LiveWindows;
    std::function<void()> RestoreWindow;  // brings the main window back into view
    std::function<void()> ShowAbout;
    std::function<void()> ExitProgram;
    // Ends a command-line instance with its exit status; by default QCoreApplication::exit.
    std::function<void(int ExitCode)> Quit;
    QIcon TrayIconImage;
    QString AboutText = QStringLiteral("About");
    QString ExitText = QStringLiteral("Exit");
    std::string MountTableFile = "/proc/self/mountinfo";
    TAutomationDelays Delays;

    QTimer* Timer_task = nullptr;  // 60000 ms, from Start on
    TAutoClock::time_point LastTimerCheck{};
    bool StartedFromCommandLine = false;  // a task named on the command line was found
    QSystemTrayIcon* TrayIcon = nullptr;  // none unless ShowTrayIcon was 1 at Start
    QMenu* pop_tray = nullptr;

    // Called once the task list is loaded and the window shows: the tray icon (when ShowTrayIcon is
    // 1), the one-minute timer, the mount watch, the runs of the task named on the command line
    // (when the program was started with an argument) and, StartRuns later, the start-up runs.
    void Start(const std::optional<std::string>& CommandLineTask);
    // Starts the runs of Event (AUTORUN_*; MountPoint for AUTORUN_MOUNT) on the live task windows.
    void CheckAutoRun(int Event, const std::string& MountPoint = {});
    // One tick of Timer_task: the periodic runs, when the tick counts (AcceptTick).
    void Timer_taskTimer();
    // Makes this instance a command-line instance: runs every task named Name and, once those runs
    // have ended (their records written), ends the program through Quit, with status 0 when every
    // one of them ended without failure and 1 otherwise, also when no task is named Name or none of
    // them has a run to start. The reason of a 1 goes to standard error.
    void RunCommandLineTask(const std::string& Name);
    void CreateTrayIcon();
    // A task window has finished a sync (WM_TASKFINISHED). With AutoClose 1 the computer is powered
    // off (never forced) Finish later, once no task has run for IdleSettle.
    void TaskFinished();
    // The session is ending: starts its runs and holds the end, for at most SessionHold, while they
    // run. Connected to the session manager's commit-data request.
    void SessionEnding();
    // Reads the mount table; each new mount point gets its runs MountSettle later.
    void PollMounts();
    // An exception escaped an event handler (TApplication::OnException). The run of the task window
    // it came from ends as a failed one with that reason; in a command-line instance, where no one
    // would end them, so does every run it waits for when the exception came from elsewhere.
    void Unexpected(QObject* Receiver, const std::string& What);
    // Some task window is busy, or a run this object waits for has not ended yet.
    bool AnyTaskRunning() const;
    // A command-line instance had a run that failed, or one that could not start.
    bool CommandLineFailed() const { return m_CommandLineFailed; }
    // No one is there to answer a question: this is a command-line instance, or the session is
    // ending (from its commit-data request on).
    bool Unattended() const { return m_CommandLine || m_SessionEnding; }

  private:
    class TWindowTarget;
    enum class TRunOwner { Automatic, CommandLine, SessionEnd };
    // A run whose end this object waits for. Its window may go away before that.
    struct TTrackedRun {
        QPointer<TFSyncMain> Window;
        TRunOwner Owner;
        std::string Name;
    };

    std::vector<IAutoRunTarget*> Targets(std::vector<TWindowTarget>& Storage, TRunOwner Owner);
    void StartRun(TFSyncMain& Window, TAutoRunMode Mode, TRunOwner Owner);
    void OnRunEnded(bool Failed, const QString& Reason);
    void ForgetGoneWindows();
    // Reason completes "task "<name>": ", or is the whole line when WholeLine (a window's own line).
    void RunDone(const TTrackedRun& Run, bool Failed, const std::string& Reason, bool WholeLine = false);
    bool Waiting(TRunOwner Owner) const;
    void CommandLineFailure(const std::string& Reason);
    void CheckCommandLineDone();
    void ArmFinish();
    void FinishTimeout();

    QTimer* m_MountTimer = nullptr;
    QTimer* m_FinishTimer = nullptr;
    TMountTable m_Mounts;
    std::vector<TTrackedRun> m_Runs;
    bool m_CommandLine = false;    // this is a command-line instance
    bool m_SessionEnding = false;  // SessionEnding was called
    bool m_CommandLineStarting = false;
    bool m_CommandLineFailed = false;
    bool m_ClosePending = false;
    bool m_Closed = false;
    bool m_PowerOffPending = false;
    bool m_IdleSeen = false;  // the last power-off check found no task running
    QEventLoop* m_SessionLoop = nullptr;
};

}  // namespace bfs
