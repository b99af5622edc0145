// Properties and their setter rules, the error paths, handlers that close or destroy the
// component, background faults, pausing, flushing, draining and the read loop.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;
using namespace testsupport;

namespace {

class Behaviour : public ::testing::Test {
protected:
    Watchdog FWatchdog;
    NameGate FNames;
};

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "(no exception)";
}

void connectTo(TCustomWSocket& s, std::uint16_t port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
}

// A peer that sends what it is told when told, and reads until the client closes.
struct TalkingPeer {
    std::promise<std::string> Say;
    std::string Heard;
    ScriptedPeer Peer{[this](int fd) {
        std::string text = Say.get_future().get();
        SendAll(fd, text);
        Heard = RecvToEnd(fd);
        ::close(fd);
    }};
    ~TalkingPeer()
    {
        try {
            Say.set_value("");
        } catch (const std::future_error&) {
        }
    }
};

// Remembers the length of every read it makes from the system.
class CountingSocket : public TWSocket {
public:
    std::vector<int> Reads;

protected:
    int DoRecv(void* Buffer, int Len, int Flags) override
    {
        Reads.push_back(Len);
        return TWSocket::DoRecv(Buffer, Len, Flags);
    }
};

}  // namespace

TEST_F(Behaviour, NewSocketHasItsDefaults)
{
    TWSocket s;
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.BoundPortText(), "error");
    EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
    EXPECT_NE(s.Handle(), 0u);
    EXPECT_FALSE(s.MultiThreaded());
}

TEST_F(Behaviour, SettersValidateAndNormalise)
{
    TWSocket s;
    s.SetLocalAddr(" 127.0.0.01 ");
    EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(errorOf([&] { s.SetLocalAddr("1.2.3"); }), "SetLocalAddr(): Invalid IP address");
    EXPECT_EQ(errorOf([&] { s.SetLocalAddr("1.2.3.09"); }), "SetLocalAddr(): Invalid IP address");
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    EXPECT_EQ(errorOf([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    EXPECT_THROW(s.SetLingerTimeout(70000), ERangeError);
    s.SetAddr("  host.test  ");
    EXPECT_EQ(s.Addr(), "host.test");
}

TEST_F(Behaviour, ConnectChecksComeInOrderWithTheirTexts)
{
    TWSocket s;
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("80");
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
    s.SetProto("tcp");
    s.SetPort("99999");
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "connect: Range check error");
    s.SetPort("nosuchservice");
    EXPECT_EQ(errorOf([&] { s.Connect(); }),
              "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    EXPECT_EQ(s.State(), wsClosed);
    s.SetPort("");
    EXPECT_EQ(errorOf([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST_F(Behaviour, SettersRefuseChangesUntilClosedAndCloseRestoresDefaults)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    s.OnDataAvailable = [](TObject*, std::uint16_t) {};  // leaves the data to be counted
    s.SetLocalPort("0");
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    s.SetAddr("127.0.0.1");  // its own text: accepted silently
    s.SetPort(peer.Peer.PortText());
    EXPECT_EQ(errorOf([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(errorOf([&] { s.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(errorOf([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(errorOf([&] { s.SetLocalPort("0"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(errorOf([&] { s.SetLocalAddr("0.0.0.0"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), peer.Peer.PortText());
    EXPECT_NE(s.BoundPortText(), "error");
    peer.Say.set_value("12345");
    ASSERT_TRUE(PumpUntil([&] { return s.RcvdCount() == 5; }));
    char b[8];
    EXPECT_EQ(s.Receive(b, sizeof b), 5);
    EXPECT_EQ(s.ReadCount(), 5);

    s.Close();
    EXPECT_EQ(r.Log.back(), "closed 0");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.Addr(), "127.0.0.1");  // the text stays but must be set again
    EXPECT_EQ(errorOf([&] { s.Connect(); }), "Connect: No Port Specified");
}

TEST_F(Behaviour, SendWhileNotConnectedFails)
{
    TWSocket s;
    Recorder r(s);
    EXPECT_EQ(errorOf([&] { s.SendText("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(s.SendText("x"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), WSAENOTCONN);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.Log.back(), "state closed>closed");
}

TEST_F(Behaviour, SendOfNothingStillEndsInDataSent)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    s.OnSessionConnected = [&](TObject*, std::uint16_t) {
        r.Add("connected", 0);
        r.Log.push_back("-- send --");
        EXPECT_EQ(s.Send(nullptr, 0), 0);
    };
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("sent"); }));
    EXPECT_EQ(r.Collapsed().back(), "sent 0");
    EXPECT_TRUE(s.AllSent());
}

TEST_F(Behaviour, WithoutAHandlerReceivedDataIsReadAndDropped)
{
    std::promise<void> gone;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, Pattern(0, 5000));
        gone.get_future().wait();
        ::close(fd);
    });
    CountingSocket s;
    Recorder r(s);
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.Reads.size() >= 5; }));
    gone.set_value();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    for (int len : s.Reads) EXPECT_EQ(len, 1024);
    EXPECT_EQ(s.ReadCount(), 0);
}

TEST_F(Behaviour, MessagesForAnEarlierHandleAreIgnored)
{
    TalkingPeer first, second;  // both outlive the socket, which they read to its end
    TWSocket s;
    Recorder r(s);
    connectTo(s, first.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    const SOCKET old = s.HSocket();
    s.Close();
    connectTo(s, second.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Count("connected") == 2; }));
    EXPECT_NE(s.HSocket(), old);
    r.Log.clear();
    PostMessage(s.Handle(), WM_SOCKET_EVENT, old, MakeLong(FD_READ | FD_CLOSE | FD_CONNECT, WSAECONNRESET));
    PumpFor(100);
    EXPECT_TRUE(r.Log.empty());
    EXPECT_EQ(s.State(), wsConnected);
}

TEST_F(Behaviour, HandlersMayCloseOrAbortTheirSocket)
{
    {
        TalkingPeer peer;
        TWSocket s;
        Recorder r(s);
        s.OnDataAvailable = [&](TObject*, std::uint16_t) {
            r.Add("data", 0);
            s.Close();
        };
        connectTo(s, peer.Peer.Port());
        peer.Say.set_value(Pattern(0, 100000));
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
        PumpFor(100);
        EXPECT_EQ(r.Count("data"), 1);
        EXPECT_EQ(r.Count("closed"), 1);
        EXPECT_EQ(r.Log.back(), "closed 0");
    }
    {
        TalkingPeer peer;
        TWSocket s;
        Recorder r(s);
        std::string big = Pattern(0, 1 << 20);
        s.OnSessionConnected = [&](TObject*, std::uint16_t) { s.Send(big.data(), static_cast<int>(big.size())); };
        s.OnSendData = [&](TObject*, int) {
            if (s.State() == wsConnected) s.Abort();  // aborted in the middle of the queue
        };
        connectTo(s, peer.Peer.Port());
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
        PumpFor(100);
        EXPECT_EQ(r.Count("closed"), 1);
        EXPECT_EQ(r.Count("sent"), 0);
        peer.Say.set_value("");
    }
}

TEST_F(Behaviour, HandlersMayDestroyTheirSocket)
{
    TalkingPeer peer;
    auto* s = new TWSocket;
    bool destroyedInHandler = false;
    s->OnDataAvailable = [&](TObject* sender, std::uint16_t) {
        delete static_cast<TWSocket*>(sender);
        destroyedInHandler = true;
    };
    connectTo(*s, peer.Peer.Port());
    peer.Say.set_value("bye");
    ASSERT_TRUE(PumpUntil([&] { return destroyedInHandler; }));
    PumpFor(50);

    TalkingPeer peer2;
    TComponent owner;
    auto* t = new TWSocket(&owner);
    int closed = 0;
    t->OnSessionClosed = [&](TObject*, std::uint16_t) {
        ++closed;
        t->FreeLater();
    };
    connectTo(*t, peer2.Peer.Port());
    peer2.Say.set_value("x");
    t->OnDataAvailable = [&](TObject*, std::uint16_t) {
        t->ReceiveText();
        t->CloseLater();
    };
    ASSERT_TRUE(PumpUntil([&] { return owner.ComponentCount() == 0; }));
    EXPECT_EQ(closed, 1);
}

TEST_F(Behaviour, BackgroundFaultsAbortUnlessTheHandlerKeepsTheConnection)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    std::string seen;
    bool keep = true;
    s.OnBgException = [&](TObject*, Exception& e, bool& canClose) {
        seen = e.Message();
        canClose = !keep;
    };
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    PostMessage(s.Handle(), WM_TEST_FAULT, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "Test exception in WSocket");
    EXPECT_EQ(s.State(), wsConnected);

    // An exception from a data handler ends the read loop and is dropped.
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        s.ReceiveText();
        throw ESocketException("handler failed");
    };
    peer.Say.set_value("abc");
    ASSERT_TRUE(PumpUntil([&] { return s.ReadCount() == 3; }));
    EXPECT_EQ(s.State(), wsConnected);

    keep = false;
    seen.clear();
    PostMessage(s.Handle(), WM_TEST_FAULT, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(seen, "Test exception in WSocket");
}

TEST_F(Behaviour, PausedSocketHearsNothingUntilResumed)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    std::string got;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { got += s.ReceiveText(); };
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    EXPECT_EQ(s.Pause(), 0);
    peer.Say.set_value("held");
    ASSERT_TRUE(PumpUntil([&] { return s.RcvdCount() == 4; }));
    PumpFor(100);
    EXPECT_EQ(got, "");
    EXPECT_EQ(s.Resume(), 0);
    ASSERT_TRUE(PumpUntil([&] { return got == "held"; }));
}

TEST_F(Behaviour, FlushAndDrainWaitForTheConnection)
{
    const std::size_t total = 24u << 20;
    std::string peerGot;
    std::promise<void> go;
    ScriptedPeer peer(
        [&](int fd) {
            go.get_future().wait();
            peerGot = RecvExactly(fd, total);
            SendAll(fd, Pattern(0, 70000));
            ::close(fd);
        },
        32768);
    TWSocket s;
    Recorder r(s);
    std::size_t got = 0;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char b[4096];
        int n = s.Receive(b, sizeof b);
        if (n > 0) got += static_cast<std::size_t>(n);
    };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    std::string data = Pattern(0, total);
    s.Send(data.data(), static_cast<int>(data.size()));
    EXPECT_FALSE(s.AllSent());
    go.set_value();
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    s.DrainUntilClosed();  // returns once the end of the stream is reached
    EXPECT_EQ(got, 70000u);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.Count("closed"), 1);
    peer.Join();
    EXPECT_TRUE(peerGot == data);
}

TEST_F(Behaviour, ReadLoopRepeatsUntilDrainedUnlessToldNotTo)
{
    for (bool once : {false, true}) {
        TalkingPeer peer;
        TWSocket s;
        Recorder r(s);
        if (once) s.SetComponentOptions({wsoNoReceiveLoop});
        // Rounds of the queue: with the loop every byte is taken in one message.
        int round = 0;
        std::vector<int> callRounds;
        s.OnDataAvailable = [&](TObject*, std::uint16_t) {
            char c;
            if (s.Receive(&c, 1) == 1) callRounds.push_back(round);
        };
        connectTo(s, peer.Peer.Port());
        ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
        peer.Say.set_value(std::string(20, 'z'));
        ASSERT_TRUE(PumpUntil([&] {
            ++round;
            return callRounds.size() == 20;
        }));
        std::sort(callRounds.begin(), callRounds.end());
        bool distinct = std::adjacent_find(callRounds.begin(), callRounds.end()) == callRounds.end();
        EXPECT_EQ(distinct, once) << (once ? "one call per notification" : "a loop per notification");
    }
}

TEST_F(Behaviour, HandlerThatLeavesTheDataIsAskedAgainAfterItsNextRead)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    int calls = 0;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { ++calls; };
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    peer.Say.set_value("waiting");
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    PumpFor(100);
    EXPECT_EQ(calls, 1);  // no spinning over data nobody takes
    char b[3];
    EXPECT_EQ(s.Receive(b, sizeof b), 3);
    ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
}

TEST_F(Behaviour, MultiThreadedSocketPumpsItsOwnThread)
{
    TalkingPeer peer;
    std::string got;
    bool quitSeen = false, closed = false;
    std::thread worker([&] {
        TWSocket s;
        s.SetMultiThreaded(true);
        s.OnDataAvailable = [&](TObject*, std::uint16_t) { got += s.ReceiveText(); };
        s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
        connectTo(s, peer.Peer.Port());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (got != "threaded" && std::chrono::steady_clock::now() < deadline) {
            s.ProcessOwnMessages();
            MessageQueue::Current().WaitNext(20);
        }
        PostQuitMessage(0);
        s.ProcessOwnMessages();
        quitSeen = s.QuitSeen();
        s.Close();
    });
    peer.Say.set_value("threaded");
    worker.join();
    EXPECT_EQ(got, "threaded");
    EXPECT_TRUE(quitSeen);
    EXPECT_TRUE(closed);
}

namespace {

TEST_F(Behaviour, SendingGoesOnAfterASendHandlerRaised)
{
    TalkingPeer peer;
    TWSocket s;
    Recorder r(s);
    s.OnBgException = [&](TObject*, Exception&, bool& canClose) { canClose = false; };
    int calls = 0;
    s.OnSendData = [&](TObject*, int) {
        if (++calls == 1) throw ESocketException("send handler failed");
    };
    connectTo(s, peer.Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    EXPECT_THROW(s.SendText("abc"), ESocketException);
    // The queue is not left locked: later bytes still go out, after the first ones.
    s.SendText("def");
    ASSERT_TRUE(PumpUntil([&] { return s.AllSent(); }));
    s.Close();
    peer.Say.set_value("");
    peer.Peer.Join();
    EXPECT_EQ(peer.Heard, "abcdef");
}

}  // namespace
