// Line mode: lines cut at any terminator however the bytes arrive, lines taken in pieces,
// switching the mode inside a handler, lines nobody takes, the last line at close, editing and
// echo, and the wait for a flag.
#include <gtest/gtest.h>

#include <time.h>

#include <future>
#include <semaphore>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;
using namespace testsupport;

namespace {

// Shows how many bytes the line layer holds, so a test can let the peer go on only once an
// arrival has been taken in.
class LineProbe : public TWSocket {
public:
    std::size_t HeldBytes() const { return Held(); }
};

// Sends the chunks one by one; before each chunk after the first it waits for the test to open
// the next gate. Then reads the echo it expects and closes.
class GatedPeer {
public:
    GatedPeer(std::vector<std::string> chunks, std::size_t echoBytes)
        : FPeer([this, chunks = std::move(chunks), echoBytes](int fd) {
              for (std::size_t i = 0; i < chunks.size(); ++i) {
                  if (i > 0 && !FGate.try_acquire_for(std::chrono::milliseconds(kDeadlineMs))) break;
                  SendAll(fd, chunks[i]);
              }
              Echo = RecvExactly(fd, echoBytes);
              ::close(fd);
          })
    {
    }
    ~GatedPeer() { Open(); }
    void Open() { FGate.release(); }
    std::uint16_t Port() const { return FPeer.Port(); }
    void Join() { FPeer.Join(); }
    std::string Echo;

private:
    std::counting_semaphore<64> FGate{0};
    ScriptedPeer FPeer;
};

void ConnectTo(TWSocket& s, std::uint16_t port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
}

// Pumps until the socket is closed, opening the peer's next gate each time the held bytes
// reach the count given for it.
bool RunGated(LineProbe& s, GatedPeer& peer, const std::vector<std::size_t>& heldAfter, const bool& closed)
{
    std::size_t gate = 0;
    return PumpUntil([&] {
        if (gate < heldAfter.size() && s.HeldBytes() == heldAfter[gate]) {
            ++gate;
            peer.Open();
        }
        return closed;
    });
}

struct DeliveryRow {
    const char* Name;
    std::vector<std::string> Chunks;
    std::vector<std::size_t> HeldAfter;  // held bytes after each chunk but the last
    std::string LineEnd;
    int ReceiveSize;
    std::vector<std::string> Expected;  // each Receive's result, then "closed"
    std::vector<int> Counts;            // RcvdCount before each Receive; empty: not checked
};

class LineDelivery : public ::testing::TestWithParam<DeliveryRow> {
protected:
    Watchdog FWatchdog;
};

}  // namespace

TEST_P(LineDelivery, HandsOutWholeLinesHoweverTheBytesArrive)
{
    const DeliveryRow& row = GetParam();
    GatedPeer peer(row.Chunks, 0);
    LineProbe s;
    s.SetLineMode(true);
    s.SetLineEnd(row.LineEnd);
    std::vector<std::string> got;
    std::vector<int> counts;
    bool closed = false;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        counts.push_back(s.RcvdCount());
        std::string buf(static_cast<std::size_t>(row.ReceiveSize), '\0');
        int n = s.Receive(buf.data(), row.ReceiveSize);
        if (n > 0) got.push_back(buf.substr(0, static_cast<std::size_t>(n)));
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) {
        got.push_back("closed");
        closed = true;
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunGated(s, peer, row.HeldAfter, closed));
    EXPECT_EQ(got, row.Expected);
    if (!row.Counts.empty()) {
        EXPECT_EQ(counts, row.Counts);
    }
    if (!row.LineEnd.empty()) {
        EXPECT_EQ(s.RcvdCount(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineDelivery,
    ::testing::Values(
        DeliveryRow{"TwoLinesInOnePacket", {"ab\r\ncd\r\n"}, {}, "\r\n", 4096, {"ab\r\n", "cd\r\n", "closed"}, {4, 4}},
        DeliveryRow{"CrAndLfInTwoPackets", {"ab\r", "\ncd\r\n"}, {3}, "\r\n", 4096, {"ab\r\n", "cd\r\n", "closed"}, {}},
        DeliveryRow{"LongTerminatorSplit", {"one<EN", "D>two<END>"}, {6}, "<END>", 4096,
                    {"one<END>", "two<END>", "closed"}, {}},
        DeliveryRow{"LineFeedAlone", {"a\nb\r\n"}, {}, "\n", 4096, {"a\n", "b\r\n", "closed"}, {}},
        DeliveryRow{"SmallReceiveBuffer", {"abcdefgh\r\nz\r\n"}, {}, "\r\n", 3,
                    {"abc", "def", "gh\r", "\n", "z\r\n", "closed"}, {10, 7, 4, 1, 3}},
        DeliveryRow{"LastLineAtClose", {"ab\r\ntail"}, {}, "\r\n", 4096, {"ab\r\n", "tail", "closed"}, {4, 4}},
        DeliveryRow{"EmptyLineEndPassesThrough", {"ab\r\ncd"}, {}, "", 4096, {"ab\r\ncd", "closed"}, {}}),
    [](const ::testing::TestParamInfo<DeliveryRow>& i) { return std::string(i.param.Name); });

TEST(LineMode, TenMegabyteLineGrowsTheBuffer)
{
    Watchdog watchdog;
    std::string line(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>('a' + PatternByte(i) % 26);
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, line + "\r\nnext\r\n");
        ::close(fd);
    });
    TWSocket s;
    s.SetLineMode(true);
    std::vector<std::string> got;
    bool closed = false;
    bool tooLong = false;
    s.OnLineTooLong = [&](TObject*) { tooLong = true; };
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { got.push_back(s.ReceiveText()); };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0] == line + "\r\n") << "first line of " << got[0].size() << " bytes differs";
    EXPECT_EQ(got[1], "next\r\n");
    EXPECT_FALSE(tooLong);
}

TEST(LineMode, SwitchingOffInsideTheHandlerHandsOnTheRestInOrder)
{
    Watchdog watchdog;
    GatedPeer peer({"first\r\nsecond\r\nthi", "rd\r\nmore"}, 0);
    LineProbe s;
    s.SetLineMode(true);
    std::vector<std::string> lines;
    std::string raw;
    bool closed = false;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (s.LineMode()) {
            lines.push_back(s.ReceiveText());
            s.SetLineMode(false);
            return;
        }
        char buf[5];  // small, so the held bytes come out in several pieces
        int n = s.Receive(buf, sizeof buf);
        if (n > 0) raw.append(buf, static_cast<std::size_t>(n));
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    ConnectTo(s, peer.Port());
    // The second chunk goes once the held bytes have been handed out.
    bool opened = false;
    ASSERT_TRUE(PumpUntil([&] {
        if (!opened && raw == "second\r\nthi") {
            opened = true;
            peer.Open();
        }
        return closed;
    }));
    EXPECT_EQ(lines, std::vector<std::string>{"first\r\n"});
    EXPECT_EQ(raw, "second\r\nthird\r\nmore");
}

TEST(LineMode, LinesWithoutAHandlerAreDropped)
{
    Watchdog watchdog;
    GatedPeer peer({"a\r\nb\r\nc", "d\r\n"}, 0);
    LineProbe s;
    s.SetLineMode(true);
    std::vector<std::string> got;
    bool closed = false;
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.HeldBytes() == 1; }));
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { got.push_back(s.ReceiveText()); };
    peer.Open();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_EQ(got, std::vector<std::string>{"cd\r\n"});
}

TEST(LineMode, HandlerThatLeavesTheLineIsAskedAgainWithTheNextBytes)
{
    Watchdog watchdog;
    GatedPeer peer({"a\r\n", "b\r\n"}, 0);
    LineProbe s;
    s.SetLineMode(true);
    int calls = 0;
    std::vector<std::string> got;
    bool closed = false;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (++calls == 1) return;  // not now
        got.push_back(s.ReceiveText());
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(s.RcvdCount(), 3);
    peer.Open();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_EQ(got, (std::vector<std::string>{"a\r\n", "b\r\n"}));
    EXPECT_EQ(calls, 3);
}

namespace {

struct EditRow {
    const char* Name;
    std::vector<std::string> Chunks;
    std::vector<std::size_t> HeldAfter;
    bool Echo;
    std::string Line;      // what the handler gets
    std::string EchoSeen;  // what the peer gets back
};

class LineEditing : public ::testing::TestWithParam<EditRow> {
protected:
    Watchdog FWatchdog;
};

}  // namespace

TEST_P(LineEditing, BackspaceAndTabAreAppliedAndEchoed)
{
    const EditRow& row = GetParam();
    GatedPeer peer(row.Chunks, row.EchoSeen.size());
    LineProbe s;
    s.SetLineMode(true);
    s.SetLineEdit(true);
    s.SetLineEcho(row.Echo);
    std::vector<std::string> got;
    bool closed = false;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { got.push_back(s.ReceiveText()); };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunGated(s, peer, row.HeldAfter, closed));
    peer.Join();
    EXPECT_EQ(got, std::vector<std::string>{row.Line});
    EXPECT_EQ(peer.Echo, row.EchoSeen);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineEditing,
    ::testing::Values(EditRow{"Backspace", {"ab\bc\r\n"}, {}, false, "ac\r\n", ""},
                      EditRow{"TabAfterThree", {"abc\tx\r\n"}, {}, false, "abc     x\r\n", ""},
                      EditRow{"BackspaceIntoEarlierPacket", {"abc", "\b\bd\r\n"}, {3}, false, "ad\r\n", ""},
                      EditRow{"BackspaceAtStartErasesNothing", {"\bab\r\n"}, {}, false, "ab\r\n", ""},
                      EditRow{"EchoOfEdits", {"ab\bc\t\r\n"}, {}, true, "ac      \r\n", "ab\b \bc      \r\n"},
                      EditRow{"EchoWithoutEdits", {"hi\r\n"}, {}, true, "hi\r\n", "hi\r\n"}),
    [](const ::testing::TestParamInfo<EditRow>& i) { return std::string(i.param.Name); });

namespace {

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Waiter {
    LineProbe* Socket;
    char* Flag;
    std::string Line;
};

}  // namespace

TEST(LineMode, RunAndWaitBlocksOnTheQueueUntilTheFlagIsSet)
{
    Watchdog watchdog;
    ScriptedPeer peer([](int fd) {
        std::string ask = RecvExactly(fd, 6);
        // The answer comes late, so that a spinning wait would show in the CPU time.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        SendAll(fd, ask == "ping\r\n" ? "pong\r\n" : "what\r\n");
        RecvToEnd(fd);
        ::close(fd);
    });
    LineProbe s;
    s.SetLineMode(true);
    char flag = 0;
    Waiter w{&s, &flag, {}};
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        w.Line = s.ReceiveText();
        flag = 1;
    };
    bool connected = false;
    s.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    const double before = ThreadCpuMs();
    int rc = s.RunAndWait(
        &flag, [](void* d) { static_cast<Waiter*>(d)->Socket->SendText("ping\r\n"); }, &w);
    const double spent = ThreadCpuMs() - before;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(w.Line, "pong\r\n");
    EXPECT_LT(spent, 150.0) << "the wait used the processor instead of blocking";
    s.Close();
}

TEST(LineMode, WaitForFlagEndsWhenTheLoopIsToldToQuit)
{
    Watchdog watchdog;
    LineProbe s;
    s.SetMultiThreaded(true);  // its own queue's pump, which records WM_QUIT
    char flag = 0;
    PostQuitMessage(0);
    EXPECT_EQ(s.WaitForFlag(&flag), TCustomSyncWSocket::WaitAbandoned);
    MessageQueue::Current().ResetQuit();
}
