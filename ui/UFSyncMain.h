#pragma once

#include "engine/UTSyncTask.h"
#include "engine/UTTaskRun.h"
#include "ui/UTImageList.h"
#include "ui/UTQtNotifyTarget.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <unordered_map>

class QAction;
class QActionGroup;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QRadioButton;
class QSplitter;
class QTimer;
class QTreeView;

namespace bfs {

class TFileTypeIcons;
class TImageEx;
class TImageExButton;
class TPlanModel;
class TToolTip;

// wParam of WM_ANAL_SYNC from the main window's Sync command: the plan the window shows is carried
// out while it is current, and only otherwise analysed first. Analyze and Sync sends 0: it always
// analyses first.
constexpr intptr_t SYNC_SHOWN_PLAN = 1;

// The task window: one per task, docked in the task's tab page. It owns the task and drives every
// run of it: the folder checks, both listings, the analysis, the plan view, the sync walk and the run
// records in the log pane.
//
// Nothing here ever waits for a worker: listings, analysis and sync run on their own threads, report
// progress through posted messages, and end through messages posted from their end (TTaskRun's
// On...Ended calls); the window finishes each step on its own thread. Nor does it wait for a server:
// the run connects to the sides on its scan worker, and the row commands that reach a side (delete,
// save as) run on a thread of their own. While a worker of the task is alive, no new run starts and
// the plan cannot be switched or changed.
class TFSyncMain : public QWidget {
    Q_OBJECT

  public:
    explicit TFSyncMain(QWidget* Parent = nullptr);
    ~TFSyncMain() override;

    std::unique_ptr<TSyncTask> Task;
    // The main window: told when a sync ends (WM_TASKFINISHED) and when the task's options changed
    // (WM_TASKCHANGED). None in the stand-alone window.
    INotifyTarget* MainWnd = nullptr;
    // Opens the task configuration window on Copy (a copy of the task) and gives 1 when the user
    // accepted it. Until that window exists, the options button does nothing.
    std::function<int(TSyncTask& Copy)> EditTaskOptions;
    // Lets the user choose a side's folder (0 right, 1 left) on any kind of storage: edits Folder in
    // place and returns true on OK, leaves it as it was otherwise. By default the folder window.
    std::function<bool(int Side, TFolderSource& Folder)> SelectFolder;
    // When set, stands in for SelectFolder with a chooser of local folders: it chooses a folder
    // starting at Current, empty when the user cancels; a chosen folder makes the side a local folder.
    std::function<std::string(int Side, const std::string& Current)> ChooseFolder;
    // Chooses the local file a row's file is saved as, proposing Name; empty when the user cancels.
    // By default a save dialog.
    std::function<std::string(const std::string& Name)> ChooseSaveTarget;

    // One analysis run; nothing while the task is busy.
    void StartAnalyze();
    // An analysis run followed by a sync of its plan, when the task is not busy.
    void AnalyzeThenSync();
    // The plan shown is current: an analysis ended, was not cancelled, and its plan was not yet
    // carried out.
    bool PlanIsCurrent() const;
    // Carries out the current plan, with the user's row changes, from the changes view as the Sync
    // button does; without a current plan, AnalyzeThenSync. Nothing while the task is busy.
    void SyncShownPlan();
    // The empty plan with its root row named after the task; the folder addresses and the direction
    // picture of the options button.
    void InitResultTree();
    // Shows view Kind (TViewKind) of the last analysis.
    void ShowView(int Kind);
    void BitBtn_SyncClick();
    void BitBtn_cancelClick();
    void Action_optionsExecute();
    // Sets a per-row action (ACTION_LEFT_NEWER, ACTION_RIGHT_NEWER, ACTION_NOT_COPY) on the selected
    // row and every row below it.
    void SetSelectedRowAction(int32_t Code);
    // Adds an include (Include) or exclude pattern from the selected row: its extension (ByType) or
    // its name, then filters the result again and rebuilds the view.
    void AddFilterFromNode(bool ByType, bool Include);
    void LoadLanguageTexts();
    // A run or a worker of it (a row command included) is alive.
    bool Running() const;
    // The window is about to close: the run under way is cancelled as Cancel cancels it (a sync
    // stops handing out rows and the rows in flight finish), a sync waiting to follow its analysis
    // never starts, and no run starts any more. Returns at once: the run's ends come in as usual and
    // write its record ("Sync cancelled.") to the log pane and the task log; Running() turns false
    // once they have.
    void EndRunForClose();
    // An exception stopped a step of the current run (What says which): the run ends as a failed one
    // with that reason, once the workers it stops have ended. Nothing when no run is under way.
    void RunFault(const std::string& What);

    TTaskRun& Run() { return *m_Run; }
    TPlanModel& PlanModel() { return *m_Model; }
    int CurrentView() const { return m_CurrentView; }
    // The lines of the log pane, in order.
    QStringList LogLines() const;

    // Controls, named as the window's form names them.
    QLineEdit* edit_LFolder = nullptr;
    QLineEdit* Edit_RFolder = nullptr;
    TImageExButton* bt_LBrowse = nullptr;
    TImageExButton* bt_RBrowse = nullptr;
    TImageEx* bt_LBrowse1 = nullptr;  // caption labels: a click on them is a click on their button
    TImageEx* bt_RBrowse1 = nullptr;
    TImageExButton* bt_taskconfig = nullptr;
    TImageExButton* BitBtn_Analyze = nullptr;
    TImageExButton* BitBtn_Sync = nullptr;
    TImageExButton* BitBtn_cancel = nullptr;
    TImageEx* BitBtn_Analyze1 = nullptr;
    TImageEx* BitBtn_Sync1 = nullptr;
    TImageEx* BitBtn_cancel1 = nullptr;
    QGroupBox* GroupBox_Action = nullptr;
    QGroupBox* GroupBox_ResultsFilter = nullptr;
    QRadioButton* rb_all = nullptr;
    QRadioButton* rb_changed = nullptr;
    QRadioButton* rb_conflicts = nullptr;
    QRadioButton* rb_errors = nullptr;
    QLabel* Label_ActionStatus = nullptr;
    QLabel* Label_lasttime = nullptr;
    QProgressBar* pb_action = nullptr;
    QLabel* lb_File = nullptr;
    QTreeView* VST1 = nullptr;
    QWidget* Panel2 = nullptr;
    QPlainTextEdit* memo1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* TipTimer = nullptr;
    QMenu* pop_direction = nullptr;
    TToolTip* ToolTip = nullptr;
    // The view actions, by view kind (0-10), and the row commands.
    QAction* ViewActions[11] = {};
    QAction* Action_Log = nullptr;
    QAction* act_pop_LtoR = nullptr;
    QAction* act_pop_RtoL = nullptr;
    QAction* act_pop_Donotcopy = nullptr;
    QAction* act_open_Left_file = nullptr;
    QAction* act_open_Left_Folder = nullptr;
    QAction* act_open_right_file = nullptr;
    QAction* act_open_right_folder = nullptr;
    QAction* act_del_left_file = nullptr;
    QAction* act_del_right_file = nullptr;
    QAction* act_leftfilesaveas = nullptr;
    QAction* act_rightfilesaveas = nullptr;
    QAction* act_include_type = nullptr;
    QAction* act_include_file = nullptr;
    QAction* act_exclude_type = nullptr;
    QAction* act_exclude_file = nullptr;

  signals:
    // A run of this window has ended: refused, cancelled, stopped by an exception, an analysis that
    // no sync follows, or a sync. Failed: it could not start or was cancelled, the analysis failed or
    // held entries back (a side not listed completely), a row of the sync failed, a saved state was
    // not written, or the result holds conflicts that were left alone. Reason says why in one line:
    // a refusal's own line ("The task "<name>" is already running."), else the task and the first
    // line of the run that failed it, or the count of the conflicts left alone.
    void RunEnded(bool Failed, const QString& Reason = QString());

  protected:
    bool event(QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

  private:
    // Runs Step, a step of a run on this thread; an exception that escapes it is logged and ends the
    // run (RunFault).
    template <class TStep>
    void RunStep(TStep&& Step);
    // The window's messages (WM_*), each a step of a run or a command of the main window.
    bool HandleMessage(TMessageEvent& Message);
    void StartAnalyzeStep();
    void SyncClickStep();
    // A run begins: no reason and no line for the task log yet.
    void BeginRun();
    // A line of the current run: to the log pane, and to the task log (with the sync's record, after
    // the analysis record, or kept until the run's end when there is no record yet). Fails: the line
    // says why the run fails.
    void RunLine(const QString& Line, bool Fails, bool Red = false);
    // Why the run fails, when no line says it.
    void RunFails(const QString& Reason);
    // The one end of every run, whatever ended it: the lines the task log still lacks (with a header
    // of their own when the run ended before its analysis record), the task freed unless a plan
    // waits to be carried out, the reason (Refusal: a refused start's own line), and RunEnded.
    void EndRun(const QString& Refusal = QString());
    // Ends a run an exception stopped, once no worker of it is alive: the task freed, the controls
    // as between runs, the sync's record closed.
    void EndFaultedRun();
    // At a worker's end: ends the run when an exception stopped it or the window is closing; true
    // when it did, and the worker's own end has nothing more to do.
    bool EndedByFaultOrClose();
    void BuildControls();
    void BuildActions();
    // The sync's end line, and its record (the lines since it began) to the task log.
    void CloseSyncRecord(qint64 SyncMs);
    void AddLogLine(const QString& Line, bool Red = false);
    // Adds lines at the end in one edit, scrolled to the last.
    void AddLogLines(const QStringList& Lines, bool Red = false);
    void AddLogText(const std::string& Text);
    // Appends Text to the task log when SaveLog is on; a log that cannot be written says so in red
    // in the pane.
    void LogToTask(const std::string& Text);
    // The conflicts the result holds now (none without a result), and the line a run that left them
    // alone ends with ("The task "Daily" ran: 1 conflict was not synced.").
    int64_t HeldConflicts() const;
    QString ConflictsReason(int64_t Conflicts) const;
    void SetButtonEnabled(TImageExButton* Button, QLabel* Caption, const char* Face, bool Enabled);
    void SetAnalyzeEnabled(bool Enabled);
    void SetTopControlsEnabled(bool Enabled);
    void SetViewsEnabled(bool Enabled);
    void AnalyzeClicked();
    void BeginAnalyzeUI();
    void ScanEnded(int Side);
    void ScanListing(int32_t Steps);
    // A scan that a side refused: the controls as before the run, without a record.
    void EndRefusedScan();
    QString RefusalStatus() const;
    void StartCompare();
    void AnalyzeThreadTerminated();
    void ShowAnalysisSummary();
    std::string DiskText();
    int CheckDiskSpace() const;
    // The refusal for CheckDiskSpace's result: which side, the bytes needed and the bytes free.
    // The task's folders or settings changed: a plan made before is not carried out any more (its
    // lock goes with it); Sync needs a new analysis.
    void DropPlan();
    QString DiskSpaceText(int Full) const;
    void BeginSync();
    void SyncThreadTerminated();
    bool PlanHasFailedRow() const;
    // Right after a sync: keeps what each row the walk carried out now holds on both sides, from
    // the result nodes as the walk left them (before a recount gives them the analysis's sides).
    void RecordSyncedSides();
    // Gives every row of the plan shown the counts of what is left to do, folder rows their sums
    // again, and, after a sync, the rows it carried out the sides it recorded (a view built after
    // the sync takes the analysis's sides from the result).
    void RefreshRows();
    void Timer1Timer();
    void ShowFolderTips();
    void ShowTip(QWidget* Target, const QString& Title, const QString& Text);
    void UpdateFilterCaptions();
    void CheckViewControls(int Kind);
    void UpdateSyncEnabled();
    void PreparePopupMenu(const TPlanRow& Row);
    TPlanRow* SelectedRow() const;
    void OpenSideFile(bool FolderOnly, int Side);
    void DeleteSideFile(int Side);
    void SaveSideFileAs(int Side);
    struct TRowCommand;  // a delete or save-as of one row, on its own thread
    // A row command for the row's file on a side; null when the side has no back-end.
    std::unique_ptr<TRowCommand> NewRowCommand(TPlanRow& Row, int Side);
    void StartRowCommand(std::unique_ptr<TRowCommand> Command);
    void RowCommandEnded();
    void BrowseFolder(int Side);
    // Takes the address typed into a side's field (its kind from its form); false when it fits no
    // kind: the field shows the side's folder again, with a message when Ask.
    bool FolderEdited(int Side, bool Ask = true);
    void ShowDirectionPicture();
    // Ends the run as EndRunForClose does and lets the workers' ends through until none is alive,
    // so the run's record is written; from then on the window handles nothing but those ends.
    void DrainWorkers();
    // A worker has progress, a status text or the walk's reports: shown now, or at the end of the
    // current REPORT_INTERVAL_MS, so that however fast the workers go the window repaints at most
    // about 30 times a second and never holds them up.
    void ReportsArrived();
    // Shows everything the workers reported since the last time.
    void TakeReports();
    // Someone may see the window: it is shown, not minimized, on a real display.
    bool Seen() const;

    TQtNotifyTarget m_Notify{this};
    QTimer* m_ReportTimer = nullptr;  // single shot: the reports held back by ReportsArrived
    QElapsedTimer m_LastReports;      // since TakeReports last ran
    std::unique_ptr<TTaskRun> m_Run;
    TImageList m_Images{16, 16};  // plan pictures, then file-type icons
    TImageList m_Directions{55, 40};
    std::unique_ptr<TFileTypeIcons> m_Icons;
    TPlanModel* m_Model = nullptr;
    int m_RunningScans = 0;
    bool m_Cancelled = false;
    bool m_Syncing = false;
    bool m_SyncAfterAnalyze = false;
    bool m_Closing = false;
    bool m_Ending = false;        // EndRunForClose: the run is being ended, nothing new starts
    bool m_SyncPending = false;   // an analysis ended and its sync starts in a moment
    QString m_SyncRefusal;        // why the last sync asked for did not start (no box was shown)
    bool m_HaveResult = false;    // an analysis ended and its plan may be shown
    bool m_ResultUsable = false;  // ... and was not cancelled: it may be carried out
    int m_CurrentView = -1;       // view kind shown, -1 before the first analysis
    int m_ElapsedSeconds = 0;
    QElapsedTimer m_AnalyzeTime;
    QElapsedTimer m_ScanTime;
    QElapsedTimer m_SyncTime;
    qint64 m_ScanMs = 0;
    qint64 m_AnalyzeMs = 0;
    bool m_HeldBack = false;  // the current run's listings were incomplete
    int64_t m_LeftFree = 0;
    int64_t m_RightFree = 0;
    QStringList m_RunLines;        // the log-pane lines of the current sync
    bool m_RunOpen = false;        // a run began and has not ended (EndRun)
    QStringList m_Failures;        // the lines that fail the current run, in order
    QStringList m_PendingLog;      // its lines for the task log that wait for its analysis record
    bool m_RecordLogged = false;   // its analysis record was written
    bool m_Faulted = false;        // an exception stopped it; it ends once its workers have ended
    bool m_SyncCancelled = false;  // Cancel was pressed during the current sync
    int64_t m_SyncFailures = 0;    // rows the current sync marked failed
    // What the rows the last sync carried out hold now on each side, by result node; for the result
    // m_SyncedResult only (held, so that its nodes stay what the keys point at).
    struct TSides {
        int32_t LeftDate = 0, LeftAttr = 0, RightDate = 0, RightAttr = 0;
        int64_t LeftSize = 0, RightSize = 0;
    };
    std::unordered_map<const TFileTree*, TSides> m_SyncedSides;
    TFileTreeRef m_SyncedResult;
    std::unique_ptr<TRowCommand> m_RowCommand;  // the row command under way, until its end is handled
    bool m_FilterWasEnabled = false;            // the view choice before the row command
    QString m_StatusBeforeCommand;              // the status line before the row command
};

}  // namespace bfs
