// The idle time-out, and documents that end with their declared length rather than the
// server's close.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/Timer.h"
#include "tests/net/HttpScriptedServer.h"

using namespace kapo;
using namespace httptest;

namespace {

using Clock = std::chrono::steady_clock;

// Where a silent peer stops answering; the request must end by itself after the time-out.
struct SilenceRow {
    const char* Name;
    std::string Head;  // what the server sends before it falls silent ("" for nothing)
    bool HoldLookup;   // the name lookup never answers
    int Counted;
};

class HttpIdleTimeout : public ::testing::TestWithParam<SilenceRow> {};

TEST_P(HttpIdleTimeout, ASilentPeerEndsTheRequestAsTimedOut)
{
    const SilenceRow& row = GetParam();
    HttpTestResolver names({"slow.test"}, row.HoldLookup);
    HttpScriptedServer srv;
    srv.Connection().Send(row.Head).Await(1);
    HttpClientRig r;
    int done = -1;
    r.Cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t e) { done = e; };
    r.Cli.SetTimeout(1);
    r.Cli.SetURL("http://slow.test:" + srv.PortText() + "/");
    auto start = Clock::now();
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection timed out");
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(950));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(r.Cli.RcvdCount(), row.Counted);
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return done >= 0; }));
    EXPECT_EQ(done, 10060);
    srv.Signal();
    names.Release();
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpIdleTimeout,
    ::testing::Values(SilenceRow{"DuringTheLookup", "", true, 0}, SilenceRow{"BeforeTheStatus", "", false, 0},
                      SilenceRow{"InTheHeader", "HTTP/1.0 200 OK\r\nContent-Ty", false, 0},
                      SilenceRow{"InTheBody", "HTTP/1.0 200 OK\r\n\r\n" + HttpPattern(0, 5000), false, 5000}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HttpTimeout, ASlowButSteadyServerIsNotCutOff)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\n");
    for (int i = 0; i < 5; ++i) srv.Pause(std::chrono::milliseconds(400)).Send("x");
    HttpClientRig r;
    r.Cli.SetTimeout(1);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "xxxxx");

    // Without a time-out a silent peer is waited for; Abort still ends the request.
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\nsome").Await(1);
    r.Cli.SetTimeout(0);
    TQueueTimer stop([&] { r.Cli.Abort(); });
    stop.Start(1500);
    auto start = Clock::now();
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection aborted on request");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1450));
    srv.Signal();
}

// A declared length received in full is the whole document: the server's close is not
// waited for, and bytes past that length are no part of it.
struct CompleteRow {
    const char* Name;
    std::string Response;
    THttpRequest Kind;
    std::string Body;
};

class HttpDeclaredLength : public ::testing::TestWithParam<CompleteRow> {};

TEST_P(HttpDeclaredLength, EndsTheDocumentWithoutWaitingForTheClose)
{
    const CompleteRow& row = GetParam();
    HttpScriptedServer srv;
    srv.Connection().Send(row.Response).Await(1);  // never closes by itself
    HttpClientRig r;
    int ends = 0;
    r.Cli.OnDocEnd = [&](TObject*) { ++ends; };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli, row.Kind), "ok");
    EXPECT_EQ(r.Received(), row.Body);
    EXPECT_EQ(r.Cli.RcvdCount(), static_cast<int>(row.Body.size()));
    EXPECT_EQ(ends, row.Body.empty() ? 0 : 1);
    EXPECT_FALSE(r.Dog.Fired());
    srv.Signal();
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpDeclaredLength,
    ::testing::Values(CompleteRow{"Body", HttpOk("abc"), rqGet, "abc"},
                      CompleteRow{"Empty", HttpOk(""), rqGet, ""},
                      CompleteRow{"HeadHasNoBody", "HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n", rqHead, ""},
                      CompleteRow{"NoContent", "HTTP/1.0 204 No Content\r\n\r\n", rqGet, ""},
                      CompleteRow{"BytesPastTheLength", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", rqGet,
                                  "abc"}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
