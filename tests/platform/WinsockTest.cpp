// The sockets library through its entry points found by name: error numbers, the
// re-enabling rules of the asynchronous notifications, lookups and cancelling.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

using namespace kapo;

namespace {

template <typename F>
F proc(HMODULE lib, const char* name)
{
    return reinterpret_cast<F>(GetProcAddress(lib, name));
}

// The entry points, found by name as a user of the library finds them.
struct Api {
    HMODULE Lib = LoadLibrary(WINSOCK_LIBRARY);
    TWSAStartup WSAStartup = proc<TWSAStartup>(Lib, "WSAStartup");
    TWSACleanup WSACleanup = proc<TWSACleanup>(Lib, "WSACleanup");
    TWSAGetLastError WSAGetLastError = proc<TWSAGetLastError>(Lib, "WSAGetLastError");
    TWSAAsyncSelect WSAAsyncSelect = proc<TWSAAsyncSelect>(Lib, "WSAAsyncSelect");
    TWSAAsyncGetHostByName WSAAsyncGetHostByName = proc<TWSAAsyncGetHostByName>(Lib, "WSAAsyncGetHostByName");
    TWSAAsyncGetHostByAddr WSAAsyncGetHostByAddr = proc<TWSAAsyncGetHostByAddr>(Lib, "WSAAsyncGetHostByAddr");
    TWSACancelAsyncRequest WSACancelAsyncRequest = proc<TWSACancelAsyncRequest>(Lib, "WSACancelAsyncRequest");
    Tgethostbyname gethostbyname = proc<Tgethostbyname>(Lib, "gethostbyname");
    Tgetservbyname getservbyname = proc<Tgetservbyname>(Lib, "getservbyname");
    Tgetprotobyname getprotobyname = proc<Tgetprotobyname>(Lib, "getprotobyname");
    Tsocket socket = proc<Tsocket>(Lib, "socket");
    Tclosesocket closesocket = proc<Tclosesocket>(Lib, "closesocket");
    Tbind bind = proc<Tbind>(Lib, "bind");
    Tlisten listen = proc<Tlisten>(Lib, "listen");
    Taccept accept = proc<Taccept>(Lib, "accept");
    Tconnect connect = proc<Tconnect>(Lib, "connect");
    Tsend send = proc<Tsend>(Lib, "send");
    TWSASend WSASend = proc<TWSASend>(Lib, "WSASend");
    TTransmitFile TransmitFile = proc<TTransmitFile>(Lib, "TransmitFile");
    Trecv recv = proc<Trecv>(Lib, "recv");
    Tgetpeername getpeername = proc<Tgetpeername>(Lib, "getpeername");
    Tgetsockname getsockname = proc<Tgetsockname>(Lib, "getsockname");
    Tioctlsocket ioctlsocket = proc<Tioctlsocket>(Lib, "ioctlsocket");
    ~Api() { FreeLibrary(Lib); }
};

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t portOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A plain listening socket on 127.0.0.1 for the library's sockets to connect to.
struct PlainListener {
    int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    PlainListener()
    {
        sockaddr_in a = loopback(0);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(Fd, 8);
    }
    ~PlainListener() { ::close(Fd); }
    std::uint16_t Port() const { return portOf(Fd); }
    int Accept() const
    {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) return -1;
        return ::accept(Fd, nullptr, nullptr);
    }
};

struct Note {
    WPARAM Socket;
    int Event;
    int Error;
};

// A hidden target collecting the notifications posted to it.
class Inbox {
public:
    static constexpr UINT Msg = WM_USER + 100;
    Inbox()
    {
        Wnd = AllocateHWnd([this](TMessage& m) {
            Notes.push_back(Note{m.WParam, LoWord(m.LParam), HiWord(m.LParam)});
        });
    }
    ~Inbox() { DeallocateHWnd(Wnd); }
    // Pumps until the condition holds (true) or the deadline passes.
    bool WaitUntil(const std::function<bool()>& pred, int ms = 20000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            MessageQueue::Current().ProcessPending();
            if (pred()) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            MessageQueue::Current().WaitNext(20);
        }
    }
    bool WaitFor(int event) { return WaitUntil([&] { return Count(event) > 0; }); }
    void PumpFor(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            MessageQueue::Current().ProcessPending();
            MessageQueue::Current().WaitNext(10);
        }
    }
    int Count(int event) const
    {
        int n = 0;
        for (const Note& x : Notes) n += x.Event == event;
        return n;
    }
    const Note* Find(int event) const
    {
        for (const Note& x : Notes)
            if (x.Event == event) return &x;
        return nullptr;
    }
    // True when nothing is ready: a watcher that wants nothing must not wake the queue.
    static bool Quiet() { return !MessageQueue::Current().WaitNext(100); }

    HWND Wnd = 0;
    std::vector<Note> Notes;
};

class Winsock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(A.Lib, nullptr);
        WSADATA d;
        ASSERT_EQ(A.WSAStartup(0x0101, &d), 0);
    }
    void TearDown() override { A.WSACleanup(); }

    // A library socket connected (and selected) to a plain peer; the peer's descriptor in peer.
    SOCKET connected(Inbox& in, int& peer, long events = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE)
    {
        SOCKET s = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(A.WSAAsyncSelect(s, in.Wnd, Inbox::Msg, events), 0);
        sockaddr_in a = loopback(L.Port());
        EXPECT_EQ(A.connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
        EXPECT_EQ(A.WSAGetLastError(), WSAEWOULDBLOCK);
        peer = L.Accept();
        EXPECT_TRUE(in.WaitFor(FD_CONNECT));
        return s;
    }

    Api A;
    PlainListener L;
};

}  // namespace

TEST(WinsockLibrary, IsFoundByNameWithEveryEntryPoint)
{
    EXPECT_EQ(LoadLibrary("no-such-library"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    HMODULE lib = LoadLibrary(WINSOCK_LIBRARY);
    ASSERT_NE(lib, nullptr);
    for (const char* name : {"WSAStartup", "WSACleanup", "WSASetLastError", "WSAGetLastError", "WSACancelAsyncRequest",
                             "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSAAsyncSelect", "getservbyname",
                             "getprotobyname", "gethostbyname", "socket", "shutdown", "setsockopt", "sendto", "send",
                             "ntohs", "listen", "ioctlsocket", "inet_ntoa", "inet_addr", "htons", "getsockname",
                             "getpeername", "connect", "closesocket", "bind", "accept", "recv", "recvfrom"})
        EXPECT_NE(GetProcAddress(lib, name), nullptr) << name;
    EXPECT_EQ(GetProcAddress(lib, "select"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(lib));
}

TEST(WinsockLibrary, StartsForVersionOneOneOnlyAndRefusesCallsBeforehand)
{
    Api a;
    ASSERT_EQ(WinsockStartupCount(), 0);
    EXPECT_EQ(a.socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(a.WSAGetLastError(), WSANOTINITIALISED);
    WSADATA d;
    EXPECT_EQ(a.WSAStartup(0x0001, &d), WSAVERNOTSUPPORTED);
    EXPECT_EQ(a.WSAStartup(0x0202, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
    EXPECT_EQ(a.WSACleanup(), 0);
    EXPECT_EQ(a.WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(a.WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(Winsock, SystemErrorsBecomeWinsockNumbers)
{
    SOCKET s = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    char b[4];
    EXPECT_EQ(A.send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAENOTCONN);
    sockaddr_in peer{};
    int len = sizeof peer;
    EXPECT_EQ(A.getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAENOTCONN);
    sockaddr_in taken = loopback(L.Port());
    EXPECT_EQ(A.bind(s, reinterpret_cast<sockaddr*>(&taken), sizeof taken), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAEADDRINUSE);
    A.closesocket(s);
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), SOCKET_ERROR);  // a closed handle is no socket
    EXPECT_EQ(A.WSAGetLastError(), WSAENOTSOCK);

    // A blocking connect to a port nobody listens on is refused at once.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any = loopback(0);
    ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
    sockaddr_in dead = loopback(portOf(probe));
    ::close(probe);
    SOCKET c = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(A.connect(c, reinterpret_cast<sockaddr*>(&dead), sizeof dead), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAECONNREFUSED);
    A.closesocket(c);

    EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
    EXPECT_EQ(WinsockErrorFromErrno(ENETUNREACH), WSAENETUNREACH);
    EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNABORTED), WSAECONNABORTED);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
}

TEST_F(Winsock, ConnectIsToldOnceAndWritingOnceThenAllIsQuiet)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ASSERT_TRUE(in.WaitFor(FD_WRITE));
    in.PumpFor(100);
    ASSERT_EQ(in.Notes.size(), 2u);
    EXPECT_EQ(in.Notes[0].Event, FD_CONNECT);
    EXPECT_EQ(in.Notes[0].Error, 0);
    EXPECT_EQ(in.Notes[0].Socket, s);
    EXPECT_EQ(in.Notes[1].Event, FD_WRITE);
    EXPECT_TRUE(Inbox::Quiet());
    ::close(peer);
    A.closesocket(s);
}

TEST_F(Winsock, RefusedConnectIsToldThroughConnectOnly)
{
    Inbox in;
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any = loopback(0);
    ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
    sockaddr_in dead = loopback(portOf(probe));
    ::close(probe);
    SOCKET s = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    A.WSAAsyncSelect(s, in.Wnd, Inbox::Msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    EXPECT_EQ(A.connect(s, reinterpret_cast<sockaddr*>(&dead), sizeof dead), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(in.WaitFor(FD_CONNECT));
    in.PumpFor(100);
    ASSERT_EQ(in.Notes.size(), 1u);
    EXPECT_EQ(in.Notes[0].Error, WSAECONNREFUSED);
    EXPECT_TRUE(Inbox::Quiet());
    A.closesocket(s);
}

TEST_F(Winsock, ReadIsToldAgainOnlyAfterRecvLeavesDataBehind)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ::send(peer, "0123456789", 10, 0);
    ASSERT_TRUE(in.WaitFor(FD_READ));
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_READ), 1);  // unread data is told once
    EXPECT_TRUE(Inbox::Quiet());
    char b[16];
    EXPECT_EQ(A.recv(s, b, 4, 0), 4);
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_READ), 2);  // the recv left data behind
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), 6);
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_READ), 2);
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAEWOULDBLOCK);
    ::close(peer);
    A.closesocket(s);
}

TEST_F(Winsock, CloseIsToldOnceAfterEverythingBeforeItWasRead)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ::send(peer, "tail", 4, 0);
    ::close(peer);
    ASSERT_TRUE(in.WaitFor(FD_READ));
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_CLOSE), 0);  // the data comes first
    EXPECT_TRUE(Inbox::Quiet());
    char b[8];
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), 4);
    ASSERT_TRUE(in.WaitFor(FD_CLOSE));
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_CLOSE), 1);
    EXPECT_EQ(in.Find(FD_CLOSE)->Error, 0);
    EXPECT_TRUE(Inbox::Quiet());  // a finished socket left open does not keep waking the queue
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), 0);
    A.closesocket(s);
}

TEST_F(Winsock, PendingCountIsRightAfterReadsAndAtTheEnd)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ::send(peer, "0123456789", 10, 0);
    ASSERT_TRUE(in.WaitFor(FD_READ));
    std::uint32_t n = 99;
    ASSERT_EQ(A.ioctlsocket(s, FIONREAD, &n), 0);
    EXPECT_EQ(n, 10u);
    char b[16];
    EXPECT_EQ(A.recv(s, b, 3, 0), 3);
    ASSERT_EQ(A.ioctlsocket(s, FIONREAD, &n), 0);
    EXPECT_EQ(n, 7u);  // what the read left
    ::send(peer, "ab", 2, 0);
    EXPECT_EQ(A.recv(s, b, 6, 0), 6);
    in.PumpFor(50);
    ASSERT_EQ(A.ioctlsocket(s, FIONREAD, &n), 0);
    ASSERT_EQ(A.ioctlsocket(s, FIONREAD, &n), 0);
    EXPECT_EQ(n, 3u);  // a later question sees what came meanwhile
    ::close(peer);
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), 3);
    ASSERT_TRUE(in.WaitFor(FD_CLOSE));
    ASSERT_EQ(A.ioctlsocket(s, FIONREAD, &n), 0);
    EXPECT_EQ(n, 0u);  // the end is no byte to read
    A.closesocket(s);
}

TEST_F(Winsock, ResetIsToldWithCloseAndItsError)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    linger l{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(peer);
    ASSERT_TRUE(in.WaitFor(FD_CLOSE));
    EXPECT_EQ(in.Find(FD_CLOSE)->Error, WSAECONNRESET);
    char b[4];
    EXPECT_EQ(A.recv(s, b, sizeof b, 0), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(A.send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAECONNRESET);
    in.PumpFor(50);
    EXPECT_EQ(in.Count(FD_CLOSE), 1);
    EXPECT_TRUE(Inbox::Quiet());
    A.closesocket(s);
}

TEST_F(Winsock, WriteIsToldAgainAfterASendWouldBlock)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ASSERT_TRUE(in.WaitFor(FD_WRITE));
    std::string chunk(65536, 'w');
    std::size_t queued = 0;
    for (;;) {
        int n = A.send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n == SOCKET_ERROR) break;
        queued += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(A.WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(in.Count(FD_WRITE), 1);
    std::thread drain([&] {
        std::vector<char> b(1 << 16);
        std::size_t got = 0;
        while (got < queued) {
            ssize_t n = ::recv(peer, b.data(), b.size(), 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    });
    bool told = in.WaitUntil([&] { return in.Count(FD_WRITE) == 2; });
    drain.join();
    EXPECT_TRUE(told);
    ::close(peer);
    A.closesocket(s);
}

TEST_F(Winsock, GatheredSendKeepsThePiecesInOrderAndRefusesBadArguments)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    char one[] = "first,", two[] = "", three[] = "third";
    WSABUF pieces[] = {{6, one}, {0, two}, {5, three}};
    std::uint32_t sent = 0;
    ASSERT_EQ(A.WSASend(s, pieces, 3, &sent, 0), 0);
    EXPECT_EQ(sent, 11u);
    char b[32] = {};
    std::size_t got = 0;
    while (got < 11) {
        ssize_t n = ::recv(peer, b + got, sizeof b - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::string(b, got), "first,third");

    struct Bad {
        const WSABUF* Pieces;
        std::uint32_t Count;
        std::uint32_t* Sent;
        int Error;
    };
    WSABUF missing[] = {{4, nullptr}};
    for (const Bad& c : {Bad{missing, 1, &sent, WSAEFAULT}, Bad{pieces, 3, nullptr, WSAEFAULT},
                         Bad{nullptr, 2, &sent, WSAEFAULT}, Bad{pieces, 5000, &sent, WSAEINVAL}}) {
        EXPECT_EQ(A.WSASend(s, c.Pieces, c.Count, c.Sent, 0), SOCKET_ERROR);
        EXPECT_EQ(A.WSAGetLastError(), c.Error);
    }
    ::close(peer);
    A.closesocket(s);
}

TEST_F(Winsock, AFileRangeGoesStraightFromTheFileAndEndsAtItsEnd)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    char path[] = "/tmp/kapo-transmit-XXXXXX";
    int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    ::unlink(path);
    ASSERT_EQ(::write(file, "0123456789", 10), 10);
    std::int64_t offset = 3;
    EXPECT_EQ(A.TransmitFile(s, file, &offset, 4), 4);
    EXPECT_EQ(offset, 7);
    EXPECT_EQ(A.TransmitFile(s, file, &offset, 100), 3);  // what the file still holds
    EXPECT_EQ(A.TransmitFile(s, file, &offset, 100), 0);  // its end
    char b[16] = {};
    std::size_t got = 0;
    while (got < 7) {
        ssize_t n = ::recv(peer, b + got, sizeof b - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(std::string(b, got), "3456789");

    struct Bad {
        SOCKET Socket;
        int File;
        std::int64_t* Offset;
        int Error;
    };
    std::int64_t negative = -1;
    SOCKET datagram = A.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    for (const Bad& c : {Bad{s, file, nullptr, WSAEFAULT}, Bad{s, file, &negative, WSAEFAULT},
                         Bad{s, peer, &offset, WSAEINVAL}, Bad{datagram, file, &offset, WSAEOPNOTSUPP}}) {
        EXPECT_EQ(A.TransmitFile(c.Socket, c.File, c.Offset, 1), SOCKET_ERROR);
        EXPECT_EQ(A.WSAGetLastError(), c.Error);
    }
    A.closesocket(datagram);
    ::close(file);
    ::close(peer);
    A.closesocket(s);
}

TEST_F(Winsock, AClosedListenersPortIsFreeAtOnceThoughItsConnectionsLinger)
{
    SOCKET l = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in any = loopback(0);
    ASSERT_EQ(A.bind(l, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(A.listen(l, 4), 0);
    sockaddr_in at{};
    int len = sizeof at;
    A.getsockname(l, reinterpret_cast<sockaddr*>(&at), &len);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    SOCKET served = A.accept(l, nullptr, nullptr);  // a blocking socket: waits for the client
    ASSERT_NE(served, INVALID_SOCKET);
    // The server closes first, so its side of the connection waits in TIME_WAIT.
    A.closesocket(served);
    A.closesocket(l);
    char b;
    EXPECT_EQ(::recv(client, &b, 1, 0), 0);
    ::close(client);

    SOCKET again = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(A.bind(again, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << A.WSAGetLastError();
    EXPECT_EQ(A.listen(again, 4), 0);
    // While it listens, the port stays its own.
    SOCKET rival = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(A.bind(rival, reinterpret_cast<sockaddr*>(&at), sizeof at), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAEADDRINUSE);
    A.closesocket(rival);
    A.closesocket(again);
}

TEST_F(Winsock, AcceptIsToldAgainAfterAcceptAndTheNewSocketKeepsTheSelection)
{
    Inbox in;
    SOCKET l = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(A.bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(A.listen(l, 5), 0);
    ASSERT_EQ(A.WSAAsyncSelect(l, in.Wnd, Inbox::Msg, FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE), 0);
    int len = sizeof a;
    A.getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    int c1 = ::socket(AF_INET, SOCK_STREAM, 0), c2 = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(c1, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::connect(c2, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(in.WaitFor(FD_ACCEPT));
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_ACCEPT), 1);
    sockaddr_in from{};
    int fromLen = sizeof from;
    SOCKET n1 = A.accept(l, reinterpret_cast<sockaddr*>(&from), &fromLen);
    ASSERT_NE(n1, INVALID_SOCKET);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_ACCEPT), 2);
    SOCKET n2 = A.accept(l, nullptr, nullptr);
    ASSERT_NE(n2, INVALID_SOCKET);
    in.PumpFor(100);
    EXPECT_EQ(in.Count(FD_ACCEPT), 2);
    bool newSocketTold = false;
    for (const Note& x : in.Notes) newSocketTold |= x.Socket == n1 && x.Event == FD_WRITE;
    EXPECT_TRUE(newSocketTold);
    ::close(c1);
    ::close(c2);
    A.closesocket(n1);
    A.closesocket(n2);
    A.closesocket(l);
}

TEST_F(Winsock, EmptySelectionStopsNotificationsOfAHungUpSocket)
{
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ASSERT_EQ(A.WSAAsyncSelect(s, in.Wnd, 0, 0), 0);
    ::send(peer, "data", 4, 0);
    ::shutdown(peer, SHUT_RDWR);
    ::close(peer);
    in.Notes.clear();
    in.PumpFor(100);
    EXPECT_TRUE(in.Notes.empty());
    EXPECT_TRUE(Inbox::Quiet());
    // Selecting again tells what holds now.
    ASSERT_EQ(A.WSAAsyncSelect(s, in.Wnd, Inbox::Msg, FD_READ | FD_CLOSE), 0);
    EXPECT_TRUE(in.WaitFor(FD_READ));
    A.closesocket(s);
}

TEST_F(Winsock, HandlesAreNeverReusedThoughDescriptorsAre)
{
    std::set<SOCKET> seen;
    for (int i = 0; i < 50; ++i) {
        SOCKET s = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_TRUE(seen.insert(s).second);
        A.closesocket(s);
    }
    // A notification still queued for a closed socket names that socket, not its successor.
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ::send(peer, "x", 1, 0);
    A.closesocket(s);
    SOCKET next = A.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    in.PumpFor(100);
    for (const Note& x : in.Notes) EXPECT_NE(x.Socket, next);
    A.closesocket(next);
    ::close(peer);
}

TEST_F(Winsock, SendToAPeerThatIsGoneFailsWithoutASignal)
{
    std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test program
    Inbox in;
    int peer = -1;
    SOCKET s = connected(in, peer);
    ::close(peer);
    ASSERT_TRUE(in.WaitFor(FD_CLOSE));
    int rc = 0;
    for (int i = 0; i < 50 && rc != SOCKET_ERROR; ++i) rc = A.send(s, "ping", 4, 0);
    EXPECT_EQ(rc, SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAECONNRESET);
    // Straight from a file too, though the system's call for it would raise the signal.
    FILE* file = std::tmpfile();
    std::fputs("from a file", file);
    std::fflush(file);
    std::int64_t offset = 0;
    EXPECT_EQ(A.TransmitFile(s, ::fileno(file), &offset, 11), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAECONNRESET);
    std::fclose(file);
    A.closesocket(s);
}

TEST_F(Winsock, CleanupClosesSocketsLeftOpen)
{
    auto fds = [] {
        int n = 0;
        DIR* d = ::opendir("/proc/self/fd");
        while (::readdir(d)) ++n;
        ::closedir(d);
        return n;
    };
    MessageQueue::Current();
    const int before = fds();
    Inbox in;
    int peer = -1;
    connected(in, peer);
    A.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_EQ(fds(), before + 3);
    A.WSACleanup();
    EXPECT_EQ(fds(), before + 1);  // the plain peer is the test's own
    ::close(peer);
    WSADATA d;
    A.WSAStartup(0x0101, &d);
}

// ---- name services ---------------------------------------------------------------------

namespace {

struct Gate {
    std::mutex Lock;
    std::condition_variable Cond;
    bool Open = false;
    void Release()
    {
        {
            std::lock_guard<std::mutex> g(Lock);
            Open = true;
        }
        Cond.notify_all();
    }
};

class Lookups : public Winsock {
protected:
    void SetUp() override
    {
        Winsock::SetUp();
        auto gate = FGate;
        SetNameResolver([gate](const std::string& name, std::string& official, std::vector<std::uint32_t>& addrs) {
            if (name == "slow.test") {
                std::unique_lock<std::mutex> l(gate->Lock);
                gate->Cond.wait(l, [&] { return gate->Open; });
            }
            if (name == "nowhere.test") return int(WSAHOST_NOT_FOUND);
            if (name == "busy.test") return int(WSATRY_AGAIN);
            official = name + ".official";
            addrs = {inet_addr("127.0.0.1"), inet_addr("10.1.2.3")};
            return 0;
        });
        SetAddressResolver([](std::uint32_t a, std::string& name) {
            name = a == inet_addr("127.0.0.1") ? "loopback.test" : "";
            return name.empty() ? int(WSANO_DATA) : 0;
        });
    }
    void TearDown() override
    {
        FGate->Release();
        SetNameResolver(nullptr);
        SetAddressResolver(nullptr);
        Winsock::TearDown();
    }
    std::shared_ptr<Gate> FGate = std::make_shared<Gate>();
    alignas(hostent) char FBuf[MAXGETHOSTSTRUCT + 1];
};

}  // namespace

TEST_F(Lookups, AnswerFillsTheHostEntryAndNamesTheTask)
{
    Inbox in;
    HANDLE t = A.WSAAsyncGetHostByName(in.Wnd, Inbox::Msg, "peer.test", FBuf, sizeof FBuf);
    ASSERT_NE(t, 0u);
    auto arrived = [&] { return !in.Notes.empty(); };
    ASSERT_TRUE(in.WaitUntil(arrived));
    EXPECT_EQ(in.Notes[0].Socket, t);
    EXPECT_EQ(in.Notes[0].Error, 0);
    hostent h;
    std::memcpy(&h, FBuf, sizeof h);
    EXPECT_STREQ(h.h_name, "peer.test.official");
    EXPECT_EQ(h.h_length, 4);
    ASSERT_NE(h.h_addr_list[0], nullptr);
    ASSERT_NE(h.h_addr_list[1], nullptr);
    EXPECT_EQ(h.h_addr_list[2], nullptr);
    std::uint32_t second;
    std::memcpy(&second, h.h_addr_list[1], 4);
    EXPECT_EQ(second, inet_addr("10.1.2.3"));
    EXPECT_EQ(A.WSACancelAsyncRequest(t), SOCKET_ERROR);  // answered already
    EXPECT_EQ(A.WSAGetLastError(), WSAEINVAL);

    in.Notes.clear();
    std::uint32_t lo = inet_addr("127.0.0.1");
    HANDLE r = A.WSAAsyncGetHostByAddr(in.Wnd, Inbox::Msg, reinterpret_cast<char*>(&lo), 4, AF_INET, FBuf, sizeof FBuf);
    ASSERT_TRUE(in.WaitUntil(arrived));
    EXPECT_EQ(in.Notes[0].Socket, r);
    std::memcpy(&h, FBuf, sizeof h);
    EXPECT_STREQ(h.h_name, "loopback.test");
}

TEST_F(Lookups, FailuresCarryTheirErrorInTheHighWord)
{
    Inbox in;
    A.WSAAsyncGetHostByName(in.Wnd, Inbox::Msg, "nowhere.test", FBuf, sizeof FBuf);
    A.WSAAsyncGetHostByName(in.Wnd, Inbox::Msg, "busy.test", FBuf, sizeof FBuf);
    ASSERT_TRUE(in.WaitUntil([&] { return in.Notes.size() == 2; }));
    std::set<int> errors{in.Notes[0].Error, in.Notes[1].Error};
    EXPECT_EQ(errors, (std::set<int>{WSAHOST_NOT_FOUND, WSATRY_AGAIN}));
    EXPECT_EQ(A.gethostbyname("nowhere.test"), nullptr);
    EXPECT_EQ(A.WSAGetLastError(), WSAHOST_NOT_FOUND);
    hostent* h = A.gethostbyname("peer.test");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "peer.test.official");
}

TEST_F(Lookups, CancelledLookupNeverAnswersAndLeavesTheBufferAlone)
{
    Inbox in;
    std::memset(FBuf, 0x5A, sizeof FBuf);
    HANDLE t = A.WSAAsyncGetHostByName(in.Wnd, Inbox::Msg, "slow.test", FBuf, sizeof FBuf);
    ASSERT_NE(t, 0u);
    EXPECT_EQ(A.WSACancelAsyncRequest(t), 0);
    FGate->Release();
    in.PumpFor(200);
    EXPECT_TRUE(in.Notes.empty());
    for (char c : FBuf) ASSERT_EQ(c, 0x5A);
    EXPECT_EQ(A.WSACancelAsyncRequest(t), SOCKET_ERROR);
    EXPECT_EQ(A.WSAGetLastError(), WSAEINVAL);

    // Answered but not yet handed over: cancelling still withdraws it.
    HANDLE u = A.WSAAsyncGetHostByName(in.Wnd, Inbox::Msg, "peer.test", FBuf, sizeof FBuf);
    ASSERT_TRUE(MessageQueue::Current().WaitNext(20000));  // the answer is queued, not handled
    ASSERT_TRUE(MessageQueue::Current().HasPending());
    EXPECT_EQ(A.WSACancelAsyncRequest(u), 0);
    in.PumpFor(100);
    EXPECT_TRUE(in.Notes.empty());
}

TEST_F(Lookups, ServicesAndProtocolsComeFromTheSystemDatabases)
{
    servent* http = A.getservbyname("http", "tcp");
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(ntohs(static_cast<std::uint16_t>(http->s_port)), 80);
    EXPECT_EQ(A.getservbyname("nosuchservice", "tcp"), nullptr);
    EXPECT_EQ(A.WSAGetLastError(), WSANO_DATA);
    protoent* udp = A.getprotobyname("udp");
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->p_proto, 17);
    EXPECT_EQ(A.getprotobyname("bogus"), nullptr);
}

TEST(SystemResolver, FindsLoopbackInTheHostsFile)
{
    std::string official;
    std::vector<std::uint32_t> addrs;
    ASSERT_EQ(SystemNameResolver("localhost", official, addrs), 0);
    EXPECT_NE(std::find(addrs.begin(), addrs.end(), inet_addr("127.0.0.1")), addrs.end());
}
