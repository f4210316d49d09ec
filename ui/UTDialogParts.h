#pragma once

#include <QPixmap>
#include <QString>

#include <initializer_list>
#include <span>
#include <utility>

class QGridLayout;
class QStackedWidget;
class QWidget;

namespace bfs {

class TImageEx;
class TImageExButton;

// The picture buttons the dialog windows share: the dialog buttons (OK, Cancel, Apply, Browse,
// Connect...) on the faces of DM->bigbutton and the page tabs on the faces of DM->TabIL, each a
// picture button with its caption in a label over it.

// The sizes of the faces; a button is never smaller than its face.
inline constexpr int TAB_WIDTH = 75;  // DM->TabIL
inline constexpr int TAB_HEIGHT = 27;
inline constexpr int BUTTON_WIDTH = 79;  // DM->bigbutton
inline constexpr int BUTTON_HEIGHT = 26;

// A face 8% lighter, for a picture that has no face of its own under the mouse.
QPixmap LighterFace(const QPixmap& Face);

// Makes a picture button and its caption and puts both into one cell of Grid, the caption over the
// button. The caption lets the mouse through, so that pointing at it or clicking it is pointing at
// or clicking the button.
void StackFace(QWidget* Parent, QGridLayout* Grid, int Row, int Column, TImageExButton*& Button,
               TImageEx*& Caption);
// The same in a widget of their own, to put into any layout (hiding the holder hides both).
QWidget* FaceHolder(QWidget* Parent, TImageExButton*& Button, TImageEx*& Caption);

// Sizes a button and its caption alike: at least Width x Height, wider and taller when the caption's
// text needs it. The caption's text becomes the button's accessible name and its tooltip; a window
// that gives a button a hint of its own sets it after this.
void FitFace(TImageExButton* Button, TImageEx* Caption, int Width, int Height);

// The dialog-button faces: normal, under the mouse, and pressed while the left button is down on an
// enabled button; after the click the face of the state the button is in comes back.
void UseBigButtonFaces(TImageExButton* Button);

// The tab faces: normal, the same lighter under the mouse, and selected. The window selects.
void UseTabFaces(TImageExButton* Tab);
// A tab of a row of page tabs: the tab faces, selected by its click, and the only selected tab
// among its siblings.
void UsePageTabFaces(TImageExButton* Tab);

// A row of page tabs, left-aligned in the order given, each with the page-tab faces. Makes the tabs
// and their captions into the pointers given; returns the row.
QWidget* NewPageTabRow(QWidget* Parent, std::initializer_list<std::pair<TImageExButton**, TImageEx**>> Tabs);
// Selects Button among Tabs and shows its page, page i of Pages for Tabs[i]; the tab selected
// before (Current) returns to normal and Button becomes Current. A tab that is not in Tabs, or
// is Current already, changes nothing.
void ShowPageTab(std::span<TImageExButton* const> Tabs, QStackedWidget* Pages, TImageExButton*& Current,
                 TImageExButton* Button);

// A complete dialog button with the caption Text, at least the size of its face, shown normal.
// Returns its holder to put into a layout.
QWidget* NewDialogButton(QWidget* Parent, const QString& Text, TImageExButton*& Button, TImageEx*& Caption);

// The text said when a typed folder address fits no kind of storage (FolderFormOf).
QString FolderFormError(const QString& Address);

}  // namespace bfs
