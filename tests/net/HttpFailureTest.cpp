// Responses that end badly must end as failures: a cut body, a reset, a header without end.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

#include "tests/net/HttpScriptedServer.h"

using namespace kapo;
using namespace httptest;

namespace {

TEST(HttpFailure, BodyShortOfItsDeclaredLengthIsAFailure)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + HttpPattern(0, 1000)).Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n").Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\n" + HttpPattern(0, 1000)).Close();
    HttpClientRig r;
    int ends = 0;
    r.Cli.OnDocEnd = [&](TObject*) { ++ends; };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "404 Document truncated: 1000 of 5000 bytes received");
    EXPECT_EQ(r.Cli.RcvdCount(), 1000);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(r.Received(), HttpPattern(0, 1000));  // what came is kept

    // Cut inside the header, after the length was declared.
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection closed before the end of the HTTP header");

    // The same body with no declared length and a clean close is a whole document.
    r.Body.Clear();
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(r.Received(), HttpPattern(0, 1000));
}

TEST(HttpFailure, ResetWhileTheResponseIsReadIsAFailure)
{
    HttpScriptedServer srv;
    // Reset once the client has the first thousand body bytes.
    srv.Connection().Send("HTTP/1.0 200 First\r\n\r\n" + HttpPattern(0, 1000)).Await(1).Reset();
    srv.Connection().Send("HTTP/1.0 200 Second\r\nContent-Ty").Await(2).Reset();
    srv.Connection().Send(HttpOk("complete")).Await(3).Reset();
    HttpClientRig r;
    r.Cli.OnDocData = [&](TObject*, const void*, int) {
        if (r.Cli.RcvdCount() == 1000 || r.Cli.RcvdCount() == 8) srv.Signal();
    };
    r.Cli.OnHeaderData = [&](TObject*) {
        if (r.Cli.CurrentLine() == "HTTP/1.0 200 Second") srv.Signal();
    };
    r.Cli.SetURL(srv.Url("/"));
    const std::string reset = "404 " + WinsockErrorText(10054) + " (Error #10054)";
    int done = -1;
    r.Cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t e) { done = e; };
    EXPECT_EQ(HttpRun(r.Cli), reset);
    EXPECT_EQ(r.Cli.RcvdCount(), 1000);
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return done >= 0; }));
    EXPECT_EQ(done, 10054);

    EXPECT_EQ(HttpRun(r.Cli), reset) << "in the middle of the header";

    // A reset after the whole declared body changes nothing.
    r.Body.Clear();
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "complete");
}

TEST(HttpFailure, EndlessHeaderEndsAtTheCapWithBoundedMemory)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n").Endless("X-Filler: " + std::string(90, 'f') + "\r\n");
    srv.Connection().Send("HTTP/1.0 200 OK\r\n").Endless("X-Wide: " + std::string(6000, 'w') + "\r\n");
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/"));
    const std::string capped = "404 HTTP header too large: more than 1000 lines or 262144 bytes";
    EXPECT_EQ(HttpRun(r.Cli), capped);
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), HttpMaxHeaderLines);

    EXPECT_EQ(HttpRun(r.Cli), capped);
    std::size_t bytes = 0;
    for (int i = 0; i < r.Cli.RcvdHeader().Count(); ++i) bytes += r.Cli.RcvdHeader()[i].size();
    EXPECT_LE(bytes, static_cast<std::size_t>(HttpMaxHeaderBytes));
    EXPECT_LT(r.Cli.RcvdHeader().Count(), 50);
    // The client stopped reading: the server could not push more than a few socket buffers.
    ASSERT_TRUE(srv.WaitDone());
    EXPECT_LT(srv.EndlessBytes(), 32u << 20);
}

}  // namespace

namespace {

TEST(HttpFailure, ALengthDeclaredByARelocationDoesNotJudgeTheDocument)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 302 Moved\r\nLocation: /there\r\nContent-Length: 154\r\n\r\n").Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\nshort").Close();
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/here"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "short");
}

TEST(HttpFailure, LinesLeftByARaisingHeaderHandlerAreStillRead)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nX-Boom: 1\r\nContent-Length: 4\r\n\r\nbody").Close();
    HttpClientRig r;
    r.Cli.OnHeaderData = [&](TObject*) {
        if (r.Cli.CurrentLine() == "X-Boom: 1") throw Exception("header handler failed");
    };
    r.Cli.SetURL(srv.Url("/"));
    // The raise is dropped by the socket's read loop; the rest of the response is not.
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.ContentLength(), 4);
    EXPECT_EQ(r.Received(), "body");
}

TEST(HttpFailure, AConnectionRefusedBeforeAnySocketCallSaysWhy)
{
    HttpClientRig r;
    r.Cli.SetURL("http://127.0.0.1:99999/");
    std::string result = HttpRun(r.Cli);
    EXPECT_EQ(result.rfind("404 can't connect: ", 0), 0u) << result;
    EXPECT_EQ(result.find("Error #0"), std::string::npos) << result;
}

}  // namespace

namespace {

// A received document that cannot be stored whole is a failure, whatever the server says.
struct WriteFailureRow {
    const char* Name;
    std::string File;             // where the document goes
    rlim_t SizeLimit;             // the process's file size limit while it runs, 0 for none
    std::string Result;
    int Counted;                  // RcvdCount afterwards: the bytes that were written
};

class HttpWriteFailure : public ::testing::TestWithParam<WriteFailureRow> {};

TEST_P(HttpWriteFailure, EndsTheRequestAsAFailureCountingOnlyWhatWasWritten)
{
    const WriteFailureRow& row = GetParam();
    const std::uint64_t size = 3u << 20;
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n").Pattern(size);
    std::string path = row.File;
    if (path.empty()) path = ::testing::TempDir() + "kapo-write-failure-" + std::to_string(::getpid());
    THttpCli cli;
    HttpWatchdog dog(cli);
    int ends = 0;
    cli.OnDocEnd = [&](TObject*) { ++ends; };
    cli.SetURL(srv.Url("/big.wav"));
    std::string result;
    {
        TFileStream out(path, row.File.empty() ? fmCreate : fmOpenWrite);
        cli.SetRcvdStream(&out);
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
        if (row.SizeLimit) {
            rlimit lim = old;
            lim.rlim_cur = row.SizeLimit;
            ::setrlimit(RLIMIT_FSIZE, &lim);
        }
        result = HttpRun(cli);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, oldSignal);
        cli.SetRcvdStream(nullptr);
    }
    EXPECT_EQ(result, row.Result);
    EXPECT_EQ(cli.StatusCode(), 404);
    EXPECT_EQ(cli.RcvdCount(), row.Counted);
    EXPECT_EQ(ends, 1);
    if (row.File.empty()) {
        TFileStream in(path, fmOpenRead);
        EXPECT_EQ(in.Size(), row.Counted);
        ::unlink(path.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpWriteFailure,
    ::testing::Values(WriteFailureRow{"DiskFull", "/dev/full", 0, "404 Cannot write the document: No space left on device", 0},
                      WriteFailureRow{"FileSizeLimit", "", 1u << 20, "404 Cannot write the document: File too large",
                                      1 << 20}),
    [](const auto& info) { return std::string(info.param.Name); });

// A request that cannot be composed or sent never reaches the server and is a failure.
TEST(HttpFailure, ARequestThatCannotBeComposedIsAFailure)
{
    HttpScriptedServer srv;
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/"));
    r.Cli.OnCommand = [](TObject*, std::string& s) {
        if (s.rfind("Host:", 0) == 0) throw Exception("no host for you");
    };
    EXPECT_EQ(HttpRun(r.Cli), "404 Cannot send the request: no host for you");

    r.Cli.OnCommand = nullptr;
    r.Cli.SetModifiedSince(-1e9);  // no date of the years the line can carry
    EXPECT_EQ(HttpRun(r.Cli), "404 Cannot send the request: Invalid date");
    EXPECT_EQ(r.Cli.StatusCode(), 404);

    // A POST whose body cannot be read ends the same way.
    struct Unreadable : TMemoryStream {
        std::int64_t Read(void*, std::int64_t) override { throw EReadError("Stream read error"); }
    } body;
    body.Write("abc", 3);
    body.SetPosition(0);
    r.Cli.SetModifiedSince(0);
    r.Cli.SetSendStream(&body);
    EXPECT_EQ(HttpRun(r.Cli, rqPost), "404 Cannot send the request: Stream read error");
}

// Lengths past 32 bits are judged like any other; the public getters stop at the 32-bit top.
TEST(HttpFailure, LengthsBeyondThirtyTwoBitsAreStillChecked)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 3000000000\r\n\r\n" + HttpPattern(0, 1000)).Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 4294968296\r\n\r\n" + HttpPattern(0, 1000)).Close();
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "404 Document truncated: 1000 of 3000000000 bytes received");
    EXPECT_EQ(r.Cli.ContentLength(), INT32_MAX);
    EXPECT_EQ(r.Cli.RcvdCount(), 1000);
    // 2^32 + 1000: it must not wrap to the 1000 bytes that came.
    EXPECT_EQ(HttpRun(r.Cli), "404 Document truncated: 1000 of 4294968296 bytes received");
}

}  // namespace
