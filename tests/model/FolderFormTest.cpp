#include "model/UTFolderForm.h"
#include "model/UTFolderSource.h"

#include <gtest/gtest.h>

namespace bfs {
namespace {

constexpr int32_t REFUSED = -1;

TEST(FolderFormTest, TheFormOfAnAddressNamesItsKind) {
    struct TCase {
        const char* Typed;
        int32_t Current;  // the side's kind before
        int32_t Kind;     // REFUSED: fits no kind
        const char* Stored;
    };
    const TCase cases[] = {
        // A local path whatever the side was; one trailing "/" dropped, the root kept.
        {"/home/me/a", DEVICE_MOBILE, DEVICE_LOCAL, "/home/me/a"},
        {"  /home/me/a/ ", DEVICE_FTP, DEVICE_LOCAL, "/home/me/a"},
        {"/", DEVICE_S3, DEVICE_LOCAL, "/"},
        {"/home/me/a /", DEVICE_LOCAL, DEVICE_LOCAL, "/home/me/a /"},
        // Shares, in their stored form.
        {"\\\\nas\\music", DEVICE_LOCAL, DEVICE_NETWORK, "\\\\nas\\music"},
        {"\\\\nas:139\\music\\rock\\", DEVICE_LOCAL, DEVICE_NETWORK, "\\\\nas:139\\music\\rock"},
        {"\\\\nas/music/rock", DEVICE_LOCAL, DEVICE_NETWORK, "\\\\nas\\music\\rock"},
        {"smb://nas/music/rock/", DEVICE_FTP, DEVICE_NETWORK, "\\\\nas\\music\\rock"},
        {"SMB://nas/My%20Music/100%", DEVICE_LOCAL, DEVICE_NETWORK, "\\\\nas\\My Music\\100%"},
        {"\\\\nas", DEVICE_LOCAL, REFUSED, ""},
        {"\\\\\\music", DEVICE_LOCAL, REFUSED, ""},
        {"smb://nas", DEVICE_LOCAL, REFUSED, ""},
        {"smb://nas//music", DEVICE_LOCAL, REFUSED, ""},
        {"smb://nas/a%5Cb", DEVICE_LOCAL, REFUSED, ""},
        // Servers by their scheme, in any case.
        {"ftp://example.org/photos/", DEVICE_LOCAL, DEVICE_FTP, "ftp://example.org/photos"},
        {"ftp://example.org/d /", DEVICE_LOCAL, DEVICE_FTP, "ftp://example.org/d /"},
        {"FTP://example.org", DEVICE_MOBILE, DEVICE_FTP, "FTP://example.org"},
        {"sftp://example.org/x", DEVICE_LOCAL, DEVICE_SFTP, "sftp://example.org/x"},
        {"http://dav.example.org/a", DEVICE_LOCAL, DEVICE_WEBDAV, "http://dav.example.org/a"},
        {"https://dav.example.org:8443/", DEVICE_FTP, DEVICE_WEBDAV, "https://dav.example.org:8443"},
        // An S3 side's address is a web address: the side stays S3.
        {"https://s3.example.org/bucket/photos", DEVICE_S3, DEVICE_S3,
         "https://s3.example.org/bucket/photos"},
        {"ftp://", DEVICE_LOCAL, REFUSED, ""},
        {"http://a b/c", DEVICE_LOCAL, REFUSED, ""},
        // Devices: the device alone is its top folder.
        {"wm:Pocket_PC\\My Documents\\", DEVICE_LOCAL, DEVICE_MOBILE, "wm:Pocket_PC\\My Documents"},
        {"WM:Pocket_PC", DEVICE_FTP, DEVICE_MOBILE, "wm:Pocket_PC\\"},
        {"wm:", DEVICE_MOBILE, REFUSED, ""},
        {"wm:\\Docs", DEVICE_MOBILE, REFUSED, ""},
        // Nothing typed: the side keeps its kind and has no folder.
        {"   ", DEVICE_FTP, DEVICE_FTP, ""},
        // Forms of no kind.
        {"home/me/a", DEVICE_LOCAL, REFUSED, ""},
        {"~/a", DEVICE_LOCAL, REFUSED, ""},
        {"C:\\Users\\me", DEVICE_LOCAL, REFUSED, ""},
        {"file:///home/me", DEVICE_LOCAL, REFUSED, ""},
        {"webdav://dav.example.org", DEVICE_WEBDAV, REFUSED, ""},
    };
    for (const TCase& c : cases) {
        const auto form = FolderFormOf(c.Typed, c.Current);
        if (c.Kind == REFUSED) {
            EXPECT_FALSE(form) << c.Typed;
            continue;
        }
        ASSERT_TRUE(form) << c.Typed;
        EXPECT_EQ(form->DeviceType, c.Kind) << c.Typed;
        EXPECT_EQ(form->Address, c.Stored) << c.Typed;
        // The stored form, typed again, is stored as it is.
        const auto again = FolderFormOf(form->Address, form->DeviceType);
        ASSERT_TRUE(again) << c.Typed;
        EXPECT_EQ(again->Address, form->Address) << c.Typed;
    }
}

// Two writings of one folder are one folder; a different folder stays different. Each address's
// form, read again, is the same form.
TEST(FolderFormTest, AddressFormsTellOneFolderFromAnother) {
    const struct {
        int32_t Kind;
        const char* A;
        const char* B;
        bool Same;
    } cases[] = {
        {DEVICE_LOCAL, "/data", "//data//", true},
        {DEVICE_LOCAL, "/data", "/data ", false},
        {DEVICE_NETWORK, "\\\\nas\\Music\\rock", "\\\\NAS:445/music/Rock\\", true},
        {DEVICE_NETWORK, "\\\\nas\\music", "\\\\nas:139\\music", false},
        {DEVICE_FTP, "ftp://host/d", " FTP://HOST:21/d// ", true},
        {DEVICE_FTP, "ftp://h/d /", "ftp://h/d //", true},
        {DEVICE_FTP, "ftp://h/d", "ftp://h/d /", false},
        {DEVICE_FTP, "ftp://h/a", "ftp://h/A", false},
        {DEVICE_FTP, "ftp://h/a", "ftp://h/b", false},
        {DEVICE_FTP, "ftp://h:2121/a", "ftp://g:2121/a", false},
        {DEVICE_FTP, "ftp://h:2121/a", "ftp://h:2122/a", false},
        {DEVICE_WEBDAV, "http://h/dav", "HTTP://H:80/dav/", true},
        {DEVICE_WEBDAV, "http://h/dav", "https://h/dav", false},
        {DEVICE_S3, "http://s3.example.org/b/p", "HTTPS://S3.example.org/b//p/", true},
        {DEVICE_S3, "http://s3/b/p", "http://s3/b/p /", false},
        {DEVICE_S3, "http://s3/b/p", "http://s3/c/p", false},
        {DEVICE_MOBILE, "wm:Phone\\DCIM", "wm:Phone\\dcim\\", true},
        {DEVICE_MOBILE, "wm:Phone\\", "wm:Phone\\\\", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameFolderAddress(c.Kind, c.A, c.B), c.Same) << c.A << " | " << c.B;
        for (const char* address : {c.A, c.B}) {
            const std::string form = FolderAddressForm(c.Kind, address);
            EXPECT_EQ(FolderAddressForm(c.Kind, form), form) << address;
        }
    }
}

}  // namespace
}  // namespace bfs
