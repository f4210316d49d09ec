#pragma once

#include "engine/UTSyncTask.h"
#include "model/UTFolderSource.h"
#include "ui/ScheduleManagerUnit.h"

#include <QDateTime>
#include <QDialog>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QStackedWidget;
class QTableWidget;
class QToolButton;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// The task configuration window: creates a sync task or changes the options of one. It edits its
// own task, Task, on three pages (General, Filter, Automation); OK and Apply check every control
// and write the task into the task list.
//
// The controls are read into a scratch copy of Task first. Only a copy that passed every check is
// put into Task and saved, so Task always holds what the task list was last given by this window
// (or what the caller put there): a refused value, a failed write or Cancel never leaves half a
// task behind.
//
// Callers: for a new task, IsNew = true and Task either empty or a template's task; for a task's
// options, IsNew = false and Task a copy of the task (TSyncTask::Assign). exec() gives 1 after a
// successful OK, 0 otherwise. After a 0, Applied tells whether an Apply wrote the task list: the
// caller then takes Task over just as after OK.
class TFTaskConfig : public QDialog {
    Q_OBJECT

  public:
    explicit TFTaskConfig(QWidget* Parent = nullptr);
    ~TFTaskConfig() override;

    // The task has never been saved: the first save appends it with a new identifier. A successful
    // Apply clears it, so that later saves update that same entry.
    bool IsNew = false;
    // The task edited; created empty. A caller may replace it before showing the window.
    std::unique_ptr<TSyncTask> Task;
    // True once an Apply or OK has written Task into the task list.
    bool Applied = false;
    // Lets the user choose a side's folder (1 left, 0 right) on any kind of storage: edits Folder in
    // place and returns true on OK, leaves it as it was otherwise. By default the folder window.
    std::function<bool(int Side, TFolderSource& Folder)> SelectFolder;
    // When set, stands in for SelectFolder with a chooser of local folders: it chooses a folder
    // starting at Current, empty when the user cancels; a chosen folder makes the side a local folder.
    std::function<std::string(int Side, const std::string& Current)> ChooseFolder;
    // The task's scheduled job is changed through this, only by OK and Apply; the platform's link by
    // default.
    TSchedulerLink Scheduler = PlatformSchedulerLink();
    // Runs the schedule editor and gives its result, 1 after OK; by default it is shown modally.
    std::function<int(TScheduleManagerForm& Editor)> RunScheduleEditor;
    // Now: for the schedule editor, and the day from which a new job counts its days and weeks.
    std::function<QDateTime()> Clock;

    // The language text of Key broken into lines of about 100 characters; empty for an empty key.
    static std::string GetLangHint(const std::string& Key);

    // What the window's buttons do; public so that callers and tests can press them.
    void BitBtn_okClick();
    void BitBtn_ApplyClick();
    void BitBtn_CancelClick();
    void tb_lbrowseClick() { BrowseFolder(1); }
    void tb_rbrowseClick() { BrowseFolder(0); }
    void bt_addexcludeClick();
    void bt_delexcludeClick();
    void bt_addincludeClick();
    void bt_delincludeClick();
    // "Config...": the schedule editor; its choice is kept for the next OK or Apply.
    void bt_taskconfigClick() { EditSchedule(); }
    // Shows the page of a tab button (select1Button, select2button or select3button).
    void SelectTab(TImageExButton* Button);
    TImageExButton* CurrentTab() const { return m_CurrentTab; }

    // Controls, named as the window's form names them.
    TTitleBar* TitleBar = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    TImageExButton* select1Button = nullptr;
    TImageExButton* select2button = nullptr;
    TImageExButton* select3button = nullptr;
    TImageEx* ts_General = nullptr;
    TImageEx* ts_filter = nullptr;
    TImageEx* ts_atuo = nullptr;
    TImageExButton* OkButton = nullptr;
    TImageExButton* CancelButton = nullptr;
    TImageExButton* applyButton = nullptr;
    TImageEx* Label_ok = nullptr;
    TImageEx* Label_cancel = nullptr;
    TImageEx* Label29 = nullptr;
    QLabel* Label_tip = nullptr;

    // General
    QLabel* lb_taskname = nullptr;
    QLineEdit* edit_taskname = nullptr;
    QLabel* lb_lfolder = nullptr;
    QLabel* lb_rfolder = nullptr;
    QLineEdit* edit_lfolder = nullptr;
    QLineEdit* edit_rfolder = nullptr;
    TImageExButton* lbrowseButton = nullptr;
    TImageExButton* RFolderImage = nullptr;
    TImageEx* tb_lbrowse = nullptr;
    TImageEx* tb_rbrowse = nullptr;
    QGroupBox* lb_syncdirect = nullptr;
    QRadioButton* rb_sync = nullptr;
    QRadioButton* rb_backup = nullptr;
    // The descriptions beside the two radio buttons; a click on one selects its button.
    TImageEx* Label1 = nullptr;
    TImageEx* Label_sync = nullptr;
    QComboBox* cb_syncdirect = nullptr;
    QCheckBox* rb_forcedcopy = nullptr;
    QCheckBox* rb_Verified = nullptr;
    QCheckBox* cb_usetasktags = nullptr;
    QCheckBox* cb_savepv = nullptr;
    QCheckBox* cb_userTemp = nullptr;
    QCheckBox* cb_prodelete = nullptr;
    QCheckBox* cb_estimatedisk = nullptr;

    // Filter
    QGroupBox* lb_exclude = nullptr;
    QGroupBox* lb_include = nullptr;
    QLabel* ExFileNameFilter = nullptr;
    QLabel* INFileNameFilter = nullptr;
    QTableWidget* vedit_exclude = nullptr;
    QTableWidget* vedit_include = nullptr;
    QToolButton* bt_addexclude = nullptr;
    QToolButton* bt_delexclude = nullptr;
    QToolButton* bt_addinclude = nullptr;
    QToolButton* bt_delinclude = nullptr;
    QCheckBox* cb_exfilesizemin = nullptr;
    QLineEdit* Edit_exfilesizemin = nullptr;
    QComboBox* Edit_exfilesizemin_b = nullptr;
    QCheckBox* cb_filesizemax = nullptr;
    QLineEdit* Edit_exfilesizemax = nullptr;
    QComboBox* Edit_exfilesizemax_b = nullptr;
    QCheckBox* cb_infilesizemin = nullptr;
    QLineEdit* Edit_infilesizemin = nullptr;
    QComboBox* Edit_infilesizemin_b = nullptr;
    QCheckBox* cb_infilesizemax = nullptr;
    QLineEdit* Edit_infilesizemax = nullptr;
    QComboBox* Edit_infilesizemax_b = nullptr;
    QCheckBox* cb_exfiletimemin = nullptr;
    QLineEdit* edit_exfiletimemin = nullptr;
    QCheckBox* cb_exfiletimemax = nullptr;
    QLineEdit* edit_exfiletimemax = nullptr;
    QCheckBox* cb_infiletimemin = nullptr;
    QLineEdit* edit_infiletimemin = nullptr;
    QCheckBox* cb_infiletimemax = nullptr;
    QLineEdit* edit_infiletimemax = nullptr;
    QCheckBox* cb_excludeempty = nullptr;
    QCheckBox* cb_excludehidden = nullptr;
    QCheckBox* cb_excludesystem = nullptr;

    // Automation
    QGroupBox* gb_atuocondition = nullptr;
    QCheckBox* cb_syncitstart = nullptr;
    QCheckBox* cb_anaitstart = nullptr;
    QCheckBox* cb_syncconn = nullptr;
    QCheckBox* cb_anaconn = nullptr;
    QCheckBox* cb_synclogoff = nullptr;
    QCheckBox* cb_anslogoff = nullptr;
    QCheckBox* cb_syncperiod = nullptr;
    QCheckBox* cb_anaperiod = nullptr;
    QLabel* lb_every = nullptr;
    QSpinBox* edit_hours = nullptr;
    QLabel* lb_hours = nullptr;
    QSpinBox* edit_minutes = nullptr;
    QLabel* lb_Minutes = nullptr;
    QCheckBox* cb_synctaskscheduler = nullptr;
    QCheckBox* cb_anataskschedule = nullptr;
    QPushButton* bt_taskconfig = nullptr;
    QLineEdit* Edit_task = nullptr;
    QLabel* cb_resolveconflicts = nullptr;
    QComboBox* cb_coflicts = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;
    bool event(QEvent* Event) override;
    // Enter is OK wherever the focused control does not take it itself (a mask being typed, a
    // picture button, the "Config..." button).
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    // One size limit or date limit: its controls and the task field it edits.
    struct TSizeLimit {
        QCheckBox* Box;
        QLineEdit* Edit;
        QComboBox* Unit;
        int64_t TSyncTask::*Field;
        const char* HintKey;
    };
    struct TTimeLimit {
        QCheckBox* Box;
        QLineEdit* Edit;
        int32_t TSyncTask::*Field;
        const char* HintKey;
    };

    void BuildControls();
    QWidget* BuildGeneralPage();
    QWidget* BuildFilterPage();
    QWidget* BuildAutomationPage();
    QGroupBox* BuildFilterGroup(bool Exclude);
    void ConnectInterlocks();
    void FormShow();
    void LoadLanguageTexts();
    void LoadTaskToForm();
    void LoadSizeFilters();
    void LoadTimeFilters();
    // A new task made from a template: a name no task has yet, and the template's schedule taken
    // over as if chosen with "Config...".
    void TakeTemplate();
    // Reads every control into To (a copy of Task); false, with the message shown and the focus on
    // the control at fault, when a value is refused.
    bool SaveFormToTask(TSyncTask& To);
    // Checks the name; false, with its message, when it is empty, cannot name a task, or names
    // another task of the task list.
    bool CheckTaskName();
    // Reads the controls into a copy, puts it into Task and writes the task list; false when a
    // value was refused or the write failed (Task is then as it was).
    bool SaveTask();
    void BrowseFolder(int Side);
    // The tab order: the page tabs, each page's controls in reading order, the dialog buttons.
    void SetTabOrder();
    void AddMaskRow(QTableWidget* Editor, const char* ErrorKey);
    void DeleteMaskRow(QTableWidget* Editor, const char* ErrorKey);
    void Refuse(const char* MessageKey, QWidget* Focus);
    void ShowPageOf(QWidget* Control);
    void SetOneWayText(int DirectionIndex);
    void EditSchedule();
    // The editor's summary after its OK (its choice then waits in m_PendingSchedule); else empty.
    QString RunScheduleDialog();
    // Makes the saved task's job what the controls ask for (Before: the task as it was before the
    // save). On a failure, after the box that says why, the task's schedule fields are saved as the
    // job that is left, and the result is false.
    bool ApplySchedule(const TSyncTask& Before);

    TImageExButton* m_CurrentTab = nullptr;
    bool m_Shown = false;
    // The sides as Browse left them; they reach Task only with the rest of the controls.
    TFolderSource m_LFolder;
    TFolderSource m_RFolder;
    TSizeLimit m_SizeLimits[4] = {};
    TTimeLimit m_TimeLimits[4] = {};
    // A schedule chosen with "Config..." and not yet made into the job.
    std::optional<TScheduleSpec> m_PendingSchedule;
    // The task name the existing job passes to the program: a renamed task's job is rewritten.
    std::string m_JobTaskName;
};

}  // namespace bfs
