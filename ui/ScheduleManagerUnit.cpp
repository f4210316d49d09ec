#include "ui/ScheduleManagerUnit.h"

#include "model/UTConsts.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UTDialogParts.h"
#include "ui/UTPictures.h"
#include "ui/UTWindowChrome.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace bfs {

namespace {

constexpr int DEFAULT_WIDTH = 596;
constexpr int DEFAULT_HEIGHT = 377;
constexpr int ICON_SIZE = 32;

// The counts' ranges, by frequency: days, weeks, the day of the month.
constexpr int COUNT_MIN = 1;
constexpr int COUNT_MAX[3] = {365, 56, 31};
// What the spin edits let through while typing; ClampCount brings it into the range.
constexpr int COUNT_TYPING_MAX = 9999;

const char* const DAY_NAMES[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

QLabel* NewLabel(QWidget* Parent, const QString& Text = QString()) {
    auto* label = new QLabel(Text, Parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QSpinBox* NewCount(QWidget* Parent) {
    auto* count = new QSpinBox(Parent);
    count->setRange(0, COUNT_TYPING_MAX);
    count->setValue(COUNT_MIN);
    count->setMinimumWidth(count->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 36);
    return count;
}

}  // namespace

// Hours and minutes in the locale's short time form, without the seconds or the zone some locales
// add: only these reach the job, which runs at that time wherever the computer is.
QString HourMinuteFormat(const QLocale& Locale) {
    QString format = Locale.timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[:.]s+|\\s*t+")));
    return format.trimmed();
}

TSchedulerLink PlatformSchedulerLink() {
    TSchedulerLink link;
    link.EnsureTaskScheduler = [] { return EnsureTaskScheduler(); };
    link.ScheduledJobExists = [](std::string_view ID) { return ScheduledJobExists(ID); };
    link.DeleteScheduledJob = [](std::string_view ID) { return DeleteScheduledJob(ID); };
    link.CreateScheduledJob = [](std::string_view ID, std::string_view Name, const TScheduleSpec& Spec) {
        return CreateScheduledJob(ID, Name, Spec);
    };
    link.RenameScheduledJob = [](std::string_view ID, std::string_view Name) {
        return RenameScheduledJob(ID, Name);
    };
    link.ReadScheduledJob = [](std::string_view ID, TScheduleSpec& Spec) {
        return ReadScheduledJob(ID, Spec);
    };
    link.SchedulerError = [] { return SchedulerError(); };
    return link;
}

QString DescribeSchedule(int Frequency, int Every, const std::array<bool, 7>& WeekDays, const QTime& Start,
                         const QDate& Today) {
    const QLocale locale;
    const QString t = locale.toString(QTime(Start.hour(), Start.minute()), HourMinuteFormat(locale));
    const QString d = locale.toString(Today, QLocale::ShortFormat);
    if (Frequency == 1) {
        QStringList days;
        for (int i = 0; i < 7; ++i)
            if (WeekDays[static_cast<size_t>(i)]) days << QString::fromLatin1(DAY_NAMES[i]);
        const QString list = days.join(QLatin1Char(','));
        if (Every == 1) return QStringLiteral("At %1 every %2 of every week, starting %3").arg(t, list, d);
        return QStringLiteral("At %1 every %2 of every %3 weeks, starting %4").arg(t, list).arg(Every).arg(d);
    }
    if (Frequency == 2) {
        // The job runs on that day of the month only: a month without it is left out.
        const QString months = Every == 29   ? QStringLiteral("every month (February only in leap years)")
                               : Every == 30 ? QStringLiteral("every month but February")
                               : Every >= 31
                                   ? QStringLiteral("every month that has one (not Feb, Apr, Jun, Sep, Nov)")
                                   : QStringLiteral("every month");
        return QStringLiteral("At %1 on day %2 of %3, starting %4").arg(t).arg(Every).arg(months, d);
    }
    if (Every == 1) return QStringLiteral("At %1 every day, starting %2").arg(t, d);
    return QStringLiteral("At %1 every %2 days, starting %3").arg(t).arg(Every).arg(d);
}

TScheduleManagerForm::TScheduleManagerForm(TSchedulerLink Link, std::function<QDateTime()> Clock,
                                           QWidget* Parent)
    : QDialog(Parent), m_Link(std::move(Link)), m_Clock(std::move(Clock)) {
    BuildControls();
    resize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
}

TScheduleManagerForm::~TScheduleManagerForm() = default;

QDateTime TScheduleManagerForm::Now() const {
    return m_Clock ? m_Clock() : QDateTime::currentDateTime();
}

std::array<QCheckBox*, 7> TScheduleManagerForm::WeekBoxes() const {
    return {CheckBoxMon, CheckBoxTue, CheckBoxWed, CheckBoxThu, CheckBoxFri, CheckBoxSat, CheckBoxSun};
}

QSpinBox* TScheduleManagerForm::CountOf(int Frequency) const {
    return Frequency == 1 ? seEveryOfWeekly : Frequency == 2 ? seEveryOfMonthly : seEveryOfDaily;
}

void TScheduleManagerForm::BuildControls() {
    TitleBar = MakeBorderless(*this, QStringLiteral("Task Scheduler"), false, true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 10);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);

    auto* body = new QFrame(this);
    body->setObjectName(QStringLiteral("ScheduleBody"));
    auto* v = new QVBoxLayout(body);
    v->setContentsMargins(14, 14, 14, 14);
    v->setSpacing(12);

    // The summary beside the program's icon.
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    Image1 = NewLabel(body);
    const QPixmap icon = LoadPicture(QStringLiteral("AppIcon"));
    if (!icon.isNull())
        Image1->setPixmap(icon.scaled(ICON_SIZE * icon.devicePixelRatio(),
                                      ICON_SIZE * icon.devicePixelRatio(), Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation));
    Image1->setFixedSize(ICON_SIZE, ICON_SIZE);
    Image1->setScaledContents(true);
    abScheduleTaskName = NewLabel(body);
    abScheduleTaskName->setWordWrap(true);
    abScheduleTaskName->setMinimumHeight(2 * abScheduleTaskName->fontMetrics().lineSpacing());
    QFont bold = abScheduleTaskName->font();
    bold.setBold(true);
    abScheduleTaskName->setFont(bold);
    top->addWidget(Image1, 0, Qt::AlignTop);
    top->addWidget(abScheduleTaskName, 1);
    v->addLayout(top);

    auto* rule = new QFrame(body);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setStyleSheet(QStringLiteral("color: #D0D7DE;"));
    v->addWidget(rule);

    auto* when = new QGridLayout;
    when->setHorizontalSpacing(24);
    when->setVerticalSpacing(4);
    comScheduleTask = new QComboBox(body);
    comScheduleTask->addItems({QStringLiteral("Daily"), QStringLiteral("Weekly"), QStringLiteral("Monthly")});
    comScheduleTask->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    comScheduleTask->setMinimumWidth(
        comScheduleTask->fontMetrics().horizontalAdvance(QStringLiteral("Monthly")) + 60);
    dtpStartTime = new QTimeEdit(body);
    dtpStartTime->setDisplayFormat(HourMinuteFormat(QLocale()));
    QLabel* frequencyLabel = NewLabel(body, QStringLiteral("Task Frequency:"));
    QLabel* startLabel = NewLabel(body, QStringLiteral("Start Time:"));
    frequencyLabel->setBuddy(comScheduleTask);
    startLabel->setBuddy(dtpStartTime);
    when->addWidget(frequencyLabel, 0, 0);
    when->addWidget(comScheduleTask, 1, 0);
    when->addWidget(startLabel, 0, 1);
    when->addWidget(dtpStartTime, 1, 1);
    when->setColumnStretch(2, 1);
    v->addLayout(when);

    // The three groups share one place; only the one of the chosen frequency shows.
    auto* groups = new QGridLayout;
    groups->setContentsMargins(0, 0, 0, 0);
    DailyGroup = new QGroupBox(QStringLiteral("Schedule Task Daily"), body);
    auto* daily = new QHBoxLayout(DailyGroup);
    seEveryOfDaily = NewCount(DailyGroup);
    daily->addWidget(NewLabel(DailyGroup, QStringLiteral("Every")));
    daily->addWidget(seEveryOfDaily);
    daily->addWidget(NewLabel(DailyGroup, QStringLiteral("day(s)")));
    daily->addStretch(1);

    WeeklyGroup = new QGroupBox(QStringLiteral("Schedule Task Weekly"), body);
    auto* weekly = new QVBoxLayout(WeeklyGroup);
    auto* weeks = new QHBoxLayout;
    seEveryOfWeekly = NewCount(WeeklyGroup);
    weeks->addWidget(NewLabel(WeeklyGroup, QStringLiteral("Every")));
    weeks->addWidget(seEveryOfWeekly);
    weeks->addWidget(NewLabel(WeeklyGroup, QStringLiteral("week(s)  on:")));
    weeks->addStretch(1);
    weekly->addLayout(weeks);
    auto* days = new QHBoxLayout;
    days->setSpacing(14);
    QCheckBox** const boxes[7] = {&CheckBoxMon, &CheckBoxTue, &CheckBoxWed, &CheckBoxThu,
                                  &CheckBoxFri, &CheckBoxSat, &CheckBoxSun};
    for (int i = 0; i < 7; ++i) {
        *boxes[i] = new QCheckBox(QString::fromLatin1(DAY_NAMES[i]), WeeklyGroup);
        days->addWidget(*boxes[i]);
        connect(*boxes[i], &QCheckBox::toggled, this, &TScheduleManagerForm::Describe);
    }
    days->addStretch(1);
    weekly->addLayout(days);

    MonthlyGroup = new QGroupBox(QStringLiteral("Schedule Task Monthly"), body);
    auto* monthly = new QHBoxLayout(MonthlyGroup);
    seEveryOfMonthly = NewCount(MonthlyGroup);
    monthly->addWidget(NewLabel(MonthlyGroup, QStringLiteral("Day")));
    monthly->addWidget(seEveryOfMonthly);
    monthly->addWidget(NewLabel(MonthlyGroup, QStringLiteral("of the month(s)")));
    monthly->addStretch(1);

    for (QGroupBox* g : {DailyGroup, WeeklyGroup, MonthlyGroup}) {
        g->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
        groups->addWidget(g, 0, 0, Qt::AlignTop);
    }
    WeeklyGroup->hide();
    MonthlyGroup->hide();
    v->addLayout(groups);
    v->addStretch(1);

    auto* frame = new QVBoxLayout;
    frame->setContentsMargins(12, 8, 12, 0);
    frame->addWidget(body, 1);
    layout->addLayout(frame, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(12, 10, 12, 0);
    buttons->setSpacing(8);
    buttons->addStretch(1);
    buttons->addWidget(NewDialogButton(this, QStringLiteral("OK"), OkButton, Label9));
    buttons->addWidget(NewDialogButton(this, QStringLiteral("Cancel"), CancelButton, Label10));
    layout->addLayout(buttons);

    connect(comScheduleTask, &QComboBox::activated, this, &TScheduleManagerForm::comScheduleTaskChange);
    connect(dtpStartTime, &QTimeEdit::timeChanged, this, &TScheduleManagerForm::Describe);
    for (int f = 0; f < 3; ++f) {
        QSpinBox* count = CountOf(f);
        const int maximum = COUNT_MAX[f];
        connect(count, &QSpinBox::valueChanged, this, [this, count, maximum] {
            ClampCount(count, COUNT_MIN, maximum);
            Describe();
        });
    }
    connect(OkButton, &TImageEx::clicked, this, &TScheduleManagerForm::OkButtonClick);
    connect(CancelButton, &TImageEx::clicked, this, &TScheduleManagerForm::CancelButtonClick);

    setStyleSheet(QStringLiteral("#ScheduleBody { background: #FFFFFF; border: 1px solid #D0D7DE; }"));
    setMinimumSize(minimumSizeHint().expandedTo(QSize(DEFAULT_WIDTH, DEFAULT_HEIGHT)));
}

void TScheduleManagerForm::ClampCount(QSpinBox* Count, int Minimum, int Maximum) {
    const int value = Count->value();
    if (value < Minimum) Count->setValue(Minimum);
    if (value > Maximum) Count->setValue(Maximum);
}

void TScheduleManagerForm::OpenOn(std::string_view SyncID, const std::optional<TScheduleSpec>& Pending) {
    TScheduleSpec saved;
    if (Pending)
        m_Saved = Pending;
    else if (m_Link.ReadScheduledJob && m_Link.ReadScheduledJob(SyncID, saved))
        m_Saved = saved;
    else
        m_Saved.reset();
}

void TScheduleManagerForm::OpenOn(const TScheduleSpec& Saved) {
    m_Saved = Saved;
}

bool TScheduleManagerForm::FormShow() {
    OkButton->SetPicState(isNormal);
    CancelButton->SetPicState(isNormal);
    const QTime now = Now().time();
    {
        const QSignalBlocker quiet(dtpStartTime);
        dtpStartTime->setTime(m_Saved ? QTime(m_Saved->Hour, m_Saved->Minute)
                                      : QTime(now.hour(), now.minute()));
    }
    if (m_Saved && m_Saved->Frequency >= 0 && m_Saved->Frequency <= 2) {
        const int frequency = m_Saved->Frequency;
        comScheduleTask->setCurrentIndex(frequency);
        {
            const QSignalBlocker quiet(CountOf(frequency));
            CountOf(frequency)->setValue(std::clamp(m_Saved->Every, COUNT_MIN, COUNT_MAX[frequency]));
        }
        const auto boxes = WeekBoxes();
        for (size_t i = 0; i < boxes.size(); ++i) {
            const QSignalBlocker quiet(boxes[i]);
            boxes[i]->setChecked(frequency == 1 && m_Saved->WeekDays[i]);
        }
        ShowGroupOf(frequency);
        Describe();
    } else {
        comScheduleTask->setCurrentIndex(0);
        comScheduleTaskChange();
    }
    if (const int status = m_Link.EnsureTaskScheduler ? m_Link.EnsureTaskScheduler() : -1; status != 0) {
        const std::string why = m_Link.SchedulerError ? m_Link.SchedulerError() : std::string();
        ShowMessageBox(
            QStringLiteral("The scheduler cannot be reached, so this task cannot be scheduled.\n") +
                QString::fromStdString(why),
            QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

int TScheduleManagerForm::Execute() {
    if (!FormShow()) return QDialog::Rejected;
    return exec();
}

void TScheduleManagerForm::comScheduleTaskChange() {
    // The start time stays as set: a new frequency only brings its own count and days back to
    // their first values.
    const int frequency = std::max(0, comScheduleTask->currentIndex());
    {
        const QSignalBlocker quiet(CountOf(frequency));
        CountOf(frequency)->setValue(COUNT_MIN);
    }
    if (frequency == 1) {
        for (QCheckBox* box : WeekBoxes()) {
            const QSignalBlocker quiet(box);
            box->setChecked(box == CheckBoxMon);
        }
    }
    ShowGroupOf(frequency);
    Describe();
}

void TScheduleManagerForm::ShowGroupOf(int Frequency) {
    DailyGroup->setVisible(Frequency == 0);
    WeeklyGroup->setVisible(Frequency == 1);
    MonthlyGroup->setVisible(Frequency == 2);
}

TScheduleSpec TScheduleManagerForm::Schedule() const {
    TScheduleSpec spec;
    spec.Frequency = std::max(0, comScheduleTask->currentIndex());
    spec.Every = CountOf(spec.Frequency)->value();
    spec.Hour = dtpStartTime->time().hour();
    spec.Minute = dtpStartTime->time().minute();
    if (spec.Frequency == 1) {
        const auto boxes = WeekBoxes();
        for (size_t i = 0; i < boxes.size(); ++i) spec.WeekDays[i] = boxes[i]->isChecked();
    }
    return spec;
}

QString TScheduleManagerForm::Summary() const {
    return abScheduleTaskName->text();
}

void TScheduleManagerForm::Describe() {
    const TScheduleSpec spec = Schedule();
    abScheduleTaskName->setText(
        DescribeSchedule(spec.Frequency, spec.Every, spec.WeekDays, dtpStartTime->time(), Now().date()));
}

void TScheduleManagerForm::OkButtonClick() {
    const TScheduleSpec spec = Schedule();
    // A weekly job without a day would never run.
    if (spec.Frequency == 1 &&
        std::none_of(spec.WeekDays.begin(), spec.WeekDays.end(), [](bool d) { return d; })) {
        ShowMessageBox(QStringLiteral("Choose at least one day of the week."),
                       QString::fromUtf8(PROGRAM_NAME), MB_OK | MB_ICONINFORMATION);
        CheckBoxMon->setFocus();
        return;
    }
    accept();
}

void TScheduleManagerForm::keyPressEvent(QKeyEvent* Event) {
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    if (enter && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        Event->accept();
        if (!Event->isAutoRepeat()) OkButtonClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void TScheduleManagerForm::CancelButtonClick() {
    reject();
}

}  // namespace bfs
