#pragma once

#include <QLabel>
#include <QPixmap>

namespace bfs {

// A picture control that tells when the mouse enters and leaves it, when the left button goes down
// on it (windows show a pressed face then) and when it is clicked (a left press and release inside
// it, or Space or Enter while it has the focus). A control that has the focus from the keyboard (or
// given by the window) shows a focus mark around its picture, so the keyboard's place is seen on
// picture buttons as on any other button; a click that gives it the focus shows none.
// Tag is free for the windows: 1 marks a control whose picture LoadJpegResource must not replace.
class TImageEx : public QLabel {
    Q_OBJECT
  public:
    explicit TImageEx(QWidget* Parent = nullptr);

    int Tag = 0;

    // Runs the click as the mouse or the keyboard would: the button's state change, then clicked().
    virtual void Click();

  signals:
    void mouseEnter();
    void mouseLeave();
    void mouseDown();
    void clicked();

  protected:
    virtual void MouseEnter();
    virtual void MouseLeave();

    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;

  private:
    bool m_Pressed = false;
    bool m_MouseFocus = false;  // the focus came with a click
    bool m_EverFocused = false;
};

enum TPicState { isNormal, isMouseMove, isSelect };

// A picture button with one picture per state and selection groups among its siblings.
//
// The shown picture follows the state: normal, under the mouse, selected; PicDisabled while the
// button is disabled. A state whose picture is empty leaves the shown picture as it is, so windows
// that paint their buttons themselves are not disturbed. With PicAutoChange the mouse entering and
// leaving switches between normal and under the mouse; with ClickAutoChange too, a click selects the
// button. A selected button keeps its state when the mouse comes and goes. Selecting a button with
// GroupIndex 1 or more returns every other selected button of the same parent and group to normal,
// except those with AllowAllSelected.
class TImageExButton : public TImageEx {
    Q_OBJECT
  public:
    explicit TImageExButton(QWidget* Parent = nullptr);

    const QPixmap& PicNormal() const { return m_PicNormal; }
    const QPixmap& PicMouseMove() const { return m_PicMouseMove; }
    const QPixmap& PicSelect() const { return m_PicSelect; }
    const QPixmap& PicDisabled() const { return m_PicDisabled; }
    TPicState PicState() const { return m_PicState; }
    bool PicAutoChange() const { return m_PicAutoChange; }
    bool AllowAllSelected() const { return m_AllowAllSelected; }
    int GroupIndex() const { return m_GroupIndex; }
    bool ClickAutoChange() const { return m_ClickAutoChange; }

    void SetPicNormal(const QPixmap& Value);
    void SetPicMouseMove(const QPixmap& Value);
    void SetPicSelect(const QPixmap& Value);
    // Only stored: it is shown at the next refresh while the button is disabled.
    void SetPicDisabled(const QPixmap& Value) { m_PicDisabled = Value; }
    void SetPicState(TPicState Value);
    void SetPicAutoChange(bool Value);
    void SetAllowAllSelected(bool Value);
    void SetGroupIndex(int Value);
    void SetClickAutoChange(bool Value) { m_ClickAutoChange = Value; }

    void Click() override;

  protected:
    void MouseEnter() override;
    void MouseLeave() override;
    void changeEvent(QEvent* Event) override;

  private:
    // Shows the picture of the current state (or the disabled picture); selecting updates the group.
    void Refresh();

    QPixmap m_PicNormal;
    QPixmap m_PicMouseMove;
    QPixmap m_PicSelect;
    QPixmap m_PicDisabled;
    TPicState m_PicState = isNormal;
    bool m_PicAutoChange = false;
    bool m_AllowAllSelected = false;
    int m_GroupIndex = 0;
    bool m_ClickAutoChange = false;
};

}  // namespace bfs
