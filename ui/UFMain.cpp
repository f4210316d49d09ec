#include "ui/UFMain.h"

#include "engine/UTSyncTask.h"
#include "model/TaskList.h"
#include "model/UTConsts.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "platform/UTTaskScheduler.h"
#include "ui/DMUnit.h"
#include "ui/FAbout.h"
#include "ui/ImageEx.h"
#include "ui/UFFileSyncOptions.h"
#include "ui/UFSyncMain.h"
#include "ui/UFTaskConfig.h"
#include "ui/UTAutomation.h"
#include "ui/UTPictures.h"
#include "ui/UTWebPage.h"
#include "ui/UTWindowChrome.h"
#include "ui/uF_TastTemplate.h"
#include "ui/uF_TemplateList.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <unordered_set>

namespace bfs {

namespace {

constexpr const char* TASK_LIST_FILE_NAME = "tasklist.fs";
constexpr int EDGE_WIDTH = 6;    // an edge piece of a tab
constexpr int TAB_PADDING = 20;  // a middle piece is its caption's width plus this
constexpr int SCROLL_STEP = 50;  // pixels per click of a scroll button
constexpr int DEFAULT_WIDTH = 1040, DEFAULT_HEIGHT = 660;
// The iml_main pictures: selected right edge, middle, left edge; unselected right, left, middle.
constexpr int IMG_SEL_RIGHT = 0, IMG_SEL_MIDDLE = 1, IMG_SEL_LEFT = 2;
constexpr int IMG_RIGHT = 3, IMG_LEFT = 4, IMG_MIDDLE = 5;

const QColor PANEL(0xF4, 0xF6, 0xF8);
const QColor BORDER(0xD0, 0xD7, 0xDE);
const QColor TEXT(0x1F, 0x23, 0x28);

QString Lang(const char* Key) {
    return QString::fromStdString(SysConfig().GetText(Key));
}

QString Utf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

QString ProgramName() {
    return QString::fromUtf8(PROGRAM_NAME);
}

// The messages of the view actions, by view kind (the task window's ViewActions order).
constexpr uint32_t VIEW_MESSAGES[11] = {WM_ALL, WM_MODIFY,    WM_CONFLICT, WM_ERROR, WM_INCLUED, WM_EXCLUDE,
                                        WM_NEW, WM_OVERWRIDE, WM_DELETE,   WM_LTOR,  WM_RTOL};
constexpr const char* VIEW_KEYS[11] = {"all", "changed",   "conflicts", "errors", "include", "exclude",
                                       "new", "Overwrite", "delete",    "LtoR",   "RtoL"};
// The question of a close while a task runs, for a language file from before it was asked.
constexpr const char* CLOSE_RUNNING_TEXT =
    "A task is still running. Stop it and close Bramlow File Sync? What it has done so far is kept.";
// The View menu's order of the view kinds; -1 is a separator.
constexpr int VIEW_MENU_ORDER[] = {9, 10, 0, 1, 2, 3, -1, 4, 5, -1, 6, 7, 8};

bool EndsWithFs(const std::string& Name) {
    if (Name.size() < 3) return false;
    const std::string tail = Name.substr(Name.size() - 3);
    return tail[0] == '.' && (tail[1] == 'f' || tail[1] == 'F') && (tail[2] == 's' || tail[2] == 'S');
}

// A template name the template list and the program folder can both hold: one plain file name,
// without the list's separator or a line break.
bool IsTemplateName(const std::string& Name) {
    return IsSafeName(Name) && Name.find_first_of(",\r\n") == std::string::npos;
}

// The row of the tab strip: the panel colour with the line the unselected tabs stand on along its
// bottom; the selected tab covers the line and opens onto its page below.
class TTabRow : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), PANEL);
        p.fillRect(QRect(0, height() - 1, width(), 1), BORDER);
    }
};

}  // namespace

TFMain::TFMain(QWidget* Parent) : QWidget(Parent) {
    setObjectName(QStringLiteral("FMain"));
    m_TabImages.LoadStrip(QStringLiteral("iml_main"));
    m_AddImages.LoadStrip(QStringLiteral("TastAddImagelist"));
    m_MenuImages.LoadStrip(QStringLiteral("MenuButtonIL"));
    if (!DM) m_MoveImages.LoadStrip(QStringLiteral("moveil"));
    TitleBar = MakeBorderless(*this, ProgramName(), true, false);
    setWindowIcon(QIcon(LoadPicture(QStringLiteral("AppIcon"))));
    BuildActions();
    BuildMenus();
    BuildControls();
    SetDefaultSeams();

    Automation = new TAutomation(this);
    Automation->LiveWindows = [this] { return LiveTaskWindows(); };
    Automation->RestoreWindow = [this] { RestoreWindow(); };
    Automation->ShowAbout = [this] { Action_About->trigger(); };
    Automation->ExitProgram = [this] { close(); };
    Automation->TrayIconImage = windowIcon();
    TaskFinished = [this] {
        if (Automation) Automation->TaskFinished();
    };

    LoadLanguageTexts();
    UpdateTaskActions();
    MakeResizable(*this, *TitleBar);
    // Never smaller than the window's own size, unless the screen is; by default wide enough that a
    // task's plan view shows its last column.
    // The first size and place fit the screen's free area, at any scale: a window that would like
    // to be bigger than the screen opens as big as it, centred, its title-bar pictures in reach.
    const QRect free = screen()->availableGeometry();
    setMinimumSize(QSize(832, 618).boundedTo(free.size()));
    setGeometry(FirstGeometry(QSize(DEFAULT_WIDTH, DEFAULT_HEIGHT), free));
    ShowKeyboardFocus(*this);
    // The keyboard starts at the menu bar, not at the title bar's first picture (a Space would
    // minimise the window).
    jobbutton->setFocus(Qt::OtherFocusReason);
    // The tip line shows the hint of whatever control of this window is under the mouse.
    qApp->installEventFilter(this);
}

TFMain::~TFMain() {
    qApp->removeEventFilter(this);
    delete Automation;
    Automation = nullptr;
    // The task windows end their runs while this window can still hear from them. Last to first: the
    // page shown goes last, so the page stack never switches pages (a walk over all of them) per delete.
    for (auto tab = m_Tabs.rbegin(); tab != m_Tabs.rend(); ++tab) delete tab->Window;
    m_Tabs.clear();
}

// ---------------------------------------------------------------------------------------------
// Controls

void TFMain::BuildControls() {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(1, 1, 1, 1);
    root->setSpacing(0);
    auto* icon = new QLabel(TitleBar);
    QPixmap picture = LoadPicture(QStringLiteral("AppIcon"));
    const qreal ratio = picture.devicePixelRatio();
    picture = picture.scaled(QSize(16, 16) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    picture.setDevicePixelRatio(ratio);
    icon->setPixmap(picture);
    static_cast<QHBoxLayout*>(TitleBar->layout())->insertWidget(0, icon);
    root->addWidget(TitleBar);

    TopPanel = BuildMenuBar();
    root->addWidget(TopPanel);

    auto* body = new QWidget(this);
    auto* bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(15, 0, 16, 0);
    bodyLayout->setSpacing(0);
    bodyLayout->addWidget(BuildTabRow());
    Notebook1 = new QStackedWidget(body);
    Notebook1->setObjectName(QStringLiteral("Notebook1"));
    Notebook1->setStyleSheet(
        QStringLiteral("#Notebook1 { background: #FFFFFF; border: 1px solid #D0D7DE; border-top: none; }"));
    auto* defaultPage = new QWidget(Notebook1);
    defaultPage->setObjectName(QStringLiteral("Default"));
    // Shown while there is no task: what to do first.
    m_NoTaskLabel = new QLabel(defaultPage);
    m_NoTaskLabel->setTextFormat(Qt::PlainText);
    m_NoTaskLabel->setAlignment(Qt::AlignCenter);
    m_NoTaskLabel->setWordWrap(true);
    auto* defaultLayout = new QVBoxLayout(defaultPage);
    defaultLayout->addWidget(m_NoTaskLabel);
    Notebook1->addWidget(defaultPage);
    bodyLayout->addWidget(Notebook1, 1);
    root->addWidget(body, 1);

    auto* bottom = new QWidget(this);
    bottom->setMinimumHeight(30);
    auto* bottomLayout = new QHBoxLayout(bottom);
    bottomLayout->setContentsMargins(17, 4, 18, 6);
    Label_tip = new QLabel(bottom);
    Label_tip->setTextFormat(Qt::PlainText);
    Label_tip->setMinimumWidth(1);
    Label_tip->setAccessibleName(QStringLiteral("Tip"));
    bottomLayout->addWidget(Label_tip, 1);
    root->addWidget(bottom);
}

QWidget* TFMain::BuildMenuBar() {
    auto* bar = new QWidget(this);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(15, 4, 16, 8);
    layout->setSpacing(6);
    // Alt and the underlined letter opens a menu; Alt+A, Alt+S, Alt+N, Alt+D and Alt+X are the
    // commands' own keys.
    jobbutton = MakeMenuButton(bar, QStringLiteral("&Job"), pop_job);
    actionbutton = MakeMenuButton(bar, QStringLiteral("A&ctions"), pop_action);
    viewbutton = MakeMenuButton(bar, QStringLiteral("&View"), pop_view);
    toolsbutton = MakeMenuButton(bar, QStringLiteral("&Tools"), pop_tools);
    HelpButton = MakeMenuButton(bar, QStringLiteral("&Help"), pop_help);
    for (QWidget* b : {jobbutton, actionbutton, viewbutton, toolsbutton, HelpButton}) layout->addWidget(b);
    layout->addStretch(1);
    return bar;
}

TImageExButton* TFMain::MakeMenuButton(QWidget* Parent, const QString& Caption, QMenu* Menu) {
    auto* b = new TImageExButton(Parent);
    b->setScaledContents(true);
    b->SetPicNormal(m_MenuImages.Pixmap(0));
    b->SetPicMouseMove(m_MenuImages.Pixmap(1));
    b->SetPicAutoChange(true);
    b->setFocusPolicy(Qt::TabFocus);
    const QString text = QString(Caption).remove(QLatin1Char('&'));
    b->setAccessibleName(text);
    // The caption lies over the picture and lets the mouse through to it, so a click on the text is
    // a click on the button. Its "&" underlines the letter that opens the menu with Alt.
    auto* label = new QLabel(Caption, b);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignCenter);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->setBuddy(b);
    label->installEventFilter(this);
    m_MenuButtons.push_back({label, b, Menu});
    auto* layout = new QHBoxLayout(b);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->addWidget(label);
    const QFontMetrics fm(label->font());
    b->setFixedSize(std::max(57, fm.horizontalAdvance(text) + 24), std::max(22, fm.height() + 8));
    connect(b, &TImageEx::mouseDown, b, [this, b] { b->setPixmap(m_MenuImages.Pixmap(2)); });
    connect(b, &TImageEx::clicked, this, [this, b, Menu] { PopupMenu(b, Menu); });
    return b;
}

void TFMain::PopupMenu(TImageExButton* Button, QMenu* Menu) {
    Button->setPixmap(m_MenuImages.Pixmap(2));
    Menu->exec(Button->mapToGlobal(QPoint(0, Button->height())));
    Button->SetPicState(isNormal);
}

QWidget* TFMain::BuildTabRow() {
    auto* row = new TTabRow(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    bt_addtask = new TImageExButton(row);
    bt_addtask->SetPicNormal(m_AddImages.Pixmap(0));
    bt_addtask->SetPicMouseMove(m_AddImages.Pixmap(1));
    bt_addtask->SetPicAutoChange(true);
    bt_addtask->setFixedSize(22, 22);
    bt_addtask->setFocusPolicy(Qt::TabFocus);
    connect(bt_addtask, &TImageEx::mouseDown, bt_addtask,
            [this] { bt_addtask->setPixmap(m_AddImages.Pixmap(2)); });
    connect(bt_addtask, &TImageEx::clicked, this, [this] {
        bt_addtask->SetPicState(isNormal);
        AddTask();
    });
    layout->addWidget(bt_addtask, 0, Qt::AlignVCenter);

    panel_tab = new QWidget(row);
    panel_tab->setFixedHeight(TabHeight());
    panel_tab->setMinimumWidth(40);
    panel_tab->installEventFilter(this);
    Pl_jobs = new QWidget(panel_tab);
    Pl_jobs->setGeometry(0, 0, 0, TabHeight());
    layout->addWidget(panel_tab, 1, Qt::AlignBottom);

    // The scroll buttons: the small chevrons of the data module, in a target wide enough to hit.
    auto makeScroll = [this, row](int Normal, int Hover) {
        const TImageList& list = DM ? DM->moveil : m_MoveImages;
        auto* b = new TImageExButton(row);
        b->SetPicNormal(list.Pixmap(Normal));
        b->SetPicMouseMove(list.Pixmap(Hover));
        b->SetPicAutoChange(true);
        b->setAlignment(Qt::AlignCenter);
        b->setFixedSize(16, TabHeight() - 4);
        b->setFocusPolicy(Qt::TabFocus);
        b->hide();
        return b;
    };
    moveLeftButton = makeScroll(2, 3);
    MoveRightButton = makeScroll(0, 1);
    connect(moveLeftButton, &TImageEx::clicked, this, &TFMain::moveLeftButtonClick);
    connect(MoveRightButton, &TImageEx::clicked, this, &TFMain::MoveRightButtonClick);
    layout->addWidget(moveLeftButton, 0, Qt::AlignVCenter);
    layout->addWidget(MoveRightButton, 0, Qt::AlignVCenter);
    row->setFixedHeight(TabHeight() + 4);
    return row;
}

int TFMain::TabHeight() const {
    return std::max(27, fontMetrics().height() + 10);
}

// ---------------------------------------------------------------------------------------------
// Actions and menus

void TFMain::BuildActions() {
    auto make = [this](QAction*& Action, void (TFMain::*Handler)(), QList<QKeySequence> Keys = {}) {
        Action = new QAction(this);
        Action->setShortcuts(Keys);
        addAction(Action);
        connect(Action, &QAction::triggered, this, Handler);
    };
    auto send = [this](QAction*& Action, uint32_t Msg, QList<QKeySequence> Keys = {}) {
        Action = new QAction(this);
        Action->setShortcuts(Keys);
        addAction(Action);
        connect(Action, &QAction::triggered, this, [this, Msg] { SendToCurrent(Msg); });
    };
    Action_addTask = new QAction(this);
    Action_addTask->setShortcut(QKeySequence(Qt::ALT | Qt::Key_N));
    addAction(Action_addTask);
    connect(Action_addTask, &QAction::triggered, this, [this] { AddTask(); });
    make(act_newFromTemplate, &TFMain::act_newFromTemplateExecute);
    make(Action_clone, &TFMain::Action_cloneExecute);
    make(Action_DeleteTask, &TFMain::Action_DeleteTaskExecute, {QKeySequence(Qt::ALT | Qt::Key_D)});
    send(Action_Options, WM_JOB_OPTION);
    make(Action_saveasT, &TFMain::Action_saveasTExecute);
    send(Action_analyze, WM_ANAL_JOB, {QKeySequence(Qt::Key_F5), QKeySequence(Qt::ALT | Qt::Key_A)});
    // Sync carries out the plan the task window shows while it is current (the user's changes to it
    // included); Analyze and Sync always analyzes first.
    Action_sync = new QAction(this);
    Action_sync->setShortcuts({QKeySequence(Qt::Key_F6), QKeySequence(Qt::ALT | Qt::Key_S)});
    addAction(Action_sync);
    connect(Action_sync, &QAction::triggered, this, [this] {
        if (TFSyncMain* w = CurrentTaskWindow()) {
            TMessageEvent message(WM_ANAL_SYNC, SYNC_SHOWN_PLAN, 10);
            QCoreApplication::sendEvent(w, &message);
        }
    });
    send(Action_AS, WM_ANAL_SYNC, {QKeySequence(Qt::Key_F9)});
    auto runAll = [this](QAction*& Action, int Sync, Qt::Key Key) {
        Action = new QAction(this);
        Action->setShortcut(QKeySequence(Key));
        addAction(Action);
        connect(Action, &QAction::triggered, this, [this, Sync] {
            if (CurrentTaskWindow()) RunAllTasks(Sync);
        });
    };
    runAll(Action_analyzeAll, 0, Qt::Key_F7);
    runAll(Action_SyncAll, 1, Qt::Key_F8);
    runAll(Action_ASAll, 1, Qt::Key_F10);
    Action_exit = new QAction(this);
    Action_exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_X));
    addAction(Action_exit);
    connect(Action_exit, &QAction::triggered, this, &QWidget::close);

    send(Action_Notcopy, WM_NOT_COPY);
    send(Action_CTLtoR, WM_MOVE_LTOR);
    send(Action_CTRtoL, WM_MOVE_RTOL);
    send(Action_Log, WM_SHOWLOG);
    for (int kind = 0; kind < 11; ++kind) send(ViewActions[kind], VIEW_MESSAGES[kind]);

    Action_program = new QAction(this);
    connect(Action_program, &QAction::triggered, this, [this] {
        if (ShowOptions) ShowOptions();
    });
    make(Action_exportTL, &TFMain::Action_exportTLExecute);
    make(Action_ImprotTL, &TFMain::Action_ImprotTLExecute);
    act_quickstart = new QAction(this);
    connect(act_quickstart, &QAction::triggered, this, [] { OpenURL(0, RegistryInfo.HelpURL); });
    Action_home = new QAction(this);
    connect(Action_home, &QAction::triggered, this, [] { OpenURL(0, RegistryInfo.HomePage); });
    act_checknewversion = new QAction(this);
    connect(act_checknewversion, &QAction::triggered, this, [] {
        if (DM) DM->CheckForUpdate(true);
    });
    Action_About = new QAction(this);
    connect(Action_About, &QAction::triggered, this, [this] {
        if (ShowAbout) ShowAbout();
    });
}

void TFMain::BuildMenus() {
    pop_job = new QMenu(this);
    pop_job->addActions({Action_addTask, act_newFromTemplate, Action_clone, Action_DeleteTask, Action_Options,
                         Action_saveasT});
    pop_job->addSeparator();
    pop_job->addActions(
        {Action_analyze, Action_sync, Action_analyzeAll, Action_SyncAll, Action_AS, Action_ASAll});
    pop_job->addSeparator();
    pop_job->addAction(Action_exit);
    connect(pop_job, &QMenu::aboutToShow, this, &TFMain::UpdateJobMenu);
    // Closed, the commands stay available to their keys; the task window judges whether it can run.
    connect(pop_job, &QMenu::aboutToHide, this, &TFMain::UpdateTaskActions);

    pop_action = new QMenu(this);
    connect(pop_action, &QMenu::aboutToShow, this, &TFMain::UpdateActionMenu);
    pop_view = new QMenu(this);
    connect(pop_view, &QMenu::aboutToShow, this, &TFMain::UpdateViewMenu);
    pop_tools = new QMenu(this);
    pop_tools->addActions({Action_program, Action_exportTL, Action_ImprotTL});
    connect(pop_tools, &QMenu::aboutToShow, this, &TFMain::UpdateToolsMenu);
    pop_help = new QMenu(this);
    pop_help->addActions({act_quickstart, Action_home, act_checknewversion, Action_About});
    // The hint of the item under the mouse goes to the tip line.
    for (QMenu* menu : {pop_job, pop_action, pop_view, pop_tools, pop_help})
        connect(menu, &QMenu::hovered, this,
                [this](QAction* Action) { Label_tip->setText(Action->statusTip()); });
    UpdateActionMenu();
    UpdateViewMenu();
}

void TFMain::LoadLanguageTexts() {
    const QString blank = QStringLiteral(" ");
    const struct {
        QAction* Action;
        const char* Caption;
        const char* Hint;
    } texts[] = {
        {Action_addTask, "new", "new_hint"},
        {act_newFromTemplate, "newbyTemplate", "newbyTemplate_Hint"},
        {Action_DeleteTask, "Delete", "Delete_Hint"},
        {Action_clone, "clone", "clone_Hint"},
        {Action_Options, "Options", "Options_Hint"},
        {Action_saveasT, "saveasT", "saveasT_Hint"},
        {Action_analyze, "Analyze", "Analyze_Hint"},
        {Action_sync, "Sync", "Sync_Hint"},
        {Action_analyzeAll, "analyzeAll", "analyzeAll_Hint"},
        {Action_SyncAll, "SyncAll", "SyncAll_Hint"},
        {Action_AS, "AandS", "AandS_Hint"},
        {Action_ASAll, "AandSAll", "AandSAll_Hint"},
        {Action_exit, "exit", "exit_Hint"},
        {Action_Notcopy, "Notcopy", nullptr},
        {Action_CTLtoR, "CTLtoR", nullptr},
        {Action_CTRtoL, "CTRtoL", nullptr},
        {Action_Log, "log", nullptr},
        {Action_program, "programoption", "programoption_Hint"},
        {Action_exportTL, "exportTL", "exportTL_Hint"},
        {Action_ImprotTL, "ImprotTL", "ImprotTL_Hint"},
    };
    for (const auto& t : texts) {
        t.Action->setText(blank + Lang(t.Caption));
        if (t.Hint) t.Action->setStatusTip(blank + Lang(t.Hint));
    }
    Action_Options->setText(blank + Lang("Options") + QStringLiteral("..."));
    Action_exit->setStatusTip(blank + Lang("exit_Hint") + blank + ProgramName());
    for (int kind = 0; kind < 11; ++kind) ViewActions[kind]->setText(blank + Lang(VIEW_KEYS[kind]));
    // The Help menu keeps its fixed texts; its hints have no leading blank.
    act_quickstart->setText(QStringLiteral(" Quick Start"));
    Action_home->setText(QStringLiteral(" Bramlow File Sync Home"));
    act_checknewversion->setText(QStringLiteral(" Check new version"));
    Action_About->setText(QStringLiteral(" About"));
    Action_home->setStatusTip(Lang("home_hint"));
    Action_About->setStatusTip(Lang("About_hint"));
    act_checknewversion->setStatusTip(Lang("checknewversion_hint"));

    m_NoTaskLabel->setText(Lang("notask_hint"));
    bt_addtask->setToolTip(Lang("new_hint"));
    bt_addtask->setAccessibleName(Lang("new"));
    moveLeftButton->setToolTip(Lang("tableft_hint"));
    moveLeftButton->setAccessibleName(Lang("tableft_hint"));
    MoveRightButton->setToolTip(Lang("tabright_hint"));
    MoveRightButton->setAccessibleName(Lang("tabright_hint"));
    TitleBar->SetTitle(ProgramName());
    if (Automation) {
        Automation->AboutText = Lang("About");
        Automation->ExitText = Lang("exit");
    }
}

void TFMain::SetDefaultSeams() {
    NewTaskDialog = [this](std::unique_ptr<TSyncTask> Template) -> std::unique_ptr<TSyncTask> {
        TFTaskConfig dialog(this);
        dialog.IsNew = true;
        if (Template) dialog.Task = std::move(Template);
        // After Cancel, an Apply has still written the task into the task list.
        if (dialog.exec() != 1 && !dialog.Applied) return nullptr;
        return std::move(dialog.Task);
    };
    TaskOptionsDialog = [this](TSyncTask& Copy) {
        TFTaskConfig dialog(this);
        dialog.IsNew = false;
        dialog.Task->Assign(Copy);
        if (dialog.exec() != 1 && !dialog.Applied) return 0;
        Copy.Assign(*dialog.Task);
        return 1;
    };
    ChooseTemplate = [this](const QStringList& Names) {
        TF_TemplateList dialog(this);
        dialog.Label1->setText(Lang("templist"));
        dialog.SetTemplates(Names);
        return dialog.exec() == 1 ? dialog.SelectedTemplate() : QString();
    };
    AskTemplateName = [this] {
        TF_TastTemplate dialog(this);
        dialog.Label1->setText(Lang("templatename"));
        return dialog.exec() == 1 ? dialog.Edit_name->text() : QString();
    };
    ChooseTaskListFile = [this](bool Save) {
        const QString filter = QStringLiteral("fs (*.fs)");
        return Save ? QFileDialog::getSaveFileName(this, ProgramName(), QString(), filter)
                    : QFileDialog::getOpenFileName(this, ProgramName(), QString(), filter);
    };
    ShowOptions = [this] {
        TFFileSyncOptions dialog(this);
        dialog.exec();
    };
    ShowAbout = [this] {
        TAboutBox dialog(this);
        dialog.exec();
    };
}

void TFMain::UpdateTaskActions() {
    const bool has = CurrentTaskWindow() != nullptr;
    for (QAction* a : {Action_DeleteTask, Action_clone, Action_Options, Action_saveasT, Action_analyze,
                       Action_sync, Action_analyzeAll, Action_SyncAll, Action_AS, Action_ASAll,
                       Action_exportTL, Action_Notcopy, Action_CTLtoR, Action_CTRtoL})
        a->setEnabled(has);
    for (QAction* a : ViewActions) a->setEnabled(has);
    act_newFromTemplate->setEnabled(true);
}

void TFMain::UpdateJobMenu() {
    UpdateTaskActions();
    if (TFSyncMain* w = CurrentTaskWindow()) {
        Action_analyze->setEnabled(w->BitBtn_Analyze->isEnabled());
        // Without a plan to carry out, Sync analyzes first.
        Action_sync->setEnabled(w->BitBtn_Sync->isEnabled() || w->BitBtn_Analyze->isEnabled());
        Action_Options->setEnabled(w->bt_taskconfig->isEnabled());
    }
    act_newFromTemplate->setEnabled(!Trim(SysConfig().TemplateList).empty());
}

void TFMain::UpdateActionMenu() {
    pop_action->clear();
    if (TFSyncMain* w = CurrentTaskWindow())
        pop_action->addActions({w->act_pop_Donotcopy, w->act_pop_LtoR, w->act_pop_RtoL});
    else
        pop_action->addActions({Action_Notcopy, Action_CTLtoR, Action_CTRtoL});
}

void TFMain::UpdateViewMenu() {
    pop_view->clear();
    pop_view->addAction(Action_Log);
    TFSyncMain* w = CurrentTaskWindow();
    for (int kind : VIEW_MENU_ORDER) {
        if (kind < 0)
            pop_view->addSeparator();
        else
            pop_view->addAction(w ? w->ViewActions[kind] : ViewActions[kind]);
    }
}

void TFMain::UpdateToolsMenu() {
    Action_exportTL->setEnabled(CurrentTaskWindow() != nullptr);
}

// ---------------------------------------------------------------------------------------------
// Task windows and tabs

TFSyncMain* TFMain::CurrentTaskWindow() const {
    return m_CurrentTab >= 0 ? m_Tabs[static_cast<size_t>(m_CurrentTab)].Window : nullptr;
}

std::vector<TFSyncMain*> TFMain::LiveTaskWindows() const {
    std::vector<TFSyncMain*> windows;
    for (const TTaskTab& tab : m_Tabs)
        if (!tab.Deleted) windows.push_back(tab.Window);
    return windows;
}

int TFMain::CreateTaskWindow(const TSyncTask& Source) {
    auto window = std::make_unique<TFSyncMain>();
    window->Task->Assign(Source);
    return DockTaskWindow(std::move(window));
}

int TFMain::DockTaskWindow(std::unique_ptr<TFSyncMain> Window, bool LayOut) {
    TFSyncMain* w = Window.get();
    w->MainWnd = &m_Notify;
    // The task window hands over a whole copy of its task (Assign); the dialog works on its own.
    w->EditTaskOptions = [this](TSyncTask& Copy) { return TaskOptionsDialog ? TaskOptionsDialog(Copy) : 0; };
    w->InitResultTree();
    Notebook1->addWidget(Window.release());
    AddTab(w, LayOut);
    return static_cast<int>(m_Tabs.size()) - 1;
}

void TFMain::AddTab(TFSyncMain* Window, bool LayOut) {
    const int index = static_cast<int>(m_Tabs.size());
    TTaskTab tab;
    tab.Window = Window;
    auto piece = [this] {
        auto* p = new TImageExButton(Pl_jobs);
        p->setScaledContents(true);
        p->show();
        return p;
    };
    tab.LeftPiece = piece();
    tab.MiddlePiece = piece();
    tab.MiddlePiece->setFocusPolicy(Qt::TabFocus);
    connect(tab.MiddlePiece, &TImageEx::clicked, this, [this, index] { SelectTab(index); });
    tab.Label = new QLabel(Pl_jobs);
    tab.Label->setTextFormat(Qt::PlainText);
    tab.Label->setAlignment(Qt::AlignCenter);
    tab.Label->setAttribute(Qt::WA_TransparentForMouseEvents);
    QPalette palette = tab.Label->palette();
    palette.setColor(QPalette::WindowText, TEXT);
    tab.Label->setPalette(palette);
    tab.Label->show();
    tab.RightPiece = piece();
    // Tab goes along the strip: the add button, the tabs in order, the scroll buttons, and then the
    // page shown.
    setTabOrder(m_Tabs.empty() ? static_cast<QWidget*>(bt_addtask) : m_Tabs.back().MiddlePiece,
                tab.MiddlePiece);
    setTabOrder(tab.MiddlePiece, moveLeftButton);
    setTabOrder(moveLeftButton, MoveRightButton);
    m_Tabs.push_back(tab);
    SetTabImages(index, false);
    if (LayOut) TaskChanged();  // caption and width from the task's name, and the strip laid out
}

void TFMain::SetTabImages(int Index, bool Selected) {
    TTaskTab& tab = m_Tabs[static_cast<size_t>(Index)];
    tab.Images[0] = Selected ? IMG_SEL_LEFT : IMG_LEFT;
    tab.Images[1] = Selected ? IMG_SEL_MIDDLE : IMG_MIDDLE;
    tab.Images[2] = Selected ? IMG_SEL_RIGHT : IMG_RIGHT;
    tab.LeftPiece->setPixmap(m_TabImages.Pixmap(tab.Images[0]));
    tab.MiddlePiece->setPixmap(m_TabImages.Pixmap(tab.Images[1]));
    tab.RightPiece->setPixmap(m_TabImages.Pixmap(tab.Images[2]));
}

void TFMain::LayoutTabs() {
    const int height = TabHeight();
    int left = 0;
    for (TTaskTab& tab : m_Tabs) {
        if (tab.Deleted) continue;
        tab.LeftPiece->setGeometry(left, 0, EDGE_WIDTH, height);
        tab.MiddlePiece->setGeometry(left + EDGE_WIDTH, 0, tab.MiddleWidth, height);
        tab.Label->setGeometry(left + EDGE_WIDTH, 2, tab.MiddleWidth, height - 2);
        tab.RightPiece->setGeometry(left + EDGE_WIDTH + tab.MiddleWidth, 0, EDGE_WIDTH, height);
        left += tab.MiddleWidth + 2 * EDGE_WIDTH;
    }
    m_StripWidth = left;
    Pl_jobs->resize(m_StripWidth, height);
    // The keyboard goes through the tabs in the order shown, between the add button and the scroll
    // buttons, before the page.
    QWidget* previous = bt_addtask;
    for (TTaskTab& tab : m_Tabs) {
        if (tab.Deleted) continue;
        setTabOrder(previous, tab.MiddlePiece);
        previous = tab.MiddlePiece;
    }
    setTabOrder(previous, moveLeftButton);
    setTabOrder(moveLeftButton, MoveRightButton);
    UpdateScrollButtons();
}

void TFMain::UpdateScrollButtons() {
    const bool wide = m_StripWidth > panel_tab->width();
    moveLeftButton->setVisible(wide);
    MoveRightButton->setVisible(wide);
    MoveStrip(Pl_jobs->x());
}

void TFMain::MoveStrip(int Left) {
    // Never past either end: the strip's start stays at the panel's left edge or before it, and its
    // end at the panel's right edge or after it.
    const int least = std::min(0, panel_tab->width() - m_StripWidth);
    Pl_jobs->move(std::clamp(Left, least, 0), 0);
}

void TFMain::MoveRightButtonClick() {
    MoveStrip(Pl_jobs->x() - SCROLL_STEP);
}

void TFMain::moveLeftButtonClick() {
    MoveStrip(Pl_jobs->x() + SCROLL_STEP);
}

void TFMain::SelectTab(int Index) {
    if (Index < 0 || Index >= static_cast<int>(m_Tabs.size()) || m_Tabs[static_cast<size_t>(Index)].Deleted)
        return;
    if (Index == m_CurrentTab && Notebook1->currentWidget() == m_Tabs[static_cast<size_t>(Index)].Window)
        return;
    ShowTab(Index);
}

void TFMain::ShowTab(int Index) {
    TTaskTab& tab = m_Tabs[static_cast<size_t>(Index)];
    if (m_CurrentTab >= 0 && m_CurrentTab != Index) SetTabImages(m_CurrentTab, false);
    m_CurrentTab = Index;
    SetTabImages(Index, true);
    Notebook1->setCurrentWidget(tab.Window);
    const int left = tab.LeftPiece->x() + Pl_jobs->x();
    const int right = tab.RightPiece->geometry().right() + 1 + Pl_jobs->x();
    // The chosen tab is scrolled into view; one wider than the panel shows its start.
    if (left < 0 || right > panel_tab->width())
        MoveStrip(std::max(Pl_jobs->x() - std::max(0, right - panel_tab->width()), -tab.LeftPiece->x()));
    UpdateTaskActions();
    // The first page shown after a load waits a moment before its folder tips; later ones show at once.
    TMessageEvent tip(WM_SHOWTIP, 0, m_PageActivated ? 10 : 0);
    m_PageActivated = true;
    QCoreApplication::sendEvent(tab.Window, &tip);
}

void TFMain::SendToCurrent(uint32_t Msg) {
    if (TFSyncMain* w = CurrentTaskWindow()) {
        TMessageEvent message(Msg, 0, 10);
        QCoreApplication::sendEvent(w, &message);
    }
}

void TFMain::TaskChanged() {
    // Each tab follows its own task's name: the message does not say which task changed.
    const QFontMetrics fm(Pl_jobs->font());
    for (TTaskTab& tab : m_Tabs) {
        if (tab.Deleted) continue;
        const QString name = Utf8(tab.Window->Task->SyncName);
        if (tab.Label->text() == name && tab.MiddleWidth > 0) continue;
        tab.Label->setText(name);
        tab.MiddlePiece->setAccessibleName(name);
        tab.MiddleWidth = fm.horizontalAdvance(name) + TAB_PADDING;
    }
    LayoutTabs();
}

std::string TFMain::UniqueSyncID(const std::string& Base) const {
    TTaskListDocument doc;
    const std::string folder = GetProgramFolder();
    if (!folder.empty()) doc.LoadFile(folder + TASK_LIST_FILE_NAME);
    const TXMLTaskListType list = doc.GetTaskList();
    auto taken = [&](const std::string& Id) {
        // Deleted tasks count too: a run of one may still be going, and its log and saved states
        // keep its identifier.
        for (const TTaskTab& tab : m_Tabs)
            if (tab.Window->Task->SyncID == Id) return true;
        return list.FindTast(Id) >= 0;
    };
    std::string id = Base;
    for (int n = 2; taken(id); ++n) id = Base + "_" + std::to_string(n);
    return id;
}

// ---------------------------------------------------------------------------------------------
// The task list

void TFMain::LoadTaskList(const std::string& FileName) {
    const bool importing = !FileName.empty();
    const std::string context = SysConfig().GetText("error_free_tasklist_xml");
    const std::string folder = GetProgramFolder();
    const std::string path = importing ? FileName : folder + TASK_LIST_FILE_NAME;
    if (!importing && folder.empty()) {
        TMyException::Instance().LogError(context, "EInOutError", "The program folder is not available");
        return;
    }
    TTaskListDocument doc;
    const int rc = doc.LoadFile(path);
    if (rc == TTaskListDocument::LOAD_MISSING && !importing) return;  // no task made yet
    if (rc != TTaskListDocument::LOAD_OK) {
        const std::string why =
            rc == TTaskListDocument::LOAD_MISSING ? path + ": no such file" : doc.ErrorText();
        TMyException::Instance().LogError(context, "EInOutError", why);
        return;
    }
    bool renamed = false;
    // The list is walked once, and the tabs' identifiers are looked up in a set: the load takes
    // time linear in the number of tasks.
    std::unordered_set<std::string> ids;
    for (const TTaskTab& t : m_Tabs) ids.insert(t.Window->Task->SyncID);
    int number = 0;
    for (const TXMLTastType& tast : doc.GetTaskList().Items()) {
        ++number;
        try {
            // Without an identifier a task could not be told apart from another in the task list,
            // in its log or in its saved states.
            if (Trim(tast.Get_SyncID()).empty()) {
                TMyException::Instance().LogError(context, "EConvertError",
                                                  path + ": task " + std::to_string(number) + " (\"" +
                                                      tast.Get_SyncName() + "\") has no SyncID");
                continue;
            }
            auto window = std::make_unique<TFSyncMain>();
            TSyncTask& task = *window->Task;
            // Loaded into the window's own task, which keeps what did not load (such a task does not run).
            task.LoadFromXML(tast);
            if (importing) {
                task.SyncID = UniqueSyncID(task.SyncID + "_");
                task.SaveToTaskList(1);
            } else if (ids.contains(task.SyncID)) {
                // Two elements of the task list share an identifier: the later one gets its own, in
                // the file too, so that neither task writes into the other's element.
                task.SyncID = UniqueSyncID(task.SyncID);
                tast.Set_SyncID(task.SyncID);
                renamed = true;
            }
            task.LastPeriodRun = std::chrono::steady_clock::now();
            DockTaskWindow(std::move(window), false);
            ids.insert(task.SyncID);
        } catch (const std::exception& e) {
            LogError(context, e);
        }
    }
    TaskChanged();
    if (renamed) {
        if (const int saved = doc.Save(path); saved != 0)
            TMyException::Instance().LogError(context, "EInOutError",
                                              path + ": not written (" + std::to_string(saved) + ")");
    }
    // The first tab is shown, also after an import, and its window gets the first page activation.
    m_PageActivated = false;
    for (size_t i = 0; i < m_Tabs.size(); ++i)
        if (!m_Tabs[i].Deleted) {
            ShowTab(static_cast<int>(i));
            break;
        }
}

bool TFMain::ExportTaskList(const std::string& FileName) {
    const std::string target = EndsWithFs(FileName) ? FileName : FileName + ".fs";
    const std::string folder = GetProgramFolder();
    std::string data;
    int rc = folder.empty() ? ENOENT : ReadWholeFile(folder + TASK_LIST_FILE_NAME, data);
    // The copy holds the sides' passwords: readable by the user alone, and never half written.
    if (rc == 0) rc = WriteFileAtomic(target, data, 0600);
    if (rc == 0) return true;
    TMyException::Instance().LogError(SysConfig().GetText("error_free_tasklist_xml"), "EInOutError",
                                      target + ": " + std::strerror(rc));
    ShowMessageBox(Lang("exportTL_error") + QStringLiteral("\r") + QFile::decodeName(target.c_str()),
                   ProgramName(), MB_OK | MB_ICONERROR);
    return false;
}

void TFMain::AddTask(std::unique_ptr<TSyncTask> Template) {
    if (!NewTaskDialog) return;
    const std::unique_ptr<TSyncTask> task = NewTaskDialog(std::move(Template));
    if (!task) return;
    SelectTab(CreateTaskWindow(*task));
}

void TFMain::AddTaskFromTemplate(const std::string& Name) {
    std::unique_ptr<TSyncTask> task;
    try {
        if (!IsTemplateName(Name)) throw EInOutError("\"" + Name + "\" is not a template name");
        const std::string folder = GetProgramFolder();
        if (folder.empty()) throw EInOutError("The program folder is not available");
        const std::string path = folder + Name + ".fs";
        TTaskListDocument doc;
        const int rc = doc.LoadFile(path);
        if (rc == TTaskListDocument::LOAD_MISSING) throw EInOutError(path + ": no such file");
        if (rc != TTaskListDocument::LOAD_OK) throw EInOutError(doc.ErrorText());
        const TXMLTaskListType list = doc.GetTaskList();
        if (list.Count() == 0) throw EInOutError(path + ": no task");
        task = std::make_unique<TSyncTask>();
        task->LoadFromXML(list.Get_Tast(0));
        // Each task made from the template is a task of its own.
        if (!task->SyncID.empty()) task->SyncID = UniqueSyncID(task->SyncID);
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText("error_free_tasklist_xml"), e);
        return;
    }
    AddTask(std::move(task));
}

void TFMain::RunAllTasks(int Sync) {
    for (TFSyncMain* w : LiveTaskWindows()) {
        w->Task->AutoRun = 0;
        if (Sync == 1)
            w->AnalyzeThenSync();
        else
            w->StartAnalyze();
    }
}

// ---------------------------------------------------------------------------------------------
// Commands

void TFMain::act_newFromTemplateExecute() {
    QStringList names;
    for (const QString& n : Utf8(SysConfig().TemplateList).split(QLatin1Char(',')))
        if (!n.trimmed().isEmpty()) names << n.trimmed();
    if (names.isEmpty() || !ChooseTemplate) return;
    const QString chosen = ChooseTemplate(names);
    if (!chosen.isEmpty()) AddTaskFromTemplate(chosen.toStdString());
}

void TFMain::Action_cloneExecute() {
    TFSyncMain* w = CurrentTaskWindow();
    if (!w) return;
    std::unique_ptr<TSyncTask> clone = TSyncTask::Clone(*w->Task);
    clone->SyncID = UniqueSyncID(clone->SyncID);
    if (clone->SaveToTaskList(1) != 0) {
        ShowMessageBox(Lang("error_free_tasklist_xml"), ProgramName(), MB_OK | MB_ICONERROR);
        return;
    }
    SelectTab(CreateTaskWindow(*clone));
}

void TFMain::Action_DeleteTaskExecute() {
    TFSyncMain* w = CurrentTaskWindow();
    if (!w) return;
    TTaskTab& tab = m_Tabs[static_cast<size_t>(m_CurrentTab)];
    const QString text =
        Lang("DeleteJob") + QStringLiteral(" \" ") + tab.Label->text() + QStringLiteral(" \" ?");
    if (ShowMessageBox(text, ProgramName(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
    // The task's job goes first: left behind, it would keep starting a task that is gone.
    const std::string& id = w->Task->SyncID;
    if (ScheduledJobExists(id) && (EnsureTaskScheduler() != 0 || DeleteScheduledJob(id) != 0)) {
        ShowMessageBox(
            Lang("schedulejoberror") + QLatin1Char('\n') + QString::fromStdString(SchedulerError()),
            ProgramName(), MB_OK | MB_ICONERROR);
        return;
    }
    // A task still in the file would come back at the next start: its tab stays until it is gone.
    if (w->Task->DeleteFromTaskList() != 0) {
        ShowMessageBox(Lang("error_free_tasklist_xml"), ProgramName(), MB_OK | MB_ICONERROR);
        return;
    }
    SetTabImages(m_CurrentTab, false);
    tab.Deleted = true;
    for (QWidget* piece : {static_cast<QWidget*>(tab.LeftPiece), static_cast<QWidget*>(tab.MiddlePiece),
                           static_cast<QWidget*>(tab.RightPiece), static_cast<QWidget*>(tab.Label)})
        piece->hide();
    tab.Label->clear();
    m_CurrentTab = -1;
    LayoutTabs();
    for (size_t i = 0; i < m_Tabs.size(); ++i)
        if (!m_Tabs[i].Deleted) {
            SelectTab(static_cast<int>(i));
            return;
        }
    Notebook1->setCurrentIndex(0);
    UpdateTaskActions();
}

void TFMain::Action_saveasTExecute() {
    TFSyncMain* w = CurrentTaskWindow();
    if (!w || !AskTemplateName) return;
    const std::string name = Trim(AskTemplateName().toStdString());
    if (name.empty()) return;
    if (!IsTemplateName(name) || w->Task->SaveAsTemplate(name + ".fs") != 0) {
        ShowMessageBox(Lang("templatename_error"), ProgramName(), MB_OK | MB_ICONERROR);
        return;
    }
    // Saved again under a name the list holds, the template is replaced and listed once.
    for (const QString& n : Utf8(SysConfig().TemplateList).split(QLatin1Char(',')))
        if (n.trimmed() == Utf8(name)) return;
    SysConfig().AddTemplate(name);
}

void TFMain::Action_exportTLExecute() {
    if (!CurrentTaskWindow() || !ChooseTaskListFile) return;
    const QString file = ChooseTaskListFile(true);
    if (!file.isEmpty()) ExportTaskList(QFile::encodeName(file).toStdString());
}

void TFMain::Action_ImprotTLExecute() {
    if (!ChooseTaskListFile) return;
    const QString file = ChooseTaskListFile(false);
    if (!file.isEmpty()) ImportTaskList(QFile::encodeName(file).toStdString());
}

// ---------------------------------------------------------------------------------------------
// Messages and events

void TFMain::RestoreWindow() {
    // A window minimised while maximised comes back maximised.
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

bool TFMain::event(QEvent* Event) {
    if (Event->type() < QEvent::User) return QWidget::event(Event);
    switch (static_cast<TMessageEvent*>(Event)->Msg()) {
        case WM_TASKFINISHED:
            if (TaskFinished) TaskFinished();
            return true;
        case WM_TASKCHANGED:
            TaskChanged();
            return true;
        case WM_RESTORE_WIN:
            RestoreWindow();
            return true;
        case WM_ENABLEADDTASK:
            bt_addtask->setEnabled(true);
            Action_addTask->setEnabled(true);
            return true;
        default:
            return QWidget::event(Event);
    }
}

bool TFMain::AnyRunGoing() const {
    return std::any_of(m_Tabs.begin(), m_Tabs.end(),
                       [](const TTaskTab& Tab) { return Tab.Window && Tab.Window->Running(); });
}

void TFMain::closeEvent(QCloseEvent* Event) {
    if (!m_EndingRuns) {
        if (!AnyRunGoing()) {
            QWidget::closeEvent(Event);
            return;
        }
        const bool unattended = (Automation && Automation->Unattended()) || qApp->isSavingSession();
        QString question = Lang("closerunning");
        if (question.isEmpty()) question = QString::fromUtf8(CLOSE_RUNNING_TEXT);
        if (!unattended &&
            ShowMessageBox(question, ProgramName(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
            Event->ignore();
            return;
        }
        m_EndingRuns = true;
        for (const TTaskTab& tab : m_Tabs)
            if (tab.Window) tab.Window->EndRunForClose();
    }
    if (!AnyRunGoing()) {
        if (m_CloseTimer) m_CloseTimer->stop();
        QWidget::closeEvent(Event);
        return;
    }
    // The window never waits for a worker: the close comes again once the runs have ended.
    Event->ignore();
    if (!m_CloseTimer) {
        m_CloseTimer = new QTimer(this);
        m_CloseTimer->setInterval(50);
        connect(m_CloseTimer, &QTimer::timeout, this, [this] {
            if (!AnyRunGoing()) close();
        });
    }
    m_CloseTimer->start();
}

void TFMain::ShowHint(QWidget* Widget) {
    for (QWidget* w = Widget; w; w = w->parentWidget()) {
        if (!w->toolTip().isEmpty()) {
            Label_tip->setText(w->toolTip());
            return;
        }
        if (w == this) break;
    }
    Label_tip->clear();
}

bool TFMain::eventFilter(QObject* Watched, QEvent* Event) {
    switch (Event->type()) {
        case QEvent::Shortcut:
            // A menu button's letter: the button takes the focus and opens its menu, once the key
            // has been dealt with.
            for (const TMenuButton& m : m_MenuButtons)
                if (Watched == m.Label) {
                    m.Button->setFocus(Qt::ShortcutFocusReason);
                    QTimer::singleShot(0, this, [this, m] {
                        if (m.Button->isVisible()) PopupMenu(m.Button, m.Menu);
                    });
                    return true;
                }
            break;
        case QEvent::Resize:
            if (Watched == panel_tab) UpdateScrollButtons();
            break;
        case QEvent::Enter:
        case QEvent::Leave:
            if (Watched->isWidgetType()) {
                auto* w = static_cast<QWidget*>(Watched);
                if (w->window() == this) ShowHint(Event->type() == QEvent::Enter ? w : w->parentWidget());
            }
            break;
        default:
            break;
    }
    return QWidget::eventFilter(Watched, Event);
}

}  // namespace bfs
