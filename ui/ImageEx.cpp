#include "ui/ImageEx.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace bfs {

TImageEx::TImageEx(QWidget* Parent) : QLabel(Parent) {
    // Captions are shown as written, never read as markup.
    setTextFormat(Qt::PlainText);
}

void TImageEx::Click() {
    emit clicked();
}

void TImageEx::MouseEnter() {
    emit mouseEnter();
}

void TImageEx::MouseLeave() {
    emit mouseLeave();
}

void TImageEx::enterEvent(QEnterEvent* Event) {
    QLabel::enterEvent(Event);
    MouseEnter();
}

void TImageEx::leaveEvent(QEvent* Event) {
    QLabel::leaveEvent(Event);
    MouseLeave();
}

void TImageEx::mousePressEvent(QMouseEvent* Event) {
    QLabel::mousePressEvent(Event);
    if (Event->button() != Qt::LeftButton) return;
    m_Pressed = true;
    emit mouseDown();
}

// A click is a release inside the control after a press inside it, as with a push button.
void TImageEx::mouseReleaseEvent(QMouseEvent* Event) {
    const bool click =
        m_Pressed && Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint());
    if (Event->button() == Qt::LeftButton) m_Pressed = false;
    QLabel::mouseReleaseEvent(Event);
    if (click) Click();
}

// Key presses arrive only when the window gave the control a focus policy.
void TImageEx::keyPressEvent(QKeyEvent* Event) {
    switch (Event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (!Event->isAutoRepeat()) Click();
            Event->accept();
            return;
        default:
            QLabel::keyPressEvent(Event);
    }
}

// The focus mark: a dotted frame in the accent colour just inside the control's edge, over the
// picture and under a caption stacked on it.
void TImageEx::paintEvent(QPaintEvent* Event) {
    QLabel::paintEvent(Event);
    if (!hasFocus() || m_MouseFocus) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(0x2F, 0x6F, 0xDE), 1.5, Qt::DotLine);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5), 3, 3);
}

void TImageEx::focusInEvent(QFocusEvent* Event) {
    // Coming back to the window, or a menu closing, keeps the mark as it was; the focus a window
    // gives as it first opens shows none, as a click's.
    if (Event->reason() == Qt::ActiveWindowFocusReason)
        m_MouseFocus = m_MouseFocus || !m_EverFocused;
    else if (Event->reason() != Qt::PopupFocusReason)
        m_MouseFocus = Event->reason() == Qt::MouseFocusReason;
    m_EverFocused = true;
    QLabel::focusInEvent(Event);
}

TImageExButton::TImageExButton(QWidget* Parent) : TImageEx(Parent) {
    Refresh();
}

void TImageExButton::SetPicNormal(const QPixmap& Value) {
    m_PicNormal = Value;
    Refresh();
}

void TImageExButton::SetPicMouseMove(const QPixmap& Value) {
    m_PicMouseMove = Value;
    Refresh();
}

void TImageExButton::SetPicSelect(const QPixmap& Value) {
    m_PicSelect = Value;
    Refresh();
}

void TImageExButton::SetPicState(TPicState Value) {
    m_PicState = Value;
    Refresh();
}

void TImageExButton::SetPicAutoChange(bool Value) {
    m_PicAutoChange = Value;
    Refresh();
}

void TImageExButton::SetAllowAllSelected(bool Value) {
    m_AllowAllSelected = Value;
    Refresh();
}

void TImageExButton::SetGroupIndex(int Value) {
    m_GroupIndex = Value;
    Refresh();
}

void TImageExButton::Refresh() {
    if (!isEnabled()) {
        if (!m_PicDisabled.isNull()) setPixmap(m_PicDisabled);
        return;
    }
    switch (m_PicState) {
        case isNormal:
            if (!m_PicNormal.isNull()) setPixmap(m_PicNormal);
            break;
        case isMouseMove:
            if (!m_PicMouseMove.isNull()) setPixmap(m_PicMouseMove);
            break;
        case isSelect: {
            if (!m_PicSelect.isNull()) setPixmap(m_PicSelect);
            QWidget* parent = parentWidget();
            if (!parent || m_GroupIndex < 1) break;
            const auto siblings = parent->findChildren<TImageExButton*>(Qt::FindDirectChildrenOnly);
            for (TImageExButton* other : siblings) {
                if (other != this && other->m_GroupIndex == m_GroupIndex && !other->m_AllowAllSelected &&
                    other->m_PicState == isSelect)
                    other->SetPicState(isNormal);
            }
            break;
        }
    }
}

void TImageExButton::MouseEnter() {
    if (m_PicAutoChange && m_PicState != isSelect) SetPicState(isMouseMove);
    TImageEx::MouseEnter();
}

void TImageExButton::MouseLeave() {
    if (m_PicAutoChange && m_PicState != isSelect) SetPicState(isNormal);
    TImageEx::MouseLeave();
}

void TImageExButton::Click() {
    if (m_PicAutoChange && m_ClickAutoChange && m_PicState != isSelect) SetPicState(isSelect);
    TImageEx::Click();
}

void TImageExButton::changeEvent(QEvent* Event) {
    TImageEx::changeEvent(Event);
    if (Event->type() == QEvent::EnabledChange) Refresh();
}

}  // namespace bfs
