// The window's download path against httpget's: a loopback server sends 1 GiB, fetched by the
// real window (FetchFile, offscreen, gauge and lamp updated per piece) and by the httpget
// program, both into /dev/shm, alternating, three runs each. Prints the median CPU seconds per
// GiB of each, their ratio, and how often the gauge painted while a document came in.
// Run from a Release build:  build/rel/bench/app_FetchFile [MIB]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEvent>
#include <QObject>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"
#include "bench/BenchSupport.h"
#include "ui/Forms.h"
#include "widgets/Gauges.h"

extern char** environ;

using namespace kapo;

namespace {

// Answers every request on 127.0.0.1 with the same document of Size bytes, one connection at
// a time, until destroyed.
struct BulkServer : bench::LoopbackServer {
    explicit BulkServer(std::int64_t Size)
        : LoopbackServer([Size, chunk = Pattern()](int c) {
              bench::ReadHead(c);
              std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Size) + "\r\n\r\n";
              bool ok = bench::SendAll(c, reply.data(), reply.size());
              for (std::int64_t left = Size; ok && left > 0;) {
                  auto piece = static_cast<std::size_t>(std::min<std::int64_t>(left, std::int64_t(chunk.size())));
                  ok = bench::SendAll(c, chunk.data(), piece);
                  left -= static_cast<std::int64_t>(piece);
              }
          })
    {
    }
    static std::vector<char> Pattern()
    {
        std::vector<char> chunk(1 << 20);
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + (i >> 9));
        return chunk;
    }
};

// Counts the paint events of one widget while a document is being received.
class PaintCounter : public QObject {
public:
    int Paints = 0;
    bool InDocument = false;
    bool eventFilter(QObject* Watched, QEvent* E) override
    {
        if (E->type() == QEvent::Paint && InDocument) ++Paints;
        return QObject::eventFilter(Watched, E);
    }
};

struct Run {
    double Wall = 0, Cpu = 0;
};

// httpget as its own process: its CPU is its whole rusage.
Run FetchWithTool(const std::string& Tool, const std::string& Url, const std::string& File)
{
    std::vector<std::string> args = {Tool, "--timeout", "0", Url, File};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    double t0 = bench::NowSeconds();
    if (posix_spawn(&pid, Tool.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", Tool.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    Run r;
    r.Wall = bench::NowSeconds() - t0;
    r.Cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "httpget failed\n");
        std::exit(1);
    }
    return r;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::int64_t mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1024;
    const std::int64_t size = mib << 20;
    auto* app = new TApplication;
    app->Initialize(argc, argv);
    char dir[] = "/dev/shm/kapo-fetch-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    const std::string folder = std::string(dir) + "/";

    BulkServer server(size);
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    SetProgramFolderForTesting(dir);
    auto form = std::make_unique<TForm1>(nullptr);
    form->DoCreate();
    form->Widget()->show();
    PaintCounter paints;
    form->G1->Widget()->installEventFilter(&paints);
    // The window's own handlers run first; the counter only notes where the document begins
    // and ends (the gauge is reset to 0 at both ends).
    form->HttpCli1->OnDocBegin = [&paints, prev = form->HttpCli1->OnDocBegin](TObject* S) {
        prev(S);
        paints.InDocument = true;
    };
    form->HttpCli1->OnDocEnd = [&paints, prev = form->HttpCli1->OnDocEnd](TObject* S) {
        paints.InDocument = false;
        prev(S);
    };

    constexpr int kRounds = 3;
    std::vector<double> windowCpu, toolCpu, windowWall, toolWall;
    int mostPaints = 0;
    for (int round = 0; round < kRounds; ++round) {
        paints.Paints = 0;
        double t0 = bench::NowSeconds(), c0 = bench::ThreadCpuSeconds();
        std::string result = form->FetchFile(folder, base, "grande.wav", "", "");
        windowCpu.push_back(bench::ThreadCpuSeconds() - c0);
        windowWall.push_back(bench::NowSeconds() - t0);
        // Paints still queued belong to this document.
        app->ProcessMessages();
        mostPaints = std::max(mostPaints, paints.Paints);
        if (result != "Ok!" || form->HttpCli1->RcvdCount() != static_cast<int>(std::min<std::int64_t>(size, 0x7FFFFFFF))) {
            std::fprintf(stderr, "the window's fetch failed: %s\n", result.c_str());
            return 1;
        }
        ::unlink((folder + "grande.wav").c_str());

        Run tool = FetchWithTool(KAPO_HTTPGET, base + "grande.wav", folder + "grande.wav");
        toolCpu.push_back(tool.Cpu);
        toolWall.push_back(tool.Wall);
        ::unlink((folder + "grande.wav").c_str());
    }
    form->OnDestroy = nullptr;
    form.reset();
    SetProgramFolderForTesting("");
    ::rmdir(dir);

    const double gib = static_cast<double>(size) / (1 << 30);
    const double w = Median(windowCpu) / gib, t = Median(toolCpu) / gib;
    std::printf("%lld MiB from a loopback server into /dev/shm, medians of %d alternating runs\n",
                static_cast<long long>(mib), kRounds);
    std::printf("%-10s %10s %14s\n", "", "wall s", "CPU s per GiB");
    std::printf("%-10s %10.3f %14.3f\n", "window", Median(windowWall), w);
    std::printf("%-10s %10.3f %14.3f\n", "httpget", Median(toolWall), t);
    std::printf("window / httpget CPU: %.2f (<= 1.2: %s); gauge paints per document: at most %d (<= 101: %s)\n",
                w / t, w <= 1.2 * t ? "yes" : "NO", mostPaints, mostPaints <= 101 ? "yes" : "NO");
    delete app;
    return w <= 1.2 * t && mostPaints <= 101 ? 0 : 2;
}
