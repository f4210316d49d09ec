#include "model/UTConsts.h"
#include "model/UTIniFile.h"
#include "model/UTRegistry.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"
#include "storage/UTWMFileOper.h"
#include "tests/common/Unprivileged.h"
#include "tests/storage/ContractTest.h"
#include "tests/storage/RapiTestDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bfs::test {
namespace {

constexpr int SHORT_WAIT_MS = 300;

std::unique_ptr<TFileOper> DeviceSide(const std::string& Address) {
    SetDeviceConnectWait(SHORT_WAIT_MS);
    auto oper = CreateWMFileOper(false);
    oper->FFolderSource->DeviceType = DEVICE_MOBILE;
    oper->FFolderSource->FolerAllName = Address;
    return oper;
}

// A contract side on a fresh emulated device: Folder is the device folder the side's address names
// ("" for the device's top folder).
TContractSide MakeDeviceSide(const std::string& Folder) {
    RequireStandin();
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return {};
    auto device = std::make_shared<TTestDevice>();
    if (!Folder.empty()) device->MakeFolder("/" + Folder);
    TContractSide side;
    side.Oper = DeviceSide("wm:Pocket_PC\\" + Folder);
    side.Dispose = [device]() mutable { device.reset(); };
    side.SetsDates = false;  // the device dates a file when it is written; no time is set on it
    return side;
}

const bool g_DeviceContract =
    (RegisterFileOperContract("DeviceFolder", [] { return MakeDeviceSide("My Documents"); }),
     RegisterFileOperContract("DeviceTop", [] { return MakeDeviceSide(""); }), true);

TEST(WMAddressTest, NameAndDevicePath) {
    const struct {
        const char* Address;
        const char* Name;
        const char* Path;
    } cases[] = {
        {"wm:Pocket_PC\\My Documents", "Pocket_PC", "\\My Documents"},
        {"wm:Pocket_PC\\My Documents\\Notes\\", "Pocket_PC", "\\My Documents\\Notes"},
        {"wm:Pocket_PC\\", "Pocket_PC", "\\"},
        {"wm:Pocket_PC", "", ""},             // no folder named
        {"wm:X\\wm:X\\y", "X", "\\wm:X\\y"},  // the name is cut off the front only
        {"ftp://host\\x", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeviceNameOf(c.Address), c.Name) << c.Address;
        EXPECT_EQ(DevicePathOf(c.Address), c.Path) << c.Address;
    }
}

class WMFileOperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", Scratch.Path.c_str(), 1);
        RequireStandin();
        if (IsSkipped() || HasFatalFailure()) return;
        Device = std::make_unique<TTestDevice>();
        Device->MakeFolder("/My Documents");
        Oper = DeviceSide("wm:Pocket_PC\\My Documents");
        Oper->NotifyWnd = &Recorder;
        ASSERT_EQ(Oper->Connect(), 0);
    }
    TFolderSource& Side() { return *Oper->FFolderSource; }

    TTempFolder Scratch;
    std::unique_ptr<TTestDevice> Device;
    TRecorder Recorder;
    std::unique_ptr<TFileOper> Oper;
};

// Entries carry "/" paths whichever device folder the side names.
TEST_F(WMFileOperTest, ListsWithRootRelativePaths) {
    Device->Write("/My Documents/a.txt", "a");
    Device->MakeFolder("/My Documents/Sub");
    Device->Write("/My Documents/Sub/b.txt", "bb");
    for (const char* address : {"wm:Pocket_PC\\My Documents", "wm:Pocket_PC\\"}) {
        SCOPED_TRACE(address);
        auto oper = DeviceSide(address);
        ASSERT_EQ(oper->ListFolder(), 0);
        const TFileTree* top = oper->FFileTree.get();
        if (DevicePathOf(address) == "\\") {
            top = Child(*top, "My Documents");
            ASSERT_NE(top, nullptr);
            EXPECT_EQ(top->Data->Path, "/");
        }
        const std::string base = DevicePathOf(address) == "\\" ? "/My Documents/" : "/";
        ASSERT_EQ(ChildNames(*top), (std::vector<std::string>{"Sub", "a.txt"}));
        EXPECT_EQ(Child(*top, "a.txt")->Data->Path, base);
        EXPECT_EQ(Child(*top, "Sub")->Data->IsFolder, 1);
        const TFileTree* b = Child(*Child(*top, "Sub"), "b.txt");
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->Data->Path, base + "Sub/");
        EXPECT_EQ(b->Data->Size, 2);
    }
}

// A file a replace stepped aside and never deleted gets its name back when nothing took it.
TEST_F(WMFileOperTest, FilesSteppedAsideGetTheirNameBack) {
    Device->Write("/My Documents/" + AsideName("lost.txt"), "before");
    Device->Write("/My Documents/" + AsideName("kept.txt"), "old");
    Device->Write("/My Documents/kept.txt", "new");
    ASSERT_EQ(Oper->ListFolder(), 0);
    EXPECT_EQ(ChildNames(*Oper->FFileTree), (std::vector<std::string>{"kept.txt", "lost.txt"}));
    EXPECT_EQ(Device->Read("/My Documents/lost.txt"), "before");
    EXPECT_FALSE(Device->Exists("/My Documents/" + AsideName("kept.txt")));
}

// A 200,000-byte file comes in four chunks of at most 65,537 bytes, one status text each.
TEST_F(WMFileOperTest, ReadsInChunksWithProgress) {
    const std::string content(200000, 'z');
    Device->Write("/My Documents/big.bin", content);
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileAttri listed = *Child(*Oper->FFileTree, "big.bin")->Data;
    Recorder.Messages.clear();
    const std::string local = Scratch.Path + "/big.bin";
    ASSERT_EQ(Oper->GetFile(local, Side(), listed, 0, true), 0);
    std::string read;
    ReadWholeFile(local, read);
    EXPECT_EQ(read, content);
    std::vector<std::string> texts;
    for (const auto& m : Recorder.Messages)
        if (m.Msg == WM_COPYPROCESS) texts.push_back(m.Text);
    const std::string prefix = "Copy:\\My Documents\\big.bin : ";
    EXPECT_EQ(texts, (std::vector<std::string>{prefix + "32.77%", prefix + "65.54%", prefix + "98.31%",
                                               prefix + "100%"}));
}

// A file that grows while it is read is not taken; the local file keeps what it held, and no
// temporary file stays beside it.
TEST_F(WMFileOperTest, FileGrowingDuringTheReadLeavesTheTarget) {
    Device->Write("/My Documents/log.txt", std::string(150000, 'a'));
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileAttri listed = *Child(*Oper->FFileTree, "log.txt")->Data;
    const std::string local = Scratch.Path + "/out/log.txt";
    ::mkdir((Scratch.Path + "/out").c_str(), 0700);
    ASSERT_EQ(WriteFileAtomic(local, "old"), 0);
    bool grown = false;
    Recorder.OnMessage = [&](uint32_t) {
        if (!std::exchange(grown, true))
            std::ofstream(Device->Local("/My Documents/log.txt"), std::ios::app) << std::string(70000, 'b');
    };
    EXPECT_EQ(Oper->GetFile(local, Side(), listed, 0, false), RESULT_SOURCE_CHANGED);
    std::string read;
    ReadWholeFile(local, read);
    EXPECT_EQ(read, "old");
    DIR* dir = ::opendir((Scratch.Path + "/out").c_str());
    ASSERT_NE(dir, nullptr);
    int entries = 0;
    while (const dirent* e = ::readdir(dir)) entries += e->d_name[0] != '.' || IsReservedName(e->d_name);
    ::closedir(dir);
    EXPECT_EQ(entries, 1);
}

// No device: Connect waits for it, then fails; a missing folder is CheckFolder's to tell.
TEST_F(WMFileOperTest, ConnectAndCheckTellWhatIsMissing) {
    EXPECT_EQ(Oper->CheckFolder(), 0);
    auto gone = DeviceSide("wm:Pocket_PC\\Gone");
    EXPECT_EQ(gone->Connect(), 0);
    EXPECT_EQ(gone->CheckFolder(), -1);
    EXPECT_EQ(gone->FailureText, "folder not found on the device");
    EXPECT_EQ(gone->ListFolder(), 1);
    EXPECT_TRUE(gone->FFileTree->NotListed);

    const TScopedEnv noFolder("BFS_DEVICE_FOLDER", Scratch.Path + "/no-such-folder");
    auto detached = DeviceSide("wm:Pocket_PC\\My Documents");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(detached->Connect(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(SHORT_WAIT_MS));
    EXPECT_EQ(detached->FailureText, "no device attached");
    EXPECT_EQ(detached->CheckFolder(), -1);
    EXPECT_EQ(detached->FailureText, "no device attached");
    EXPECT_EQ(detached->ListFolder(), 1);
}

// Without the library Connect fails at once, and nothing looks found.
TEST(WMFileOperNoLibraryTest, FailsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto child = [&] {
        ::setenv(DEVICE_LIBRARY_ENV, "/nonexistent/libbfs-rapi.so", 1);
        auto oper = DeviceSide("wm:Pocket_PC\\My Documents");
        const auto start = std::chrono::steady_clock::now();
        int failed = oper->Connect() != -1;
        failed += std::chrono::steady_clock::now() - start > std::chrono::milliseconds(SHORT_WAIT_MS / 2);
        failed += oper->FailureText != "device library not found";
        failed += oper->CheckFolder() != -1 || oper->FailureText != "device library not found";
        TEntryState state;
        failed += oper->GetEntryState(*oper->FFolderSource, Entry("/", "a.txt"), state) == 0;
        failed += oper->ListFolder() != 1 || !oper->FFileTree->NotListed;
        std::exit(failed);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// A second backup of the same file replaces the first, and leaves no temporary file.
TEST_F(WMFileOperTest, SecondBackupReplacesTheFirst) {
    Device->MakeFolder("/My Documents/sub");
    const TFileAttri entry = Entry("/sub/", "a.txt");
    for (const char* content : {"one", "two, longer"}) {
        Device->Write("/My Documents/sub/a.txt", content);
        EXPECT_EQ(Oper->BackupFile(Side(), entry), 0);
        EXPECT_EQ(
            Device->Read(std::string("/My Documents/") + MARKER_FOLDER + "/" + BACKUP_FOLDER + "/sub/a.txt"),
            content);
    }
    ASSERT_EQ(Oper->ListFolder(), 0);  // lists the marker folder's top too
    std::vector<std::string> marker;
    DIR* dir = ::opendir(Device->Local(std::string("/My Documents/") + MARKER_FOLDER).c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.' || IsReservedName(e->d_name)) marker.push_back(e->d_name);
    ::closedir(dir);
    EXPECT_EQ(marker, (std::vector<std::string>{BACKUP_FOLDER}));
}

// A folder that cannot be searched is not listed, and the listing says it is incomplete; its
// neighbours are listed.
TEST_F(WMFileOperTest, UnreadableFolderIsNotListed) {
    Device->MakeFolder("/My Documents/locked");
    Device->Write("/My Documents/locked/x", "x");
    Device->MakeFolder("/My Documents/open");
    Device->Write("/My Documents/open/y", "y");
    ::chmod(Device->Local("/My Documents/locked").c_str(), 0);
    int32_t result = 0;
    RunUnprivileged([&] { result = Oper->ListFolder(); });
    ::chmod(Device->Local("/My Documents/locked").c_str(), 0755);
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(Oper->ListComplete());
    const TFileTree* locked = Child(*Oper->FFileTree, "locked");
    ASSERT_NE(locked, nullptr);
    EXPECT_TRUE(locked->NotListed);
    EXPECT_EQ(ChildNames(*Child(*Oper->FFileTree, "open")), (std::vector<std::string>{"y"}));
}

// The folder window's browsing: sub-folder names, and the last connected device's name.
TEST_F(WMFileOperTest, BrowsesTheDevice) {
    IDeviceBrowser* browser = DeviceBrowserOf(*Oper);
    ASSERT_NE(browser, nullptr);
    Device->MakeFolder("/Storage Card");
    Device->Write("/file.txt", "f");
    std::vector<std::string> names;
    EXPECT_EQ(browser->GetDeviceSubFolders("\\", names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"My Documents", "Storage Card"}));
    names.clear();
    EXPECT_EQ(browser->GetDeviceSubFolders("\\My Documents", names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_NE(browser->GetDeviceSubFolders("\\Gone", names), 0);

    const std::string services = "[Software\\Microsoft\\Windows CE Services]\r\n";
    const std::string partners = "[Software\\Microsoft\\Windows CE Services\\Partners\\";
    const struct {
        std::string Registry;
        const char* Name;
    } cases[] = {
        {services + "Last Device=42\r\n" + partners + "7]\r\nDisplayName=Seven\r\n" + partners +
             "42]\r\nDisplayName=Pocket_PC\r\n",
         "Pocket_PC"},
        {services + "Last Device=\r\n" + partners + "7]\r\nDisplayName=Seven\r\n" + partners +
             "42]\r\nDisplayName=Pocket_PC\r\n",
         "Seven"},
        // Nothing recorded that names a partner: the device attached, by its library's name.
        {services + "Last Device=99\r\n" + partners + "7]\r\nDisplayName=Seven\r\n", "Pocket_PC"},
        {"", "Pocket_PC"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(WriteFileAtomic(GetProgramFolder() + REGISTRY_FILE_NAME, c.Registry), 0);
        EXPECT_EQ(browser->GetDeviceName(""), c.Name) << c.Registry;
    }
    EXPECT_EQ(browser->GetDeviceName("wm:Other\\x"), "Other");
    // No device attached: none is found, whatever was recorded.
    const TScopedEnv noFolder("BFS_DEVICE_FOLDER", Scratch.Path + "/no-such-folder");
    EXPECT_EQ(browser->GetDeviceName(""), "");
}

// A device that connects is recorded as the one connected last, under the partner of its name.
TEST_F(WMFileOperTest, RecordsTheDeviceConnectedLast) {
    const std::string file = GetProgramFolder() + REGISTRY_FILE_NAME;
    // SetUp connected wm:Pocket_PC\My Documents.
    EXPECT_EQ(LastDeviceName(file), "Pocket_PC");
    const std::string services = "[Software\\Microsoft\\Windows CE Services]\r\n";
    const std::string partners = "[Software\\Microsoft\\Windows CE Services\\Partners\\";
    const std::string other = "[Software\\Bramlow File Sync]\r\nCheckUpdate=1\r\n";
    const struct {
        const char* Name;
        std::string Before;
        std::string Device;
        int Result;
        std::string Partner;  // "Last Device" afterwards
        bool Unchanged;
    } cases[] = {
        {"no file yet", "", "Pocket_PC", 0, "1", false},
        {"a new partner beside another",
         other + services + "Last Device=1\r\n" + partners + "1]\r\nDisplayName=Seven\r\n", "Pocket_PC", 0,
         "2", false},
        {"a known partner",
         services + "Last Device=7\r\n" + partners + "7]\r\nDisplayName=Seven\r\n" + partners +
             "42]\r\nDisplayName=Pocket_PC\r\n",
         "Pocket_PC", 0, "42", false},
        {"already the last", services + "Last Device=42\r\n" + partners + "42]\r\nDisplayName=Pocket_PC\r\n",
         "Pocket_PC", 0, "42", true},
        {"no name", other, "", EINVAL, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::remove(file.c_str());
        if (!c.Before.empty()) {
            ASSERT_EQ(WriteFileAtomic(file, c.Before), 0);
        }
        EXPECT_EQ(RecordLastDevice(file, c.Device), c.Result);
        std::string after;
        ReadWholeFile(file, after);
        if (c.Unchanged) {
            EXPECT_EQ(after, c.Before);
        }
        if (c.Result != 0) continue;
        EXPECT_EQ(LastDeviceName(file), c.Device);
        EXPECT_EQ(TIniFile(file).ReadString("Software\\Microsoft\\Windows CE Services", "Last Device", ""),
                  c.Partner);
        // Whatever else the file holds stays.
        if (c.Before.starts_with(other)) {
            EXPECT_EQ(TIniFile(file).ReadString("Software\\Bramlow File Sync", "CheckUpdate", ""), "1");
        }
    }
}

// A stream goes straight to the device under a temporary name and replaces the target; nothing
// stays behind locally or on the device.
TEST_F(WMFileOperTest, StreamsLeaveNoStagingFile) {
    const TFileAttri state = Entry(std::string("/") + MARKER_FOLDER + "/", "TASK");
    ASSERT_EQ(Oper->WriteStreamToFile("saved", Side(), state, false), 0);
    ASSERT_EQ(Oper->WriteStreamToFile("saved again", Side(), state, false), 0);
    EXPECT_EQ(Device->Read(std::string("/My Documents/") + MARKER_FOLDER + "/TASK"), "saved again");
    const std::string staging = GetStagingFolderPath();
    DIR* dir = ::opendir(staging.c_str());
    if (dir) {
        int entries = 0;
        while (const dirent* e = ::readdir(dir)) entries += e->d_name[0] != '.' || IsReservedName(e->d_name);
        ::closedir(dir);
        EXPECT_EQ(entries, 0);
    }
    std::string read;
    EXPECT_NE(Oper->ReadFileToStream(Side(), Entry("/", "missing"), read, 0), 0);
}

// A download is made as a plain copy makes a file (0666 less the umask) and carries the device
// file's own time, to the 100 ns the device keeps. A file written again while it is read, to the
// same size and date as listed, is not taken: the local file keeps what it held.
TEST_F(WMFileOperTest, DownloadKeepsTheDeviceTimeAndAPlainMode) {
    const std::string device = Device->Local("/My Documents/t.txt"), local = Scratch.Path + "/t.txt";
    Device->Write("/My Documents/t.txt", std::string(150000, 'a'));
    const timespec fine[2] = {{1700000001, 0}, {1700000001, 987654300}};
    ASSERT_EQ(::utimensat(AT_FDCWD, device.c_str(), fine, 0), 0);
    ASSERT_EQ(Oper->ListFolder(), 0);
    const TFileAttri listed = *Child(*Oper->FFileTree, "t.txt")->Data;
    const mode_t old = ::umask(027);
    EXPECT_EQ(Oper->GetFile(local, Side(), listed, 0, false), 0);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(local.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(st.st_mtim.tv_sec == 1700000001 && st.st_mtim.tv_nsec == 987654300) << st.st_mtim.tv_nsec;

    bool rewritten = false;
    Recorder.OnMessage = [&](uint32_t) {
        if (std::exchange(rewritten, true)) return;
        std::ofstream(device, std::ios::binary) << std::string(150000, 'b');
        const timespec again[2] = {{1700000001, 0}, {1700000001, 0}};  // the same DOS date
        ::utimensat(AT_FDCWD, device.c_str(), again, 0);
    };
    EXPECT_EQ(Oper->GetFile(local, Side(), listed, 0, false), RESULT_SOURCE_CHANGED);
    std::string read;
    ReadWholeFile(local, read);
    EXPECT_EQ(read, std::string(150000, 'a'));
}

}  // namespace
}  // namespace bfs::test
