#include "storage/UTStorageCommon.h"

#include "model/UTFileOper.h"
#include "model/UTPublicFunc.h"
#include "platform/UTFolders.h"
#include "platform/UTLocalFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

namespace bfs {

namespace {

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// The shared state of a parallel listing (ListFoldersInParallel).
struct TListingQueue {
    struct TWaiting {
        TPendingFolder Folder;
        int32_t Depth;  // 0 for the root
    };
    TListingQueue(size_t Workers_, int32_t Steps_, const std::function<TFolderReader()>& MakeReader_,
                  const std::function<bool()>& Stopped_, const std::function<void()>& Progress_)
        : Workers(Workers_), Steps(Steps_), MakeReader(MakeReader_), Stopped(Stopped_), Progress(Progress_) {}

    size_t Workers;
    const int32_t Steps;
    const std::function<TFolderReader()>& MakeReader;
    const std::function<bool()>& Stopped;
    const std::function<void()>& Progress;

    std::mutex Lock;  // guards everything below, and the Progress calls
    std::condition_variable Changed;
    std::deque<TWaiting> Waiting;  // found, not taken yet, in the order found
    size_t Busy = 0;               // workers reading a folder
    size_t Free = 1;               // workers started (or starting) and not reading: the caller's first
    size_t Started = 1;            // threads started, the caller's included
    int32_t Announced = 0;         // levels announced by Progress
    bool GiveUp = false;
    bool Complete = true;
    std::exception_ptr Failure;
    std::vector<std::thread> Threads;

    // Under Lock: marks every folder still waiting unread.
    void DropWaiting() {
        for (TWaiting& w : Waiting) w.Folder.Node->NotListed = true;
        if (!Waiting.empty()) Complete = false;
        Waiting.clear();
    }
    // Under Lock: starts another worker while more folders wait than free workers would take.
    void StartWorkers() {
        while (!GiveUp && Started < Workers && Waiting.size() > Free) {
            try {
                Threads.emplace_back([this] { Run(); });
            } catch (const std::system_error&) {
                Workers = Started;  // no more threads to be had: the running ones do it all
                return;
            }
            ++Started;
            ++Free;
        }
    }
    // A started thread: gets its own reader and works with it; without one it takes no part.
    void Run() {
        TFolderReader reader;
        try {
            reader = MakeReader();
        } catch (...) {
            reader = nullptr;
        }
        if (!reader) {
            const std::lock_guard lock(Lock);
            --Free;
            Changed.notify_all();
            return;
        }
        Work(reader, false);
    }
    // Takes folders and reads them with Reader until none is left, the listing ends, or Reader
    // hands one back.
    void Work(const TFolderReader& Reader, bool First) {
        std::unique_lock lock(Lock);
        for (;;) {
            Changed.wait(lock, [this] { return !Waiting.empty() || Busy == 0 || GiveUp; });
            if (!GiveUp && Stopped()) {
                GiveUp = true;
                Complete = false;
            }
            if (GiveUp || Waiting.empty()) {  // given up, or every folder read
                if (GiveUp) DropWaiting();
                --Free;
                Changed.notify_all();
                return;
            }
            TWaiting item = std::move(Waiting.front());
            Waiting.pop_front();
            --Free;
            ++Busy;
            if (item.Depth >= Announced && Announced < Steps) {
                Announced = item.Depth + 1;
                Progress();
            }
            StartWorkers();
            lock.unlock();

            std::vector<TPendingFolder> found;
            TFolderRead result = TFolderRead::GiveUp;
            std::exception_ptr failure;
            try {
                result = Reader(item.Folder, found);
            } catch (...) {
                failure = std::current_exception();
            }

            lock.lock();
            --Busy;
            if (failure && !Failure) Failure = failure;
            if (result == TFolderRead::HandBack && First) result = TFolderRead::GiveUp;
            switch (result) {
                case TFolderRead::Read:
                    for (TPendingFolder& f : found) Waiting.push_back({std::move(f), item.Depth + 1});
                    break;
                case TFolderRead::Refused:
                case TFolderRead::GiveUp:
                    item.Folder.Node->NotListed = true;
                    for (TPendingFolder& f : found) f.Node->NotListed = true;
                    Complete = false;
                    if (result == TFolderRead::GiveUp) GiveUp = true;
                    break;
                case TFolderRead::HandBack:
                    Waiting.push_front(std::move(item));
                    Changed.notify_all();
                    return;
            }
            ++Free;
            StartWorkers();
            Changed.notify_all();
        }
    }
};

}  // namespace

bool ListFoldersInParallel(TPendingFolder Root, size_t Workers, int32_t Steps, const TFolderReader& First,
                           const std::function<TFolderReader()>& MakeReader,
                           const std::function<bool()>& Stopped, const std::function<void()>& Progress) {
    TListingQueue queue(std::max<size_t>(Workers, 1), Steps, MakeReader, Stopped, Progress);
    queue.Waiting.push_back({std::move(Root), 0});
    queue.Work(First, true);
    // Once the caller's worker has ended, no thread is started any more: it ends only when nothing
    // waits and nobody reads, or when the listing was given up.
    std::vector<std::thread> threads;
    {
        const std::lock_guard lock(queue.Lock);
        threads = std::move(queue.Threads);
    }
    for (std::thread& t : threads) t.join();
    queue.DropWaiting();
    if (queue.Failure) std::rethrow_exception(queue.Failure);
    return queue.Complete;
}

bool DiffersFromListing(const struct stat& St, int64_t Size, int32_t FileDate) {
    return static_cast<int64_t>(St.st_size) != Size ||
           (DosDateInstant(FileDate) != -1 && UnixTimeToDosDate(St.st_mtime) != FileDate);
}

bool ChangedSince(int Fd, const struct stat& Before, int64_t Size, int32_t FileDate) {
    struct stat after {};
    return ::fstat(Fd, &after) != 0 || DiffersFromListing(after, Size, FileDate) || !SameTimes(after, Before);
}

namespace {

// The folder of a local path, ending with "/" ("./" for a bare name).
std::string FolderOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string("./") : Path.substr(0, slash + 1);
}

// Removes the leftovers of the reserved form from the staging folder, once per process (and folder):
// a run killed while it staged a file leaves its temporary there, and no listing ever looks there.
void RemoveStagingLeftovers(const std::string& Folder) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        const std::lock_guard guard(lock);
        if (!swept.insert(Folder).second) return;
    }
    const int fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    TDirPtr dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir.get()))
        if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) && IsReservedName(entry->d_name))
            leftovers.emplace_back(entry->d_name);
    for (const std::string& name : leftovers) RemoveLeftover(fd, name);
}

// The folder of Target, rid of its leftovers first when it is the staging folder.
std::string SweptFolderOf(const std::string& Target) {
    std::string folder = FolderOf(Target);
    if (folder == GetStagingFolderPath()) RemoveStagingLeftovers(folder);
    return folder;
}

}  // namespace

void RemoveLeftover(int FolderFd, const std::string& Name) noexcept {
    TFd fd(::openat(FolderFd, Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) ::unlinkat(FolderFd, Name.c_str(), 0);
}

TDownloadFile::TDownloadFile(std::string Target, std::string_view Prefix, int64_t Listed)
    : m_Target(std::move(Target)), m_Temp(SweptFolderOf(m_Target), Prefix), m_Listed(Listed) {}

bool TDownloadFile::Write(std::string_view Data) {
    if (m_Overran || m_WriteFailed || !m_Temp.Created()) return false;
    if (static_cast<int64_t>(Data.size()) > m_Listed - m_Bytes) {
        m_Overran = true;
        return false;
    }
    if (WriteAll(m_Temp.Fd(), Data) != 0) {
        m_WriteFailed = true;
        return false;
    }
    m_Bytes += static_cast<int64_t>(Data.size());
    return true;
}

bool TDownloadFile::Restart() {
    m_Bytes = 0;
    m_Overran = m_WriteFailed = false;
    return m_Temp.Created() && ::ftruncate(m_Temp.Fd(), 0) == 0 && ::lseek(m_Temp.Fd(), 0, SEEK_SET) == 0;
}

bool TDownloadFile::Commit(const timespec* Times) {
    if (!Whole() || ::fchmod(m_Temp.Fd(), 0666 & ~ProcessUmask()) != 0) return false;
    if (Times && ::futimens(m_Temp.Fd(), Times) != 0) return false;
    return m_Temp.CommitAs(m_Target);
}

bool StartsWithNoCase(std::string_view Text, std::string_view Head) {
    return Text.size() >= Head.size() &&
           std::equal(Head.begin(), Head.end(), Text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::string EncodePath(std::string_view Path) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Path.size());
    for (const char ch : Path) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(HEX[c >> 4]);
            out.push_back(HEX[c & 15]);
        }
    }
    return out;
}

std::string DecodePath(std::string_view Path) {
    std::string out;
    out.reserve(Path.size());
    for (size_t i = 0; i < Path.size(); ++i) {
        int hi = 0, lo = 0;
        if (Path[i] == '%' && i + 2 < Path.size() && (hi = HexValue(Path[i + 1])) >= 0 &&
            (lo = HexValue(Path[i + 2])) >= 0) {
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(Path[i]);
        }
    }
    return out;
}

int64_t HttpDateToUnixTime(std::string_view Text) {
    // "Fri, 05 Mar 2010 14:07:33 GMT", always UTC
    static constexpr std::string_view MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    Text = TrimWhiteSpace(Text);
    const size_t comma = Text.find(", ");
    if (comma == std::string_view::npos) return -1;
    Text.remove_prefix(comma + 2);
    if (Text.size() != 24 || Text[2] != ' ' || Text[6] != ' ' || Text[11] != ' ' || Text[14] != ':' ||
        Text[17] != ':' || Text.substr(20) != " GMT")
        return -1;
    std::tm tm{};
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (Text.substr(3, 3) == MONTHS[i]) tm.tm_mon = i;
    if (tm.tm_mon < 0 || !ParseNumber(Text.substr(0, 2), tm.tm_mday) ||
        !ParseNumber(Text.substr(7, 4), tm.tm_year) || !ParseNumber(Text.substr(12, 2), tm.tm_hour) ||
        !ParseNumber(Text.substr(15, 2), tm.tm_min) || !ParseNumber(Text.substr(18, 2), tm.tm_sec) ||
        tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return -1;
    tm.tm_year -= 1900;
    return static_cast<int64_t>(::timegm(&tm));
}

int32_t HttpDateToDosDate(std::string_view Text) {
    const int64_t unix = HttpDateToUnixTime(Text);
    return unix == -1 ? 0 : UnixTimeToDosDate(unix);
}

std::string Base64Encode(std::string_view Text) {
    std::string out(4 * ((Text.size() + 2) / 3) + 1, '\0');
    const int n =
        ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(Text.data()), static_cast<int>(Text.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string Md5Hex(const TFileTree::TTextSource& Bytes) {
    constexpr size_t CHUNK = 1 << 20;
    const std::unique_ptr<EVP_MD_CTX, decltype(&::EVP_MD_CTX_free)> ctx(::EVP_MD_CTX_new(),
                                                                        &::EVP_MD_CTX_free);
    if (!ctx || ::EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};
    const auto buffer = std::make_unique<char[]>(CHUNK);
    for (;;) {
        const int64_t n = Bytes(buffer.get(), CHUNK);
        if (n < 0) return {};
        if (n == 0) break;
        if (::EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(n)) != 1) return {};
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (::EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 15];
    }
    return text;
}

}  // namespace bfs
