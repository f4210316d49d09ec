#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <map>

class QWidget;

namespace bfs {

// Balloon tips: a title with an icon and a text below it, in a rounded balloon whose pointer points
// at a control, hidden again after Interval milliseconds. One balloon of the whole program shows at a
// time: showing one closes the one shown before, of whatever TToolTip. While a balloon points at a
// control, that control's own tooltip stays quiet; its tooltip text is never changed. Typing into
// the control closes the balloon: it never hides what the user types.
class TToolTip : public QObject {
    Q_OBJECT
  public:
    // The owner must be a widget (the balloon is a window of it); a balloon lives as long as its
    // owner. Create is for callers that hold any object: for one that is not a widget it logs the
    // error and returns nullptr.
    explicit TToolTip(QWidget* Owner);
    static TToolTip* Create(QObject* Owner);
    ~TToolTip() override;

    // Icons of the title: 0 none, 1 information, 2 warning, 3 error.
    enum { ICON_NONE = 0, ICON_INFO = 1, ICON_WARNING = 2, ICON_ERROR = 3 };

    // Time a balloon stays, ms; 0 keeps it until another balloon replaces it.
    int Interval = 3000;
    // Where the pointer touches the target: 0 its left edge, 1 its centre, 2 its right edge.
    int Position = 0;
    // Off: the pointer ends half way down the target and the body stands above it (below it when
    // the screen has no room above). On: the body hangs below the target, the pointer touching its
    // bottom edge (above its top edge when the screen has no room below), so that the balloon
    // covers nothing of the target or of what lies above it.
    bool Below = false;

    void ShowBalloon(QWidget* Target, int Icon, const QString& Title, const QString& Text);
    // The same, once: nothing when this component has shown a balloon at Target already and Target
    // has not changed since. A field (QLineEdit) changes when it goes from empty to filled or back,
    // so its hint comes again once it is empty again after it was filled; any other control's
    // balloon shows only once. True when the balloon showed.
    bool ShowBalloonOnce(QWidget* Target, int Icon, const QString& Title, const QString& Text);
    // Closes this balloon when it shows.
    void Hide();

    bool Active() const { return m_Active; }
    const QString& Title() const { return m_Title; }
    const QString& Text() const { return m_Text; }
    int Icon() const { return m_Icon; }
    QWidget* TargetControl() const { return m_TargetControl; }
    // The balloon window (created with the component, hidden while no balloon shows).
    QWidget* TipWindow() const { return m_TipWindow; }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void PopupAt(QWidget* Target);
    void StartHideTimer();

    QString m_Title;
    QString m_Text;
    int m_Icon = ICON_NONE;
    bool m_Active = false;
    QPointer<QWidget> m_TargetControl;
    QPointer<QWidget> m_TipWindow;
    QTimer m_HideTimer;
    // The targets of ShowBalloonOnce: whether their balloon was shown since they last changed.
    struct TOnce {
        bool Shown = false;
        bool Empty = false;  // of a field: whether it was empty when last seen
    };
    std::map<const QWidget*, TOnce> m_Once;
};

}  // namespace bfs
