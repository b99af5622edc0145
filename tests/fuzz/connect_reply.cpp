// A proxy's reply to CONNECT, taken from the fuzz input, reaches the HTTP client through a
// real loopback connection in pieces whose sizes the input chooses. Every request must end as
// a failure (no server ever answers inside the tunnel), and whatever the client sends behind
// its CONNECT request is the start of a secure handshake or nothing: never the request, its
// credentials or anything else in clear.
//
// Input: byte 0 seeds the piece sizes and, in its top bit, whether the proxy ends with a reset
// instead of a clean close; the rest is the reply.
#include "core/Classes.h"
#include "tests/fuzz/LoopbackPeer.h"

using namespace kapo;
using namespace fuzzpeer;

namespace {

Listener gProxy;

// One accepted connection: reads the CONNECT request, sends the reply piece by piece with the
// client pumped dry in between, then looks at what the client sent behind its request.
void serve(int fd, const std::string& reply, std::uint8_t control)
{
    auto& q = MessageQueue::Current();
    gProxy.Pause();
    q.Watch(fd, EPOLLIN, [](std::uint32_t) {});
    std::string received;
    bool peerGone = false;
    auto take = [&] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                received.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) peerGone = true;
            return;
        }
    };
    for (int round = 0; received.find("\r\n\r\n") == std::string::npos && !peerGone; ++round) {
        if (round > kMaxRounds) Fail("the client never finished its CONNECT request");
        take();
        q.ProcessPending();
        q.WaitNext(kWaitMs);
    }
    // The client's bytes behind the request are read without a watch, or settling would wait
    // on them for ever.
    q.Unwatch(fd);
    std::size_t end = received.find("\r\n\r\n");
    if (end == std::string::npos) Fail("the connection ended before the CONNECT request did");
    if (received.compare(0, 8, "CONNECT ") != 0) Fail("the first request to the proxy is not CONNECT");
    SendInPieces(fd, reply, Pieces{control & 0x7Fu, 8, 1024}, [&] { return !peerGone; }, take);
    Settle();
    take();
    std::string behind = received.substr(end + 4);
    // 0x16 starts a handshake record: the only thing allowed through the tunnel.
    if (!behind.empty() && behind[0] != '\x16') Fail("the client sent something other than a handshake behind CONNECT");
    if (behind.find("segredo") != std::string::npos || behind.find(EncodeBase64("ana:segredo")) != std::string::npos)
        Fail("the member's credentials crossed the proxy");
    Close(fd, control & 0x80u);
    gProxy.Resume();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gProxy.Open(true);
    ResolveEveryNameToLoopback();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
    {
        TMemoryStream body;
        THttpCli http;
        http.SetURL("https://kapo.test/club/waves/a.wav");
        http.SetUsername("ana");
        http.SetPassword("segredo");
        http.SetProxy("127.0.0.1");
        http.SetProxyPort(gProxy.PortText());
        http.SetRcvdStream(&body);
        try {
            http.StartRequest(rqGet);
        } catch (const std::exception&) {
            return 0;
        }
        RunRequest(http, gProxy, [&](int fd) { serve(fd, reply, control); });
        if (http.StatusCode() < 400) Fail("a request through a tunnel to no server was reported a success");
        if (body.Size() != 0) Fail("a body arrived from no server");
    }
    MessageQueue::Current().ProcessPending();
    return 0;
}
