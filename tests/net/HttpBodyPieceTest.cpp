// The body path: once the header has ended, body bytes are read straight into a large buffer
// and go to the stream and to OnDocData as one piece per read.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/net/HttpScriptedServer.h"

using namespace kapo;
using namespace httptest;

namespace {

// A memory stream that counts its writes.
class TCountingStream : public TMemoryStream {
public:
    std::int64_t Write(const void* Buffer, std::int64_t Count) override
    {
        ++Writes;
        return TMemoryStream::Write(Buffer, Count);
    }
    int Writes = 0;
};

struct BodyRig {
    THttpCli Cli;
    TCountingStream Body;
    HttpWatchdog Dog{Cli};
    std::vector<std::string> Pieces;
    BodyRig()
    {
        Cli.SetRcvdStream(&Body);
        Watch();
    }
    // Records the pieces, before whatever handler OnDocData has now (an event log's).
    void Watch()
    {
        Cli.OnDocData = [this, prev = Cli.OnDocData](TObject* s, const void* b, int n) {
            Pieces.emplace_back(static_cast<const char*>(b), static_cast<std::size_t>(n));
            // Each piece is already counted and already in the stream when it is handed on.
            EXPECT_EQ(Body.Size(), Cli.RcvdCount());
            if (prev) prev(s, b, n);
        };
    }
    std::string Joined() const
    {
        std::string all;
        for (const auto& p : Pieces) all += p;
        return all;
    }
};

struct SplitCase {
    const char* Name;
    bool Declared;  // the header declares the body's length
};

class HttpBodySplit : public ::testing::TestWithParam<SplitCase> {};

// The response is sent in two parts, the first ending at each position from inside the status
// line to past the header's end; the second part goes only once the client has taken the
// first. Whatever the cut, the header is read the same and the body arrives whole.
TEST_P(HttpBodySplit, EveryCutAroundTheHeadersEndGivesTheSameDocument)
{
    const std::string body = HttpPattern(0, 700);
    const std::string header = std::string("HTTP/1.0 200 OK\r\nContent-Type: audio/wav\r\n") +
                               (GetParam().Declared ? "Content-Length: 700\r\n" : "") + "\r\n";
    const std::string response = header + body;
    for (std::size_t cut = 1; cut <= header.size() + 40; ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        const std::string first = response.substr(0, cut);
        HttpScriptedServer srv;
        srv.Connection().Send(first).Await(1).Send(response.substr(cut)).Close();
        // What the client shows once it has taken the first part.
        const auto lines = static_cast<int>(std::count(first.begin(), first.end(), '\n'));
        const bool headerDone = cut >= header.size();
        const std::size_t bodyInFirst = headerDone ? cut - header.size() : 0;
        BodyRig r;
        HttpEventLog log(r.Cli);
        r.Cli.OnDocData = [&](TObject*, const void*, int) { log.Add("DocData"); };
        r.Watch();
        int headerLines = 0;
        bool signalled = false;
        log.OnEvent = [&](const std::string& e) {
            if (e.rfind("HeaderData", 0) == 0) ++headerLines;
            if (signalled) return;
            bool taken = headerDone ? (e == "HeaderEnd" && bodyInFirst == 0) ||
                                          (e == "DocData" && static_cast<std::size_t>(r.Cli.RcvdCount()) >= bodyInFirst)
                                    : (lines == 0 ? e == "RequestHeaderEnd" : headerLines >= lines);
            if (taken) {
                signalled = true;
                srv.Signal();
            }
        };
        r.Cli.SetURL(srv.Url("/a.wav"));
        ASSERT_EQ(HttpRun(r.Cli), "ok");
        EXPECT_EQ(r.Cli.StatusCode(), 200);
        EXPECT_EQ(r.Cli.ContentType(), "audio/wav");
        EXPECT_EQ(r.Cli.RcvdHeader().Count(), GetParam().Declared ? 3 : 2);
        EXPECT_TRUE(r.Body.DataString() == body);
        EXPECT_TRUE(r.Joined() == body);
        EXPECT_EQ(r.Cli.RcvdCount(), 700);
        EXPECT_EQ(r.Body.Writes, static_cast<int>(r.Pieces.size()));
        EXPECT_EQ(log.Only({"DocBegin", "DocEnd"}), (std::vector<std::string>{"DocBegin", "DocEnd"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, HttpBodySplit,
                         ::testing::Values(SplitCase{"Declared", true}, SplitCase{"EndedByClose", false}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Header and body in one read: the bytes after the header's end are one piece, what follows
// comes in pieces larger than a header line may be, one write each, and bytes past the
// declared length reach neither the stream nor OnDocData.
TEST(HttpBodyPiece, HeaderAndBodyInOneReadThenLargePieces)
{
    constexpr std::size_t kFirst = 48 * 1024;
    constexpr std::size_t kSize = 1u << 20;
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n";
    const std::string body = HttpPattern(0, kSize);
    HttpScriptedServer srv;
    srv.Connection()
        .Send(header + body.substr(0, kFirst))
        .Await(1)
        .Send(body.substr(kFirst))
        .Send("bytes past the declared length")
        .Close();
    BodyRig r;
    r.Cli.OnDocData = [&, prev = r.Cli.OnDocData](TObject* s, const void* b, int n) {
        prev(s, b, n);
        if (static_cast<std::size_t>(r.Cli.RcvdCount()) == kFirst) srv.Signal();
    };
    r.Cli.SetURL(srv.Url("/big.wav"));
    ASSERT_EQ(HttpRun(r.Cli), "ok");
    ASSERT_GE(r.Pieces.size(), 3u);
    // The header's read takes what the line buffer holds; the rest of the first send follows
    // in one piece.
    EXPECT_EQ(r.Pieces[0].size(), 8192 - header.size());
    EXPECT_EQ(r.Pieces[1].size(), kFirst - r.Pieces[0].size());
    std::size_t biggest = 0;
    for (const auto& p : r.Pieces) biggest = std::max(biggest, p.size());
    EXPECT_LE(biggest, 256u * 1024);
    EXPECT_EQ(r.Body.Writes, static_cast<int>(r.Pieces.size()));
    EXPECT_EQ(r.Cli.RcvdCount(), static_cast<int>(kSize));
    EXPECT_TRUE(r.Body.DataString() == body);
    EXPECT_TRUE(r.Joined() == body);
}

// A relocation's body, in the header's read and in the reads after it, belongs to no
// document: only the relocated document reaches the stream and OnDocData.
TEST(HttpBodyPiece, RelocationsBodyIsDiscarded)
{
    const std::string junk(20000, 'j');
    const std::string body = HttpPattern(0, 30000);
    HttpScriptedServer srv;
    srv.Connection()
        .Send("HTTP/1.0 302 Found\r\nLocation: " + srv.Url("/real.wav") +
              "\r\nContent-Length: 20000\r\n\r\n" + junk)
        .Close();
    srv.Connection().Send(HttpOk(body)).Close();
    BodyRig r;
    HttpEventLog log(r.Cli);
    r.Cli.OnDocData = [&](TObject*, const void*, int) { log.Add("DocData"); };
    r.Watch();
    r.Cli.SetURL(srv.Url("/moved.wav"));
    ASSERT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.StatusCode(), 200);
    EXPECT_EQ(srv.Accepted(), 2);
    EXPECT_TRUE(r.Body.DataString() == body);
    EXPECT_TRUE(r.Joined() == body);
    EXPECT_EQ(r.Cli.RcvdCount(), 30000);
    EXPECT_EQ(log.Only({"DocBegin", "DocEnd"}), (std::vector<std::string>{"DocBegin", "DocEnd"}));
}

// A handler that pumps messages while a piece is out (as a window repainting its gauge does)
// has further reads made under it; they must neither overwrite the piece in hand nor reorder
// the document.
TEST(HttpBodyPiece, HandlerThatPumpsMessagesKeepsTheDocumentInOrder)
{
    constexpr std::size_t kSize = 4u << 20;
    HttpScriptedServer srv;
    srv.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n").Pattern(kSize).Close();
    BodyRig r;
    r.Cli.OnDocData = [&, prev = r.Cli.OnDocData](TObject* s, const void* b, int n) {
        const std::string before(static_cast<const char*>(b), static_cast<std::size_t>(n));
        prev(s, b, n);
        kapo::ProcessMessages();
        EXPECT_TRUE(std::string(static_cast<const char*>(b), static_cast<std::size_t>(n)) == before)
            << "the piece changed while it was out";
    };
    r.Cli.SetURL(srv.Url("/big.wav"));
    ASSERT_EQ(HttpRun(r.Cli), "ok");
    EXPECT_EQ(r.Cli.RcvdCount(), static_cast<int>(kSize));
    EXPECT_TRUE(r.Body.DataString() == HttpPattern(0, kSize));
}

}  // namespace
