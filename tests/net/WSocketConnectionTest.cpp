// Connections of the socket component against scripted loopback peers: event order, refused
// and reset connections, data before the close, large transfers, lookups, listening, datagrams.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <future>
#include <memory>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;
using namespace testsupport;

namespace {

class Connection : public ::testing::Test {
protected:
    Watchdog FWatchdog;
    NameGate FNames;
};

void connectTo(TWSocket& s, std::uint16_t port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
}

}  // namespace

TEST_F(Connection, OneClientConnectionRaisesItsEventsInOrder)
{
    std::string peerGot;
    ScriptedPeer peer([&](int fd) {
        peerGot = RecvExactly(fd, 5);
        SendAll(fd, "world");
        ::close(fd);
    });
    TWSocket s;
    Recorder r(s);
    std::string got;
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) {
        r.Add("dns", e);
        s.SetAddr(s.DnsResult());
        s.SetPort(peer.PortText());
        s.Connect();
    };
    s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        r.Add("connected", e);
        s.SendText("hello");
    };
    s.OnSendData = [&](TObject*, int n) { r.Add("senddata", n); };
    s.OnDataAvailable = [&](TObject*, std::uint16_t e) {
        r.Add("data", e);
        char b[64];
        int n = s.Receive(b, sizeof b);
        if (n > 0) got.append(b, static_cast<std::size_t>(n));
    };
    s.StartDnsLookup("peer.test");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    PumpFor(100);
    peer.Join();
    EXPECT_EQ(peerGot, "hello");
    EXPECT_EQ(got, "world");
    EXPECT_EQ(r.Collapsed(), (std::vector<std::string>{"dns 0", "state closed>opened", "state opened>connecting",
                                                         "state connecting>connected", "connected 0", "senddata 5",
                                                         "sent 0", "data 0", "closed 0", "state connected>closed"}));
    EXPECT_EQ(s.ReadCount(), 0);  // the close resets it
}

TEST_F(Connection, RefusedConnectionReportsTheErrorThenCloses)
{
    TWSocket s;
    Recorder r(s);
    connectTo(s, RefusingPort());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    PumpFor(100);
    EXPECT_EQ(r.Log, (std::vector<std::string>{"state closed>opened", "state opened>connecting",
                                                "state connecting>connected", "connected 10061",
                                                "state connected>closed", "closed 0"}));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(Connection, PeerResetDuringALargeSendClosesOnceWithTheReset)
{
    ScriptedPeer peer(
        [](int fd) {
            RecvExactly(fd, 65536);
            CloseWithReset(fd);
        },
        32768);
    TWSocket s;
    Recorder r(s);
    TSocketState stateAtClose = wsInvalidState;
    const std::string big = Pattern(0, 16 << 20);
    s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        r.Add("connected", e);
        EXPECT_EQ(s.Send(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t e) {
        r.Add("closed", e);
        stateAtClose = s.State();
    };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    PumpFor(200);
    EXPECT_EQ(r.Count("closed"), 1);
    EXPECT_EQ(r.Log.back(), "closed 10054");
    EXPECT_EQ(stateAtClose, wsClosed);
    EXPECT_EQ(r.Count("sent"), 0);  // the queue never drained
}

TEST_F(Connection, EveryByteSentBeforeThePeerClosedArrivesBeforeTheClose)
{
    const std::size_t total = 300 * 1024;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, Pattern(0, total));
        ::close(fd);
    });
    TWSocket s;
    Recorder r(s);
    std::string got;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char b[4096];
        int n = s.Receive(b, sizeof b);  // one piece per call: the read loop calls again
        if (n > 0) got.append(b, static_cast<std::size_t>(n));
        r.Add("data", 0);
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t e) {
        r.Add("closed", e);
        s.Close();  // closing again from the handler raises nothing more
    };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    PumpFor(100);
    EXPECT_EQ(got.size(), total);
    EXPECT_TRUE(got == Pattern(0, total));
    EXPECT_EQ(r.Count("closed"), 1);
    EXPECT_EQ(r.Collapsed().back(), "state connected>closed");
    auto closedAt = std::find(r.Log.begin(), r.Log.end(), "closed 0");
    EXPECT_EQ(std::find(closedAt, r.Log.end(), "data 0"), r.Log.end());
}

TEST_F(Connection, SixtyFourMiBEchoedThroughASlowPeerIsAccountedFor)
{
    const std::size_t total = 64u << 20;
    std::string peerProblem;
    ScriptedPeer peer(
        [&](int fd) {
            std::vector<char> buf(16384);
            std::size_t seen = 0;
            while (seen < total) {
                ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    peerProblem = "peer: stream ended early";
                    break;
                }
                const std::string piece(buf.data(), static_cast<std::size_t>(n));
                if (piece != Pattern(seen, piece.size())) {
                    peerProblem = "peer: wrong bytes at " + std::to_string(seen);
                    break;
                }
                seen += piece.size();
                if (!SendAll(fd, piece)) {
                    peerProblem = "peer: echo failed";
                    break;
                }
                if (seen % (1u << 20) < static_cast<std::size_t>(n))
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a slow reader
            }
            ::close(fd);
        },
        65536);
    TWSocket s;
    Recorder r(s);
    std::size_t received = 0, sentByNetwork = 0;
    bool intact = true;
    s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        r.Add("connected", e);
        const std::size_t piece = 8u << 20;  // several large sends queue behind each other
        for (std::size_t at = 0; at < total; at += piece) {
            std::string p = Pattern(at, piece);
            s.Send(p.data(), static_cast<int>(p.size()));
        }
    };
    s.OnSendData = [&](TObject*, int n) { sentByNetwork += static_cast<std::size_t>(n); };
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char b[65536];
        int n = s.Receive(b, sizeof b);
        if (n <= 0) return;
        if (intact && std::string(b, static_cast<std::size_t>(n)) != Pattern(received, static_cast<std::size_t>(n)))
            intact = false;
        received += static_cast<std::size_t>(n);
    };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }, 240000));
    PumpFor(100);
    peer.Join();
    EXPECT_EQ(peerProblem, "");
    EXPECT_EQ(sentByNetwork, total);
    EXPECT_EQ(received, total);
    EXPECT_TRUE(intact);
    EXPECT_EQ(r.Count("closed"), 1);
    EXPECT_EQ(r.Log.back(), "state connected>closed");
}

// A file range queued between bytes reaches a slow peer in its place, straight from the file;
// a file shorter than its range cuts the connection instead of ending it as if complete.
struct FileRow {
    const char* Name;
    std::size_t FileSize;
    std::size_t Offset, Len;
    std::string Closed;  // the close event's text
};

class FileRange : public Connection, public ::testing::WithParamInterface<FileRow> {};

TEST_P(FileRange, GoesOutInItsPlaceOrCutsTheConnection)
{
    const FileRow& row = GetParam();
    char path[] = "/tmp/kapo-sendfile-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content = Pattern(0, row.FileSize);
    ASSERT_TRUE(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    std::string peerGot;
    bool cleanEnd = false;
    ScriptedPeer peer(
        [&](int c) {
            char b[16384];
            for (;;) {  // a slow reader, so that the range goes out in many sends
                ssize_t n = ::recv(c, b, sizeof b, 0);
                if (n <= 0) {
                    cleanEnd = n == 0;
                    break;
                }
                peerGot.append(b, static_cast<std::size_t>(n));
                if (peerGot.size() % (1u << 20) < static_cast<std::size_t>(n))
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(c);
        },
        65536);
    TWSocket s;
    Recorder r(s);
    std::size_t sentByNetwork = 0;
    s.OnSessionConnected = [&](TObject*, std::uint16_t) {
        s.SendText("head:");
        EXPECT_EQ(s.SendFile(fd, static_cast<std::int64_t>(row.Offset), static_cast<std::int64_t>(row.Len)), 0);
        ::close(fd);  // the socket keeps its own descriptor
        s.SendText(":tail");
    };
    s.OnSendData = [&](TObject*, int n) { sentByNetwork += static_cast<std::size_t>(n); };
    s.OnDataSent = [&](TObject*, std::uint16_t) { s.Shutdown(1); };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }, 120000));
    peer.Join();
    ::unlink(path);
    const std::size_t fromFile = std::min(row.Len, row.FileSize - row.Offset);
    if (row.Closed == "closed 0") {
        EXPECT_TRUE(cleanEnd);
        EXPECT_TRUE(peerGot == "head:" + content.substr(row.Offset, row.Len) + ":tail") << "the bytes differ";
        EXPECT_EQ(sentByNetwork, peerGot.size());
    } else {
        EXPECT_NE(std::find(r.Log.begin(), r.Log.end(), row.Closed), r.Log.end()) << "no " << row.Closed;
        EXPECT_TRUE(peerGot == "head:" + content.substr(row.Offset, fromFile)) << "the peer got " << peerGot.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FileRange,
                         ::testing::Values(FileRow{"WholeFileOfSixteenMiB", 16u << 20, 0, 16u << 20, "closed 0"},
                                           FileRow{"MiddleOfAFile", 100000, 777, 50000, "closed 0"},
                                           FileRow{"FileShorterThanItsRange", 300000, 1000, 400000, "closed 10053"}),
                         [](const auto& i) { return std::string(i.param.Name); });

TEST_F(Connection, SendFileRefusesWhatIsNoReadableFileAndDropsRangesOnClose)
{
    ScriptedPeer peer([](int fd) {
        RecvToEnd(fd);
        ::close(fd);
    });
    TWSocket s;
    Recorder r(s);
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int writeOnly = ::open("/tmp", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const int folder = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int fd : {ends[0], writeOnly, folder, -1}) {
        EXPECT_THROW(s.SendFile(fd, 0, 10), ESocketException) << fd;
        EXPECT_EQ(s.LastError(), WSAEINVAL) << fd;
    }
    EXPECT_EQ(s.State(), wsConnected);
    for (int fd : {ends[0], ends[1], writeOnly, folder}) ::close(fd);
    // A range still waiting when the connection closes goes with it, descriptor and all.
    char path[] = "/tmp/kapo-range-XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::ftruncate(file, 512 << 20), 0);  // more than the peer's buffers take at once
    EXPECT_EQ(s.SendFile(file, 0, 512 << 20), 0);
    ::close(file);
    auto heldOpen = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            n += std::filesystem::read_symlink(e.path(), ec) == path;
        }
        return n;
    };
    EXPECT_EQ(heldOpen(), 1);  // the queue's own
    s.Close();
    EXPECT_EQ(heldOpen(), 0);
    ::unlink(path);
    peer.Join();
}

TEST_F(Connection, CloseRightAfterTheQueueDrainedStillDeliversEverything)
{
    const std::size_t total = 4u << 20;
    std::string peerGot;
    bool cleanEnd = false;
    ScriptedPeer peer(
        [&](int fd) {
            char b[16384];
            for (;;) {
                ssize_t n = ::recv(fd, b, sizeof b, 0);
                if (n <= 0) {
                    cleanEnd = n == 0;
                    break;
                }
                peerGot.append(b, static_cast<std::size_t>(n));
                if (peerGot.size() % (256u << 10) < static_cast<std::size_t>(n))
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(fd);
        },
        32768);
    TWSocket s;
    Recorder r(s);
    const std::string data = Pattern(0, total);
    s.OnSessionConnected = [&](TObject*, std::uint16_t) { s.Send(data.data(), static_cast<int>(data.size())); };
    s.OnDataSent = [&](TObject*, std::uint16_t e) {
        r.Add("sent", e);
        s.Close();
    };
    connectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    peer.Join();
    EXPECT_TRUE(cleanEnd);
    EXPECT_EQ(peerGot.size(), total);
    EXPECT_TRUE(peerGot == data);
}

TEST_F(Connection, LookupsAnswerDottedAtOnceAndNamesLater)
{
    TWSocket s;
    Recorder r(s);
    s.StartDnsLookup("127.0.0.1");
    EXPECT_EQ(r.Log, std::vector<std::string>{"dns 0"});  // before StartDnsLookup returned
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList().Count(), 0);

    r.Log.clear();
    s.StartDnsLookup("peer.test");
    EXPECT_TRUE(r.Log.empty());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    EXPECT_EQ(r.Log, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_EQ(s.DnsResultList().Count(), 2);
    EXPECT_EQ(s.DnsResultList()[1], "127.0.0.2");

    r.Log.clear();
    s.StartDnsLookup("nowhere.test");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    EXPECT_EQ(r.Log, std::vector<std::string>{"dns 11001"});
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_EQ(s.DnsResultList().Count(), 0);

    r.Log.clear();
    s.StartReverseLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    EXPECT_EQ(s.DnsResult(), "loopback.test");
    EXPECT_EQ(s.DnsResultList().Text(), "loopback.test\r\n");

    EXPECT_THROW(s.StartDnsLookup(""), ESocketException);
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    r.Log.clear();
    s.StartDnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(r.Log, std::vector<std::string>{"dns 10022"});
}

TEST_F(Connection, StopDnsLookupWithdrawsThePendingLookup)
{
    TWSocket s;
    Recorder r(s);
    s.StopDnsLookup();  // nothing pending: nothing happens
    EXPECT_TRUE(r.Log.empty());
    s.StartDnsLookup("slow.test");
    s.StopDnsLookup();
    EXPECT_EQ(r.Log, std::vector<std::string>{"dns 10004"});
    // A new lookup replaces a pending one silently; only its own answer arrives.
    s.StartDnsLookup("slow.test");
    s.StartDnsLookup("peer.test");
    FNames.Open();
    ASSERT_TRUE(PumpUntil([&] { return r.Count("dns") == 2; }));
    PumpFor(200);
    EXPECT_EQ(r.Log, (std::vector<std::string>{"dns 10004", "dns 0"}));
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST_F(Connection, ConnectToAnUnknownHostNameFailsWithTheResolverText)
{
    TWSocket s;
    s.SetAddr("nowhere.test");
    s.SetPort("80");
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "connect: WSocketResolveHost: Cannot convert host address 'nowhere.test', Error #11001");
    }
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
}

TEST_F(Connection, ListeningSocketAcceptsAndAChildTakesTheConnectionOver)
{
    TWSocket server;
    Recorder rs(server);
    std::unique_ptr<TWSocket> child;
    std::unique_ptr<Recorder> rc;
    std::string got, peerAddr, peerPort;
    server.OnSessionAvailable = [&](TObject*, std::uint16_t e) {
        rs.Add("available", e);
        SOCKET h = server.Accept();
        ASSERT_NE(h, INVALID_SOCKET);
        child = std::make_unique<TWSocket>();
        rc = std::make_unique<Recorder>(*child);
        child->OnDataAvailable = [&](TObject*, std::uint16_t) {
            got += child->ReceiveText();
            if (got == "ping") {
                peerAddr = child->PeerAddr();
                peerPort = child->PeerPort();
                child->SendText("pong");
            }
        };
        child->Dup(h);
    };
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    ASSERT_EQ(server.State(), wsListening);
    const std::uint16_t port = static_cast<std::uint16_t>(std::stoi(server.BoundPortText()));
    std::string reply;
    std::uint16_t clientPort = 0;
    std::thread client([&] {
        int fd = ConnectTo(port);
        if (fd < 0) return;
        clientPort = PortOf(fd);
        SendAll(fd, "ping");
        reply = RecvExactly(fd, 4);
        ::close(fd);
    });
    bool closed = PumpUntil([&] { return rc && rc->Has("closed"); });
    client.join();
    ASSERT_TRUE(closed);
    PumpFor(100);
    EXPECT_EQ(rs.Log, (std::vector<std::string>{"state closed>bound", "state bound>listening", "available 0"}));
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(peerAddr, "127.0.0.1");
    EXPECT_EQ(peerPort, std::to_string(clientPort));
    EXPECT_EQ(rc->Log.front(), "state closed>connected");
    EXPECT_EQ(rc->Count("closed"), 1);
    EXPECT_EQ(child->PeerAddr(), "error");

    TWSocket idle;
    int errors = 0;
    idle.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(idle.Accept(), INVALID_SOCKET);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(idle.LastError(), WSAEINVAL);
}

TEST_F(Connection, DatagramsMakeARoundTrip)
{
    TWSocket server, client;
    Recorder rs(server), rc(client);
    std::string serverGot, clientGot;
    server.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char b[64];
        sockaddr_in from{};
        int len = sizeof from;
        int n = server.ReceiveFromAddress(b, sizeof b, from, len);
        if (n <= 0) return;
        serverGot.assign(b, static_cast<std::size_t>(n));
        server.SendToAddress(from, len, "pong", 4);
    };
    client.OnDataAvailable = [&](TObject*, std::uint16_t) { clientGot += client.ReceiveText(); };
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    EXPECT_EQ(rs.Log, (std::vector<std::string>{"state closed>bound", "state bound>listening",
                                                 "state listening>connected", "connected 0"}));
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.BoundPortText());
    client.Connect();
    EXPECT_EQ(rc.Log, (std::vector<std::string>{"state closed>opened", "state opened>connected", "connected 0"}));
    EXPECT_EQ(client.SendText("ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return clientGot == "pong"; }));
    EXPECT_EQ(serverGot, "ping");
}

TEST_F(Connection, NoDescriptorOutlivesFailuresAndCloses)
{
    MessageQueue::Current();
    const int before = OpenDescriptors();
    {
        TWSocket refused;
        Recorder r(refused);
        connectTo(refused, RefusingPort());
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));

        TWSocket unknown;
        unknown.SetAddr("nowhere.test");
        unknown.SetPort("1");
        EXPECT_THROW(unknown.Connect(), ESocketException);

        int busy = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(busy, 1);
        TWSocket clash;
        clash.SetAddr("127.0.0.1");
        clash.SetPort(std::to_string(PortOf(busy)));
        try {
            clash.Listen();
            ADD_FAILURE() << "no exception";
        } catch (const ESocketException& e) {
            EXPECT_EQ(e.Message(), "Error 10048 in function Bind\r\nAddress already in use");
        }
        EXPECT_EQ(clash.HSocket(), INVALID_SOCKET);
        ::close(busy);

        ScriptedPeer resetter([](int fd) { CloseWithReset(fd); });
        TWSocket reset;
        Recorder rr(reset);
        connectTo(reset, resetter.Port());
        ASSERT_TRUE(PumpUntil([&] { return rr.Has("closed"); }));
        EXPECT_EQ(rr.Log.back(), "state connected>closed");

        ScriptedPeer quiet([](int fd) {
            RecvToEnd(fd);
            ::close(fd);
        });
        auto open = std::make_unique<TWSocket>();
        {
            Recorder ro(*open);
            connectTo(*open, quiet.Port());
            ASSERT_TRUE(PumpUntil([&] { return ro.Has("connected"); }));
        }
        open.reset();  // destroyed while connected
    }
    EXPECT_EQ(OpenDescriptors(), before);
}
