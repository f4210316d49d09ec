#include "ui/TooltipUtil.h"

#include "model/UTMyException.h"
#include "ui/UTImageList.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <functional>

namespace bfs {

namespace {

// The balloon shown last, of any TToolTip: only one is visible at a time.
QPointer<TToolTip> g_Shown;

const QColor BALLOON_FILL(0xFF, 0xFF, 0xFF);
const QColor BALLOON_BORDER(0xD0, 0xD7, 0xDE);
const QColor BALLOON_TEXT(0x1F, 0x23, 0x28);

// The balloon window: a rounded body with a pointer on its top or bottom edge, the title with its
// icon, the text below. A click on it closes it.
class TBalloonWindow : public QWidget {
  public:
    static constexpr int RADIUS = 6;
    static constexpr int STEM_HEIGHT = 10;
    static constexpr int STEM_WIDTH = 16;
    static constexpr int STEM_OFFSET = 22;  // from the body's left edge to the pointer, when room allows
    static constexpr int PADDING = 10;

    std::function<void()> OnClick;

    explicit TBalloonWindow(QWidget* Owner) : QWidget(Owner, Qt::ToolTip | Qt::FramelessWindowHint) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        auto* column = new QVBoxLayout(this);
        column->setSpacing(4);
        auto* titleRow = new QHBoxLayout;
        titleRow->setSpacing(6);
        m_IconLabel = new QLabel(this);
        m_TitleLabel = new QLabel(this);
        m_TextLabel = new QLabel(this);
        for (QLabel* l : {m_TitleLabel, m_TextLabel}) {
            l->setTextFormat(Qt::PlainText);
            QPalette pal = l->palette();
            pal.setColor(QPalette::WindowText, BALLOON_TEXT);
            l->setPalette(pal);
        }
        QFont bold = m_TitleLabel->font();
        bold.setBold(true);
        m_TitleLabel->setFont(bold);
        m_TextLabel->setWordWrap(true);
        titleRow->addWidget(m_IconLabel);
        titleRow->addWidget(m_TitleLabel, 1);
        column->addLayout(titleRow);
        column->addWidget(m_TextLabel);
    }

    void SetContents(int Icon, const QString& Title, const QString& Text) {
        TImageList icons(16, 16);
        const QPixmap icon = icons.LoadStrip(QStringLiteral("TipIcon")) ? icons.Pixmap(Icon) : QPixmap();
        m_IconLabel->setPixmap(icon);
        m_IconLabel->setVisible(Icon > 0 && !icon.isNull());
        m_TitleLabel->setText(Title);
        m_TitleLabel->setVisible(!Title.isEmpty());
        m_TextLabel->setText(Text);
        // A wrapped label would choose a narrow, tall shape; a line of up to about 50 characters
        // keeps its width.
        const QFontMetrics metrics = m_TextLabel->fontMetrics();
        const int widest = metrics.averageCharWidth() * 50;
        m_TextLabel->setMinimumWidth(std::min(widest, metrics.horizontalAdvance(Text)));
        m_TextLabel->setMaximumWidth(widest);
        m_TextLabel->setVisible(!Text.isEmpty());
    }

    // Places the balloon on the screen, moved sideways to stay on it: the body above with its
    // pointer ending at AboveTip (global coordinates), or below with the pointer ending at
    // BelowTip; the side preferred when the screen has room there, else the other one when that
    // has room.
    void PointAt(QPoint AboveTip, QPoint BelowTip, bool PreferBelow) {
        QScreen* screen = QGuiApplication::screenAt(PreferBelow ? BelowTip : AboveTip);
        if (!screen) screen = QGuiApplication::primaryScreen();
        const QRect area =
            screen ? screen->availableGeometry() : QRect(AboveTip - QPoint(2000, 2000), QSize(4000, 4000));

        // The pointer takes STEM_HEIGHT at the top or at the bottom: the same size either way.
        layout()->setContentsMargins(PADDING, PADDING, PADDING, PADDING + STEM_HEIGHT);
        layout()->invalidate();
        layout()->activate();
        QSize whole = sizeHint().expandedTo(minimumSizeHint());
        if (hasHeightForWidth()) whole.setHeight(std::max(whole.height(), heightForWidth(whole.width())));
        const bool roomAbove = AboveTip.y() - whole.height() >= area.top();
        const bool roomBelow = BelowTip.y() + whole.height() <= area.bottom() + 1;
        m_StemDown = PreferBelow ? !roomBelow && roomAbove : roomAbove;
        const QPoint tip = m_StemDown ? AboveTip : BelowTip;
        if (!m_StemDown) layout()->setContentsMargins(PADDING, PADDING + STEM_HEIGHT, PADDING, PADDING);
        int x = tip.x() - STEM_OFFSET;
        x = std::max(area.left(), std::min(x, area.right() + 1 - whole.width()));
        const int lowest = RADIUS + STEM_WIDTH / 2;
        m_StemX = std::clamp(tip.x() - x, lowest, std::max(lowest, whole.width() - lowest));
        resize(whole);
        // The layout may still insist on more room; the pointer's end stays where it is all the same.
        move(x, m_StemDown ? tip.y() - height() : tip.y());
        setMask(QRegion(Outline().toFillPolygon().toPolygon()));
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(BALLOON_BORDER, 1));
        p.setBrush(BALLOON_FILL);
        p.drawPath(Outline());
    }

    void mousePressEvent(QMouseEvent* Event) override {
        Event->accept();
        if (OnClick) OnClick();
    }

  private:
    // The body and the pointer as one outline, inset half a pixel so the border is drawn whole.
    QPainterPath Outline() const {
        const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const QRectF body = m_StemDown ? r.adjusted(0, 0, 0, -STEM_HEIGHT) : r.adjusted(0, STEM_HEIGHT, 0, 0);
        QPainterPath rounded;
        rounded.addRoundedRect(body, RADIUS, RADIUS);
        const qreal edge = m_StemDown ? body.bottom() - 1 : body.top() + 1;
        const qreal tip = m_StemDown ? r.bottom() : r.top();
        QPainterPath stem;
        stem.moveTo(m_StemX - STEM_WIDTH / 2.0, edge);
        stem.lineTo(m_StemX, tip);
        stem.lineTo(m_StemX + STEM_WIDTH / 2.0, edge);
        stem.closeSubpath();
        return rounded.united(stem);
    }

    QLabel* m_IconLabel;
    QLabel* m_TitleLabel;
    QLabel* m_TextLabel;
    bool m_StemDown = true;
    int m_StemX = STEM_OFFSET;
};

}  // namespace

TToolTip::TToolTip(QWidget* Owner) : QObject(Owner) {
    auto* balloon = new TBalloonWindow(Owner);
    balloon->OnClick = [this] { Hide(); };
    m_TipWindow = balloon;
    m_HideTimer.setSingleShot(true);
    connect(&m_HideTimer, &QTimer::timeout, this, &TToolTip::Hide);
}

TToolTip* TToolTip::Create(QObject* Owner) {
    if (auto* widget = qobject_cast<QWidget*>(Owner)) return new TToolTip(widget);
    TMyException::Instance().LogError("TToolTip.Create", "Exception",
                                      "TToolTip's owner must be a 'TWinControl' type.");
    return nullptr;
}

TToolTip::~TToolTip() {
    Hide();
    delete m_TipWindow.data();
}

void TToolTip::ShowBalloon(QWidget* Target, int Icon, const QString& Title, const QString& Text) {
    m_Icon = Icon;
    m_Title = Title;
    m_Text = Text;
    if (Target) PopupAt(Target);
}

bool TToolTip::ShowBalloonOnce(QWidget* Target, int Icon, const QString& Title, const QString& Text) {
    if (!Target) return false;
    auto* field = qobject_cast<QLineEdit*>(Target);
    auto [at, added] = m_Once.try_emplace(Target);
    if (added) {
        connect(Target, &QObject::destroyed, this, [this, Target] { m_Once.erase(Target); });
        // Seen at each change, so that empty, filled and empty again between two calls counts.
        if (field) {
            at->second.Empty = field->text().isEmpty();
            connect(field, &QLineEdit::textChanged, this, [this, Target](const QString& Now) {
                const auto once = m_Once.find(Target);
                if (once == m_Once.end() || once->second.Empty == Now.isEmpty()) return;
                once->second.Empty = Now.isEmpty();
                once->second.Shown = false;
            });
        }
    }
    if (at->second.Shown) return false;
    at->second.Shown = true;
    ShowBalloon(Target, Icon, Title, Text);
    return true;
}

void TToolTip::PopupAt(QWidget* Target) {
    if (g_Shown) g_Shown->Hide();
    g_Shown = this;

    m_TargetControl = Target;
    Target->installEventFilter(this);
    QToolTip::hideText();

    const int x = Position == 1 ? Target->width() / 2 : Position == 2 ? Target->width() : 0;
    const QPoint middle = Target->mapToGlobal(QPoint(x, Target->height() / 2));
    auto* balloon = static_cast<TBalloonWindow*>(m_TipWindow.data());
    if (!balloon) return;
    balloon->SetContents(m_Icon, m_Title, m_Text);
    if (Below)
        balloon->PointAt(Target->mapToGlobal(QPoint(x, 0)), Target->mapToGlobal(QPoint(x, Target->height())),
                         true);
    else
        balloon->PointAt(middle, middle, false);
    balloon->show();
    m_Active = true;
    StartHideTimer();
}

void TToolTip::StartHideTimer() {
    m_HideTimer.stop();
    if (Interval != 0 && m_Active) m_HideTimer.start(Interval);
}

void TToolTip::Hide() {
    m_HideTimer.stop();
    m_Active = false;
    if (m_TargetControl) m_TargetControl->removeEventFilter(this);
    if (m_TipWindow) m_TipWindow->hide();
    if (g_Shown == this) g_Shown = nullptr;
}

// While the balloon points at the target, the target's own tooltip is not shown; a key typed into
// the target closes the balloon.
bool TToolTip::eventFilter(QObject* Watched, QEvent* Event) {
    if (m_Active && Watched == m_TargetControl && Event->type() == QEvent::ToolTip) return true;
    if (m_Active && Watched == m_TargetControl && Event->type() == QEvent::KeyPress) Hide();
    return QObject::eventFilter(Watched, Event);
}

}  // namespace bfs
