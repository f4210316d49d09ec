#pragma once

#include "model/UTFileOper.h"
#include "model/UTFolderSource.h"
#include "ui/UTImageList.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QAbstractFileIconProvider;
class QCheckBox;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QStackedWidget;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace bfs {

class TImageEx;
class TImageExButton;
class TTitleBar;

// The folder window: the user chooses the left or right folder of a task on any kind of storage.
// One page per kind (local folder, network share, FTP, SFTP, WebDAV, mobile device, S3) with the
// address, log-on and per-kind fields; Connect browses the storage into the page's tree, a click on
// a node opens its sub-folders and takes its address, and Make New Folder creates a folder there.
//
// Callers set IsLeft and FolderSource, then show the window modally. OK (result 1) writes the page
// shown into FolderSource; Cancel (result 2) or closing leaves FolderSource as it was: Connect and
// the tree clicks work on the window's own back-ends and their own folder sources only.
//
// Every call to a back-end runs on a worker thread while the window waits, disabled under the wait
// cursor, at most CallTimeout milliseconds; a back-end that does not answer in time is stopped and
// left to its worker (the window makes a new one for the next call), so that no back-end is ever
// used by two threads at once. Nothing a back-end reports is lost: every failure shows a box.
class TFSelectFolder : public QDialog {
    Q_OBJECT

  public:
    // Page numbers, in the order of the side buttons.
    enum TPage {
        PAGE_COMPUTER,
        PAGE_NETWORK,
        PAGE_FTP,
        PAGE_SFTP,
        PAGE_WEBDAV,
        PAGE_DEVICE,
        PAGE_S3,
        PAGE_COUNT
    };

    explicit TFSelectFolder(QWidget* Parent = nullptr);
    ~TFSelectFolder() override;

    // The folder source being edited; set by the caller before showing. Written on OK only.
    TFolderSource* FolderSource = nullptr;
    // 1 when the left folder is chosen, 0 for the right (the window's caption).
    uint8_t IsLeft = 1;
    // How long one back-end call may take before the window gives up on it.
    int CallTimeout = 30000;
    // Asks for a name: false when the user cancels, else Value holds the text typed. By default a
    // modal input box.
    std::function<bool(const QString& Caption, const QString& Prompt, QString& Value)> InputQuery;

    // The events, public so that callers and tests can press them.
    void FormShow();
    void SelectPage(TImageExButton* Button);
    void OkButtonClick();
    void CancelButtonClick();
    void SMCLoseBtnClick();
    void bt_NewFolderClick();
    void bt_createbucketClick();
    void BitBtn_pcClick();
    void strv1Change();
    void BitBtn_network_ConnectClick();
    void tvnetClick(QTreeWidgetItem* Node);
    void bt_fptconnectClick();
    void tvFtpClick(QTreeWidgetItem* Node);
    void bt_webdavconnectClick();
    void webdavtvClick(QTreeWidgetItem* Node);
    void bt_wnconnectClick();
    void tvWMClick(QTreeWidgetItem* Node);
    void bt_S3connectClick();
    void tv_s3Click(QTreeWidgetItem* Node);

    // The page shown (TPage).
    int CurrentPage() const;
    TImageExButton* CurrentTabButton() const { return m_CurrentTabButton; }
    // The address a tree node stands for on its storage ("" for none).
    static std::string NodeData(const QTreeWidgetItem* Node);

    // Top node of the network tree ("allnetwork"); none until the window is first shown.
    QTreeWidgetItem* NetworkRoot = nullptr;
    // "wm:" + the connected device's name; a device node's address is this + its data.
    std::string DevicePrefix;
    // The bucket named by the S3 address at the last S3 connect, and its node.
    std::string SelectedBucket;
    QTreeWidgetItem* SelectedBucketNode = nullptr;

    // Controls, named as the window's form names them.
    TTitleBar* TitleBar = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    TImageExButton* SideButtons[PAGE_COUNT] = {};  // select1Button .. select7Button
    TImageEx* SideLabels[PAGE_COUNT] = {};         // TabSheet_computer .. Label10
    TImageExButton* ConnectButtons[PAGE_COUNT] = {};
    TImageEx* ConnectLabels[PAGE_COUNT] = {};
    // computer
    QLabel* Label_Address = nullptr;
    QLineEdit* Edit_Address = nullptr;
    QTreeView* strv1 = nullptr;
    // Network
    QLabel* lb_networkaddr = nullptr;
    QLineEdit* edit_networkaddr = nullptr;
    QLabel* lb_ntuser = nullptr;
    QLineEdit* Edit_ntUser = nullptr;
    QLabel* lb_ntpwd = nullptr;
    QLineEdit* Edit_NtPwd = nullptr;
    QTreeWidget* tvnet = nullptr;
    // ftp
    QLabel* lb_ftpaddr = nullptr;
    QLineEdit* Edit_ftpip = nullptr;
    QLabel* lb_ftpuser = nullptr;
    QLineEdit* Edit_ftpuser = nullptr;
    QLabel* lb_ftppwd = nullptr;
    QLineEdit* Edit_ftppwd = nullptr;
    QTreeWidget* tvFtp = nullptr;
    // sftp
    QLabel* lb_sftpaddr = nullptr;
    QLineEdit* edit_sftpaddr = nullptr;
    QLabel* lb_key = nullptr;
    QLineEdit* Edit_sftpPK = nullptr;
    QLabel* lb_sftpuser = nullptr;
    QLineEdit* Edit_sftpUser = nullptr;
    QLabel* lb_sftppwd = nullptr;
    QLineEdit* Edit_sftpPwd = nullptr;
    QTreeWidget* tvSftp = nullptr;
    // webdav
    QLabel* lb_webdavaddr = nullptr;
    QLineEdit* edit_webdavaddr = nullptr;
    QLabel* lb_webdavuser = nullptr;
    QLineEdit* Edit_webdavUser = nullptr;
    QLabel* lb_webdavpwd = nullptr;
    QLineEdit* Edit_webdavPWD = nullptr;
    QTreeWidget* webdavtv = nullptr;
    // winmobile
    QLabel* lb_wmaddr = nullptr;
    QLineEdit* edit_wmaddr = nullptr;
    QTreeWidget* tvWM = nullptr;
    // amazons3
    QLabel* lb_S3addr = nullptr;
    QLineEdit* edit_S3addr = nullptr;
    QLabel* lb_username = nullptr;
    QLineEdit* edit_username = nullptr;
    QLabel* lb_userpwd = nullptr;
    QLineEdit* Edit_userpwd = nullptr;
    QCheckBox* chkUseSSL = nullptr;
    QTreeWidget* tv_s3 = nullptr;
    // below the pages
    TImageExButton* MakeFolderButton = nullptr;
    TImageEx* bt_NewFolder = nullptr;
    TImageExButton* createbucketButton = nullptr;
    TImageEx* bt_createbucket = nullptr;
    TImageExButton* OkButton = nullptr;
    TImageEx* Label_ok = nullptr;
    TImageExButton* CancelButton = nullptr;
    TImageEx* Label_cancel = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void BuildControls();
    QWidget* BuildPage(int Page);
    void LoadLanguageTexts();
    void ShowPage(int Page);
    void FormClose();

    // The window's back-end of Kind, made on first use (and again after one was given up); null
    // when the program has none for that kind.
    TFileOper* Oper(int32_t Kind);
    // Runs Work on Kind's back-end on a worker thread and waits for it (see the class comment).
    // Work may touch nothing but the back-end and what it holds itself (captured by value or
    // through a shared pointer): a worker that outlives the wait is left to end on its own. False,
    // with a box, when there is no back-end or the call did not end in time.
    bool Call(int32_t Kind, std::function<void(TFileOper&)> Work);
    // A failure box with the result code (and the back-end's reason, when it gave one).
    void FailureBox(const QString& What, int32_t Code, const std::string& Reason = {});
    // A failed S3 request's box: What, then the request's result line.
    void S3Failure(const QString& What, const std::vector<std::string>& Error);
    // Asks for a new folder or bucket name; false (nothing to do) when the user cancels, the name
    // is refused (with its box) or blank.
    bool AskName(const QString& Caption, const QString& Prompt, std::string& Name);
    QTreeWidgetItem* AddNode(QTreeWidget* Tree, QTreeWidgetItem* Parent, const std::string& Text,
                             const std::string& Data, int Image, bool First = false);
    // Opens Path ("a\b" or "a/b") below Node level by level, clicking the child named by each
    // level; false when a level is not there.
    bool OpenLevels(QTreeWidgetItem* Node, const std::string& Path, char Sep,
                    const std::function<void(QTreeWidgetItem*)>& Click);

    void NetShowSubFolders(QTreeWidgetItem* Node, const std::vector<std::string>& Folders);
    void FtpAddFolders(QTreeWidgetItem* Node, const std::vector<TFileAttri>& Folders);
    // Lists the FTP server path Path below Node; false (with a box) when it could not be read.
    bool FtpExpand(QTreeWidgetItem* Node, const std::string& Path);
    // Points the WebDAV back-end at Address with the page's log-on and connects; its folder
    // entries (the folder itself left out) in Entries. 0 or the back-end's result.
    int32_t WebDavList(const std::string& Address, std::vector<TFileAttri>& Entries, std::string& Reason);
    void WebDavFailure(int32_t Result, const std::string& Address, const std::string& Reason);
    // Lists the device folder Path into Names; 0 or the library's error.
    int32_t DeviceList(const std::string& Path, std::vector<std::string>& Names);
    void DeviceShowRoot(const std::string& Name, bool& Connected);
    // The S3 back-end's side from the page; the service's base address ("http[s]://endpoint").
    TFolderSourceRef S3Side() const;
    std::string S3BaseUrl() const;
    // Lists the folders below an S3 node ("/bucket" or "/bucket/a/b") as its children.
    void S3Expand(QTreeWidgetItem* Node);
    QTreeWidgetItem* S3TopNode();

    std::shared_ptr<TFileOper> m_Opers[8];
    // Folder sources of the last FTP and network connects.
    TFolderSourceRef FtpSource;
    TFolderSourceRef NetSource;
    // What FolderSource points to when the caller set none.
    TFolderSource m_OwnSource;
    TImageList m_Images{16, 16};  // ilnet: 0 all of the network, 1 host, device or root, 2 folder
    QFileSystemModel* m_FileSystem = nullptr;
    std::unique_ptr<QAbstractFileIconProvider> m_FolderIcons;
    TImageExButton* m_CurrentTabButton = nullptr;
    bool m_Busy = false;  // a back-end call is running
    // The fields of the pages, each with its page's Connect, which Enter in the field runs.
    std::vector<std::pair<QLineEdit*, std::function<void()>>> m_FieldConnects;
    bool m_BucketsListed = false;  // an S3 connect succeeded: buckets may be created
    bool m_Closed = false;
};

}  // namespace bfs
