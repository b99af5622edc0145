#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
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
        // The name goes while the lock is still held, and only while it is still this copy's
        // socket: a copy that took over from this one may have replaced it.
        struct stat st;
        if (::lstat(FSocketPath.c_str(), &st) == 0 && st.st_dev == FSocketDevice && st.st_ino == FSocketInode)
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
    // A copy that took over from a stuck one serves the socket without holding the lock; it
    // is the running copy still. A socket left by a copy that crashed is ours to replace.
    sockaddr_un addr;
    if (FillAddress(FSocketPath, addr)) {
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool served = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (served) return false;
    }
    Listen();
    return true;
}

void TSingleInstance::TakeOver()
{
    if (FListener < 0) Listen();
}

bool TSingleInstance::Listen()
{
    sockaddr_un addr;
    if (!FillAddress(FSocketPath, addr)) return false;
    ::unlink(FSocketPath.c_str());
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    struct stat st;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0 ||
        ::lstat(FSocketPath.c_str(), &st) != 0) {
        ::close(s);
        return false;
    }
    FSocketDevice = st.st_dev;
    FSocketInode = st.st_ino;
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
    // A connection that says nothing is a later start probing whether this copy runs.
    if (!ended) {
        ::close(c);
        return;
    }
    token = token.substr(0, token.find('\n'));
    if (auto handler = OnRaise) handler(token);
    // The answer tells the later start that a window came forward, so it may end.
    (void)!::send(c, "\n", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(c);
}

bool TSingleInstance::AskToRaise(const std::string& token)
{
    sockaddr_un addr;
    if (!FillAddress(FSocketPath, addr)) return false;
    using Clock = std::chrono::steady_clock;
    // The running copy may be starting still: its socket comes a moment after its lock.
    auto deadline = Clock::now() + std::chrono::milliseconds(AnswerLimitMs);
    int s = -1;
    for (;;) {
        s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
        ::close(s);
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A connection alone proves nothing: the kernel accepts it for a copy whose loop is stuck.
    deadline = Clock::now() + std::chrono::milliseconds(AnswerLimitMs);
    std::string line = token.substr(0, token.find_first_of("\r\n")) + "\n";
    bool answered = ::send(s, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    char reply = 0;
    while (answered) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{s, POLLIN, 0};
        int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        answered = ready > 0 && ::recv(s, &reply, 1, MSG_DONTWAIT) == 1 && reply == '\n';
        break;
    }
    ::close(s);
    return answered;
}

}  // namespace kapo
