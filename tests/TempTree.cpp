#include "TempTree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
void check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error("test setup failed: " + what);
}

void makeParents(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
}

std::string digestHex(const std::string& data, const char* name) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out, &length, EVP_get_digestbyname(name), nullptr);
    std::string hex;
    char buffer[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", out[i]);
        hex += buffer;
    }
    return hex;
}
} // namespace

TempTree::TempTree() {
    std::string pattern = (fs::temp_directory_path() / "twinscope-test-XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    m_root = pattern;
    // Readable by the unprivileged user of runUnprivileged.
    ::chmod(m_root.c_str(), 0755);
}

TempTree::~TempTree() {
    // Restore folders made unreadable by a test so that they can be removed.
    std::string command = "chmod -R u+rwx '" + m_root + "' 2>/dev/null; rm -rf '" + m_root + "'";
    [[maybe_unused]] int rc = std::system(command.c_str());
}

void TempTree::file(const std::string& relative, const std::string& content) const {
    std::string full = path(relative);
    makeParents(full);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    check(out.good(), "write " + full);
}

void TempTree::folder(const std::string& relative) const {
    fs::create_directories(path(relative));
}

void TempTree::symlink(const std::string& target, const std::string& relative) const {
    makeParents(path(relative));
    check(::symlink(target.c_str(), path(relative).c_str()) == 0, "symlink " + relative);
}

void TempTree::hardlink(const std::string& existing, const std::string& relative) const {
    makeParents(path(relative));
    check(::link(path(existing).c_str(), path(relative).c_str()) == 0, "link " + relative);
}

void TempTree::fifo(const std::string& relative) const {
    makeParents(path(relative));
    check(mkfifo(path(relative).c_str(), 0644) == 0, "mkfifo " + relative);
}

void TempTree::socket(const std::string& relative) const {
    makeParents(path(relative));
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string full = path(relative);
    check(full.size() < sizeof address.sun_path, "socket path length");
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", full.c_str());
    check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    close(fd);
}

void TempTree::chmod(const std::string& relative, unsigned mode) const {
    check(::chmod(path(relative).c_str(), mode) == 0, "chmod " + relative);
}

SmallDisk::SmallDisk() {
    const std::string root = m_folder.path("");
    m_mounted = ::mount("twinscope-test", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                        "size=64k,mode=0755") == 0;
    if (!m_mounted)
        m_error = std::strerror(errno);
}

SmallDisk::~SmallDisk() {
    if (m_mounted)
        ::umount2(m_folder.path("").c_str(), MNT_DETACH);
}

void SmallDisk::fill(std::size_t leave) const {
    int fd = ::open(path("filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    check(fd >= 0, "create filler");
    const std::string block(4096, 'f');
    ssize_t n = 0;
    while ((n = ::write(fd, block.data(), block.size())) > 0) {
    }
    const int error = errno;
    check(n < 0 && error == ENOSPC, "fill the disk: " + std::string(std::strerror(error)));
    const off_t size = ::lseek(fd, 0, SEEK_END);
    check(::ftruncate(fd, std::max<off_t>(0, size - static_cast<off_t>(leave))) == 0,
          "make room on the disk");
    ::close(fd);
}

OverlayMount::OverlayMount(Kind kind, const std::function<void(const TempTree&)>& layers)
    : m_kind(kind) {
    for (const char* folder : {"lower", "upper", "work", "merged"})
        m_tree.folder(folder);
    layers(m_tree);
    const std::string options = "lowerdir=" + m_tree.path("lower") +
                                ",upperdir=" + m_tree.path("upper") +
                                ",workdir=" + m_tree.path("work");
    if (kind == Kind::Fuse) {
        m_mounted = std::system(("fuse-overlayfs -o '" + options + "' '" + m_tree.path("merged") +
                                 "' >/dev/null 2>&1")
                                    .c_str()) == 0;
        if (!m_mounted)
            m_error = "fuse-overlayfs failed or is missing";
        return;
    }
    std::string all = kind == Kind::KernelMetacopy ? options + ",metacopy=on" : options;
    const std::string back = fs::current_path().string();
    if (kind == Kind::KernelRelative) {
        all = "lowerdir=lower,upperdir=upper,workdir=work,metacopy=on";
        fs::current_path(m_tree.root());
    }
    m_mounted =
        ::mount("twinscope-test", m_tree.path("merged").c_str(), "overlay", 0, all.c_str()) == 0;
    if (!m_mounted)
        m_error = std::strerror(errno);
    fs::current_path(back);
}

OverlayMount::~OverlayMount() {
    if (m_mounted)
        ::umount2(m_tree.path("merged").c_str(), MNT_DETACH);
}

LoopDisk::LoopDisk(Kind kind) : m_fuse(kind == Kind::ExFat) {
    m_scratch.folder("mount");
    const std::string image = m_scratch.path("disk.img");
    if (geteuid() != 0) {
        m_error = "not root";
        return;
    }
    // The smallest images the tools make.
    const char* const make = kind == Kind::ExFat   ? "truncate -s 16M '%s' && mkfs.exfat '%s'"
                             : kind == Kind::Btrfs ? "truncate -s 128M '%s' && mkfs.btrfs '%s'"
                                                   : "truncate -s 300M '%s' && mkfs.xfs '%s'";
    char command[PATH_MAX * 2 + 64];
    std::snprintf(command, sizeof command, make, image.c_str(), image.c_str());
    if (std::system((std::string(command) + " >/dev/null 2>&1").c_str()) != 0) {
        m_error = "its mkfs failed (the file system's tools missing?)";
        return;
    }
    if (FILE* loop = popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r")) {
        char line[256] = "";
        if (std::fgets(line, sizeof line, loop) != nullptr)
            m_loop = std::string(line).substr(0, std::strcspn(line, "\n"));
        pclose(loop);
    }
    if (m_loop.empty()) {
        m_error = "no loop device";
        return;
    }
    const std::string mount = m_fuse ? "mount.exfat-fuse '" : "mount '";
    m_mounted = std::system((mount + m_loop + "' '" + path("") + "' >/dev/null 2>&1").c_str()) == 0;
    if (!m_mounted)
        m_error = m_fuse ? "mount.exfat-fuse failed (exfat-fuse or /dev/fuse missing?)"
                         : "mount failed (no such file system in this kernel?)";
}

LoopDisk::~LoopDisk() {
    if (m_mounted)
        std::system(("umount '" + path("") + "'").c_str());
    if (!m_loop.empty())
        std::system(("losetup -d '" + m_loop + "'").c_str());
}

std::vector<std::string> SmallDisk::names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(path("")))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int runUnprivileged(const std::function<int()>& body) {
    if (geteuid() != 0)
        return body();
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // Without root's supplementary groups, or it could still act as a member of them.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

std::string sha1Hex(const std::string& data) {
    return digestHex(data, "SHA1");
}

std::string md5Hex(const std::string& data) {
    return digestHex(data, "MD5");
}

EnvScope::EnvScope(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name))
        m_old = old;
    setenv(name, value.c_str(), 1);
}

EnvScope::~EnvScope() {
    if (m_old)
        setenv(m_name, m_old->c_str(), 1);
    else
        unsetenv(m_name);
}

ZoneScope::ZoneScope(const char* zone) {
    m_zone.emplace("TZ", zone);
    tzset();
}

ZoneScope::~ZoneScope() {
    m_zone.reset(); // the previous TZ first, then the zone that follows from it
    tzset();
}

TFiles recordOf(const std::string& path) {
    TFiles record;
    const std::size_t slash = path.find_last_of('/');
    record.fPath = path.substr(0, slash + 1);
    record.fName = path.substr(slash + 1);
    struct stat st {};
    check(::stat(path.c_str(), &st) == 0, "stat " + path);
    record.fSize = st.st_size;
    record.fDevice = st.st_dev;
    record.fInode = st.st_ino;
    record.fModifiedNs =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    record.fHash = "digest";
    return record;
}
