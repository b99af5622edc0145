// Receives 1 GiB of 80-byte lines (78 characters and CR LF) over loopback through TWSocket in
// line mode (one OnDataAvailable and one Receive per line, driven by the message queue) and
// through a plain blocking recv loop with an 8 KiB buffer that counts the line ends, five
// times each, alternating. Prints the medians of lines per second and of the receiving
// thread's CPU seconds, and their ratios.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageQueue.h"

using namespace kapo;

namespace {

constexpr std::int64_t kLineLength = 80;
constexpr std::int64_t kLines = (std::int64_t(1) << 30) / kLineLength;

double ThreadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Accepts one connection on 127.0.0.1, sends the lines in 64 KiB pieces and closes.
class LineSender {
public:
    explicit LineSender(std::int64_t lines)
    {
        FListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FListen, 1);
        socklen_t len = sizeof a;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this, lines] {
            int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0) return;
            std::string line(kLineLength - 2, 'k');
            line += "\r\n";
            std::string piece;
            for (int i = 0; i < 819; ++i) piece += line;  // 65,520 bytes: whole lines only
            const std::int64_t perPiece = 819;
            for (std::int64_t sent = 0; sent < lines; sent += perPiece) {
                std::size_t bytes = static_cast<std::size_t>(std::min(perPiece, lines - sent) * kLineLength);
                for (std::size_t off = 0; off < bytes;) {
                    ssize_t n = ::send(fd, piece.data() + off, bytes - off, MSG_NOSIGNAL);
                    if (n <= 0) {
                        ::close(fd);
                        return;
                    }
                    off += static_cast<std::size_t>(n);
                }
            }
            ::close(fd);
        });
    }
    ~LineSender()
    {
        FThread.join();
        ::close(FListen);
    }
    std::uint16_t Port() const { return FPort; }

private:
    int FListen = -1;
    std::uint16_t FPort = 0;
    std::thread FThread;
};

struct Result {
    std::int64_t Lines = 0;
    double Seconds = 0, Cpu = 0;
    double LinesPerSecond() const { return static_cast<double>(Lines) / Seconds; }
};

Result ThroughLineMode(std::int64_t lines)
{
    LineSender sender(lines);
    Result r;
    bool closed = false;
    TWSocket s;
    char buf[256];
    s.SetLineMode(true);
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        if (s.Receive(buf, sizeof buf) > 0) ++r.Lines;
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    const double cpu0 = ThreadCpu(), t0 = Now();
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(sender.Port()));
    s.Connect();
    MessageQueue& q = MessageQueue::Current();
    while (!closed) {
        q.ProcessPending();
        if (!closed) q.WaitNext(1000);
    }
    r.Seconds = Now() - t0;
    r.Cpu = ThreadCpu() - cpu0;
    return r;
}

Result ThroughPlainRecv(std::int64_t lines)
{
    LineSender sender(lines);
    Result r;
    const double cpu0 = ThreadCpu(), t0 = Now();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sender.Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        char buf[8192];
        bool cr = false;  // a CR ended the previous read
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            const char* p = buf;
            const char* end = buf + n;
            if (cr && *p == '\n') ++r.Lines;
            while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
                if (p > buf && p[-1] == '\r') ++r.Lines;
                ++p;
            }
            cr = end[-1] == '\r';
        }
    }
    ::close(fd);
    r.Seconds = Now() - t0;
    r.Cpu = ThreadCpu() - cpu0;
    return r;
}

Result Median(std::vector<Result> runs)
{
    Result m;
    m.Lines = runs.front().Lines;
    for (const Result& r : runs) m.Lines = std::min(m.Lines, r.Lines);
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.Seconds < b.Seconds; });
    m.Seconds = runs[runs.size() / 2].Seconds;
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.Cpu < b.Cpu; });
    m.Cpu = runs[runs.size() / 2].Cpu;
    return m;
}

void Print(const char* name, const Result& r)
{
    std::printf("%-24s %11lld lines  %8.3f s  %12.0f lines/s  CPU %6.3f s\n", name, static_cast<long long>(r.Lines),
                r.Seconds, r.LinesPerSecond(), r.Cpu);
}

}  // namespace

int main()
{
    ThroughPlainRecv(kLines / 16);
    ThroughLineMode(kLines / 16);
    constexpr int kRounds = 5;
    std::vector<Result> plain, line;
    for (int i = 0; i < kRounds; ++i) {
        plain.push_back(ThroughPlainRecv(kLines));
        line.push_back(ThroughLineMode(kLines));
    }
    Result p = Median(plain), l = Median(line);
    std::printf("medians of %d runs of 1 GiB of %lld-byte lines\n", kRounds, static_cast<long long>(kLineLength));
    Print("plain recv, counting CR LF", p);
    Print("TWSocket line mode", l);
    std::printf("lines per second ratio (line mode / plain): %.3f\n", l.LinesPerSecond() / p.LinesPerSecond());
    std::printf("CPU ratio (line mode / plain): %.3f\n", l.Cpu / p.Cpu);
    const bool complete = p.Lines == kLines && l.Lines == kLines;
    if (!complete) std::printf("INCOMPLETE: expected %lld lines\n", static_cast<long long>(kLines));
    return complete ? 0 : 1;
}
