// From the double click to the first frames at the sound device: the real window (offscreen)
// previews sounds from the demo service, paced at 1 MB/s as a modest line delivers them, into
// ALSA's file sink, whose first bytes are watched from a thread. Measured: a 30 s stereo
// 16-bit 44.1 kHz sound and a 0.4 s one, each fetched anew, and the 30 s one heard again (from
// memory). Prints the median and the spread of the rounds. Goals: 150 ms and 30 ms.
// Run from a Release build:  build/rel/bench/app_PreviewLatency [ROUNDS]
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "KoraServer.h"
#include "KoraService.h"
#include "app/Unit1.h"
#include "bench/BenchSupport.h"
#include "ui/Forms.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

void WriteSound(const std::string& path, double seconds)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) std::exit(1);
    const auto frames = static_cast<std::size_t>(seconds * 44100);
    std::vector<short> s(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = static_cast<short>(8000 * std::sin(static_cast<double>(i) * 0.0627));
    sf_writef_short(f, s.data(), static_cast<sf_count_t>(frames));
    sf_close(f);
}

// The demo service on a thread of its own, paced.
class Service {
public:
    explicit Service(const std::string& root)
    {
        std::promise<void> ready;
        FThread = std::thread([&, root] {
            kora::TKoraService service(root, {{"ana", "segredo"}});
            kora::TServerOptions options;
            options.Port = "0";
            options.Rate = 1000000;
            kora::TKoraServer server(service, options);
            server.Start();
            FHandle = server.Handle();
            FPort = server.Port();
            ready.set_value();
            MessageQueue::Current().Run();
        });
        ready.get_future().get();
    }
    ~Service()
    {
        PostMessage(FHandle, kora::WM_SERVER_STOP, 0, 0);
        FThread.join();
    }
    std::uint16_t Port() const { return FPort; }

private:
    std::thread FThread;
    HWND FHandle = 0;
    std::uint16_t FPort = 0;
};

// Milliseconds from now until the sink holds its first byte, while preview() runs.
double FirstFrameMs(const std::string& sink, const std::function<void()>& preview)
{
    fs::remove(sink);
    std::atomic<bool> done{false};
    std::atomic<double> at{-1};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread watch([&] {
        struct stat st {};
        for (bool last = false; !last;) {
            last = done;
            if (::stat(sink.c_str(), &st) == 0 && st.st_size > 0) {
                at = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    preview();
    done = true;
    watch.join();
    return at;
}

struct Spread {
    double Median, Min, Max;
};

Spread SpreadOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    char dir[] = "/dev/shm/kapo-preview-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    const std::string base = dir;
    fs::create_directories(base + "/root/club/waves");
    fs::create_directories(base + "/home");
    fs::create_directories(base + "/program");
    WriteSound(base + "/root/club/waves/longo.wav", 30.0);
    WriteSound(base + "/root/club/waves/curto.wav", 0.4);
    // The sound device is a file: its first bytes are the first frames the device took.
    const std::string sink = base + "/sink.raw";
    std::ofstream(base + "/home/.asoundrc")
        << "pcm.!default {\n  type file\n  slave.pcm null\n  file \"" << sink << "\"\n  format raw\n}\n";
    ::setenv("HOME", (base + "/home").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    Service service(base + "/root");
    auto* app = new TApplication;
    app->Initialize(argc, argv);
    SetProgramFolderForTesting(base + "/program");
    auto form = std::make_unique<TForm1>(nullptr);
    form->DoCreate();
    form->Widget()->show();
    form->Serv->SetText("127.0.0.1:" + std::to_string(service.Port()) + "/");
    form->Login->SetText("ana");
    form->Senha->SetText("segredo");
    form->Nomes->Items().Add("longo.wav :30 s");
    form->Nomes->Items().Add("curto.wav :0,4 s");

    auto preview = [&](int row) {
        double ms = FirstFrameMs(sink, [&] {
            form->Nomes->SetItemIndex(row);
            form->NomesDblClick(form->Nomes);
        });
        if (ms < 0) std::fprintf(stderr, "row %d was not heard: \"%s\"\n", row, form->Stk->Caption().c_str());
        return ms;
    };
    std::vector<double> longFirst, shortFirst, again;
    for (int i = 0; i < rounds; ++i) {
        form->SoundCache().Clear();
        longFirst.push_back(preview(0));
        again.push_back(preview(0));
        form->SoundCache().Clear();
        shortFirst.push_back(preview(1));
        app->ProcessMessages();
    }
    form->OnDestroy = nullptr;
    form.reset();
    SetProgramFolderForTesting("");
    delete app;
    fs::remove_all(base);

    bool ok = true;
    std::printf("first frames after the double click, kora-server at 1 MB/s, %d rounds (ms)\n", rounds);
    std::printf("%-22s %8s %8s %8s %6s\n", "", "median", "min", "max", "goal");
    auto row = [&](const char* name, const std::vector<double>& v, double goal) {
        Spread s = SpreadOf(v);
        bool met = s.Min >= 0 && s.Max <= goal;
        ok = ok && met;
        std::printf("%-22s %8.1f %8.1f %8.1f %6.0f %s\n", name, s.Median, s.Min, s.Max, goal, met ? "" : "MISSED");
    };
    row("30 s sound, fetched", longFirst, 150);
    row("0.4 s sound, fetched", shortFirst, 150);
    row("30 s sound, again", again, 30);
    return ok ? 0 : 2;
}
