#include "ui/UTWindowChrome.h"

#include "ui/ImageEx.h"
#include "ui/UTPictures.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

namespace bfs {

namespace {

const QColor PANEL(0xF4, 0xF6, 0xF8);
const QColor BORDER(0xD0, 0xD7, 0xDE);
constexpr qreal CORNER = 9.0;  // an 18-pixel corner ellipse

// Paints the rounded outline under the window's own contents.
class TRoundedBackground : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Paint) {
            auto* w = static_cast<QWidget*>(Watched);
            QPainter p(w);
            p.setRenderHint(QPainter::Antialiasing);
            QPainterPath outline;
            outline.addRoundedRect(QRectF(w->rect()).adjusted(0.5, 0.5, -0.5, -0.5), CORNER, CORNER);
            p.fillPath(outline, PANEL);
            p.setPen(QPen(BORDER, 1.0));
            p.drawPath(outline);
        }
        return false;
    }
};

// A picture button of the title bar: Name + "1" normally, Name + "2" under the mouse.
TImageEx* ChromeButton(QWidget* Parent, const std::string& Name, const QString& AccessibleName) {
    auto* b = new TImageEx(Parent);
    b->setFocusPolicy(Qt::TabFocus);
    b->setAccessibleName(AccessibleName);
    b->setToolTip(AccessibleName);
    LoadJpegResource(b, Name + "1", "JPG");
    QObject::connect(b, &TImageEx::mouseEnter, b, [b, Name] { LoadJpegResource(b, Name + "2", "JPG"); });
    QObject::connect(b, &TImageEx::mouseLeave, b, [b, Name] { LoadJpegResource(b, Name + "1", "JPG"); });
    return b;
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

void TTitleBar::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return QWidget::mousePressEvent(Event);
    // The window manager moves the window when it can; otherwise the bar follows the mouse itself.
    if (QWindow* handle = m_Window.windowHandle(); handle && handle->startSystemMove()) return;
    m_Dragging = true;
    m_DragOffset = Event->globalPosition().toPoint() - m_Window.frameGeometry().topLeft();
}

void TTitleBar::mouseMoveEvent(QMouseEvent* Event) {
    if (m_Dragging) m_Window.move(Event->globalPosition().toPoint() - m_DragOffset);
    QWidget::mouseMoveEvent(Event);
}

void TTitleBar::mouseReleaseEvent(QMouseEvent* Event) {
    m_Dragging = false;
    QWidget::mouseReleaseEvent(Event);
}

TTitleBar* MakeBorderless(QWidget& Window, const QString& Title, bool WithMinimise, bool Small) {
    Window.setWindowFlag(Qt::FramelessWindowHint, true);
    Window.setAttribute(Qt::WA_TranslucentBackground, true);
    Window.installEventFilter(new TRoundedBackground(&Window));
    return new TTitleBar(Window, Title, WithMinimise, Small);
}

}  // namespace bfs
