// The template windows and the about window: the list of templates with one chosen, the name of a new
// template (and the box for a name it refuses, and the focus on its OK button), and the about window.

#include "Screens.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "ui/DMUnit.h"
#include "ui/FAbout.h"
#include "ui/ImageEx.h"
#include "ui/uF_TastTemplate.h"
#include "ui/uF_TemplateList.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>

#include <cstdio>
#include <memory>

using namespace bfs;

namespace {

QString Lang(const char* Key) {
    return QString::fromStdString(SysConfig().GetText(Key));
}

void TemplateAboutScreens() {
    // As it opens: the first line chosen.
    TF_TemplateList list;
    list.Label1->setText(Lang("templist"));
    list.SetTemplates({"Home", "Office", "Photos to NAS", "Weekly backup", "Office"});
    list.show();
    Save(list, "template-list");
    list.close();

    TF_TastTemplate name;
    name.Label1->setText(Lang("templatename"));
    name.Edit_name->setText("Weekly backup");
    name.show();
    Save(name, "template-name");
    // The keyboard's place on a picture button.
    name.activateWindow();
    WaitFor([&] { return name.isActiveWindow(); }, "the template name window's activation");
    name.OKButton->setFocus();
    Save(name, "template-name-focus-ok");
    name.Edit_name->setFocus();

    std::unique_ptr<QMessageBox> box;
    const TMessageBoxFunc shown = MessageBoxFunc;
    MessageBoxFunc = [&](const QString& Text, const QString& Caption, int Flags) {
        box = BuildMessageBox(Text, Caption, Flags, &name);
        return IDOK;
    };
    name.Edit_name->setText("Home, Office");
    name.BitBtn1Click();
    MessageBoxFunc = shown;
    if (!box || !name.isVisible()) {
        std::fprintf(stderr, "screens: the refused template name never showed its message\n");
        ++g_Failures;
    } else {
        box->show();
        Save(*box, "template-name-refused-message");
    }
    name.close();

    if (RegistryInfo.HomePage.empty()) ReadRegistryInfo();
    TAboutBox about;
    about.show();
    Save(about, "about");
    about.close();
}

const TScreens g_TemplateAboutScreens(&TemplateAboutScreens);

}  // namespace
