#include "ui/UFTaskConfig.h"

#include "model/TaskList.h"
#include "model/UTConsts.h"
#include "model/UTMyException.h"
#include "model/UTPublicFunc.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFSelectFolder.h"
#include "ui/UTDialogParts.h"
#include "ui/UTWindowChrome.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusTipEvent>
#include <QTableWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <set>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 568;
constexpr int DEFAULT_HEIGHT = 547;
constexpr int NAME_MAX_LENGTH = 50;
constexpr const char* TASK_LIST_FILE_NAME = "tasklist.fs";
constexpr int HINT_WIDTH = 100;

const char* const TWO_WAY_TEXT =
    "2-way job: use when files are changed on both sides and Bramlow File Sync will propagate changes "
    "both ways, ensuring that files are copied in both directions and keeping the two or more locations "
    "during synchronization with each other.";
const char* const ONE_WAY_TEXT =
    "1-way job: use to copy changed files from the Left side to Backup folder on the Right side; it is "
    "mostly used for backup purpose.";
const char* const ONE_WAY_LTOR_TEXT =
    "One-way Job,use to copy changed files from the Left side to Backup folder on the Right side.";
const char* const ONE_WAY_RTOL_TEXT =
    "One-way Job,use to copy changed files from the Right side to Backup folder on the Left side.";

// Month, day, year, hour, minute; every digit required. ParseMDYDateTime reads the fields by position.
const char* const DATE_MASK = "99/99/9999 99:99;_";
const char* const DATE_INITIAL = "01/01/1980 00:00";
constexpr int DOS_FIRST_YEAR = 1980;
constexpr int DOS_LAST_YEAR = 2107;

// The units of the size lists, in list order.
const char* const SIZE_UNITS[3] = {"B", "KB", "MB"};
constexpr int64_t UNIT_FACTORS[3] = {1, 1024, 1024 * 1024};

// The names of the tasks of the task list other than the one with OwnID (none when empty),
// trimmed: names compare trimmed and exactly, as the command line and the scheduler look tasks up.
// A task list that cannot be read names no task here: saving into it fails with its own message.
std::set<std::string> OtherTaskNames(const std::string& OwnID) {
    std::set<std::string> names;
    const std::string folder = GetProgramFolder();
    if (folder.empty()) return names;
    TTaskListDocument doc;
    if (doc.LoadFile(folder + TASK_LIST_FILE_NAME) != TTaskListDocument::LOAD_OK) return names;
    const TXMLTaskListType list = doc.GetTaskList();
    for (const TXMLTastType& tast : list.Items()) {
        if (!OwnID.empty() && tast.Get_SyncID() == OwnID) continue;
        names.insert(Trim(tast.Get_SyncName()));
    }
    return names;
}

bool NameTakenByAnotherTask(const std::string& Name, const std::string& OwnID) {
    return OtherTaskNames(OwnID).count(Name) > 0;
}

// Name when no task of the list has it; else the first of "Name (2)", "Name (3)", ... that none
// has, a number Name already ends with counted on from, and Name shortened where the number would
// not fit in MaxLength characters.
std::string FreeTaskName(const std::string& Name, int MaxLength) {
    const std::set<std::string> taken = OtherTaskNames(std::string());
    const QString name = QString::fromStdString(Trim(Name));
    if (!taken.count(name.toStdString())) return name.toStdString();
    static const QRegularExpression numbered(QStringLiteral("^(.*\\S) \\((\\d{1,6})\\)$"));
    QString base = name;
    int number = 2;
    if (const QRegularExpressionMatch m = numbered.match(name); m.hasMatch()) {
        base = m.captured(1);
        number = std::max(2, m.captured(2).toInt() + 1);
    }
    for (;; ++number) {
        const QString suffix = QStringLiteral(" (%1)").arg(number);
        const QString candidate =
            base.left(std::max<qsizetype>(1, MaxLength - suffix.size())).trimmed() + suffix;
        if (!taken.count(candidate.toStdString())) return candidate.toStdString();
    }
}

// The schedule a summary of the schedule editor describes (DescribeSchedule), without its start
// day: a task that takes a schedule over counts from the day its job is made. Nothing for a text
// of no such form.
struct TScheduleText {
    TScheduleSpec Spec;
    QTime Start;
};
std::optional<TScheduleText> ScheduleOfSummary(const QString& Text) {
    static const char* const DAYS[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const QRegularExpression daily(
        QStringLiteral("^At (.+?) every (?:day|(\\d+) days), starting .+$"));
    static const QRegularExpression weekly(
        QStringLiteral("^At (.+?) every ([A-Za-z,]+) of every (?:week|(\\d+) weeks), starting .+$"));
    static const QRegularExpression monthly(
        QStringLiteral("^At (.+?) on day (\\d+) of every month.*, starting .+$"));  // months left out follow
    TScheduleText result;
    QString time;
    int high = 365;
    if (const auto m = daily.match(Text); m.hasMatch()) {
        result.Spec.Frequency = 0;
        time = m.captured(1);
        result.Spec.Every = m.captured(2).isEmpty() ? 1 : m.captured(2).toInt();
    } else if (const auto w = weekly.match(Text); w.hasMatch()) {
        result.Spec.Frequency = 1;
        high = 56;
        time = w.captured(1);
        result.Spec.Every = w.captured(3).isEmpty() ? 1 : w.captured(3).toInt();
        for (const QString& day : w.captured(2).split(QLatin1Char(','))) {
            const auto found = std::find_if(std::begin(DAYS), std::end(DAYS),
                                            [&](const char* d) { return day == QLatin1String(d); });
            if (found == std::end(DAYS)) return std::nullopt;
            result.Spec.WeekDays[static_cast<size_t>(found - std::begin(DAYS))] = true;
        }
    } else if (const auto d = monthly.match(Text); d.hasMatch()) {
        result.Spec.Frequency = 2;
        high = 31;
        time = d.captured(1);
        result.Spec.Every = d.captured(2).toInt();
    } else {
        return std::nullopt;
    }
    if (result.Spec.Every < 1 || result.Spec.Every > high) return std::nullopt;

    // The start time as the locale wrote it: hours, minutes, maybe seconds, maybe AM or PM.
    static const QRegularExpression clock(QStringLiteral("(\\d{1,2})\\D(\\d{2})(?:\\D(\\d{2}))?"));
    const QRegularExpressionMatch c = clock.match(time);
    if (!c.hasMatch()) return std::nullopt;
    int hour = c.captured(1).toInt();
    const int minute = c.captured(2).toInt(), second = c.captured(3).toInt();
    const QLocale locale;
    const auto writes = [&](int Hour) {
        // Summaries give hours and minutes; those of earlier versions the locale's long form.
        return locale.toString(QTime(Hour, minute), HourMinuteFormat(locale)) == time ||
               locale.toString(QTime(Hour, minute, second), QLocale::LongFormat) == time;
    };
    if (!writes(hour)) {
        if (hour < 12 && writes(hour + 12))
            hour += 12;
        else if (hour == 12 && writes(0))
            hour = 0;
        else if (hour < 12 && !locale.pmText().isEmpty() && time.contains(locale.pmText()))
            hour += 12;
        else if (hour == 12 && !locale.amText().isEmpty() && time.contains(locale.amText()))
            hour = 0;
    }
    result.Start = QTime(hour, minute, second);
    if (!result.Start.isValid()) return std::nullopt;
    result.Spec.Hour = hour;
    result.Spec.Minute = minute;
    return result;
}

QString Lang(const char* Key) {
    return QString::fromStdString(SysConfig().GetText(Key));
}

QString Utf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

// Text as the tooltip, the hint line's text and the accessible description of Control. Language
// texts break their lines with CR.
void SetHint(QWidget* Control, const std::string& Text) {
    QString hint = Utf8(Text);
    hint.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // A tooltip reads a text that looks like markup as markup; such a hint is shown escaped.
    Control->setToolTip(Qt::mightBeRichText(hint) ? QStringLiteral("<p style='white-space:pre-wrap'>") +
                                                        hint.toHtmlEscaped() + QStringLiteral("</p>")
                                                  : hint);
    QString line = hint;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    Control->setStatusTip(line);
    Control->setAccessibleDescription(line);
}

// The date-time of a DOS date-time as the date edits show it, "MM/DD/YYYY hh:mm".
QString DosDateText(int32_t Date) {
    const auto u = static_cast<uint32_t>(Date);
    return QString::asprintf("%02u/%02u/%04u %02u:%02u", (u >> 21) & 15u, (u >> 16) & 31u,
                             DOS_FIRST_YEAR + (u >> 25), (u >> 11) & 31u, (u >> 5) & 63u);
}

// The DOS date-time of a date edit's text; nothing when it is no valid date and time or its year
// lies outside what a DOS date-time holds.
std::optional<int32_t> DosDateOfText(const QString& Text) {
    const std::string text = Text.toStdString();
    if (!ParseMDYDateTime(text)) return std::nullopt;
    const auto field = [&](int From, int Length) { return Text.mid(From, Length).toUInt(); };
    const uint32_t year = field(6, 4);
    if (year < DOS_FIRST_YEAR || year > DOS_LAST_YEAR) return std::nullopt;
    const uint32_t dos = ((year - DOS_FIRST_YEAR) << 25) | (field(0, 2) << 21) | (field(3, 2) << 16) |
                         (field(11, 2) << 11) | (field(14, 2) << 5);
    return static_cast<int32_t>(dos);
}

// A size in the largest unit that holds it exactly.
void ShowSize(int64_t Bytes, QLineEdit* Edit, QComboBox* Unit) {
    int unit = 0;
    if (Bytes > 0 && Bytes % UNIT_FACTORS[2] == 0)
        unit = 2;
    else if (Bytes > 0 && Bytes % UNIT_FACTORS[1] == 0)
        unit = 1;
    Edit->setText(QString::number(Bytes / UNIT_FACTORS[unit]));
    Unit->setCurrentIndex(unit);
}

// The bytes of a size edit's number in its unit; nothing for an empty text or one too large.
std::optional<int64_t> SizeOfText(const QString& Text, int Unit) {
    const std::string text = Text.trimmed().toStdString();
    uint64_t number = 0;
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || last != end) return std::nullopt;
    const int64_t factor = UNIT_FACTORS[std::clamp(Unit, 0, 2)];
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / factor)) return std::nullopt;
    return static_cast<int64_t>(number) * factor;
}

// The values of the non-blank rows of a mask editor, in row order, as written.
std::vector<std::string> MasksOf(const QTableWidget* Editor) {
    std::vector<std::string> masks;
    for (int row = 0; row < Editor->rowCount(); ++row) {
        const QTableWidgetItem* item = Editor->item(row, 0);
        const std::string mask = item ? item->text().toStdString() : std::string();
        if (!Trim(mask).empty()) masks.push_back(mask);
    }
    return masks;
}

void ShowMasks(QTableWidget* Editor, const std::vector<std::string>& Masks) {
    Editor->setRowCount(0);
    for (const std::string& mask : Masks) {
        const int row = Editor->rowCount();
        Editor->insertRow(row);
        Editor->setItem(row, 0, new QTableWidgetItem(Utf8(mask)));
    }
}

// A mask being typed counts: the open editor's text goes into its row.
void CommitOpenEditor(QTableWidget* Editor) {
    if (QWidget* editor = Editor->indexWidget(Editor->currentIndex()))
        QMetaObject::invokeMethod(Editor, "commitData", Qt::DirectConnection, Q_ARG(QWidget*, editor));
}

QTableWidget* NewMaskEditor(QWidget* Parent) {
    auto* editor = new QTableWidget(0, 1, Parent);
    editor->horizontalHeader()->hide();
    editor->verticalHeader()->hide();
    editor->horizontalHeader()->setStretchLastSection(true);
    editor->verticalHeader()->setDefaultSectionSize(editor->fontMetrics().height() + 6);
    editor->setSelectionBehavior(QAbstractItemView::SelectRows);
    editor->setSelectionMode(QAbstractItemView::SingleSelection);
    editor->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                            QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    editor->setTabKeyNavigation(false);
    editor->setMinimumWidth(160);
    return editor;
}

QToolButton* NewRowButton(QWidget* Parent, const QString& Text) {
    auto* button = new QToolButton(Parent);
    button->setText(Text);
    button->setAutoRaise(false);
    button->setFixedWidth(button->fontMetrics().height() + 10);
    return button;
}

QLabel* NewLabel(QWidget* Parent, const QString& Text = QString()) {
    auto* label = new QLabel(Text, Parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* NewHeading(QWidget* Parent, const QString& Text) {
    QLabel* label = NewLabel(Parent, Text);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

}  // namespace

TFTaskConfig::TFTaskConfig(QWidget* Parent) : QDialog(Parent) {
    Task = std::make_unique<TSyncTask>();
    SelectFolder = [this](int Side, TFolderSource& Folder) {
        TFSelectFolder window(this);
        window.IsLeft = Side == 1 ? 1 : 0;
        window.FolderSource = &Folder;
        return window.exec() == 1;
    };
    RunScheduleEditor = [](TScheduleManagerForm& Editor) { return Editor.Execute(); };
    Clock = [] { return QDateTime::currentDateTime(); };
    BuildControls();
    ConnectInterlocks();
    SetTabOrder();
    resize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
}

TFTaskConfig::~TFTaskConfig() = default;

std::string TFTaskConfig::GetLangHint(const std::string& Key) {
    if (Key.empty()) return {};
    return WrapText(SysConfig().GetText(Key), HINT_WIDTH);
}

// ---------------------------------------------------------------------------------------------
// Controls

void TFTaskConfig::BuildControls() {
    TitleBar = MakeBorderless(*this, QString(), false, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    layout->addWidget(NewPageTabRow(
        this, {{&select1Button, &ts_General}, {&select2button, &ts_filter}, {&select3button, &ts_atuo}}));
    for (TImageExButton* tab : {select1Button, select2button, select3button})
        connect(tab, &TImageEx::clicked, this, [this, tab] { SelectTab(tab); });

    Notebook1 = new QStackedWidget(this);
    Notebook1->setObjectName(QStringLiteral("Notebook1"));
    Notebook1->addWidget(BuildGeneralPage());
    Notebook1->addWidget(BuildFilterPage());
    Notebook1->addWidget(BuildAutomationPage());
    auto* body = new QVBoxLayout;
    body->setContentsMargins(12, 0, 12, 0);
    body->addWidget(Notebook1, 1);
    layout->addLayout(body, 1);

    // The hint line beside the dialog buttons.
    auto* bottom = new QWidget(this);
    auto* bottomGrid = new QGridLayout(bottom);
    bottomGrid->setContentsMargins(12, 8, 12, 0);
    bottomGrid->setHorizontalSpacing(8);
    Label_tip = NewLabel(bottom);
    Label_tip->setWordWrap(true);
    Label_tip->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Label_tip->setMinimumHeight(2 * Label_tip->fontMetrics().lineSpacing());
    QPalette tipPalette = Label_tip->palette();
    tipPalette.setColor(QPalette::WindowText, QColor(0x59, 0x60, 0x69));
    Label_tip->setPalette(tipPalette);
    bottomGrid->addWidget(Label_tip, 0, 0);
    bottomGrid->setColumnStretch(0, 1);
    StackFace(bottom, bottomGrid, 0, 1, OkButton, Label_ok);
    StackFace(bottom, bottomGrid, 0, 2, CancelButton, Label_cancel);
    StackFace(bottom, bottomGrid, 0, 3, applyButton, Label29);
    for (TImageExButton* b : {OkButton, CancelButton, applyButton}) UseBigButtonFaces(b);
    connect(OkButton, &TImageEx::clicked, this, &TFTaskConfig::BitBtn_okClick);
    connect(CancelButton, &TImageEx::clicked, this, &TFTaskConfig::BitBtn_CancelClick);
    connect(applyButton, &TImageEx::clicked, this, &TFTaskConfig::BitBtn_ApplyClick);
    layout->addWidget(bottom);

    setStyleSheet(QStringLiteral("#Notebook1 { background: #FFFFFF; border: 1px solid #D0D7DE; }"));
}

QWidget* TFTaskConfig::BuildGeneralPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->setContentsMargins(14, 14, 14, 14);
    v->setSpacing(12);

    auto* folders = new QGridLayout;
    folders->setHorizontalSpacing(8);
    lb_taskname = NewLabel(page);
    edit_taskname = new QLineEdit(page);
    edit_taskname->setMaxLength(NAME_MAX_LENGTH);
    lb_lfolder = NewLabel(page);
    lb_rfolder = NewLabel(page);
    edit_lfolder = new QLineEdit(page);
    edit_rfolder = new QLineEdit(page);
    // The addresses change through Browse only, and look so: shown, selectable, never read back.
    for (QLineEdit* e : {edit_lfolder, edit_rfolder}) {
        e->setReadOnly(true);
        QPalette p = e->palette();
        p.setColor(QPalette::Base, QColor(0xF4, 0xF6, 0xF8));
        e->setPalette(p);
    }
    folders->addWidget(lb_taskname, 0, 0);
    folders->addWidget(edit_taskname, 0, 1);
    folders->addWidget(lb_lfolder, 1, 0);
    folders->addWidget(edit_lfolder, 1, 1);
    folders->addWidget(FaceHolder(page, lbrowseButton, tb_lbrowse), 1, 2);
    folders->addWidget(lb_rfolder, 2, 0);
    folders->addWidget(edit_rfolder, 2, 1);
    folders->addWidget(FaceHolder(page, RFolderImage, tb_rbrowse), 2, 2);
    folders->setColumnStretch(1, 1);
    for (TImageExButton* b : {lbrowseButton, RFolderImage}) UseBigButtonFaces(b);
    connect(lbrowseButton, &TImageEx::clicked, this, &TFTaskConfig::tb_lbrowseClick);
    connect(RFolderImage, &TImageEx::clicked, this, &TFTaskConfig::tb_rbrowseClick);
    v->addLayout(folders);

    lb_syncdirect = new QGroupBox(page);
    auto* direction = new QGridLayout(lb_syncdirect);
    direction->setHorizontalSpacing(6);
    rb_sync = new QRadioButton(lb_syncdirect);
    rb_backup = new QRadioButton(lb_syncdirect);
    auto* radios = new QButtonGroup(this);
    radios->addButton(rb_sync);
    radios->addButton(rb_backup);
    Label1 = new TImageEx(lb_syncdirect);
    Label1->setText(QString::fromUtf8(TWO_WAY_TEXT));
    Label_sync = new TImageEx(lb_syncdirect);
    Label_sync->setText(QString::fromUtf8(ONE_WAY_TEXT));
    for (TImageEx* l : {Label1, Label_sync}) {
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    connect(Label1, &TImageEx::clicked, rb_sync, [this] { rb_sync->click(); });
    connect(Label_sync, &TImageEx::clicked, rb_backup, [this] { rb_backup->click(); });
    rb_sync->setAccessibleName(Label1->text());
    cb_syncdirect = new QComboBox(lb_syncdirect);
    // The items come with the language texts, after the layout is made.
    cb_syncdirect->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    rb_forcedcopy = new QCheckBox(lb_syncdirect);
    rb_Verified = new QCheckBox(lb_syncdirect);
    cb_usetasktags = new QCheckBox(lb_syncdirect);
    cb_usetasktags->setEnabled(false);
    direction->addWidget(rb_sync, 0, 0, Qt::AlignTop);
    direction->addWidget(Label1, 0, 1);
    direction->addWidget(rb_backup, 1, 0, Qt::AlignTop);
    direction->addWidget(Label_sync, 1, 1);
    auto* oneWay = new QHBoxLayout;
    oneWay->setSpacing(12);
    oneWay->addWidget(cb_syncdirect);
    oneWay->addWidget(rb_forcedcopy);
    oneWay->addWidget(rb_Verified);
    oneWay->addStretch(1);
    direction->addLayout(oneWay, 2, 1);
    direction->addWidget(cb_usetasktags, 3, 1);
    direction->setColumnStretch(1, 1);
    v->addWidget(lb_syncdirect);

    auto* options = new QGridLayout;
    options->setHorizontalSpacing(16);
    cb_savepv = new QCheckBox(page);
    cb_userTemp = new QCheckBox(page);
    cb_prodelete = new QCheckBox(page);
    cb_estimatedisk = new QCheckBox(page);
    // Every copy is written under a temporary name and renamed when whole: the box says so and is
    // no choice. The task's own key stays as stored.
    cb_userTemp->setChecked(true);
    cb_userTemp->setEnabled(false);
    options->addWidget(cb_savepv, 0, 0);
    options->addWidget(cb_userTemp, 0, 1);
    options->addWidget(cb_prodelete, 1, 0);
    options->addWidget(cb_estimatedisk, 1, 1);
    options->setColumnStretch(0, 1);
    options->setColumnStretch(1, 1);
    v->addLayout(options);
    v->addStretch(1);
    return page;
}

QGroupBox* TFTaskConfig::BuildFilterGroup(bool Exclude) {
    auto* group = new QGroupBox;
    auto* grid = new QGridLayout(group);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);

    QLabel* nameLabel = NewHeading(group, QStringLiteral("File Name Filter"));
    QTableWidget* masks = NewMaskEditor(group);
    QToolButton* add = NewRowButton(group, QStringLiteral("+"));
    QToolButton* del = NewRowButton(group, QString(QChar(0x2212)));
    auto* rowButtons = new QVBoxLayout;
    rowButtons->setSpacing(4);
    rowButtons->addWidget(add);
    rowButtons->addWidget(del);
    rowButtons->addStretch(1);
    grid->addWidget(nameLabel, 0, 0, 1, 2);
    grid->addWidget(masks, 1, 0, 5, 1);
    grid->addLayout(rowButtons, 1, 1, 5, 1);

    // The limits, beside the masks: two sizes, then two dates.
    grid->addWidget(NewHeading(group, QStringLiteral("File Size")), 0, 3, 1, 3);
    QCheckBox* boxes[4];
    QLineEdit* sizeEdits[2];
    QComboBox* units[2];
    QLineEdit* dateEdits[2];
    const char* const boxTexts[4] = {"Size is at least", "Size is not more than", "modified after ",
                                     "modified before"};
    for (int i = 0; i < 4; ++i) boxes[i] = new QCheckBox(QString::fromUtf8(boxTexts[i]), group);
    auto* digits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,19}")), group);
    for (int i = 0; i < 2; ++i) {
        sizeEdits[i] = new QLineEdit(group);
        sizeEdits[i]->setValidator(digits);
        sizeEdits[i]->setAlignment(Qt::AlignRight);
        sizeEdits[i]->setMinimumWidth(
            sizeEdits[i]->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
        units[i] = new QComboBox(group);
        for (const char* unit : SIZE_UNITS) units[i]->addItem(QString::fromLatin1(unit));
        dateEdits[i] = new QLineEdit(group);
        dateEdits[i]->setInputMask(QString::fromLatin1(DATE_MASK));
        dateEdits[i]->setText(QString::fromLatin1(DATE_INITIAL));
        dateEdits[i]->setMinimumWidth(
            dateEdits[i]->fontMetrics().horizontalAdvance(QStringLiteral("00/00/0000 00:00")) + 16);
        for (QWidget* w : {static_cast<QWidget*>(sizeEdits[i]), static_cast<QWidget*>(units[i]),
                           static_cast<QWidget*>(dateEdits[i])})
            w->setEnabled(false);
        grid->addWidget(boxes[i], 1 + i, 3);
        grid->addWidget(sizeEdits[i], 1 + i, 4);
        grid->addWidget(units[i], 1 + i, 5);
        grid->addWidget(boxes[2 + i], 4 + i, 3);
        grid->addWidget(dateEdits[i], 4 + i, 4, 1, 2);
    }
    grid->addWidget(NewHeading(group, QStringLiteral("File modification time")), 3, 3, 1, 3);
    grid->setColumnMinimumWidth(2, 6);
    grid->setColumnStretch(0, 1);

    if (Exclude) {
        lb_exclude = group;
        ExFileNameFilter = nameLabel;
        vedit_exclude = masks;
        bt_addexclude = add;
        bt_delexclude = del;
        cb_exfilesizemin = boxes[0];
        cb_filesizemax = boxes[1];
        cb_exfiletimemin = boxes[2];
        cb_exfiletimemax = boxes[3];
        Edit_exfilesizemin = sizeEdits[0];
        Edit_exfilesizemax = sizeEdits[1];
        Edit_exfilesizemin_b = units[0];
        Edit_exfilesizemax_b = units[1];
        edit_exfiletimemin = dateEdits[0];
        edit_exfiletimemax = dateEdits[1];
    } else {
        lb_include = group;
        INFileNameFilter = nameLabel;
        vedit_include = masks;
        bt_addinclude = add;
        bt_delinclude = del;
        cb_infilesizemin = boxes[0];
        cb_infilesizemax = boxes[1];
        cb_infiletimemin = boxes[2];
        cb_infiletimemax = boxes[3];
        Edit_infilesizemin = sizeEdits[0];
        Edit_infilesizemax = sizeEdits[1];
        Edit_infilesizemin_b = units[0];
        Edit_infilesizemax_b = units[1];
        edit_infiletimemin = dateEdits[0];
        edit_infiletimemax = dateEdits[1];
    }
    return group;
}

QWidget* TFTaskConfig::BuildFilterPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->setContentsMargins(14, 14, 14, 14);
    v->setSpacing(10);
    QGroupBox* exclude = BuildFilterGroup(true);
    QGroupBox* include = BuildFilterGroup(false);
    exclude->setParent(page);
    include->setParent(page);
    v->addWidget(exclude, 1);
    v->addWidget(include, 1);
    connect(bt_addexclude, &QToolButton::clicked, this, &TFTaskConfig::bt_addexcludeClick);
    connect(bt_delexclude, &QToolButton::clicked, this, &TFTaskConfig::bt_delexcludeClick);
    connect(bt_addinclude, &QToolButton::clicked, this, &TFTaskConfig::bt_addincludeClick);
    connect(bt_delinclude, &QToolButton::clicked, this, &TFTaskConfig::bt_delincludeClick);

    auto* flags = new QHBoxLayout;
    flags->setSpacing(16);
    cb_excludeempty = new QCheckBox(page);
    cb_excludehidden = new QCheckBox(page);
    cb_excludesystem = new QCheckBox(page);
    flags->addWidget(cb_excludeempty);
    flags->addWidget(cb_excludehidden);
    flags->addWidget(cb_excludesystem);
    flags->addStretch(1);
    v->addLayout(flags);

    m_SizeLimits[0] = {cb_exfilesizemin, Edit_exfilesizemin, Edit_exfilesizemin_b,
                       &TSyncTask::ExcludeFileSizeMin, "exfilesizemin"};
    m_SizeLimits[1] = {cb_filesizemax, Edit_exfilesizemax, Edit_exfilesizemax_b,
                       &TSyncTask::ExcludeFileSizeMax, "exfilesizemax"};
    m_SizeLimits[2] = {cb_infilesizemin, Edit_infilesizemin, Edit_infilesizemin_b,
                       &TSyncTask::IncludeFileSizeMin, "infilesizemin"};
    m_SizeLimits[3] = {cb_infilesizemax, Edit_infilesizemax, Edit_infilesizemax_b,
                       &TSyncTask::IncludeFileSizeMax, "infilesizemax"};
    m_TimeLimits[0] = {cb_exfiletimemin, edit_exfiletimemin, &TSyncTask::ExcludeFileTimeMin, "exfiletimemin"};
    m_TimeLimits[1] = {cb_exfiletimemax, edit_exfiletimemax, &TSyncTask::ExcludeFileTimeMax, "exfiletimemax"};
    m_TimeLimits[2] = {cb_infiletimemin, edit_infiletimemin, &TSyncTask::IncludeFileTimeMin, "infiletimemin"};
    m_TimeLimits[3] = {cb_infiletimemax, edit_infiletimemax, &TSyncTask::IncludeFileTimeMax, "infiletimemax"};
    return page;
}

QWidget* TFTaskConfig::BuildAutomationPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->setContentsMargins(14, 14, 14, 14);
    v->setSpacing(12);

    gb_atuocondition = new QGroupBox(page);
    auto* grid = new QGridLayout(gb_atuocondition);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    const std::pair<QCheckBox**, QCheckBox**> pairs[] = {{&cb_syncitstart, &cb_anaitstart},
                                                         {&cb_syncconn, &cb_anaconn},
                                                         {&cb_synclogoff, &cb_anslogoff},
                                                         {&cb_syncperiod, &cb_anaperiod}};
    int row = 0;
    for (auto [sync, analyze] : pairs) {
        *sync = new QCheckBox(gb_atuocondition);
        *analyze = new QCheckBox(gb_atuocondition);
        grid->addWidget(*sync, row, 0);
        grid->addWidget(*analyze, row, 1);
        ++row;
    }
    cb_anslogoff->setText(QStringLiteral("Analyze on  Logoff"));

    auto* period = new QHBoxLayout;
    period->setContentsMargins(24, 0, 0, 0);
    period->setSpacing(6);
    lb_every = NewLabel(gb_atuocondition);
    edit_hours = new QSpinBox(gb_atuocondition);
    edit_hours->setRange(0, 999);
    edit_hours->setValue(2);
    lb_hours = NewLabel(gb_atuocondition);
    edit_minutes = new QSpinBox(gb_atuocondition);
    edit_minutes->setRange(0, 59);
    edit_minutes->setValue(0);
    lb_Minutes = NewLabel(gb_atuocondition);
    for (QSpinBox* s : {edit_hours, edit_minutes}) {
        s->setEnabled(false);
        s->setMinimumWidth(s->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 36);
    }
    period->addWidget(lb_every);
    period->addWidget(edit_hours);
    period->addWidget(lb_hours);
    period->addSpacing(8);
    period->addWidget(edit_minutes);
    period->addWidget(lb_Minutes);
    period->addStretch(1);
    grid->addLayout(period, row++, 0, 1, 2);

    cb_synctaskscheduler = new QCheckBox(gb_atuocondition);
    cb_anataskschedule = new QCheckBox(gb_atuocondition);
    grid->addWidget(cb_synctaskscheduler, row, 0);
    grid->addWidget(cb_anataskschedule, row++, 1);
    auto* schedule = new QHBoxLayout;
    schedule->setContentsMargins(24, 0, 0, 0);
    Edit_task = new QLineEdit(gb_atuocondition);
    Edit_task->setReadOnly(true);
    bt_taskconfig = new QPushButton(gb_atuocondition);
    schedule->addWidget(Edit_task, 1);
    schedule->addWidget(bt_taskconfig);
    grid->addLayout(schedule, row++, 0, 1, 2);
    bt_taskconfig->setEnabled(false);
    connect(bt_taskconfig, &QPushButton::clicked, this, &TFTaskConfig::bt_taskconfigClick);
    // A summary longer than the edit shows its beginning, and whole as the tooltip.
    connect(Edit_task, &QLineEdit::textChanged, Edit_task, &QWidget::setToolTip);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    v->addWidget(gb_atuocondition);

    auto* conflicts = new QHBoxLayout;
    conflicts->setSpacing(8);
    cb_resolveconflicts = NewLabel(page);
    cb_coflicts = new QComboBox(page);
    cb_coflicts->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cb_resolveconflicts->setBuddy(cb_coflicts);
    conflicts->addWidget(cb_resolveconflicts);
    conflicts->addWidget(cb_coflicts);
    conflicts->addStretch(1);
    v->addLayout(conflicts);
    v->addStretch(1);
    return page;
}

// Setting a box from code runs these as a click does, so loading a task passes through them too.
void TFTaskConfig::ConnectInterlocks() {
    connect(rb_sync, &QRadioButton::toggled, this, [this](bool On) {
        if (!On) return;
        for (QWidget* w : {static_cast<QWidget*>(cb_syncdirect), static_cast<QWidget*>(rb_forcedcopy),
                           static_cast<QWidget*>(rb_Verified), static_cast<QWidget*>(cb_usetasktags)})
            w->setEnabled(false);
    });
    connect(rb_backup, &QRadioButton::toggled, this, [this](bool On) {
        if (!On) return;
        for (QWidget* w : {static_cast<QWidget*>(cb_syncdirect), static_cast<QWidget*>(rb_forcedcopy),
                           static_cast<QWidget*>(rb_Verified), static_cast<QWidget*>(cb_usetasktags)})
            w->setEnabled(true);
        rb_forcedcopy->setChecked(true);
        cb_syncdirect->setCurrentIndex(0);
        SetOneWayText(0);
    });
    connect(cb_syncdirect, &QComboBox::activated, this, &TFTaskConfig::SetOneWayText);
    // Two boxes that act as one radio pair.
    connect(rb_forcedcopy, &QCheckBox::toggled, this, [this](bool On) { rb_Verified->setChecked(!On); });
    connect(rb_Verified, &QCheckBox::toggled, this, [this](bool On) { rb_forcedcopy->setChecked(!On); });
    // Saved states kept locally leave no backup folder to save old files into.
    connect(cb_estimatedisk, &QCheckBox::toggled, this, [this](bool On) {
        if (On) cb_savepv->setChecked(false);
        cb_savepv->setEnabled(!On);
    });
    for (const TSizeLimit& s : m_SizeLimits)
        connect(s.Box, &QCheckBox::toggled, this, [s](bool On) {
            s.Edit->setEnabled(On);
            s.Unit->setEnabled(On);
        });
    for (const TTimeLimit& t : m_TimeLimits)
        connect(t.Box, &QCheckBox::toggled, t.Edit, &QWidget::setEnabled);
    // A sync includes its analysis: the analyze box of the pair is checked and fixed.
    const std::pair<QCheckBox*, QCheckBox*> pairs[] = {{cb_syncitstart, cb_anaitstart},
                                                       {cb_syncconn, cb_anaconn},
                                                       {cb_synclogoff, cb_anslogoff},
                                                       {cb_syncperiod, cb_anaperiod}};
    for (auto [sync, analyze] : pairs)
        connect(sync, &QCheckBox::toggled, this, [analyze](bool On) {
            if (On) analyze->setChecked(true);
            analyze->setEnabled(!On);
        });
    connect(cb_anaperiod, &QCheckBox::toggled, this, [this](bool On) {
        edit_hours->setEnabled(On);
        edit_minutes->setEnabled(On);
        if (!On) {
            edit_hours->setValue(0);
            edit_minutes->setValue(0);
        }
    });
    connect(cb_synctaskscheduler, &QCheckBox::toggled, this, [this](bool On) {
        if (On) cb_anataskschedule->setChecked(true);
        cb_anataskschedule->setEnabled(!On);
    });
    // Only recorded here: OK or Apply makes or removes the job.
    connect(cb_anataskschedule, &QCheckBox::toggled, this, [this](bool On) {
        bt_taskconfig->setEnabled(On);
        if (!On) {
            m_PendingSchedule.reset();
            Edit_task->clear();
        } else if (!m_PendingSchedule && Edit_task->text().isEmpty()) {
            // Ticked again: the job last saved, if there is one, still stands.
            Edit_task->setText(Utf8(Task->TaskScheduler));
            Edit_task->setCursorPosition(0);
        }
    });
}

void TFTaskConfig::SetOneWayText(int DirectionIndex) {
    Label_sync->setText(QString::fromUtf8(DirectionIndex == 0 ? ONE_WAY_LTOR_TEXT : ONE_WAY_RTOL_TEXT));
}

// ---------------------------------------------------------------------------------------------
// Showing

void TFTaskConfig::showEvent(QShowEvent* Event) {
    if (!m_Shown) {
        m_Shown = true;
        FormShow();
        resize(size().expandedTo(minimumSizeHint()));
    }
    QDialog::showEvent(Event);
}

bool TFTaskConfig::event(QEvent* Event) {
    if (Event->type() == QEvent::StatusTip) {
        Label_tip->setText(static_cast<QStatusTipEvent*>(Event)->tip());
        return true;
    }
    return QDialog::event(Event);
}

void TFTaskConfig::keyPressEvent(QKeyEvent* Event) {
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    QWidget* focus = focusWidget();
    const bool inMasks = focus && (vedit_exclude->isAncestorOf(focus) || vedit_include->isAncestorOf(focus) ||
                                   focus == vedit_exclude || focus == vedit_include);
    if (enter && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && !inMasks) {
        Event->accept();
        BitBtn_okClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void TFTaskConfig::SetTabOrder() {
    const std::vector<QWidget*> order = {
        select1Button, select2button, select3button,
        // General
        edit_taskname, edit_lfolder, lbrowseButton, edit_rfolder, RFolderImage, rb_sync, rb_backup,
        cb_syncdirect, rb_forcedcopy, rb_Verified, cb_usetasktags, cb_savepv, cb_userTemp, cb_prodelete,
        cb_estimatedisk,
        // Filter
        vedit_exclude, bt_addexclude, bt_delexclude, cb_exfilesizemin, Edit_exfilesizemin,
        Edit_exfilesizemin_b, cb_filesizemax, Edit_exfilesizemax, Edit_exfilesizemax_b, cb_exfiletimemin,
        edit_exfiletimemin, cb_exfiletimemax, edit_exfiletimemax, vedit_include, bt_addinclude, bt_delinclude,
        cb_infilesizemin, Edit_infilesizemin, Edit_infilesizemin_b, cb_infilesizemax, Edit_infilesizemax,
        Edit_infilesizemax_b, cb_infiletimemin, edit_infiletimemin, cb_infiletimemax, edit_infiletimemax,
        cb_excludeempty, cb_excludehidden, cb_excludesystem,
        // Automation
        cb_syncitstart, cb_anaitstart, cb_syncconn, cb_anaconn, cb_synclogoff, cb_anslogoff, cb_syncperiod,
        cb_anaperiod, edit_hours, edit_minutes, cb_synctaskscheduler, cb_anataskschedule, Edit_task,
        bt_taskconfig, cb_coflicts,
        // The dialog buttons
        OkButton, CancelButton, applyButton};
    for (size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void TFTaskConfig::FormShow() {
    try {
        LoadLanguageTexts();
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText("readlangerror"), e);
    }
    try {
        m_LFolder = *Task->LFolder;
        m_RFolder = *Task->RFolder;
        m_JobTaskName = Task->SyncName;
        if (IsNew && Task->SyncName.empty()) {
            TitleBar->SetTitle(QStringLiteral("[") + Lang("newtaskname") + QStringLiteral("] ") +
                               Lang("Options"));
            edit_lfolder->setText(Utf8(m_LFolder.FolerAllName));
            edit_rfolder->setText(Utf8(m_RFolder.FolerAllName));
            if (cb_syncdirect->count() > 0) cb_syncdirect->setCurrentIndex(0);
            rb_sync->setChecked(true);
            if (cb_coflicts->count() > 0) cb_coflicts->setCurrentIndex(0);
            cb_excludeempty->setChecked(true);
            // An empty row in each mask list to type into.
            for (QTableWidget* e : {vedit_exclude, vedit_include}) {
                e->setRowCount(1);
                e->setItem(0, 0, new QTableWidgetItem);
            }
        } else {
            LoadTaskToForm();
            if (IsNew) TakeTemplate();
            TitleBar->SetTitle(QStringLiteral("[") + edit_taskname->text() + QStringLiteral("] ") +
                               Lang("Options"));
        }
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText("createsyncjoberror"), e);
    }
    edit_taskname->setFocus();
}

void TFTaskConfig::LoadLanguageTexts() {
    const std::pair<QWidget*, const char*> captions[] = {
        {lb_taskname, "taskname"},
        {lb_lfolder, "lfolder"},
        {lb_rfolder, "rfolder"},
        {lb_syncdirect, "syncdirect"},
        {rb_forcedcopy, "forcedcopy"},
        {rb_Verified, "Verified"},
        {cb_savepv, "savepv"},
        {tb_lbrowse, "Browse"},
        {tb_rbrowse, "Browse"},
        {cb_userTemp, "userTempfile"},
        {cb_prodelete, "prodelete"},
        {cb_estimatedisk, "estimatedisk"},
        {lb_exclude, "exclude"},
        {lb_include, "include"},
        {cb_excludeempty, "excludeempty"},
        {cb_excludesystem, "excludesystem"},
        {cb_excludehidden, "excludehidden"},
        {gb_atuocondition, "atuocondition"},
        {cb_syncitstart, "syncitstart"},
        {cb_anaitstart, "anaitstart"},
        {cb_syncconn, "syncconn"},
        {cb_anaconn, "anaconn"},
        {cb_synclogoff, "synclogoff"},
        {cb_syncperiod, "syncperiod"},
        {cb_anaperiod, "anaperiod"},
        {lb_every, "every"},
        {lb_hours, "hours"},
        {lb_Minutes, "Minutes"},
        {cb_synctaskscheduler, "synctaskscheduler"},
        {cb_anataskschedule, "anataskschedule"},
        {bt_taskconfig, "taskconfig"},
        {cb_usetasktags, "sourcereadonly"},
        {cb_resolveconflicts, "resolveconflicts"},
        {ts_General, "General"},
        {ts_filter, "filter"},
        {ts_atuo, "atuo"},
        {Label_ok, "ok"},
        {Label_cancel, "cancel"},
        {Label29, "apply"},
    };
    for (auto [control, key] : captions) {
        const QString text = Lang(key);
        if (auto* label = qobject_cast<QLabel*>(control))
            label->setText(text);
        else if (auto* button = qobject_cast<QAbstractButton*>(control))
            button->setText(text);
        else if (auto* group = qobject_cast<QGroupBox*>(control))
            group->setTitle(text);
    }

    // Picture buttons fit their captions, which name them; the Browse buttons' hints follow.
    for (auto [tab, caption] : {std::pair{select1Button, ts_General}, std::pair{select2button, ts_filter},
                                std::pair{select3button, ts_atuo}})
        FitFace(tab, caption, TAB_WIDTH, TAB_HEIGHT);
    for (auto [button, caption] : {std::pair{OkButton, Label_ok}, std::pair{CancelButton, Label_cancel},
                                   std::pair{applyButton, Label29}, std::pair{lbrowseButton, tb_lbrowse},
                                   std::pair{RFolderImage, tb_rbrowse}})
        FitFace(button, caption, BUTTON_WIDTH, BUTTON_HEIGHT);

    cb_syncdirect->clear();
    cb_syncdirect->addItems({Lang("ltor"), Lang("rtol")});
    cb_coflicts->clear();
    cb_coflicts->addItems({Lang("donotcopy"), Lang("newerfilewins")});

    const std::pair<QWidget*, const char*> plainHints[] = {
        {bt_addexclude, "addexclude_hint"}, {bt_addinclude, "addexclude_hint"},
        {bt_delexclude, "delexclude_hint"}, {bt_delinclude, "delexclude_hint"},
        {lbrowseButton, "Browse_Lhint"},    {RFolderImage, "Browse_Rhint"},
    };
    for (auto [control, key] : plainHints) {
        SetHint(control, SysConfig().GetText(key));
        control->setAccessibleName(Lang(key));
    }
    const std::pair<QWidget*, const char*> wrappedHints[] = {
        {cb_syncitstart, "syncitstart_hint"},
        {cb_anaitstart, "anaitstart_hint"},
        {cb_syncconn, "syncconn_hint"},
        {cb_anaconn, "anaconn_hint"},
        {cb_synclogoff, "synclogoff_hint"},
        {cb_anslogoff, "anslogoff_hint"},
        {cb_syncperiod, "syncperiod_hint"},
        {cb_anaperiod, "anaperiod_hint"},
        {cb_synctaskscheduler, "synctaskscheduler_hint"},
        {cb_anataskschedule, "synctaskscheduler_hint"},
        {cb_resolveconflicts, "resolveconflicts_hint"},
        {cb_usetasktags, "sourcereadonly_hint"},
        {lb_taskname, "taskname_hint"},
        {lb_syncdirect, "syncdirect_hint"},
        {rb_forcedcopy, "forcedcopy_hint"},
        {cb_savepv, "savepv_hint"},
        {cb_prodelete, "prodelete_hint"},
        {cb_estimatedisk, "estimatedisk_hint"},
        {vedit_exclude, "exclude_hint"},
        {ExFileNameFilter, "exclude_hint"},
        {vedit_include, "include_hint"},
        {INFileNameFilter, "include_hint"},
        {cb_excludeempty, "excludeempty_hint"},
        {cb_excludesystem, "excludesystem_hint"},
        {rb_Verified, "Verified_hint"},
    };
    for (auto [control, key] : wrappedHints) SetHint(control, GetLangHint(key));
    for (const TSizeLimit& s : m_SizeLimits) {
        SetHint(s.Box, GetLangHint(s.HintKey));
        SetHint(s.Edit, GetLangHint(s.HintKey));
    }
    for (const TTimeLimit& t : m_TimeLimits) {
        SetHint(t.Box, GetLangHint(t.HintKey));
        SetHint(t.Edit, GetLangHint(t.HintKey));
    }
    SetHint(cb_excludehidden, "All Hidden files and folders will be excluded.");
    SetHint(cb_userTemp,
            "Copies always go through a temporary name: each file is written under a temporary "
            "name, checked, and only then renamed, so a side never holds half a file.");

    for (TImageExButton* b : {OkButton, CancelButton, applyButton, lbrowseButton, RFolderImage})
        b->SetPicState(isNormal);
    for (TImageExButton* tab : {select1Button, select2button, select3button}) tab->SetPicState(isNormal);
    m_CurrentTab = nullptr;
    SelectTab(select1Button);
}

void TFTaskConfig::LoadTaskToForm() {
    const TSyncTask& t = *Task;
    const QString name = Utf8(t.SyncName);
    // A longer name from elsewhere is shown whole; typing is limited to the usual length.
    edit_taskname->setMaxLength(std::max<int>(NAME_MAX_LENGTH, name.size()));
    edit_taskname->setText(name);
    edit_lfolder->setText(Utf8(m_LFolder.FolerAllName));
    edit_rfolder->setText(Utf8(m_RFolder.FolerAllName));

    if (t.SyncDirection == 0) {
        rb_sync->setChecked(true);
    } else {
        rb_backup->setChecked(true);
        cb_syncdirect->setCurrentIndex(t.SyncDirection - 1);
        if (t.ForcedOrVerified == 0) rb_forcedcopy->setChecked(true);
        if (t.ForcedOrVerified == 1) rb_Verified->setChecked(true);
        cb_usetasktags->setEnabled(true);
        SetOneWayText(cb_syncdirect->currentIndex());
    }

    // In this order: a box's handler may change a box loaded before it.
    const std::pair<QCheckBox*, int32_t TSyncTask::*> early[] = {
        {cb_savepv, &TSyncTask::SaveOldFile},
        {cb_prodelete, &TSyncTask::IsDeleteFile},
        {cb_estimatedisk, &TSyncTask::EstimateDiskSpace},
    };
    for (auto [box, field] : early) box->setChecked(IntToBool(t.*field));

    ShowMasks(vedit_exclude, t.ExcludeFilter);
    ShowMasks(vedit_include, t.IncludeFilter);
    LoadSizeFilters();
    LoadTimeFilters();

    const std::pair<QCheckBox*, int32_t TSyncTask::*> late[] = {
        {cb_excludeempty, &TSyncTask::ExcludeEmtpyFolder}, {cb_excludesystem, &TSyncTask::ExcludeSystemFile},
        {cb_excludehidden, &TSyncTask::ExcludeHiddenFile}, {cb_syncitstart, &TSyncTask::StartSync},
        {cb_anaitstart, &TSyncTask::StartAnalyze},         {cb_syncconn, &TSyncTask::ConnectSync},
        {cb_anaconn, &TSyncTask::ConnectAnalyze},          {cb_synclogoff, &TSyncTask::LogoffSync},
        {cb_anslogoff, &TSyncTask::LogoffAnalyze},         {cb_syncperiod, &TSyncTask::PeriodSync},
        {cb_anaperiod, &TSyncTask::PeriodAnalyze},
    };
    for (auto [box, field] : late) box->setChecked(IntToBool(t.*field));

    edit_hours->setValue(t.Hours == 0 && t.minutes == 0 ? 1 : t.Hours);
    edit_minutes->setValue(t.minutes);

    cb_synctaskscheduler->setChecked(IntToBool(t.TSsync));
    cb_anataskschedule->setChecked(IntToBool(t.TSanalyze));
    Edit_task->setText(Utf8(t.TaskScheduler));
    Edit_task->setCursorPosition(0);
    cb_usetasktags->setChecked(IntToBool(t.EnsureFolderTags));
    cb_coflicts->setCurrentIndex(t.Conflicts);
}

void TFTaskConfig::TakeTemplate() {
    // The template's own name is mostly a task's already (the task it was saved from, or one made
    // from it before).
    edit_taskname->setText(Utf8(FreeTaskName(Task->SyncName, edit_taskname->maxLength())));
    if (!cb_anataskschedule->isChecked()) return;
    // The job is made by OK or Apply, for the new task, counting from that day.
    const std::optional<TScheduleText> schedule = ScheduleOfSummary(Utf8(Task->TaskScheduler));
    if (!schedule) {
        // Nothing to make a job of: the boxes stay, and OK asks for a schedule.
        Edit_task->clear();
        return;
    }
    m_PendingSchedule = schedule->Spec;
    const TScheduleSpec& spec = schedule->Spec;
    Edit_task->setText(DescribeSchedule(spec.Frequency, spec.Every, spec.WeekDays, schedule->Start,
                                        (Clock ? Clock() : QDateTime::currentDateTime()).date()));
    Edit_task->setCursorPosition(0);
}

void TFTaskConfig::LoadSizeFilters() {
    for (const TSizeLimit& s : m_SizeLimits) {
        const int64_t bytes = (*Task).*s.Field;
        // Any negative size is "no limit", as the task list stores it.
        s.Box->setChecked(bytes >= 0);
        s.Edit->setEnabled(bytes >= 0);
        s.Unit->setEnabled(bytes >= 0);
        if (bytes >= 0) ShowSize(bytes, s.Edit, s.Unit);
    }
}

void TFTaskConfig::LoadTimeFilters() {
    for (const TTimeLimit& t : m_TimeLimits) {
        const int32_t date = (*Task).*t.Field;
        const bool set = date != FILE_TIME_UNSET;
        t.Box->setChecked(set);
        t.Edit->setEnabled(set);
        if (set) t.Edit->setText(DosDateText(date));
    }
}

// ---------------------------------------------------------------------------------------------
// Saving

void TFTaskConfig::ShowPageOf(QWidget* Control) {
    TImageExButton* const tabs[3] = {select1Button, select2button, select3button};
    for (int i = 0; i < Notebook1->count(); ++i)
        if (Notebook1->widget(i)->isAncestorOf(Control)) SelectTab(tabs[i]);
}

void TFTaskConfig::Refuse(const char* MessageKey, QWidget* Focus) {
    ShowPageOf(Focus);
    ShowMessageBox(Lang(MessageKey), QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONINFORMATION);
    Focus->setFocus();
}

bool TFTaskConfig::CheckTaskName() {
    const std::string name = Trim(edit_taskname->text().toStdString());
    // The name names the task's log and scheduled job: not empty, no path characters, no control
    // characters.
    const QString text = Utf8(name);
    const bool control =
        std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
    if (name.empty() || !IsValidFileName(name) || control) {
        Refuse("tasknameerror", edit_taskname);
        return false;
    }
    // The command line and the scheduled jobs find a task by its name: it names one task only. A
    // task not yet saved has no entry of its own in the list.
    if (NameTakenByAnotherTask(name, IsNew ? std::string() : Task->SyncID)) {
        Refuse("tasknameexists", edit_taskname);
        return false;
    }
    return true;
}

bool TFTaskConfig::SaveFormToTask(TSyncTask& To) {
    CommitOpenEditor(vedit_exclude);
    CommitOpenEditor(vedit_include);

    To.SyncName = Trim(edit_taskname->text().toStdString());
    // The sides as the folder window left them: kind, address, log-on and per-kind options.
    for (auto [to, from] :
         {std::pair{To.LFolder.get(), &m_LFolder}, std::pair{To.RFolder.get(), &m_RFolder}}) {
        to->DeviceType = from->DeviceType;
        to->FolerAllName = from->FolerAllName;
        to->UserName = from->UserName;
        to->PWD = from->PWD;
        to->FactTime = from->FactTime;
        to->PrivateKey = from->PrivateKey;
    }
    if (rb_sync->isChecked()) {
        To.SyncDirection = 0;
        To.ForcedOrVerified = -1;
    } else {
        if (cb_syncdirect->currentIndex() >= 0) To.SyncDirection = cb_syncdirect->currentIndex() + 1;
        To.ForcedOrVerified = rb_forcedcopy->isChecked() ? 0 : 1;
    }
    To.CheckNoChange = 0;
    const std::pair<QCheckBox*, int32_t TSyncTask::*> flags[] = {
        {cb_savepv, &TSyncTask::SaveOldFile},
        {cb_prodelete, &TSyncTask::IsDeleteFile},
        {cb_estimatedisk, &TSyncTask::EstimateDiskSpace},
        {cb_excludeempty, &TSyncTask::ExcludeEmtpyFolder},
        {cb_excludesystem, &TSyncTask::ExcludeSystemFile},
        {cb_excludehidden, &TSyncTask::ExcludeHiddenFile},
        {cb_syncitstart, &TSyncTask::StartSync},
        {cb_anaitstart, &TSyncTask::StartAnalyze},
        {cb_syncconn, &TSyncTask::ConnectSync},
        {cb_anaconn, &TSyncTask::ConnectAnalyze},
        {cb_synclogoff, &TSyncTask::LogoffSync},
        {cb_anslogoff, &TSyncTask::LogoffAnalyze},
        {cb_syncperiod, &TSyncTask::PeriodSync},
        {cb_anaperiod, &TSyncTask::PeriodAnalyze},
        {cb_synctaskscheduler, &TSyncTask::TSsync},
        {cb_anataskschedule, &TSyncTask::TSanalyze},
        {cb_usetasktags, &TSyncTask::EnsureFolderTags},
    };
    for (auto [box, field] : flags) To.*field = BoolToInt(box->isChecked());
    To.ExcludeFilter = MasksOf(vedit_exclude);
    To.IncludeFilter = MasksOf(vedit_include);

    // A checked limit needs a value it can hold.
    for (const TSizeLimit& s : m_SizeLimits) {
        if (!s.Box->isChecked()) {
            To.*s.Field = -1;
            continue;
        }
        const std::optional<int64_t> bytes = SizeOfText(s.Edit->text(), s.Unit->currentIndex());
        if (!bytes) {
            Refuse("filesizeerror", s.Edit);
            return false;
        }
        To.*s.Field = *bytes;
    }
    for (const TTimeLimit& t : m_TimeLimits) {
        if (!t.Box->isChecked()) {
            To.*t.Field = FILE_TIME_UNSET;
            continue;
        }
        const std::optional<int32_t> date = DosDateOfText(t.Edit->text());
        if (!date) {
            Refuse("filetimeerror", t.Edit);
            return false;
        }
        To.*t.Field = *date;
    }

    // Lower limits above upper ones. Dates compare unsigned: those from 2044 on are negative int32s.
    const auto later = [](int32_t A, int32_t B) {
        return static_cast<uint32_t>(A) > static_cast<uint32_t>(B);
    };
    if (cb_exfilesizemin->isChecked() && cb_filesizemax->isChecked() &&
        To.ExcludeFileSizeMin > To.ExcludeFileSizeMax) {
        Refuse("filesizeerror", Edit_exfilesizemax);
        return false;
    }
    if (cb_exfiletimemin->isChecked() && cb_exfiletimemax->isChecked() &&
        later(To.ExcludeFileTimeMin, To.ExcludeFileTimeMax)) {
        Refuse("filetimeerror", edit_exfiletimemax);
        return false;
    }
    if (cb_infilesizemin->isChecked() && cb_infilesizemax->isChecked() &&
        To.IncludeFileSizeMin > To.IncludeFileSizeMax) {
        Refuse("filesizeerror", Edit_infilesizemax);
        return false;
    }
    if (cb_infiletimemin->isChecked() && cb_infiletimemax->isChecked() &&
        later(To.IncludeFileTimeMin, To.IncludeFileTimeMax)) {
        Refuse("filetimeerror", edit_infiletimemax);
        return false;
    }

    // Limits without masks apply to every file.
    const auto anyChecked = [](std::initializer_list<QCheckBox*> Boxes) {
        return std::any_of(Boxes.begin(), Boxes.end(), [](QCheckBox* b) { return b->isChecked(); });
    };
    if (To.ExcludeFilter.empty() &&
        anyChecked({cb_exfilesizemin, cb_filesizemax, cb_exfiletimemin, cb_exfiletimemax}))
        To.ExcludeFilter.push_back("*");
    if (To.IncludeFilter.empty() &&
        anyChecked({cb_infilesizemin, cb_infilesizemax, cb_infiletimemin, cb_infiletimemax}))
        To.IncludeFilter.push_back("*");

    edit_hours->interpretText();
    edit_minutes->interpretText();
    To.Hours = edit_hours->value();
    To.minutes = edit_minutes->value();
    To.TaskScheduler = Edit_task->text().toStdString();
    if (cb_coflicts->currentIndex() >= 0) To.Conflicts = cb_coflicts->currentIndex();
    return true;
}

bool TFTaskConfig::SaveTask() {
    try {
        TSyncTask edited;
        edited.Assign(*Task);
        if (!SaveFormToTask(edited)) return false;
        // A new task gets an identifier of its own, also when it was made from a template.
        if (IsNew) edited.SyncID.clear();
        // Scheduled with no schedule chosen: there would be no job to match the ticked box.
        if (cb_anataskschedule->isChecked() && !m_PendingSchedule &&
            !(Scheduler.ScheduledJobExists && Scheduler.ScheduledJobExists(edited.SyncID))) {
            Refuse("schedulenotset", bt_taskconfig);
            return false;
        }
        TSyncTask before;
        before.Assign(*Task);
        Task->Assign(edited);
        if (Task->SaveToTaskList(IsNew ? 1 : 0) != 0) {
            // Not in the file, so not in the task either (the failure is in the error log).
            Task->Assign(before);
            ShowMessageBox(Lang("error_free_tasklist_xml"), QString::fromUtf8(PROGRAM_NAME),
                           MB_OK | MB_ICONERROR);
            return false;
        }
        IsNew = false;
        Applied = true;
        // The job goes by the identifier, which a new task has only now.
        return ApplySchedule(before);
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText("createsyncjoberror"), e);
        return false;
    }
}

void TFTaskConfig::BitBtn_okClick() {
    if (!CheckTaskName() || !SaveTask()) return;
    done(1);
}

void TFTaskConfig::BitBtn_ApplyClick() {
    if (!CheckTaskName()) return;
    SaveTask();
}

void TFTaskConfig::BitBtn_CancelClick() {
    reject();
}

// ---------------------------------------------------------------------------------------------
// Scheduled job

void TFTaskConfig::EditSchedule() {
    const QString text = RunScheduleDialog();
    if (text.isEmpty()) return;
    Edit_task->setText(text);
    Edit_task->setCursorPosition(0);
}

QString TFTaskConfig::RunScheduleDialog() {
    TScheduleManagerForm editor(Scheduler, Clock, this);
    editor.OpenOn(Task->SyncID, m_PendingSchedule);  // the choice not yet made, else the job's
    if (!RunScheduleEditor || RunScheduleEditor(editor) != QDialog::Accepted) return {};
    m_PendingSchedule = editor.Schedule();
    return editor.Summary();
}

bool TFTaskConfig::ApplySchedule(const TSyncTask& Before) {
    enum class TChange { None, Remove, Create, Rename };
    const std::string id = Task->SyncID;
    const std::string name = Task->SyncName;
    const bool exists = Scheduler.ScheduledJobExists(id);
    TChange change = TChange::None;
    if (!IntToBool(Task->TSanalyze) && !IntToBool(Task->TSsync))
        change = exists ? TChange::Remove : TChange::None;
    else if (m_PendingSchedule)
        change = TChange::Create;
    else if (exists && name != m_JobTaskName)
        change = TChange::Rename;
    if (change == TChange::None) return true;

    int status = Scheduler.EnsureTaskScheduler();
    if (status == 0) {
        switch (change) {
            case TChange::None:
                break;
            case TChange::Remove:
                status = Scheduler.DeleteScheduledJob(id);
                break;
            case TChange::Create: {
                TScheduleSpec spec = *m_PendingSchedule;
                spec.CreationDate = Clock().date().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
                if (exists) status = Scheduler.DeleteScheduledJob(id);
                if (status == 0) status = Scheduler.CreateScheduledJob(id, name, spec);
                break;
            }
            case TChange::Rename:
                status = Scheduler.RenameScheduledJob(id, name);
                break;
        }
    }
    if (status == 0) {
        m_PendingSchedule.reset();
        m_JobTaskName = name;
        return true;
    }

    ShowMessageBox(Lang("schedulejoberror") + QLatin1Char('\n') + Utf8(Scheduler.SchedulerError()),
                   QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONERROR);
    // The task list tells of the job that is left: the one before, or none.
    const bool left = Scheduler.ScheduledJobExists(id);
    Task->TSsync = left ? Before.TSsync : 0;
    Task->TSanalyze = left ? Before.TSanalyze : 0;
    Task->TaskScheduler = left ? Before.TaskScheduler : std::string();
    if (Task->SaveToTaskList(0) != 0)
        ShowMessageBox(Lang("error_free_tasklist_xml"), QString::fromUtf8(PROGRAM_NAME),
                       MB_OK | MB_ICONERROR);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Folders, masks, tabs

void TFTaskConfig::BrowseFolder(int Side) {
    TFolderSource& folder = Side == 1 ? m_LFolder : m_RFolder;
    if (ChooseFolder) {
        const std::string chosen = ChooseFolder(Side, folder.FolerAllName);
        if (chosen.empty()) return;
        folder.FolerAllName = StripTrailingSlash(chosen);
        folder.DeviceType = DEVICE_LOCAL;
    } else if (!SelectFolder || !SelectFolder(Side, folder)) {
        return;
    }
    (Side == 1 ? edit_lfolder : edit_rfolder)->setText(Utf8(folder.FolerAllName));
}

void TFTaskConfig::AddMaskRow(QTableWidget* Editor, const char* ErrorKey) {
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

void TFTaskConfig::DeleteMaskRow(QTableWidget* Editor, const char* ErrorKey) {
    try {
        if (Editor->currentRow() >= 0) Editor->removeRow(Editor->currentRow());
    } catch (const std::exception& e) {
        LogError(SysConfig().GetText(ErrorKey), e);
    }
}

void TFTaskConfig::bt_addexcludeClick() {
    AddMaskRow(vedit_exclude, "addexcludeerror");
}

void TFTaskConfig::bt_delexcludeClick() {
    DeleteMaskRow(vedit_exclude, "deleteexcludeerror");
}

void TFTaskConfig::bt_addincludeClick() {
    AddMaskRow(vedit_include, "addincludeerror");
}

void TFTaskConfig::bt_delincludeClick() {
    DeleteMaskRow(vedit_include, "deleteincludeerror");
}

void TFTaskConfig::SelectTab(TImageExButton* Button) {
    const std::array tabs{select1Button, select2button, select3button};
    ShowPageTab(tabs, Notebook1, m_CurrentTab, Button);
}

}  // namespace bfs
