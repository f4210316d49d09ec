#pragma once

#include <QPixmap>
#include <QString>

#include <string>

namespace bfs {

class TImageEx;

// A picture of the program's resources, ":/pictures/<Name>.png"; on a screen that scales, its sharp
// form "<Name>@2x.png" (device pixel ratio 2) when the program carries one. A null pixmap when there
// is no such picture.
QPixmap LoadPicture(const QString& Name);

// Shows the picture Name in Image, unless Image's Tag is 1 (a control whose picture must stay). Type
// is the resource type the windows name ("JPG"); every picture is found by its name alone. A picture
// the program does not carry is written to the error log (once per name) and the control keeps what
// it shows.
void LoadJpegResource(TImageEx* Image, const std::string& Name, const std::string& Type);

}  // namespace bfs
