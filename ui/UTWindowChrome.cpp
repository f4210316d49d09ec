#include "ui/UTWindowChrome.h"

#include "ui/ImageEx.h"
#include "ui/UTPictures.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRegion>
#include <QStyle>
#include <QStyleHints>
#include <QWindow>

#include <algorithm>
#include <unordered_map>

namespace bfs {

namespace {

const QColor PANEL(0xF4, 0xF6, 0xF8);
const QColor BORDER(0xD0, 0xD7, 0xDE);
constexpr qreal CORNER = 9.0;  // an 18-pixel corner ellipse

// Paints the rounded outline under the window's own contents; square while the window fills the
// screen, whose corners are the screen's.
class TRoundedBackground : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Paint) {
            auto* w = static_cast<QWidget*>(Watched);
            QPainter p(w);
            p.setRenderHint(QPainter::Antialiasing);
            const qreal corner = w->isMaximized() || w->isFullScreen() ? 0.0 : CORNER;
            QPainterPath outline;
            outline.addRoundedRect(QRectF(w->rect()).adjusted(0.5, 0.5, -0.5, -0.5), corner, corner);
            p.fillPath(outline, PANEL);
            p.setPen(QPen(BORDER, 1.0));
            p.drawPath(outline);
        }
        return false;
    }
};

// A picture button of the title bar, reached by the keyboard too.
TImageEx* PictureButton(QWidget* Parent, const QString& AccessibleName) {
    auto* b = new TImageEx(Parent);
    b->setFocusPolicy(Qt::TabFocus);
    b->setAccessibleName(AccessibleName);
    b->setToolTip(AccessibleName);
    return b;
}

// A picture button of the title bar: Name + "1" normally, Name + "2" under the mouse.
TImageEx* ChromeButton(QWidget* Parent, const std::string& Name, const QString& AccessibleName) {
    TImageEx* b = PictureButton(Parent, AccessibleName);
    LoadJpegResource(b, Name + "1", "JPG");
    QObject::connect(b, &TImageEx::mouseEnter, b, [b, Name] { LoadJpegResource(b, Name + "2", "JPG"); });
    QObject::connect(b, &TImageEx::mouseLeave, b, [b, Name] { LoadJpegResource(b, Name + "1", "JPG"); });
    return b;
}

// Which end of a line of Length pixels the position P lies within Reach pixels of: -1 the start,
// 1 the end, 0 neither. A line shorter than twice the reach gives the nearer end.
int NearEnd(int P, int Length, int Reach) {
    const int toStart = P, toEnd = Length - 1 - P;
    if (std::min(toStart, toEnd) >= Reach) return 0;
    return toStart <= toEnd ? -1 : 1;
}

Qt::CursorShape CursorFor(Qt::Edges Edges) {
    const bool horizontal = Edges & (Qt::LeftEdge | Qt::RightEdge);
    const bool vertical = Edges & (Qt::TopEdge | Qt::BottomEdge);
    if (horizontal && vertical)
        return (Edges == (Qt::LeftEdge | Qt::TopEdge) || Edges == (Qt::RightEdge | Qt::BottomEdge))
                   ? Qt::SizeFDiagCursor
                   : Qt::SizeBDiagCursor;
    if (horizontal) return Qt::SizeHorCursor;
    if (vertical) return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}

}  // namespace

TTitleBar::TTitleBar(QWidget& Window, const QString& Title, bool WithMinimise, bool Small)
    : QWidget(&Window), m_Window(Window) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 4, 6, 2);
    layout->setSpacing(4);
    TitleLabel = new QLabel(Title, this);
    TitleLabel->setTextFormat(Qt::PlainText);
    QFont bold = TitleLabel->font();
    bold.setBold(true);
    TitleLabel->setFont(bold);
    layout->addWidget(TitleLabel, 1);
    if (WithMinimise) {
        MinBtn = ChromeButton(this, "MinBtn", tr("Minimise"));
        connect(MinBtn, &TImageEx::clicked, this, [this] { m_Window.window()->showMinimized(); });
        layout->addWidget(MinBtn);
    }
    CloseBtn = ChromeButton(this, Small ? "SMCLoseBtn" : "CloseBtn", tr("Close"));
    connect(CloseBtn, &TImageEx::clicked, this, [this] { m_Window.close(); });
    layout->addWidget(CloseBtn);
    Window.setWindowTitle(Title);
}

void TTitleBar::SetTitle(const QString& Title) {
    TitleLabel->setText(Title);
    m_Window.setWindowTitle(Title);
}

void TTitleBar::AddMaximise() {
    if (MaxBtn) return;
    MaxBtn = PictureButton(this, tr("Maximise"));
    connect(MaxBtn, &TImageEx::mouseEnter, this, [this] {
        m_MaxHover = true;
        ShowMaxFace();
    });
    connect(MaxBtn, &TImageEx::mouseLeave, this, [this] {
        m_MaxHover = false;
        ShowMaxFace();
    });
    connect(MaxBtn, &TImageEx::clicked, this, &TTitleBar::ToggleMaximised);
    auto* bar = static_cast<QHBoxLayout*>(layout());
    bar->insertWidget(bar->indexOf(CloseBtn), MaxBtn);
    if (MinBtn) setTabOrder(MinBtn, MaxBtn);
    setTabOrder(MaxBtn, CloseBtn);
    // The face follows the window's state, however it changed (the picture, a double click, the
    // window manager).
    m_Window.installEventFilter(this);
    ShowMaxFace();
}

void TTitleBar::ToggleMaximised() {
    if (m_Window.isMaximized())
        m_Window.showNormal();
    else
        m_Window.showMaximized();
}

void TTitleBar::ShowMaxFace() {
    const bool maximised = m_Window.isMaximized();
    LoadJpegResource(MaxBtn, std::string(maximised ? "RestoreBtn" : "MaxBtn") + (m_MaxHover ? "2" : "1"),
                     "JPG");
    const QString name = maximised ? tr("Restore") : tr("Maximise");
    MaxBtn->setAccessibleName(name);
    MaxBtn->setToolTip(name);
}

bool TTitleBar::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == &m_Window && Event->type() == QEvent::WindowStateChange && MaxBtn) ShowMaxFace();
    return QWidget::eventFilter(Watched, Event);
}

void TTitleBar::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return QWidget::mousePressEvent(Event);
    // The move starts once the mouse has moved: a press alone, or the first press of a double
    // click, leaves the window where it is.
    m_Pressed = true;
    m_PressPos = Event->globalPosition().toPoint();
}

void TTitleBar::mouseMoveEvent(QMouseEvent* Event) {
    const QPoint pos = Event->globalPosition().toPoint();
    if (m_Pressed &&
        (pos - m_PressPos).manhattanLength() >= QGuiApplication::styleHints()->startDragDistance()) {
        m_Pressed = false;
        // The window manager moves the window when it can; otherwise the bar follows the mouse
        // itself, except for a maximised window, which stays where it is.
        QWindow* handle = m_Window.windowHandle();
        if (!(handle && handle->startSystemMove()) && !m_Window.isMaximized()) {
            m_Dragging = true;
            m_DragOffset = m_PressPos - m_Window.frameGeometry().topLeft();
        }
    }
    if (m_Dragging) m_Window.move(pos - m_DragOffset);
    QWidget::mouseMoveEvent(Event);
}

void TTitleBar::mouseReleaseEvent(QMouseEvent* Event) {
    m_Pressed = m_Dragging = false;
    QWidget::mouseReleaseEvent(Event);
}

void TTitleBar::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (MaxBtn && Event->button() == Qt::LeftButton) {
        m_Pressed = false;
        ToggleMaximised();
        return;
    }
    QWidget::mouseDoubleClickEvent(Event);
}

TTitleBar* MakeBorderless(QWidget& Window, const QString& Title, bool WithMinimise, bool Small) {
    Window.setWindowFlag(Qt::FramelessWindowHint, true);
    Window.setAttribute(Qt::WA_TranslucentBackground, true);
    Window.installEventFilter(new TRoundedBackground(&Window));
    return new TTitleBar(Window, Title, WithMinimise, Small);
}

Qt::Edges ResizeEdges(QPoint Pos, QSize Size, int Border, int Corner) {
    if (!QRect(QPoint(0, 0), Size).contains(Pos)) return {};
    int across = NearEnd(Pos.x(), Size.width(), Border);
    int down = NearEnd(Pos.y(), Size.height(), Border);
    if (across == 0 && down == 0) return {};
    // On an edge near a corner the mouse holds the corner: easier to hit than a few pixels square.
    if (across == 0) across = NearEnd(Pos.x(), Size.width(), Corner);
    if (down == 0) down = NearEnd(Pos.y(), Size.height(), Corner);
    Qt::Edges edges;
    if (across < 0) edges |= Qt::LeftEdge;
    if (across > 0) edges |= Qt::RightEdge;
    if (down < 0) edges |= Qt::TopEdge;
    if (down > 0) edges |= Qt::BottomEdge;
    return edges;
}

QRect ResizedGeometry(const QRect& Start, Qt::Edges Edges, QPoint Delta, QSize Minimum) {
    QRect r = Start;
    if (Edges & Qt::LeftEdge)
        r.setLeft(std::min(Start.left() + Delta.x(), Start.right() + 1 - Minimum.width()));
    if (Edges & Qt::RightEdge)
        r.setRight(std::max(Start.right() + Delta.x(), Start.left() + Minimum.width() - 1));
    if (Edges & Qt::TopEdge)
        r.setTop(std::min(Start.top() + Delta.y(), Start.bottom() + 1 - Minimum.height()));
    if (Edges & Qt::BottomEdge)
        r.setBottom(std::max(Start.bottom() + Delta.y(), Start.top() + Minimum.height() - 1));
    return r;
}

TResizeFrame::TResizeFrame(QWidget& Window) : QWidget(&Window), m_Window(Window) {
    setObjectName(QStringLiteral("ResizeFrame"));
    setMouseTracking(true);
    Window.installEventFilter(this);
    FollowWindow();
}

void TResizeFrame::FollowWindow() {
    const QRect all = m_Window.rect();
    setGeometry(all);
    // Only the band takes the mouse; everything inside it goes to the window's own controls.
    setMask(QRegion(all).subtracted(
        QRegion(all.adjusted(RESIZE_BORDER, RESIZE_BORDER, -RESIZE_BORDER, -RESIZE_BORDER))));
    setVisible(!m_Window.isMaximized() && !m_Window.isFullScreen());
    raise();
}

bool TResizeFrame::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == &m_Window) switch (Event->type()) {
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::WindowStateChange:
                FollowWindow();
                break;
            case QEvent::ChildAdded:
                raise();  // above controls added later
                break;
            default:
                break;
        }
    return QWidget::eventFilter(Watched, Event);
}

void TResizeFrame::mousePressEvent(QMouseEvent* Event) {
    const Qt::Edges edges = ResizeEdges(Event->position().toPoint(), size(), RESIZE_BORDER, RESIZE_CORNER);
    if (Event->button() != Qt::LeftButton || !edges) return QWidget::mousePressEvent(Event);
    // The window system resizes the window when it offers that (it knows the screen's edges and
    // other windows); otherwise the window follows the mouse itself.
    if (QWindow* handle = m_Window.windowHandle(); handle && handle->startSystemResize(edges)) return;
    m_Held = edges;
    m_StartGeometry = m_Window.geometry();
    m_StartPos = Event->globalPosition().toPoint();
}

void TResizeFrame::mouseMoveEvent(QMouseEvent* Event) {
    if (m_Held) {
        m_Window.setGeometry(ResizedGeometry(m_StartGeometry, m_Held,
                                             Event->globalPosition().toPoint() - m_StartPos,
                                             m_Window.minimumSize().expandedTo(m_Window.minimumSizeHint())));
        return;
    }
    setCursor(CursorFor(ResizeEdges(Event->position().toPoint(), size(), RESIZE_BORDER, RESIZE_CORNER)));
    QWidget::mouseMoveEvent(Event);
}

void TResizeFrame::mouseReleaseEvent(QMouseEvent* Event) {
    m_Held = {};
    QWidget::mouseReleaseEvent(Event);
}

TResizeFrame* MakeResizable(QWidget& Window, TTitleBar& Bar) {
    Bar.AddMaximise();
    return new TResizeFrame(Window);
}

QRect FirstGeometry(QSize Wanted, const QRect& Free) {
    return QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, Wanted.boundedTo(Free.size()), Free);
}

namespace {

const QColor ACCENT(0x2F, 0x6F, 0xDE);
constexpr int RING_WIDTH = 2;

class TFocusRing;

// What the focus rings of all windows share: one filter on the application, which sees every
// focus-in with its reason, and one connection to the application's focus changes, which hands each
// change to the ring of the window the focus went into and to the ring that had it before. A ring
// that marks nothing costs an event nothing, so a window of many pages, each with its ring, does
// not slow every event of the program.
class TFocusWatch : public QObject {
  public:
    // The application's one watch, made with the first ring.
    static TFocusWatch& Instance() {
        if (!s_Instance) s_Instance = new TFocusWatch;
        return *s_Instance;
    }
    // The watch while it lasts (it goes with the application).
    static TFocusWatch* Existing() { return s_Instance.data(); }

    void Add(QWidget& Window, TFocusRing& Ring) {
        m_Rings[&Window] = &Ring;
        FocusChanged(QApplication::focusWidget());
    }
    void Remove(const QWidget& Window, const TFocusRing& Ring) {
        const auto it = m_Rings.find(&Window);
        if (it != m_Rings.end() && it->second == &Ring) m_Rings.erase(it);
        if (m_Showing == &Ring) m_Showing = nullptr;
    }
    // Whether the last focus-in came from a click, a window's activation or a menu closing.
    bool Quiet() const { return m_Quiet; }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::FocusIn) {
            // The focus a closing menu gives back shows as it showed before the menu.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(Event)->reason();
            if (reason != Qt::PopupFocusReason)
                m_Quiet = reason == Qt::MouseFocusReason || reason == Qt::ActiveWindowFocusReason;
        }
        return QObject::eventFilter(Watched, Event);
    }

  private:
    TFocusWatch() : QObject(qApp) {
        // Every focus-in passes here first, with its reason (a click, a key...); the focus change
        // that follows it is then followed.
        qApp->installEventFilter(this);
        connect(qApp, &QApplication::focusChanged, this,
                [this](QWidget*, QWidget* Now) { FocusChanged(Now); });
    }
    // The ring whose focus W's is: that of the nearest window with a ring, from W up.
    TFocusRing* RingOf(const QWidget* W) const {
        for (; W; W = W->parentWidget()) {
            if (const auto it = m_Rings.find(W); it != m_Rings.end()) return it->second;
            if (W->isWindow()) return nullptr;
        }
        return nullptr;
    }
    void FocusChanged(QWidget* Now);

    static inline QPointer<TFocusWatch> s_Instance;
    std::unordered_map<const QWidget*, TFocusRing*> m_Rings;  // by the window each ring marks
    TFocusRing* m_Showing = nullptr;                          // the ring the focus was last given to
    bool m_Quiet = false;
};

class TFocusRing : public QWidget {
  public:
    explicit TFocusRing(QWidget& Window) : QWidget(&Window), m_Window(Window) {
        setObjectName(QStringLiteral("FocusRing"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
        Window.installEventFilter(this);
        TFocusWatch::Instance().Add(Window, *this);
    }
    ~TFocusRing() override {
        if (TFocusWatch* watch = TFocusWatch::Existing()) watch->Remove(m_Window, *this);
    }

    // Shows the ring around Now, a control of this ring's window, or none when Now is null.
    void Follow(QWidget* Now) {
        if (m_Target) m_Target->removeEventFilter(this);
        m_Target = nullptr;
        // A focus the mouse gave needs no ring: the user is looking at where they clicked. Nor does
        // the focus a window finds again when it becomes active: the ring comes with the next key
        // that moves it.
        if (Now && !DrawsOwnFocus(Now) && !TFocusWatch::Instance().Quiet()) {
            m_Target = Now;
            m_Target->installEventFilter(this);
        }
        Place();
    }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        switch (Event->type()) {
            case QEvent::Move:
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::Hide:
            case QEvent::LayoutRequest:
                // After the layouts have placed everything. Without a control to mark the ring is
                // hidden already.
                if (m_Target && (Watched == m_Target || Watched == &m_Window))
                    QMetaObject::invokeMethod(
                        this, [this] { Place(); }, Qt::QueuedConnection);
                break;
            default:
                break;
        }
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(ACCENT, RING_WIDTH));
        const qreal half = RING_WIDTH / 2.0;
        p.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), 3, 3);
    }

  private:
    // The control draws a focus of its own: an edit's frame, a check or radio button's mark.
    static bool DrawsOwnFocus(const QWidget* W) {
        return qobject_cast<const QLineEdit*>(W) || qobject_cast<const QAbstractButton*>(W);
    }
    void Place() {
        if (!m_Target || !m_Target->isVisible() || !m_Target->hasFocus()) {
            hide();
            return;
        }
        const QPoint at = m_Target->mapTo(&m_Window, QPoint(0, 0));
        setGeometry(QRect(at, m_Target->size()).adjusted(-RING_WIDTH, -RING_WIDTH, RING_WIDTH, RING_WIDTH));
        raise();
        show();
        update();
    }

    QWidget& m_Window;
    QPointer<QWidget> m_Target;
};

void TFocusWatch::FocusChanged(QWidget* Now) {
    TFocusRing* owner = RingOf(Now);
    if (m_Showing && m_Showing != owner) m_Showing->Follow(nullptr);
    m_Showing = owner;
    if (owner) owner->Follow(Now);
}

}  // namespace

QWidget* ShowKeyboardFocus(QWidget& Window) {
    return new TFocusRing(Window);
}

}  // namespace bfs
