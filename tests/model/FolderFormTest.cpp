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

// Two writings of one folder are one folder; a different folder stays different.
TEST(FolderFormTest, AddressFormsTellOneFolderFromAnother) {
    const struct {
        int32_t Kind;
        const char* A;
        const char* B;
        bool Same;
    } cases[] = {
        {DEVICE_LOCAL, "/data", "/data/", true},
        {DEVICE_LOCAL, "/data", "//data//", true},
        {DEVICE_LOCAL, "/data", "/Data", false},
        {DEVICE_LOCAL, "/data", "/data ", false},
        {DEVICE_NETWORK, "\\\\nas\\Music\\rock", "\\\\NAS:445/music/Rock\\", true},
        {DEVICE_NETWORK, "\\\\nas\\music", "\\\\nas:139\\music", false},
        {DEVICE_NETWORK, "\\\\nas\\music\\a", "\\\\nas\\music\\b", false},
        {DEVICE_FTP, "ftp://127.0.0.1:2121", "ftp://127.0.0.1:2121/", true},
        {DEVICE_FTP, "ftp://host/d", " FTP://HOST:21/d// ", true},
        {DEVICE_FTP, "ftp://h/d", "ftp://h/d /", false},
        {DEVICE_FTP, "ftp://h/a", "ftp://h/b", false},
        {DEVICE_FTP, "ftp://h/a", "ftp://h/A", false},
        {DEVICE_FTP, "ftp://h/a", "ftp://g/a", false},
        {DEVICE_FTP, "ftp://h:2121/a", "ftp://h:2122/a", false},
        {DEVICE_WEBDAV, "http://h/dav", "HTTP://H:80/dav/", true},
        {DEVICE_WEBDAV, "https://h/dav", "https://h:443/dav", true},
        {DEVICE_WEBDAV, "http://h/dav", "https://h/dav", false},
        {DEVICE_WEBDAV, "http://h/dav", "http://h/Dav", false},
        {DEVICE_S3, "http://s3.example.org/b/p", "HTTPS://S3.example.org/b/p/", true},
        {DEVICE_S3, "http://s3.example.org/b", "http://s3.example.org/b/", true},
        {DEVICE_S3, "http://s3.example.org/b/p", "http://s3.example.org/c/p", false},
        {DEVICE_S3, "http://s3.example.org/b/p", "http://s3.example.org/b/P", false},
        {DEVICE_MOBILE, "wm:Phone\\DCIM", "wm:Phone\\dcim\\", true},
        {DEVICE_MOBILE, "wm:Phone\\", "wm:Phone\\\\", true},
        {DEVICE_MOBILE, "wm:Phone\\DCIM", "wm:Phone\\Music", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameFolderAddress(c.Kind, c.A, c.B), c.Same) << c.A << " | " << c.B;
        EXPECT_EQ(SameFolderAddress(c.Kind, c.B, c.A), c.Same) << c.B << " | " << c.A;
    }
}

TEST(FolderFormTest, AnAddressFormReadAgainIsTheSameForm) {
    const struct {
        int32_t Kind;
        const char* Address;
        const char* Form;
    } cases[] = {
        {DEVICE_LOCAL, "/home/me//a/", "/home/me/a"},
        {DEVICE_LOCAL, "/", "/"},
        {DEVICE_NETWORK, "\\\\NAS:445\\music/rock\\", "\\\\nas\\music\\rock"},
        {DEVICE_FTP, "ftp://h/d /", "ftp://h/d /"},
        {DEVICE_FTP, "ftp://h/d  //", "ftp://h/d  /"},
        {DEVICE_FTP, "Ftp://User@Host:21/Photos", "ftp://User@host/Photos"},
        {DEVICE_WEBDAV, "HTTP://Dav.Example.org:8080/Files/", "http://dav.example.org:8080/Files"},
        {DEVICE_WEBDAV, "http://h/d /", "http://h/d /"},
        {DEVICE_S3, "https://S3.Example.org/bucket//some/prefix/", "s3.example.org/bucket/some/prefix"},
        {DEVICE_S3, "http://s3/b/p /", "s3/b/p /"},
        {DEVICE_MOBILE, "wm:Phone\\DCIM\\", "wm:Phone\\DCIM"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FolderAddressForm(c.Kind, c.Address), c.Form) << c.Address;
        EXPECT_EQ(FolderAddressForm(c.Kind, c.Form), c.Form) << c.Address;
    }
}

}  // namespace
}  // namespace bfs
