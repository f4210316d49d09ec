// The program options window: both pages with settings filled in, a refused pattern with its box,
// and the focus on a picture button.

#include "Screens.h"
#include "model/UTSysConfig.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFFileSyncOptions.h"

#include <QMessageBox>
#include <QTableWidget>

#include <cstdio>
#include <memory>

using namespace bfs;

namespace {

void OptionsScreens() {
    TSysConfig& cfg = SysConfig();
    const std::vector<std::string> exclude = cfg.ExcludeFilter, include = cfg.IncludeFilter;
    const int32_t saveLog = cfg.SaveLog, showIcon = cfg.ShowTrayIcon;
    cfg.ExcludeFilter = {"*.tmp", "~*", "Thumbs.db", "cache\\*"};
    cfg.IncludeFilter = {"*.doc", "*.odt"};
    cfg.SaveLog = cfg.ShowTrayIcon = 1;

    TFFileSyncOptions w;
    w.show();
    Save(w, "options-general");
    w.SelectTab(w.select2button);
    w.vedit_exclude->setCurrentCell(1, 0);
    Save(w, "options-filter");

    // A pattern holding the list separator: refused, its row current.
    std::unique_ptr<QMessageBox> box;
    const TMessageBoxFunc shown = MessageBoxFunc;
    MessageBoxFunc = [&](const QString& Text, const QString& Caption, int Flags) {
        box = BuildMessageBox(Text, Caption, Flags, &w);
        return IDOK;
    };
    w.vedit_include->item(1, 0)->setText("*.odt,*.ods");
    w.SelectTab(w.select1Button);
    w.applyButton->Click();
    MessageBoxFunc = shown;
    if (!box) {
        std::fprintf(stderr, "screens: the refused pattern never showed its message\n");
        ++g_Failures;
    } else {
        Save(w, "options-refused");
        box->show();
        Save(*box, "options-refused-message");
    }
    // The keyboard's place on a picture button.
    box.reset();
    w.activateWindow();
    WaitFor([&] { return w.isActiveWindow(); }, "the options window's activation");
    w.vedit_include->item(1, 0)->setText("*.odt");
    w.SelectTab(w.select1Button);
    w.applyButton->setFocus();
    Save(w, "options-focus-apply");
    w.close();

    cfg.ExcludeFilter = exclude;
    cfg.IncludeFilter = include;
    cfg.SaveLog = saveLog;
    cfg.ShowTrayIcon = showIcon;
}

const TScreens g_OptionsScreens(&OptionsScreens);

}  // namespace
