#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// Asks the name under which the current task is saved as a template. The caller puts the prompt into
// Label1, shows the window modally and, on OK (result 1), reads Edit_name.
class TF_TastTemplate : public QDialog {
    Q_OBJECT

  public:
    explicit TF_TastTemplate(QWidget* Parent = nullptr);

    // Whether Name (blanks at either end already removed) can name a template: a file in the program
    // folder and one entry of the comma-separated TemplateList. None of \ / : * ? > < | nor "," nor a
    // control character, and not "." or "..". The empty name passes: the caller then saves nothing.
    static bool IsTemplateNameValid(const QString& Name);

    // OK: a valid name closes the window with result 1; any other shows the "tasknameerror" box and
    // the window stays open for another try.
    void BitBtn1Click();
    // Cancel: result 2.
    void CanceButtonClick();

    TTitleBar* TitleBar = nullptr;
    QLabel* Label1 = nullptr;  // the prompt
    QLineEdit* Edit_name = nullptr;
    TImageExButton* OKButton = nullptr;
    TImageEx* Label2 = nullptr;  // "OK"
    TImageExButton* CanceButton = nullptr;
    TImageEx* Label3 = nullptr;  // "Cancel"
};

}  // namespace bfs
