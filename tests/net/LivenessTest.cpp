// A handler may destroy the component that raises its event, at any event: the component
// must not touch itself afterwards (the sanitizer build catches any use after the free).
#include <gtest/gtest.h>

#include <cctype>

#include "tests/net/HttpScriptedServer.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;
using namespace httptest;
using namespace testsupport;

namespace {

// ---- the HTTP client -----------------------------------------------------------------------

class HttpClientDestroyedAt : public ::testing::TestWithParam<const char*> {};

TEST_P(HttpClientDestroyedAt, LeavesNothingBehindThatTouchesIt)
{
    const std::string at = GetParam();
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 302 Moved\r\nSet-Cookie: a=1\r\nLocation: /next\r\n\r\n").Close();
    srv.Connection().Send(HttpOk("hello")).Close();
    auto* cli = new THttpCli;
    TMemoryStream post, body;
    post.Write("field=value", 11);
    post.SetPosition(0);
    cli->SetSendStream(&post);
    cli->SetRcvdStream(&body);
    cli->SetURL(srv.Url("/first"));
    bool gone = false;
    HttpEventLog log(*cli);
    log.OnEvent = [&](const std::string& e) {
        // A row ending in a blank names one event exactly; the others name a prefix.
        bool match = at.back() == ' ' ? e == at : e.rfind(at, 0) == 0;
        if (!gone && match) {
            gone = true;
            delete cli;
        }
    };
    HttpWatchdog dog([] {}, std::chrono::seconds(20));
    std::string result = HttpRun(*cli, rqPost);
    EXPECT_TRUE(result == "ok" || result == "404 Connection aborted on request") << result;
    ASSERT_TRUE(HttpPumpUntil(dog, [&] { return gone; })) << "never raised: " << at;
    // Whatever it had posted or started is dropped, not delivered to a freed client.
    HttpDrainQueue();
}

INSTANTIATE_TEST_SUITE_P(
    Events, HttpClientDestroyedAt,
    ::testing::Values("State hsNotConnected", "State hsDnsLookup", "State hsDnsLookupDone", "State hsConnected",
                      "SessionConnected", "State hsWaitingHeader", "RequestHeaderBegin", "Command POST",
                      "Command Host", "RequestHeaderEnd", "Command ", "SendBegin", "SendData", "SendEnd",
                      "HeaderBegin", "HeaderData HTTP", "Cookie", "HeaderData Location", "HeaderEnd",
                      "LocationChange", "State hsWaitingBody", "DocBegin", "DocData", "DocEnd", "State hsReady",
                      "RequestDone"),
    [](const auto& info) {
        std::string n;
        for (const char* p = info.param; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
        return n;
    });

// ---- the socket ----------------------------------------------------------------------------

class SocketDestroyedAt : public ::testing::TestWithParam<const char*> {};

TEST_P(SocketDestroyedAt, LeavesNothingBehindThatTouchesIt)
{
    const std::string target = GetParam();
    Watchdog dog;
    ScriptedPeer peer([](int fd) {
        RecvExactly(fd, 5);
        SendAll(fd, "world");
        ::shutdown(fd, SHUT_WR);
        RecvToEnd(fd);
        ::close(fd);
    });
    auto* s = new TWSocket;
    bool gone = false;
    bool connected = false;
    // True when the event is the one this row destroys the socket at.
    auto at = [&](const std::string& event) {
        if (gone || event != target) return false;
        gone = true;
        delete s;
        return true;
    };
    s->OnError = [&](TObject*) { at("error"); };
    s->OnChangeState = [&](TObject*, TSocketState, TSocketState n) { at(std::string("state ") + StateName(n)); };
    s->OnDnsLookupDone = [&](TObject*, std::uint16_t) {
        if (at("lookup")) return;
        s->SetAddr(s->DnsResult());
        s->SetPort(peer.PortText());
        s->Connect();
    };
    s->OnSessionConnected = [&](TObject*, std::uint16_t) {
        connected = true;
        if (at("connected")) return;
        PostMessage(s->Handle(), WM_TEST_FAULT, 0, 0);
        s->SendText("hello");
    };
    s->OnBgException = [&](TObject*, Exception&, bool& canClose) {
        canClose = false;
        at("background fault");
    };
    s->OnSendData = [&](TObject*, int) { at("send data"); };
    s->OnDataSent = [&](TObject*, std::uint16_t) { at("data sent"); };
    s->OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (at("data")) return;
        s->ReceiveText();
    };
    s->OnSessionClosed = [&](TObject*, std::uint16_t) { at("closed"); };

    s->SetLocalAddr("not an address");  // raises OnError
    if (!gone) s->StartDnsLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return gone; })) << "never raised: " << target;
    if (!connected) ::close(ConnectTo(peer.Port()));  // the peer waits for a connection
    peer.Join();
    PumpFor(50);
}

TEST(SocketDestroyedByItsHandler, AtAnIncomingConnectionLeavesNothingBehindThatTouchesIt)
{
    Watchdog dog;
    auto* s = new TWSocket;
    bool gone = false;
    s->OnSessionAvailable = [&](TObject*, std::uint16_t) {
        gone = true;
        delete s;
    };
    s->SetAddr("127.0.0.1");
    s->SetPort("0");
    s->Listen();
    auto port = static_cast<std::uint16_t>(std::stoi(s->BoundPortText()));
    int fd = ConnectTo(port);
    ASSERT_TRUE(PumpUntil([&] { return gone; }));
    ::close(fd);
    PumpFor(50);
}

INSTANTIATE_TEST_SUITE_P(Events, SocketDestroyedAt,
                         ::testing::Values("error", "lookup", "state opened", "state connecting", "state connected",
                                           "connected", "send data", "background fault", "data sent", "data",
                                           "closed", "state closed"),
                         [](const auto& info) {
                             std::string n;
                             for (const char* p = info.param; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
                             return n;
                         });

}  // namespace
