#pragma once

#include <QPixmap>
#include <QString>

#include <vector>

namespace bfs {

// A list of pictures of one size, as the windows share them: button faces, tab faces, plan marks.
// Loaded from a strip in the program's resources, ":/pictures/<Name>.png", the pictures side by side,
// each Width pixels wide; with "<Name>@2x.png" beside it, every picture also has its sharp 2x form
// (device pixel ratio 2), used on screens that scale.
class TImageList {
  public:
    TImageList(int Width, int Height) : m_Width(Width), m_Height(Height) {}

    // Replaces the list by the pictures of the strip; false when the strip is missing or its height
    // is not Height.
    bool LoadStrip(const QString& Name);
    int Width() const { return m_Width; }
    int Height() const { return m_Height; }
    int Count() const { return static_cast<int>(m_Images.size()); }
    // Picture Index; a null pixmap when there is none.
    QPixmap Pixmap(int Index) const;
    // Appends a picture (scaled to the list's size when it differs); its index.
    int Add(const QPixmap& Picture);
    // Keeps the first Count pictures.
    void Truncate(int Count);

  private:
    int m_Width;
    int m_Height;
    std::vector<QPixmap> m_Images;
};

}  // namespace bfs
