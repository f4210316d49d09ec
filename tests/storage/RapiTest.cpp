#include "storage/rapi.h"
#include "tests/storage/RapiTestDevice.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bfs::test {
namespace {

// Checks run in a child process (the library, once loaded, stays loaded in this one): each failed
// check is printed, and the child's exit status is their number.
struct TChildChecks {
    int Failed = 0;
    void Expect(bool Ok, const char* What) {
        if (!Ok) {
            std::fprintf(stderr, "failed: %s\n", What);
            ++Failed;
        }
    }
};

// Without the library every wrapper gives its fallback and calls nothing: no handle, no found
// file, no connection. A load that failed is tried again, and succeeds once the library is there.
TEST(RapiTest, WithoutTheLibraryEveryCallFails) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* standin = std::getenv(DEVICE_LIBRARY_ENV);
    if (!standin) GTEST_SKIP() << "BFS_RAPI_LIBRARY names no stand-in library";
    const std::string library = standin;
    const auto child = [&] {
        TChildChecks c;
        ::setenv(DEVICE_LIBRARY_ENV, "/nonexistent/libbfs-rapi.so", 1);
        CE_FIND_DATA find{};
        STORE_INFORMATION store{};
        RAPIINIT init{sizeof(RAPIINIT), -1, 0};
        uint32_t n = 0, high = 0;
        char buffer[4];
        const struct {
            int64_t Got, Fallback;
            const char* What;
        } table[] = {
            {LoadRapi(), 0, "LoadRapi"},
            {CeRapiInit(), 0xFFFF, "CeRapiInit"},
            {CeRapiUnInit(), 0xFFFF, "CeRapiUnInit"},
            {bfs::CeRapiInitEx(&init), 0xFFFF, "CeRapiInitEx"},
            {bfs::CeFindFirstFile(u"\\*.*", &find), INVALID_DEVICE_HANDLE, "CeFindFirstFile"},
            {bfs::CeFindNextFile(1, &find), 0, "CeFindNextFile"},
            {CeFindClose(1), 0, "CeFindClose"},
            {CeCreateFile(u"\\a", DEVICE_GENERIC_READ, 0, nullptr, DEVICE_OPEN_EXISTING, 0, 0),
             INVALID_DEVICE_HANDLE, "CeCreateFile"},
            {CeReadFile(1, buffer, 4, &n, nullptr), 0, "CeReadFile"},
            {CeWriteFile(1, buffer, 4, &n, nullptr), 0, "CeWriteFile"},
            {CeCloseHandle(1), 0, "CeCloseHandle"},
            {CeGetLastError(), 0xFFFF, "CeGetLastError"},
            {CeCreateDirectory(u"\\d", nullptr), 0, "CeCreateDirectory"},
            {CeRemoveDirectory(u"\\d"), 0, "CeRemoveDirectory"},
            {CeMoveFile(u"\\a", u"\\b"), 0, "CeMoveFile"},
            {CeCopyFile(u"\\a", u"\\b", 1), 0, "CeCopyFile"},
            {CeDeleteFile(u"\\a"), 0, "CeDeleteFile"},
            {CeGetFileSize(1, &high), 0xFFFFFFFF, "CeGetFileSize"},
            {bfs::CeGetStoreInformation(&store), 0, "CeGetStoreInformation"},
            {RapiCreateDir("\\d"), 0, "RapiCreateDir"},
            {RapiDeleteFile("\\a"), 0, "RapiDeleteFile"},
            {RapiRemoveDir("\\d"), 0xFFFF, "RapiRemoveDir"},
            {RapiGetFileSize("\\a"), -1, "RapiGetFileSize"},
            {RapiCopyFile("\\a", "\\b"), 0, "RapiCopyFile"},
            {RapiMoveFile("\\a", "\\b"), 0, "RapiMoveFile"},
        };
        for (const auto& row : table) c.Expect(row.Got == row.Fallback, row.What);
        c.Expect(init.InitEvent == -1, "CeRapiInitEx left the record alone");
        c.Expect(RapiLibraryTried() == "/nonexistent/libbfs-rapi.so", "the named file was tried");
        ::setenv(DEVICE_LIBRARY_ENV, library.c_str(), 1);
        c.Expect(LoadRapi(), "a later call loads the library");
        std::exit(c.Failed);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// A library that lacks an entry point gives that wrapper's fallback; the others work.
TEST(RapiTest, AMissingEntryPointGivesItsFallback) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* partial = std::getenv("BFS_RAPI_PARTIAL_LIBRARY");
    if (!partial) GTEST_SKIP() << "BFS_RAPI_PARTIAL_LIBRARY names no library";
    const std::string library = partial;
    const auto child = [&] {
        TChildChecks c;
        ::setenv(DEVICE_LIBRARY_ENV, library.c_str(), 1);
        const TTestDevice device;
        device.Write("/a.txt", "abc");
        c.Expect(LoadRapi(), "the partial library loads");
        c.Expect(CeRapiInit() == 0, "CeRapiInit connects");
        c.Expect(RapiGetFileSize("\\a.txt") == -1, "RapiGetFileSize without CeGetFileSize");
        c.Expect(!RapiCopyFile("\\a.txt", "\\b.txt"), "RapiCopyFile without CeCopyFile");
        c.Expect(!device.Exists("/b.txt"), "no copy made");
        c.Expect(RapiMoveFile("\\a.txt", "\\b.txt") && device.Read("/b.txt") == "abc", "RapiMoveFile works");
        CeRapiUnInit();
        std::exit(c.Failed);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

class RapiStandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RequireStandin();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(CeRapiInit(), 0);
        m_Connected = true;
    }
    void TearDown() override {
        if (m_Connected) CeRapiUnInit();
    }
    TTestDevice Device;

  private:
    bool m_Connected = false;
};

TEST_F(RapiStandinTest, PathRoutinesOnTheDevice) {
    Device.MakeFolder("/docs");
    Device.Write("/docs/a.txt", "first");
    Device.Write("/docs/b.txt", "second!");
    // Copying never replaces: the target keeps what it held.
    EXPECT_FALSE(RapiCopyFile("\\docs\\a.txt", "\\docs\\b.txt"));
    EXPECT_EQ(Device.Read("/docs/b.txt"), "second!");
    EXPECT_TRUE(RapiCopyFile("\\docs\\a.txt", "\\docs\\c.txt"));
    EXPECT_EQ(Device.Read("/docs/c.txt"), "first");
    EXPECT_FALSE(RapiMoveFile("\\docs\\a.txt", "\\docs\\b.txt"));
    EXPECT_EQ(Device.Read("/docs/b.txt"), "second!");
    EXPECT_EQ(RapiGetFileSize("\\docs\\b.txt"), 7);
    EXPECT_EQ(RapiGetFileSize("\\docs\\missing.txt"), -1);
    EXPECT_EQ(RapiGetFileSize("\\docs"), -1);
    EXPECT_EQ(RapiRemoveDir("\\docs"), DEVICE_ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(RapiCreateDir("\\new\\"));
    EXPECT_EQ(RapiRemoveDir("\\new"), 0u);
    EXPECT_FALSE(Device.Exists("/new"));
    // "." and ".." never climb out of the device's folder.
    EXPECT_FALSE(RapiCreateDir("\\..\\escape"));
    EXPECT_FALSE(RapiCopyFile("\\docs\\a.txt", "\\docs\\..\\..\\a.txt"));
}

// Names pass as UTF-16 both ways; text that is no UTF-8 reaches no call.
TEST_F(RapiStandinTest, NamesPassThroughUtf16) {
    const std::string name = "Ünïcødé 日本 \xF0\x9F\x8E\xB5";  // the last one outside the basic plane
    EXPECT_TRUE(RapiCreateDir("\\" + name));
    Device.Write("/" + name + "/f.txt", "12345");
    EXPECT_EQ(RapiGetFileSize("\\" + name + "\\f.txt"), 5);
    CE_FIND_DATA data{};
    std::u16string pattern;
    ASSERT_TRUE(Utf8ToUtf16("\\*", pattern));
    const TDeviceHandle find = bfs::CeFindFirstFile(pattern.c_str(), &data);
    ASSERT_NE(find, INVALID_DEVICE_HANDLE);
    std::string found;
    EXPECT_TRUE(Utf16ToUtf8(data.FileName, DEVICE_MAX_PATH, found));
    EXPECT_EQ(found, name);
    EXPECT_EQ(data.FileAttributes & 16u, 16u);
    EXPECT_EQ(bfs::CeFindNextFile(find, &data), 0);
    EXPECT_EQ(CeGetLastError(), DEVICE_ERROR_NO_MORE_FILES);
    EXPECT_NE(CeFindClose(find), 0);
    for (const char* bad : {"\\\xC3", "\\\xC0\xAF", "\\\xED\xA0\x80"}) {  // cut short, overlong, a surrogate
        EXPECT_FALSE(RapiCreateDir(bad));
        EXPECT_EQ(RapiGetFileSize(bad), -1);
    }
}

// The stand-in's errors, as the back-end tells them apart.
TEST_F(RapiStandinTest, FailuresReadAsTheirErrors) {
    Device.MakeFolder("/full");
    Device.MakeFolder("/empty");
    Device.Write("/full/f", "x");
    CE_FIND_DATA data{};
    const auto findError = [&](const char16_t* Pattern) {
        EXPECT_EQ(bfs::CeFindFirstFile(Pattern, &data), INVALID_DEVICE_HANDLE);
        return CeGetLastError();
    };
    const auto createError = [](const char16_t* Path, uint32_t Disposition) {
        EXPECT_EQ(CeCreateFile(Path, DEVICE_GENERIC_WRITE, 0, nullptr, Disposition, 0, 0),
                  INVALID_DEVICE_HANDLE);
        return CeGetLastError();
    };
    const struct {
        uint32_t Got, Expected;
        const char* What;
    } table[] = {
        {findError(u"\\full\\none"), DEVICE_ERROR_FILE_NOT_FOUND, "a missing file"},
        {findError(u"\\none\\*.*"), DEVICE_ERROR_PATH_NOT_FOUND, "a search in a missing folder"},
        {findError(u"\\full\\f\\x"), DEVICE_ERROR_PATH_NOT_FOUND, "a file taken for a folder"},
        {findError(u"\\empty\\*.*"), DEVICE_ERROR_NO_MORE_FILES, "a search that finds nothing"},
        {createError(u"\\full\\f", DEVICE_CREATE_NEW), DEVICE_ERROR_FILE_EXISTS, "creating an existing file"},
        {createError(u"\\full", DEVICE_CREATE_ALWAYS), DEVICE_ERROR_ACCESS_DENIED, "writing a folder"},
        {(CeRemoveDirectory(u"\\full"), CeGetLastError()), DEVICE_ERROR_DIR_NOT_EMPTY,
         "removing a full folder"},
        {(CeCreateDirectory(u"\\full", nullptr), CeGetLastError()), DEVICE_ERROR_ALREADY_EXISTS,
         "creating an existing folder"},
        {(CeMoveFile(u"\\full\\f", u"\\full"), CeGetLastError()), DEVICE_ERROR_ALREADY_EXISTS,
         "moving onto an existing name"},
    };
    for (const auto& row : table) EXPECT_EQ(row.Got, row.Expected) << row.What;
    STORE_INFORMATION store{};
    EXPECT_NE(bfs::CeGetStoreInformation(&store), 0);
    EXPECT_GT(store.StoreSize, 0u);
    EXPECT_LE(store.FreeSize, store.StoreSize);
}

// The connection's event is readable once the device is there, and never without a device folder.
TEST_F(RapiStandinTest, InitEventSignalsOnlyAnAttachedDevice) {
    for (const bool attached : {true, false}) {
        const TScopedEnv folder("BFS_DEVICE_FOLDER", attached ? Device.Local("") : Device.Local("/missing"));
        RAPIINIT init{sizeof(RAPIINIT), -1, 0};
        ASSERT_EQ(bfs::CeRapiInitEx(&init), 0);
        ASSERT_GE(init.InitEvent, 0);
        pollfd p{init.InitEvent, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, attached ? 1000 : 50), attached ? 1 : 0) << attached;
        if (attached) CeRapiUnInit();
    }
}

}  // namespace
}  // namespace bfs::test
