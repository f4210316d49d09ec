#pragma once

#include <QWidget>

namespace bfs {

// The splash window shown while the program starts: borderless, rounded, white, always on top,
// centred, 452 by 252 pixels: the program's picture and its name.
class TStartForm : public QWidget {
    Q_OBJECT

  public:
    explicit TStartForm(QWidget* Parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* Event) override;
};

}  // namespace bfs
