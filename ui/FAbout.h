#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QLabel;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// The maker's contact address that the about window shows and writes to.
inline constexpr const char* CONTACT_EMAIL = "support@bramlow-file-sync.example";

// The program's name and its version (the build's, ProgramVersion()), with links to the product's web page
// (the registry's HomePage) and to the contact address. A click on the background, the close picture, Escape
// or OK closes it.
class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    explicit TAboutBox(QWidget* Parent = nullptr);

    // Opens a link's address with the desktop's opener; OpenURL unless replaced (tests replace it).
    std::function<void(const std::string& Address)> OpenLink;

    void OKButtonClick();  // result 1
    void Image1Click();    // the background: closes the window
    void lb_website2Click();
    void lb_Email2Click();

    TTitleBar* TitleBar = nullptr;  // its close picture (SMCLoseBtn) closes the window
    TImageEx* Image1 = nullptr;     // the background
    QLabel* lb_Version = nullptr;
    QLabel* lb_website = nullptr;
    TImageEx* lb_website2 = nullptr;
    QLabel* lb_Email = nullptr;
    TImageEx* lb_Email2 = nullptr;
    TImageExButton* OKButton = nullptr;
    TImageEx* OKLabel = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;

  private:
    // The texts: the version line and the two addresses.
    void FormShow();
};

}  // namespace bfs
