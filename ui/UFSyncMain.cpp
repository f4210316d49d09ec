#include "ui/UFSyncMain.h"

#include "engine/UTPlan.h"
#include "model/UTConsts.h"
#include "model/UTFileOper.h"
#include "model/UTFolderForm.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "model/UTThread.h"
#include "platform/UTSystem.h"
#include "storage/UTNetFileOper.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/TooltipUtil.h"
#include "ui/UFSelectFolder.h"
#include "ui/UTDialogParts.h"
#include "ui/UTFileTypeIcons.h"
#include "ui/UTPictures.h"
#include "ui/UTPlanModel.h"
#include "ui/UTWebPage.h"
#include "ui/UTWindowChrome.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <vector>

namespace bfs {

namespace {

// The window's own messages: a worker of the run has ended (posted from its thread).
constexpr uint32_t WM_SCAN_ENDED = 1401;  // wParam: the side
constexpr uint32_t WM_ANALYSIS_ENDED = 1402;
constexpr uint32_t WM_SYNC_ENDED = 1403;
constexpr uint32_t WM_SCAN_LISTING = 1404;  // wParam: the listings' progress steps
constexpr uint32_t WM_ROW_COMMAND_ENDED = 1405;
constexpr uint32_t WM_SYNC_REPORTS = 1406;  // the sync walk has lines or rows to show
constexpr int REPORT_INTERVAL_MS = 33;

const QColor GREY_CAPTION(0x80, 0x80, 0x80);

QString Lang(const char* Key) {
    return QString::fromStdString(SysConfig().GetText(Key));
}

QString Utf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

// The texts of the view actions, by view kind, and the messages that choose them.
const struct {
    const char* Key;
    uint32_t Message;
} VIEW_KINDS[11] = {
    {"all", WM_ALL},      {"changed", WM_MODIFY},      {"conflicts", WM_CONFLICT},
    {"errors", WM_ERROR}, {"include", WM_INCLUED},     {"exclude", WM_EXCLUDE},
    {"new", WM_NEW},      {"Overwrite", WM_OVERWRIDE}, {"delete", WM_DELETE},
    {"LtoR", WM_LTOR},    {"RtoL", WM_RTOL},
};

QString TwoDigits(int Value) {
    return Value < 10 ? QStringLiteral("0%1").arg(Value) : QString::number(Value);
}

// The run clock's "hh:mm:ss".
QString ClockText(int Seconds) {
    const int h = Seconds / 3600, m = Seconds / 60 % 60, s = Seconds % 60;
    return QStringLiteral("%1:%2:%3").arg(TwoDigits(h), TwoDigits(m), TwoDigits(s));
}

}  // namespace

// A delete or save-as of one row's file on a side, run on its own thread so that the window never
// waits for the side's server. The window keeps the object until its end has been handled; Stop
// (from the window's thread) aborts what the back-end has under way.
struct TFSyncMain::TRowCommand : public TThread {
    enum TKind { DELETE_FILE, SAVE_AS };
    enum TOutcome { DONE, CHANGED, FAILED };

    ~TRowCommand() override {
        Stop();
        WaitFor();
    }
    void Stop() {
        Terminate();
        if (Oper) Oper->Stop();
    }

    TKind Kind = DELETE_FILE;
    std::unique_ptr<TFileOper> Oper;
    TFolderSourceRef Folder;
    TFileAttri Entry;           // the row's file as the analysis saw it on this side
    std::string FullPath;       // its address, for the log line
    std::string Target;         // save as: the chosen local file
    TPlanRow* Row = nullptr;    // touched on the window's thread only; the plan is kept while this runs
    TOutcome Outcome = FAILED;  // read once the thread has ended

  protected:
    // runs on the row command's thread
    void Execute() override {
        try {
            Outcome = Kind == DELETE_FILE ? Delete() : Save();
        } catch (const std::exception& e) {
            TMyException::Instance().HandleException(e);
            Outcome = FAILED;
        }
        Oper->Stop();
    }

  private:
    TOutcome Delete() {
        if (Oper->Connect() != 0 || Terminated()) return FAILED;
        // Only the file the row shows is deleted: one changed since the analysis is left alone.
        TEntryState now;
        const bool told = Oper->GetEntryState(*Folder, Entry, now) == 0;
        if (Terminated()) return FAILED;
        if (!told || !now.Exists || now.IsFolder || now.Size != Entry.Size || now.FileDate != Entry.FileDate)
            return CHANGED;
        return Oper->DeleteFile(*Folder, Entry, false) == 0 ? DONE : FAILED;
    }
    // The file is fetched under a reserved name beside the target and takes the target's name only
    // when whole: a failure or a cancel leaves whatever the target was.
    TOutcome Save() {
        const std::filesystem::path target(Target);
        const std::string temp = (target.parent_path() / NewReservedName()).string();
        const bool fetched =
            Oper->Connect() == 0 && !Terminated() && Oper->GetFile(temp, *Folder, Entry, 0, false) == 0;
        if (fetched && !Terminated() && std::rename(temp.c_str(), Target.c_str()) == 0) return DONE;
        if (std::remove(temp.c_str()) != 0 && errno != ENOENT)
            TMyException::Instance().LogError("Cannot remove " + temp, "EInOutError", std::strerror(errno));
        return FAILED;
    }
};

TFSyncMain::TFSyncMain(QWidget* Parent) : QWidget(Parent) {
    Task = std::make_unique<TSyncTask>();
    m_Run = std::make_unique<TTaskRun>(*Task);
    m_Run->NotifyWnd = &m_Notify;
    m_Run->OnScanEnded = [this](int Side) { m_Notify.PostMessage(WM_SCAN_ENDED, Side, 0); };
    m_Run->OnScanListing = [this](int32_t Steps) { m_Notify.PostMessage(WM_SCAN_LISTING, Steps, 0); };
    m_Run->OnAnalysisEnded = [this] { m_Notify.PostMessage(WM_ANALYSIS_ENDED, 0, 0); };
    m_Run->OnSyncEnded = [this] { m_Notify.PostMessage(WM_SYNC_ENDED, 0, 0); };
    m_Run->OnSyncReports = [this] { m_Notify.PostMessage(WM_SYNC_REPORTS, 0, 0); };
    m_Images.LoadStrip(QStringLiteral("ImageList1"));
    m_Directions.LoadStrip(QStringLiteral("iml_button"));
    m_Icons = std::make_unique<TFileTypeIcons>(m_Images);
    m_Run->Plan.FileImage = [this](const std::string& Name) { return m_Icons->ImageOf(Name); };
    SelectFolder = [this](int Side, TFolderSource& Folder) {
        TFSelectFolder window(this);
        window.IsLeft = Side == 1 ? 1 : 0;
        window.FolderSource = &Folder;
        return window.exec() == 1;
    };
    // File names are bytes: the chosen name goes to the disk in the file system's own encoding.
    ChooseSaveTarget = [this](const std::string& Name) {
        return QFile::encodeName(QFileDialog::getSaveFileName(this, QString(), Utf8(Name))).toStdString();
    };
    BuildControls();
    BuildActions();
    ToolTip = TToolTip::Create(this);
    // Tab goes as the window is laid out: the folder strip left to right, the run buttons, the
    // view choice, the plan, the log.
    QWidget* const order[] = {edit_LFolder,   bt_LBrowse,  bt_taskconfig, Edit_RFolder, bt_RBrowse,
                              BitBtn_Analyze, BitBtn_Sync, BitBtn_cancel, rb_all,       rb_changed,
                              rb_conflicts,   rb_errors,   VST1,          memo1};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    ShowKeyboardFocus(*this);
}

TFSyncMain::~TFSyncMain() {
    DrainWorkers();
    // An address still being typed is kept, as leaving the edit keeps it; after this the edits'
    // "editing finished", which their hiding below would bring, finds no task to write into.
    if (edit_LFolder->isModified()) FolderEdited(1, false);
    if (Edit_RFolder->isModified()) FolderEdited(0, false);
    for (QLineEdit* edit : {edit_LFolder, Edit_RFolder}) edit->disconnect(this);
    // The view and its model read the plan, which goes with the members, before the child widgets.
    VST1->setModel(nullptr);
    delete m_Model;
    m_Model = nullptr;
}

bool TFSyncMain::Running() const {
    return Task->Busy != 0 || m_Run->WorkerAlive() || m_RunningScans > 0 || m_SyncPending || m_RowCommand;
}

QStringList TFSyncMain::LogLines() const {
    QStringList lines;
    const QTextDocument* doc = memo1->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) lines << b.text();
    if (lines.size() == 1 && lines.front().isEmpty()) lines.clear();
    return lines;
}

// ---------------------------------------------------------------------------------------------
// Controls

void TFSyncMain::BuildControls() {
    auto* top = new QWidget(this);
    top->setObjectName(QStringLiteral("TopStrip"));
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(8, 6, 8, 6);
    auto makeBrowse = [this](TImageExButton*& Button, TImageEx*& Caption, int Side) {
        auto* box = new QWidget(this);
        auto* grid = new QGridLayout(box);
        grid->setContentsMargins(0, 0, 0, 0);
        Button = new TImageExButton(box);
        Button->setFocusPolicy(Qt::StrongFocus);
        Caption = new TImageEx(box);
        Caption->setAlignment(Qt::AlignCenter);
        grid->addWidget(Button, 0, 0);
        grid->addWidget(Caption, 0, 0);
        Button->setFixedSize(75, 24);
        Caption->setFixedSize(75, 24);
        Button->setScaledContents(false);
        TImageExButton* b = Button;
        auto face = [b](int Index) {
            if (DM && b->isEnabled()) b->setPixmap(DM->buttonImageList.Pixmap(Index));
        };
        for (TImageEx* w : {static_cast<TImageEx*>(Button), Caption}) {
            connect(w, &TImageEx::mouseEnter, this, [face] { face(1); });
            connect(w, &TImageEx::mouseLeave, this, [face] { face(0); });
            connect(w, &TImageEx::mouseDown, this, [face] { face(3); });
            connect(w, &TImageEx::clicked, this, [this, Side, face] {
                face(0);
                BrowseFolder(Side);
            });
        }
        face(0);
        return box;
    };
    edit_LFolder = new QLineEdit(top);
    Edit_RFolder = new QLineEdit(top);
    for (QLineEdit* e : {edit_LFolder, Edit_RFolder}) {
        e->setMinimumWidth(160);
        e->setFrame(true);
    }
    connect(edit_LFolder, &QLineEdit::editingFinished, this, [this] { FolderEdited(1); });
    connect(Edit_RFolder, &QLineEdit::editingFinished, this, [this] { FolderEdited(0); });
    bt_taskconfig = new TImageExButton(top);
    bt_taskconfig->setFixedSize(55, 40);
    bt_taskconfig->setFocusPolicy(Qt::StrongFocus);
    connect(bt_taskconfig, &TImageEx::clicked, this, &TFSyncMain::Action_optionsExecute);
    topLayout->addWidget(edit_LFolder, 1);
    topLayout->addWidget(makeBrowse(bt_LBrowse, bt_LBrowse1, 1));
    topLayout->addSpacing(8);
    topLayout->addWidget(bt_taskconfig);
    topLayout->addSpacing(8);
    topLayout->addWidget(Edit_RFolder, 1);
    topLayout->addWidget(makeBrowse(bt_RBrowse, bt_RBrowse1, 0));

    // The action panel: the three run buttons, the view choice, the run's status.
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("ActionPanel"));
    auto* panelLayout = new QHBoxLayout(panel);
    panelLayout->setContentsMargins(8, 4, 8, 4);
    GroupBox_Action = new QGroupBox(panel);
    auto* actions = new QHBoxLayout(GroupBox_Action);
    actions->setContentsMargins(6, 2, 6, 4);
    auto makeRunButton = [this, actions](TImageExButton*& Button, TImageEx*& Caption, const char* Face,
                                         void (TFSyncMain::*Click)()) {
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        Button = new TImageExButton(GroupBox_Action);
        Button->setFixedSize(40, 40);
        Button->setFocusPolicy(Qt::StrongFocus);
        Caption = new TImageEx(GroupBox_Action);
        Caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        column->addWidget(Button, 0, Qt::AlignHCenter);
        column->addWidget(Caption, 0, Qt::AlignHCenter | Qt::AlignTop);
        actions->addLayout(column);
        TImageExButton* b = Button;
        const std::string face = Face;
        for (TImageEx* w : {static_cast<TImageEx*>(Button), Caption}) {
            connect(w, &TImageEx::mouseEnter, this, [b, face] {
                if (b->isEnabled()) LoadJpegResource(b, face + "2", "JPG");
            });
            connect(w, &TImageEx::mouseLeave, this, [b, face] {
                if (b->isEnabled()) LoadJpegResource(b, face + "1", "JPG");
            });
            connect(w, &TImageEx::clicked, this, [this, b, Click] {
                if (b->isEnabled()) (this->*Click)();
            });
        }
    };
    makeRunButton(BitBtn_Analyze, BitBtn_Analyze1, "BitBtn_Analyze", &TFSyncMain::AnalyzeClicked);
    makeRunButton(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", &TFSyncMain::BitBtn_SyncClick);
    makeRunButton(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", &TFSyncMain::BitBtn_cancelClick);
    panelLayout->addWidget(GroupBox_Action);

    GroupBox_ResultsFilter = new QGroupBox(panel);
    auto* filters = new QVBoxLayout(GroupBox_ResultsFilter);
    filters->setContentsMargins(8, 2, 8, 4);
    filters->setSpacing(1);
    auto* radios = new QButtonGroup(this);
    const std::pair<QRadioButton**, int> radioKinds[] = {{&rb_all, VIEW_ALL},
                                                         {&rb_changed, VIEW_CHANGES},
                                                         {&rb_conflicts, VIEW_CONFLICTS},
                                                         {&rb_errors, VIEW_ERRORS}};
    for (auto [radio, kind] : radioKinds) {
        *radio = new QRadioButton(GroupBox_ResultsFilter);
        radios->addButton(*radio, kind);
        filters->addWidget(*radio);
    }
    connect(radios, &QButtonGroup::idClicked, this, [this](int Kind) { ShowView(Kind); });
    panelLayout->addWidget(GroupBox_ResultsFilter);

    auto* status = new QWidget(panel);
    auto* statusLayout = new QGridLayout(status);
    statusLayout->setContentsMargins(8, 0, 0, 0);
    Label_ActionStatus = new QLabel(status);
    Label_ActionStatus->setTextFormat(Qt::PlainText);
    QFont bold = Label_ActionStatus->font();
    bold.setBold(true);
    Label_ActionStatus->setFont(bold);
    Label_lasttime = new QLabel(QStringLiteral("00:00:00"), status);
    pb_action = new QProgressBar(status);
    pb_action->setFormat(QStringLiteral("%v / %m"));
    pb_action->setTextVisible(true);
    pb_action->hide();
    lb_File = new QLabel(status);
    lb_File->setTextFormat(Qt::PlainText);
    lb_File->setMinimumWidth(10);
    lb_File->hide();
    statusLayout->addWidget(Label_ActionStatus, 0, 0);
    statusLayout->addWidget(Label_lasttime, 0, 1, Qt::AlignRight);
    statusLayout->addWidget(pb_action, 1, 0, 1, 2);
    statusLayout->addWidget(lb_File, 2, 0, 1, 2);
    statusLayout->setColumnStretch(0, 1);
    panelLayout->addWidget(status, 1);

    VST1 = new QTreeView(this);
    m_Model = new TPlanModel(m_Run->Plan, m_Images, this);
    VST1->setModel(m_Model);
    SetupPlanView(*VST1);
    VST1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(VST1, &QTreeView::clicked, this, [this] {
        if (TPlanRow* row = SelectedRow(); row && !m_Run->Plan.RootNode->Children.empty()) {
            PreparePopupMenu(*row);
            lb_File->setText(Utf8(row->Data.FolderPath.str() + row->Data.Name));
            lb_File->show();
        }
    });
    connect(VST1, &QTreeView::customContextMenuRequested, this, [this](const QPoint& At) {
        if (TPlanRow* row = SelectedRow(); row && !m_Run->Plan.RootNode->Children.empty()) {
            PreparePopupMenu(*row);
            pop_direction->popup(VST1->viewport()->mapToGlobal(At));
        }
    });

    Panel2 = new QWidget(this);
    auto* logLayout = new QVBoxLayout(Panel2);
    logLayout->setContentsMargins(0, 0, 0, 0);
    memo1 = new QPlainTextEdit(Panel2);
    memo1->setReadOnly(true);
    memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logLayout->addWidget(memo1);

    Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->addWidget(VST1);
    Splitter1->addWidget(Panel2);
    Splitter1->setStretchFactor(0, 3);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setChildrenCollapsible(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(panel);
    layout->addWidget(Splitter1, 1);

    setStyleSheet(
        QStringLiteral("#TopStrip, #ActionPanel { background: #F4F6F8; }"
                       "#ActionPanel { border-bottom: 1px solid #D0D7DE; }"));

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TFSyncMain::Timer1Timer);
    m_ReportTimer = new QTimer(this);
    m_ReportTimer->setSingleShot(true);
    connect(m_ReportTimer, &QTimer::timeout, this, [this] { RunStep([this] { TakeReports(); }); });
    TipTimer = new QTimer(this);
    TipTimer->setInterval(1000);
    TipTimer->setSingleShot(true);
    connect(TipTimer, &QTimer::timeout, this, &TFSyncMain::ShowFolderTips);

    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", false);
    LoadJpegResource(BitBtn_Analyze, "BitBtn_Analyze1", "JPG");
    GroupBox_ResultsFilter->setEnabled(false);
}

void TFSyncMain::BuildActions() {
    auto* views = new QActionGroup(this);
    for (int kind = 0; kind < 11; ++kind) {
        QAction* a = new QAction(this);
        a->setCheckable(true);
        a->setEnabled(false);
        views->addAction(a);
        connect(a, &QAction::triggered, this, [this, kind] { ShowView(kind); });
        ViewActions[kind] = a;
    }
    Action_Log = new QAction(this);
    connect(Action_Log, &QAction::triggered, this, [this] { Panel2->setVisible(!Panel2->isVisible()); });

    auto make = [this](QAction*& Action, auto Call) {
        Action = new QAction(this);
        connect(Action, &QAction::triggered, this, Call);
    };
    make(act_pop_LtoR, [this] { SetSelectedRowAction(ACTION_LEFT_NEWER); });
    make(act_pop_RtoL, [this] { SetSelectedRowAction(ACTION_RIGHT_NEWER); });
    make(act_pop_Donotcopy, [this] { SetSelectedRowAction(ACTION_NOT_COPY); });
    make(act_open_Left_file, [this] { OpenSideFile(false, 0); });
    make(act_open_Left_Folder, [this] { OpenSideFile(true, 0); });
    make(act_open_right_file, [this] { OpenSideFile(false, 1); });
    make(act_open_right_folder, [this] { OpenSideFile(true, 1); });
    make(act_del_left_file, [this] { DeleteSideFile(0); });
    make(act_del_right_file, [this] { DeleteSideFile(1); });
    make(act_leftfilesaveas, [this] { SaveSideFileAs(0); });
    make(act_rightfilesaveas, [this] { SaveSideFileAs(1); });
    make(act_include_type, [this] { AddFilterFromNode(true, true); });
    make(act_include_file, [this] { AddFilterFromNode(false, true); });
    make(act_exclude_type, [this] { AddFilterFromNode(true, false); });
    make(act_exclude_file, [this] { AddFilterFromNode(false, false); });

    pop_direction = new QMenu(this);
    pop_direction->addActions({act_pop_LtoR, act_pop_RtoL, act_pop_Donotcopy});
    pop_direction->addSeparator();
    pop_direction->addActions(
        {act_open_Left_file, act_open_Left_Folder, act_open_right_file, act_open_right_folder});
    pop_direction->addSeparator();
    pop_direction->addActions(
        {act_del_left_file, act_del_right_file, act_leftfilesaveas, act_rightfilesaveas});
    pop_direction->addSeparator();
    pop_direction->addActions({act_include_type, act_include_file, act_exclude_type, act_exclude_file});
}

void TFSyncMain::LoadLanguageTexts() {
    bt_LBrowse1->setText(Lang("Browse"));
    bt_RBrowse1->setText(Lang("Browse"));
    BitBtn_Analyze1->setText(Lang("Analyze"));
    BitBtn_Sync1->setText(Lang("Sync"));
    BitBtn_cancel1->setText(Lang("cancel"));
    GroupBox_Action->setTitle(Lang("Action"));
    GroupBox_ResultsFilter->setTitle(Lang("ResultsFilter"));
    rb_all->setText(Lang("all") + QStringLiteral("()"));
    rb_changed->setText(Lang("changed") + QStringLiteral("()"));
    rb_conflicts->setText(Lang("conflicts") + QStringLiteral("()"));
    rb_errors->setText(Lang("errors") + QStringLiteral("()"));
    Label_ActionStatus->setText(Lang("starttip"));
    for (int kind = 0; kind < 11; ++kind)
        ViewActions[kind]->setText(QStringLiteral(" ") + Lang(VIEW_KINDS[kind].Key));
    Action_Log->setText(QStringLiteral(" ") + Lang("log"));
    act_pop_Donotcopy->setText(QStringLiteral(" ") + Lang("Notcopy"));
    act_pop_LtoR->setText(QStringLiteral(" ") + Lang("CTLtoR"));
    act_pop_RtoL->setText(QStringLiteral(" ") + Lang("CTRtoL"));
    const std::pair<QAction*, const char*> fileItems[] = {
        {act_open_Left_file, "OpenLeftFile"},   {act_open_Left_Folder, "OpenLeftFolder"},
        {act_open_right_file, "OpenRightFile"}, {act_open_right_folder, "OpenRightFolder"},
        {act_del_left_file, "DeleteLeftFile"},  {act_del_right_file, "DeleteRightFile"},
        {act_leftfilesaveas, "SaveLeftFileAs"}, {act_rightfilesaveas, "SaveRightFileAs"},
    };
    for (auto [action, key] : fileItems) action->setText(QStringLiteral(" ") + Lang(key));
    const std::pair<QWidget*, const char*> hints[] = {
        {bt_taskconfig, "Options_Hint"},
        {BitBtn_Analyze, "Analyze_Hint"},
        {BitBtn_Sync, "Sync_Hint"},
        {BitBtn_cancel, "cancel_hint"},
        {bt_LBrowse, "Browse_Lhint"},
        {bt_RBrowse, "Browse_Rhint"},
        {memo1, "log_hint"},
        {edit_LFolder, "lforder_hint"},
        {Edit_RFolder, "rforder_hint"},
        {GroupBox_ResultsFilter, "ResultsFilter_Hint"},
        {rb_all, "all_Hint"},
        {rb_changed, "changed_Hint"},
        {rb_conflicts, "conflicts_Hint"},
        {rb_errors, "errors_Hint"},
    };
    for (auto [widget, key] : hints) {
        widget->setToolTip(Lang(key));
        widget->setAccessibleDescription(Lang(key));
    }
    BitBtn_Analyze->setAccessibleName(Lang("Analyze"));
    BitBtn_Sync->setAccessibleName(Lang("Sync"));
    BitBtn_cancel->setAccessibleName(Lang("cancel"));
    bt_LBrowse->setAccessibleName(Lang("Browse_Lhint"));
    bt_RBrowse->setAccessibleName(Lang("Browse_Rhint"));
    bt_taskconfig->setAccessibleName(Lang("Options_Hint"));
    if (DM) {
        bt_LBrowse->setPixmap(DM->buttonImageList.Pixmap(0));
        bt_RBrowse->setPixmap(DM->buttonImageList.Pixmap(0));
    }
    LoadJpegResource(BitBtn_Analyze, "BitBtn_Analyze1", "JPG");
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", BitBtn_Sync->isEnabled());
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", BitBtn_cancel->isEnabled());
}

void TFSyncMain::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (!property("bfsShown").toBool()) {
        setProperty("bfsShown", true);
        LoadLanguageTexts();
        InitResultTree();
    }
}

void TFSyncMain::InitResultTree() {
    edit_LFolder->setText(Utf8(Task->LFolder->FolerAllName));
    Edit_RFolder->setText(Utf8(Task->RFolder->FolerAllName));
    if (Task->SyncName.empty()) return;
    m_Model->Reset([this] { m_Run->Plan.InitResultTree(Task->SyncName); });
    ShowDirectionPicture();
}

void TFSyncMain::ShowDirectionPicture() {
    const int picture = Task->SyncDirection == 1 ? 2 : Task->SyncDirection == 2 ? 3 : 1;
    bt_taskconfig->setPixmap(m_Directions.Pixmap(picture));
}

void TFSyncMain::SetButtonEnabled(TImageExButton* Button, QLabel* Caption, const char* Face, bool Enabled) {
    Button->setEnabled(Enabled);
    LoadJpegResource(Button, std::string(Face) + (Enabled ? "1" : "3"), "JPG");
    QPalette p = Caption->palette();
    p.setColor(QPalette::WindowText, Enabled ? palette().color(QPalette::WindowText) : GREY_CAPTION);
    Caption->setPalette(p);
}

void TFSyncMain::SetAnalyzeEnabled(bool Enabled) {
    BitBtn_Analyze->setEnabled(Enabled);
    QPalette p = BitBtn_Analyze1->palette();
    p.setColor(QPalette::WindowText, Enabled ? palette().color(QPalette::WindowText) : GREY_CAPTION);
    BitBtn_Analyze1->setPalette(p);
}

void TFSyncMain::SetTopControlsEnabled(bool Enabled) {
    for (QWidget* w : {static_cast<QWidget*>(bt_LBrowse), static_cast<QWidget*>(bt_LBrowse1),
                       static_cast<QWidget*>(edit_LFolder), static_cast<QWidget*>(bt_taskconfig),
                       static_cast<QWidget*>(bt_RBrowse), static_cast<QWidget*>(bt_RBrowse1),
                       static_cast<QWidget*>(Edit_RFolder), static_cast<QWidget*>(GroupBox_ResultsFilter)})
        w->setEnabled(Enabled);
}

void TFSyncMain::SetViewsEnabled(bool Enabled) {
    for (QAction* a : ViewActions) a->setEnabled(Enabled);
}

void TFSyncMain::AddLogLine(const QString& Line, bool Red) {
    AddLogLines({Line}, Red);
}

void TFSyncMain::AddLogLines(const QStringList& Lines, bool Red) {
    if (Lines.isEmpty()) return;
    QTextCursor cursor(memo1->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(Red ? QBrush(QColor(0xD6, 0x45, 0x45)) : palette().brush(QPalette::Text));
    for (const QString& line : Lines) {
        if (!memo1->document()->isEmpty()) cursor.insertBlock();
        cursor.insertText(line, format);
    }
    cursor.endEditBlock();
    if (m_Syncing) m_RunLines << Lines;
    memo1->verticalScrollBar()->setValue(memo1->verticalScrollBar()->maximum());
}

bool TFSyncMain::Seen() const {
    return isVisible() && !window()->isMinimized() &&
           QGuiApplication::platformName() != QLatin1String("offscreen");
}

void TFSyncMain::ReportsArrived() {
    if (m_ReportTimer->isActive()) return;
    const qint64 since = m_LastReports.isValid() ? m_LastReports.elapsed() : REPORT_INTERVAL_MS;
    if (since < REPORT_INTERVAL_MS)
        m_ReportTimer->start(static_cast<int>(REPORT_INTERVAL_MS - since));
    else
        TakeReports();
}

void TFSyncMain::TakeReports() {
    m_ReportTimer->stop();
    m_LastReports.start();
    if (const int steps = m_Notify.TakeSteps(); steps > 0)
        pb_action->setValue(std::min(pb_action->maximum(), pb_action->value() + steps));
    if (m_Notify.TakeStatus() && !m_Closing) Label_ActionStatus->setText(Utf8(GetStatusText()));
    const TSyncReports reports = m_Run->TakeSyncReports();
    std::vector<const TPlanRow*> rows;
    rows.reserve(reports.Rows.size());
    for (const auto& [row, outcome] : reports.Rows) {
        if (outcome == ACTION_ERROR) ++m_SyncFailures;
        rows.push_back(row);
    }
    if (m_Closing) return;
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(reports.Lines.size()));
    for (const std::string& line : reports.Lines) {
        lines << Utf8(line);
        // The walk's failures (a row, a saved state) begin with "Error": each is a reason of the run.
        if (m_RunOpen && line.starts_with("Error")) m_Failures << lines.back();
    }
    AddLogLines(lines);
    // Rows no one can see are repainted when the window shows again.
    if (Seen() && !rows.empty()) m_Model->RowsChanged(rows);
}

void TFSyncMain::AddLogText(const std::string& Text) {
    const QStringList lines = Utf8(Text).split(QStringLiteral("\r\n"));
    for (int i = 0; i < lines.size(); ++i) {
        if (i == lines.size() - 1 && lines[i].isEmpty()) break;
        AddLogLine(lines[i]);
    }
}

void TFSyncMain::LogToTask(const std::string& Text) {
    try {
        Task->LogIfEnabled(Text);
    } catch (const std::exception& e) {
        AddLogLine(Utf8(e.what()), true);
    }
}

int64_t TFSyncMain::HeldConflicts() const {
    return m_Run->ResultTree ? m_Run->ResultTree->ConflictCount : 0;
}

QString TFSyncMain::ConflictsReason(int64_t Conflicts) const {
    return QStringLiteral("The task \"%1\" ran: %2")
        .arg(Utf8(Task->SyncName), Utf8(TTaskRun::ConflictCountText(Conflicts)));
}

// ---------------------------------------------------------------------------------------------
// Messages

template <class TStep>
void TFSyncMain::RunStep(TStep&& Step) {
    try {
        Step();
    } catch (const std::exception& e) {
        TMyException::Instance().LogError("Task " + Task->SyncName, e);
        RunFault(e.what());
    } catch (...) {
        TMyException::Instance().LogError("Task " + Task->SyncName, "Exception",
                                          "an exception of unknown type");
        RunFault("an exception of unknown type");
    }
}

bool TFSyncMain::event(QEvent* Event) {
    if (Event->type() < QEvent::User) return QWidget::event(Event);
    bool handled = true;
    RunStep([&] { handled = HandleMessage(*static_cast<TMessageEvent*>(Event)); });
    return handled;
}

bool TFSyncMain::HandleMessage(TMessageEvent& Message) {
    TMessageEvent* m = &Message;
    switch (m->Msg()) {
        case WM_SCAN_ENDED:
            ScanEnded(static_cast<int>(m->WParam));
            return true;
        case WM_ANALYSIS_ENDED:
            AnalyzeThreadTerminated();
            return true;
        case WM_SYNC_ENDED:
            SyncThreadTerminated();
            return true;
        case WM_ROW_COMMAND_ENDED:
            RowCommandEnded();
            return true;
        default:
            break;
    }
    if (m_Closing) return true;
    const uint32_t msg = m->Msg();
    for (int kind = 0; kind < 11; ++kind)
        if (VIEW_KINDS[kind].Message == msg) {
            ShowView(kind);
            return true;
        }
    switch (msg) {
        case WM_UPDATEPROCESS:
        case WM_COPYPROCESS:
        case WM_SYNC_REPORTS:
            ReportsArrived();
            return true;
        case WM_UPDATEPROCESS + 1:  // WM_SYNC
            if (pb_action->value() < pb_action->maximum()) pb_action->setValue(pb_action->value() + 1);
            return true;
        case WM_SCAN_LISTING:
            ScanListing(static_cast<int32_t>(m->WParam));
            return true;
        case WM_SHOWLOG:
            Action_Log->trigger();
            return true;
        case WM_ANAL_SYNC:
        case WM_ANAL_JOB:
            // The main window's runs are manual runs; while the task runs they are ignored.
            if (Running()) return true;
            Task->AutoRun = 0;
            if (msg == WM_ANAL_SYNC && m->WParam == SYNC_SHOWN_PLAN)
                SyncShownPlan();
            else if (msg == WM_ANAL_SYNC)
                AnalyzeThenSync();
            else
                StartAnalyze();
            return true;
        case WM_JOB_OPTION:
            Action_optionsExecute();
            return true;
        case WM_NOT_COPY:
            SetSelectedRowAction(ACTION_NOT_COPY);
            return true;
        case WM_MOVE_LTOR:
            SetSelectedRowAction(ACTION_LEFT_NEWER);
            return true;
        case WM_MOVE_RTOL:
            SetSelectedRowAction(ACTION_RIGHT_NEWER);
            return true;
        case WM_RESTORE_WIN:
            window()->showNormal();
            window()->activateWindow();
            return true;
        case WM_SHOWTIP:
            if (m->LParam == 0)
                TipTimer->start();
            else
                ShowFolderTips();
            return true;
        default:
            return QWidget::event(m);
    }
}

// ---------------------------------------------------------------------------------------------
// The analysis run

void TFSyncMain::AnalyzeClicked() {
    lb_File->hide();
    Task->AutoRun = 0;
    StartAnalyze();
}

void TFSyncMain::AnalyzeThenSync() {
    if (Running()) return;
    m_SyncAfterAnalyze = true;
    StartAnalyze();
}

bool TFSyncMain::PlanIsCurrent() const {
    return m_HaveResult && m_ResultUsable && m_Run->ResultTree != nullptr;
}

void TFSyncMain::SyncShownPlan() {
    if (Running()) return;
    // An address still being typed counts: the plan was made for the one before it.
    if (edit_LFolder->isModified() && !FolderEdited(1)) return;
    if (Edit_RFolder->isModified() && !FolderEdited(0)) return;
    if (!PlanIsCurrent()) {
        AnalyzeThenSync();
        return;
    }
    // The rows the user changed are in the result: the changes view built from it holds them (a row
    // set to "do not copy" leaves it), and is what a sync carries out.
    if (m_CurrentView != VIEW_CHANGES) ShowView(VIEW_CHANGES);
    BitBtn_SyncClick();
}

void TFSyncMain::StartAnalyze() {
    RunStep([this] { StartAnalyzeStep(); });
}

void TFSyncMain::StartAnalyzeStep() {
    if (Running() || m_Closing || m_Ending) return;
    // An address still being typed is taken now: once the run has started, its workers read it, and
    // the edit's own "editing finished" would only come when the run disables it.
    if (edit_LFolder->isModified() && !FolderEdited(1)) return;
    if (Edit_RFolder->isModified() && !FolderEdited(0)) return;
    BeginRun();
    if (m_Run->StartScan() != 0) {
        // Folder checks in red; connect and root checks, a task already running, a damaged setting
        // in the pane's own colour. Nothing else changes.
        RunLine(Utf8(m_Run->ErrorText), true, m_Run->FolderCheckFailed);
        Label_ActionStatus->setText(RefusalStatus());
        m_SyncAfterAnalyze = false;
        // A refusal past the folder checks has replaced the back-ends and dropped the result.
        UpdateSyncEnabled();
        EndRun(Utf8(m_Run->ErrorText));
        return;
    }
    // Both listings (or the connect worker for them) end through ScanEnded from now on.
    m_RunningScans = 2;
    BeginAnalyzeUI();
    // The previous result goes with the view: no stale counts, no stale plan.
    m_HaveResult = m_ResultUsable = false;
    m_SyncedSides.clear();
    m_SyncedResult.reset();
    m_CurrentView = -1;
    m_Model->Reset([this] { m_Run->Plan.InitResultTree(Task->SyncName); });
    rb_all->setText(Lang("all") + QStringLiteral("()"));
    rb_changed->setText(Lang("changed") + QStringLiteral("()"));
    rb_conflicts->setText(Lang("conflicts") + QStringLiteral("()"));
    rb_errors->setText(Lang("errors") + QStringLiteral("()"));
    // Busy until the sides are connected and their listings tell their steps (ScanListing).
    pb_action->setRange(0, 0);
    pb_action->setValue(0);
    m_ElapsedSeconds = 0;
    Label_lasttime->setText(QStringLiteral("00:00:00"));
    Timer1->start();
    Label_ActionStatus->setText(Lang("scan"));
}

void TFSyncMain::BeginAnalyzeUI() {
    SetAnalyzeEnabled(false);
    pb_action->show();
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", true);
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    SetTopControlsEnabled(false);
    SetViewsEnabled(false);
    m_AnalyzeTime.start();
    m_ScanTime.start();
    m_ScanMs = 0;
    m_Cancelled = false;
    memo1->verticalScrollBar()->setValue(memo1->verticalScrollBar()->maximum());
}

void TFSyncMain::BeginRun() {
    m_RunOpen = true;
    m_Failures.clear();
    m_PendingLog.clear();
    m_RecordLogged = false;
    m_Faulted = false;
}

void TFSyncMain::RunLine(const QString& Line, bool Fails, bool Red) {
    AddLogLine(Line, Red);
    if (!m_RunOpen) return;
    if (Fails) m_Failures << Line;
    // A sync's lines are its record (m_RunLines); others follow the analysis record.
    if (m_Syncing) return;
    if (m_RecordLogged)
        LogToTask(Line.toStdString());
    else
        m_PendingLog << Line;
}

void TFSyncMain::RunFails(const QString& Reason) {
    if (m_RunOpen) m_Failures << Reason;
}

void TFSyncMain::EndRun(const QString& Refusal) {
    if (!m_RunOpen) return;
    m_RunOpen = false;
    if (!m_PendingLog.isEmpty()) {
        // A run that ended before its analysis record gets a record of its own for its lines.
        std::string text = m_RecordLogged ? std::string() : Task->LogHeader("ANALYSIS") + "\r\n";
        text += m_PendingLog.join(QStringLiteral("\r\n")).toStdString();
        m_PendingLog.clear();
        LogToTask(text);
    }
    m_RecordLogged = false;
    // Whatever ended it, the task is free again unless its plan waits to be carried out.
    if (!m_Run->WorkerAlive() && !PlanIsCurrent()) m_Run->Release();
    if (m_Closing) return;
    if (!m_Failures.isEmpty()) {
        emit RunEnded(true,
                      !Refusal.isEmpty()
                          ? Refusal
                          : QStringLiteral("task \"%1\": %2").arg(Utf8(Task->SyncName), m_Failures.front()));
        return;
    }
    // Conflicts left alone fail a run that went well otherwise, and it says how many.
    const int64_t conflicts = HeldConflicts();
    emit RunEnded(conflicts > 0, conflicts > 0 ? ConflictsReason(conflicts) : QString());
}

void TFSyncMain::RunFault(const std::string& What) {
    if (!m_RunOpen) return;
    m_Run->Stop();
    if (!m_Faulted)
        RunLine(QStringLiteral("Error: the run stopped on an unexpected error: ") + Utf8(What), true, true);
    m_Faulted = true;
    // Workers still alive were stopped: their ends come as messages and end the run then.
    if (!m_Run->WorkerAlive() && m_RunningScans == 0) EndFaultedRun();
}

void TFSyncMain::EndFaultedRun() {
    m_Faulted = false;
    m_SyncAfterAnalyze = false;
    m_Cancelled = false;
    // A plan whose run stopped half-way is never carried out: only a new analysis gives one.
    m_ResultUsable = false;
    m_Run->Release();
    const bool syncing = m_Syncing;
    if (syncing) CloseSyncRecord(m_SyncTime.elapsed());
    EndRefusedScan();
    Label_ActionStatus->setText(m_Failures.isEmpty() ? QString() : m_Failures.front());
    if (syncing && MainWnd) MainWnd->SendMessage(WM_TASKFINISHED, 0, 10);
    EndRun();
}

void TFSyncMain::ScanEnded(int) {
    if (m_RunningScans > 0 && --m_RunningScans == 0) StartCompare();
}

void TFSyncMain::ScanListing(int32_t Steps) {
    if (m_RunningScans == 0 || m_Cancelled) return;
    pb_action->setRange(0, std::max(1, Steps));
    pb_action->setValue(0);
}

void TFSyncMain::EndRefusedScan() {
    Timer1->stop();
    pb_action->setValue(0);
    pb_action->hide();
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", false);
    SetTopControlsEnabled(true);
    // The previous result went when the run began.
    GroupBox_ResultsFilter->setEnabled(false);
    SetViewsEnabled(false);
    SetAnalyzeEnabled(true);
    Label_lasttime->setText(QStringLiteral("00:00:00"));
    Label_ActionStatus->setText(RefusalStatus());
    UpdateSyncEnabled();
}

// Why the run did not start, for the status line: the short form where the run has one (the side
// and the reason), else the log line itself.
QString TFSyncMain::RefusalStatus() const {
    return Utf8(m_Run->ErrorCause.empty() ? m_Run->ErrorText : m_Run->ErrorCause);
}

void TFSyncMain::StartCompare() {
    if (!m_Faulted) TakeReports();
    m_HeldBack = m_Run->FinishScan() != 0;
    if (m_Faulted) {
        EndFaultedRun();
        return;
    }
    if (m_Cancelled || m_Closing || m_Ending) {
        // Cancelled while listing: the run goes no further.
        m_Cancelled = false;
        m_Run->Release();
        if (!m_Closing) SetAnalyzeEnabled(true);
        RunFails(QStringLiteral("The run was cancelled."));
        EndRun();
        return;
    }
    if (m_Run->ConnectFailed) {
        // A side refused on the scan's worker: the one line a refusal at the start gives, in the
        // pane's own colour.
        RunLine(Utf8(m_Run->ErrorText), true);
        m_SyncAfterAnalyze = false;
        EndRefusedScan();
        EndRun(Utf8(m_Run->ErrorText));
        return;
    }
    m_ScanMs = m_ScanTime.elapsed();
    if (m_Run->StartAnalyze() != 0) {
        RunLine(Utf8(m_Run->ErrorText), true);
        m_Run->Release();
        m_SyncAfterAnalyze = false;
        ShowAnalysisSummary();
        EndRun();
        return;
    }
    Label_ActionStatus->setText(Lang("compare"));
}

bool TFSyncMain::EndedByFaultOrClose() {
    if (m_Faulted)
        EndFaultedRun();
    else if (m_Closing)
        EndRun();
    else
        return false;
    return true;
}

void TFSyncMain::AnalyzeThreadTerminated() {
    if (!m_Faulted) TakeReports();  // what the worker reported before its end comes first
    const int failed = m_Run->FinishAnalyze();
    if (EndedByFaultOrClose()) return;
    m_AnalyzeMs = m_AnalyzeTime.elapsed();
    m_AnalyzeTime.invalidate();
    m_Icons->Reset();
    m_HaveResult = true;
    m_ResultUsable = failed == 0 && !m_Run->AnalysisCancelled();
    if (failed != 0) RunLine(Utf8(m_Run->ErrorText), true);
    // Notes that only inform (a server's clock) or name conflicts fail nothing of themselves.
    const std::vector<std::string>& failures = m_Run->Failures;
    for (const std::string& note : m_Run->Notes)
        RunLine(Utf8(note), std::find(failures.begin(), failures.end(), note) != failures.end());
    // A listing cut short, or an analysis stopped after its last note, still fails the run.
    if (m_HeldBack && m_Failures.isEmpty())
        RunFails(QStringLiteral("A side could not be listed completely."));
    if (!m_ResultUsable && m_Failures.isEmpty()) RunFails(QStringLiteral("The analysis was cancelled."));
    ShowView(VIEW_CHANGES);
    Label_ActionStatus->setText(Lang("analyzefinish"));
    m_Run->Stop();
    ShowAnalysisSummary();
    Task->Busy = 0;
    const bool syncNext = m_SyncAfterAnalyze;
    // "Sync after analysis" belongs to this run only: a later Analyze never syncs without review.
    m_SyncAfterAnalyze = false;
    if (syncNext && m_ResultUsable && BitBtn_Sync->isEnabled()) {
        // The run goes on: nothing else starts in the pause before its sync.
        m_SyncPending = true;
        QTimer::singleShot(1000, this, [this] {
            m_SyncPending = false;
            RunStep([this] {
                if (!m_Closing && !m_Ending && !Running()) SyncClickStep();
                if (m_Syncing || !m_RunOpen) return;
                // The sync asked for did not start: its refusal, when it gave one, is the reason.
                if (m_SyncRefusal.isEmpty()) RunFails(QStringLiteral("The sync did not start."));
                EndRun();
            });
        });
    } else {
        EndRun();
    }
    if (!m_Run->ResultTree) return;
    const TFileTree& root = *m_Run->ResultTree;
    const int64_t changes = root.OverwriteCount + root.NewCount + root.DeleteCount;
    // Nothing left to do only when nothing waits either: a conflict or an error is left to the user,
    // and a cut-short analysis never tells.
    if (changes < 1 && root.ConflictCount == 0 && root.ErrorCount == 0 && m_ResultUsable) {
        ShowTip(BitBtn_Analyze, QStringLiteral("Analysis result"), QStringLiteral("No changes were made."));
        Label_ActionStatus->setText(QStringLiteral("No changes were made."));
    } else if (BitBtn_Sync->isEnabled() && !syncNext) {
        ShowTip(BitBtn_Sync, QStringLiteral("Bramlow File Sync"), BitBtn_Sync->toolTip());
    }
}

void TFSyncMain::ShowAnalysisSummary() {
    SetAnalyzeEnabled(true);
    Timer1->stop();
    pb_action->setValue(0);
    pb_action->hide();
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", false);
    SetTopControlsEnabled(true);
    SetViewsEnabled(m_HaveResult);
    GroupBox_ResultsFilter->setEnabled(m_HaveResult);
    Label_lasttime->setText(QStringLiteral("00:00:00"));

    const qint64 total = m_AnalyzeTime.isValid() ? m_AnalyzeTime.elapsed() : m_AnalyzeMs;
    const qint64 scan = m_ScanMs > 0 || !m_ScanTime.isValid() ? m_ScanMs : m_ScanTime.elapsed();
    const std::string a =
        "TotalTime:" + std::to_string(total) + " ms" + " Scan File Time:" + std::to_string(scan) + " ms";
    std::string b;
    if (m_HaveResult && m_Run->ResultTree) {
        const TFileTree& r = *m_Run->ResultTree;
        b = "All:" + std::to_string(r.ExcludedCount + r.IncludedCount) +
            ",Changed:" + std::to_string(r.OverwriteCount + r.NewCount + r.DeleteCount) +
            ",Conflicts:" + std::to_string(r.ConflictCount) + ",Errors:" + std::to_string(r.ErrorCount) +
            ",Included:" + std::to_string(r.IncludedCount) + ",Excluded:" + std::to_string(r.ExcludedCount);
    }
    AddLogText(Task->LogAnalysis(a, b, DiskText()));
    // The run's lines so far (its notes) follow the record in the task log, and later ones at once.
    if (m_RunOpen && !m_RecordLogged) {
        m_RecordLogged = true;
        if (!m_PendingLog.isEmpty()) LogToTask(m_PendingLog.join(QStringLiteral("\r\n")).toStdString());
        m_PendingLog.clear();
    }
    // After the record, a line for every conflict the analysis holds and one with their count.
    if (const std::vector<std::string>& conflicts = m_Run->ConflictLines; !conflicts.empty()) {
        QStringList lines;
        lines.reserve(static_cast<qsizetype>(conflicts.size()) + 1);
        std::string text;
        for (const std::string& line : conflicts) {
            lines << Utf8(line);
            text += line + "\r\n";
        }
        const std::string count = TTaskRun::ConflictCountText(static_cast<int64_t>(conflicts.size()));
        lines << Utf8(count);
        AddLogLines(lines);
        LogToTask(text + count);
    }
    UpdateSyncEnabled();
}

std::string TFSyncMain::DiskText() {
    std::string c;
    auto text = [](const char* Label, const std::string& Root, int64_t Total, int64_t Free) {
        return std::string(Label) + Root + ",Total Size:" + std::to_string(Total / 1024 / 1024) +
               "MB, Free size:" + std::to_string(Free / 1024 / 1024) + "MB";
    };
    auto local = [&text](const TFolderSource& Folder, int64_t& Free, const char* Label) {
        int64_t total = 0;
        GetDiskSpace(Folder.FolerAllName, total, Free);
        return text(Label, Folder.FolerAllName, total, Free);
    };
    // A share's space is what the server told its listing; without it the side's information
    // stands in, and its free space is unknown (-1), so no sync is refused for it.
    auto share = [&text](const TFolderSource& Folder, const TFileOper* Oper, int64_t& Free,
                         const char* Label) {
        int64_t total = 0;
        Free = -1;
        if (Oper && GetShareSpace(*Oper, total, Free))
            return text(Label, TSyncTask::GetShareRoot(Folder.FolerAllName), total, Free);
        Free = -1;
        return std::string(Label) + Folder.InfoText;
    };
    auto remote = [](int32_t Kind) {
        return Kind == DEVICE_FTP || Kind == DEVICE_WEBDAV || Kind == DEVICE_MOBILE;
    };
    const TFolderSource& left = *Task->LFolder;
    const TFolderSource& right = *Task->RFolder;
    m_LeftFree = m_RightFree = 0;
    if (left.DeviceType == DEVICE_LOCAL || left.DeviceType == DEVICE_NONE)
        c = local(left, m_LeftFree, "Left Folder:");
    else if (left.DeviceType == DEVICE_NETWORK)
        c = share(left, m_Run ? m_Run->LeftOper.get() : nullptr, m_LeftFree, "Left Folder:");
    else if (remote(left.DeviceType))
        c = "Left Folder:" + left.InfoText;
    if (right.DeviceType == DEVICE_NETWORK)
        c.append(";").append(
            share(right, m_Run ? m_Run->RightOper.get() : nullptr, m_RightFree, "Right Folder:"));
    else if (remote(right.DeviceType))
        c.append(";Right Folder:").append(right.InfoText);
    else if (right.DeviceType == DEVICE_LOCAL || right.DeviceType == DEVICE_NONE)
        c.append(";").append(local(right, m_RightFree, "Right Folder:"));
    return c;
}

// ---------------------------------------------------------------------------------------------
// The sync run

int TFSyncMain::CheckDiskSpace() const {
    int result = 0;
    // A local side, and a share whose free space its server told (DiskText).
    auto checked = [](int32_t Kind, int64_t Free) {
        return Kind == DEVICE_LOCAL || Kind == DEVICE_NONE || (Kind == DEVICE_NETWORK && Free >= 0);
    };
    if (checked(Task->LFolder->DeviceType, m_LeftFree) && m_Run->Plan.LeftBytes > m_LeftFree) result = 1;
    if (checked(Task->RFolder->DeviceType, m_RightFree) && m_Run->Plan.RightBytes > m_RightFree) result = 2;
    return result;
}

QString TFSyncMain::DiskSpaceText(int Full) const {
    const auto mb = [](int64_t Bytes) { return QLocale::c().toString((Bytes + 1048575) / 1048576); };
    const bool left = Full == 1;
    return QStringLiteral("%1 Folder disk space is not enough: %2 MB needed, %3 MB free.")
        .arg(left ? QStringLiteral("Left") : QStringLiteral("Right"))
        .arg(mb(left ? m_Run->Plan.LeftBytes : m_Run->Plan.RightBytes))
        .arg(mb(left ? m_LeftFree : m_RightFree));
}

void TFSyncMain::BitBtn_SyncClick() {
    RunStep([this] { SyncClickStep(); });
}

void TFSyncMain::SyncClickStep() {
    lb_File->hide();
    m_SyncRefusal.clear();
    if (!BitBtn_Sync->isEnabled() || Running() || m_Ending || !m_ResultUsable || !m_Run->ResultTree) return;
    // Started by a trigger or the command line: no one is there to answer a box.
    const bool unattended = Task->AutoRun == 1;
    Task->AutoRun = 0;
    if (const int full = CheckDiskSpace(); full != 0) {
        const QString text = DiskSpaceText(full);
        if (!unattended) {
            ShowMessageBox(text, QStringLiteral("Bramlow File Sync"), MB_ICONERROR);
            return;
        }
        // The refusal goes to both logs, and the task is free for its next run.
        RunLine(text, true, true);
        m_Run->Release();
        m_ResultUsable = false;
        UpdateSyncEnabled();
        m_SyncRefusal = text;
        return;
    }
    // A sync of the plan shown, started by the user, is a run of its own.
    if (!m_RunOpen) BeginRun();
    BeginSync();
    if (m_Run->StartSync() != 0) {
        RunLine(Utf8(m_Run->ErrorText), true);
        SyncThreadTerminated();
        Label_ActionStatus->setText(Utf8(m_Run->ErrorText));  // no walk, so no "Sync finished."
    }
    m_SyncAfterAnalyze = false;
}

void TFSyncMain::BeginSync() {
    m_SyncTime.start();
    m_SyncCancelled = false;
    m_SyncFailures = 0;
    SetTopControlsEnabled(false);
    SetAnalyzeEnabled(false);
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", true);
    const TFileTree& root = *m_Run->ResultTree;
    pb_action->setRange(0, std::max<int64_t>(1, root.OverwriteCount + root.NewCount + root.DeleteCount));
    pb_action->setValue(0);
    pb_action->show();
    m_Syncing = true;
    m_ElapsedSeconds = 0;
    Label_lasttime->setText(QStringLiteral("00:00:00"));
    Timer1->start();
    Label_ActionStatus->setText(Lang("syncstart"));
    m_RunLines.clear();
    AddLogText(Task->LogHeader("SYNC"));
    Task->Busy = 1;
    GroupBox_ResultsFilter->setEnabled(false);
    SetViewsEnabled(false);
}

void TFSyncMain::SyncThreadTerminated() {
    if (!m_Faulted) TakeReports();
    m_Run->FinishSync();
    if (EndedByFaultOrClose()) return;
    const qint64 syncMs = m_SyncTime.elapsed();
    SetTopControlsEnabled(true);
    SetAnalyzeEnabled(true);
    Task->Busy = 0;
    if (MainWnd) MainWnd->SendMessage(WM_TASKFINISHED, 0, 10);
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", false);
    pb_action->hide();
    Timer1->stop();
    // The clock keeps the run's time until the next run starts it again.
    m_ElapsedSeconds = static_cast<int>(syncMs / 1000);
    Label_lasttime->setText(ClockText(m_ElapsedSeconds));
    // The plan has been carried out: it is not carried out a second time without a new analysis.
    m_ResultUsable = false;

    // The rows show what the walk did: both sides as they now are, the counts of what is left, the
    // failed rows in the errors view. The views may be looked at; Sync stays off.
    int64_t left = 0;
    if (m_Run->ResultTree) {
        RecordSyncedSides();
        m_Run->Plan.RecountResults(*m_Run->ResultTree);
        RefreshRows();
        UpdateFilterCaptions();
        const TFileTree& r = *m_Run->ResultTree;
        left = r.NewCount + r.OverwriteCount + r.DeleteCount;
    }
    GroupBox_ResultsFilter->setEnabled(m_HaveResult);
    SetViewsEnabled(m_HaveResult);
    UpdateSyncEnabled();

    // A cancel that came after the last row cancelled nothing.
    const bool cancelled = m_SyncCancelled && left > 0;
    QString status = cancelled ? QStringLiteral("Sync cancelled.") : Lang("syncend");
    if (m_SyncFailures > 0)
        status = QStringLiteral("%1 %2 failed.")
                     .arg(cancelled ? QStringLiteral("Sync cancelled:") : QStringLiteral("Sync finished:"))
                     .arg(m_SyncFailures);
    Label_ActionStatus->setText(status);
    if (cancelled) RunLine(status, true);
    // Each failed row's Error line is a reason already; these are for a walk that gave none.
    if (m_SyncFailures > 0 || PlanHasFailedRow()) RunFails(QStringLiteral("A row of the sync failed."));
    if (m_Run->StateNotWritten() != 0) {
        Label_ActionStatus->setText(
            QStringLiteral("The task \"%1\" ran, but a saved state could not be written.")
                .arg(Utf8(Task->SyncName)));
        RunFails(QStringLiteral("A saved state could not be written."));
    }
    CloseSyncRecord(syncMs);
    EndRun();
}

void TFSyncMain::CloseSyncRecord(qint64 SyncMs) {
    AddLogLine(QStringLiteral("----- Sync End. Time:%1ms -----").arg(SyncMs));
    m_Syncing = false;
    std::string text;
    for (const QString& line : m_RunLines) text += line.toStdString() + "\r\n";
    m_RunLines.clear();
    LogToTask(text);
}

void TFSyncMain::RecordSyncedSides() {
    m_SyncedSides.clear();
    m_SyncedResult = m_Run->ResultTree;
    std::vector<const TFileTree*> pending{m_SyncedResult.get()};
    while (!pending.empty()) {
        const TFileTree& n = *pending.back();
        pending.pop_back();
        for (const TFileTreeRef& c : n.Children) pending.push_back(c.get());
        if (n.DoneAction == 0) continue;
        // A copy: the source as it was, the target as the walk saw it right after writing it (its
        // size and date there), with the source's attributes. A delete: nothing on either side.
        TSides s;
        const TPlanAction done = PlanAction(n.DoneAction);
        if (done.Operation == OPER_COPY && done.SourceSide == SIDE_LEFT)
            s = {n.LeftDate, n.LeftAttr, n.RightDate, n.LeftAttr, n.LeftSize, n.RightSize};
        else if (done.Operation == OPER_COPY)
            s = {n.LeftDate, n.RightAttr, n.RightDate, n.RightAttr, n.LeftSize, n.RightSize};
        m_SyncedSides.emplace(&n, s);
    }
}

void TFSyncMain::RefreshRows() {
    TPlanRow* root = m_Run->Plan.RootNode.get();
    if (!root) return;
    const bool synced = m_SyncedResult && m_SyncedResult == m_Run->ResultTree;
    // Rows in pre-order; walked backwards, every row comes after the rows below it.
    std::vector<TPlanRow*> rows{root};
    for (size_t i = 0; i < rows.size(); ++i)
        for (const auto& c : rows[i]->Children) rows.push_back(c.get());
    // A folder row's sizes are its own plus those of the rows below it: its own part stays.
    std::vector<std::pair<int64_t, int64_t>> own(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const TResultNodeData& d = rows[i]->Data;
        own[i] = {d.LeftSize, d.RightSize};
        for (const auto& c : rows[i]->Children) {
            own[i].first -= c->Data.LeftSize;
            own[i].second -= c->Data.RightSize;
        }
    }
    for (size_t i = rows.size(); i-- > 0;) {
        TPlanRow& row = *rows[i];
        TResultNodeData& d = row.Data;
        const TFileTree* node = d.ResultNode.get();
        if (synced && node) {
            if (auto it = m_SyncedSides.find(node); it != m_SyncedSides.end()) {
                const TSides& s = it->second;
                d.LeftDate = s.LeftDate;
                d.LeftAttr = s.LeftAttr;
                d.RightDate = s.RightDate;
                d.RightAttr = s.RightAttr;
                // A folder's own size counts nothing (a saved state gives it -1).
                own[i] = {d.IsFolder ? std::max<int64_t>(0, s.LeftSize) : s.LeftSize,
                          d.IsFolder ? std::max<int64_t>(0, s.RightSize) : s.RightSize};
                if (row.Children.empty()) std::tie(d.LeftSize, d.RightSize) = own[i];
            }
        }
        if (node) {
            d.LtoRCount = node->LtoRCount;
            d.RtoLCount = node->RtoLCount;
        }
        if (row.Children.empty()) continue;
        std::tie(d.LeftSize, d.RightSize) = own[i];
        if (&row == root) d.LtoRCount = d.RtoLCount = 0;
        for (const auto& c : row.Children) {
            d.LeftSize += c->Data.LeftSize;
            d.RightSize += c->Data.RightSize;
            if (&row != root) continue;
            d.LtoRCount += c->Data.LtoRCount;
            d.RtoLCount += c->Data.RtoLCount;
        }
    }
    m_Model->RowChanged(*root, true);
}

bool TFSyncMain::PlanHasFailedRow() const {
    if (!m_Run->Plan.RootNode) return false;
    std::vector<const TPlanRow*> pending{m_Run->Plan.RootNode.get()};
    while (!pending.empty()) {
        const TPlanRow* row = pending.back();
        pending.pop_back();
        if (row->Data.Action == ACTION_ERROR) return true;
        for (const auto& child : row->Children) pending.push_back(child.get());
    }
    return false;
}

void TFSyncMain::BitBtn_cancelClick() {
    if (!BitBtn_cancel->isEnabled()) return;
    if (m_RowCommand) {
        // Its end is handled as any other: the log pane says what was not done.
        m_RowCommand->Stop();
        return;
    }
    if (m_Syncing) {
        m_SyncCancelled = true;
        m_Run->Stop();
        SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
        return;
    }
    m_Cancelled = m_RunningScans > 0;
    m_SyncAfterAnalyze = false;
    Timer1->stop();
    m_Run->Stop();
    m_ResultUsable = false;
    ShowAnalysisSummary();
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    GroupBox_ResultsFilter->setEnabled(false);
    SetViewsEnabled(false);
    // Analyze stays refused until the cancelled workers have ended.
    if (Running()) SetAnalyzeEnabled(false);
}

void TFSyncMain::Timer1Timer() {
    ++m_ElapsedSeconds;
    Label_lasttime->setText(ClockText(m_ElapsedSeconds));
}

// ---------------------------------------------------------------------------------------------
// Views and rows

void TFSyncMain::ShowView(int Kind) {
    if (Running() || !m_HaveResult || !m_Run->ResultTree || Kind < 0 || Kind > 10) return;
    m_Model->Reset([this, Kind] { m_Run->Plan.ShowView(*m_Run->ResultTree, Kind, Task->SyncName); });
    VST1->expandAll();
    m_CurrentView = Kind;
    if (m_SyncedResult && m_SyncedResult == m_Run->ResultTree) RefreshRows();
    UpdateFilterCaptions();
    CheckViewControls(Kind);
    UpdateSyncEnabled();
}

void TFSyncMain::UpdateSyncEnabled() {
    bool enable = false;
    if (m_HaveResult && m_ResultUsable && m_CurrentView == VIEW_CHANGES && m_Run->ResultTree && !Running()) {
        const TFileTree& r = *m_Run->ResultTree;
        enable = r.NewCount + r.OverwriteCount + r.DeleteCount > 0;
    }
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", enable);
}

void TFSyncMain::CheckViewControls(int Kind) {
    ViewActions[Kind]->setChecked(true);
    QRadioButton* radio = Kind == VIEW_ALL         ? rb_all
                          : Kind == VIEW_CHANGES   ? rb_changed
                          : Kind == VIEW_CONFLICTS ? rb_conflicts
                          : Kind == VIEW_ERRORS    ? rb_errors
                                                   : nullptr;
    for (QRadioButton* r : {rb_all, rb_changed, rb_conflicts, rb_errors}) {
        const QSignalBlocker block(r);
        r->setAutoExclusive(false);
        r->setChecked(r == radio);
        r->setAutoExclusive(true);
    }
}

void TFSyncMain::UpdateFilterCaptions() {
    if (!m_Run->ResultTree) return;
    const TFileTree& r = *m_Run->ResultTree;
    auto caption = [](const char* Key, int64_t Count) {
        return Lang(Key) + QStringLiteral("(%1)").arg(Count);
    };
    rb_all->setText(caption("all", r.ExcludedCount + r.IncludedCount));
    rb_changed->setText(caption("changed", r.OverwriteCount + r.NewCount + r.DeleteCount));
    rb_conflicts->setText(caption("conflicts", r.ConflictCount));
    rb_errors->setText(caption("errors", r.ErrorCount));
}

TPlanRow* TFSyncMain::SelectedRow() const {
    const QModelIndexList rows =
        VST1->selectionModel() ? VST1->selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty()) return nullptr;
    return m_Model->RowOf(rows.front());
}

void TFSyncMain::PreparePopupMenu(const TPlanRow& Row) {
    const TRowMenu menu = TPlan::PreparePopupMenu(Row, Task->SyncDirection);
    act_pop_LtoR->setEnabled(menu.LtoR);
    act_pop_RtoL->setEnabled(menu.RtoL);
    act_pop_Donotcopy->setEnabled(menu.NotCopy);
    act_open_Left_file->setEnabled(menu.OpenLeftFile);
    act_open_right_file->setEnabled(menu.OpenRightFile);
    act_open_Left_Folder->setEnabled(menu.OpenLeftFolder);
    act_open_right_folder->setEnabled(menu.OpenRightFolder);
    act_del_left_file->setEnabled(menu.DeleteLeftFile);
    act_del_right_file->setEnabled(menu.DeleteRightFile);
    act_leftfilesaveas->setEnabled(menu.SaveLeftFileAs);
    act_rightfilesaveas->setEnabled(menu.SaveRightFileAs);
    act_include_type->setVisible(menu.ShowTypeItems);
    act_exclude_type->setVisible(menu.ShowTypeItems);
    act_include_file->setVisible(menu.ShowNameItems);
    act_exclude_file->setVisible(menu.ShowNameItems);
    // Menus read "&" as a mnemonic: names show it doubled.
    auto caption = [](const std::string& Text) {
        return Utf8(Text).replace(QLatin1Char('&'), QStringLiteral("&&"));
    };
    act_include_type->setText(caption(menu.IncludeType));
    act_include_file->setText(caption(menu.IncludeName));
    act_exclude_type->setText(caption(menu.ExcludeType));
    act_exclude_file->setText(caption(menu.ExcludeName));
}

void TFSyncMain::SetSelectedRowAction(int32_t Code) {
    TPlanRow* row = SelectedRow();
    if (!row || Running() || !m_HaveResult || !m_Run->ResultTree) return;
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    m_Run->Plan.SetNodeAction(*row, Code);
    m_Run->Plan.RecountResults(*m_Run->ResultTree);
    // The counts of the row, of the rows below it and of the folders holding it follow the change,
    // and so do the captions, also when nothing is left to do.
    auto takeCounts = [](TResultNodeData& D) {
        if (!D.ResultNode) return;
        D.LtoRCount = D.ResultNode->LtoRCount;
        D.RtoLCount = D.ResultNode->RtoLCount;
    };
    std::vector<TPlanRow*> below{row};
    while (!below.empty()) {
        TPlanRow* r = below.back();
        below.pop_back();
        takeCounts(r->Data);
        for (const auto& c : r->Children) below.push_back(c.get());
    }
    m_Model->RowChanged(*row, true);
    for (TPlanRow* up = row->Parent; up; up = up->Parent) {
        takeCounts(up->Data);
        m_Model->RowChanged(*up);
    }
    if (TPlanRow* root = m_Run->Plan.RootNode.get()) {
        root->Data.LtoRCount = root->Data.RtoLCount = 0;
        for (const auto& c : root->Children) {
            root->Data.LtoRCount += c->Data.LtoRCount;
            root->Data.RtoLCount += c->Data.RtoLCount;
        }
    }
    UpdateFilterCaptions();
    UpdateSyncEnabled();
}

void TFSyncMain::AddFilterFromNode(bool ByType, bool Include) {
    TPlanRow* row = SelectedRow();
    if (!row || Running() || !m_HaveResult || !m_Run->ResultTree) return;
    std::string error;
    const std::string mask = TPlan::FilterMask(*row, ByType, &error);
    if (mask.empty()) {
        if (!error.empty()) AddLogLine(Utf8(error), true);
        return;
    }
    (Include ? Task->IncludeFilter : Task->ExcludeFilter).push_back(mask);
    Task->SaveToTaskList(0);
    if (!TPlan::ReapplyFilters(*m_Run->ResultTree, *Task, &error)) AddLogLine(Utf8(error), true);
    // The rows and the counts follow the new filter states at once, so Sync never carries out rows
    // whose filter state changed since they were shown.
    ShowView(m_CurrentView < 0 ? VIEW_CHANGES : m_CurrentView);
}

void TFSyncMain::OpenSideFile(bool FolderOnly, int Side) {
    TPlanRow* row = SelectedRow();
    if (!row || !m_HaveResult) return;
    const TFolderSourceRef& folder = Side == 0 ? Task->LFolder : Task->RFolder;
    std::unique_ptr<TFileOper> oper = TSyncTask::CreateFileOper(folder, false);
    if (!oper) return;
    oper->FFolderSource = folder;
    const bool local = folder->DeviceType == DEVICE_LOCAL || folder->DeviceType == DEVICE_NONE;
    // The folder of a folder row is the row's own; a file row's is the folder holding it, named as
    // an entry in its own parent: a back-end gives no path for an entry without a name.
    TFileAttri entry;
    entry.Path = row->Data.FolderPath;
    entry.Name = row->Data.Name;
    if (FolderOnly && !row->Data.IsFolder) {
        std::string holder = row->Data.FolderPath.str();
        while (!holder.empty() && holder.back() == '/') holder.pop_back();
        const size_t slash = holder.rfind('/');
        entry.Path = slash == std::string::npos ? std::string("/") : holder.substr(0, slash + 1);
        entry.Name = slash == std::string::npos ? holder : holder.substr(slash + 1);
    }
    entry.IsFolder = FolderOnly ? 1 : 0;
    // A file row at the top: the side's root, which a local side names by its address.
    const std::string path =
        entry.Name.empty() && local ? folder->FolerAllName : oper->GetFullPath(*folder, entry);
    oper->Stop();
    if (path.empty()) return;
    if (local)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path))));
    else
        OpenURL(0, path);
}

std::unique_ptr<TFSyncMain::TRowCommand> TFSyncMain::NewRowCommand(TPlanRow& Row, int Side) {
    const TFolderSourceRef& folder = Side == 0 ? Task->LFolder : Task->RFolder;
    auto command = std::make_unique<TRowCommand>();
    command->Oper = TSyncTask::CreateFileOper(folder, false);
    if (!command->Oper) return nullptr;
    command->Oper->FFolderSource = folder;
    command->Oper->NotifyWnd = &m_Notify;  // a long copy reports on the status line
    command->Folder = folder;
    command->Row = &Row;
    command->Entry.Path = Row.Data.FolderPath;
    command->Entry.Name = Row.Data.Name;
    command->Entry.Size = Side == 0 ? Row.Data.LeftSize : Row.Data.RightSize;
    command->Entry.FileDate = Side == 0 ? Row.Data.LeftDate : Row.Data.RightDate;
    command->FullPath = command->Oper->GetFullPath(*folder, command->Entry);
    command->OnTerminate = [this](TThread&) { m_Notify.PostMessage(WM_ROW_COMMAND_ENDED, 0, 0); };
    return command;
}

void TFSyncMain::DeleteSideFile(int Side) {
    TPlanRow* row = SelectedRow();
    if (!row || Running() || !m_HaveResult) return;
    std::unique_ptr<TRowCommand> command = NewRowCommand(*row, Side);
    if (!command) return;
    command->Kind = TRowCommand::DELETE_FILE;
    StartRowCommand(std::move(command));
}

void TFSyncMain::SaveSideFileAs(int Side) {
    TPlanRow* row = SelectedRow();
    if (!row || Running() || !m_HaveResult) return;
    const std::string target = ChooseSaveTarget ? ChooseSaveTarget(row->Data.Name) : std::string();
    // The dialog lets events through: look again at what it may have changed.
    row = SelectedRow();
    if (target.empty() || !row || Running() || !m_HaveResult) return;
    std::unique_ptr<TRowCommand> command = NewRowCommand(*row, Side);
    if (!command) return;
    command->Kind = TRowCommand::SAVE_AS;
    command->Target = target;
    StartRowCommand(std::move(command));
}

void TFSyncMain::StartRowCommand(std::unique_ptr<TRowCommand> Command) {
    m_FilterWasEnabled = GroupBox_ResultsFilter->isEnabled();
    m_StatusBeforeCommand = Label_ActionStatus->text();
    SetTopControlsEnabled(false);
    SetAnalyzeEnabled(false);
    SetButtonEnabled(BitBtn_Sync, BitBtn_Sync1, "BitBtn_Sync", false);
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", true);
    pb_action->setRange(0, 0);  // busy: a delete or a download tells no steps
    pb_action->show();
    m_RowCommand = std::move(Command);
    m_RowCommand->Resume();
}

void TFSyncMain::RowCommandEnded() {
    if (!m_RowCommand) return;
    const std::unique_ptr<TRowCommand> command = std::move(m_RowCommand);
    command->WaitFor();
    TakeReports();
    if (m_Closing) return;
    pb_action->hide();
    SetButtonEnabled(BitBtn_cancel, BitBtn_cancel1, "BitBtn_cancel", false);
    SetTopControlsEnabled(true);
    GroupBox_ResultsFilter->setEnabled(m_FilterWasEnabled);
    SetAnalyzeEnabled(true);
    Label_ActionStatus->setText(m_StatusBeforeCommand);
    const QString path = Utf8(command->FullPath);
    if (command->Kind == TRowCommand::SAVE_AS) {
        if (command->Outcome != TRowCommand::DONE)
            AddLogLine(QStringLiteral("Error saving: ") +
                           QFile::decodeName(QByteArray::fromStdString(command->Target)),
                       true);
    } else if (command->Outcome == TRowCommand::DONE) {
        m_Run->Plan.SetNodeAction(*command->Row, ACTION_NOT_COPY);
        m_Model->RowChanged(*command->Row, true);
    } else if (command->Outcome == TRowCommand::CHANGED) {
        AddLogLine(QStringLiteral("Error changed since the analysis: ") + path, true);
    } else {
        AddLogLine(QStringLiteral("Error deleting: ") + path, true);
    }
    UpdateSyncEnabled();
}

// ---------------------------------------------------------------------------------------------
// Folders, options, tips

bool TFSyncMain::FolderEdited(int Side, bool Ask) {
    QLineEdit* edit = Side == 1 ? edit_LFolder : Edit_RFolder;
    TFolderSource& folder = Side == 1 ? *Task->LFolder : *Task->RFolder;
    const std::string typed = edit->text().toStdString();
    if (typed == folder.FolerAllName) return true;
    // The address takes its kind from its form; the side's log-on and other settings stay. One of
    // no known form is refused and the side keeps its folder.
    const std::optional<TFolderForm> form = FolderFormOf(typed, folder.DeviceType);
    if (!form) {
        edit->setText(Utf8(folder.FolerAllName));
        edit->setModified(false);
        if (Ask)
            ShowMessageBox(FolderFormError(QString::fromStdString(typed).trimmed()),
                           QStringLiteral("Bramlow File Sync"), MB_OK | MB_ICONINFORMATION);
        return false;
    }
    edit->setText(Utf8(form->Address));
    edit->setModified(false);
    if (folder.FolerAllName == form->Address && folder.DeviceType == form->DeviceType) return true;
    folder.DeviceType = form->DeviceType;
    folder.FolerAllName = form->Address;
    if (Side == 1)
        Task->SaveLeftFolderPath();
    else
        Task->SaveRightFolderPath();
    DropPlan();
    return true;
}

void TFSyncMain::DropPlan() {
    if (!m_ResultUsable || Running()) return;
    // The plan was made for the folders and settings as they were: it is never carried out on others.
    m_ResultUsable = false;
    m_Run->Release();
    UpdateSyncEnabled();
    AddLogLine(QStringLiteral("The task changed after its analysis: analyze it again before a sync."));
}

void TFSyncMain::BrowseFolder(int Side) {
    if (Running()) return;
    TFolderSource& folder = Side == 1 ? *Task->LFolder : *Task->RFolder;
    bool chosen = false;
    if (ChooseFolder) {
        const std::string path = ChooseFolder(Side, folder.FolerAllName);
        chosen = !path.empty();
        if (chosen) {
            folder.FolerAllName = StripTrailingSlash(path);
            folder.DeviceType = DEVICE_LOCAL;
        }
    } else if (SelectFolder) {
        chosen = SelectFolder(Side, folder);
    }
    if (chosen) {
        (Side == 1 ? edit_LFolder : Edit_RFolder)->setText(Utf8(folder.FolerAllName));
        Task->SaveToTaskList(0);
        DropPlan();
    }
    if (Side == 1)
        ShowFolderTips();
    else if (chosen)
        ShowTip(BitBtn_Analyze, QStringLiteral("Bramlow File Sync"), BitBtn_Analyze->toolTip());
}

void TFSyncMain::Action_optionsExecute() {
    if (!EditTaskOptions || Running()) return;
    auto copy = std::make_unique<TSyncTask>();
    copy->Assign(*Task);
    if (EditTaskOptions(*copy) != 1) return;
    Task->Assign(*copy);
    DropPlan();
    edit_LFolder->setText(Utf8(Task->LFolder->FolerAllName));
    Edit_RFolder->setText(Utf8(Task->RFolder->FolerAllName));
    ShowDirectionPicture();
    if (m_Run->Plan.RootNode) {
        m_Run->Plan.RootNode->Data.Name = Task->SyncName;
        VST1->viewport()->update();
    }
    if (MainWnd) MainWnd->PostMessage(WM_TASKCHANGED, 0, 10);
}

void TFSyncMain::ShowFolderTips() {
    const QString title = QStringLiteral("Bramlow File Sync");
    if (edit_LFolder->text().trimmed().isEmpty())
        ShowTip(edit_LFolder, title, edit_LFolder->toolTip());
    else if (Edit_RFolder->text().trimmed().isEmpty())
        ShowTip(Edit_RFolder, title, Edit_RFolder->toolTip());
    else if (!BitBtn_cancel->isEnabled() && !BitBtn_Sync->isEnabled() && BitBtn_Analyze->isEnabled())
        ShowTip(BitBtn_Analyze, title, BitBtn_Analyze->toolTip());
}

void TFSyncMain::ShowTip(QWidget* Target, const QString& Title, const QString& Text) {
    // A folder field's tip shows once, and again only after the field was filled or emptied: it
    // would hide what the user types.
    if (!ToolTip || !isVisible()) return;
    if (Target == edit_LFolder || Target == Edit_RFolder) {
        ToolTip->Below = false;
        ToolTip->Position = 0;
        ToolTip->ShowBalloonOnce(Target, 1, Title, Text);
        return;
    }
    // A run button's balloon hangs below its caption, pointing up at the button: standing above
    // it, the balloon would cover the folder fields while the user may be typing into them.
    QWidget* caption = Target == BitBtn_Analyze  ? BitBtn_Analyze1
                       : Target == BitBtn_Sync   ? BitBtn_Sync1
                       : Target == BitBtn_cancel ? BitBtn_cancel1
                                                 : nullptr;
    ToolTip->Below = caption != nullptr;
    ToolTip->Position = caption ? 1 : 0;
    ToolTip->ShowBalloon(caption ? caption : Target, 1, Title, Text);
}

// ---------------------------------------------------------------------------------------------
// Closing

void TFSyncMain::closeEvent(QCloseEvent* Event) {
    DrainWorkers();
    QWidget::closeEvent(Event);
}

void TFSyncMain::EndRunForClose() {
    m_Ending = true;
    m_SyncAfterAnalyze = false;
    // The Cancel button's own way, so the run's record is the one a cancel writes.
    if (Running() && BitBtn_cancel->isEnabled()) BitBtn_cancelClick();
    m_Run->Stop();
    if (m_RowCommand) m_RowCommand->Stop();
}

void TFSyncMain::DrainWorkers() {
    if (!m_Closing) EndRunForClose();
    // The workers may be waiting for this thread (a log line, a row repaint): their calls and their
    // end messages are let through until none is alive, and the run's ends are handled as usual,
    // its record written. A sync waiting to follow its analysis is waited for too: it will not start.
    const auto alive = [this] {
        return m_Run->WorkerAlive() || m_RunningScans > 0 || m_RowCommand || m_SyncPending;
    };
    while (alive()) {
        QCoreApplication::sendPostedEvents(this);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
        if (!alive()) break;
        // A stop that reached a back-end just before it began a request may have been forgotten
        // there: asking again costs nothing.
        m_Run->Stop();
        if (m_RowCommand) m_RowCommand->Stop();
        QThread::msleep(2);
    }
    m_Closing = true;
    Task->Busy = 0;
}

}  // namespace bfs
