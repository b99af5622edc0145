// The sockets library on POSIX sockets: handles, error numbers, blocking calls and the
// asynchronous notifications of WSAAsyncSelect. Name services live in WinsockLookup.cpp.
#include "platform/WinsockPrivate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kapo {

namespace {

thread_local int tWsaLastError = 0;
thread_local std::uint32_t tSysLastError = 0;

enum class SockState { Unconnected, Connecting, Connected, Listening, Datagram, Failed };

struct Sock {
    SOCKET Handle = INVALID_SOCKET;
    int Fd = -1;
    int Type = SOCK_STREAM;
    SockState State = SockState::Unconnected;
    bool NonBlocking = false;
    bool ShutWrite = false;
    int ConnectError = 0;  // outcome of a connect that failed at once, reported as FD_CONNECT
    int ResetError = 0;    // the error that ended the connection, once some call has seen it

    // Asynchronous selection.
    HWND Wnd = 0;
    UINT Msg = 0;
    long Events = 0;
    MessageQueue* Queue = nullptr;
    std::thread::id Owner;
    bool Watched = false;
    std::uint32_t Registered = 0;  // epoll mask now in force
    // Re-enabling state: a notification, once posted, waits for the call that re-enables it.
    bool ReadEnabled = true;
    bool WriteEnabled = true;
    bool AcceptEnabled = true;
    bool CloseSent = false;
    bool EofSeen = false;      // the peer has finished sending (or the connection broke)
    bool ReadDrained = false;  // ... and every byte before that has been read
    // Bytes left in the system after the last stream read, as that read reported them; good
    // for the one FIONREAD that a read loop asks right after (-1: ask the system).
    int InqAfterRead = -1;
};

// Stream sockets report with each read how much is left, which spares read loops a call.
void askForInq(int fd)
{
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_INQ, &on, sizeof on);
}

struct Library {
    std::mutex Lock;
    std::unordered_map<SOCKET, std::shared_ptr<Sock>> Sockets;
    SOCKET NextHandle = 0x100;
    std::atomic<int> Started{0};
};

Library& lib()
{
    static Library* l = new Library;  // used by static destructors at exit too
    return *l;
}

int fail(int code)
{
    tWsaLastError = code;
    return SOCKET_ERROR;
}

int failErrno()
{
    return fail(WinsockErrorFromErrno(errno));
}

// The socket behind a handle, or nullptr with the error set.
std::shared_ptr<Sock> findSock(SOCKET s)
{
    Library& l = lib();
    if (l.Started.load() <= 0) {
        tWsaLastError = WSANOTINITIALISED;
        return nullptr;
    }
    std::lock_guard<std::mutex> g(l.Lock);
    auto it = l.Sockets.find(s);
    if (it == l.Sockets.end()) {
        tWsaLastError = WSAENOTSOCK;
        return nullptr;
    }
    return it->second;
}

SOCKET registerSock(int fd, int type, SockState state)
{
    auto sp = std::make_shared<Sock>();
    sp->Fd = fd;
    sp->Type = type;
    sp->State = state;
    Library& l = lib();
    std::lock_guard<std::mutex> g(l.Lock);
    sp->Handle = l.NextHandle;
    l.NextHandle += 4;
    l.Sockets.emplace(sp->Handle, sp);
    return sp->Handle;
}

int socketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int bytesReadable(int fd)
{
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

bool onOwnerThread(const Sock& s)
{
    return s.Queue && s.Owner == std::this_thread::get_id();
}

// The epoll events the socket needs now to produce the notifications still enabled.
// Hang-up and error are always reported by epoll, so every wanted wake must be able to post
// something (and thereby disable it), or the wait set must shrink.
std::uint32_t desiredMask(const Sock& s)
{
    if (s.Wnd == 0 || s.Events == 0) return 0;
    const bool wantRead = s.Events & FD_READ;
    const bool wantWrite = s.Events & FD_WRITE;
    const bool wantClose = s.Events & FD_CLOSE;
    std::uint32_t m = 0;
    switch (s.State) {
    case SockState::Connecting:
        return EPOLLOUT;
    case SockState::Connected:
        if (wantRead && s.ReadEnabled && !s.ReadDrained) m |= EPOLLIN | EPOLLRDHUP;
        // FD_CLOSE comes after the data: while an FD_READ waits for its recv, nothing is watched.
        if (wantClose && !s.CloseSent && (s.ReadEnabled || !wantRead)) m |= (wantRead ? EPOLLIN : 0u) | EPOLLRDHUP;
        if (wantWrite && s.WriteEnabled) m |= EPOLLOUT;
        return m;
    case SockState::Datagram:
        if (wantRead && s.ReadEnabled) m |= EPOLLIN;
        if (wantWrite && s.WriteEnabled) m |= EPOLLOUT;
        return m;
    case SockState::Listening:
        return (s.Events & FD_ACCEPT) && s.AcceptEnabled ? EPOLLIN : 0u;
    default:
        return 0;
    }
}

// Brings the wait set in line with the socket. Growing happens at once; shrinking can wait
// for the next wake (allowShrink false), which saves a system call per notification when the
// application re-enables the notification before the queue waits again.
void refresh(Sock& s, bool allowShrink)
{
    if (!s.Watched || !onOwnerThread(s)) return;
    std::uint32_t want = desiredMask(s);
    std::uint32_t next = allowShrink ? want : (s.Registered | want);
    if (next == s.Registered) return;
    s.Queue->ModifyWatch(s.Fd, next);
    s.Registered = next;
}

void evaluate(Sock& s, std::uint32_t ev)
{
    bool posted = false;
    auto post = [&](long event, int error) {
        PostMessage(s.Wnd, s.Msg, s.Handle,
                    MakeLong(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)));
        posted = true;
    };
    const bool wantRead = s.Events & FD_READ;

    if (s.State == SockState::Connecting && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int err = s.ConnectError;
        if (!err) {
            int e = socketError(s.Fd);
            if (e) err = WinsockErrorFromErrno(e);
        }
        s.ConnectError = 0;
        if (err == WSAECONNRESET) {
            // Established, then reset before anybody looked: connected first, closed after.
            s.ResetError = err;
            s.EofSeen = true;
            err = 0;
        }
        if (err) {
            s.State = SockState::Failed;
            if (s.Events & FD_CONNECT) post(FD_CONNECT, err);
        } else {
            s.State = SockState::Connected;
            if (s.Events & FD_CONNECT) post(FD_CONNECT, 0);
        }
    }

    switch (s.State) {
    case SockState::Connected: {
        if (ev & EPOLLERR) {
            int e = socketError(s.Fd);
            if (e) s.ResetError = WinsockErrorFromErrno(e);
            s.EofSeen = true;
        }
        if (ev & (EPOLLHUP | EPOLLRDHUP)) s.EofSeen = true;
        // Writable before closed: a sender blocked on FD_WRITE learns of a broken connection
        // from its own send.
        if ((ev & EPOLLOUT) && (s.Events & FD_WRITE) && s.WriteEnabled) {
            s.WriteEnabled = false;
            post(FD_WRITE, 0);
        }
        if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            int avail = bytesReadable(s.Fd);
            if ((ev & EPOLLIN) && avail == 0) s.EofSeen = true;  // readable with nothing to read
            if (avail > 0 && wantRead && s.ReadEnabled) {
                s.ReadEnabled = false;
                post(FD_READ, 0);
            } else if (avail == 0 && s.EofSeen) {
                s.ReadDrained = true;
            }
            if (s.EofSeen && (s.Events & FD_CLOSE) && !s.CloseSent && (avail == 0 || !wantRead)) {
                s.CloseSent = true;
                post(FD_CLOSE, s.ResetError);
            }
        }
        break;
    }
    case SockState::Datagram:
        if (ev & EPOLLERR) socketError(s.Fd);  // an ICMP report; taking it keeps the wait quiet
        if ((ev & EPOLLIN) && wantRead && s.ReadEnabled) {
            s.ReadEnabled = false;
            post(FD_READ, 0);
        }
        if ((ev & EPOLLOUT) && (s.Events & FD_WRITE) && s.WriteEnabled) {
            s.WriteEnabled = false;
            post(FD_WRITE, 0);
        }
        break;
    case SockState::Listening:
        if (ev & EPOLLERR) socketError(s.Fd);
        if ((ev & EPOLLIN) && (s.Events & FD_ACCEPT) && s.AcceptEnabled) {
            s.AcceptEnabled = false;
            post(FD_ACCEPT, 0);
        }
        break;
    default:
        break;
    }
    refresh(s, !posted);
}

void onReady(SOCKET handle, std::uint32_t ev)
{
    std::shared_ptr<Sock> sp;
    {
        Library& l = lib();
        std::lock_guard<std::mutex> g(l.Lock);
        auto it = l.Sockets.find(handle);
        if (it == l.Sockets.end()) return;
        sp = it->second;
    }
    if (!onOwnerThread(*sp)) return;
    evaluate(*sp, ev);
}

void forget(Sock& s)
{
    if (s.Watched && onOwnerThread(s)) s.Queue->Unwatch(s.Fd);
    s.Watched = false;
    ::close(s.Fd);
    s.Fd = -1;
}

bool setNonBlocking(int fd, bool on)
{
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, fl) == 0;
}

int selectOn(Sock& s, HWND wnd, UINT msg, long events)
{
    if (!setNonBlocking(s.Fd, true)) return failErrno();
    s.NonBlocking = true;
    s.Wnd = wnd;
    s.Msg = msg;
    s.Events = events;
    // A new selection reports every condition that holds now.
    s.ReadEnabled = s.WriteEnabled = s.AcceptEnabled = true;
    s.CloseSent = false;
    MessageQueue& q = MessageQueue::Current();
    if (s.Queue != &q) {
        if (s.Watched && onOwnerThread(s)) s.Queue->Unwatch(s.Fd);
        s.Watched = false;
        s.Queue = &q;
        s.Owner = std::this_thread::get_id();
    }
    if (!s.Watched) {
        SOCKET h = s.Handle;
        try {
            q.Watch(s.Fd, 0, [h](std::uint32_t ev) { onReady(h, ev); });
        } catch (const std::exception&) {
            return fail(WSAENOBUFS);
        }
        s.Watched = true;
        s.Registered = 0;
    }
    refresh(s, true);
    return 0;
}

// ---- entry points ------------------------------------------------------------------------

int ws_WSAStartup(std::uint16_t version, WSADATA* data)
{
    if (!data) return WSAEFAULT;
    const int major = version & 0xFF, minor = (version >> 8) & 0xFF;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    std::memset(data, 0, sizeof *data);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strncpy(data->szDescription, "Sockets on POSIX, Windows Sockets 1.1 behaviour", WSADESCRIPTION_LEN);
    std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
    data->iMaxSockets = 0xFFFF;
    data->iMaxUdpDg = 65507;
    ++lib().Started;
    return 0;
}

int ws_WSACleanup()
{
    Library& l = lib();
    if (l.Started.load() <= 0) return fail(WSANOTINITIALISED);
    if (--l.Started > 0) return 0;
    // The last user is gone: every socket still open is closed. Queues are left alone (this
    // may run at program end, after they are gone); a closed descriptor leaves epoll by itself.
    std::unordered_map<SOCKET, std::shared_ptr<Sock>> sockets;
    {
        std::lock_guard<std::mutex> g(l.Lock);
        sockets.swap(l.Sockets);
    }
    for (auto& kv : sockets) {
        ::close(kv.second->Fd);
        kv.second->Fd = -1;
    }
    CancelAllLookups();
    return 0;
}

void ws_WSASetLastError(int e) { tWsaLastError = e; }
int ws_WSAGetLastError() { return tWsaLastError; }

SOCKET ws_socket(int af, int type, int protocol)
{
    if (lib().Started.load() <= 0) {
        fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (af != AF_INET) {
        fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM && type != SOCK_DGRAM) {
        fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        failErrno();
        return INVALID_SOCKET;
    }
    if (type == SOCK_STREAM) askForInq(fd);
    return registerSock(fd, type, type == SOCK_DGRAM ? SockState::Datagram : SockState::Unconnected);
}

int ws_closesocket(SOCKET s)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    {
        Library& l = lib();
        std::lock_guard<std::mutex> g(l.Lock);
        l.Sockets.erase(s);
    }
    forget(*sp);
    return 0;
}

int ws_bind(SOCKET s, const sockaddr* addr, int namelen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (!addr || namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
    // A port whose last connections still linger in TIME_WAIT may be bound again at once, as
    // the library's users expect: a restarted server must not wait a minute for its port. A
    // port with a live listener stays refused (that is all the system's option allows).
    if (sp->Type == SOCK_STREAM) {
        int on = 1;
        ::setsockopt(sp->Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(sp->Fd, addr, static_cast<socklen_t>(namelen)) != 0) return failErrno();
    return 0;
}

int ws_listen(SOCKET s, int backlog)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (sp->Type != SOCK_STREAM) return fail(WSAEOPNOTSUPP);
    if (sp->State == SockState::Connected || sp->State == SockState::Connecting) return fail(WSAEISCONN);
    if (::listen(sp->Fd, backlog) != 0) return failErrno();
    sp->State = SockState::Listening;
    refresh(*sp, true);
    return 0;
}

SOCKET ws_accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return INVALID_SOCKET;
    if (sp->State != SockState::Listening) {
        fail(WSAEINVAL);
        return INVALID_SOCKET;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(sp->Fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    sp->AcceptEnabled = true;
    refresh(*sp, false);
    if (fd < 0) {
        failErrno();
        return INVALID_SOCKET;
    }
    askForInq(fd);
    if (addr && addrlen) {
        int n = std::min<int>(*addrlen, static_cast<int>(len));
        if (n > 0) std::memcpy(addr, &peer, static_cast<std::size_t>(n));
        *addrlen = static_cast<int>(len);
    }
    SOCKET h = registerSock(fd, SOCK_STREAM, SockState::Connected);
    // The accepted socket takes over the listening socket's selection.
    if (sp->Events != 0 && onOwnerThread(*sp)) {
        std::shared_ptr<Sock> np = findSock(h);
        if (np) selectOn(*np, sp->Wnd, sp->Msg, sp->Events);
    } else if (sp->NonBlocking) {
        setNonBlocking(fd, true);
        std::shared_ptr<Sock> np = findSock(h);
        if (np) np->NonBlocking = true;
    }
    return h;
}

bool isConnectFailure(int err)
{
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT;
}

int ws_connect(SOCKET s, const sockaddr* name, int namelen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
    Sock& k = *sp;
    if (k.Type == SOCK_DGRAM) {
        if (::connect(k.Fd, name, static_cast<socklen_t>(namelen)) != 0) return failErrno();
        return 0;
    }
    if (k.State == SockState::Connected) return fail(WSAEISCONN);
    if (k.State == SockState::Connecting) return fail(WSAEALREADY);
    if (k.State == SockState::Listening) return fail(WSAEINVAL);
    int rc = ::connect(k.Fd, name, static_cast<socklen_t>(namelen));
    int err = rc == 0 ? 0 : errno;
    if (!k.NonBlocking) {
        if (rc != 0) return fail(WinsockErrorFromErrno(err));
        k.State = SockState::Connected;
        return 0;
    }
    if (rc == 0 || err == EINPROGRESS || err == EAGAIN) {
        // FD_CONNECT tells the outcome, also when it is already known.
        k.State = SockState::Connecting;
        refresh(k, true);
        return rc == 0 ? 0 : fail(WSAEWOULDBLOCK);
    }
    if (k.Events != 0 && isConnectFailure(err)) {
        // A non-blocking connect reports its failure through FD_CONNECT, never at once.
        k.State = SockState::Connecting;
        k.ConnectError = WinsockErrorFromErrno(err);
        refresh(k, true);
        return fail(WSAEWOULDBLOCK);
    }
    return fail(WinsockErrorFromErrno(err));
}

// The error of a send or receive on a stream: a broken connection is told the way it broke.
int streamError(Sock& k, int err)
{
    if (err == ECONNRESET) k.ResetError = WSAECONNRESET;
    if (err == EPIPE) {
        if (k.ShutWrite) return WSAESHUTDOWN;
        return k.ResetError ? k.ResetError : WSAECONNRESET;
    }
    if (err == ENOTCONN && k.State == SockState::Connecting) return WSAENOTCONN;
    return WinsockErrorFromErrno(err);
}

// A connect nobody watches (no selection) learns its outcome when the socket is next used.
void settle(Sock& k)
{
    if (k.State != SockState::Connecting || k.Events != 0) return;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(k.Fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) k.State = SockState::Connected;
    else if (k.ConnectError || socketError(k.Fd) != 0) k.State = SockState::Failed;
}

// One sending system call on a connected socket, Write(descriptor) giving its result, with
// the library's bookkeeping: a full buffer (would block or a short write of Total bytes)
// re-enables FD_WRITE. The count taken or SOCKET_ERROR.
template <typename W>
int sendOnce(SOCKET s, std::size_t total, W&& write)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    Sock& k = *sp;
    settle(k);
    if (k.Type == SOCK_STREAM && (k.State == SockState::Unconnected || k.State == SockState::Connecting ||
                                  k.State == SockState::Failed || k.State == SockState::Listening))
        return fail(WSAENOTCONN);
    ssize_t n = write(k.Fd);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            k.WriteEnabled = true;
            refresh(k, false);
            return fail(WSAEWOULDBLOCK);
        }
        return fail(k.Type == SOCK_STREAM ? streamError(k, err) : WinsockErrorFromErrno(err));
    }
    if (static_cast<std::size_t>(n) < total && k.NonBlocking) {
        k.WriteEnabled = true;
        refresh(k, false);
    }
    return static_cast<int>(n);
}

// A stream send of the pieces in order, as one system call.
int streamSend(SOCKET s, const iovec* pieces, std::size_t count, std::size_t total, int flags)
{
    return sendOnce(s, total, [&](int fd) {
        msghdr msg{};
        msg.msg_iov = const_cast<iovec*>(pieces);
        msg.msg_iovlen = count;
        return ::sendmsg(fd, &msg, (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL);
    });
}

int ws_send(SOCKET s, const char* buf, int len, int flags)
{
    if (len < 0 || (len > 0 && !buf)) return findSock(s) ? fail(WSAEFAULT) : SOCKET_ERROR;
    iovec piece{const_cast<char*>(buf), static_cast<std::size_t>(len)};
    return streamSend(s, &piece, 1, piece.iov_len, flags);
}

// At most this many pieces go into one gathered send, as with the system's own limit.
constexpr std::uint32_t MaxSendPieces = 1024;

int ws_WSASend(SOCKET s, const WSABUF* lpBuffers, std::uint32_t dwBufferCount, std::uint32_t* lpNumberOfBytesSent,
               std::uint32_t dwFlags)
{
    if (!findSock(s)) return SOCKET_ERROR;
    if (dwBufferCount > MaxSendPieces) return fail(WSAEINVAL);
    if ((dwBufferCount > 0 && !lpBuffers) || !lpNumberOfBytesSent) return fail(WSAEFAULT);
    iovec pieces[MaxSendPieces];
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < dwBufferCount; ++i) {
        if (lpBuffers[i].len > 0 && !lpBuffers[i].buf) return fail(WSAEFAULT);
        pieces[i] = iovec{lpBuffers[i].buf, lpBuffers[i].len};
        total += lpBuffers[i].len;
    }
    // The count is reported as an int on success: a larger gather is the caller's fault.
    if (total > static_cast<std::size_t>(INT32_MAX)) return fail(WSAEINVAL);
    int n = streamSend(s, pieces, dwBufferCount, total, static_cast<int>(dwFlags));
    if (n == SOCKET_ERROR) return SOCKET_ERROR;
    *lpNumberOfBytesSent = static_cast<std::uint32_t>(n);
    return 0;
}

// Up to Count bytes of the open file hFile from *lpOffset straight to a connected stream, inside
// the system; *lpOffset moves past what was sent. The count sent (0 at the end of the file) or
// SOCKET_ERROR, with WSAEWOULDBLOCK when the socket's buffer is full.
int ws_TransmitFile(SOCKET s, int hFile, std::int64_t* lpOffset, std::uint32_t Count)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (sp->Type != SOCK_STREAM) return fail(WSAEOPNOTSUPP);
    if (!lpOffset || *lpOffset < 0) return fail(WSAEFAULT);
    // The count is reported as an int.
    if (Count > static_cast<std::uint32_t>(INT32_MAX)) return fail(WSAEINVAL);
    return sendOnce(s, Count, [&](int fd) {
        // sendfile takes no MSG_NOSIGNAL: a peer that is gone would raise SIGPIPE. It is held
        // back for the call, and one that the call raised is taken before it is let through.
        sigset_t pipeOnly, before, pending;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
        sigpending(&pending);
        const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
        off_t offset = static_cast<off_t>(*lpOffset);
        ssize_t n = ::sendfile(fd, hFile, &offset, Count);
        int err = errno;
        // The call may raise it even when it returns a count (a later write inside it failed).
        if (!alreadyPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            timespec now{0, 0};
            while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = err;
        if (n > 0) *lpOffset = offset;
        // A descriptor that is no file to send from is a bad argument, not a broken connection.
        if (n < 0 && (errno == EBADF || errno == EINVAL || errno == ESPIPE)) errno = EINVAL;
        return n;
    });
}

int ws_sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    Sock& k = *sp;
    if (k.Type == SOCK_STREAM) return ws_send(s, buf, len, flags);
    if (len < 0 || (len > 0 && !buf)) return fail(WSAEFAULT);
    if (to && tolen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
    ssize_t n = ::sendto(k.Fd, buf, static_cast<std::size_t>(len), (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL,
                         to, to ? static_cast<socklen_t>(tolen) : 0);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            k.WriteEnabled = true;
            refresh(k, false);
            return fail(WSAEWOULDBLOCK);
        }
        return failErrno();
    }
    return static_cast<int>(n);
}

int receive(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (len < 0 || (len > 0 && !buf)) return fail(WSAEFAULT);
    Sock& k = *sp;
    settle(k);
    if (k.Type == SOCK_STREAM && k.State != SockState::Connected) return fail(WSAENOTCONN);
    k.ReadEnabled = true;  // recv re-enables FD_READ, whatever it returns
    refresh(k, false);
    flags &= MSG_OOB | MSG_PEEK;
    if (k.Type == SOCK_STREAM) {
        if (len == 0) {
            // A zero-length read tells whether data or the end is there, without taking any.
            char probe;
            ssize_t n = ::recv(k.Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n >= 0) return 0;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(WSAEWOULDBLOCK);
            return fail(streamError(k, errno));
        }
        k.InqAfterRead = -1;
        iovec iov{buf, static_cast<std::size_t>(len)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(k.Fd, &mh, flags);
        if (n > 0 && !(flags & MSG_PEEK)) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
                if (c->cmsg_level == SOL_TCP && c->cmsg_type == TCP_CM_INQ && c->cmsg_len >= CMSG_LEN(sizeof(int)))
                    std::memcpy(&k.InqAfterRead, CMSG_DATA(c), sizeof(int));
            // The system reports 1 both for one byte and for "nothing left but the end":
            // that one answer is left to FIONREAD itself.
            if (k.InqAfterRead == 1) k.InqAfterRead = -1;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(WSAEWOULDBLOCK);
            return fail(streamError(k, errno));
        }
        if (n == 0 && k.ResetError) return fail(k.ResetError);
        return static_cast<int>(n);
    }
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    // MSG_TRUNC makes the system tell a datagram's whole size: one that did not fit is an error.
    ssize_t n = ::recvfrom(k.Fd, buf, static_cast<std::size_t>(len), flags | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&peer), &plen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(WSAEWOULDBLOCK);
        return failErrno();
    }
    if (from && fromlen) {
        int c = std::min<int>(*fromlen, static_cast<int>(plen));
        if (c > 0) std::memcpy(from, &peer, static_cast<std::size_t>(c));
        *fromlen = static_cast<int>(plen);
    }
    if (n > len) return fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

int ws_recv(SOCKET s, char* buf, int len, int flags)
{
    return receive(s, buf, len, flags, nullptr, nullptr);
}

int ws_recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    return receive(s, buf, len, flags, from, fromlen);
}

int ws_shutdown(SOCKET s, int how)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (how < 0 || how > 2) return fail(WSAEINVAL);
    if (::shutdown(sp->Fd, how) != 0) return failErrno();
    if (how != SHUT_RD) sp->ShutWrite = true;
    return 0;
}

int ws_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (!optval || optlen <= 0) return fail(WSAEFAULT);
    auto flag = [&]() {
        int v = 0;
        if (optlen >= static_cast<int>(sizeof(int))) std::memcpy(&v, optval, sizeof v);
        else v = static_cast<unsigned char>(optval[0]);
        return v != 0 ? 1 : 0;
    };
    int rc;
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optlen < static_cast<int>(sizeof(WSLINGER))) return fail(WSAEFAULT);
        WSLINGER w;
        std::memcpy(&w, optval, sizeof w);
        linger l{w.l_onoff != 0 ? 1 : 0, w.l_linger};
        rc = ::setsockopt(sp->Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if ((level == SOL_SOCKET && (optname == SO_KEEPALIVE || optname == SO_REUSEADDR ||
                                        optname == SO_BROADCAST || optname == SO_OOBINLINE ||
                                        optname == SO_DONTROUTE || optname == SO_DEBUG)) ||
               (level == IPPROTO_TCP && optname == TCP_NODELAY)) {
        int v = flag();
        rc = ::setsockopt(sp->Fd, level, optname, &v, sizeof v);
    } else {
        rc = ::setsockopt(sp->Fd, level, optname, optval, static_cast<socklen_t>(optlen));
    }
    return rc == 0 ? 0 : failErrno();
}

int ws_ioctlsocket(SOCKET s, long cmd, std::uint32_t* argp)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (!argp) return fail(WSAEFAULT);
    if (cmd == static_cast<long>(FIONREAD)) {
        if (sp->State == SockState::Listening) {
            *argp = 0;
            return 0;
        }
        int n = 0;
        if (sp->InqAfterRead >= 0) {
            // Answered once from the read just made. Data that came since is not counted, as if
            // it had come just after this call: the read re-enabled FD_READ, which tells of it.
            n = sp->InqAfterRead;
            sp->InqAfterRead = -1;
        } else if (::ioctl(sp->Fd, FIONREAD, &n) != 0) {
            return failErrno();
        }
        *argp = static_cast<std::uint32_t>(n);
        return 0;
    }
    if (cmd == static_cast<long>(FIONBIO)) {
        bool on = *argp != 0;
        if (!on && sp->Events != 0) return fail(WSAEINVAL);  // selected sockets stay non-blocking
        if (!setNonBlocking(sp->Fd, on)) return failErrno();
        sp->NonBlocking = on;
        return 0;
    }
    return fail(WSAEINVAL);
}

// The local or the remote address of a socket, through the system call that tells it.
int addressOfSocket(SOCKET s, sockaddr* name, int* namelen, int (*query)(int, sockaddr*, socklen_t*))
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (query(sp->Fd, name, &len) != 0) return failErrno();
    *namelen = static_cast<int>(len);
    return 0;
}

int ws_getsockname(SOCKET s, sockaddr* name, int* namelen) { return addressOfSocket(s, name, namelen, ::getsockname); }

int ws_getpeername(SOCKET s, sockaddr* name, int* namelen) { return addressOfSocket(s, name, namelen, ::getpeername); }

int ws_WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events)
{
    std::shared_ptr<Sock> sp = findSock(s);
    if (!sp) return SOCKET_ERROR;
    if (events != 0 && wnd == 0) return fail(WSAEINVAL);
    return selectOn(*sp, wnd, msg, events);
}

std::uint16_t ws_htons(std::uint16_t v) { return htons(v); }
std::uint16_t ws_ntohs(std::uint16_t v) { return ntohs(v); }

std::uint32_t ws_inet_addr(const char* cp)
{
    if (!cp) return INADDR_NONE;
    return ::inet_addr(cp);
}

char* ws_inet_ntoa(in_addr in)
{
    thread_local char text[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &in, text, sizeof text)) return nullptr;
    return text;
}

// ---- the library and its entry table -----------------------------------------------------

struct EntryTable {
    std::mutex Lock;
    std::unordered_map<std::string, void*> Entries;
    int Loads = 0;
};

template <typename F>
void* addressOf(F f)
{
    return reinterpret_cast<void*>(f);
}

EntryTable& entries()
{
    static EntryTable* t = [] {
        auto* e = new EntryTable;
        auto& m = e->Entries;
        // Each entry point is its ws_ function; taking its address as the entry's signature
        // type checks that the two agree.
#define KAPO_WINSOCK_TABLE_ENTRY(name, result, params, args) m[#name] = addressOf<T##name>(ws_##name);
        KAPO_WINSOCK_ENTRY_POINTS(KAPO_WINSOCK_TABLE_ENTRY)
#undef KAPO_WINSOCK_TABLE_ENTRY
        return e;
    }();
    return *t;
}

}  // namespace

void WsSetLastError(int code)
{
    tWsaLastError = code;
}

bool WsStarted()
{
    return lib().Started.load() > 0;
}

int WinsockStartupCount()
{
    return lib().Started.load();
}

int WinsockErrorFromErrno(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
    }
}

HMODULE LoadLibrary(const char* name)
{
    if (!name || std::strcmp(name, WINSOCK_LIBRARY) != 0) {
        tSysLastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    EntryTable& t = entries();
    std::lock_guard<std::mutex> g(t.Lock);
    ++t.Loads;
    return &t;
}

void* GetProcAddress(HMODULE module, const char* procName)
{
    EntryTable& t = entries();
    std::lock_guard<std::mutex> g(t.Lock);
    if (module != &t || t.Loads <= 0) {
        tSysLastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    auto it = procName ? t.Entries.find(procName) : t.Entries.end();
    if (it == t.Entries.end() || !it->second) {
        tSysLastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    return it->second;
}

bool FreeLibrary(HMODULE module)
{
    EntryTable& t = entries();
    std::lock_guard<std::mutex> g(t.Lock);
    if (module != &t || t.Loads <= 0) {
        tSysLastError = ERROR_MOD_NOT_FOUND;
        return false;
    }
    --t.Loads;
    return true;
}

std::uint32_t GetLastError()
{
    return tSysLastError;
}

void* SetWinsockEntry(const char* procName, void* address)
{
    EntryTable& t = entries();
    std::lock_guard<std::mutex> g(t.Lock);
    void*& slot = t.Entries[procName];
    void* old = slot;
    slot = address;
    return old;
}

}  // namespace kapo
