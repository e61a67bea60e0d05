#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kRequestWaitMs = 500;
constexpr size_t kMaxRequest = 64;

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}
}  // namespace

std::string RuntimeDir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (dir && dir[0] == '/' && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string s(dir);
        if (s.back() != '/') s.push_back('/');
        return s;
    }
    return "/tmp/";
}

std::string RuntimePath(const std::string& name) {
    const std::string dir = RuntimeDir();
    if (dir == "/tmp/") return dir + name + "-" + std::to_string(::getuid());
    return dir + name;
}

InstanceLock::InstanceLock(const std::string& name) : path_(RuntimePath(name) + ".lock") {}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

InstanceLock::Result InstanceLock::TryAcquire() {
    if (held_) return Result::kAcquired;
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return Result::kUnavailable;
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return Result::kAcquired;
    }
    return errno == EWOULDBLOCK ? Result::kHeldElsewhere : Result::kUnavailable;
}

InstanceBeacon::InstanceBeacon(const std::string& name) : path_(RuntimePath(name) + ".sock") {}

InstanceBeacon::~InstanceBeacon() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool InstanceBeacon::Listen() {
    if (fd_ >= 0) return true;
    sockaddr_un addr {};
    if (!FillAddress(path_, addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    ::unlink(path_.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

std::string InstanceBeacon::AcceptRequest() {
    if (fd_ < 0) return std::string();
    const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) return std::string();
    std::string line;
    char buf[kMaxRequest];
    while (line.size() < kMaxRequest) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, kRequestWaitMs) <= 0) break;
        const ssize_t n = ::read(peer, buf, sizeof(buf));
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
        if (line.find('\n') != std::string::npos) break;
    }
    ::close(peer);
    const size_t end = line.find('\n');
    if (end != std::string::npos) line.resize(end);
    if (line.size() > kMaxRequest) line.resize(kMaxRequest);
    return line;
}

bool InstanceBeacon::Send(const std::string& name, const std::string& request) {
    sockaddr_un addr {};
    if (!FillAddress(RuntimePath(name) + ".sock", addr)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (ok) {
        const std::string line = request + "\n";
        ok = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    }
    ::close(fd);
    return ok;
}
