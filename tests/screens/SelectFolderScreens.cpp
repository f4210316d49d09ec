// The folder window: the local page on a folder tree, a WebDAV page connected to a server (an
// in-memory stand-in, so the picture never changes), and the device page with no device attached and
// with one (a stand-in too).

#include "Screens.h"
#include "engine/MemFileOper.h"
#include "engine/UTSyncTask.h"
#include "storage/UTWMFileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFSelectFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QTreeView>
#include <QTreeWidget>

#include <cstdio>
#include <memory>
#include <tuple>

using namespace bfs;
using namespace bfs::test;

namespace {

// Whether the stand-in device is attached.
bool g_DeviceAttached = false;

// A WebDAV server holding a few folders, and a device browser that finds the device when attached.
class TScreenBrowser : public TMemFileOper, public IWebDavBrowser, public IDeviceBrowser {
  public:
    TScreenBrowser() : TMemFileOper(std::make_shared<TMemStore>()) {}
    int32_t Connect() override {
        m_Entries.clear();
        const std::string address = FFolderSource->FolerAllName;
        if (FFolderSource->DeviceType == DEVICE_MOBILE) return g_DeviceAttached ? 0 : -1;
        if (FFolderSource->DeviceType != DEVICE_WEBDAV) return -1;
        m_Entries.emplace_back();  // the folder itself
        const bool top = address == "https://dav.example.org/backup";
        for (const char* name : top ? std::vector<const char*>{"Documents", "Music", "Pictures", "Projects"}
                                    : std::vector<const char*>{"2023", "2024", "2025"}) {
            TFileAttri& e = m_Entries.emplace_back();
            e.IsFolder = 1;
            e.Name = name;
            e.Path = address + "/" + name;
        }
        return 0;
    }
    const std::vector<TFileAttri>& RootEntries() const override { return m_Entries; }
    std::string GetDeviceName(const std::string& Path) override {
        return Path.empty() && g_DeviceAttached ? "Pocket_PC" : std::string();
    }
    int32_t GetDeviceSubFolders(const std::string& Path, std::vector<std::string>& List) override {
        if (!g_DeviceAttached) return 1;
        if (Path == "\\")
            List = {"My Documents", "Program Files", "Storage Card", "Windows"};
        else if (Path == "\\My Documents")
            List = {"Notes", "Personal", "Templates"};
        return 0;
    }

  private:
    std::vector<TFileAttri> m_Entries;
};

void SelectFolderScreens() {
    // A folder tree of its own at a fixed place, so the local page always shows the same.
    const QString root = QStringLiteral("/tmp/bfs-screens-folders");
    QDir(root).removeRecursively();
    for (const char* sub : {"Documents/Letters", "Music", "Pictures/2024", "Pictures/2025", "Projects"})
        QDir().mkpath(root + "/" + sub);
    {
        TFolderSource side;
        side.DeviceType = DEVICE_LOCAL;
        side.FolerAllName = (root + "/Pictures").toStdString();
        TFSelectFolder w;
        w.FolderSource = &side;
        w.show();
        w.strv1->setRootIndex(static_cast<QFileSystemModel*>(w.strv1->model())->index(root));
        WaitFor([&] { return w.strv1->model()->rowCount(w.strv1->rootIndex()) == 4; }, "the local folders");
        w.strv1->expand(w.strv1->currentIndex());
        WaitFor([&] { return w.strv1->model()->rowCount(w.strv1->currentIndex()) == 2; },
                "the picture folders");
        Save(w, "select-folder-local");
    }
    QDir(root).removeRecursively();

    TSyncTask::SetFileOperFactory([](const TFolderSource&, bool) -> std::unique_ptr<TFileOper> {
        return std::make_unique<TScreenBrowser>();
    });
    {
        TFolderSource side;
        side.DeviceType = DEVICE_WEBDAV;
        side.FolerAllName = "https://dav.example.org/backup/Pictures";
        side.UserName = "anna";
        side.PWD = "secret";
        TFSelectFolder w;
        w.IsLeft = 0;
        w.FolderSource = &side;
        w.show();
        w.bt_webdavconnectClick();
        Save(w, "select-folder-webdav");
        // The keyboard on OK.
        w.OkButton->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        Save(w, "select-folder-keyboard");
    }
    {
        TFolderSource side;
        side.DeviceType = DEVICE_MOBILE;
        side.FolerAllName = "wm:";
        TFSelectFolder w;
        std::unique_ptr<QMessageBox> box;  // a child of the window: goes first
        const TMessageBoxFunc shown = MessageBoxFunc;
        MessageBoxFunc = [&](const QString& Text, const QString& Caption, int Flags) {
            box = BuildMessageBox(Text, Caption, Flags, &w);
            return IDOK;
        };
        w.FolderSource = &side;
        w.show();
        WaitFor([&] { return box != nullptr; }, "the box of a missing device");
        MessageBoxFunc = shown;
        Save(w, "select-folder-no-device");
        if (box) {
            box->show();
            Save(*box, "select-folder-no-device-box");
        }
    }
    // A full address while no device is attached: the same box, and no node of a device not there;
    // then the device attached, offered ("wm:") and named in full.
    for (const auto& [attached, address, name] :
         {std::tuple{false, "wm:Pocket_PC\\My Documents", "select-folder-device-full-address-no-device"},
          std::tuple{true, "wm:", "select-folder-device-offered"},
          std::tuple{true, "wm:Pocket_PC\\My Documents\\Notes", "select-folder-device-full-address"}}) {
        g_DeviceAttached = attached;
        TFolderSource side;
        side.DeviceType = DEVICE_MOBILE;
        side.FolerAllName = address;
        TFSelectFolder w;
        int boxes = 0;
        const TMessageBoxFunc shown = MessageBoxFunc;
        MessageBoxFunc = [&](const QString&, const QString&, int) {
            ++boxes;
            return IDOK;
        };
        w.FolderSource = &side;
        w.show();
        WaitFor([&] { return boxes > 0 || w.tvWM->topLevelItemCount() > 0; }, "the device page's answer");
        MessageBoxFunc = shown;
        if ((boxes > 0) == attached) {
            std::fprintf(stderr, "screens: the device page answered %s wrongly\n", address);
            ++g_Failures;
        }
        Save(w, name);
    }
    g_DeviceAttached = false;
    TSyncTask::SetFileOperFactory({});
}

const TScreens g_SelectFolderScreens(&SelectFolderScreens);

}  // namespace
