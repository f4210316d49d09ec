#include "common/TempFolder.h"
#include "platform/UTMountTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace bfs {
namespace {

const std::string BASE =
    "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
    "27 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n";

void WriteTable(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

TEST(MountTableTest, FieldsAreUnescapedAndBadLinesSkipped) {
    const auto entries = ParseMountInfo(
        "41 27 8:17 / /media/u/My\\040Stick\\011x\\134y\\012 rw - vfat /dev/sdb1 rw\n"
        "not a mount line\n"
        "42 27 8:18 / /tail\\04 rw - vfat /dev/sdb2 rw\n"
        "43 27 8:19\n"
        "44 27 8:20 / /last rw - vfat /dev/sdb3 rw");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].MountID, 41u);
    EXPECT_EQ(entries[0].Device, "8:17");
    EXPECT_EQ(entries[0].MountPoint, "/media/u/My Stick\tx\\y\n");
    EXPECT_EQ(entries[1].MountPoint, "/tail\\04");  // a cut-off escape stays as it is
    EXPECT_EQ(entries[2].MountPoint, "/last");
}

TEST(MountTableTest, ReportsEachNewMountOnce) {
    test::TTempFolder dir("bfs-mounts");
    const std::string file = dir.Path + "/mountinfo";
    TMountTable table(file);
    EXPECT_TRUE(table.Added().empty());  // no file yet
    WriteTable(file, BASE);
    EXPECT_TRUE(table.Added().empty());  // the first reading only learns the table

    const struct {
        std::string Table;
        std::vector<std::string> Added;
    } steps[] = {
        {BASE + "50 27 8:17 / /media/a rw - vfat /dev/sdb1 rw\n", {"/media/a"}},
        {BASE + "50 27 8:17 / /media/a rw - vfat /dev/sdb1 rw\n", {}},
        // A failed or empty reading changes nothing: nothing is reported again afterwards.
        {"", {}},
        {BASE + "50 27 8:17 / /media/a rw - vfat /dev/sdb1 rw\n", {}},
        // Unmounted, then the identifier reused by another device at the same point.
        {BASE, {}},
        {BASE + "50 27 8:33 / /media/a rw - vfat /dev/sdc1 rw\n", {"/media/a"}},
        // Two mounts at once, one point mounted twice (stacked): each point once, in table order.
        {BASE + "61 27 8:49 / /media/c rw - vfat /dev/sdd1 rw\n"
                "62 27 8:50 / /media/b rw - vfat /dev/sdd2 rw\n"
                "63 62 8:51 / /media/b rw - vfat /dev/sdd3 rw\n",
         {"/media/c", "/media/b"}},
    };
    for (const auto& s : steps) {
        WriteTable(file, s.Table);
        EXPECT_EQ(table.Added(), s.Added) << s.Table;
    }
}

TEST(MountTableTest, ParsesTheProcessTable) {
    std::ifstream file("/proc/self/mountinfo");
    std::stringstream text;
    text << file.rdbuf();
    const auto entries = ParseMountInfo(text.str());
    EXPECT_TRUE(
        std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.MountPoint == "/"; }));
}

}  // namespace
}  // namespace bfs
