#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/MessageQueue.h"

namespace kapo {

namespace {

// A folder only this user can enter, so that nobody else can hold the lock or answer in the
// running copy's place.
bool PrivateToUs(const std::string& dir)
{
    struct stat st;
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

std::string DefaultFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && PrivateToUs(runtime)) return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/kapo-" + std::to_string(::geteuid());
    ::mkdir(dir.c_str(), 0700);
    return PrivateToUs(dir) ? dir : std::string();
}

bool FillAddress(const std::string& path, sockaddr_un& addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

TSingleInstance::TSingleInstance(std::string name, std::string folder)
{
    if (folder.empty()) folder = DefaultFolder();
    if (folder.empty()) return;
    if (folder.back() != '/') folder += '/';
    FLockPath = folder + name + ".lock";
    FSocketPath = folder + name + ".socket";
}

TSingleInstance::~TSingleInstance()
{
    if (FListener >= 0) {
        MessageQueue::Current().Unwatch(FListener);
        // The name goes while the lock is still held, so it is never a later copy's socket.
        ::unlink(FSocketPath.c_str());
        ::close(FListener);
    }
    if (FLock >= 0) ::close(FLock);
}

bool TSingleInstance::Acquire()
{
    if (FLockPath.empty() || FLock >= 0) return true;
    int fd = ::open(FLockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool taken = errno == EWOULDBLOCK;
        ::close(fd);
        return !taken;
    }
    FLock = fd;
    // A socket left by a copy that crashed is ours to replace now.
    sockaddr_un addr;
    if (!FillAddress(FSocketPath, addr)) return true;
    ::unlink(FSocketPath.c_str());
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return true;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0) {
        ::close(s);
        return true;
    }
    FListener = s;
    MessageQueue::Current().Watch(s, EPOLLIN, [this](std::uint32_t) { TakeRequest(); });
    return true;
}

void TSingleInstance::TakeRequest()
{
    int c = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    // The request is one short line that comes with the connection; a requester that sends
    // nothing holds the window up for a moment at most.
    timeval limit{0, 300000};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string token;
    char buf[512];
    bool ended = false;
    while (!ended && token.size() < 4096) {
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        token.append(buf, static_cast<std::size_t>(n));
        ended = token.find('\n') != std::string::npos;
    }
    ::close(c);
    token = token.substr(0, token.find('\n'));
    if (auto handler = OnRaise) handler(token);
}

bool TSingleInstance::AskToRaise(const std::string& token)
{
    sockaddr_un addr;
    if (!FillAddress(FSocketPath, addr)) return false;
    // The running copy may be starting still: its socket comes a moment after its lock.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            std::string line = token.substr(0, token.find_first_of("\r\n")) + "\n";
            bool sent = ::send(s, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
            ::close(s);
            return sent;
        }
        ::close(s);
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace kapo
