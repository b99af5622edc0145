// Reading the response: event order, header fields, how the body arrives and where it goes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "tests/net/HttpScriptedServer.h"

using namespace kapo;
using namespace httptest;

namespace {

using Events = std::vector<std::string>;

std::string CommandLines(const std::string& target, const std::string& port)
{
    return "Command GET " + target + " HTTP/1.0|"
           "Command Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*|"
           "Command User-Agent: Mozilla/3.0 (compatible)|"
           "Command Host: 127.0.0.1:" + port;
}

Events Split(const std::string& joined)
{
    Events out;
    std::size_t from = 0;
    for (;;) {
        std::size_t bar = joined.find('|', from);
        out.push_back(joined.substr(from, bar - from));
        if (bar == std::string::npos) return out;
        from = bar + 1;
    }
}

TEST(HttpResponse, SuccessfulGetRaisesEveryEventInOrder)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nabc").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    // OnRequestDone is posted when the client becomes ready: it may come after Get returned.
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 1; }));
    EXPECT_EQ(log.Events, Split("State hsNotConnected|State hsDnsLookup|State hsDnsLookupDone|"
                                "State hsConnected|SessionConnected|State hsWaitingHeader|RequestHeaderBegin|" +
                                CommandLines("/", srv.PortText()) +
                                "|RequestHeaderEnd|Command |"
                                "HeaderBegin|HeaderData HTTP/1.0 200 OK|HeaderData Content-Type: text/plain|"
                                "State hsWaitingBody|HeaderEnd|DocBegin|DocData abc|DocEnd|State hsReady|"
                                "RequestDone 1 0"));
    EXPECT_EQ(r.Cli.ContentType(), "text/plain");
    EXPECT_EQ(r.Cli.ContentLength(), -1);
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 2);
    EXPECT_FALSE(r.Cli.Connected());
}

TEST(HttpResponse, FourOhFourWithItsBodyInOneReadRaisesTheServersReason)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>missing</p>").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/gone"));
    EXPECT_EQ(HttpRun(r.Cli), "404 Not Found");
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 1; }));
    // The client closes after the status line; the rest of that read is still processed, but
    // the document never ends with OnDocEnd.
    EXPECT_EQ(log.Only({"Header", "Doc", "State hsWaitingBody", "State hsReady", "RequestDone"}),
              Split("HeaderBegin|HeaderData HTTP/1.0 404 Not Found|HeaderData Content-Type: text/html|"
                    "State hsWaitingBody|HeaderEnd|DocBegin|DocData <p>missing</p>|State hsReady|RequestDone 1 0"));
    EXPECT_EQ(r.Cli.StatusCode(), 404);
    EXPECT_EQ(r.Received(), "<p>missing</p>");
}

TEST(HttpResponse, RefusedConnectionEndsAsAFailureWithTheSocketsText)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);  // nothing listens there now

    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/");
    EXPECT_EQ(HttpRun(r.Cli), "404 " + WinsockErrorText(10061) + " (Error #10061)");
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 1; }));
    HttpDrainQueue();
    EXPECT_EQ(log.Events, Split("State hsNotConnected|State hsDnsLookup|State hsDnsLookupDone|State hsReady|"
                                "RequestDone 1 10061"));
    EXPECT_EQ(r.Cli.ReasonPhrase(), "Connection refused (Error #10061)");
}

TEST(HttpResponse, ConnectThatRaisesEndsAsAFailure)
{
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL("http://127.0.0.1:no-such-service/");
    std::string outcome = HttpRun(r.Cli);
    EXPECT_EQ(outcome.rfind("404 can't connect: ", 0), 0u) << outcome;
    EXPECT_EQ(r.Cli.StatusCode(), 404);
    EXPECT_EQ(log.Only({"State"}).back(), "State hsReady");
}

TEST(HttpResponse, AbortDuringTheLookupCancelsItAndReportsCodeThree)
{
    HttpTestResolver names({"kora.test"}, true);
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    HWND stopper = AllocateHWnd([&](TMessage&) { r.Cli.Abort(); });
    log.OnEvent = [&](const std::string& e) {
        if (e == "State hsDnsLookup") PostMessage(stopper, WM_USER, 0, 0);
    };
    r.Cli.SetURL("http://kora.test/x");
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection aborted on request");
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 1; }));
    // The lookup finishing later changes nothing.
    names.Release();
    HttpDrainQueue();
    EXPECT_EQ(log.Events, Split("State hsNotConnected|State hsDnsLookup|State hsAborting|State hsReady|"
                                "RequestDone 1 3"));
    EXPECT_EQ(r.Cli.StatusCode(), 404);
    DeallocateHWnd(stopper);
}

TEST(HttpResponse, AbortFromOnDocDataEndsGetWithAnError)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\npart1").Await(1).Send("part2").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    log.OnEvent = [&](const std::string& e) {
        if (e.rfind("DocData", 0) == 0) r.Cli.Abort();
    };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection aborted on request");
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 1; }));
    EXPECT_EQ(log.Only({"Doc", "State", "RequestDone"}).back(), "RequestDone 1 3");
    EXPECT_EQ(r.Received(), "part1");
    EXPECT_EQ(r.Cli.State(), hsReady);
    // Abort on an idle client with its socket closed does nothing at all.
    std::size_t before = log.Events.size();
    r.Cli.Abort();
    HttpDrainQueue();
    EXPECT_EQ(log.Events.size(), before);
}

TEST(HttpResponse, LinesLeftAfterAbortGoToOnDataAvailable)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nA: 1\r\nB: 2\r\n\r\nbody").Close();
    HttpClientRig r;
    std::vector<std::string> lines;
    r.Cli.OnHeaderData = [&](TObject*) {
        if (r.Cli.CurrentLine() == "A: 1") r.Cli.Abort();
    };
    r.Cli.OnDataAvailable = [&](TObject*, std::uint16_t) { lines.push_back(r.Cli.CurrentLine()); };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection aborted on request");
    EXPECT_EQ(lines, (std::vector<std::string>{"B: 2", ""}));
    EXPECT_EQ(r.Received(), "");
}

TEST(HttpResponse, ClientDestroyedByItsOwnHandlerEndsGet)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\nfirst").Await(1).Send("more").Close();
    auto* cli = new THttpCli;
    bool fired = false;
    HttpWatchdog dog([&] { fired = true; }, 30s);
    TMemoryStream body;
    cli->SetRcvdStream(&body);
    cli->OnDocData = [&](TObject*, const void*, int) {
        // This closure goes with the client: nothing of it is touched after the delete.
        THttpCli* victim = cli;
        cli = nullptr;
        delete victim;
    };
    cli->SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(*cli), "404 Connection aborted on request");
    EXPECT_EQ(cli, nullptr);
    EXPECT_EQ(body.DataString(), "first");
    srv.Signal();
    HttpDrainQueue();
    EXPECT_FALSE(fired);
}

double ThreadCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(HttpResponse, WaitingForASlowServerSleepsInsteadOfSpinning)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\n").Pause(300ms).Send("late").Pause(300ms).Close();
    HttpClientRig r;
    r.Cli.SetURL(srv.Url("/"));
    double before = ThreadCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    double cpu = ThreadCpuSeconds() - before;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_LT(cpu, 0.15) << "the wait used the processor";
    EXPECT_EQ(r.Received(), "late");
}

TEST(HttpResponse, BodyInSingleByteReadsIsDeliveredPieceByPiece)
{
    const std::string body = "single";
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n").Await(1);
    for (std::size_t i = 0; i < body.size(); ++i) srv.Send(body.substr(i, 1)).Await(static_cast<int>(i) + 2);
    srv.Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    log.OnEvent = [&](const std::string& e) {
        if (e == "HeaderEnd" || e.rfind("DocData", 0) == 0) srv.Signal();
    };
    std::vector<int> counts;
    r.Cli.OnDocData = [&, prev = r.Cli.OnDocData](TObject* s, const void* b, int n) {
        counts.push_back(r.Cli.RcvdCount());
        // The piece is already counted and already in the stream.
        EXPECT_EQ(r.Body.Size(), r.Cli.RcvdCount());
        prev(s, b, n);
    };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(log.Only({"Doc"}), Split("DocBegin|DocData s|DocData i|DocData n|DocData g|DocData l|DocData e|DocEnd"));
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(r.Received(), body);
}

TEST(HttpResponse, HundredMebibyteBodyReachesAFileByteForByte)
{
    constexpr std::uint64_t kSize = 100u << 20;
    char dirTemplate[] = "/tmp/kapo-http-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string path = std::string(dirTemplate) + "/big.bin";
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n").Pattern(kSize).Close();
    {
        THttpCli cli;
        HttpWatchdog dog(cli, 120s);
        TFileStream file(path, fmCreate);
        cli.SetRcvdStream(&file);
        int pieces = 0;
        int biggest = 0;
        cli.OnDocData = [&](TObject*, const void*, int n) {
            ++pieces;
            biggest = std::max(biggest, n);
        };
        cli.SetURL(srv.Url("/big.bin"));
        EXPECT_EQ(HttpRun(cli), "ok");
        EXPECT_EQ(cli.RcvdCount(), static_cast<int>(kSize));
        // Body pieces are as large as one read could take, never larger than its buffer.
        EXPECT_LE(biggest, 256 * 1024);
        EXPECT_GT(biggest, 8192);
        EXPECT_GE(pieces, static_cast<int>(kSize / (256 * 1024)));
    }
    TFileStream in(path, fmOpenRead);
    ASSERT_EQ(in.Size(), static_cast<std::int64_t>(kSize));
    std::string chunk(1 << 20, '\0');
    for (std::uint64_t at = 0; at < kSize; at += chunk.size()) {
        in.ReadBuffer(chunk.data(), static_cast<std::int64_t>(chunk.size()));
        if (chunk != HttpPattern(at, chunk.size())) {
            ADD_FAILURE() << "file differs in the MiB at " << at;
            break;
        }
    }
    ::unlink(path.c_str());
    ::rmdir(dirTemplate);
}

TEST(HttpResponse, HeaderFieldsAreReadAsTheClientKnowsThem)
{
    HttpScriptedServer srv;
    srv.Connection()
        .Send("HTTP/1.1 200 OK\n"
              "content-LENGTH:    4\n"
              "CONTENT-TYPE: Text/HTML\n"
              "Content-Range: bytes 100-103/1000\n"
              "Accept-Ranges: bytes\n"
              "WWW-Authenticate: Basic realm=\"kora\"\n"
              "Set-Cookie: id=7; path=/\n"
              "Location:\n"
              "X-Other: ignored\n"
              "\n"
              "body")
        .Close();
    srv.Connection().Send("http/1.1 500 Lower Case\r\n\r\nrest").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/dl/setup.exe"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(r.Cli.ReasonPhrase(), "OK");
    EXPECT_EQ(r.Cli.ContentLength(), 4);
    EXPECT_EQ(r.Cli.ContentType(), "text/html");
    EXPECT_EQ(r.Cli.ContentRangeBegin(), "100");
    EXPECT_EQ(r.Cli.ContentRangeEnd(), "103");
    EXPECT_EQ(r.Cli.AcceptRanges(), "bytes");
    ASSERT_EQ(r.Cli.WWWAuthenticate().Count(), 1);
    EXPECT_EQ(r.Cli.WWWAuthenticate()[0], "Basic realm=\"kora\"");
    EXPECT_EQ(log.Only({"Cookie", "LocationChange"}), Events{"Cookie id=7; path=/"});
    EXPECT_EQ(r.Cli.Cookie(), "");
    EXPECT_EQ(r.Cli.DocName(), "setup.htm");  // an .exe that is really a page
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 9);
    EXPECT_EQ(r.Received(), "body");

    // The range goes out once; a status prefix in lower case is no status line.
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_NE(srv.Request(1).find("\r\nRange: bytes=100-103\r\n"), std::string::npos);
    EXPECT_EQ(r.Cli.StatusCode(), 0);
    EXPECT_EQ(r.Cli.ReasonPhrase(), "OK");  // not cleared by a new request
    EXPECT_EQ(r.Cli.AcceptRanges(), "");
    EXPECT_EQ(r.Cli.WWWAuthenticate().Count(), 1);
    EXPECT_EQ(r.Received(), "bodyrest");
}

TEST(HttpResponse, DocumentWithoutHeaderIsAllBody)
{
    HttpScriptedServer srv;
    srv.Connection().Send("<Html><body>\r\nline2\nline3").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.ContentType(), "text/html");
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 0);
    EXPECT_EQ(log.Only({"Header", "Doc"}),
              Split("HeaderBegin|HeaderEnd|DocBegin|DocData <Html><body>\r\n|DocData line2\nline3|DocEnd"));
    EXPECT_EQ(r.Received(), "<Html><body>\r\nline2\nline3");
}

TEST(HttpResponse, HeaderLinesUpToTheBufferFitAndLongerOnesFail)
{
    // 8,190 bytes and CR LF fill the 8,192 usable bytes exactly.
    const std::string fits = "X-Long: " + std::string(8190 - 8, 'a');
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n" + fits + "\r\n\r\nbody").Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nX-Long: " + std::string(8192, 'b') + "\r\n\r\nbody").Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    ASSERT_EQ(r.Cli.RcvdHeader().Count(), 2);
    EXPECT_EQ(r.Cli.RcvdHeader()[1], fits);
    EXPECT_EQ(r.Received(), "body");

    // A line that cannot fit would stall the connection: the request ends as a failure.
    log.Events.clear();
    EXPECT_EQ(HttpRun(r.Cli), "404 HTTP line too long");
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 1);
    EXPECT_TRUE(log.Only({"HeaderEnd", "Doc"}).empty());
    EXPECT_EQ(r.Received(), "body");
}

TEST(HttpResponse, ServerClosingEarlyEndsTheRequestWithWhatWasRead)
{
    HttpScriptedServer srv;
    srv.Connection().Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nX-Cut").Close();
    srv.Connection().Send("HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\nX-Cut").Close();
    srv.Connection().Send(HttpOk("after")).Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 0);
    EXPECT_TRUE(log.Only({"Header", "Doc"}).empty());

    log.Events.clear();
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(log.Only({"Header", "Doc"}),
              Split("HeaderBegin|HeaderData HTTP/1.0 200 OK|HeaderData Content-Type: text/plain"));
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 2);

    // What an ended response left behind (a partial line, a pending location) is not carried
    // into the next request.
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 302);
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(r.Received(), "after");
    EXPECT_EQ(srv.Accepted(), 4);
}

TEST(HttpResponse, ExceptionsOfDocumentHandlersLoseNoBytes)
{
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n\r\none").Await(1).Send("two").Await(2).Send("three").Close();
    HttpClientRig r;
    int ends = 0;
    r.Cli.OnDocData = [&](TObject*, const void*, int) {
        srv.Signal();
        throw ERangeError("Value must be between 1 and 2147483647");
    };
    r.Cli.OnDocEnd = [&](TObject*) {
        ++ends;
        throw Exception("document end handler failed");
    };
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Received(), "onetwothree");
    EXPECT_EQ(r.Cli.RcvdCount(), 11);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(r.Cli.State(), hsReady);
}

TEST(HttpResponse, StaleReadyNoticeOfAnAbortedRequestDoesNotEndTheNext)
{
    HttpScriptedServer slow, fast;
    slow.Connection().Send("HTTP/1.0 200 OK\r\n\r\nfirst").Await(1).Close();
    fast.Connection().Send(HttpOk("second")).Close();
    HttpClientRig r;
    r.Cli.SetURL(slow.Url("/"));
    r.Cli.StartRequest(rqGet);
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return r.Cli.RcvdCount() == 5; }));
    // As the window does before each fetch: abort, then start the next request at once.
    r.Cli.Abort();
    slow.Signal();
    r.Body.Clear();
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(fast.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return log.DoneCount() == 2; }));
    EXPECT_EQ(r.Received(), "second");
    EXPECT_EQ(log.Only({"State", "RequestDone"}),
              Split("State hsNotConnected|State hsDnsLookup|State hsDnsLookupDone|RequestDone 1 3|"
                    "State hsConnected|State hsWaitingHeader|State hsWaitingBody|State hsReady|RequestDone 1 0"));
}

TEST(HttpResponse, GetInsideAHandlerAndInAWorkerThreadWithItsOwnQueue)
{
    HttpScriptedServer srv;
    srv.Connection().Send(HttpOk("nested")).Close();
    srv.Connection().Send(HttpOk("worker")).Close();
    {
        // A request started from a message handler, while an outer loop pumps.
        HttpClientRig r;
        r.Cli.SetURL(srv.Url("/"));
        std::string outcome;
        HWND t = AllocateHWnd([&](TMessage&) { outcome = HttpRun(r.Cli); });
        PostMessage(t, WM_USER, 0, 0);
        ASSERT_TRUE(HttpPumpUntil(r.Dog, [&] { return !outcome.empty(); }));
        EXPECT_EQ(outcome, "ok");
        EXPECT_EQ(r.Received(), "nested");
        DeallocateHWnd(t);
    }
    std::string outcome, body;
    std::thread worker([&] {
        HttpClientRig r;
        r.Cli.SetMultiThreaded(true);
        r.Cli.SetURL(srv.Url("/"));
        outcome = HttpRun(r.Cli);
        body = r.Received();
    });
    worker.join();
    EXPECT_EQ(outcome, "ok");
    EXPECT_EQ(body, "worker");
}

}  // namespace

namespace {

// Interim responses come before the real one; only the real one's header and body count.
struct InterimRow {
    const char* Name;
    std::string Response;
    std::string Later = {};  // sent after a pause, in a read of its own
};

class HttpInterimResponse : public ::testing::TestWithParam<InterimRow> {};

TEST_P(HttpInterimResponse, IsSkippedAndTheNextStatusLineIsRead)
{
    HttpScriptedServer srv;
    srv.Connection().Send(GetParam().Response).Pause(std::chrono::milliseconds(50)).Send(GetParam().Later).Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    EXPECT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(r.Cli.ReasonPhrase(), "Fine");
    EXPECT_EQ(r.Received(), "body");
    EXPECT_EQ(log.Only({"HeaderBegin", "HeaderEnd", "DocBegin"}), Split("HeaderBegin|HeaderEnd|DocBegin"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpInterimResponse,
    ::testing::Values(
        InterimRow{"Continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 Fine\r\nContent-Length: 4\r\n\r\nbody"},
        InterimRow{"TwoInterims", "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 100 Continue\r\nX-A: 1\r\n\r\n"
                                  "HTTP/1.1 200 Fine\r\n\r\nbody"},
        InterimRow{"LineFeedsOnly", "HTTP/1.1 100 Continue\n\nHTTP/1.1 200 Fine\nContent-Length: 4\n\nbody"},
        InterimRow{"InSeparateReads", "HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 Fine\r\n\r\nbody"}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
