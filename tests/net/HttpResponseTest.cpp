// Reading the response: event order, header fields, how the body arrives and where it goes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include <zlib.h>

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

    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL("http://127.0.0.1:" + std::to_string(FreePort()) + "/");
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

    // The range goes out once; a status prefix in lower case is no status line, so no HTTP
    // response, and nothing of it is stored.
    EXPECT_EQ(HttpRun(r.Cli), "404 No HTTP response: the reply does not start with a status line");
    EXPECT_NE(srv.Request(1).find("\r\nRange: bytes=100-103\r\n"), std::string::npos);
    EXPECT_EQ(r.Cli.AcceptRanges(), "");
    EXPECT_EQ(r.Cli.WWWAuthenticate().Count(), 1);
    EXPECT_EQ(r.Received(), "body");
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

TEST(HttpResponse, HeaderLinesUpToTheLimitFitAndLongerOnesFail)
{
    // A line of the limit's length fits; a longer one does not.
    const std::string fits = "Set-Cookie: " + std::string(HttpMaxLineBytes - 12, 'a');
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\n" + fits + "\r\n\r\nbody").Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nX-Long: " + std::string(HttpMaxLineBytes, 'b') + "\r\n\r\nbody").Close();
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

TEST(HttpResponse, ServerClosingBeforeTheEndOfTheHeaderIsAFailure)
{
    HttpScriptedServer srv;
    srv.Connection().Close();
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nX-Cut").Close();
    srv.Connection().Send("HTTP/1.0 302 Found\r\nLocation: /elsewhere\r\nX-Cut").Close();
    srv.Connection().Send(HttpOk("after")).Close();
    HttpClientRig r;
    HttpEventLog log(r.Cli);
    r.Cli.SetURL(srv.Url("/"));
    // No reply, or half a header, is never a document.
    EXPECT_EQ(HttpRun(r.Cli), "404 No HTTP response: the connection closed before a status line");
    EXPECT_TRUE(log.Only({"Header", "Doc"}).empty());

    log.Events.clear();
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection closed before the end of the HTTP header");
    EXPECT_EQ(log.Only({"Header", "Doc"}),
              Split("HeaderBegin|HeaderData HTTP/1.0 200 OK|HeaderData Content-Type: text/plain"));
    EXPECT_EQ(r.Cli.RcvdHeader().Count(), 2);

    // What an ended response left behind (a partial line, a pending location) is not carried
    // into the next request.
    EXPECT_EQ(HttpRun(r.Cli), "404 Connection closed before the end of the HTTP header");
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

// ---- what real servers send: status lines, framing and codings --------------------------------

namespace {

// Text compressed with zlib: gzip (31), zlib-wrapped deflate (15) or raw deflate (-15).
std::string Compressed(const std::string& text, int bits)
{
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

const std::string kText = "Um cão late, um gato mia. " + std::string(3000, 'a') + " fim";

}  // namespace

TEST(ParseStatusLine, ReadsVersionBlanksCodeAndReason)
{
    struct Row {
        const char* Line;
        bool Ok;
        int Status;
        const char* Reason;
    } rows[] = {
        {"HTTP/1.1 200 OK", true, 200, "OK"},          {"HTTP/1.1  404 Not Found", true, 404, "Not Found"},
        {"HTTP/1.0 404", true, 404, ""},               {"HTTP/1.0\t302\tFound", true, 302, "Found"},
        {"HTTP/1.2 200 OK", false, 0, ""},             {"HTTP/1.9 200 OK", false, 0, ""},
        {"HTTP/1.1 200 ", true, 200, ""},              {"HTTP/1.1 2000 OK", false, 0, ""},
        {"HTTP/1.1 20 OK", false, 0, ""},              {"HTTP/1.1 200OK", false, 0, ""},
        {"http/1.1 200 OK", false, 0, ""},             {"HTTP/2 200", false, 0, ""},
        {"HTTP/1.x 200", false, 0, ""},                {"HTTP/1.1200 OK", false, 0, ""},
        {"ICY 200 OK", false, 0, ""},                  {"", false, 0, ""},
    };
    for (const Row& row : rows) {
        int status = -1;
        std::string reason = "unchanged";
        EXPECT_EQ(ParseStatusLine(row.Line, status, reason), row.Ok) << row.Line;
        EXPECT_EQ(status, row.Ok ? row.Status : -1) << row.Line;
        EXPECT_EQ(reason, row.Ok ? row.Reason : "unchanged") << row.Line;
    }
}

// Each framing whole and in single bytes: the decoder keeps its place between pieces.
TEST(THttpChunkDecoder, TakesChunksApartInPiecesOfAnySize)
{
    struct Row {
        std::string Wire;
        THttpChunkDecoder::TResult Result;
        std::string Data;
    } rows[] = {
        {"5\r\nhello\r\n0\r\n\r\n", THttpChunkDecoder::cdDone, "hello"},
        {"5;name=v\r\nhello\r\n6 \r\n world\r\n0\r\nTrailer: x\r\n\r\nafter", THttpChunkDecoder::cdDone, "hello world"},
        {"3\nabc\n0\n\n", THttpChunkDecoder::cdDone, "abc"},
        {"A\r\n0123456789\r\n", THttpChunkDecoder::cdMore, "0123456789"},
        {"5\r\nhel", THttpChunkDecoder::cdMore, "hel"},
        {"zz\r\n", THttpChunkDecoder::cdError, ""},
        {"5\r\nhelloX\r\n", THttpChunkDecoder::cdError, "hello"},
        {"10000000000000000\r\n", THttpChunkDecoder::cdError, ""},
        {"-1\r\n", THttpChunkDecoder::cdError, ""},
        {std::string("3\r\nabc\r\n0\r\nX: a\0b\r\n\r\n", 21), THttpChunkDecoder::cdError, "abc"},
        {"3\r\nabc\r\n0\r\nno colon here\r\n\r\n", THttpChunkDecoder::cdError, "abc"},
        {"3\r\nabc\r\n0\r\nX: a\rb\r\n\r\n", THttpChunkDecoder::cdError, "abc"},
    };
    for (const Row& row : rows) {
        THttpChunkDecoder whole, bytes;
        std::string a, b;
        EXPECT_EQ(whole.Feed(row.Wire.data(), row.Wire.size(), a), row.Result) << row.Wire;
        THttpChunkDecoder::TResult last = THttpChunkDecoder::cdMore;
        for (char c : row.Wire)
            if ((last = bytes.Feed(&c, 1, b)) != THttpChunkDecoder::cdMore) break;
        EXPECT_EQ(last, row.Result) << row.Wire;
        EXPECT_EQ(a, row.Data) << row.Wire;
        EXPECT_EQ(b, row.Data) << row.Wire;
    }
}

TEST(THttpInflater, UndoesGzipAndBothKindsOfDeflateAndRefusesDamage)
{
    struct Row {
        bool Gzip;
        std::string Coded;
        bool Ok, Done;
    } rows[] = {
        {true, Compressed(kText, 31), true, true},
        {true, Compressed(kText, 31) + Compressed(kText, 31), true, true},  // two members
        {false, Compressed(kText, 15), true, true},
        {false, Compressed(kText, -15), true, true},
        {true, Compressed(kText, 31).substr(0, 40), true, false},          // cut short
        {true, "not compressed at all", false, false},
    };
    for (const Row& row : rows) {
        THttpInflater inflater(row.Gzip);
        std::string out, piece;
        bool ok = true;
        // In pieces of 7 bytes, taken out 100 bytes at a time.
        for (std::size_t i = 0; ok && i < row.Coded.size(); i += 7) {
            inflater.Add(row.Coded.data() + i, std::min<std::size_t>(7, row.Coded.size() - i));
            while ((ok = inflater.Next(piece, 100)) && !piece.empty()) out += piece;
        }
        EXPECT_EQ(ok, row.Ok);
        EXPECT_EQ(inflater.Done(), row.Done);
        if (row.Done) {
            EXPECT_EQ(out, row.Coded.size() > Compressed(kText, 31).size() + 8 ? kText + kText : kText);
        }
    }
}

// Each row is one reply from the server, sent whole and then one byte per send; the request's
// outcome and the stored document must agree: a failure is never "ok" with a wrong file.
struct ReplyRow {
    const char* Name;
    std::string Reply;
    std::string Outcome;
    std::string Stored;
    int Status = 0;  // checked when not 0
};

void PrintTo(const ReplyRow& r, std::ostream* os) { *os << r.Name; }

class HttpReplies : public ::testing::TestWithParam<ReplyRow> {};

TEST_P(HttpReplies, EndAsTheirStatusAndFramingSay)
{
    const ReplyRow& row = GetParam();
    for (bool bytes : {false, true}) {
        SCOPED_TRACE(bytes ? "byte by byte" : "whole");
        HttpScriptedServer srv;
        srv.Connection();
        if (!bytes) srv.Send(row.Reply);
        else
            for (char c : row.Reply) srv.Send(std::string(1, c));
        srv.Close();
        HttpClientRig r;
        r.Cli.SetURL(srv.Url("/som.wav"));
        EXPECT_EQ(HttpRun(r.Cli), row.Outcome);
        EXPECT_EQ(r.Received(), row.Stored);
        if (row.Status != 0) {
            EXPECT_EQ(r.Cli.StatusCode(), row.Status);
        }
    }
}

// The same rows read by the response object alone, without a socket: the lines cut as the
// client cuts them, the body fed in one piece or byte by byte, and the end of the bytes taken
// as the server's close.
std::string ReadAlone(const std::string& Reply, bool Bytes, std::string& Stored, int& Status)
{
    THttpResponse rsp;
    rsp.Start(false);
    rsp.AwaitStatus();
    auto outcome = [&](const std::string& Why) {
        Status = Why.empty() ? rsp.Status() : 404;
        return Why.empty() ? std::string("ok") : "404 " + Why;
    };
    std::size_t at = 0;
    THttpResponse::TLine kind = THttpResponse::lnField;
    for (std::size_t lf; kind == THttpResponse::lnField && (lf = Reply.find('\n', at)) != std::string::npos;) {
        std::string line = Reply.substr(at, lf - at);
        std::string end = !line.empty() && line.back() == '\r' ? "\r\n" : "\n";
        if (end.size() == 2) line.pop_back();
        at = lf + 1;
        THttpField field;
        if (rsp.Ignorable(line)) continue;
        kind = rsp.AddLine(line, field);
        if (kind == THttpResponse::lnFault) return outcome(rsp.Fault());
        if (kind == THttpResponse::lnHeaderless) at -= end.size() + line.size();
        if (kind == THttpResponse::lnEnd) {
            THttpResponse::TEnd e = rsp.EndHeader();
            if (e == THttpResponse::heFault) return outcome(rsp.Fault());
            kind = e == THttpResponse::heInterim ? THttpResponse::lnField : kind;
            if (e == THttpResponse::heRelocation) {
                std::string why = rsp.RelocationFault(Status);
                return std::to_string(Status) + " " + why;
            }
        }
        if (rsp.Status() >= 400) {
            Status = rsp.Status();
            return std::to_string(Status) + " " + rsp.Reason();
        }
    }
    if (kind == THttpResponse::lnField) return outcome(rsp.EndReason(true));
    auto deliver = [&](const char* d, std::size_t n) { return Stored.append(d, n), true; };
    for (std::size_t step = Bytes ? 1 : Reply.size(); at < Reply.size() && rsp.BodyExpected() && !rsp.Complete();
         at += step)
        if (rsp.FeedBody(Reply.data() + at, std::min(step, Reply.size() - at), deliver) == THttpResponse::fdFault)
            return outcome(rsp.Fault());
    return outcome(rsp.EndReason(false));
}

TEST_P(HttpReplies, ReadAloneByTheResponseObjectEndTheSame)
{
    const ReplyRow& row = GetParam();
    for (bool bytes : {false, true}) {
        SCOPED_TRACE(bytes ? "byte by byte" : "whole");
        std::string stored;
        int status = 0;
        EXPECT_EQ(ReadAlone(row.Reply, bytes, stored, status), row.Outcome);
        EXPECT_EQ(stored, row.Stored);
        if (row.Status != 0) {
            EXPECT_EQ(status, row.Status);
        }
    }
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    StatusLines, HttpReplies,
    ::testing::Values(
        ReplyRow{"TwoBlanks", "HTTP/1.1  404 Not Found\r\n\r\n", "404 Not Found", "", 404},
        ReplyRow{"MinorVersionTwo", "HTTP/1.2 200 OK\r\n\r\nbody", "404 Unsupported HTTP version: HTTP/1.2", ""},
        ReplyRow{"LeadingEmptyLines", "\r\n\n" + kOk + "\r\nbody", "ok", "body", 200},
        ReplyRow{"FourDigitCode", "HTTP/1.1 2000 OK\r\n\r\nbody",
                 "404 No HTTP response: the reply does not start with a status line", ""},
        ReplyRow{"NotHttp", "SSH-2.0-server\r\n\r\n", "404 No HTTP response: the reply does not start with a status line",
                 ""},
        ReplyRow{"EmptyReply", "", "404 No HTTP response: the connection closed before a status line", ""},
        ReplyRow{"NoLineEnd", "\x16\x03\x01 binary", "404 No HTTP response: the connection closed before a status line",
                 ""},
        ReplyRow{"HeaderlessPage", "<HTML>page\n</HTML>", "ok", "<HTML>page\n</HTML>"}),
    [](const auto& info) { return std::string(info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Framing, HttpReplies,
    ::testing::Values(
        ReplyRow{"Chunked", kOk + "Transfer-Encoding: chunked\r\n\r\n" + kChunked, "ok", "hello world"},
        ReplyRow{"ChunkedWinsOverALength", kOk + "Content-Length: 3\r\nTransfer-Encoding: Chunked\r\n\r\n" + kChunked,
                 "ok", "hello world"},
        ReplyRow{"ChunkedCutShort", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
                 "404 Document truncated: the chunked body ended before its last chunk", "hello"},
        ReplyRow{"ChunkedDamaged", kOk + "Transfer-Encoding: chunked\r\n\r\nhello\r\n",
                 "404 Invalid chunked body: invalid chunk size", ""},
        ReplyRow{"OtherTransferCoding", kOk + "Transfer-Encoding: br, chunked\r\n\r\n" + kChunked,
                 "404 Unsupported transfer coding: br, chunked", ""},
        ReplyRow{"TwoLengths", kOk + "Content-Length: 4\r\nContent-Length: 5\r\n\r\nbody!",
                 "404 Conflicting Content-Length values", ""},
        ReplyRow{"LengthRepeated", kOk + "Content-Length: 4, 4\r\n\r\nbody!", "ok", "body"},
        ReplyRow{"LengthNotANumber", kOk + "Content-Length: 4x\r\n\r\nbody", "404 Invalid Content-Length: 4x", ""},
        ReplyRow{"SwitchingUnasked", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\nframes",
                 "404 The server switched protocols unasked (101)", ""},
        ReplyRow{"InterimThenFinal", "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "\r\nbody", "ok", "body", 200},
        ReplyRow{"NoContentWithBytes", "HTTP/1.1 204 No Content\r\n\r\nstray", "ok", "", 204},
        ReplyRow{"NotModifiedWithBytes", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\nstray", "ok", "", 304}),
    [](const auto& info) { return std::string(info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    ContentCodings, HttpReplies,
    ::testing::Values(
        ReplyRow{"Gzip", kOk + "Content-Encoding: gzip\r\n\r\n" + Compressed(kText, 31), "ok", kText},
        ReplyRow{"GzipWithItsLength",
                 kOk + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(Compressed(kText, 31).size()) +
                     "\r\n\r\n" + Compressed(kText, 31),
                 "ok", kText},
        ReplyRow{"DeflateRaw", kOk + "Content-Encoding: deflate\r\n\r\n" + Compressed(kText, -15), "ok", kText},
        ReplyRow{"GzipInChunks", kOk + "Transfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n10\r\n" +
                                     Compressed(kText, 31).substr(0, 16) + "\r\n" +
                                     [] {
                                         std::string rest = Compressed(kText, 31).substr(16);
                                         char size[16];
                                         std::snprintf(size, sizeof size, "%zx", rest.size());
                                         return std::string(size) + "\r\n" + rest + "\r\n0\r\n\r\n";
                                     }(),
                 "ok", kText},
        ReplyRow{"GzipCutShort", kOk + "Content-Encoding: gzip\r\n\r\n" + Compressed(kText, 31).substr(0, 30),
                 "404 Document truncated: the compressed body ended early", ""},
        ReplyRow{"GzipDamaged", kOk + "Content-Encoding: gzip\r\n\r\nplain text, not gzip",
                 "404 Cannot decode the document: incorrect header check", ""},
        ReplyRow{"Unknown", kOk + "Content-Encoding: br\r\n\r\nxyz", "404 Unsupported content coding: br", ""},
        ReplyRow{"IdentityIsNone", kOk + "Content-Encoding: identity\r\n\r\nplain", "ok", "plain"}),
    [](const auto& info) { return std::string(info.param.Name); });

// What other clients and parsers refuse: a line read one way by one and another way by the
// next, a field that is no field, a relocation that names two places.
INSTANTIATE_TEST_SUITE_P(
    Malformed, HttpReplies,
    ::testing::Values(
        ReplyRow{"TwoLocations", "HTTP/1.1 302 Found\r\nLocation: /a\r\nLocation: /b\r\n\r\n",
                 "404 Relocation with two Location fields", ""},
        ReplyRow{"LineWithoutColon", kOk + "Content-Type: text/plain\r\nno colon\r\n\r\nbody",
                 "404 Invalid HTTP header: a line without a colon", ""},
        ReplyRow{"CrInsideALine", kOk + "X-A: a\rb\r\n\r\nbody", "404 Invalid HTTP header: a CR without its LF", ""},
        ReplyRow{"BareCrEndsTheStatusLine", "HTTP/1.1 200 OK\r\r\n\r\nbody",
                 "404 Invalid HTTP header: a CR without its LF", ""},
        ReplyRow{"BareCrAfterTheStatusLine", kOk + "\r\r\nbody", "404 Invalid HTTP header: a CR without its LF", ""},
        ReplyRow{"NulInAField", kOk + std::string("X-A: a\0b\r\n\r\nbody", 15), "404 Invalid HTTP header: a NUL byte",
                 ""},
        ReplyRow{"NameNoToken", kOk + "Fo@o: bar\r\n\r\nbody", "404 Invalid HTTP header: an invalid field name", ""},
        ReplyRow{"BlankBeforeTheColon", kOk + "Content-Length : 4\r\n\r\nbody",
                 "404 Invalid HTTP header: an invalid field name", ""},
        ReplyRow{"FoldedStatusLine", kOk + " folded: x\r\n\r\nbody",
                 "404 Invalid HTTP header: a folded line with no field before it", ""},
        ReplyRow{"NulInATrailer",
                 kOk + "Transfer-Encoding: chunked\r\n\r\n" + std::string("0\r\nX: \0\r\n\r\n", 11),
                 "404 Invalid chunked body: invalid trailer field", ""}),
    [](const auto& info) { return std::string(info.param.Name); });

// Valid answers, if plain ones: no field at all, bare line feeds, folded or repeated fields,
// codings stacked, and a relocation that cannot be followed ending under its own status.
INSTANTIATE_TEST_SUITE_P(
    Valid, HttpReplies,
    ::testing::Values(
        ReplyRow{"StatusLineOnly", "HTTP/1.1 200 OK\r\n\r\n", "ok", "", 200},
        ReplyRow{"StatusLineOnlyBareLineFeeds", "HTTP/1.1 200 OK\n\n", "ok", "", 200},
        ReplyRow{"BareLineFeeds", "HTTP/1.0 200 OK\nContent-Length: 4\n\nbody", "ok", "body", 200},
        ReplyRow{"FoldedField", kOk + "X-A: one\r\n two\r\nContent-Length: 4\r\n\r\nbody", "ok", "body"},
        ReplyRow{"ChunkedInTwoFields",
                 kOk + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunked, "ok",
                 "hello world"},
        ReplyRow{"GzipThenChunkedInTwoFields",
                 kOk + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + [] {
                     std::string z = Compressed("hello world", 31);
                     char size[16];
                     std::snprintf(size, sizeof size, "%zx", z.size());
                     return std::string(size) + "\r\n" + z + "\r\n0\r\n\r\n";
                 }(),
                 "ok", "hello world"},
        ReplyRow{"ChunkedThenDeflate",
                 kOk + "Transfer-Encoding: chunked, deflate\r\nContent-Length: 3\r\n\r\n" + Compressed(kChunked, 15),
                 "ok", "hello world"},
        ReplyRow{"StarThenChunked", kOk + "Transfer-Encoding: *, chunked\r\n\r\n" + kChunked, "ok", "hello world"},
        ReplyRow{"DeflateZlibWrapped", kOk + "Content-Encoding: deflate\r\n\r\n" + Compressed(kText, 15), "ok", kText},
        ReplyRow{"MovedWithoutLocationOrReason", "HTTP/1.1 301\r\n\r\n", "301 Relocation without an address", "", 301},
        ReplyRow{"MovedWithoutLocation", "HTTP/1.1 301 Moved Permanently\r\nContent-Length: 0\r\n\r\n",
                 "301 Moved Permanently (relocation without an address)", "", 301}),
    [](const auto& info) { return std::string(info.param.Name); });
