#pragma once

#include "ui/UTImageList.h"
#include "ui/UTQtNotifyTarget.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QStackedWidget;
class QTimer;

namespace bfs {

class TAutomation;
class TFSyncMain;
class TImageEx;
class TImageExButton;
class TSyncTask;
class TTitleBar;

// One tab of the strip: its three picture pieces, the caption over the middle one, and the task
// window whose page it shows. Tabs are only ever added; a deleted task keeps its entry (its window
// stays on a page no tab reaches) with Deleted set and its pieces hidden.
struct TTaskTab {
    TFSyncMain* Window = nullptr;  // a page of the notebook, owned by it
    TImageExButton* LeftPiece = nullptr;
    TImageExButton* MiddlePiece = nullptr;
    TImageExButton* RightPiece = nullptr;
    QLabel* Label = nullptr;
    int MiddleWidth = 0;  // the caption's text width + 20
    // The iml_main pictures the pieces show (left, middle, right).
    int Images[3] = {};
    bool Deleted = false;
};

// The main window: a task window per task of the task list, each on a page of the notebook, and
// the home-made tab strip above it that chooses the page. It owns the commands on the task list as
// a whole (add, from a template, clone, delete, save as template, import, export), the five menu
// buttons, and the automatic runs (Automation).
//
// A task is always found by its window (and so by its SyncID), never by its name: two tasks may
// share a name. Every task window holds a SyncID no other task window and no other element of the
// task list holds.
class TFMain : public QWidget {
    Q_OBJECT

  public:
    explicit TFMain(QWidget* Parent = nullptr);
    ~TFMain() override;

    void LoadLanguageTexts();
    // Creates a task window, page and tab per Tast of FileName, or of the program's own task list
    // when FileName is empty. Imported tasks (FileName not empty) get a new SyncID (theirs with "_"
    // appended, made unique) and are appended to the program's task list. An element without a
    // SyncID, or one whose window cannot be made, is written to the error log and skipped. The first
    // tab is shown afterwards.
    void LoadTaskList(const std::string& FileName);
    void ImportTaskList(const std::string& FileName) { LoadTaskList(FileName); }
    // Copies the program's task list to FileName (".fs" appended unless it ends so, in any case),
    // whole and readable by the user alone (it holds the sides' passwords). A failure shows its box.
    // True when the copy was written.
    bool ExportTaskList(const std::string& FileName);
    // The task configuration for a new task, starting from Template when given; a task it accepts
    // gets its window and tab, and is shown.
    void AddTask(std::unique_ptr<TSyncTask> Template = nullptr);
    // AddTask with the first task of the template file Name + ".fs" of the program folder.
    void AddTaskFromTemplate(const std::string& Name);
    // Analysis (Sync 0) or analysis and sync (Sync 1) of every task that was not deleted.
    void RunAllTasks(int Sync);
    // Shows the page of tab Index and draws that tab alone selected; nothing for a deleted tab.
    void SelectTab(int Index);
    // The tab-strip scroll buttons: 50 pixels at a time, never past either end of the strip.
    void MoveRightButtonClick();
    void moveLeftButtonClick();

    // The task window of the shown page; none while page "Default" shows.
    TFSyncMain* CurrentTaskWindow() const;
    // The index in Tabs() of the shown tab, -1 when none.
    int CurrentTab() const { return m_CurrentTab; }
    // The windows of the tasks that were not deleted, in tab order.
    std::vector<TFSyncMain*> LiveTaskWindows() const;
    const std::vector<TTaskTab>& Tabs() const { return m_Tabs; }
    // Total width of the visible pieces of the strip.
    int StripWidth() const { return m_StripWidth; }

    // The "on opening" work of the popup menus: enabled states and the current task window's
    // actions bound to their items.
    void UpdateJobMenu();
    void UpdateActionMenu();
    void UpdateViewMenu();
    void UpdateToolsMenu();

    // The automatic runs; the caller starts them (Start) once the task list is loaded.
    TAutomation* Automation = nullptr;

    // Windows this one opens, replaceable so that tests answer them.
    // The task configuration of a new task (Template may be none); the task it saved, or none.
    std::function<std::unique_ptr<TSyncTask>(std::unique_ptr<TSyncTask> Template)> NewTaskDialog;
    // The task configuration of a task's options: Copy holds all of the task's settings, and on
    // acceptance the new ones; the result is then 1.
    std::function<int(TSyncTask& Copy)> TaskOptionsDialog;
    // One of the template names; empty when cancelled.
    std::function<QString(const QStringList& Names)> ChooseTemplate;
    // The name of a new template; empty when cancelled.
    std::function<QString()> AskTemplateName;
    // The task-list file to export to (Save) or import from; empty when cancelled.
    std::function<QString(bool Save)> ChooseTaskListFile;
    std::function<void()> ShowAbout;
    // The program options window (Tools > Program options), shown modally.
    std::function<void()> ShowOptions;
    // A task window has finished a sync (WM_TASKFINISHED); by default Automation's TaskFinished.
    std::function<void()> TaskFinished;

    // Controls and actions, named as the window's form names them.
    TTitleBar* TitleBar = nullptr;
    QWidget* TopPanel = nullptr;
    TImageExButton* jobbutton = nullptr;
    TImageExButton* actionbutton = nullptr;
    TImageExButton* viewbutton = nullptr;
    TImageExButton* toolsbutton = nullptr;
    TImageExButton* HelpButton = nullptr;
    TImageExButton* bt_addtask = nullptr;
    QWidget* panel_tab = nullptr;
    QWidget* Pl_jobs = nullptr;
    TImageExButton* moveLeftButton = nullptr;
    TImageExButton* MoveRightButton = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    QLabel* Label_tip = nullptr;
    QMenu* pop_job = nullptr;
    QMenu* pop_action = nullptr;
    QMenu* pop_view = nullptr;
    QMenu* pop_tools = nullptr;
    QMenu* pop_help = nullptr;

    QAction* Action_addTask = nullptr;
    QAction* act_newFromTemplate = nullptr;
    QAction* Action_clone = nullptr;
    QAction* Action_DeleteTask = nullptr;
    QAction* Action_Options = nullptr;
    QAction* Action_saveasT = nullptr;
    QAction* Action_analyze = nullptr;
    QAction* Action_sync = nullptr;
    QAction* Action_analyzeAll = nullptr;
    QAction* Action_SyncAll = nullptr;
    QAction* Action_AS = nullptr;
    QAction* Action_ASAll = nullptr;
    QAction* Action_exit = nullptr;
    QAction* Action_Notcopy = nullptr;
    QAction* Action_CTLtoR = nullptr;
    QAction* Action_CTRtoL = nullptr;
    QAction* Action_Log = nullptr;
    // The view actions by view kind (as the task window's ViewActions): all, changes, conflicts,
    // errors, included, excluded, new, overwrite, delete, left to right, right to left.
    QAction* ViewActions[11] = {};
    QAction* Action_program = nullptr;
    QAction* Action_exportTL = nullptr;
    QAction* Action_ImprotTL = nullptr;
    QAction* act_quickstart = nullptr;
    QAction* Action_home = nullptr;
    QAction* act_checknewversion = nullptr;
    QAction* Action_About = nullptr;

  protected:
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    // A close while a task runs asks first (no one is asked in a command-line instance or at the end
    // of the session). One that goes ahead ends every run as its Cancel does and closes once their
    // records are written: the close is refused until then, and comes again by itself.
    void closeEvent(QCloseEvent* Event) override;

  private:
    void BuildControls();
    QWidget* BuildMenuBar();
    QWidget* BuildTabRow();
    void BuildActions();
    void BuildMenus();
    void SetDefaultSeams();
    TImageExButton* MakeMenuButton(QWidget* Parent, const QString& Caption, QMenu* Menu);
    void PopupMenu(TImageExButton* Button, QMenu* Menu);

    // Makes a task window whose task gets Source's settings, with its page and tab; its tab's index.
    int CreateTaskWindow(const TSyncTask& Source);
    // Wires a task window to this one and gives it a page and a tab; the tab's index. Without
    // LayOut the tab gets its caption and place only at the next TaskChanged: a load of many tasks
    // lays the strip out once, not once per tab.
    int DockTaskWindow(std::unique_ptr<TFSyncMain> Window, bool LayOut = true);
    void AddTab(TFSyncMain* Window, bool LayOut = true);
    // Shows the page of tab Index (not deleted) and sends its window the page activation.
    void ShowTab(int Index);
    // Places the visible tabs one after the other and sizes the strip.
    void LayoutTabs();
    void SetTabImages(int Index, bool Selected);
    void UpdateScrollButtons();
    void MoveStrip(int Left);
    int TabHeight() const;
    // Sends a message to the current task window, if there is one; wParam 0, lParam 10.
    void SendToCurrent(uint32_t Msg);
    void TaskChanged();
    void RestoreWindow();
    void UpdateTaskActions();
    // A SyncID no task window and no element of the program's task list holds: Base itself when
    // free, else Base + "_2", "_3"...
    std::string UniqueSyncID(const std::string& Base) const;
    void ShowHint(QWidget* Widget);

    void Action_DeleteTaskExecute();
    void Action_cloneExecute();
    void act_newFromTemplateExecute();
    void Action_saveasTExecute();
    void Action_exportTLExecute();
    void Action_ImprotTLExecute();
    // A task window (of any tab) has a run going.
    bool AnyRunGoing() const;

    TQtNotifyTarget m_Notify{this};
    TImageList m_TabImages{6, 27};    // iml_main
    TImageList m_AddImages{22, 22};   // TastAddImagelist
    TImageList m_MenuImages{57, 22};  // MenuButtonIL
    TImageList m_MoveImages{5, 10};   // the data module's moveil, when there is no data module
    QLabel* m_NoTaskLabel = nullptr;  // on page "Default"
    std::vector<TTaskTab> m_Tabs;
    int m_CurrentTab = -1;
    int m_StripWidth = 0;
    bool m_PageActivated = false;  // a page activation was sent since the last load

    struct TMenuButton {
        QLabel* Label;  // its caption, whose "&" letter opens the menu
        TImageExButton* Button;
        QMenu* Menu;
    };
    std::vector<TMenuButton> m_MenuButtons;

    bool m_EndingRuns = false;       // a close went ahead: the runs are being ended
    QTimer* m_CloseTimer = nullptr;  // looks for the runs' ends, then closes again
};

}  // namespace bfs
