// The HTTP client through a scripted SOCKS5 proxy that relays to a scripted HTTP server: the
// bytes each of them sees, relocations through the proxy, and a refusing proxy as a failure.
#include <gtest/gtest.h>

#include "net/HttpProt.h"
#include "tests/net/HttpScriptedServer.h"
#include "tests/net/SocketTestSupport.h"
#include "tests/net/SocksRelay.h"

using namespace kapo;
using namespace httptest;
using namespace testsupport;

namespace {

void UseSocks(THttpCli& c, const Socks5Relay& proxy)
{
    c.SetSocksServer("127.0.0.1");
    c.SetSocksPort(proxy.PortText());
    c.SetSocksLevel("5");
}

}  // namespace

TEST(SocksHttp, GetThroughSocks5ReachesTheServerByNameWithTheBytesExact)
{
    testsupport::Watchdog dog;
    HttpScriptedServer server;
    const std::string body = HttpPattern(0, 20000);
    server.Connection().Send(HttpOk(body)).Close();
    // No local resolver knows the name: only the proxy may resolve it.
    Socks5Relay proxy(1);
    HttpClientRig rig;
    UseSocks(rig.Cli, proxy);
    rig.Cli.SetURL("http://only.proxy.knows:" + server.PortText() + "/sounds/a.wav");
    EXPECT_EQ(HttpRun(rig.Cli), "ok");
    EXPECT_EQ(rig.Cli.StatusCode(), 200);
    EXPECT_EQ(rig.Received(), body);
    ASSERT_TRUE(server.WaitDone());
    EXPECT_EQ(server.Request(0), "GET /sounds/a.wav HTTP/1.0\r\n" + HttpDefaultLines() + "Host: only.proxy.knows:" +
                                     server.PortText() + "\r\n\r\n");
    proxy.Join();
    ASSERT_EQ(proxy.Seen.size(), 1u);
    EXPECT_EQ(proxy.Seen[0], Socks5Seen("only.proxy.knows", server.Port()));
}

TEST(SocksHttp, RelocationGoesThroughTheProxyAgain)
{
    testsupport::Watchdog dog;
    HttpScriptedServer server;
    server.Connection().Send("HTTP/1.0 302 Found\r\nLocation: /b.txt\r\n\r\n").Close();
    server.Connection().Send(HttpOk("second")).Close();
    Socks5Relay proxy(2);
    HttpClientRig rig;
    UseSocks(rig.Cli, proxy);
    rig.Cli.SetURL("http://dest.test:" + server.PortText() + "/a.txt");
    EXPECT_EQ(HttpRun(rig.Cli), "ok");
    EXPECT_EQ(rig.Received(), "second");
    ASSERT_TRUE(server.WaitDone());
    EXPECT_EQ(server.Accepted(), 2);
    proxy.Join();
    EXPECT_EQ(proxy.Seen, (std::vector<std::string>{Socks5Seen("dest.test", server.Port()),
                                                    Socks5Seen("dest.test", server.Port())}));
}

TEST(SocksHttp, ProxyRefusalEndsTheRequestWithItsReason)
{
    testsupport::Watchdog dog;
    Socks5Relay proxy(1, true);
    HttpClientRig rig;
    UseSocks(rig.Cli, proxy);
    rig.Cli.SetURL("http://dest.test:81/x");
    EXPECT_EQ(HttpRun(rig.Cli), "404 socks: connection refused (Error #20008)");
    EXPECT_EQ(rig.Received(), "");
    proxy.Join();
    ASSERT_EQ(proxy.Seen.size(), 1u);
    EXPECT_EQ(proxy.Seen[0], Socks5Seen("dest.test", 81));
}
