// A server's response, taken from the fuzz input, reaches the HTTP client through a real
// loopback connection in pieces whose sizes the input chooses. Every request must end, and
// the body stream never holds more than the server sent.
//
// Input: byte 0 seeds the piece sizes and, in its top bit, whether the server ends with a
// reset instead of a clean close; the rest is the response. The client talks to the loopback
// server as its proxy, so relocations named in the response come back to it as well.
#include "core/Classes.h"
#include "tests/fuzz/LoopbackPeer.h"

using namespace kapo;
using namespace fuzzpeer;

namespace {

// Connections that get the response. A relocation to itself would be followed until the
// client's header limit ends the chain, hundreds of connections later; later connections are
// closed at once instead, which ends the request as a failure.
constexpr int kMaxServed = 4;

Listener gServer;

// One accepted connection: reads the request header, sends the response piece by piece with
// the client pumped dry in between, then closes.
void serve(int fd, const std::string& response, std::uint8_t control)
{
    auto& q = MessageQueue::Current();
    gServer.Pause();
    q.Watch(fd, EPOLLIN, [](std::uint32_t) {});
    std::string request;
    bool peerGone = false;
    for (int round = 0; request.find("\r\n\r\n") == std::string::npos; ++round) {
        if (round > kMaxRounds) Fail("the client never finished its request header");
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
    SendInPieces(fd, response, Pieces{control & 0x7Fu, 8, 1024}, [&] { return !peerGone; });
    Close(fd, control & 0x80u);
    gServer.Resume();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gServer.Open(true);
    ResolveEveryNameToLoopback();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::size_t served = 0;
    int connections = 0;
    {
        TMemoryStream body;
        THttpCli http;
        http.SetURL("http://kapo.test/waves/indice.txt");
        http.SetProxy("127.0.0.1");
        http.SetProxyPort(gServer.PortText());
        http.SetRcvdStream(&body);
        try {
            http.StartRequest(rqGet);
        } catch (const std::exception&) {
            return 0;
        }
        RunRequest(http, gServer, [&](int fd) {
            if (connections++ >= kMaxServed) {
                ::close(fd);
                return;
            }
            serve(fd, response, control);
            served += response.size();
        });
        if (body.Size() > static_cast<std::int64_t>(served)) Fail("the body holds more than the server sent");
    }
    // Leftovers of the finished request (messages for released targets) go now.
    MessageQueue::Current().ProcessPending();
    return 0;
}
