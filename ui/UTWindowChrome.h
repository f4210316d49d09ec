#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace bfs {

class TImageEx;

// The title bar of a borderless window: its title, and its minimise and close pictures (normal and
// under the mouse). Dragging the bar moves the window; the pictures answer the keyboard too.
class TTitleBar : public QWidget {
    Q_OBJECT

  public:
    // Small: the 16-pixel close picture of dialogs ("SMCLoseBtn"); else the main window's close and
    // minimise pictures ("CloseBtn", "MinBtn").
    TTitleBar(QWidget& Window, const QString& Title, bool WithMinimise, bool Small);
    void SetTitle(const QString& Title);

    QLabel* TitleLabel = nullptr;
    TImageEx* MinBtn = nullptr;  // none without minimise
    TImageEx* CloseBtn = nullptr;

  protected:
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

  private:
    QWidget& m_Window;
    QPoint m_DragOffset;
    bool m_Dragging = false;
};

// Makes Window borderless with the rounded outline in the panel colour and a 1-pixel border, drawn by
// the program, and gives it its own title bar, which the caller puts at the top of its layout. The
// window keeps its keys: Escape closes a dialog, the window manager's close keys still work.
TTitleBar* MakeBorderless(QWidget& Window, const QString& Title, bool WithMinimise, bool Small);

}  // namespace bfs
