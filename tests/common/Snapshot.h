#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bfs::test {

// Everything below Root, links not followed, one line per entry: "rel/ mode" for a folder,
// "rel -> target" for a link, "rel=content mode mtime" for a file. Two snapshots are equal only
// when nothing below Root was made, removed, written, renamed or had its mode or time changed.
inline std::vector<std::string> SnapshotOf(const std::string& Root) {
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        const std::string rel = path.substr(Root.size());
        struct stat st {};
        ::lstat(path.c_str(), &st);
        const std::string mode = " " + std::to_string(st.st_mode & 07777);
        if (it->is_symlink()) {
            out.push_back(rel + " -> " + fs::read_symlink(it->path(), ec).string());
        } else if (it->is_directory()) {
            out.push_back(rel + "/" + mode);
        } else {
            std::ifstream in(path, std::ios::binary);
            const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            out.push_back(rel + "=" + content + mode + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                          std::to_string(st.st_mtim.tv_nsec));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace bfs::test
