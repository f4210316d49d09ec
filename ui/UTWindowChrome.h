#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

class QLabel;

namespace bfs {

class TImageEx;

// The title bar of a borderless window: its title, and its minimise, maximise and close pictures
// (normal and under the mouse). Dragging the bar moves the window; the pictures answer the keyboard
// too. A window made resizable (MakeResizable) also maximises and restores by a double click on the
// bar.
class TTitleBar : public QWidget {
    Q_OBJECT

  public:
    // Small: the 16-pixel close picture of dialogs ("SMCLoseBtn"); else the main window's close and
    // minimise pictures ("CloseBtn", "MinBtn").
    TTitleBar(QWidget& Window, const QString& Title, bool WithMinimise, bool Small);
    void SetTitle(const QString& Title);
    // Adds the maximise picture before the close picture ("MaxBtn", "RestoreBtn" while the window is
    // maximised) and lets a double click on the bar maximise and restore.
    void AddMaximise();
    // Maximises the window, or restores a maximised one to its size before.
    void ToggleMaximised();

    QLabel* TitleLabel = nullptr;
    TImageEx* MinBtn = nullptr;  // none without minimise
    TImageEx* MaxBtn = nullptr;  // none until AddMaximise
    TImageEx* CloseBtn = nullptr;

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;

  private:
    void ShowMaxFace();

    QWidget& m_Window;
    QPoint m_PressPos;    // where the left button went down, in global coordinates
    QPoint m_DragOffset;  // from the window's corner to the mouse, while the bar moves it itself
    bool m_Pressed = false;
    bool m_Dragging = false;
    bool m_MaxHover = false;
};

// Makes Window borderless with the rounded outline in the panel colour and a 1-pixel border, drawn by
// the program, and gives it its own title bar, which the caller puts at the top of its layout. The
// window keeps its keys: Escape closes a dialog, the window manager's close keys still work.
TTitleBar* MakeBorderless(QWidget& Window, const QString& Title, bool WithMinimise, bool Small);

// How far inside a resizable window's outline the mouse takes hold of an edge, and how far along
// an edge from a corner it takes hold of the corner (both edges), in pixels.
inline constexpr int RESIZE_BORDER = 5;
inline constexpr int RESIZE_CORNER = 16;

// The edges of a window of Size that the point Pos (window coordinates) takes hold of: those within
// Border pixels of it; near a corner (within Corner pixels of it along an edge held) both of the
// corner's edges. None for a point inside the border or outside the window.
Qt::Edges ResizeEdges(QPoint Pos, QSize Size, int Border, int Corner);

// The geometry of a window that had Start when the mouse took hold of Edges and has moved by Delta
// since: the edges held follow the mouse, the others stay where they are, and the size never goes
// below Minimum (the edge held stops there instead).
QRect ResizedGeometry(const QRect& Start, Qt::Edges Edges, QPoint Delta, QSize Minimum);

// The band along a resizable window's outline that takes hold of its edges: the mouse shows the
// resize cursor there, and a drag resizes the window, through the window system where it offers
// that, else by following the mouse. Hidden while the window is maximised or full screen.
class TResizeFrame : public QWidget {
    Q_OBJECT

  public:
    explicit TResizeFrame(QWidget& Window);

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

  private:
    void FollowWindow();

    QWidget& m_Window;
    Qt::Edges m_Held;  // the edges the mouse holds while it resizes the window itself
    QRect m_StartGeometry;
    QPoint m_StartPos;  // global
};

// Where a window that would like to be Wanted big first opens on a screen whose free area (without
// panels and docks) is Free: as big as it likes where that fits, else as big as the free area, and
// centred in the free area. Both in the screen's logical pixels, so the same at any scale.
QRect FirstGeometry(QSize Wanted, const QRect& Free);

// Shows which control of Window has the keyboard focus: a ring in the accent colour around it, drawn
// over the window, for the controls that draw no focus of their own (picture buttons, views, the
// plan). The ring follows the focus through Window and its children, except into a child that has
// a ring of its own; a focus taken by a mouse click shows none. Returns the ring (a child of Window).
QWidget* ShowKeyboardFocus(QWidget& Window);

// Lets the borderless Window (MakeBorderless, with Bar its title bar) be resized from its edges and
// corners and maximised: the resize band along its outline, and the maximise picture and double
// click of its title bar.
TResizeFrame* MakeResizable(QWidget& Window, TTitleBar& Bar);

}  // namespace bfs
