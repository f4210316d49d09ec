#include "GatedFileOper.h"
#include "UiTestMain.h"
#include "common/TestSides.h"
#include "engine/UTSyncTask.h"
#include "model/UTRegistry.h"
#include "model/UTSysConfig.h"
#include "platform/UTFolders.h"
#include "storage/UTFtpFileOper.h"
#include "storage/UTNetFileOper.h"
#include "storage/UTS3FileOper.h"
#include "storage/UTWMFileOper.h"
#include "storage/UTWebDavFileOper.h"
#include "ui/DMUnit.h"
#include "ui/ImageEx.h"
#include "ui/UFSelectFolder.h"

#include <QDir>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <filesystem>
#include <map>

using namespace bfs;
using namespace bfs::test;

namespace {

// What the stand-in back-ends answer, shared by every back-end the window makes.
struct TScript {
    int32_t ConnectResult = 0;
    std::vector<std::string> Shares;
    std::map<std::string, std::vector<std::string>> SubFolders;  // share path -> folder paths
    std::map<std::string, std::vector<TFileAttri>> Entries;      // FTP path / WebDAV address -> folders
    std::string DeviceName;
    std::vector<std::string> Buckets;
    bool BucketsListed = true;
    TGate Hold;                         // Connect waits here while closed (until the back-end is stopped)
    std::atomic<int> Made{0};           // back-ends made
    std::atomic<int> Alive{0};          // back-ends not yet freed
    std::atomic<int> Overlaps{0};       // calls that found another one running on the same back-end
    std::vector<std::string> Seen;      // addresses Connect was given
    std::vector<std::string> MadeDirs;  // folders MakeDir was asked for
};

// One stand-in for every kind: an in-memory back-end with each kind's browse side.
class TFakeBrowser : public TMemFileOper,
                     public INetShareBrowser,
                     public IFtpBrowser,
                     public IWebDavBrowser,
                     public IS3Browser,
                     public IDeviceBrowser {
  public:
    explicit TFakeBrowser(TScript& S) : TMemFileOper(std::make_shared<TMemStore>()), m_S(S) {
        ++m_S.Made, ++m_S.Alive;
    }
    ~TFakeBrowser() override { --m_S.Alive; }

    int32_t Connect() override {
        TBusy busy(*this);
        m_S.Seen.push_back(FFolderSource->FolerAllName);
        m_S.Hold.Wait([this] { return Terminated(); });
        m_Entries.clear();
        if (m_S.ConnectResult == 0) {
            m_Entries.emplace_back();  // the folder itself
            for (const TFileAttri& e : m_S.Entries[FFolderSource->FolerAllName]) m_Entries.push_back(e);
        }
        return m_S.ConnectResult;
    }
    int32_t MakeDir(const std::string& Rel) override {
        m_S.MadeDirs.push_back(FFolderSource->FolerAllName + Rel);
        return 0;
    }
    const std::vector<std::string>& GetShareList() const override { return m_S.Shares; }
    std::vector<std::string> GetSubFolders(const std::string& Path) override { return m_S.SubFolders[Path]; }
    std::vector<TFileAttri> ListSubfolders(const std::string& Path) override { return m_S.Entries[Path]; }
    bool LastListRead() const override { return true; }
    int32_t SameServer(const TFolderSource&) override { return 0; }
    void ParseUrl() override {}
    const std::vector<TFileAttri>& RootEntries() const override { return m_Entries; }
    bool ListBuckets(std::vector<std::string>& Names) override {
        Names = m_S.Buckets;
        return m_S.BucketsListed;
    }
    bool ListObjects(const std::string& Bucket, const std::string& Path,
                     std::vector<TFileAttri>& List) override {
        List = m_S.Entries["/" + Bucket + Path];
        return true;
    }
    bool CreateBucket(const std::string& Name) override {
        m_S.Buckets.push_back(Name);
        return true;
    }
    const std::vector<std::string>& GetErrorText() const override { return m_Error; }
    std::string GetDeviceName(const std::string& Path) override { return Path.empty() ? m_S.DeviceName : ""; }
    int32_t GetDeviceSubFolders(const std::string& Path, std::vector<std::string>& List) override {
        for (const std::string& p : m_S.SubFolders[Path]) List.push_back(p);
        return 0;
    }

  private:
    struct TBusy {
        explicit TBusy(TFakeBrowser& B) : Mine(B.m_Active), S(B.m_S) {
            if (Mine++ > 0) ++S.Overlaps;
        }
        ~TBusy() { --Mine; }
        std::atomic<int>& Mine;
        TScript& S;
    };
    std::atomic<int> m_Active{0};
    TScript& m_S;
    std::vector<TFileAttri> m_Entries;
    std::vector<std::string> m_Error{"Http Result: 403 Forbidden"};
};

TFileAttri Folder(const std::string& Name, const std::string& Path) {
    TFileAttri a;
    a.IsFolder = 1;
    a.Name = Name;
    a.Path = Path;
    return a;
}

QTreeWidgetItem* FindNode(QTreeWidget* Tree, const QString& Text) {
    QTreeWidgetItemIterator it(Tree);
    for (; *it; ++it)
        if ((*it)->text(0) == Text) return *it;
    return nullptr;
}

}  // namespace

class SelectFolderTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_Home;
    std::unique_ptr<TIniFile> m_OldLanguage;
    std::unique_ptr<TFSelectFolder> m_Window;
    std::unique_ptr<TScript> m_Script;
    TFolderSource m_Source;
    QStringList m_Boxes, m_Asked;
    QString m_NextName;

    // The window on m_Source as a caller opens it; the stand-in back-ends unless Real.
    TFSelectFolder& Open(bool Real = false) {
        m_Script = std::make_unique<TScript>();
        if (!Real)
            TSyncTask::SetFileOperFactory([this](const TFolderSource&, bool) -> std::unique_ptr<TFileOper> {
                return std::make_unique<TFakeBrowser>(*m_Script);
            });
        m_Window = std::make_unique<TFSelectFolder>();
        m_Window->FolderSource = &m_Source;
        m_Window->InputQuery = [this](const QString& Caption, const QString&, QString& Value) {
            m_Asked << Caption;
            Value = m_NextName;
            return !m_NextName.isNull();
        };
        m_Boxes.clear();
        m_Window->show();
        return *m_Window;
    }

  private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", m_Home.path().toUtf8());
        qputenv("BFS_TEST_SOURCE_DIR", BFS_SOURCE_DIR);
        if (qEnvironmentVariableIsEmpty("BFS_RAPI_LIBRARY"))
            qputenv("BFS_RAPI_LIBRARY", BFS_RAPI_LIBRARY_PATH);
        std::filesystem::copy_file(BFS_SOURCE_DIR "/app/resources/en-english.lng",
                                   GetProgramFolder() + "en-english.lng",
                                   std::filesystem::copy_options::overwrite_existing);
        m_OldLanguage = std::move(SysConfig().LangFile);
        QCOMPARE(SysConfig().OpenLanguage("en-english.lng"), 0);
        MessageBoxFunc = [this](const QString& Text, const QString& Caption, int) {
            m_Boxes << Caption + "|" + Text;
            return IDOK;
        };
    }
    void cleanupTestCase() {
        SysConfig().LangFile = std::move(m_OldLanguage);
        MessageBoxFunc = nullptr;
    }
    void cleanup() {
        m_Window.reset();
        TSyncTask::SetFileOperFactory({});
        m_Source = TFolderSource{};
        m_NextName = QString();
        m_Asked.clear();
        qunsetenv("BFS_DEVICE_NAME");
    }

    // The page a kind opens and what OK writes back from it.
    void okWritesThePageShown_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("stored");
        QTest::newRow("unset is local") << 0 << "/srv/data/" << 0 << "/srv/data";
        QTest::newRow("local") << 1 << "/srv/data\\" << 0 << "/srv/data";
        QTest::newRow("share") << 2 << "\\\\host\\share\\" << 1 << "\\\\host\\share";
        QTest::newRow("sftp") << 4 << "sftp://host/x/" << 3 << "sftp://host/x";
        QTest::newRow("webdav") << 5 << "https://host/dav/" << 4 << "https://host/dav";
        QTest::newRow("device unchanged")
            << 6 << "wm:Phone\\My Documents\\" << 5 << "wm:Phone\\My Documents\\";
        QTest::newRow("s3") << 7 << "http://host/b/p/" << 6 << "http://host/b/p";
    }
    void okWritesThePageShown() {
        QFETCH(int, kind);
        QFETCH(QString, address);
        QFETCH(int, page);
        QFETCH(QString, stored);
        m_Source.DeviceType = kind;
        m_Source.FolerAllName = address.toStdString();
        m_Source.UserName = " anna ";
        m_Source.PWD = "pw";
        m_Source.PrivateKey = "KEY";
        m_Source.FactTime = 1;
        TFSelectFolder& w = Open();
        QCOMPARE(w.CurrentPage(), page);
        QCOMPARE(w.CurrentTabButton(), w.SideButtons[page]);
        QCOMPARE(w.SideButtons[TFSelectFolder::PAGE_SFTP]->isVisibleTo(&w), kind == DEVICE_SFTP);
        w.OkButtonClick();
        QCOMPARE(w.result(), 1);
        QCOMPARE(m_Source.DeviceType, kind == 0 ? 1 : kind);
        QCOMPARE(QString::fromStdString(m_Source.FolerAllName), stored);
        if (kind == DEVICE_SFTP || kind == DEVICE_S3) QCOMPARE(m_Source.UserName, std::string("anna"));
        if (kind == DEVICE_SFTP) QCOMPARE(m_Source.PrivateKey, std::string("KEY"));
        if (kind == DEVICE_S3) QCOMPARE(m_Source.FactTime, 1);
    }

    void networkConnectResults_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("box");
        QTest::newRow("refused") << 5
                                 << "Tip|" +
                                        QString::fromStdString(SysConfig().GetText("connectfalseNeedUser"));
        QTest::newRow("unreachable") << 1203 << "Tip|Cannot reach the server:h";
        QTest::newRow("other") << 53 << "Tip|Cannot connect \\\\h\\s\rReturn Code: 53";
    }
    void networkConnectResults() {
        QFETCH(int, result);
        QFETCH(QString, box);
        TFSelectFolder& w = Open();
        m_Script->ConnectResult = result;
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_NETWORK]);
        w.edit_networkaddr->setText("h\\s\\");
        w.BitBtn_network_ConnectClick();
        QCOMPARE(m_Boxes, QStringList{box});
        QCOMPARE(w.NetworkRoot->childCount(), 0);
        QCOMPARE(w.edit_networkaddr->text(), QString("\\\\h\\s"));
    }

    void networkOpensDeepPathsAndReportsUnreadableFolders() {
        TFSelectFolder& w = Open();
        m_Script->Shares = {"\\\\h\\s", "\\\\h\\t"};
        m_Script->SubFolders["\\\\h\\s"] = {"\\\\h\\s\\a"};
        m_Script->SubFolders["\\\\h\\s\\a"] = {"\\\\h\\s\\a\\b"};
        m_Script->SubFolders["\\\\h\\t"] = {
            "Can not open folder:\\\\h\\t,Return Code\xEF\xBC\x9A"
            "5"};
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_NETWORK]);
        w.edit_networkaddr->setText("\\\\h\\s\\a\\b");
        w.BitBtn_network_ConnectClick();
        QVERIFY(m_Boxes.isEmpty());
        QCOMPARE(w.tvnet->currentItem()->text(0), QString("b"));
        QCOMPARE(w.edit_networkaddr->text(), QString("\\\\h\\s\\a\\b"));
        // A share that cannot be read gives a box, never a node OK could store.
        QTreeWidgetItem* t = FindNode(w.tvnet, "t");
        w.tvnetClick(t);
        QCOMPARE(t->childCount(), 0);
        QCOMPARE(m_Boxes.size(), 1);
        QVERIFY(m_Boxes[0].contains("Return Code"));
        // Connecting the same server again replaces its node.
        w.BitBtn_network_ConnectClick();
        QCOMPARE(w.NetworkRoot->childCount(), 1);
    }

    void webDavConnectResults_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("box");
        QTest::newRow("not a folder") << 1 << "Tip|No WebDAV folder at this address: https://h/dav";
        QTest::newRow("unreachable") << 2 << "Tip|Cannot reach the server https://h/dav";
        QTest::newRow("log-on refused") << 401 << "Tip|Cannot connect https://h/dav\rReturn Code: 401";
    }
    void webDavConnectResults() {
        QFETCH(int, result);
        QFETCH(QString, box);
        TFSelectFolder& w = Open();
        m_Script->ConnectResult = result;
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_WEBDAV]);
        w.edit_webdavaddr->setText("https://h/dav");
        w.Edit_webdavPWD->setText("secret");
        w.bt_webdavconnectClick();
        QCOMPARE(m_Boxes, QStringList{box});
        // The scheme is read, not cut at a fixed length.
        QCOMPARE(m_Script->Seen, std::vector<std::string>{"https://h/dav"});
    }

    void deviceConnect_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("box");
        QTest::newRow("none") << "" << 0 << "Bramlow File Sync|Not find windows mobile.";
        QTest::newRow("found") << "Phone" << 0 << "";
        QTest::newRow("failing") << "Phone" << -1 << "Bramlow File Sync|Cannot connect the folder.";
    }
    void deviceConnect() {
        QFETCH(QString, name);
        QFETCH(int, result);
        QFETCH(QString, box);
        m_Source.DeviceType = DEVICE_MOBILE;
        m_Source.FolerAllName = "wm:";
        TFSelectFolder& w = Open();
        m_Script->DeviceName = name.toStdString();
        m_Script->ConnectResult = result;
        m_Script->SubFolders["\\"] = {"My Documents"};
        // The device page connects by itself once shown.
        QTRY_VERIFY(!m_Boxes.isEmpty() || w.tvWM->topLevelItemCount() > 0);
        QTRY_COMPARE(m_Boxes, box.isEmpty() ? QStringList() : QStringList{box});
        if (!box.isEmpty()) return;
        QCOMPARE(w.edit_wmaddr->text(), QString("wm:Phone"));
        QTreeWidgetItem* docs = FindNode(w.tvWM, "My Documents");
        QVERIFY(docs);
        w.tvWMClick(docs);
        QCOMPARE(w.edit_wmaddr->text(), QString("wm:Phone\\My Documents"));
    }

    void s3BucketsAndNodeOnlyFolders() {
        TFSelectFolder& w = Open();
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_S3]);
        w.edit_S3addr->setText("http://s3.test/a");
        m_Script->Buckets = {"a", "b"};
        m_Script->Entries["/a"] = {Folder("x", "/")};
        w.bt_S3connectClick();
        QTreeWidgetItem* top = w.tv_s3->topLevelItem(0);
        QCOMPARE(top->text(0), QString("http://s3.test"));
        QCOMPARE(top->child(0)->text(0), QString("b"));
        QCOMPARE(top->child(1)->text(0), QString("a"));
        // The address's bucket is opened as by a click.
        QCOMPARE(w.SelectedBucketNode, top->child(1));
        QCOMPARE(w.edit_S3addr->text(), QString("http://s3.test/a"));
        QCOMPARE(top->child(1)->child(0)->text(0), QString("x"));
        QVERIFY(w.createbucketButton->isVisibleTo(&w));
        // A new folder is a node only: nothing reaches the service.
        m_NextName = "n";
        w.tv_s3->setCurrentItem(top->child(1));
        w.bt_NewFolderClick();
        QCOMPARE(TFSelectFolder::NodeData(top->child(1)->child(1)), std::string("/a/n"));
        QVERIFY(m_Script->MadeDirs.empty());
        w.tv_s3Click(top->child(1)->child(1));
        QCOMPARE(w.edit_S3addr->text(), QString("http://s3.test/a/n"));
        QVERIFY(m_Boxes.isEmpty());
    }

    void s3WithoutBucketsAsksForOne() {
        TFSelectFolder& w = Open();
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_S3]);
        m_NextName = "fresh";
        w.bt_S3connectClick();
        QCOMPARE(m_Asked, QStringList{"Enter New Amazon S3 Buctet Name"});
        QCOMPARE(w.tv_s3->topLevelItem(0)->child(0)->text(0), QString("fresh"));
        // A refused name, and a failed list, say so.
        m_NextName = "a/b";
        w.bt_createbucketClick();
        m_Script->BucketsListed = false;
        w.bt_S3connectClick();
        QCOMPARE(m_Boxes.size(), 2);
        QVERIFY(m_Boxes[0].endsWith(QString::fromStdString(SysConfig().GetText("filenameerror"))));
        QVERIFY(m_Boxes[1].contains("403"));
    }

    void cancelAfterConnectKeepsTheCallersFolder() {
        m_Source.DeviceType = DEVICE_FTP;
        m_Source.FolerAllName = "ftp://h/old";
        m_Source.PWD = "pw";
        TFSelectFolder& w = Open();
        m_Script->Entries["/"] = {Folder("new", "/new/")};
        w.Edit_ftpip->setText("h");
        w.bt_fptconnectClick();
        w.tvFtpClick(FindNode(w.tvFtp, "new"));
        QCOMPARE(w.Edit_ftpip->text(), QString("ftp://h/new"));
        w.CancelButtonClick();
        QCOMPARE(w.result(), 2);
        QCOMPARE(m_Source.FolerAllName, std::string("ftp://h/old"));
        QCOMPARE(m_Source.DeviceType, DEVICE_FTP);
    }

    // A back-end that does not answer is given up after the wait; the next call gets a new one,
    // and no back-end is ever used by two threads at once.
    void aCallThatHangsIsGivenUp() {
        TFSelectFolder& w = Open();
        w.CallTimeout = 200;
        m_Script->Hold.Close();
        w.SelectPage(w.SideButtons[TFSelectFolder::PAGE_FTP]);
        w.Edit_ftpip->setText("ftp://h");
        w.bt_fptconnectClick();
        QCOMPARE(m_Boxes.size(), 1);
        QVERIFY(m_Boxes[0].contains("did not answer in time"));
        QVERIFY(w.isEnabled());
        m_Script->Hold.Open();
        w.bt_fptconnectClick();
        QCOMPARE(m_Boxes.size(), 1);
        QCOMPARE(m_Script->Made.load(), 2);
        QCOMPARE(m_Script->Overlaps.load(), 0);
        // The back-end given up is freed once its call comes back.
        QTRY_COMPARE(m_Script->Alive.load(), 1);
    }

    void localPageFollowsTheTree() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("a/b"));
        m_Source.DeviceType = DEVICE_LOCAL;
        m_Source.FolerAllName = (dir.path() + "/a").toStdString();
        TFSelectFolder& w = Open(true);
        auto* model = static_cast<QFileSystemModel*>(w.strv1->model());
        QTRY_COMPARE(model->filePath(w.strv1->currentIndex()), dir.path() + "/a");
        w.strv1->setCurrentIndex(model->index(dir.path() + "/a/b"));
        QCOMPARE(w.Edit_Address->text(), dir.path() + "/a/b");
        m_NextName = "c";
        w.bt_NewFolderClick();
        QVERIFY(QFileInfo(dir.path() + "/a/b/c").isDir());
        m_NextName = "..";
        w.bt_NewFolderClick();
        QCOMPARE(m_Boxes.size(), 1);
        w.OkButtonClick();
        QCOMPARE(m_Source.FolerAllName, (dir.path() + "/a/b").toStdString());
    }

    // Enter chooses the folder, as a dialog's default button; in a page's field it connects, and on
    // a picture button it presses that button.
    void enterChoosesTheFolder() {
        const struct {
            const char* Name;
            int Focus;  // 0 the address, 1 the user, 2 a folder node, 3 Cancel, 4 the local page's tab
            int Result, Connects, Page;
        } cases[] = {
            {"address", 0, 0, 2, TFSelectFolder::PAGE_WEBDAV},
            {"user", 1, 0, 2, TFSelectFolder::PAGE_WEBDAV},
            {"folder node", 2, 1, 2, TFSelectFolder::PAGE_WEBDAV},  // the node is opened, then chosen
            {"Cancel", 3, 2, 1, TFSelectFolder::PAGE_WEBDAV},
            {"page tab", 4, 0, 1, TFSelectFolder::PAGE_COMPUTER},
        };
        for (const auto& c : cases) {
            m_Window.reset();  // its back-ends answer from the script it was opened with
            m_Source = TFolderSource{};
            m_Source.DeviceType = DEVICE_WEBDAV;
            m_Source.FolerAllName = "http://h/dav";
            TFSelectFolder& w = Open();
            m_Script->Entries["http://h/dav"] = {Folder("docs", "http://h/dav/docs")};
            QVERIFY(QTest::qWaitForWindowActive(&w));
            w.ConnectButtons[TFSelectFolder::PAGE_WEBDAV]->Click();
            QWidget* focus[] = {w.edit_webdavaddr, w.Edit_webdavUser, w.webdavtv, w.CancelButton,
                                w.SideButtons[TFSelectFolder::PAGE_COMPUTER]};
            if (c.Focus == 2) w.webdavtv->setCurrentItem(FindNode(w.webdavtv, "docs"));
            focus[c.Focus]->setFocus(Qt::TabFocusReason);
            QTest::keyClick(focus[c.Focus], Qt::Key_Return);
            QVERIFY2(w.result() == c.Result, c.Name);
            QVERIFY2(static_cast<int>(m_Script->Seen.size()) == c.Connects, c.Name);
            QVERIFY2(w.CurrentPage() == c.Page, c.Name);
            if (c.Result == 1) QCOMPARE(m_Source.FolerAllName, std::string("http://h/dav/docs"));
        }
    }

    // The device page finds the attached device from "wm:" (and any address not naming one), opens
    // a full address down to its folder, and says "Not find windows mobile." and shows no node when
    // no device is attached; a device reached is recorded as the one connected last.
    void devicePageFindsTheAttachedDevice() {
        QTemporaryDir device;
        QVERIFY(QDir(device.path()).mkpath("docs/notes"));
        const QString notFound = "Bramlow File Sync|Not find windows mobile.";
        const struct {
            const char* Name;
            bool Attached;
            QString Address;
            QStringList Boxes;
            QString Top, Selected, AddressAfter;
        } cases[] = {
            {"offered address", true, "wm:", {}, "Pocket_PC", "", "wm:Pocket_PC"},
            {"any other address", true, "phone", {}, "Pocket_PC", "", "wm:Pocket_PC"},
            {"full address",
             true,
             "wm:Pocket_PC\\docs\\notes",
             {},
             "Pocket_PC",
             "notes",
             "wm:Pocket_PC\\docs\\notes"},
            {"offered address, no device", false, "wm:", {notFound}, "", "", "wm:"},
            {"full address, no device",
             false,
             "wm:Pocket_PC\\docs",
             {notFound},
             "",
             "",
             "wm:Pocket_PC\\docs"},
        };
        const std::string registry = GetProgramFolder() + REGISTRY_FILE_NAME;
        for (const auto& c : cases) {
            std::filesystem::remove(registry);
            qputenv("BFS_DEVICE_NAME", "Pocket_PC");
            if (c.Attached)
                qputenv("BFS_DEVICE_FOLDER", device.path().toUtf8());
            else
                qputenv("BFS_DEVICE_FOLDER", (device.path() + "/unplugged").toUtf8());
            m_Source.DeviceType = DEVICE_MOBILE;
            m_Source.FolerAllName = c.Address.toStdString();
            TFSelectFolder& w = Open(true);  // the page connects as it opens
            QTRY_VERIFY2(
                m_Boxes.size() == c.Boxes.size() && (c.Top.isEmpty() || w.tvWM->topLevelItemCount() > 0),
                c.Name);
            QCOMPARE(m_Boxes, c.Boxes);
            QCOMPARE(w.tvWM->topLevelItemCount(), c.Top.isEmpty() ? 0 : 1);
            if (!c.Top.isEmpty()) QCOMPARE(w.tvWM->topLevelItem(0)->text(0), c.Top);
            if (!c.Selected.isEmpty()) QCOMPARE(w.tvWM->currentItem()->text(0), c.Selected);
            QCOMPARE(w.edit_wmaddr->text(), c.AddressAfter);
            // Only a device reached is recorded.
            QCOMPARE(QString::fromStdString(LastDeviceName(registry)), c.Attached ? "Pocket_PC" : "");
        }
        qunsetenv("BFS_DEVICE_FOLDER");
    }

    // Every remote page against its real server: Connect, a sub-folder, Make New Folder, and OK
    // storing an address that the side's back-end then reaches.
    void realServers_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"Share", "FtpList", "WebDavRclone", "S3Bucket", "DeviceFolder"})
            QTest::newRow(kind) << QString(kind);
    }
    void realServers() {
        QFETCH(QString, kind);
        qputenv("BFS_DEVICE_NAME", "Pocket_PC");
        QTemporaryDir scratch;
        std::unique_ptr<TSide> side;
        for (const TSideKind& k : SideKinds())
            if (kind == k.Name) side = k.Make(scratch.path().toStdString());
        if (!side && qgetenv("CI") != "true") QSKIP("the side's server did not start");
        QVERIFY2(side, "the side's server did not start");
        QVERIFY(side->Write("/docs/a.txt", "alpha", 1600000000));
        side->Configure(m_Source);
        TFSelectFolder& w = Open(true);
        const int page = m_Source.DeviceType == DEVICE_NETWORK  ? 1
                         : m_Source.DeviceType == DEVICE_FTP    ? 2
                         : m_Source.DeviceType == DEVICE_WEBDAV ? 4
                         : m_Source.DeviceType == DEVICE_MOBILE ? 5
                                                                : 6;
        QTreeWidget* trees[] = {nullptr, w.tvnet, w.tvFtp, nullptr, w.webdavtv, w.tvWM, w.tv_s3};
        w.ConnectButtons[page]->Click();  // the device page connects by itself: once more is harmless
        QTRY_VERIFY(FindNode(trees[page], "docs"));
        QVERIFY2(m_Boxes.isEmpty(), qPrintable(m_Boxes.join('\n')));
        const auto click = [&](QTreeWidgetItem* Node) {
            trees[page]->setCurrentItem(Node);
            emit trees[page]->itemClicked(Node, 0);
        };
        click(FindNode(trees[page], "docs"));
        m_NextName = "fresh";
        w.bt_NewFolderClick();
        QTreeWidgetItem* fresh = FindNode(trees[page], "fresh");
        QVERIFY2(fresh, qPrintable(m_Boxes.join('\n')));
        if (m_Source.DeviceType != DEVICE_S3) QVERIFY(side->List()["/docs/fresh"].Folder);
        click(fresh);
        w.OkButtonClick();
        const std::string stored = m_Source.FolerAllName;
        QVERIFY2(QString::fromStdString(stored).endsWith(m_Source.DeviceType == DEVICE_NETWORK ||
                                                                 m_Source.DeviceType == DEVICE_MOBILE
                                                             ? "docs\\fresh"
                                                             : "docs/fresh"),
                 stored.c_str());
        auto folder = std::make_shared<TFolderSource>(m_Source);
        std::unique_ptr<TFileOper> oper = TSyncTask::CreateFileOper(folder, false);
        oper->FFolderSource = folder;
        QCOMPARE(oper->Connect(), 0);
        QCOMPARE(oper->CheckFolder(), 0);
    }
};

BFS_UI_TEST(SelectFolderTest);
#include "SelectFolderTest.moc"
