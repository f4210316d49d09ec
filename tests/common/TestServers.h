#pragma once

// The network servers the storage tests and the remote benchmark run against: smbd with a private
// configuration, the FTP servers pyftpdlib and vsftpd, the WebDAV servers rclone and apache2, and
// s3rver behind its signature-checking launcher (tests/servers). Each serves folders of its own under
// /tmp, on a free port of 127.0.0.1, and is stopped by its process id. No GoogleTest here: a test
// checks that the programs are installed (BFS_REQUIRE_PROGRAM) before starting a server.

#include "common/ServerProcess.h"

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace bfs::test {

constexpr const char* SMBD = "/usr/sbin/smbd";
constexpr const char* SMBPASSWD = "/usr/bin/smbpasswd";
constexpr const char* PYTHON = "/usr/bin/python3";  // Debian's, which has pyftpdlib
constexpr const char* VSFTPD = "/usr/sbin/vsftpd";
// vsftpd serves real accounts only; this one exists for the tests and has a throwaway password.
constexpr const char* FTP_USER = "bfsftptest";
constexpr const char* FTP_PASS = "bfs-ftp-test-4711";

// Whether something accepts a connection on 127.0.0.1:Port.
inline bool Accepts(int Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(Port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// Whether something on 127.0.0.1:Port answers with a 220 greeting.
inline bool Greets(int Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(Port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[4] = {};
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::recv(fd, buf, 3, MSG_WAITALL) == 3 && std::string(buf) == "220";
    ::close(fd);
    return ok;
}

// smbd on a free port with a private configuration: the disk shares "share" and "other" and a
// printer share, one user (the account this process runs as) with Password. AuthFile holds the
// user and password for `smbclient -A` (mode 600), so no password goes on a command line.
class TSmbServer {
  public:
    explicit TSmbServer(std::string Password) : Password(std::move(Password)) {}
    TSmbServer(const TSmbServer&) = delete;
    TSmbServer& operator=(const TSmbServer&) = delete;
    ~TSmbServer() {
        Process.Stop();
        // Listing shares starts samba-dcerpcd, which outlives smbd.
        std::ifstream pidFile(Dir.Path + "/run/samba-dcerpcd.pid");
        pid_t pid = 0;
        if (pidFile >> pid && pid > 0) ::kill(pid, SIGTERM);
    }

    // False when smbd, smbpasswd or the account is missing, or smbd did not start on five ports.
    bool Start() {
        if (Dir.Path.empty() || ::access(SMBD, X_OK) != 0 || ::access(SMBPASSWD, X_OK) != 0) return false;
        const passwd* pw = ::getpwuid(::getuid());
        if (!pw) return false;
        User = pw->pw_name;
        SharePath = Dir.Path + "/share";
        for (const char* sub :
             {"/share", "/other", "/spool", "/run", "/private", "/state", "/lock", "/cache"})
            std::filesystem::create_directories(Dir.Path + sub);
        AuthFile = Dir.Path + "/auth.txt";
        {
            const int fd = ::open(AuthFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) return false;
            const std::string text = "username = " + User + "\npassword = " + Password + "\n";
            const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
            if (!written) return false;
        }
        const std::string limit =
            MaxProcesses > 0 ? "max smbd processes = " + std::to_string(MaxProcesses) + "\n" : "";
        for (int attempt = 0; attempt < 5; ++attempt) {
            Port = FreePort();
            const std::string conf = Dir.Path + "/smb.conf";
            std::ofstream(conf) << "[global]\n"
                                << limit << "server role = standalone server\ninterfaces = 127.0.0.1\n"
                                << "bind interfaces only = yes\nsmb ports = " << Port << "\n"
                                << "disable netbios = yes\npassdb backend = tdbsam:" << Dir.Path
                                << "/private/passdb.tdb\nload printers = no\nprinting = bsd\n"
                                << "printcap name = /dev/null\ndisable spoolss = yes\n"
                                << "private dir = " << Dir.Path << "/private\nstate directory = " << Dir.Path
                                << "/state\nlock directory = " << Dir.Path
                                << "/lock\ncache directory = " << Dir.Path
                                << "/cache\npid directory = " << Dir.Path
                                << "/run\nncalrpc dir = " << Dir.Path << "/run/ncalrpc\n"
                                << "[share]\npath = " << SharePath
                                << "\nread only = no\nvalid users = " << User
                                << "\n[other]\npath = " << Dir.Path << "/other\nread only = no\n"
                                << "[printer]\npath = " << Dir.Path << "/spool\nprintable = yes\n";
            if (attempt == 0) {
                // smbpasswd reads the password twice from its standard input, never from its arguments.
                const std::string input = Dir.Path + "/pw.txt";
                std::ofstream(input) << Password << "\n" << Password << "\n";
                const std::string cmd = std::string(SMBPASSWD) + " -c '" + conf + "' -s -a '" + User +
                                        "' < '" + input + "' > /dev/null 2>&1";
                const int rc = std::system(cmd.c_str());
                std::filesystem::remove(input);
                if (rc != 0) return false;
            }
            // Never --no-process-group: smbd would then end the whole group on shutdown, its starter too.
            if (Process.Start({SMBD, "--foreground", "--debug-stdout", "-s", conf}, Dir.Path,
                              [this] { return Accepts(Port); }))
                return true;
        }
        return false;
    }

    // "\\127.0.0.1:PORT\share" + Rest
    std::string Address(const std::string& Rest = "") const {
        return "\\\\127.0.0.1:" + std::to_string(Port) + "\\share" + Rest;
    }

    const std::string Password;
    // The most sessions (each a process of the server) it serves at once; 0: no limit of its own.
    int MaxProcesses = 0;
    TServerFolder Dir{"bfs-smb"};
    TServerProcess Process;
    int Port = 0;
    std::string User, SharePath, AuthFile;
};

enum class TServerKind { Pyftpdlib, Vsftpd };

// The test account for vsftpd; a parallel test process may be making it at the same moment.
inline bool EnsureFtpAccount() {
    if (RunQuiet({"id", FTP_USER}) != 0)
        RunQuiet({"useradd", "-M", "-d", "/tmp", "-s", "/bin/sh", FTP_USER});  // vsftpd enters the home first
    const std::string set = std::string("echo '") + FTP_USER + ":" + FTP_PASS + "' | chpasswd";
    for (int i = 0; i < 50; ++i) {
        if (RunQuiet({"/bin/sh", "-c", set}) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // /etc/shadow held by another
    }
    return false;
}

// An FTP server of one kind serving a fresh folder (Files) on a free port, for FTP_USER with
// FTP_PASS. vsftpd needs root (it serves a real account).
class TFtpServer {
  public:
    bool Start(TServerKind Kind, const std::string& Banner = {}) {
        m_Kind = Kind;
        if (m_Temp.Path.empty()) return false;
        Files = m_Temp.Path + "/files";
        ::chmod(m_Temp.Path.c_str(), 0755);
        ::mkdir(Files.c_str(), 0755);
        if (m_Kind == TServerKind::Vsftpd && !EnsureFtpAccount()) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            Port = FreePort();
            // A wide range of passive ports: vsftpd tries a few random ports of its range for each
            // transfer and ends the session ("500 OOPS", then a closed connection) when none binds,
            // which a range of 40 met about once in 10,000 quick transfers.
            const int pasv = FreePort(), pasvLast = std::min(pasv + 400, 65535);
            const std::string range = std::to_string(pasv) + "-" + std::to_string(pasvLast);
            std::vector<std::string> argv;
            if (m_Kind == TServerKind::Pyftpdlib) {
                argv = {PYTHON, "-m",     "pyftpdlib", "-i",     "127.0.0.1", "-p",  std::to_string(Port),
                        "-u",   FTP_USER, "-P",        FTP_PASS, "-d",        Files, "-w",
                        "-r",   range};
            } else {
                const std::string empty = m_Temp.Path + "/empty", conf = m_Temp.Path + "/vsftpd.conf";
                ::mkdir(empty.c_str(), 0755);
                std::ofstream out(conf);
                out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << Port
                    << "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
                       "local_umask=022\nlocal_root="
                    << Files
                    << "\nchroot_local_user=YES\nallow_writeable_chroot=YES\npasv_address=127.0.0.1\n"
                       "pasv_min_port="
                    << pasv << "\npasv_max_port=" << pasvLast << "\nsecure_chroot_dir=" << empty
                    << "\npam_service_name=vsftpd\nutf8_filesystem=YES\nuse_localtime=NO\n";
                if (!Banner.empty()) out << "ftpd_banner=" << Banner << "\n";
                out.close();
                argv = {VSFTPD, conf};
            }
            if (m_Process.Start(argv, m_Temp.Path, [this] { return Greets(Port); })) {
                Own(Files);
                return true;
            }
        }
        return false;
    }
    void Stop() { m_Process.Stop(); }

    // Gives what was made in the served folder to the account vsftpd serves it as.
    void Own(const std::string& Path) const {
        if (m_Kind == TServerKind::Vsftpd) RunQuiet({"chown", "-R", std::string(FTP_USER) + ":", Path});
    }
    // "ftp://127.0.0.1:PORT" + Root
    std::string Address(const std::string& Root = {}) const {
        return "ftp://127.0.0.1:" + std::to_string(Port) + Root;
    }

    std::string Files;  // the served folder
    int Port = 0;

  private:
    TServerKind m_Kind = TServerKind::Pyftpdlib;
    TServerFolder m_Temp{"bfs-ftp"};
    TServerProcess m_Process;
};

constexpr const char* NODE = "/usr/bin/node";

// The s3rver launcher and its installed s3rver (scripts/install-deps runs npm ci there); empty
// without BFS_TEST_SOURCE_DIR.
inline std::string S3Launcher() {
    const char* source = std::getenv("BFS_TEST_SOURCE_DIR");
    return source ? std::string(source) + "/tests/servers/s3rver-launcher.js" : std::string();
}
inline std::string S3rverInstalled() {
    const char* source = std::getenv("BFS_TEST_SOURCE_DIR");
    return source ? std::string(source) + "/tests/servers/node_modules/.bin/s3rver" : std::string();
}

// s3rver on a free port serving a fresh folder; only requests signed with AccessKey and SecretKey
// pass. Buckets (comma-separated) exist from the start, so names that s3rver would refuse to
// create (upper case) can be tested. The keys reach the server through its environment only.
class TS3Server {
  public:
    bool Start(const std::string& AccessKey, const std::string& SecretKey, const std::string& Buckets = {}) {
        const std::string launcher = S3Launcher();
        if (m_Temp.Path.empty() || launcher.empty()) return false;
        ::setenv("S3_ACCESS_KEY", AccessKey.c_str(), 1);
        ::setenv("S3_SECRET_KEY", SecretKey.c_str(), 1);
        ::setenv("S3_BUCKETS", Buckets.c_str(), 1);
        // Ready once it says so: another test's server may have taken the same port meanwhile and
        // answer there while this one fails to listen.
        const std::string ready = m_Temp.Path + "/.ready";
        ::setenv("S3_READY_FILE", ready.c_str(), 1);
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            Port = FreePort();
            started = m_Process.Start({NODE, launcher, m_Temp.Path, std::to_string(Port)}, m_Temp.Path,
                                      [&] { return ::access(ready.c_str(), F_OK) == 0 && Accepts(Port); });
        }
        ::unsetenv("S3_ACCESS_KEY");
        ::unsetenv("S3_SECRET_KEY");
        ::unsetenv("S3_BUCKETS");
        ::unsetenv("S3_READY_FILE");
        return started;
    }
    void Stop() { m_Process.Stop(); }
    // "127.0.0.1:PORT", the client's endpoint
    std::string Endpoint() const { return "127.0.0.1:" + std::to_string(Port); }

    int Port = 0;

  private:
    TServerFolder m_Temp{"bfs-s3"};
    TServerProcess m_Process;
};

constexpr const char* RCLONE = "/usr/bin/rclone";
constexpr const char* APACHE2 = "/usr/sbin/apache2";
constexpr const char* HTPASSWD = "/usr/bin/htpasswd";
constexpr const char* APACHE_MODULES = "/usr/lib/apache2/modules/";
// The WebDAV servers' test account (a throwaway password: it reaches the servers through a password
// file only).
constexpr const char* DAV_USER = "bfsdav";
constexpr const char* DAV_PASS = "bfs-dav-test-4711";

enum class TDavKind { Rclone, Apache };

// How an Apache WebDAV server is set up beyond the defaults.
struct TDavOptions {
    bool Deflate = false;  // replies gzip-encoded (GET chunked) to clients that ask for it
    bool Digest = false;   // Digest log-on instead of Basic
};

// A WebDAV server of one kind serving a fresh folder (Files) on a free port, for User with Password:
// `rclone serve webdav`, or apache2 with mod_dav_fs under a private configuration (its own server
// root, pid file, error log and lock database), whose workers run as www-data. Addresses: the
// served folder is "/" on rclone and "/dav" on Apache (Address gives either).
class TWebDavServer {
  public:
    TWebDavServer() = default;
    TWebDavServer(const TWebDavServer&) = delete;
    TWebDavServer& operator=(const TWebDavServer&) = delete;
    ~TWebDavServer() { Stop(); }

    bool Start(TDavKind Kind, const std::string& User = DAV_USER, const std::string& Password = DAV_PASS,
               TDavOptions Options = {}) {
        m_Kind = Kind;
        if (m_Temp.Path.empty() || ::access(HTPASSWD, X_OK) != 0) return false;
        ::chmod(m_Temp.Path.c_str(), 0755);  // www-data passes through
        Files = m_Temp.Path + "/files";
        const std::string run = m_Temp.Path + "/run", users = m_Temp.Path + "/users";
        ::mkdir(Files.c_str(), 0755);
        ::mkdir(run.c_str(), 0755);
        const std::string realm = "bfs-dav";
        {
            // The password goes to the tools through files of mode 600, never an argument.
            const std::string input = m_Temp.Path + "/pw.txt", digest = m_Temp.Path + "/digest.txt";
            const int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) return false;
            const std::string text = Options.Digest ? User + ":" + realm + ":" + Password : Password;
            const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
            int rc = -1;
            if (written && !Options.Digest) {
                rc = std::system((std::string(HTPASSWD) + " -i -c '" + users + "' '" + User + "' < '" +
                                  input + "' > /dev/null 2>&1")
                                     .c_str());
            } else if (written) {
                rc = std::system(("md5sum < '" + input + "' > '" + digest + "'").c_str());
                std::string hash;
                std::ifstream(digest) >> hash;
                std::ofstream(users) << User << ":" << realm << ":" << hash << "\n";
                std::filesystem::remove(digest);
            }
            std::filesystem::remove(input);
            if (rc != 0) return false;
        }
        if (m_Kind == TDavKind::Apache) RunQuiet({"chown", "-R", "www-data:", Files, run, users});
        for (int attempt = 0; attempt < 5; ++attempt) {
            Port = FreePort();
            std::vector<std::string> argv;
            if (m_Kind == TDavKind::Rclone) {
                argv = {RCLONE,       "serve",     "webdav",           Files,
                        "--config",   "/dev/null", "--addr",           "127.0.0.1:" + std::to_string(Port),
                        "--htpasswd", users,       "--dir-cache-time", "0s"};
            } else {
                const std::string conf = m_Temp.Path + "/apache.conf";
                std::ofstream out(conf);
                out << "ServerRoot " << run << "\nServerName 127.0.0.1\nListen 127.0.0.1:" << Port
                    << "\nPidFile " << run << "/apache.pid\nErrorLog " << run
                    << "/error.log\nUser www-data\nGroup www-data\nDavLockDB " << run << "/davlock\n";
                for (const char* module :
                     {"mpm_event", "authn_core", "authn_file", "authz_core", "authz_user", "auth_basic",
                      "auth_digest", "alias", "dav", "dav_fs", "filter", "deflate"})
                    out << "LoadModule " << module << "_module " << APACHE_MODULES << "mod_" << module
                        << ".so\n";
                out << "Alias /dav " << Files << "\n<Directory " << Files << ">\n  Dav On\n"
                    << "  AuthType " << (Options.Digest ? "Digest" : "Basic") << "\n  AuthName " << realm
                    << "\n  AuthUserFile " << users << "\n  Require valid-user\n";
                if (Options.Deflate) out << "  SetOutputFilter DEFLATE\n";
                out << "</Directory>\n";
                out.close();
                argv = {APACHE2, "-f", conf, "-DFOREGROUND"};
            }
            if (m_Process.Start(argv, m_Temp.Path, [this] { return Accepts(Port); })) return true;
        }
        return false;
    }
    void Stop() { m_Process.Stop(); }

    // Gives what was made in the served folder to the account the server writes as.
    void Own(const std::string& Path) const {
        if (m_Kind == TDavKind::Apache) RunQuiet({"chown", "-R", "www-data:", Path});
    }
    // "http://127.0.0.1:PORT" + the served folder's path + Root
    std::string Address(const std::string& Root = {}) const {
        return "http://127.0.0.1:" + std::to_string(Port) + (m_Kind == TDavKind::Apache ? "/dav" : "") + Root;
    }

    std::string Files;  // the served folder
    int Port = 0;

  private:
    TDavKind m_Kind = TDavKind::Rclone;
    TServerFolder m_Temp{"bfs-dav"};
    TServerProcess m_Process;
};

}  // namespace bfs::test
