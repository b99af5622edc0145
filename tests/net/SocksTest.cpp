// The SOCKS layer against scripted proxies on loopback: the bytes of each request, the
// replies of levels 4, 4A and 5 with every failure code, replies in pieces, data behind the
// reply, a proxy that goes away half-way, the property refusals and the reset at close.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <memory>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;
using namespace testsupport;

namespace {

std::string Bytes(std::initializer_list<int> l)
{
    std::string s;
    for (int b : l) s += static_cast<char>(b);
    return s;
}

std::string PortBytes(std::uint16_t p)
{
    return Bytes({p >> 8, p & 0xFF});
}

// A SOCKS5 success reply with an IPv4 bound address 10.1.2.3:4660.
const std::string kSocks5Ok = Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x12, 0x34});
const std::string kSocks4Ok = Bytes({0, 90, 0, 0, 0, 0, 0, 0});

// A SOCKS5 proxy that takes the greeting, chooses no authentication, takes a request whose
// name is NameLength bytes long, grants it and then reads to the end.
std::function<void(int)> Socks5Accepting(std::size_t NameLength)
{
    return [NameLength](int fd) {
        RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 0}));
        RecvExactly(fd, 7 + NameLength);
        SendAll(fd, kSocks5Ok);
        RecvToEnd(fd);
        ::close(fd);
    };
}

// Sends the bytes one at a time, each in a packet of its own.
void SendBytewise(int fd, const std::string& data)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (char c : data) {
        SendAll(fd, std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // pacing, not waiting
    }
}

// Logs the SOCKS events next to the socket's own, and reads what arrives.
struct SocksRecorder : Recorder {
    std::string Got;
    int ReadSize = 64;

    explicit SocksRecorder(TWSocket& s) : Recorder(s), FS(s)
    {
        s.OnSocksConnected = [this](TObject*, std::uint16_t e) { Add("socksconnected", e); };
        s.OnSocksError = [this](TObject*, int e, const std::string& m) { Log.push_back("sockserror " + std::to_string(e) + " " + m); };
        s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Add("auth", a); };
        s.OnDataAvailable = [this](TObject*, std::uint16_t e) {
            Add("data", e);
            std::string b(static_cast<std::size_t>(ReadSize), '\0');
            int n = FS.Receive(b.data(), ReadSize);
            if (n > 0) Got.append(b.data(), static_cast<std::size_t>(n));
        };
    }
    ~SocksRecorder()
    {
        FS.OnSocksConnected = nullptr;
        FS.OnSocksError = nullptr;
        FS.OnSocksAuthState = nullptr;
    }
    // The log without state changes and data notifications.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> r;
        for (const auto& l : Log)
            if (l.rfind("state ", 0) != 0 && l.rfind("data ", 0) != 0) r.push_back(l);
        return r;
    }

private:
    TWSocket& FS;
};

class Socks : public ::testing::Test {
protected:
    Watchdog FWatchdog;
    TWSocket S;

    void ConnectThrough(const ScriptedPeer& proxy, const std::string& level, const std::string& addr = "dest.example",
                        const std::string& port = "8080")
    {
        S.SetAddr(addr);
        S.SetPort(port);
        S.SetSocksServer("127.0.0.1");
        S.SetSocksPort(proxy.PortText());
        S.SetSocksLevel(level);
        S.Connect();
    }
};

std::string Socks5Request(const std::string& host, std::uint16_t port)
{
    return Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + PortBytes(port);
}

}  // namespace

TEST_F(Socks, Socks5WithoutAuthenticationHandsOutTheBytesBehindTheReplyFirst)
{
    std::string greeting, request, fromClient;
    ScriptedPeer proxy([&](int fd) {
        greeting = RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 0}));
        request = RecvExactly(fd, 7 + 12);
        SendAll(fd, kSocks5Ok + "hello");  // the reply and the destination's first bytes together
        fromClient = RecvExactly(fd, 4);
        SendAll(fd, "world");
        ::close(fd);
    });
    SocksRecorder r(S);
    r.ReadSize = 2;  // the held bytes are taken in pieces
    S.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        r.Add("connected", e);
        if (e == 0) S.SendText("ping");
    };
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    EXPECT_EQ(greeting, Bytes({5, 1, 0}));
    EXPECT_EQ(request, Socks5Request("dest.example", 8080));
    EXPECT_EQ(fromClient, "ping");
    EXPECT_EQ(r.Got, "helloworld");
    std::vector<std::string> states;
    for (const auto& l : r.Log)
        if (l.rfind("state ", 0) == 0 || l.rfind("connected", 0) == 0 || l.rfind("socks", 0) == 0) states.push_back(l);
    EXPECT_EQ(states, (std::vector<std::string>{"state closed>opened", "state opened>connecting",
                                                 "state connecting>connected", "socksconnected 0", "connected 0",
                                                 "state connected>closed"}));
    // The first notification after the connect carries the held bytes.
    auto it = std::find(r.Log.begin(), r.Log.end(), "connected 0");
    ASSERT_NE(it, r.Log.end());
    EXPECT_EQ(*(it + 1), "data 0");
}

TEST_F(Socks, Socks5UserPasswordAcceptedRunsItsEventsInOrder)
{
    std::string greeting, auth, request;
    ScriptedPeer proxy([&](int fd) {
        greeting = RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 2}));
        auth = RecvExactly(fd, 3 + 5 + 6);
        SendAll(fd, Bytes({1, 0}));
        request = RecvExactly(fd, 7 + 9);
        SendAll(fd, kSocks5Ok);
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode("alice");
    S.SetSocksPassword("s3cret");
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5", "127.0.0.1", "80");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    ASSERT_TRUE(PumpUntil([&] { return r.Has("data"); }));
    EXPECT_EQ(greeting, Bytes({5, 1, 2}));
    EXPECT_EQ(auth, Bytes({1, 5}) + "alice" + Bytes({6}) + "s3cret");
    EXPECT_EQ(request, Socks5Request("127.0.0.1", 80));  // a dotted address still goes as a name
    EXPECT_EQ(S.SocksBoundAddr(), "10.1.2.3");
    EXPECT_EQ(S.SocksBoundPort(), "4660");
    EXPECT_EQ(r.Log, (std::vector<std::string>{"state closed>opened", "state opened>connecting",
                                                "state connecting>connected", "socksconnected 0", "auth 0", "auth 1",
                                                "connected 0", "data 0"}));
    S.Close();
    proxy.Join();
}

TEST_F(Socks, Socks5UserPasswordRefusedFailsTheConnect)
{
    ScriptedPeer proxy([&](int fd) {
        RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 2}));
        RecvExactly(fd, 3 + 1 + 1);
        SendAll(fd, Bytes({1, 1}));
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode("u");
    S.SetSocksPassword("p");
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", "auth 0", "sockserror 20015 socks authentication failed",
                                                   "connected 20015", "auth 2", "closed 20015"}));
    EXPECT_EQ(S.State(), wsClosed);
}

TEST_F(Socks, Socks5OfferedUserPasswordButProxyChoseNone)
{
    ScriptedPeer proxy(Socks5Accepting(12));
    SocksRecorder r(S);
    S.SetSocksUsercode("u");
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", "auth 3", "connected 0"}));
    S.Close();
    proxy.Join();
}

// ---- levels 4 and 4A ----------------------------------------------------------------------

struct Socks4Row {
    const char* Level;
    const char* Addr;
    std::string Expected;  // the request after version, command and port
};

class Socks4Request : public Socks, public ::testing::WithParamInterface<Socks4Row> {};

TEST_P(Socks4Request, SendsTheRequestAndConnects)
{
    const Socks4Row& row = GetParam();
    std::string request;
    ScriptedPeer proxy([&](int fd) {
        request = RecvExactly(fd, 4 + row.Expected.size());
        SendAll(fd, kSocks4Ok + "hi");
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode("bob");
    ConnectThrough(proxy, row.Level, row.Addr, "8080");
    ASSERT_TRUE(PumpUntil([&] { return r.Got == "hi"; }));
    EXPECT_EQ(request, Bytes({4, 1}) + PortBytes(8080) + row.Expected);
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", "connected 0"}));
    S.Close();
    proxy.Join();
}

INSTANTIATE_TEST_SUITE_P(Levels, Socks4Request,
                         ::testing::Values(Socks4Row{"4", "127.0.0.9", Bytes({127, 0, 0, 9}) + "bob" + Bytes({0})},
                                           Socks4Row{"4a", "dest.example",
                                                     Bytes({0, 0, 0, 1}) + "bob" + Bytes({0}) + "dest.example" +
                                                         Bytes({0})}));

// ---- failures -----------------------------------------------------------------------------

struct FailureRow {
    const char* Level;
    std::string Greeting;  // the proxy's answer to the greeting (SOCKS5 only)
    std::string Reply;     // its answer to the request
    int Code;
    const char* Text;
};

class SocksReplyFailure : public Socks, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(SocksReplyFailure, ReportsTheCodeFailsTheConnectAndCloses)
{
    const FailureRow& row = GetParam();
    const bool v5 = std::string(row.Level) == "5";
    ScriptedPeer proxy([&](int fd) {
        if (v5) {
            RecvExactly(fd, 3);
            SendAll(fd, row.Greeting);
            if (row.Greeting != Bytes({5, 0})) {
                RecvToEnd(fd);
                ::close(fd);
                return;
            }
            RecvExactly(fd, 7 + 12);
        } else {
            RecvExactly(fd, 4 + 4 + 1);
        }
        SendAll(fd, row.Reply);
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    ConnectThrough(proxy, row.Level, v5 ? "dest.example" : "127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    const std::string code = std::to_string(row.Code);
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", "sockserror " + code + " " + row.Text,
                                                   "connected " + code, "closed " + code}));
    EXPECT_EQ(r.Got, "");
    EXPECT_EQ(S.State(), wsClosed);
}

const std::string kNone = Bytes({5, 0});

std::string Socks5Failure(int code)
{
    return Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0});
}

std::string Socks4Failure(int code)
{
    return Bytes({0, code, 0, 0, 0, 0, 0, 0});
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SocksReplyFailure,
    ::testing::Values(FailureRow{"5", kNone, Socks5Failure(1), 20004, "general SOCKS server failure"},
                      FailureRow{"5", kNone, Socks5Failure(2), 20005, "connection not allowed by ruleset"},
                      FailureRow{"5", kNone, Socks5Failure(3), 20006, "network unreachable"},
                      FailureRow{"5", kNone, Socks5Failure(4), 20007, "host unreachable"},
                      FailureRow{"5", kNone, Socks5Failure(5), 20008, "connection refused"},
                      FailureRow{"5", kNone, Socks5Failure(6), 20009, "time to live expired"},
                      FailureRow{"5", kNone, Socks5Failure(7), 20010, "command not supported"},
                      FailureRow{"5", kNone, Socks5Failure(8), 20011, "address type not supported"},
                      FailureRow{"5", kNone, Socks5Failure(9), 20012, "unassigned error #9"},
                      FailureRow{"5", kNone, Bytes({5, 0, 0, 4, 0}), 20011, "address type not supported"},
                      FailureRow{"5", kNone, "HTTP/1.0 400 Bad Request\r\n\r\n", 20002, "socks version error"},
                      FailureRow{"5", Bytes({4, 0}), "", 20002, "socks version error"},
                      FailureRow{"5", Bytes({5, 0xFF}), "", 20003, "authentification method not acceptable"},
                      // user/password chosen although it was not offered
                      FailureRow{"5", Bytes({5, 2}), "", 20003, "authentification method not acceptable"},
                      FailureRow{"4", "", Socks4Failure(91), 20016, "request rejected or failed"},
                      FailureRow{"4", "", Socks4Failure(92), 20008, "connection refused"},
                      FailureRow{"4", "", Socks4Failure(93), 20015, "authentification failed"},
                      FailureRow{"4", "", Socks4Failure(94), 20012, "unassigned error #94"},
                      FailureRow{"4", "", Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"}));

TEST_F(Socks, RepliesSplitIntoSingleBytesAreAssembled)
{
    // A bound name instead of an address: the reply's length is known only from its fifth byte.
    const std::string reply = Bytes({5, 0, 0, 3, 11}) + "proxy.local" + Bytes({0x1F, 0x90});
    ScriptedPeer proxy([&](int fd) {
        RecvExactly(fd, 3);
        SendBytewise(fd, Bytes({5, 2}));
        RecvExactly(fd, 3 + 1 + 1);
        SendBytewise(fd, Bytes({1, 0}));
        RecvExactly(fd, 7 + 12);
        SendBytewise(fd, reply + "xyz");
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode("u");
    S.SetSocksPassword("p");
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Got == "xyz"; }));
    EXPECT_EQ(S.SocksBoundAddr(), "proxy.local");
    EXPECT_EQ(S.SocksBoundPort(), "8080");
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", "auth 0", "auth 1", "connected 0"}));
    S.Close();
    proxy.Join();
}

// ---- a proxy that goes away ----------------------------------------------------------------

struct CloseRow {
    const char* Name;
    std::string Before;  // what the proxy answers before it goes
    bool Reset;
    bool Auth;
    std::vector<std::string> Expected;
};

class SocksProxyGone : public Socks, public ::testing::WithParamInterface<CloseRow> {};

TEST_P(SocksProxyGone, EndsTheAttemptWithAnError)
{
    const CloseRow& row = GetParam();
    ScriptedPeer proxy([&](int fd) {
        RecvExactly(fd, 3);
        SendAll(fd, row.Before);
        if (row.Auth) RecvExactly(fd, 5);
        if (row.Reset) CloseWithReset(fd);
        else ::close(fd);
    });
    SocksRecorder r(S);
    if (row.Auth) {
        S.SetSocksUsercode("u");
        S.SetSocksPassword("p");
        S.SetSocksAuthentication(socksAuthenticateUsercode);
    }
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    PumpFor(50);
    EXPECT_EQ(r.Events(), row.Expected);
    EXPECT_EQ(S.State(), wsClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, SocksProxyGone,
    ::testing::Values(
        CloseRow{"BeforeAnyReply", "", false, false,
                 {"socksconnected 0", "sockserror 20019 socks server closed the connection", "connected 20019",
                  "closed 20019"}},
        CloseRow{"HalfwayThroughTheGreetingReply", Bytes({5}), false, false,
                 {"socksconnected 0", "sockserror 20019 socks server closed the connection", "connected 20019",
                  "closed 20019"}},
        CloseRow{"DuringAuthentication", Bytes({5, 2}), false, true,
                 {"socksconnected 0", "auth 0", "sockserror 20019 socks server closed the connection",
                  "connected 20019", "auth 2", "closed 20019"}},
        CloseRow{"WithAReset", "", true, false,
                 {"socksconnected 0", "sockserror 10054 data receive error", "connected 10054", "closed 10054"}}),
    [](const ::testing::TestParamInfo<CloseRow>& i) { return std::string(i.param.Name); });

struct TooLongRow {
    const char* Name;
    std::size_t User, Password, Addr;
    const char* Text;
};

class SocksTooLong : public Socks, public ::testing::WithParamInterface<TooLongRow> {};

TEST_P(SocksTooLong, IsRefusedBeforeAnythingIsSent)
{
    const TooLongRow& row = GetParam();
    std::string proxyGot = "unset";
    ScriptedPeer proxy([&](int fd) {
        proxyGot = RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode(std::string(row.User, 'u'));
    S.SetSocksPassword(std::string(row.Password, 'p'));
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5", std::string(row.Addr, 'a'));
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    EXPECT_EQ(proxyGot, "");
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 0", std::string("sockserror 20018 ") + row.Text,
                                                   "connected 20018", "closed 20018"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SocksTooLong,
    ::testing::Values(TooLongRow{"User", 256, 1, 10, "socks usercode or password too long"},
                      TooLongRow{"Password", 1, 256, 10, "socks usercode or password too long"},
                      TooLongRow{"Addr", 1, 1, 256, "destination name too long for socks request"}),
    [](const ::testing::TestParamInfo<TooLongRow>& i) { return std::string(i.param.Name); });

TEST_F(Socks, LongestFieldsThatFitAreSentWhole)
{
    const std::string user(255, 'u'), pass(255, 'p');
    std::string auth;
    ScriptedPeer proxy([&](int fd) {
        RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 2}));
        auth = RecvExactly(fd, 3 + 255 + 255);
        SendAll(fd, Bytes({1, 1}));
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    S.SetSocksUsercode(user);
    S.SetSocksPassword(pass);
    S.SetSocksAuthentication(socksAuthenticateUsercode);
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    proxy.Join();
    EXPECT_EQ(auth, Bytes({1, 255}) + user + Bytes({255}) + pass);
}

// ---- properties -----------------------------------------------------------------------------

TEST_F(Socks, PropertiesRefuseWhatCannotWork)
{
    S.SetSocksLevel("4a");
    EXPECT_EQ(S.SocksLevel(), "4A");
    for (const char* bad : {"6", "4b", "", " 5", "5 "}) {
        try {
            S.SetSocksLevel(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
        }
        EXPECT_EQ(S.SocksLevel(), "4A");
    }

    S.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(S.SocksServer(), "127.0.0.1");
    S.SetSocksPort("1080");
    S.SetAddr("dest.example");
    S.SetPort("80");
    S.SetProto("udp");
    // The text of the socket error the call raises, or "(none)".
    auto raised = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const ESocketException& e) {
            return e.what();
        }
        return "(none)";
    };
    EXPECT_EQ(raised([&] { S.Connect(); }), "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(S.State(), wsClosed);
    S.SetPort("0");
    EXPECT_EQ(raised([&] { S.Listen(); }), "Listening is not supported thru socks server");
}

TEST_F(Socks, SettersRefuseWhileConnecting)
{
    ScriptedPeer proxy([&](int fd) {
        RecvToEnd(fd);
        ::close(fd);
    });
    SocksRecorder r(S);
    ConnectThrough(proxy, "5");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("socksconnected"); }));
    struct Row {
        std::function<void()> Set;
        const char* Text;
    };
    for (const Row& row : {Row{[&] { S.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
                           Row{[&] { S.SetSocksServer("other"); }, "Can't change socks server if not closed"},
                           Row{[&] { S.SetSocksPort("1"); }, "Can't change socks port if not closed"}}) {
        try {
            row.Set();
            ADD_FAILURE() << "accepted: " << row.Text;
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), row.Text);
        }
    }
    EXPECT_EQ(S.SocksLevel(), "5");
    EXPECT_EQ(S.SocksServer(), "127.0.0.1");
    S.Close();
    proxy.Join();
}

TEST_F(Socks, CloseForgetsTheProxySoTheNextConnectGoesDirect)
{
    ScriptedPeer proxy(Socks5Accepting(9));
    SocksRecorder r(S);
    S.SetSocksUsercode("kept");
    ConnectThrough(proxy, "5", "127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return r.Has("connected"); }));
    S.Close();
    proxy.Join();
    EXPECT_EQ(S.SocksServer(), "");
    EXPECT_EQ(S.SocksPort(), "");
    EXPECT_EQ(S.SocksLevel(), "5");
    EXPECT_EQ(S.SocksUsercode(), "kept");

    std::string direct;
    ScriptedPeer plain([&](int fd) {
        direct = RecvExactly(fd, 5);
        ::close(fd);
    });
    r.Log.clear();
    S.OnSessionConnected = [&](TObject*, std::uint16_t e) {
        r.Add("connected", e);
        S.SendText("plain");
    };
    S.SetAddr("127.0.0.1");
    S.SetPort(plain.PortText());
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    plain.Join();
    EXPECT_EQ(direct, "plain");
    EXPECT_EQ(r.Count("connected"), 1);
    EXPECT_EQ(r.Events().front(), "connected 0");
    EXPECT_FALSE(r.Has("socksconnected"));
}

TEST_F(Socks, RefusedProxyConnectionReportsTheErrorTwice)
{
    SocksRecorder r(S);
    S.SetAddr("dest.example");
    S.SetPort("80");
    S.SetSocksServer("127.0.0.1");
    S.SetSocksPort(std::to_string(RefusingPort()));
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.Events(), (std::vector<std::string>{"socksconnected 10061", "connected 10061", "closed 0"}));
}
