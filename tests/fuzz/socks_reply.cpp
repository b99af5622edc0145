// A SOCKS proxy's replies, taken from the fuzz input, reach the socket's SOCKS layer through a
// real loopback connection in pieces whose sizes the input chooses. Every attempt must end:
// the connect is answered exactly once, the connection is closed once, and the application
// never reads more than the proxy sent.
//
// Input: byte 0 chooses the level and authentication (bits 0-1: 5, 4, 4A, 5 with
// user/password), whether the proxy ends with a reset (bit 7), and seeds the piece sizes; the
// rest is everything the proxy sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/WSocket.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

using namespace kapo;

namespace {

constexpr int kMaxRounds = 2000;
constexpr int kWaitMs = 20;

int gListen = -1;
std::uint16_t gPort = 0;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void listenOnLoopback()
{
    gListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (gListen < 0 || ::bind(gListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(gListen, 16) != 0 ||
        ::getsockname(gListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("cannot listen on loopback");
    gPort = ntohs(a.sin_port);
}

// Handles what is pending until nothing more is ready.
void settle()
{
    auto& q = MessageQueue::Current();
    for (int i = 0; i < kMaxRounds; ++i) {
        q.ProcessPending();
        if (!q.HasPending() && !q.WaitNext(0)) return;
    }
    fail("the socket keeps itself busy without end");
}

struct Pieces {
    std::uint32_t State;
    std::size_t Next(std::size_t left)
    {
        State = State * 1103515245u + 12345u;
        std::size_t r = (State >> 8) & 0xFFFF;
        std::size_t n = (r & 3) == 0 ? 1 + r % 300 : 1 + r % 4;
        return n < left ? n : left;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    listenOnLoopback();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    const std::string replies(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto& q = MessageQueue::Current();
    int connected = 0, closed = 0;
    std::size_t received = 0;
    {
        TWSocket s;
        s.OnSessionConnected = [&](TObject*, std::uint16_t) { ++connected; };
        s.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closed; };
        s.OnDataAvailable = [&](TObject*, std::uint16_t) {
            char buf[7];  // small, so that held bytes are taken in several reads
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) received += static_cast<std::size_t>(n);
        };
        static const char* const levels[] = {"5", "4", "4A", "5"};
        s.SetAddr("dest.test");
        s.SetPort("80");
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(gPort));
        s.SetSocksLevel(levels[control & 3]);
        s.SetSocksUsercode("user");
        s.SetSocksPassword("secret");
        if ((control & 3) == 3) s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.Connect();

        int fd = ::accept4(gListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) fail("no connection from the socket");
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{0, 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        settle();
        Pieces pieces{(control >> 2) & 0x1Fu};
        for (std::size_t pos = 0; pos < replies.size() && s.State() != wsClosed;) {
            std::size_t n = pieces.Next(replies.size() - pos);
            ssize_t sent = ::send(fd, replies.data() + pos, n, MSG_NOSIGNAL);
            if (sent <= 0) break;
            pos += static_cast<std::size_t>(sent);
            settle();
        }
        if (control & 0x80u) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(fd);
        for (int round = 0; s.State() != wsClosed; ++round) {
            if (round > kMaxRounds) fail("the attempt never ended");
            q.ProcessPending();
            q.WaitNext(kWaitMs);
        }
        if (connected != 1) fail("the connect was not answered exactly once");
        if (closed != 1) fail("the close was not reported exactly once");
        if (received > replies.size()) fail("the application read more than the proxy sent");
        s.OnDataAvailable = nullptr;
    }
    q.ProcessPending();
    return 0;
}
