// A server's response, taken from the fuzz input, reaches the HTTP client through a real
// loopback connection in pieces whose sizes the input chooses. Every request must end, and
// the body stream never holds more than the server sent.
//
// Input: byte 0 seeds the piece sizes and, in its top bit, whether the server ends with a
// reset instead of a clean close; the rest is the response. The client talks to the loopback
// server as its proxy, so relocations named in the response come back to it as well.
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

#include "core/Classes.h"
#include "net/HttpProt.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

using namespace kapo;

namespace {

// Pump rounds before a request that has not ended counts as hung. A round handles what is
// pending and then waits at most kWaitMs, so this is far beyond any honest request.
constexpr int kMaxRounds = 2000;
constexpr int kWaitMs = 20;
// Connections that get the response. A relocation to itself would be followed until the
// client's header limit ends the chain, hundreds of connections later; later connections are
// closed at once instead, which ends the request as a failure.
constexpr int kMaxServed = 4;

int gListen = -1;
std::uint16_t gPort = 0;
bool gIncoming = false;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void listenOnLoopback()
{
    gListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (gListen < 0 || ::bind(gListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(gListen, 16) != 0 ||
        ::getsockname(gListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("cannot listen on loopback");
    gPort = ntohs(a.sin_port);
    MessageQueue::Current().Watch(gListen, EPOLLIN, [](std::uint32_t) { gIncoming = true; });
}

// Handles what is pending until nothing more is ready: the client has taken every byte it
// is going to take for now.
void settle()
{
    auto& q = MessageQueue::Current();
    for (int i = 0; i < kMaxRounds; ++i) {
        q.ProcessPending();
        if (!q.HasPending() && !q.WaitNext(0)) return;
    }
    fail("the client keeps itself busy without end");
}

struct Pieces {
    std::uint32_t State;
    // Mostly small pieces, sometimes large ones, so that lines and header ends fall across reads.
    std::size_t Next(std::size_t left)
    {
        State = State * 1103515245u + 12345u;
        std::size_t r = (State >> 8) & 0xFFFF;
        std::size_t n = (r & 3) == 0 ? 1 + r % 1024 : 1 + r % 8;
        return n < left ? n : left;
    }
};

// One accepted connection: reads the request header, sends the response piece by piece with
// the client pumped dry in between, then closes.
void serve(int fd, const std::string& response, std::uint8_t control)
{
    auto& q = MessageQueue::Current();
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A new connection (a relocation) waits until this one is over; it is not work to settle.
    q.ModifyWatch(gListen, 0);
    q.Watch(fd, EPOLLIN, [](std::uint32_t) {});
    std::string request;
    bool peerGone = false;
    for (int round = 0; request.find("\r\n\r\n") == std::string::npos; ++round) {
        if (round > kMaxRounds) fail("the client never finished its request header");
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            request.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            peerGone = true;
            break;
        }
        q.ProcessPending();
        q.WaitNext(kWaitMs);
    }
    q.Unwatch(fd);
    Pieces pieces{control & 0x7Fu};
    std::size_t pos = 0;
    for (int stalls = 0; !peerGone && pos < response.size();) {
        std::size_t n = pieces.Next(response.size() - pos);
        ssize_t sent = ::send(fd, response.data() + pos, n, MSG_NOSIGNAL);
        if (sent > 0) {
            pos += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
            // The client is not reading (paused or done): give it a turn, but not forever.
            if (++stalls > 50) break;
        } else {
            break;
        }
        settle();
    }
    if (control & 0x80u) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
    q.ModifyWatch(gListen, EPOLLIN);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    listenOnLoopback();
    // No name ever leaves the machine: every host is the loopback server.
    SetNameResolver([](const std::string& name, std::string& official, std::vector<std::uint32_t>& addresses) {
        official = name;
        addresses = {htonl(INADDR_LOOPBACK)};
        return 0;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto& q = MessageQueue::Current();
    std::size_t served = 0;
    int connections = 0;
    {
        TMemoryStream body;
        THttpCli http;
        http.SetURL("http://kapo.test/waves/indice.txt");
        http.SetProxy("127.0.0.1");
        http.SetProxyPort(std::to_string(gPort));
        http.SetRcvdStream(&body);
        try {
            http.StartRequest(rqGet);
        } catch (const std::exception&) {
            return 0;
        }
        for (int round = 0; http.State() != hsReady; ++round) {
            if (round > kMaxRounds) fail("the request never ended");
            q.ProcessPending();
            if (gIncoming) {
                gIncoming = false;
                int fd = ::accept4(gListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0 && connections++ >= kMaxServed) {
                    ::close(fd);
                } else if (fd >= 0) {
                    serve(fd, response, control);
                    served += response.size();
                    continue;
                }
            }
            q.WaitNext(kWaitMs);
        }
        if (body.Size() > static_cast<std::int64_t>(served)) fail("the body holds more than the server sent");
    }
    // Leftovers of the finished request (messages for released targets) go now.
    q.ProcessPending();
    return 0;
}
