// Draws every picture of the program: plan marks, button and tab faces, the task window's action
// buttons, the close, minimise, maximise and restore pictures, the balloon icons and the application icon.
//
//   bfs-draw-pictures OUTDIR [--sheet SHEET.png]
//
// Writes OUTDIR/<name>.png and OUTDIR/<name>@2x.png for every picture, and OUTDIR/pictures.qrc that
// lists them (prefix "/pictures"). A list of pictures of one size is one strip, the pictures side by
// side. The 2x form is drawn at double size from the same shapes, never scaled from the 1x bitmap.
// With --sheet, also a contact sheet of every picture at 1x and 2x on the window and panel colours.
//
// The look follows the project's picture rules: one palette, 1.5 px strokes with round caps and
// joins, flat silhouettes, no text; faces are normal, lighter under the mouse, darker when pressed
// (content 1 px down), grey at 40% opacity when disabled.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QColor ACCENT(0x2F, 0x6F, 0xDE);  // copy left to right
const QColor GREEN(0x2E, 0x9E, 0x5B);   // copy right to left
const QColor RED(0xD6, 0x45, 0x45);     // delete, error
const QColor AMBER(0xE5, 0xA5, 0x0A);   // conflict, warning
const QColor GREY(0x8A, 0x8F, 0x98);    // same, do not copy, disabled marks
const QColor TEXT(0x1F, 0x23, 0x28);
const QColor WINDOW(0xFF, 0xFF, 0xFF);
const QColor PANEL(0xF4, 0xF6, 0xF8);
const QColor BORDER(0xD0, 0xD7, 0xDE);

constexpr qreal STROKE = 1.5;

QColor Mix(const QColor& A, const QColor& B, qreal T) {
    return QColor::fromRgbF(A.redF() + (B.redF() - A.redF()) * T, A.greenF() + (B.greenF() - A.greenF()) * T,
                            A.blueF() + (B.blueF() - A.blueF()) * T);
}

// Folders and files: the neutral grey-blue between the grey and the accent.
const QColor NEUTRAL = Mix(GREY, ACCENT, 0.35);
const QColor NEUTRAL_LIGHT = Mix(NEUTRAL, WINDOW, 0.35);
// The face of every button, between the panel and the border colour.
const QColor FACE = Mix(PANEL, BORDER, 0.5);

// The colour with its HSL lightness moved by Delta (0.08 = eight per cent lighter).
QColor Lightness(const QColor& C, qreal Delta) {
    const QColor h = C.toHsl();
    return QColor::fromHslF(h.hslHueF(), h.hslSaturationF(), std::clamp(h.lightnessF() + Delta, 0.0, 1.0));
}

enum class TFace { Normal, Hover, Pressed, Disabled };

// Logical coordinates on a painter scaled by S (1 or 2), origin at the picture's top left corner.
struct TCanvas {
    QPainter& P;
    qreal S;

    // A coordinate for the centre of an axis-aligned stroke of width W, moved so that the stroke's
    // first edge falls on a device pixel boundary: horizontal and vertical lines stay crisp.
    qreal Grid(qreal V, qreal W = STROKE) const {
        return (std::floor(V * S - W * S / 2 + 0.5) + W * S / 2) / S;
    }
    // A coordinate moved onto the nearest device pixel boundary (edges of filled shapes).
    qreal Edge(qreal V) const { return std::round(V * S) / S; }

    QPen Pen(const QColor& C, qreal W = STROKE) const {
        return QPen(C, W, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    }
    void Line(const QColor& C, QPointF A, QPointF B, qreal W = STROKE) const {
        if (A.x() == B.x()) A.rx() = B.rx() = Grid(A.x(), W);
        if (A.y() == B.y()) A.ry() = B.ry() = Grid(A.y(), W);
        P.setPen(Pen(C, W));
        P.setBrush(Qt::NoBrush);
        P.drawLine(A, B);
    }
    void Polyline(const QColor& C, const QPolygonF& Points, qreal W = STROKE) const {
        P.setPen(Pen(C, W));
        P.setBrush(Qt::NoBrush);
        P.drawPolyline(Points);
    }
    void Fill(const QColor& C, const QPainterPath& Path) const {
        P.setPen(Qt::NoPen);
        P.setBrush(C);
        P.drawPath(Path);
    }
    // A filled shape whose corners are rounded by a stroke of its own colour.
    void FillRounded(const QColor& C, const QPolygonF& Points, qreal W = STROKE) const {
        P.setPen(Pen(C, W));
        P.setBrush(C);
        P.drawPolygon(Points);
    }
    void Circle(const QColor& C, QPointF Centre, qreal R, qreal W = STROKE) const {
        P.setPen(Pen(C, W));
        P.setBrush(Qt::NoBrush);
        P.drawEllipse(Centre, R, R);
    }
    void Disc(const QColor& C, QPointF Centre, qreal R) const {
        P.setPen(Qt::NoPen);
        P.setBrush(C);
        P.drawEllipse(Centre, R, R);
    }
};

using TDraw = std::function<void(const TCanvas&)>;

// Draws D at full strength into a layer, then paints the layer in grey at 40% opacity: the disabled
// form of any picture.
void Disabled(const TCanvas& C, int Width, int Height, const TDraw& D) {
    QImage layer(qRound(Width * C.S), qRound(Height * C.S), QImage::Format_ARGB32);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(C.S, C.S);
        D(TCanvas{p, C.S});
    }
    for (int y = 0; y < layer.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(layer.scanLine(y));
        for (int x = 0; x < layer.width(); ++x) {
            const int g = qGray(line[x]);
            line[x] = qRgba(g, g, g, qAlpha(line[x]));
        }
    }
    C.P.save();
    C.P.setOpacity(0.4);
    C.P.drawImage(QRectF(0, 0, Width, Height), layer);
    C.P.restore();
}

// A rounded button face filling the picture: 1 px border, the fill and border by state.
void Face(const TCanvas& C, QRectF R, TFace F, qreal Radius) {
    QColor fill = FACE;
    QColor border = BORDER;
    switch (F) {
        case TFace::Normal:
        case TFace::Disabled:
            break;
        case TFace::Hover:
            fill = Lightness(FACE, 0.08);
            border = Lightness(BORDER, 0.04);
            break;
        case TFace::Pressed:
            fill = Lightness(FACE, -0.08);
            border = Lightness(BORDER, -0.08);
            break;
    }
    const qreal b = 1.0;
    const QRectF inner = R.adjusted(b / 2, b / 2, -b / 2, -b / 2);
    if (F == TFace::Disabled) {
        Disabled(C, qRound(R.right()), qRound(R.bottom()),
                 [&](const TCanvas& D) { Face(D, R, TFace::Normal, Radius); });
        return;
    }
    C.P.setPen(QPen(border, b));
    C.P.setBrush(fill);
    C.P.drawRoundedRect(inner, Radius, Radius);
}

// Flat toolbar-like buttons (menu, add task, close, minimise): no face until the mouse is over them.
void FlatFace(const TCanvas& C, QRectF R, TFace F, qreal Radius) {
    if (F == TFace::Normal) return;
    Face(C, R, F, Radius);
}

// An arrow along a horizontal line at Y from X0 to X1, the head at X1 (to the left when X1 < X0).
void Arrow(const TCanvas& C, const QColor& Col, qreal X0, qreal X1, qreal Y, qreal Head, qreal W = STROKE) {
    Y = C.Grid(Y, W);
    const qreal d = X1 > X0 ? -Head : Head;
    C.Line(Col, {X0, Y}, {X1, Y}, W);
    C.Polyline(Col, QPolygonF{{X1 + d, Y - Head}, {X1, Y}, {X1 + d, Y + Head}}, W);
}

// A filled arrow (flat silhouette) pointing along the horizontal: shaft of thickness T, head of
// half height H and length L.
QPainterPath SolidArrow(qreal X0, qreal X1, qreal Y, qreal T, qreal H, qreal L) {
    const qreal s = X1 > X0 ? 1 : -1;
    const qreal neck = X1 - s * L;
    QPainterPath p;
    p.moveTo(X0, Y - T / 2);
    p.lineTo(neck, Y - T / 2);
    p.lineTo(neck, Y - H);
    p.lineTo(X1, Y);
    p.lineTo(neck, Y + H);
    p.lineTo(neck, Y + T / 2);
    p.lineTo(X0, Y + T / 2);
    p.closeSubpath();
    return p;
}

// The folder silhouette in the box (X, Y, W, H): a back with its tab, a lighter front.
void Folder(const TCanvas& C, qreal X, qreal Y, qreal W, qreal H, const QColor& Back, const QColor& Front) {
    const qreal tab = std::round(H * 0.22);
    const qreal r = std::max(1.0, H / 10);
    QPainterPath back;
    back.moveTo(X + r, Y);
    back.lineTo(X + W * 0.38, Y);
    back.lineTo(X + W * 0.38 + tab, Y + tab);
    back.lineTo(X + W - r, Y + tab);
    back.quadTo(X + W, Y + tab, X + W, Y + tab + r);
    back.lineTo(X + W, Y + H - r);
    back.quadTo(X + W, Y + H, X + W - r, Y + H);
    back.lineTo(X + r, Y + H);
    back.quadTo(X, Y + H, X, Y + H - r);
    back.lineTo(X, Y + r);
    back.quadTo(X, Y, X + r, Y);
    C.Fill(Back, back);
    QPainterPath front;
    front.addRoundedRect(QRectF(X, Y + tab * 2, W, H - tab * 2), r, r);
    C.Fill(Front, front);
}

// The folder outline only (the neutral mark of a folder row in the action column).
void FolderOutline(const TCanvas& C, qreal X, qreal Y, qreal W, qreal H, const QColor& Col) {
    const qreal tab = 2;
    C.P.setPen(C.Pen(Col));
    C.P.setBrush(Qt::NoBrush);
    C.P.drawPolygon(QPolygonF{{X, Y},
                              {X + W * 0.4, Y},
                              {X + W * 0.4 + tab, Y + tab},
                              {X + W, Y + tab},
                              {X + W, Y + H},
                              {X, Y + H}});
}

// A sheet of paper with a folded corner.
void File(const TCanvas& C, qreal X, qreal Y, qreal W, qreal H, const QColor& Col) {
    const qreal fold = std::round(W * 0.4);
    const QPolygonF sheet{{X, Y}, {X + W - fold, Y}, {X + W, Y + fold}, {X + W, Y + H}, {X, Y + H}};
    C.P.setPen(C.Pen(Col));
    C.P.setBrush(WINDOW);
    C.P.drawPolygon(sheet);
    C.Polyline(Col, QPolygonF{{X + W - fold, Y}, {X + W - fold, Y + fold}, {X + W, Y + fold}});
}

// A waste bin 7 x 12 at (X, Y), whole pixels so that it stays crisp at 16 px: handle, lid, body with
// two ribs.
void Bin(const TCanvas& C, qreal X, qreal Y, const QColor& Col) {
    C.P.fillRect(QRectF(X + 2, Y, 3, 1), Col);
    C.P.fillRect(QRectF(X, Y + 1, 7, 2), Col);
    QPainterPath body;
    body.moveTo(X + 1, Y + 4);
    body.lineTo(X + 6, Y + 4);
    body.lineTo(X + 6, Y + 11);
    body.quadTo(X + 6, Y + 12, X + 5, Y + 12);
    body.lineTo(X + 2, Y + 12);
    body.quadTo(X + 1, Y + 12, X + 1, Y + 11);
    body.closeSubpath();
    C.Fill(Col, body);
    C.P.fillRect(QRectF(X + 2, Y + 5, 1, 6), WINDOW);
    C.P.fillRect(QRectF(X + 4, Y + 5, 1, 6), WINDOW);
}

// An amber rounded triangle with a white "!" (conflict, warning), in a Size box at (X, Y).
void Warning(const TCanvas& C, qreal X, qreal Y, qreal Size) {
    const qreal k = Size / 16;
    C.FillRounded(
        AMBER, QPolygonF{{X + 8 * k, Y + 1.5 * k}, {X + 15 * k, Y + 14 * k}, {X + 1 * k, Y + 14 * k}}, 2 * k);
    C.Line(WINDOW, {X + 8 * k, Y + 5.5 * k}, {X + 8 * k, Y + 9 * k}, STROKE * k);
    C.Disc(WINDOW, {C.Grid(X + 8 * k, STROKE * k), Y + 11.75 * k}, 0.95 * k);
}

// A red disc with a white cross (error), in a Size box.
void Error(const TCanvas& C, qreal X, qreal Y, qreal Size) {
    const qreal k = Size / 16;
    C.Disc(RED, {X + 8 * k, Y + 8 * k}, 7 * k);
    C.Line(WINDOW, {X + 5.25 * k, Y + 5.25 * k}, {X + 10.75 * k, Y + 10.75 * k}, STROKE * k);
    C.Line(WINDOW, {X + 10.75 * k, Y + 5.25 * k}, {X + 5.25 * k, Y + 10.75 * k}, STROKE * k);
}

// An accent disc with a white "i" (information), in a Size box.
void Information(const TCanvas& C, qreal X, qreal Y, qreal Size) {
    const qreal k = Size / 16;
    C.Disc(ACCENT, {X + 8 * k, Y + 8 * k}, 7 * k);
    C.Disc(WINDOW, {C.Grid(X + 8 * k, STROKE * k), Y + 4.75 * k}, 0.95 * k);
    C.Line(WINDOW, {X + 8 * k, Y + 7.25 * k}, {X + 8 * k, Y + 11.5 * k}, STROKE * k);
}

// The program's mark: an accent rounded square with two white arrows in opposite directions.
void SyncMark(const TCanvas& C, qreal X, qreal Y, qreal Size) {
    const qreal k = Size / 16;
    QPainterPath box;
    box.addRoundedRect(QRectF(X + 0.5 * k, Y + 0.5 * k, 15 * k, 15 * k), 3.5 * k, 3.5 * k);
    C.Fill(ACCENT, box);
    if (Size < 24) {
        Arrow(C, WINDOW, X + 4 * k, X + 12 * k, Y + 5.25 * k, 2.25 * k);
        Arrow(C, WINDOW, X + 12 * k, X + 4 * k, Y + 10.75 * k, 2.25 * k);
    } else {
        C.Fill(WINDOW, SolidArrow(X + 3.5 * k, X + 12.5 * k, Y + 5.5 * k, 1.6 * k, 2.6 * k, 3.2 * k));
        C.Fill(WINDOW, SolidArrow(X + 12.5 * k, X + 3.5 * k, Y + 10.5 * k, 1.6 * k, 2.6 * k, 3.2 * k));
    }
}

// --- The pictures -------------------------------------------------------------------------------

// Plan-view marks and the icons of the plan view's first column, 16 x 16.
void PlanMark(const TCanvas& C, int I) {
    switch (I) {
        case 0:  // empty
            break;
        case 1:  // same
            C.Line(GREY, {4, 5.75}, {12, 5.75});
            C.Line(GREY, {4, 10.25}, {12, 10.25});
            break;
        case 2:  // copy right to left
            Arrow(C, GREEN, 13, 3, 8, 4);
            break;
        case 3:  // copy left to right
            Arrow(C, ACCENT, 3, 13, 8, 4);
            break;
        case 4:  // folder row, see its contents
            FolderOutline(C, 2.75, 3.75, 10.5, 8.5, GREY);
            break;
        case 5:
            Folder(C, 1, 2, 14, 12, NEUTRAL, NEUTRAL_LIGHT);
            break;
        case 6:
            File(C, 3.25, 1.25, 9.5, 13.5, NEUTRAL);
            break;
        case 7:  // the task: the root row
            SyncMark(C, 0, 0, 16);
            break;
        case 8:  // do not copy
            C.Circle(GREY, {8, 8}, 5.5);
            C.Line(GREY, {4.25, 4.25}, {11.75, 11.75});
            break;
        case 9:  // conflict
            Warning(C, 0, 0, 16);
            break;
        case 10:  // delete on the left
            Arrow(C, RED, 6.75, 1.25, 9, 2.75);
            Bin(C, 8, 2, RED);
            break;
        case 11:  // delete on the right
            Bin(C, 1, 2, RED);
            Arrow(C, RED, 9.25, 14.75, 9, 2.75);
            break;
        case 12:  // error
            Error(C, 0, 0, 16);
            break;
    }
}

// The direction of a task on its options button, 55 x 40: the two sides as folders, the arrows of
// the directions between them.
void TaskDirection(const TCanvas& C, int I) {
    Face(C, QRectF(0, 0, 55, 40), TFace::Normal, 5);
    Folder(C, 6, 13, 13, 11, NEUTRAL, NEUTRAL_LIGHT);
    Folder(C, 36, 13, 13, 11, NEUTRAL, NEUTRAL_LIGHT);
    switch (I) {
        case 0:  // no direction yet
            for (qreal x : {23.5, 27.5, 31.5}) C.Disc(GREY, {x, 19}, 1.1);
            break;
        case 1:  // two-way
            Arrow(C, ACCENT, 22.5, 32.5, 15.75, 3);
            Arrow(C, GREEN, 32.5, 22.5, 22.25, 3);
            break;
        case 2:
            Arrow(C, ACCENT, 22.5, 32.5, 19, 3.5);
            break;
        case 3:
            Arrow(C, GREEN, 32.5, 22.5, 19, 3.5);
            break;
    }
}

// The magnifier over two listings.
void AnalyzeGlyph(const TCanvas& C) {
    for (int row = 0; row < 4; ++row) {
        const qreal y = 11 + row * 4.5;
        C.Line(GREY, {8.5, y}, {17, y});
        if (row < 2) C.Line(GREY, {22, y}, {30.5, y});
    }
    // The lens and its handle are filled shapes, heavy enough for a 40 px button.
    const QPointF centre(22.5, 21.5);
    QPainterPath lens;
    lens.addEllipse(centre, 7.25, 7.25);
    QPainterPath glass;
    glass.addEllipse(centre, 5, 5);
    C.Fill(QColor(255, 255, 255, 210), glass);
    C.Fill(ACCENT, lens.subtracted(glass));
    QPainterPath handle;
    handle.addRoundedRect(QRectF(-1.75, 0, 3.5, 7.5), 1.75, 1.75);
    C.Fill(ACCENT, QTransform().translate(27, 26).rotate(-45).map(handle));
}

void SyncGlyph(const TCanvas& C) {
    C.Fill(ACCENT, SolidArrow(8, 32, 15, 3, 5.5, 7));
    C.Fill(GREEN, SolidArrow(32, 8, 25.5, 3, 5.5, 7));
}

void CancelGlyph(const TCanvas& C) {
    C.Disc(RED, {20, 20}, 11);
    QPainterPath stop;
    stop.addRoundedRect(QRectF(C.Edge(16), C.Edge(16), 8, 8), 1.5, 1.5);
    C.Fill(WINDOW, stop);
}

// A 40 x 40 action button of the task window: 1 normal, 2 under the mouse, 3 disabled.
TDraw ActionButton(std::function<void(const TCanvas&)> Glyph, TFace F) {
    return [Glyph, F](const TCanvas& C) {
        const auto draw = [&](const TCanvas& D) {
            Face(D, QRectF(0, 0, 40, 40), F == TFace::Disabled ? TFace::Normal : F, 6);
            Glyph(D);
        };
        if (F == TFace::Disabled)
            Disabled(C, 40, 40, draw);
        else
            draw(C);
    };
}

// The glyphs of the borderless windows' title-bar pictures.
enum class TWindowGlyph { Close, Minimise, Maximise, Restore };

// Close, minimise, maximise and restore of the borderless windows, 16 x 16: 1 normal, 2 under the
// mouse. Maximise is one window outline; restore is two, the one behind showing only where the front
// one does not cover it.
TDraw WindowButton(TWindowGlyph G, TFace F) {
    return [G, F](const TCanvas& C) {
        FlatFace(C, QRectF(0, 0, 16, 16), F, 3);
        switch (G) {
            case TWindowGlyph::Close:
                C.Line(TEXT, {4.75, 4.75}, {11.25, 11.25});
                C.Line(TEXT, {11.25, 4.75}, {4.75, 11.25});
                break;
            case TWindowGlyph::Minimise:
                C.Line(TEXT, {4.5, 8}, {11.5, 8});
                break;
            case TWindowGlyph::Maximise:
                C.P.setPen(C.Pen(TEXT));
                C.P.setBrush(Qt::NoBrush);
                C.P.drawRect(QRectF(QPointF(C.Grid(4.5), C.Grid(4.5)), QPointF(C.Grid(11.5), C.Grid(11.5))));
                break;
            case TWindowGlyph::Restore:
                C.P.setPen(C.Pen(TEXT));
                C.P.setBrush(Qt::NoBrush);
                C.P.drawRect(QRectF(QPointF(C.Grid(3.5), C.Grid(6.5)), QPointF(C.Grid(9.5), C.Grid(12.5))));
                C.Polyline(TEXT, QPolygonF{{C.Grid(6.5), C.Grid(6.5)},
                                           {C.Grid(6.5), C.Grid(3.5)},
                                           {C.Grid(12.5), C.Grid(3.5)},
                                           {C.Grid(12.5), C.Grid(9.5)},
                                           {C.Grid(9.5), C.Grid(9.5)}});
                break;
        }
    };
}

// A page tab, 75 x 27: 0 off (lower, the face colour), 1 on (the window colour with an accent
// strip, open at the bottom so it joins its page).
void PageTab(const TCanvas& C, qreal X, qreal W, qreal H, bool On, bool LeftEdge, bool RightEdge) {
    const qreal top = On ? 0.5 : 3.5;
    const qreal r = 4;
    const qreal left = X + (LeftEdge ? 0.5 : 0);
    const qreal right = X + W - (RightEdge ? 0.5 : 0);
    QPainterPath outline;
    outline.moveTo(left, H);
    if (LeftEdge) {
        outline.lineTo(left, top + r);
        outline.quadTo(left, top, left + r, top);
    } else {
        outline.moveTo(left, top);
    }
    if (RightEdge) {
        outline.lineTo(right - r, top);
        outline.quadTo(right, top, right, top + r);
        outline.lineTo(right, H);
    } else {
        outline.lineTo(right, top);
    }
    QPainterPath body = outline;
    body.lineTo(right, H);
    body.lineTo(left, H);
    C.Fill(On ? WINDOW : FACE, body);
    C.P.setPen(QPen(BORDER, 1.0));
    C.P.setBrush(Qt::NoBrush);
    C.P.drawPath(outline);
    if (On) {
        C.P.save();
        C.P.setClipPath(body, Qt::IntersectClip);
        C.P.fillRect(QRectF(X, 0, W, 2.5), ACCENT);
        C.P.restore();
    } else {
        C.Line(BORDER, {X, H - 0.5}, {X + W, H - 0.5}, 1.0);
    }
}

// Tab-strip scroll buttons, 5 x 10: a chevron, grey, accent under the mouse.
void ScrollChevron(const TCanvas& C, int I) {
    const bool right = I < 2;
    const QColor col = (I % 2) ? ACCENT : GREY;
    if (right)
        C.Polyline(col, QPolygonF{{1.25, 2}, {3.75, 5}, {1.25, 8}});
    else
        C.Polyline(col, QPolygonF{{3.75, 2}, {1.25, 5}, {3.75, 8}});
}

struct TPicture {
    const char* Name;
    int Width;
    int Height;
    int Count;
    std::function<void(const TCanvas&, int)> Draw;
};

TPicture Single(const char* Name, int Size, TDraw D) {
    return {Name, Size, Size, 1, [D](const TCanvas& C, int) { D(C); }};
}

std::vector<TPicture> Pictures() {
    const TFace faces3[] = {TFace::Normal, TFace::Hover, TFace::Pressed};
    std::vector<TPicture> list;
    list.push_back({"ImageList1", 16, 16, 13, PlanMark});
    list.push_back({"iml_button", 55, 40, 4, TaskDirection});
    list.push_back({"bigbutton", 79, 26, 3,
                    [faces3](const TCanvas& C, int I) { Face(C, QRectF(0, 0, 79, 26), faces3[I], 4); }});
    list.push_back(
        {"TabIL", 75, 27, 2, [](const TCanvas& C, int I) { PageTab(C, 0, 75, 27, I == 1, true, true); }});
    list.push_back({"buttonImageList", 75, 24, 4, [](const TCanvas& C, int I) {
                        const TFace f[] = {TFace::Normal, TFace::Hover, TFace::Disabled, TFace::Pressed};
                        Face(C, QRectF(0, 0, 75, 24), f[I], 4);
                    }});
    list.push_back({"moveil", 5, 10, 4, ScrollChevron});
    // The main window's own lists: the tab strip's edges and middles, the add-task button, the menu buttons.
    list.push_back({"iml_main", 6, 27, 6, [](const TCanvas& C, int I) {
                        // 0 selected right edge, 1 selected middle, 2 selected left edge,
                        // 3 unselected right edge, 4 unselected left edge, 5 unselected middle.
                        const bool on = I < 3;
                        const bool leftEdge = I == 2 || I == 4;
                        const bool rightEdge = I == 0 || I == 3;
                        PageTab(C, leftEdge ? 0 : -6, leftEdge || rightEdge ? 12 : 18, 27, on, leftEdge,
                                rightEdge);
                    }});
    list.push_back({"TastAddImagelist", 22, 22, 3, [faces3](const TCanvas& C, int I) {
                        FlatFace(C, QRectF(0, 0, 22, 22), faces3[I], 4);
                        const qreal dy = I == 2 ? 1 : 0;
                        C.Line(ACCENT, {11, 6 + dy}, {11, 16 + dy});
                        C.Line(ACCENT, {6, 11 + dy}, {16, 11 + dy});
                    }});
    list.push_back({"MenuButtonIL", 57, 22, 3,
                    [faces3](const TCanvas& C, int I) { FlatFace(C, QRectF(0, 0, 57, 22), faces3[I], 4); }});
    // Folder selection window: 0 all of the network, 1 a host, device or root address, 2 a folder.
    list.push_back({"ilnet", 16, 16, 3, [](const TCanvas& C, int I) {
                        switch (I) {
                            case 0:
                                C.Circle(NEUTRAL, {8, 8}, 6.25);
                                C.P.drawEllipse(QPointF(8, 8), 2.75, 6.25);
                                C.Line(NEUTRAL, {2, 8}, {14, 8});
                                break;
                            case 1: {
                                QPainterPath screen;
                                screen.addRoundedRect(QRectF(1, 2, 14, 10), 1.5, 1.5);
                                C.Fill(NEUTRAL, screen);
                                C.P.fillRect(QRectF(2.5, 3.5, 11, 7), NEUTRAL_LIGHT);
                                C.Line(NEUTRAL, {8, 12}, {8, 14});
                                C.Line(NEUTRAL, {5, 14.25}, {11, 14.25});
                                break;
                            }
                            case 2:
                                Folder(C, 1, 2, 14, 12, NEUTRAL, NEUTRAL_LIGHT);
                                break;
                        }
                    }});
    // Balloon tip icons: 0 none, 1 information, 2 warning, 3 error.
    list.push_back({"TipIcon", 16, 16, 4, [](const TCanvas& C, int I) {
                        if (I == 1) Information(C, 0, 0, 16);
                        if (I == 2) Warning(C, 0, 0, 16);
                        if (I == 3) Error(C, 0, 0, 16);
                    }});
    list.push_back(Single("BitBtn_Analyze1", 40, ActionButton(AnalyzeGlyph, TFace::Normal)));
    list.push_back(Single("BitBtn_Analyze2", 40, ActionButton(AnalyzeGlyph, TFace::Hover)));
    list.push_back(Single("BitBtn_Sync1", 40, ActionButton(SyncGlyph, TFace::Normal)));
    list.push_back(Single("BitBtn_Sync2", 40, ActionButton(SyncGlyph, TFace::Hover)));
    list.push_back(Single("BitBtn_Sync3", 40, ActionButton(SyncGlyph, TFace::Disabled)));
    list.push_back(Single("BitBtn_cancel1", 40, ActionButton(CancelGlyph, TFace::Normal)));
    list.push_back(Single("BitBtn_cancel2", 40, ActionButton(CancelGlyph, TFace::Hover)));
    list.push_back(Single("BitBtn_cancel3", 40, ActionButton(CancelGlyph, TFace::Disabled)));
    // Dialogs use "SMCLoseBtn", the main window "CloseBtn", "MinBtn" and "MaxBtn" ("RestoreBtn" while
    // maximised): one look for all.
    const struct {
        const char* Normal;
        const char* Hover;
        TWindowGlyph Glyph;
    } windowButtons[] = {{"SMCLoseBtn1", "SMCLoseBtn2", TWindowGlyph::Close},
                         {"CloseBtn1", "CloseBtn2", TWindowGlyph::Close},
                         {"MinBtn1", "MinBtn2", TWindowGlyph::Minimise},
                         {"MaxBtn1", "MaxBtn2", TWindowGlyph::Maximise},
                         {"RestoreBtn1", "RestoreBtn2", TWindowGlyph::Restore}};
    for (const auto& b : windowButtons) {
        list.push_back(Single(b.Normal, 16, WindowButton(b.Glyph, TFace::Normal)));
        list.push_back(Single(b.Hover, 16, WindowButton(b.Glyph, TFace::Hover)));
    }
    list.push_back(Single("AppIcon", 32, [](const TCanvas& C) { SyncMark(C, 0, 0, 32); }));
    return list;
}

QImage Render(const TPicture& Pic, int Scale) {
    QImage image(Pic.Width * Pic.Count * Scale, Pic.Height * Scale, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(Scale, Scale);
    for (int i = 0; i < Pic.Count; ++i) {
        p.save();
        p.translate(i * Pic.Width, 0);
        p.setClipRect(QRectF(0, 0, Pic.Width, Pic.Height));
        Pic.Draw(TCanvas{p, static_cast<qreal>(Scale)}, i);
        p.restore();
    }
    return image;
}

bool WriteFile(const QString& Name, const QByteArray& Data) {
    QSaveFile f(Name);
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.write(Data);
    return f.commit();
}

bool SavePng(const QImage& Image, const QString& Name) {
    QSaveFile f(Name);
    return f.open(QIODevice::WriteOnly) && Image.save(&f, "PNG") && f.commit();
}

// The contact sheet: one row per list of pictures (single pictures of one size share a row), with
// its names, the 1x pictures on the window colour above the same on the panel colour, and beside
// them the 2x pictures the same way.
QImage ContactSheet(const std::vector<TPicture>& List) {
    struct TRow {
        QStringList Names;
        bool Singles;
        int Width;
        int Height;
        std::vector<QImage> One;
        std::vector<QImage> Two;
    };
    std::vector<TRow> rows;
    for (const auto& pic : List) {
        const bool joins = pic.Count == 1 && !rows.empty() && rows.back().Singles &&
                           rows.back().Width == pic.Width && rows.back().Height == pic.Height;
        if (!joins) rows.push_back({{}, pic.Count == 1, pic.Width, pic.Height, {}, {}});
        rows.back().Names << QString::fromLatin1(pic.Name);
        rows.back().One.push_back(Render(pic, 1));
        rows.back().Two.push_back(Render(pic, 2));
    }
    const int pad = 14;
    const int label = 150;
    const auto stripWidth = [](const std::vector<QImage>& Images, int Gap) {
        int w = 0;
        for (const auto& i : Images) w += i.width() + Gap;
        return w;
    };
    int width = 0;
    int height = pad;
    for (const auto& r : rows) {
        width = std::max(width, label + stripWidth(r.One, 4) + pad + stripWidth(r.Two, 8) + pad);
        height += std::max(4 * r.Height, 14 * static_cast<int>(r.Names.size())) + pad;
    }
    QImage sheet(width, height, QImage::Format_ARGB32);
    sheet.fill(QColor(0xE0, 0xE0, 0xE0));
    QPainter p(&sheet);
    p.setFont(QFont(QStringLiteral("Sans"), 7));
    int y = pad;
    for (const auto& r : rows) {
        const int rowHeight = std::max(4 * r.Height, 14 * static_cast<int>(r.Names.size()));
        p.setPen(TEXT);
        QString caption = QStringLiteral("%1 x %2").arg(r.Width).arg(r.Height);
        for (const auto& n : r.Names) caption += QLatin1Char('\n') + n;
        p.drawText(QRect(pad, y, label - pad, rowHeight), Qt::AlignLeft | Qt::AlignTop, caption);
        int x = label;
        for (int scale : {1, 2}) {
            const auto& images = scale == 1 ? r.One : r.Two;
            const int gap = 4 * scale;
            const int w = stripWidth(images, gap);
            const int h = r.Height * scale;
            p.fillRect(x, y, w, h, WINDOW);
            p.fillRect(x, y + h, w, h, PANEL);
            int ix = x;
            for (const auto& image : images) {
                p.drawImage(ix + gap / 2, y, image);
                p.drawImage(ix + gap / 2, y + h, image);
                ix += image.width() + gap;
            }
            x += w + pad;
        }
        y += rowHeight + pad;
    }
    return sheet;
}

// The program's icon for the desktop's icon theme: the same mark drawn at each size the theme
// asks for, and as a scalable picture of the same shapes.
constexpr int THEME_ICON_SIZES[] = {16, 24, 32, 48, 64, 128, 256};

QString SvgPath(const QPainterPath& Path) {
    QString d;
    const auto n = [](qreal V) { return QString::number(V, 'f', 3); };
    for (int i = 0; i < Path.elementCount(); ++i) {
        const QPainterPath::Element e = Path.elementAt(i);
        if (e.isMoveTo()) {
            d += QStringLiteral("M%1 %2").arg(n(e.x), n(e.y));
        } else if (e.isLineTo()) {
            d += QStringLiteral("L%1 %2").arg(n(e.x), n(e.y));
        } else if (e.isCurveTo() && i + 2 < Path.elementCount()) {
            const QPainterPath::Element c2 = Path.elementAt(i + 1), end = Path.elementAt(i + 2);
            d += QStringLiteral("C%1 %2 %3 %4 %5 %6")
                     .arg(n(e.x), n(e.y), n(c2.x), n(c2.y), n(end.x), n(end.y));
            i += 2;
        }
    }
    return d + QLatin1Char('Z');
}

// The mark of SyncMark at its larger form, on a 16 by 16 canvas.
QByteArray IconSvg() {
    QPainterPath box;
    box.addRoundedRect(QRectF(0.5, 0.5, 15, 15), 3.5, 3.5);
    const std::pair<QColor, QPainterPath> shapes[] = {
        {ACCENT, box},
        {WINDOW, SolidArrow(3.5, 12.5, 5.5, 1.6, 2.6, 3.2)},
        {WINDOW, SolidArrow(12.5, 3.5, 10.5, 1.6, 2.6, 3.2)},
    };
    QString svg = QStringLiteral(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 16 16\">\n");
    for (const auto& [color, path] : shapes)
        svg += QStringLiteral("  <path fill=\"%1\" d=\"%2\"/>\n").arg(color.name(), SvgPath(path));
    return (svg + QStringLiteral("</svg>\n")).toUtf8();
}

// <Dir>/<size>x<size>/apps/<Name>.png for each theme size and <Dir>/scalable/apps/<Name>.svg.
bool WriteThemeIcons(const QString& Dir, const QString& Name) {
    for (int size : THEME_ICON_SIZES) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(Dir).arg(size);
        const TPicture icon = Single("AppIcon", size, [size](const TCanvas& C) { SyncMark(C, 0, 0, size); });
        if (!QDir().mkpath(folder) || !SavePng(Render(icon, 1), folder + QLatin1Char('/') + Name + ".png"))
            return false;
    }
    const QString folder = Dir + QStringLiteral("/scalable/apps");
    return QDir().mkpath(folder) && WriteFile(folder + QLatin1Char('/') + Name + ".svg", IconSvg());
}

}  // namespace

int main(int argc, char* argv[]) {
    QString outDir;
    QString sheetName;
    QString iconDir;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--sheet") && i + 1 < argc)
            sheetName = QString::fromLocal8Bit(argv[++i]);
        else if (arg == QLatin1String("--icons") && i + 1 < argc)
            iconDir = QString::fromLocal8Bit(argv[++i]);
        else if (outDir.isEmpty())
            outDir = arg;
    }
    if (outDir.isEmpty()) {
        std::fprintf(stderr, "usage: bfs-draw-pictures OUTDIR [--sheet SHEET.png] [--icons THEMEDIR]\n");
        return 2;
    }
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "bfs-draw-pictures: cannot create %s\n", qPrintable(outDir));
        return 1;
    }
    const QDir dir(outDir);
    const std::vector<TPicture> list = Pictures();
    QStringList files;
    for (const auto& pic : list) {
        const QString base = QString::fromLatin1(pic.Name);
        for (int scale : {1, 2}) {
            const QString file = base + (scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png"));
            if (!SavePng(Render(pic, scale), dir.filePath(file))) {
                std::fprintf(stderr, "bfs-draw-pictures: cannot write %s\n", qPrintable(dir.filePath(file)));
                return 1;
            }
            files << file;
        }
    }
    files.sort();
    QByteArray qrc = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/pictures\">\n";
    for (const auto& f : files) qrc += "    <file>" + f.toUtf8() + "</file>\n";
    qrc += "  </qresource>\n</RCC>\n";
    if (!WriteFile(dir.filePath(QStringLiteral("pictures.qrc")), qrc)) {
        std::fprintf(stderr, "bfs-draw-pictures: cannot write pictures.qrc\n");
        return 1;
    }
    if (!iconDir.isEmpty() && !WriteThemeIcons(iconDir, QStringLiteral("bramlow-file-sync"))) {
        std::fprintf(stderr, "bfs-draw-pictures: cannot write the icons into %s\n", qPrintable(iconDir));
        return 1;
    }
    if (!sheetName.isEmpty()) {
        // The labels of the sheet need fonts, so an application; the pictures themselves do not.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication app(argc, argv);
        if (!SavePng(ContactSheet(list), sheetName)) {
            std::fprintf(stderr, "bfs-draw-pictures: cannot write %s\n", qPrintable(sheetName));
            return 1;
        }
    }
    return 0;
}
