// https: documents arrive byte for byte over a checked session, every refused certificate and
// broken handshake ends the request with its reason, the tunnel through a proxy, and the
// credentials on relocations between http and https.
#include <gtest/gtest.h>

#include "tests/net/SocksRelay.h"
#include "tests/net/TlsTestSupport.h"

using namespace kapo;
using namespace httptest;
using namespace tlstest;

namespace {

struct HttpsRig : HttpClientRig {
    HttpsRig() { Cli.SetCaFile(Pki::Get().CaFile); }
};

std::string Header(const std::string& request, const std::string& name)
{
    std::size_t p = request.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "(none)";
    p += 4 + name.size();
    return request.substr(p, request.find("\r\n", p) - p);
}

std::string FirstLine(const std::string& request)
{
    return request.substr(0, request.find("\r\n"));
}

struct BodyRow {
    const char* Name;
    std::string Host;
    std::uint64_t Size;
};

class HttpsBody : public testing::TestWithParam<BodyRow> {};

TEST_P(HttpsBody, ArrivesByteExactWithTheRequestAsForPlainHttp)
{
    const BodyRow& row = GetParam();
    TlsServer server;
    server.Serve({[&](TlsPeer& p) {
        if (!p.Accept(Pki::Get().Good)) return;
        server.Record(p.ReadRequest());
        p.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(row.Size) + "\r\n\r\n");
        p.WritePattern(row.Size);
        p.Close();
    }});
    HttpsRig r;
    r.Cli.SetURL(server.Url("/waves/a.wav", row.Host));
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    server.Join();
    EXPECT_EQ(r.Cli.RcvdCount(), static_cast<int>(row.Size));
    EXPECT_TRUE(r.Received() == HttpPattern(0, row.Size)) << "the body differs";
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string req = server.Requests()[0];
    EXPECT_EQ(FirstLine(req), "GET /waves/a.wav HTTP/1.0");
    EXPECT_EQ(Header(req, "Host"), row.Host + ":" + server.PortText());
    EXPECT_EQ(Header(req, "Authorization"), "Basic " + EncodeBase64("ana:segredo"));
}

INSTANTIATE_TEST_SUITE_P(Rows, HttpsBody,
                         testing::Values(BodyRow{"SmallByName", "localhost", 5},
                                         BodyRow{"SmallByAddress", "127.0.0.1", 1000},
                                         BodyRow{"HundredMegabytes", "localhost", 100u << 20}),
                         [](const auto& i) { return std::string(i.param.Name); });

// Each refused session: the server's side of it, and the reason the request ends with.
struct RefusalRow {
    const char* Name;
    std::function<void(TlsPeer&)> Server;
    std::string Reason;
};

class HttpsRefusal : public testing::TestWithParam<RefusalRow> {};

TEST_P(HttpsRefusal, EndsTheRequestWithItsReasonAndSendsNothingInClear)
{
    const RefusalRow& row = GetParam();
    TlsServer server;
    std::string afterHandshake;
    server.Serve({[&](TlsPeer& p) {
        row.Server(p);
        ::shutdown(p.Fd(), SHUT_WR);
        afterHandshake = testsupport::RecvToEnd(p.Fd());
    }});
    HttpsRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(server.Url("/club/waves/a.wav"));
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), "404 " + row.Reason);
    server.Join();
    EXPECT_EQ(afterHandshake.find("segredo"), std::string::npos);
    EXPECT_EQ(afterHandshake.find("GET "), std::string::npos);
    EXPECT_EQ(log.Only({"SessionConnected", "Command", "DocBegin"}), std::vector<std::string>{});
    EXPECT_EQ(r.Cli.StatusCode(), 404);
}

void Offer(TlsPeer& p, const Identity& id)
{
    p.Accept(id);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HttpsRefusal,
    testing::Values(
        RefusalRow{"Expired", [](TlsPeer& p) { Offer(p, Pki::Get().Expired); }, "The server's certificate has expired"},
        RefusalRow{"ForAnotherName", [](TlsPeer& p) { Offer(p, Pki::Get().OtherName); },
                   "The server's certificate names another host than localhost"},
        RefusalRow{"FromAnUnknownCa", [](TlsPeer& p) { Offer(p, Pki::Get().Unknown); },
                   "The server's certificate is not trusted"},
        RefusalRow{"SelfSigned", [](TlsPeer& p) { Offer(p, Pki::Get().StrangerCa); },
                   "The server's certificate is not trusted"},
        RefusalRow{"ClosedAfterTheClientHello", [](TlsPeer& p) { p.PullOnce(); },
                   "The server closed the connection during the secure handshake"},
        RefusalRow{"ClosedHalfWayThroughItsAnswer",
                   [](TlsPeer& p) {
                       // The server's first flight, cut in the middle.
                       SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
                       SSL_CTX_use_certificate(ctx, Pki::Get().Good.Certificate.get());
                       SSL_CTX_use_PrivateKey(ctx, Pki::Get().Good.PrivateKey.get());
                       SSL* s = SSL_new(ctx);
                       SSL_set_bio(s, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
                       SSL_set_accept_state(s);
                       char buf[16384];
                       ssize_t n = ::recv(p.Fd(), buf, sizeof buf, 0);
                       if (n > 0) BIO_write(SSL_get_rbio(s), buf, static_cast<int>(n));
                       SSL_do_handshake(s);
                       std::string out;
                       for (int k; (k = BIO_read(SSL_get_wbio(s), buf, sizeof buf)) > 0;)
                           out.append(buf, static_cast<std::size_t>(k));
                       testsupport::SendAll(p.Fd(), out.substr(0, out.size() / 2));
                       SSL_free(s);
                       SSL_CTX_free(ctx);
                       ERR_clear_error();
                   },
                   "The server closed the connection during the secure handshake"},
        RefusalRow{"AnsweredInClear",
                   [](TlsPeer& p) {
                       p.PullOnce();
                       testsupport::SendAll(p.Fd(), "HTTP/1.0 400 Bad Request\r\n\r\n");
                   },
                   "The secure handshake with the server failed: wrong version number"}),
    [](const auto& i) { return std::string(i.param.Name); });

TEST(Https, HandshakeInSingleBytesCompletes)
{
    TlsServer server;
    server.Serve({[&](TlsPeer& p) {
        if (!p.Accept(Pki::Get().Good, true)) return;
        server.Record(p.ReadRequest());
        p.Write(HttpOk("split"));
        p.Close();
    }});
    HttpsRig r;
    r.Cli.SetURL(server.Url("/x"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "split");
}

TEST(Https, SessionCutWithoutItsClosingMessageIsNotADocument)
{
    TlsServer server;
    server.Serve({[&](TlsPeer& p) {
        if (!p.Accept(Pki::Get().Good)) return;
        p.ReadRequest();
        p.Write("HTTP/1.0 200 OK\r\n\r\npart of it");
        p.Close(false);
    }});
    HttpsRig r;
    r.Cli.SetURL(server.Url("/x"));
    EXPECT_EQ(HttpRun(r.Cli), "404 The server ended the secure session without closing it");
    EXPECT_EQ(r.Received(), "part of it");
}

TEST(Https, ThroughAProxyTunnelTheCredentialsGoWhereTheyBelong)
{
    TlsServer server;
    server.Serve({server.Answer(HttpOk("tunnelled"))});
    ConnectProxy proxy("HTTP/1.0 200 Connection established\r\nVia: test\r\n\r\n");
    HttpsRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(server.Url("/club/waves/a.wav"));
    r.Cli.SetProxy("127.0.0.1");
    r.Cli.SetProxyPort(proxy.PortText());
    r.Cli.SetProxyUsername("proxyuser");
    r.Cli.SetProxyPassword("proxypass");
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "tunnelled");
    std::string connect = proxy.Request();
    EXPECT_EQ(FirstLine(connect), "CONNECT localhost:" + server.PortText() + " HTTP/1.0");
    EXPECT_EQ(Header(connect, "Proxy-Authorization"), "Basic " + EncodeBase64("proxyuser:proxypass"));
    EXPECT_EQ(Header(connect, "Authorization"), "(none)");
    server.Join();
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string req = server.Requests()[0];
    EXPECT_EQ(FirstLine(req), "GET /club/waves/a.wav HTTP/1.0");
    EXPECT_EQ(Header(req, "Host"), "localhost:" + server.PortText());
    EXPECT_EQ(Header(req, "Authorization"), "Basic " + EncodeBase64("ana:segredo"));
    EXPECT_EQ(Header(req, "Proxy-Authorization"), "(none)");
    EXPECT_EQ(log.Only({"SessionConnected"}).size(), 1u);
}

// Through a SOCKS5 tunnel the proxy resolves the name, and the session is still checked
// against the name asked for, not against the address the proxy reached.
struct SocksRow {
    const char* Name;
    std::string Host;
    std::string Result;
};

class HttpsThroughSocks : public testing::TestWithParam<SocksRow> {};

TEST_P(HttpsThroughSocks, TheSessionIsCheckedAgainstTheNameAskedFor)
{
    const SocksRow& row = GetParam();
    const std::string body = HttpPattern(0, 200000);
    TlsServer server;
    server.Serve({server.Answer(HttpOk(body))});
    testsupport::Socks5Relay proxy(1);
    HttpsRig r;
    r.Cli.SetSocksServer("127.0.0.1");
    r.Cli.SetSocksPort(proxy.PortText());
    r.Cli.SetSocksLevel("5");
    r.Cli.SetURL(server.Url("/waves/a.wav", row.Host));
    EXPECT_EQ(HttpRun(r.Cli), row.Result);
    if (row.Result == "ok") {
        EXPECT_TRUE(r.Received() == body) << "the body differs";
    }
    proxy.Join();
    ASSERT_EQ(proxy.Seen.size(), 1u);
    EXPECT_EQ(proxy.Seen[0], testsupport::Socks5Seen(row.Host, std::stoi(server.PortText())));
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Rows, HttpsThroughSocks,
                         testing::Values(SocksRow{"NameOfTheCertificate", "localhost", "ok"},
                                         SocksRow{"NameOnlyTheProxyKnows", "only.proxy.knows",
                                                  "404 The server's certificate names another host than "
                                                  "only.proxy.knows"}),
                         [](const auto& i) { return std::string(i.param.Name); });

struct ProxyRefusalRow {
    const char* Name;
    std::string Reply;
    std::string Result;
};

class HttpsProxyRefusal : public testing::TestWithParam<ProxyRefusalRow> {};

TEST_P(HttpsProxyRefusal, EndsTheRequestWithoutSendingItThroughTheProxy)
{
    const ProxyRefusalRow& row = GetParam();
    ConnectProxy proxy(row.Reply);
    HttpsRig r;
    r.Cli.SetURL("https://localhost:1/club/a.wav");
    r.Cli.SetProxy("127.0.0.1:" + proxy.PortText());
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), row.Result);
    EXPECT_EQ(proxy.After(), "");
    EXPECT_EQ(proxy.Request().find("segredo"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HttpsProxyRefusal,
    testing::Values(ProxyRefusalRow{"AuthenticationRequired", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n",
                                    "404 The proxy refused the tunnel: 407 Proxy Authentication Required"},
                    ProxyRefusalRow{"TwoBlanksBeforeTheCode", "HTTP/1.1  403 Forbidden\r\n\r\n",
                                    "404 The proxy refused the tunnel: 403 Forbidden"},
                    ProxyRefusalRow{"NotHttp", "SSH-2.0-something\r\n\r\n",
                                    "404 The proxy did not answer CONNECT with an HTTP status"},
                    ProxyRefusalRow{"ClosedBeforeTheEmptyLine", "HTTP/1.0 200 Connection established\r\n",
                                    "404 The proxy closed the connection before the tunnel was open"}),
    [](const auto& i) { return std::string(i.param.Name); });

// A relocation from the https server, and whether the next request carries the credentials.
struct RelocationRow {
    const char* Name;
    bool ToPlain;       // to the plain server on the same host, else to the same https server
    bool Credentials;   // the second request carries the Authorization line
};

class HttpsRelocation : public testing::TestWithParam<RelocationRow> {};

TEST_P(HttpsRelocation, CredentialsFollowOnlyToTheSameSchemeHostAndPort)
{
    const RelocationRow& row = GetParam();
    HttpScriptedServer plain;
    TlsServer server;
    std::string target = row.ToPlain ? plain.Url("/next", "localhost") : server.Url("/next");
    std::vector<TlsServer::Script> scripts{
        server.Answer("HTTP/1.0 302 Found\r\nLocation: " + target + "\r\n\r\n")};
    if (row.ToPlain) plain.Connection().Send(HttpOk("plain")).Close();
    else scripts.push_back(server.Answer(HttpOk("secure")));
    server.Serve(scripts);
    HttpsRig r;
    r.Cli.SetURL(server.Url("/first"));
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), row.ToPlain ? "plain" : "secure");
    EXPECT_EQ(r.Cli.Location(), target);
    server.Join();
    std::string second = row.ToPlain ? plain.Request(0) : server.Requests().at(1);
    EXPECT_EQ(FirstLine(second), "GET /next HTTP/1.0");
    EXPECT_EQ(Header(second, "Authorization") != "(none)", row.Credentials);
}

INSTANTIATE_TEST_SUITE_P(Rows, HttpsRelocation,
                         testing::Values(RelocationRow{"ToPlainHttpDropsThem", true, false},
                                         RelocationRow{"ToTheSameOriginKeepsThem", false, true}),
                         [](const auto& i) { return std::string(i.param.Name); });

TEST(Https, RelocationFromPlainHttpToHttpsReachesTheSecureServerWithoutCredentials)
{
    HttpScriptedServer plain;
    TlsServer server;
    plain.Connection().Send("HTTP/1.0 301 Moved\r\nLocation: " + server.Url("/s") + "\r\n\r\n").Close();
    server.Serve({server.Answer(HttpOk("secure"))});
    HttpsRig r;
    r.Cli.SetURL(plain.Url("/p", "localhost"));
    r.Cli.SetUsername("ana");
    r.Cli.SetPassword("segredo");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "secure");
    server.Join();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(Header(server.Requests()[0], "Host"), "localhost:" + server.PortText());
    EXPECT_EQ(Header(server.Requests()[0], "Authorization"), "(none)");
    EXPECT_NE(Header(plain.Request(0), "Authorization"), "(none)");
}

// The layer under the socket's own events: the connection is reported once the session is
// up, and clear text that came in the same read as the end of the handshake is delivered.
TEST(TlsSocket, BytesBehindTheHandshakeAreDeliveredAfterTheConnectedReport)
{
    testsupport::Watchdog dog;
    const std::string greeting = "hello from right behind the handshake";
    TlsServer server;
    server.Serve({[&](TlsPeer& p) {
        // TLS 1.2, where the server speaks last in the handshake.
        if (!p.Accept(Pki::Get().Good, false, TLS1_2_VERSION, greeting)) return;
        server.Record(p.ReadRequest());
        p.Close();
    }});
    TWSocket s;
    testsupport::Recorder rec(s);
    std::string got;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char buf[3];  // small reads: the session keeps the rest for the next call
        int n = s.Receive(buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            if (rec.Log.back() != "data") rec.Log.push_back("data");
        }
    };
    s.SetTls(true);
    s.SetTlsHost("localhost");
    s.SetTlsCaFile(Pki::Get().CaFile);
    s.SetAddr("127.0.0.1");
    s.SetPort(server.PortText());
    s.Connect();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return got.size() == greeting.size(); }));
    EXPECT_EQ(got, greeting);
    s.SendText("ping\r\n\r\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Has("closed"); }));
    server.Join();
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"ping\r\n\r\n"});
    // The handshake's own bytes raise no OnDataSent; the ping's do.
    EXPECT_EQ(rec.Collapsed(), (std::vector<std::string>{"state closed>opened", "state opened>connecting",
                                                         "state connecting>connected", "connected 0", "data",
                                                         "sent 0", "closed 0", "state connected>closed"}));
}

}  // namespace
