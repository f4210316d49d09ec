// The balloon the task window shows a moment after the program starts, when both folders are set:
// pointing at Analyze, drawn over the main window as the desktop would show the two windows.

#include "Screens.h"
#include "model/UTConsts.h"
#include "platform/UTFolders.h"
#include "ui/TooltipUtil.h"
#include "ui/UFMain.h"
#include "ui/UFSyncMain.h"

#include <QBitmap>
#include <QLabel>
#include <QPainter>

#include <cstdio>

using namespace bfs;

namespace {

// W with the balloon of Tip over it, where the screen shows it.
void SaveWithBalloon(QWidget& W, const TToolTip& Tip, const QString& Name) {
    QWidget* balloon = Tip.TipWindow();
    if (!Tip.Active() || !balloon || !balloon->isVisible()) {
        std::fprintf(stderr, "screens: no balloon showed for %s\n", qPrintable(Name));
        ++g_Failures;
        return;
    }
    QPixmap picture = W.grab();
    const QPoint at = balloon->mapToGlobal(QPoint(0, 0)) - W.mapToGlobal(QPoint(0, 0));
    QPainter p(&picture);
    p.setClipRegion(balloon->mask().translated(at));
    p.drawPixmap(at, balloon->grab());
    p.end();
    auto* shown = new QLabel;
    shown->setPixmap(picture);
    shown->resize(picture.deviceIndependentSize().toSize());
    Save(*shown, Name);
    delete shown;
}

void BalloonScreens() {
    const std::string list = GetProgramFolder() + "tasklist.fs";
    std::remove(list.c_str());
    for (const char* name : {"Photos", "Documents"}) {
        TSyncTask t;
        t.SyncName = name;
        t.SyncID = std::string("{screens-balloon-") + name + "}";
        t.LFolder->FolerAllName = std::string("/home/anna/") + name;
        t.RFolder->DeviceType = DEVICE_WEBDAV;
        t.RFolder->FolerAllName = std::string("https://dav.example.org/backup/") + name;
        t.SaveToTaskList(1);
    }
    TFMain w;
    w.resize(1040, 660);
    w.show();
    w.LoadTaskList("");
    TFSyncMain& page = *w.Tabs()[0].Window;
    WaitFor([&] { return page.ToolTip->Active(); }, "the start-up balloon");
    SaveWithBalloon(w, *page.ToolTip, "main-window-start-balloon");
    page.ToolTip->Hide();
    w.close();
    std::remove(list.c_str());
}

const TScreens g_BalloonScreens(&BalloonScreens);

}  // namespace
