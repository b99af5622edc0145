// Receives 1 GiB over loopback through TWSocket (OnDataAvailable + Receive into one buffer,
// driven by the message queue) and through a plain blocking recv loop with the same buffer,
// five times each, alternating. The buffer is 256 KiB, the size of the HTTP client's body
// pieces, or the bytes given as the only argument (8192 is the size of its header reads). The
// same kind of sender thread feeds both. Prints the median throughputs, their ratio and the
// receiving thread's median CPU seconds. Where there are two cores or more, receiver and
// sender keep a core each, so that the kernel's share of loopback work is charged the same
// way in both runs.
#include <cstdio>
#include <string>

#include "bench/BenchSupport.h"

using namespace kapo;
using namespace bench;

namespace {

constexpr std::int64_t kTotal = std::int64_t(1) << 30;
int kBufferSize = 256 * 1024;

// Sends the bytes to each connection, from a thread on the second core.
struct Sender : LoopbackServer {
    explicit Sender(std::int64_t total)
        : LoopbackServer(
              [total](int fd) {
                  std::vector<char> chunk(1 << 16, 'k');
                  for (std::int64_t left = total; left > 0;) {
                      const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(left, 1 << 16));
                      if (!SendAll(fd, chunk.data(), piece)) return;
                      left -= static_cast<std::int64_t>(piece);
                  }
              },
              1)
    {
    }
};

Run throughSocket(std::int64_t total)
{
    Sender sender(total);
    std::vector<char> buffer(static_cast<std::size_t>(kBufferSize));
    return ReceiveThroughSocket(sender.Port(), [&](TWSocket& s, Run& r) {
        s.OnDataAvailable = [&s, &r, buf = buffer.data()](TObject*, std::uint16_t) {
            int n = s.Receive(buf, kBufferSize);
            if (n > 0) r.Count += n;
        };
    });
}

Run throughPlainRecv(std::int64_t total)
{
    Sender sender(total);
    return ReceiveThroughRecv(sender.Port(), static_cast<std::size_t>(kBufferSize),
                              [](const char*, std::size_t n, Run& r) { r.Count += static_cast<std::int64_t>(n); });
}

void print(const char* name, const Run& r)
{
    std::printf("%-22s %10lld bytes  %8.3f s  %9.1f MiB/s  CPU %6.3f s\n", name, static_cast<long long>(r.Count),
                r.Seconds, r.PerSecond() / (1 << 20), r.Cpu);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1) kBufferSize = std::max(1, std::atoi(argv[1]));
    PinTo(0);
    // A short warm-up of both paths, not reported.
    throughPlainRecv(64 << 20);
    throughSocket(64 << 20);

    constexpr int kRounds = 5;
    std::vector<Run> plainRuns, sockRuns;
    for (int i = 0; i < kRounds; ++i) {
        plainRuns.push_back(throughPlainRecv(kTotal));
        sockRuns.push_back(throughSocket(kTotal));
    }
    Run plain = Median(plainRuns);
    Run sock = Median(sockRuns);
    std::printf("medians of %d runs of 1 GiB each, %d-byte reads\n", kRounds, kBufferSize);
    print("plain blocking recv", plain);
    print("TWSocket", sock);
    const bool complete = plain.Count == kTotal && sock.Count == kTotal;
    std::printf("throughput ratio (TWSocket / plain): %.3f\n", sock.PerSecond() / plain.PerSecond());
    std::printf("CPU ratio (TWSocket / plain): %.3f\n", sock.Cpu / plain.Cpu);
    if (!complete) std::printf("INCOMPLETE: not every byte arrived\n");
    return complete ? 0 : 1;
}
