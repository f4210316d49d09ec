#pragma once

#include "platform/UTTaskScheduler.h"

#include <QDate>
#include <QDateTime>
#include <QDialog>
#include <QLocale>
#include <QString>
#include <QTime>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QSpinBox;
class QTimeEdit;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// The windows' way to the scheduler: the platform's functions by default, a fake in tests.
struct TSchedulerLink {
    std::function<int()> EnsureTaskScheduler;
    std::function<bool(std::string_view SyncID)> ScheduledJobExists;
    std::function<int(std::string_view SyncID)> DeleteScheduledJob;
    std::function<int(std::string_view SyncID, std::string_view TaskName, const TScheduleSpec& Spec)>
        CreateScheduledJob;
    std::function<int(std::string_view SyncID, std::string_view TaskName)> RenameScheduledJob;
    // The schedule of the task's job; optional (no job is read back without it).
    std::function<bool(std::string_view SyncID, TScheduleSpec& Spec)> ReadScheduledJob = nullptr;
    std::function<std::string()> SchedulerError;
};
TSchedulerLink PlatformSchedulerLink();

// The one-line summary of a schedule. Start is the start time, hours and minutes in the locale's
// short time format (no time zone: the job runs at that time wherever the computer is); Today is
// the day counting starts from, in its short date format. Every is the count of the frequency
// (days, weeks, or the day of the month: a day past 28 names the months that lack it, where the
// job does not run); WeekDays, Monday first, matter for weekly.
// Hours and minutes in the locale's short time form, without seconds or zone.
QString HourMinuteFormat(const QLocale& Locale);
QString DescribeSchedule(int Frequency, int Every, const std::array<bool, 7>& WeekDays, const QTime& Start,
                         const QDate& Today);

// The schedule editor: when the scheduler shall start a task (daily, weekly on chosen weekdays, or
// monthly on one day, at a start time, every so many days, weeks or months), with a summary of the
// choice kept up to date. It opens on the schedule given to OpenOn (the task's job), else on its
// defaults, and makes no job itself: its caller reads Schedule() and the summary after OK.
class TScheduleManagerForm : public QDialog {
    Q_OBJECT

  public:
    // Clock gives "now" (the start time and the day of the summary); the current time when empty.
    explicit TScheduleManagerForm(TSchedulerLink Link, std::function<QDateTime()> Clock = {},
                                  QWidget* Parent = nullptr);
    ~TScheduleManagerForm() override;

    // What FormShow opens on: Pending when given (a choice not yet made into a job), else the
    // task's job as the scheduler holds it; the defaults when there is neither.
    void OpenOn(std::string_view SyncID, const std::optional<TScheduleSpec>& Pending = std::nullopt);
    void OpenOn(const TScheduleSpec& Saved);

    // The schedule given to OpenOn or the defaults (daily, every day, now), then checks that the scheduler
    // can be reached: false, after a box saying why, when it cannot.
    bool FormShow();
    // FormShow, then the window modally: 1 after OK, 0 after Cancel or when the scheduler is out of
    // reach.
    int Execute();

    // The choice (no creation date: that is the day the job is made).
    TScheduleSpec Schedule() const;
    QString Summary() const;

    // What the window's controls do; public so that callers and tests can press them.
    void comScheduleTaskChange();
    void Describe();
    void OkButtonClick();
    void CancelButtonClick();

    TTitleBar* TitleBar = nullptr;
    QLabel* abScheduleTaskName = nullptr;
    QLabel* Image1 = nullptr;
    QComboBox* comScheduleTask = nullptr;
    QTimeEdit* dtpStartTime = nullptr;
    QGroupBox* DailyGroup = nullptr;
    QGroupBox* WeeklyGroup = nullptr;
    QGroupBox* MonthlyGroup = nullptr;
    QSpinBox* seEveryOfDaily = nullptr;
    QSpinBox* seEveryOfWeekly = nullptr;
    QSpinBox* seEveryOfMonthly = nullptr;
    QCheckBox* CheckBoxMon = nullptr;
    QCheckBox* CheckBoxTue = nullptr;
    QCheckBox* CheckBoxWed = nullptr;
    QCheckBox* CheckBoxThu = nullptr;
    QCheckBox* CheckBoxFri = nullptr;
    QCheckBox* CheckBoxSat = nullptr;
    QCheckBox* CheckBoxSun = nullptr;
    TImageExButton* OkButton = nullptr;
    TImageExButton* CancelButton = nullptr;
    TImageEx* Label9 = nullptr;
    TImageEx* Label10 = nullptr;

  protected:
    // Enter, the keypad's too, is OK from every control, as a dialog's default button; a picture
    // button with the focus takes it itself.
    void keyPressEvent(QKeyEvent* Event) override;

  private:
    void BuildControls();
    QDateTime Now() const;
    std::array<QCheckBox*, 7> WeekBoxes() const;
    QSpinBox* CountOf(int Frequency) const;
    // Brings a count typed or stepped outside its range back to the nearest end of it.
    void ClampCount(QSpinBox* Count, int Minimum, int Maximum);
    void ShowGroupOf(int Frequency);

    TSchedulerLink m_Link;
    std::function<QDateTime()> m_Clock;
    std::optional<TScheduleSpec> m_Saved;
};

}  // namespace bfs
