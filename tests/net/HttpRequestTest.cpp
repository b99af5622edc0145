// The request the client sends: address preparation, the header line by line, POST and HEAD,
// and the refusals before anything starts.
#include <gtest/gtest.h>

#include "tests/net/HttpScriptedServer.h"

using namespace kapo;
using namespace httptest;

namespace {

const std::string kHead = "GET /a/b.txt HTTP/1.0\r\n";

TEST(HttpRequest, DirectGetSendsTheMinimalHeaderToTheUrlsHost)
{
    HttpTestResolver names({"kora.test"});
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("hello")).Close();
    HttpClientRig r;
    r.Cli.SetURL("kora.test:" + srv.PortText() + "/a/b.txt");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(0), kHead + HttpDefaultLines() + "Host: kora.test:" + srv.PortText() + "\r\n\r\n");
    EXPECT_EQ(r.Cli.DocName(), "b.txt");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(r.Cli.ReasonPhrase(), "OK");
    EXPECT_EQ(r.Received(), "hello");
    EXPECT_EQ(r.Cli.RcvdCount(), 5);
    EXPECT_EQ(r.Cli.ContentLength(), 5);
    EXPECT_EQ(r.Cli.Location(), r.Cli.URL());
}

// The Host line names the port whenever it is not the default one; for port 80 it is the
// bare host, byte for byte.
struct HostLineRow {
    const char* Name;
    std::string Url;    // "{P}" stands for the server's port
    bool ThroughProxy;
    std::string Host;
};

class HttpHostLine : public ::testing::TestWithParam<HostLineRow> {};

TEST_P(HttpHostLine, NamesTheServersPortUnlessItIsEighty)
{
    const HostLineRow& row = GetParam();
    HttpTestResolver names({"kora.test"});
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("x")).Close();
    HttpClientRig r;
    auto fill = [&](std::string s) {
        if (std::size_t p = s.find("{P}"); p != std::string::npos) s.replace(p, 3, srv.PortText());
        return s;
    };
    r.Cli.SetURL(fill(row.Url));
    if (row.ThroughProxy) r.Cli.SetProxy("kora.test:" + srv.PortText());
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    std::string request = srv.Request(0);
    std::size_t at = request.find("\r\nHost: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(request.substr(at + 2, request.find("\r\n", at + 2) - at - 2), "Host: " + fill(row.Host));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpHostLine,
    ::testing::Values(HostLineRow{"DirectWithPort", "http://kora.test:{P}/x", false, "kora.test:{P}"},
                      HostLineRow{"ProxyDefaultPort", "http://kora.test/x", true, "kora.test"},
                      HostLineRow{"ProxyPortEighty", "http://kora.test:80/x", true, "kora.test"},
                      HostLineRow{"ProxyOtherPort", "http://kora.test:8080/x", true, "kora.test:8080"}),
    [](const auto& info) { return std::string(info.param.Name); });

// A line break or NUL in the address would let it write header lines of its own.
TEST(HttpRequest, AnAddressWithALineBreakOrNulIsRefusedBeforeAnythingIsSent)
{
    HttpScriptedServer srv;
    HttpClientRig r;
    for (std::string bad : {std::string("\r\nX-Injected: 1"), std::string("\n"), std::string("\r"), std::string(1, '\0')}) {
        r.Cli.SetURL(srv.Url("/a") + bad + "/b");
        EXPECT_EQ(HttpRun(r.Cli), "404 Invalid character in URL");
    }
    EXPECT_EQ(srv.Accepted(), 0);
    // Blanks, controls and bytes above 127 go out percent-encoded, escapes as they are, and
    // the fragment not at all.
    srv.Connection().Send(HttpOk("ok")).Close();
    r.Cli.SetURL(srv.Url("/a b\t\x7f\xe9%41%?x=1#frag"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(0).substr(0, srv.Request(0).find("\r\n")), "GET /a%20b%09%7F%E9%41%25?x=1 HTTP/1.0");
}

TEST(HttpRequest, ProxyGetCarriesTheAbsoluteAddressAndTheRightCredentials)
{
    // The document's own port 80 is never tried: the connection goes to the proxy's port.
    HttpTestResolver names({"proxy.test"});
    HttpScriptedServer proxy;
    proxy.Connection().Send(HttpOk("1")).Close();
    proxy.Connection().Send(HttpOk("2")).Close();
    proxy.Connection().Send(HttpOk("3")).Close();
    HttpClientRig r;
    r.Cli.SetURL("kora.test/a/b.txt");
    r.Cli.SetProxy("proxy.test");
    r.Cli.SetProxyPort(proxy.PortText());
    r.Cli.SetUsername("user");
    r.Cli.SetPassword("secret");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    const std::string absolute = "GET http://kora.test/a/b.txt HTTP/1.0\r\n" + HttpDefaultLines() +
                                 "Host: kora.test\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n";
    EXPECT_EQ(proxy.Request(0), absolute + "\r\n");
    EXPECT_EQ(r.Cli.DocName(), "b.txt");

    r.Cli.SetProxyUsername("pu");
    r.Cli.SetProxyPassword("pp");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(proxy.Request(1), absolute + "Proxy-Authorization: Basic cHU6cHA=\r\n\r\n");

    // A port written in Proxy wins over ProxyPort; the URL's own port stays in the address.
    r.Cli.SetProxy("proxy.test:" + proxy.PortText());
    r.Cli.SetProxyPort("1");
    r.Cli.SetURL("kora.test:81/c");
    r.Cli.SetUsername("");
    r.Cli.SetPassword("");
    r.Cli.SetProxyUsername("");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(proxy.Request(2), "GET http://kora.test:81/c HTTP/1.0\r\n" + HttpDefaultLines() + "Host: kora.test:81\r\n\r\n");
    EXPECT_EQ(r.Received(), "123");
}

TEST(HttpRequest, CredentialLinesNeedTheirUserAndTheirProxy)
{
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("")).Close();
    srv.Connection().Send(HttpOk("")).Close();
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/"));
    r.Cli.SetPassword("secret");         // no user, still a credential: ":secret"
    r.Cli.SetProxyUsername("pu");        // no proxy: no Proxy-Authorization line
    r.Cli.SetProxyPassword("pp");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(0), "GET / HTTP/1.0\r\n" + HttpDefaultLines() + "Host: 127.0.0.1:" + srv.PortText() +
                                  "\r\nAuthorization: Basic " + EncodeBase64(":secret") + "\r\n\r\n");
    // User and password written in the address replace the properties.
    r.Cli.SetURL("http://ann:pw@127.0.0.1:" + srv.PortText() + "/");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(1), "GET / HTTP/1.0\r\n" + HttpDefaultLines() + "Host: 127.0.0.1:" + srv.PortText() + "\r\nAuthorization: Basic " +
                                  EncodeBase64("ann:pw") + "\r\n\r\n");
    EXPECT_EQ(r.Cli.Username(), "ann");
    EXPECT_EQ(r.Cli.Password(), "pw");
}

TEST(HttpRequest, OptionalLinesComeInTheirOrderAndARangeIsAskedForOnce)
{
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("")).Close();
    srv.Connection().Send(HttpOk("")).Close();
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/f"));
    r.Cli.SetSender("me@example.org");
    r.Cli.SetReference("http://ref/");
    r.Cli.SetNoCache(true);
    r.Cli.SetModifiedSince(37265 + (5 * 3600 + 4 * 60 + 3) / 86400.0);
    r.Cli.SetUsername("u");
    r.Cli.SetCookie("k=v");
    r.Cli.SetContentRangeBegin("100");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(0), "GET /f HTTP/1.0\r\n"
                              "From: me@example.org\r\n"
                              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                              "Referer: http://ref/\r\n"
                              "User-Agent: Mozilla/3.0 (compatible)\r\n"
                              "Host: 127.0.0.1:" + srv.PortText() + "\r\n"
                              "Pragma: no-cache\r\n"
                              "If-Modified-Since: Wed, 09 Jan 2002 05:04:03 GMT\r\n"
                              "Authorization: Basic dTo=\r\n"
                              "Cookie: k=v\r\n"
                              "Range: bytes=100-\r\n"
                              "\r\n");
    EXPECT_EQ(r.Cli.ContentRangeBegin(), "");
    // The range was asked for once; the empty lines of Accept and Agent drop those lines.
    r.Cli.SetAccept("");
    r.Cli.SetAgent("");
    r.Cli.SetSender("");
    r.Cli.SetReference("");
    r.Cli.SetNoCache(false);
    r.Cli.SetModifiedSince(0);
    r.Cli.SetUsername("");
    r.Cli.SetCookie("");
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(srv.Request(1), "GET /f HTTP/1.0\r\nHost: 127.0.0.1:" + srv.PortText() + "\r\n\r\n");
}

TEST(HttpRequest, OnCommandSeesEveryLineAndMayRewriteOrEmptyIt)
{
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("")).Close();
    HttpClientRig r;
    std::vector<std::string> seen;
    r.Cli.OnCommand = [&](TObject*, std::string& s) {
        seen.push_back(s);
        if (s.rfind("User-Agent:", 0) == 0) s = "User-Agent: kapo-test";
        if (s.rfind("Accept:", 0) == 0) s.clear();
    };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    ASSERT_TRUE(srv.WaitDone());
    EXPECT_EQ(srv.Request(0), "GET / HTTP/1.0\r\n\r\nUser-Agent: kapo-test\r\nHost: 127.0.0.1:" + srv.PortText() + "\r\n\r\n");
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], "GET / HTTP/1.0");
    EXPECT_EQ(seen[3], "Host: 127.0.0.1:" + srv.PortText());
    EXPECT_EQ(seen[4], "");
}

TEST(HttpRequest, PostSendsTheStreamFromItsPositionInPiecesAfterTheHeader)
{
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("done")).Close();
    srv.Connection().Send(HttpOk("again")).Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    std::string body = HttpPattern(0, 20000);
    TMemoryStream post;
    post.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
    post.SetPosition(0);
    r.Cli.SetSendStream(&post);
    r.Cli.SetURL(srv.Url("/form"));
    EXPECT_EQ(HttpRun(r.Cli, rqPost), "ok");
    EXPECT_EQ(srv.Request(0), "POST /form HTTP/1.0\r\n"
                              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                              "Content-Type: application/x-www-form-urlencoded\r\n"
                              "User-Agent: Mozilla/3.0 (compatible)\r\n"
                              "Host: 127.0.0.1:" + srv.PortText() + "\r\n"
                              "Content-Length: 20000\r\n\r\n" +
                                  body);
    EXPECT_EQ(log.Only({"Send"}),
              (std::vector<std::string>{"SendBegin", "SendData 8193", "SendData 8193", "SendData 3614", "SendEnd"}));
    EXPECT_EQ(r.Cli.SentCount(), 20000);
    EXPECT_EQ(r.Cli.RequestType(), rqPost);
    EXPECT_EQ(r.Received(), "done");

    // The declared length is what will be sent: the stream is read from where it stands.
    post.SetPosition(15000);
    r.Cli.SetContentTypePost("");
    EXPECT_EQ(HttpRun(r.Cli, rqPost), "ok");
    std::string req = srv.Request(1);
    EXPECT_NE(req.find("Content-Length: 5000\r\n\r\n" + body.substr(15000)), std::string::npos);
    EXPECT_EQ(req.find("Content-Type"), std::string::npos);
    EXPECT_EQ(r.Cli.SentCount(), 5000);
}

TEST(HttpRequest, HeadEndsWithTheHeaderAlthoughALengthIsDeclared)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/big"));
    EXPECT_EQ(HttpRun(r.Cli, rqHead), "ok");
    EXPECT_EQ(srv.Request(0), "HEAD /big HTTP/1.0\r\n" + HttpDefaultLines() + "Host: 127.0.0.1:" + srv.PortText() + "\r\n\r\n");
    EXPECT_EQ(r.Cli.ContentLength(), 1234);
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_TRUE(log.Only({"Doc"}).empty());
}

TEST(HttpRequest, BusyAndNothingToPostAreRefusedBeforeAnythingChanges)
{
    HttpTestResolver names({"kora.test"}, true);
    HttpClientRig r;
    r.Cli.SetURL("http://kora.test/x");
    try {
        r.Cli.RunRequest(rqPost);
        ADD_FAILURE() << "a POST without a stream was started";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_EQ(e.Message(), "HTTP component has nothing to post");
    }
    EXPECT_EQ(r.Cli.State(), hsReady);
    EXPECT_EQ(r.Cli.RequestType(), rqNone);

    r.Cli.StartRequest(rqGet);
    EXPECT_EQ(r.Cli.State(), hsDnsLookup);
    EXPECT_EQ(HttpRun(r.Cli), "1 HTTP component is busy");
    EXPECT_EQ(r.Cli.State(), hsDnsLookup);
    r.Cli.Abort();
    EXPECT_EQ(r.Cli.State(), hsReady);
    EXPECT_EQ(r.Cli.StatusCode(), 404);
}

struct DocNameRow {
    const char* Url;
    const char* Proxy;
    const char* DocName;
    const char* Target;
};

class HttpDocName : public ::testing::TestWithParam<DocNameRow> {};

TEST_P(HttpDocName, DerivesTheNameAndTheRequestTarget)
{
    // The lookup is held back: only the preparation of the address is looked at.
    struct Probe : THttpCli {
        using THttpCli::RequestTarget;
    };
    HttpTestResolver names({}, true);
    Probe cli;
    cli.SetURL(GetParam().Url);
    cli.SetProxy(GetParam().Proxy);
    cli.StartRequest(rqGet);
    EXPECT_EQ(cli.DocName(), GetParam().DocName);
    EXPECT_EQ(cli.RequestTarget(), GetParam().Target);
    cli.Abort();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HttpDocName,
    ::testing::Values(DocNameRow{"kora.test", "", "document.htm", "/"},
                      DocNameRow{"http://kora.test/", "", "document.htm", "/"},
                      DocNameRow{"http://kora.test/dir/", "", "dir", "/dir/"},
                      DocNameRow{"http://kora.test/a?b=c", "", "a", "/a?b=c"},
                      DocNameRow{"http://kora.test/x/setup.exe", "", "setup.exe", "/x/setup.exe"},
                      DocNameRow{"kora.test/p/q.wav", "proxy.test", "q.wav", "http://kora.test/p/q.wav"},
                      DocNameRow{"ftp://u:p@kora.test:21/f", "proxy.test:3128", "f", "ftp://kora.test:21/f"}));

}  // namespace
