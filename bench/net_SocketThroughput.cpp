// Receives 1 GiB over loopback through TWSocket (OnDataAvailable + Receive into one buffer,
// driven by the message queue) and through a plain blocking recv loop with the same buffer,
// five times each, alternating. The buffer is 256 KiB, the size of the HTTP client's body
// pieces, or the bytes given as the only argument (8192 is the size of its header reads). The same kind of sender thread feeds both. Prints the
// median throughputs, their ratio and the receiving thread's median CPU seconds. Where there
// are two cores or more, receiver and sender keep a core each, so that the kernel's share of
// loopback work is charged the same way in both runs.
#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageQueue.h"

using namespace kapo;

namespace {

constexpr std::int64_t kTotal = std::int64_t(1) << 30;
int kBufferSize = 256 * 1024;

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Keeps the calling thread on one core when the machine has more than one.
void pinTo(int core)
{
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

double nowSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Listens on 127.0.0.1; the thread accepts one connection, sends the bytes and closes.
class Sender {
public:
    explicit Sender(std::int64_t total)
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
        FThread = std::thread([this, total] {
            pinTo(1);
            int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0) return;
            std::vector<char> chunk(1 << 16, 'k');
            std::int64_t left = total;
            while (left > 0) {
                const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(left, 1 << 16));
                ssize_t n = ::send(fd, chunk.data(), piece, MSG_NOSIGNAL);
                if (n <= 0) break;
                left -= n;
            }
            ::close(fd);
        });
    }
    ~Sender()
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
    std::int64_t Bytes = 0;
    double Seconds = 0;
    double Cpu = 0;
    double MiBps() const { return static_cast<double>(Bytes) / (1 << 20) / Seconds; }
};

Result throughSocket(std::int64_t total)
{
    Sender sender(total);
    Result r;
    bool closed = false;
    {
        TWSocket s;
        std::vector<char> buffer(static_cast<std::size_t>(kBufferSize));
        char* buf = buffer.data();
        s.OnDataAvailable = [&](TObject*, std::uint16_t) {
            int n = s.Receive(buf, kBufferSize);
            if (n > 0) r.Bytes += n;
        };
        s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
        const double cpu0 = threadCpuSeconds(), t0 = nowSeconds();
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(sender.Port()));
        s.Connect();
        MessageQueue& q = MessageQueue::Current();
        while (!closed) {
            q.ProcessPending();
            if (!closed) q.WaitNext(1000);
        }
        r.Seconds = nowSeconds() - t0;
        r.Cpu = threadCpuSeconds() - cpu0;
    }
    return r;
}

Result throughPlainRecv(std::int64_t total)
{
    Sender sender(total);
    Result r;
    const double cpu0 = threadCpuSeconds(), t0 = nowSeconds();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sender.Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::vector<char> buf(static_cast<std::size_t>(kBufferSize));
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            r.Bytes += n;
        }
    }
    ::close(fd);
    r.Seconds = nowSeconds() - t0;
    r.Cpu = threadCpuSeconds() - cpu0;
    return r;
}

void print(const char* name, const Result& r)
{
    std::printf("%-22s %10lld bytes  %8.3f s  %9.1f MiB/s  CPU %6.3f s\n", name, static_cast<long long>(r.Bytes),
                r.Seconds, r.MiBps(), r.Cpu);
}

Result median(std::vector<Result> runs)
{
    auto mid = [&](auto key) {
        std::sort(runs.begin(), runs.end(), [&](const Result& a, const Result& b) { return key(a) < key(b); });
        return runs[runs.size() / 2];
    };
    Result m;
    m.Bytes = runs.front().Bytes;
    for (const Result& r : runs) m.Bytes = std::min(m.Bytes, r.Bytes);  // any short run shows
    m.Seconds = mid([](const Result& r) { return r.Seconds; }).Seconds;
    m.Cpu = mid([](const Result& r) { return r.Cpu; }).Cpu;
    return m;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1) kBufferSize = std::max(1, std::atoi(argv[1]));
    pinTo(0);
    // A short warm-up of both paths, not reported.
    throughPlainRecv(64 << 20);
    throughSocket(64 << 20);

    constexpr int kRounds = 5;
    std::vector<Result> plainRuns, sockRuns;
    for (int i = 0; i < kRounds; ++i) {
        plainRuns.push_back(throughPlainRecv(kTotal));
        sockRuns.push_back(throughSocket(kTotal));
    }
    Result plain = median(plainRuns);
    Result sock = median(sockRuns);
    std::printf("medians of %d runs of 1 GiB each, %d-byte reads\n", kRounds, kBufferSize);
    print("plain blocking recv", plain);
    print("TWSocket", sock);
    const bool complete = plain.Bytes == kTotal && sock.Bytes == kTotal;
    std::printf("throughput ratio (TWSocket / plain): %.3f\n", sock.MiBps() / plain.MiBps());
    std::printf("CPU ratio (TWSocket / plain): %.3f\n", sock.Cpu / plain.Cpu);
    if (!complete) std::printf("INCOMPLETE: not every byte arrived\n");
    return complete ? 0 : 1;
}
