#include "ui/UFFileSyncOptions.h"

#include "model/UTConsts.h"
#include "model/UTIniFile.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UTDialogParts.h"
#include "ui/UTWindowChrome.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 465;
constexpr int DEFAULT_HEIGHT = 362;
const char* const CAPTION = "Bramlow File Sync options";

// The 0/1 settings and their boxes, in the order the General page shows them.
using TFlag = int32_t TSysConfig::*;
constexpr TFlag FLAGS[] = {&TSysConfig::WindowsStart, &TSysConfig::CheckVersionVeryDay,
                           &TSysConfig::SaveLog,      &TSysConfig::HideTaskToTray,
                           &TSysConfig::ShowTrayIcon, &TSysConfig::AutoClose};
constexpr size_t FLAG_COUNT = std::size(FLAGS);

QString Lang(const char* Key) {
    return QString::fromStdString(SysConfig().GetText(Key));
}

QString Utf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

// A pattern list: the row number as its fixed key, the pattern as its value.
QTableWidget* NewPatternEditor(QWidget* Parent) {
    auto* editor = new QTableWidget(0, 1, Parent);
    editor->horizontalHeader()->hide();
    editor->horizontalHeader()->setStretchLastSection(true);
    QHeaderView* keys = editor->verticalHeader();
    keys->setSectionResizeMode(QHeaderView::Fixed);
    keys->setDefaultSectionSize(editor->fontMetrics().height() + 6);
    keys->setDefaultAlignment(Qt::AlignCenter);
    keys->setMinimumWidth(editor->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 8);
    editor->setSelectionBehavior(QAbstractItemView::SelectRows);
    editor->setSelectionMode(QAbstractItemView::SingleSelection);
    editor->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                            QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    editor->setTabKeyNavigation(false);
    editor->setMinimumSize(140, 120);
    return editor;
}

QToolButton* NewRowButton(QWidget* Parent, const QString& Text) {
    auto* button = new QToolButton(Parent);
    button->setText(Text);
    button->setFixedWidth(button->fontMetrics().height() + 10);
    return button;
}

QLabel* NewLabel(QWidget* Parent) {
    auto* label = new QLabel(Parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A pattern being typed counts: the open editor's text goes into its row.
void CommitOpenEditor(QTableWidget* Editor) {
    if (QWidget* editor = Editor->indexWidget(Editor->currentIndex()))
        QMetaObject::invokeMethod(Editor, "commitData", Qt::DirectConnection, Q_ARG(QWidget*, editor));
}

QString RowText(const QTableWidget* Editor, int Row) {
    const QTableWidgetItem* item = Editor->item(Row, 0);
    return item ? item->text() : QString();
}

// The patterns of the rows that are not blank, in row order, as typed.
std::vector<std::string> PatternsOf(const QTableWidget* Editor) {
    std::vector<std::string> patterns;
    for (int row = 0; row < Editor->rowCount(); ++row) {
        const std::string pattern = RowText(Editor, row).toStdString();
        if (!Trim(pattern).empty()) patterns.push_back(pattern);
    }
    return patterns;
}

// The first row whose pattern the settings file could not keep as one entry ("," separates the
// entries there, a line break would too); -1 when there is none.
int RowWithSeparator(const QTableWidget* Editor) {
    for (int row = 0; row < Editor->rowCount(); ++row) {
        const QString text = RowText(Editor, row);
        if (!text.trimmed().isEmpty() &&
            (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('\r')) ||
             text.contains(QLatin1Char('\n'))))
            return row;
    }
    return -1;
}

void ShowPatterns(QTableWidget* Editor, const std::vector<std::string>& Patterns) {
    Editor->setRowCount(0);
    for (const std::string& pattern : Patterns) {
        const int row = Editor->rowCount();
        Editor->insertRow(row);
        Editor->setItem(row, 0, new QTableWidgetItem(Utf8(pattern)));
    }
}

void AddPatternRow(QTableWidget* Editor, const char* ErrorKey) {
    try {
        // At the current row, not at the end.
        const int row = std::max(0, Editor->currentRow());
        Editor->insertRow(row);
        Editor->setItem(row, 0, new QTableWidgetItem);
        Editor->setCurrentCell(row, 0);
        Editor->setFocus();
        Editor->editItem(Editor->item(row, 0));
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText(ErrorKey), e);
    }
}

void DeletePatternRow(QTableWidget* Editor, const char* ErrorKey) {
    try {
        if (Editor->currentRow() >= 0) Editor->removeRow(Editor->currentRow());
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText(ErrorKey), e);
    }
}

// The language file names offered: the comma-separated list, each name trimmed, empty ones left out.
QStringList LanguageNames(const std::string& Languages) {
    QStringList names;
    for (const std::string& name : SplitSeparated(',', Languages)) {
        const std::string trimmed = Trim(name);
        if (!trimmed.empty()) names << Utf8(trimmed);
    }
    return names;
}

}  // namespace

TFFileSyncOptions::TFFileSyncOptions(QWidget* Parent) : QDialog(Parent) {
    BuildControls();
    // The tabs, each page in reading order, the dialog buttons.
    QWidget* const order[] = {select1Button, select2button, cb_languagelist, cb_SF,         cb_checkversion,
                              cb_savelog,    cb_hidetray,   cb_showicon,     cb_autoclose,  vedit_exclude,
                              bt_addexclude, bt_delexclude, vedit_include,   bt_addinclude, bt_delinclude,
                              OkButton,      CancelButton,  applyButton};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    resize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
}

TFFileSyncOptions::~TFFileSyncOptions() = default;

// ---------------------------------------------------------------------------------------------
// Controls

void TFFileSyncOptions::BuildControls() {
    TitleBar = MakeBorderless(*this, QString::fromUtf8(CAPTION), false, true);
    SMCLoseBtn = TitleBar->CloseBtn;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    layout->addWidget(NewPageTabRow(this, {{&select1Button, &ts_General}, {&select2button, &ts_filter}}));
    for (TImageExButton* tab : {select1Button, select2button})
        connect(tab, &TImageEx::clicked, this, [this, tab] { SelectTab(tab); });

    Notebook1 = new QStackedWidget(this);
    Notebook1->setObjectName(QStringLiteral("Notebook1"));
    Notebook1->addWidget(BuildGeneralPage());
    Notebook1->addWidget(BuildFilterPage());
    auto* body = new QVBoxLayout;
    body->setContentsMargins(12, 0, 12, 0);
    body->addWidget(Notebook1, 1);
    layout->addLayout(body, 1);

    auto* bottom = new QWidget(this);
    auto* bottomGrid = new QGridLayout(bottom);
    bottomGrid->setContentsMargins(12, 10, 12, 0);
    bottomGrid->setHorizontalSpacing(8);
    bottomGrid->setColumnStretch(0, 1);
    StackFace(bottom, bottomGrid, 0, 1, OkButton, Label_ok);
    StackFace(bottom, bottomGrid, 0, 2, CancelButton, Label_cancel);
    StackFace(bottom, bottomGrid, 0, 3, applyButton, Label29);
    for (TImageExButton* b : {OkButton, CancelButton, applyButton}) UseBigButtonFaces(b);
    connect(OkButton, &TImageEx::clicked, this, &TFFileSyncOptions::BitBtn_okClick);
    connect(CancelButton, &TImageEx::clicked, this, &TFFileSyncOptions::CancelButtonClick);
    connect(applyButton, &TImageEx::clicked, this, &TFFileSyncOptions::BitBtn_ApplyClick);
    layout->addWidget(bottom);

    setStyleSheet(QStringLiteral("#Notebook1 { background: #FFFFFF; border: 1px solid #D0D7DE; }"));
}

QWidget* TFFileSyncOptions::BuildGeneralPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->setContentsMargins(16, 16, 16, 16);
    v->setSpacing(10);

    auto* language = new QHBoxLayout;
    language->setSpacing(8);
    lb_language = NewLabel(page);
    cb_languagelist = new QComboBox(page);
    cb_languagelist->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cb_languagelist->setMinimumWidth(160);
    lb_language->setBuddy(cb_languagelist);
    language->addWidget(lb_language);
    language->addWidget(cb_languagelist);
    language->addStretch(1);
    v->addLayout(language);
    v->addSpacing(4);

    for (QCheckBox** box :
         {&cb_SF, &cb_checkversion, &cb_savelog, &cb_hidetray, &cb_showicon, &cb_autoclose}) {
        *box = new QCheckBox(page);
        v->addWidget(*box);
    }
    v->addStretch(1);
    return page;
}

QWidget* TFFileSyncOptions::BuildFilterPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(16, 14, 16, 16);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    struct TList {
        QLabel*& Label;
        QTableWidget*& Editor;
        QToolButton*& Add;
        QToolButton*& Delete;
    };
    const TList lists[] = {{lb_exclude, vedit_exclude, bt_addexclude, bt_delexclude},
                           {lb_include, vedit_include, bt_addinclude, bt_delinclude}};
    int column = 0;
    for (const TList& l : lists) {
        l.Label = NewLabel(page);
        l.Editor = NewPatternEditor(page);
        l.Label->setBuddy(l.Editor);
        l.Add = NewRowButton(page, QStringLiteral("+"));
        l.Delete = NewRowButton(page, QString(QChar(0x2212)));
        auto* rowButtons = new QVBoxLayout;
        rowButtons->setSpacing(4);
        rowButtons->addWidget(l.Add);
        rowButtons->addWidget(l.Delete);
        rowButtons->addStretch(1);
        grid->addWidget(l.Label, 0, column, 1, 2);
        grid->addWidget(l.Editor, 1, column);
        grid->addLayout(rowButtons, 1, column + 1);
        grid->setColumnStretch(column, 1);
        column += 2;
        if (column == 2) grid->setColumnMinimumWidth(column++, 10);
    }
    grid->setRowStretch(1, 1);
    connect(bt_addexclude, &QToolButton::clicked, this, &TFFileSyncOptions::bt_addexcludeClick);
    connect(bt_delexclude, &QToolButton::clicked, this, &TFFileSyncOptions::bt_delexcludeClick);
    connect(bt_addinclude, &QToolButton::clicked, this, &TFFileSyncOptions::bt_addincludeClick);
    connect(bt_delinclude, &QToolButton::clicked, this, &TFFileSyncOptions::bt_delincludeClick);
    return page;
}

// ---------------------------------------------------------------------------------------------
// Showing

void TFFileSyncOptions::showEvent(QShowEvent* Event) {
    if (!m_Shown) {
        m_Shown = true;
        FormShow();
        resize(size().expandedTo(minimumSizeHint()));
        if (parentWidget()) move(parentWidget()->window()->geometry().center() - rect().center());
    }
    QDialog::showEvent(Event);
}

void TFFileSyncOptions::FormShow() {
    try {
        LoadLanguageTexts();
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText("readlangerror"), e);
    }
    LoadOptionsToForm();
}

void TFFileSyncOptions::LoadLanguageTexts() {
    const std::pair<QWidget*, const char*> captions[] = {
        {lb_language, "language"},   {cb_SF, "StartFileSync"},    {cb_checkversion, "checkversion"},
        {cb_savelog, "savelog"},     {cb_hidetray, "hidetray"},   {cb_showicon, "showicon"},
        {cb_autoclose, "autoclose"}, {lb_exclude, "exclude"},     {lb_include, "include"},
        {ts_General, "General"},     {ts_filter, "globalfilter"}, {Label_ok, "ok"},
        {Label_cancel, "cancel"},    {Label29, "apply"},
    };
    for (auto [control, key] : captions) {
        if (auto* label = qobject_cast<QLabel*>(control))
            label->setText(Lang(key));
        else if (auto* box = qobject_cast<QCheckBox*>(control))
            box->setText(Lang(key));
    }
    const std::pair<QToolButton*, const char*> hints[] = {
        {bt_addexclude, "addexclude_hint"},
        {bt_addinclude, "addexclude_hint"},
        {bt_delexclude, "delexclude_hint"},
        {bt_delinclude, "delexclude_hint"},
    };
    for (auto [button, key] : hints) {
        button->setToolTip(Lang(key));
        button->setAccessibleName(Lang(key));
    }
    vedit_exclude->setAccessibleName(lb_exclude->text());
    vedit_include->setAccessibleName(lb_include->text());
    cb_languagelist->setAccessibleName(lb_language->text());

    // Picture buttons fit their captions, which name them.
    for (auto [tab, caption] : {std::pair{select1Button, ts_General}, std::pair{select2button, ts_filter}})
        FitFace(tab, caption, TAB_WIDTH, TAB_HEIGHT);
    for (auto [button, caption] : {std::pair{OkButton, Label_ok}, std::pair{CancelButton, Label_cancel},
                                   std::pair{applyButton, Label29}})
        FitFace(button, caption, BUTTON_WIDTH, BUTTON_HEIGHT);
    for (TImageExButton* b : {OkButton, CancelButton, applyButton}) b->SetPicState(isNormal);
    for (TImageExButton* tab : {select1Button, select2button}) tab->SetPicState(isNormal);
    m_CurrentTab = nullptr;
    SelectTab(select1Button);
}

void TFFileSyncOptions::LoadOptionsToForm() {
    const TSysConfig& cfg = SysConfig();
    cb_languagelist->clear();
    cb_languagelist->addItems(LanguageNames(cfg.languages));
    // A current language that is not offered leaves the list without a selection.
    cb_languagelist->setCurrentIndex(cb_languagelist->findText(Utf8(cfg.curlang), Qt::MatchExactly));

    QCheckBox* const boxes[FLAG_COUNT] = {cb_SF,       cb_checkversion, cb_savelog,
                                          cb_hidetray, cb_showicon,     cb_autoclose};
    for (size_t i = 0; i < FLAG_COUNT; ++i) {
        const QSignalBlocker quiet(boxes[i]);
        boxes[i]->setChecked(cfg.*FLAGS[i] == 1);
    }
    // The user's stored choice, also in a run that has cleared it for itself.
    cb_checkversion->setChecked(cfg.StoredCheckVersionVeryDay == 1);
    // The box shows what the session will do, whatever the key says.
    m_StartShown = GetRunAtStartup(PROGRAM_NAME) == 1;
    {
        const QSignalBlocker quiet(cb_SF);
        cb_SF->setChecked(m_StartShown);
    }

    ShowPatterns(vedit_exclude, cfg.ExcludeFilter);
    ShowPatterns(vedit_include, cfg.IncludeFilter);
}

// ---------------------------------------------------------------------------------------------
// Applying

void TFFileSyncOptions::Refuse(const QString& Message, QWidget* Focus) {
    for (int i = 0; i < Notebook1->count(); ++i)
        if (Notebook1->widget(i)->isAncestorOf(Focus)) SelectTab(i == 0 ? select1Button : select2button);
    ShowMessageBox(Message, QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONINFORMATION);
    Focus->setFocus();
}

bool TFFileSyncOptions::ApplyOptions() {
    TSysConfig& cfg = SysConfig();
    try {
        CommitOpenEditor(vedit_exclude);
        CommitOpenEditor(vedit_include);
        for (QTableWidget* editor : {vedit_exclude, vedit_include}) {
            const int row = RowWithSeparator(editor);
            if (row < 0) continue;
            editor->setCurrentCell(row, 0);
            Refuse(Lang("filtercommaerror"), editor);
            return false;
        }

        // A language is stored only once its file has opened; until the settings are written the
        // one open before is kept, to go back to.
        std::string language = cfg.curlang;
        if (cb_languagelist->currentIndex() >= 0) language = cb_languagelist->currentText().toStdString();
        const bool newLanguage = language != cfg.curlang;
        std::unique_ptr<TIniFile> previousLanguage;
        if (newLanguage) {
            previousLanguage = std::move(cfg.LangFile);
            if (cfg.OpenLanguage(language) != 0) {
                cfg.LangFile = std::move(previousLanguage);
                Refuse(Lang("langopenerror") + QLatin1Char('\r') + Utf8(language), cb_languagelist);
                return false;
            }
        }

        const std::string oldLanguage = cfg.curlang;
        int32_t oldFlags[FLAG_COUNT];
        for (size_t i = 0; i < FLAG_COUNT; ++i) oldFlags[i] = cfg.*FLAGS[i];
        std::vector<std::string> oldExclude = cfg.ExcludeFilter, oldInclude = cfg.IncludeFilter;

        cfg.curlang = language;
        QCheckBox* const boxes[FLAG_COUNT] = {cb_SF,       cb_checkversion, cb_savelog,
                                              cb_hidetray, cb_showicon,     cb_autoclose};
        for (size_t i = 0; i < FLAG_COUNT; ++i) cfg.*FLAGS[i] = BoolToInt(boxes[i]->isChecked());
        cfg.ExcludeFilter = PatternsOf(vedit_exclude);
        cfg.IncludeFilter = PatternsOf(vedit_include);

        // The entry first: when it cannot be changed, nothing is stored.
        const bool startBefore = m_StartShown;
        if (!ApplyAutostart()) {
            cfg.curlang = oldLanguage;
            for (size_t i = 0; i < FLAG_COUNT; ++i) cfg.*FLAGS[i] = oldFlags[i];
            cfg.ExcludeFilter = std::move(oldExclude);
            cfg.IncludeFilter = std::move(oldInclude);
            if (newLanguage) cfg.LangFile = std::move(previousLanguage);
            return false;
        }
        if (cfg.Save() != 0) {
            // The entry goes back with the settings.
            if (m_StartShown != startBefore) {
                SetRunAtStartup(PROGRAM_NAME, startBefore ? PROGRAM_NAME : "");
                m_StartShown = GetRunAtStartup(PROGRAM_NAME) == 1;
            }
            // Not in the file, so not in the settings either (the failure is in the error log).
            cfg.curlang = oldLanguage;
            for (size_t i = 0; i < FLAG_COUNT; ++i) cfg.*FLAGS[i] = oldFlags[i];
            cfg.ExcludeFilter = std::move(oldExclude);
            cfg.IncludeFilter = std::move(oldInclude);
            if (newLanguage) cfg.LangFile = std::move(previousLanguage);
            ShowMessageBox(Lang("saveoptionserror") + QLatin1Char('\r') +
                               Utf8(GetProgramFolder() + std::string(SETTINGS_FILE_NAME)),
                           QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONERROR);
            return false;
        }
        // The window speaks the new language at once; the others do where they next look texts up.
        if (newLanguage) LoadLanguageTexts();
        return true;
    } catch (const std::exception& e) {
        LogError(CONTEXT_CONFIG_READ, e);
        return false;
    }
}

void TFFileSyncOptions::BitBtn_okClick() {
    if (ApplyOptions()) done(1);
}

void TFFileSyncOptions::BitBtn_ApplyClick() {
    ApplyOptions();
}

void TFFileSyncOptions::CancelButtonClick() {
    reject();
}

bool TFFileSyncOptions::ApplyAutostart() {
    const bool on = cb_SF->isChecked();
    if (on == m_StartShown) return true;
    SetRunAtStartup(PROGRAM_NAME, on ? PROGRAM_NAME : "");
    if (GetRunAtStartup(PROGRAM_NAME) == (on ? 1 : 0)) {
        m_StartShown = on;
        return true;
    }
    // It did not take (the reason is in the error log); the box keeps the user's choice, to try again
    // or to take back.
    SelectTab(select1Button);
    ShowMessageBox(Lang("autostarterror") + QLatin1Char('\r') + Utf8(GetRunAtStartupFile()),
                   QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONERROR);
    cb_SF->setFocus();
    return false;
}

void TFFileSyncOptions::keyPressEvent(QKeyEvent* Event) {
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    QWidget* focus = focusWidget();
    const bool inPatterns =
        focus && (vedit_exclude->isAncestorOf(focus) || vedit_include->isAncestorOf(focus) ||
                  focus == vedit_exclude || focus == vedit_include);
    if (enter && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && !inPatterns) {
        Event->accept();
        BitBtn_okClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

// ---------------------------------------------------------------------------------------------
// Pattern lists, tabs

void TFFileSyncOptions::bt_addexcludeClick() {
    AddPatternRow(vedit_exclude, "addexcludeerror");
}

void TFFileSyncOptions::bt_delexcludeClick() {
    DeletePatternRow(vedit_exclude, "deleteexcludeerror");
}

void TFFileSyncOptions::bt_addincludeClick() {
    AddPatternRow(vedit_include, "addincludeerror");
}

void TFFileSyncOptions::bt_delincludeClick() {
    DeletePatternRow(vedit_include, "deleteincludeerror");
}

void TFFileSyncOptions::SelectTab(TImageExButton* Button) {
    const std::array tabs{select1Button, select2button};
    ShowPageTab(tabs, Notebook1, m_CurrentTab, Button);
}

}  // namespace bfs
