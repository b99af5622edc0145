// Receives 1 GiB of 80-byte lines (78 characters and CR LF) over loopback through TWSocket in
// line mode (one OnDataAvailable and one Receive per line, driven by the message queue) and
// through a plain blocking recv loop with an 8 KiB buffer that counts the line ends, five
// times each, alternating. Prints the medians of lines per second and of the receiving
// thread's CPU seconds, and their ratios.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/BenchSupport.h"

using namespace kapo;
using namespace bench;

namespace {

constexpr std::int64_t kLineLength = 80;
constexpr std::int64_t kLines = (std::int64_t(1) << 30) / kLineLength;

// Sends the lines to each connection in 64 KiB pieces of whole lines.
struct LineSender : LoopbackServer {
    explicit LineSender(std::int64_t lines)
        : LoopbackServer([lines](int fd) {
              std::string line(kLineLength - 2, 'k');
              line += "\r\n";
              std::string piece;
              const std::int64_t perPiece = 819;  // 65,520 bytes
              for (std::int64_t i = 0; i < perPiece; ++i) piece += line;
              for (std::int64_t sent = 0; sent < lines; sent += perPiece) {
                  auto bytes = static_cast<std::size_t>(std::min(perPiece, lines - sent) * kLineLength);
                  if (!SendAll(fd, piece.data(), bytes)) return;
              }
          })
    {
    }
};

Run ThroughLineMode(std::int64_t lines)
{
    LineSender sender(lines);
    char buf[256];
    return ReceiveThroughSocket(sender.Port(), [&](TWSocket& s, Run& r) {
        s.SetLineMode(true);
        s.OnDataAvailable = [&s, &r, &buf](TObject*, std::uint16_t) {
            if (s.Receive(buf, sizeof buf) > 0) ++r.Count;
        };
    });
}

Run ThroughPlainRecv(std::int64_t lines)
{
    LineSender sender(lines);
    bool cr = false;  // a CR ended the previous read
    return ReceiveThroughRecv(sender.Port(), 8192, [&cr](const char* buf, std::size_t n, Run& r) {
        const char* p = buf;
        const char* end = buf + n;
        if (cr && *p == '\n') ++r.Count;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
            if (p > buf && p[-1] == '\r') ++r.Count;
            ++p;
        }
        cr = end[-1] == '\r';
    });
}

void Print(const char* name, const Run& r)
{
    std::printf("%-24s %11lld lines  %8.3f s  %12.0f lines/s  CPU %6.3f s\n", name, static_cast<long long>(r.Count),
                r.Seconds, r.PerSecond(), r.Cpu);
}

}  // namespace

int main()
{
    ThroughPlainRecv(kLines / 16);
    ThroughLineMode(kLines / 16);
    constexpr int kRounds = 5;
    std::vector<Run> plain, line;
    for (int i = 0; i < kRounds; ++i) {
        plain.push_back(ThroughPlainRecv(kLines));
        line.push_back(ThroughLineMode(kLines));
    }
    Run p = Median(plain), l = Median(line);
    std::printf("medians of %d runs of 1 GiB of %lld-byte lines\n", kRounds, static_cast<long long>(kLineLength));
    Print("plain recv, counting CR LF", p);
    Print("TWSocket line mode", l);
    std::printf("lines per second ratio (line mode / plain): %.3f\n", l.PerSecond() / p.PerSecond());
    std::printf("CPU ratio (line mode / plain): %.3f\n", l.Cpu / p.Cpu);
    const bool complete = p.Count == kLines && l.Count == kLines;
    if (!complete) std::printf("INCOMPLETE: expected %lld lines\n", static_cast<long long>(kLines));
    return complete ? 0 : 1;
}
