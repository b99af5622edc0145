// A SOCKS proxy's replies, taken from the fuzz input, reach the socket's SOCKS layer through a
// real loopback connection in pieces whose sizes the input chooses. Every attempt must end:
// the connect is answered exactly once, the connection is closed once, and the application
// never reads more than the proxy sent.
//
// Input: byte 0 chooses the level and authentication (bits 0-1: 5, 4, 4A, 5 with
// user/password), whether the proxy ends with a reset (bit 7), and seeds the piece sizes; the
// rest is everything the proxy sends.
#include "net/WSocket.h"
#include "tests/fuzz/LoopbackPeer.h"

using namespace kapo;
using namespace fuzzpeer;

namespace {

Listener gProxy;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gProxy.Open(false);
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
        s.SetSocksPort(gProxy.PortText());
        s.SetSocksLevel(levels[control & 3]);
        s.SetSocksUsercode("user");
        s.SetSocksPassword("secret");
        if ((control & 3) == 3) s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.Connect();

        int fd = gProxy.Accept();
        if (fd < 0) Fail("no connection from the socket");
        timeval tv{0, 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        Settle();
        SendInPieces(fd, replies, Pieces{(control >> 2) & 0x1Fu, 4, 300}, [&] { return s.State() != wsClosed; });
        Close(fd, control & 0x80u);
        for (int round = 0; s.State() != wsClosed; ++round) {
            if (round > kMaxRounds) Fail("the attempt never ended");
            q.ProcessPending();
            q.WaitNext(kWaitMs);
        }
        if (connected != 1) Fail("the connect was not answered exactly once");
        if (closed != 1) Fail("the close was not reported exactly once");
        if (received > replies.size()) Fail("the application read more than the proxy sent");
        s.OnDataAvailable = nullptr;
    }
    q.ProcessPending();
    return 0;
}
