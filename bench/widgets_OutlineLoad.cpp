// Loading large catalogue indexes into the category tree: time, peak memory and heap bytes
// per item for 10,000, 100,000 and 1,000,000 lines, and the time to read every line back.
// Then the window's whole path over loopback HTTP: the catalogue button with a 1,000,000-line
// index, and a click on a category whose list has 100,000 rows (fetch, load, repaint).
// Run from a Release build; prints one row per size and whether the targets are met.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"
#include "bench/BenchSupport.h"
#include "ui/Forms.h"
#include "widgets/Outline.h"

using namespace kapo;

namespace {

const char* const kNames[] = {"Animais", "Aves", "Ambientes", "Chuva", "Cidade", "Efeitos", "Explosões",
                              "Fazenda", "Gatos", "Instrumentos", "Máquinas", "Mar", "Pessoas", "Portas",
                              "Risadas", "Telefones", "Trânsito", "Veículos", "Vento", "Vozes"};

// Depth of each line: a well-formed walk that never goes more than one level deeper.
std::vector<unsigned char> Depths(std::size_t n)
{
    std::mt19937 rng(1234567);
    std::vector<unsigned char> d(n);
    int depth = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int r = static_cast<int>(rng() % 100);
        if (i == 0)
            depth = 0;
        else if (r < 30 && depth < 7)
            ++depth;
        else if (r < 55)
            depth = static_cast<int>(rng() % static_cast<unsigned>(depth + 1));
        d[i] = static_cast<unsigned char>(depth);
    }
    return d;
}

std::string Text(std::size_t i)
{
    const char* name = kNames[i % (sizeof kNames / sizeof *kNames)];
    return std::string(name) + " " + std::to_string(i) + ":" + std::to_string(i) + ".txt";
}

std::string Line(std::size_t i, const std::vector<unsigned char>& depths)
{
    return std::string(depths[i], '\t') + Text(i);
}

long StatusKb(const char* field)
{
    std::ifstream f("/proc/self/status");
    std::string key;
    long value = -1;
    while (f >> key) {
        if (key == field) {
            f >> value;
            return value;
        }
        f.ignore(4096, '\n');
    }
    return value;
}

// The peak resident size starts again from the current one.
void ResetPeak()
{
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
}

std::size_t HeapInUse()
{
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Row {
    std::size_t lines;
    double load, readBack;
    long peakKb, startKb;
    double bytesPerItem;
};

Row LoadOnce(std::size_t n, const std::string& path, const std::vector<unsigned char>& depths)
{
    auto tree = std::make_unique<TOutline>(nullptr);
    tree->SetBounds(110, 158, 146, 180);
    tree->SetOutlineStyle(osPictureText);
    tree->SetStyle(otOwnerDraw);
    tree->SetItemHeight(15);
    tree->SetScrollBars(ssVertical);
    tree->SetBorderStyle(bsNone);

    malloc_trim(0);
    std::size_t heapBefore = HeapInUse();
    ResetPeak();
    long startKb = StatusKb("VmRSS:");
    auto t0 = std::chrono::steady_clock::now();
    tree->Lines().LoadFromFile(path);
    double load = Seconds(t0);
    long peakKb = StatusKb("VmHWM:");
    std::size_t heapAfter = HeapInUse();

    if (static_cast<std::size_t>(tree->ItemCount()) != n) {
        std::fprintf(stderr, "loaded %d items of %zu\n", tree->ItemCount(), n);
        std::exit(1);
    }
    t0 = std::chrono::steady_clock::now();
    TStrings& lines = tree->Lines();
    std::size_t mismatches = 0, bytes = 0;
    for (int i = 0, count = lines.Count(); i < count; ++i) {
        std::string l = lines[i];
        bytes += l.size();
        mismatches += l.size() != depths[static_cast<std::size_t>(i)] + Text(static_cast<std::size_t>(i)).size();
    }
    double readBack = Seconds(t0);
    for (std::size_t i = 0; i < n; i += n / 97 + 1) mismatches += lines[static_cast<int>(i)] != Line(i, depths);
    if (mismatches) {
        std::fprintf(stderr, "%zu lines read back wrong\n", mismatches);
        std::exit(1);
    }
    return Row{n, load, readBack, peakKb, startKb, double(heapAfter - heapBefore) / double(n)};
}

// Best of three loads (the machine is shared); memory from the first.
Row Run(std::size_t n, const std::string& dir)
{
    auto depths = Depths(n);
    std::string path = dir + "/indice-" + std::to_string(n) + ".txt";
    {
        std::ofstream f(path, std::ios::binary);
        for (std::size_t i = 0; i < n; ++i) f << Line(i, depths) << "\r\n";
    }
    Row best = LoadOnce(n, path, depths);
    for (int i = 0; i < 2; ++i) {
        Row r = LoadOnce(n, path, depths);
        best.load = std::min(best.load, r.load);
        best.readBack = std::min(best.readBack, r.readBack);
    }
    ::unlink(path.c_str());
    return best;
}

// Serves the index for any address naming "indice.txt" and the list for any other, one
// connection at a time, until destroyed.
struct CatalogueServer : bench::LoopbackServer {
    CatalogueServer(std::string index, std::string list)
        : LoopbackServer([index = std::move(index), list = std::move(list)](int c) {
              const std::string& body = bench::ReadHead(c).find("indice.txt") != std::string::npos ? index : list;
              std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
              bench::SendAll(c, reply.data(), reply.size());
          })
    {
    }
};

struct WindowTimes {
    double catalogue = 1e9, list = 1e9;
};

// The catalogue button and a click on the first category of the real window, best of three.
WindowTimes TimeWindow(const std::string& dir)
{
    std::string index, list;
    for (std::size_t i = 0; i < 1000000; ++i) index += "Categoria " + std::to_string(i) + ":lista.txt\r\n";
    for (std::size_t i = 0; i < 100000; ++i) list += "som" + std::to_string(i) + ".wav :descrição do som\r\n";
    CatalogueServer server(index, list);
    SetProgramFolderForTesting(dir);
    auto form = std::make_unique<TForm1>(nullptr);
    form->DoCreate();
    form->Serv->SetText("127.0.0.1:" + std::to_string(server.Port()) + "/");
    form->Widget()->show();
    WindowTimes best;
    for (int round = 0; round < 3; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        form->SonsMouseDown(form->Sons, mbLeft, 0, 2, 2);
        best.catalogue = std::min(best.catalogue, Seconds(t0));
        if (form->Lista->Lines().Count() != 1000000) std::exit(1);
        form->Lista->SetSelectedItem(1);
        t0 = std::chrono::steady_clock::now();
        form->ListaClick(form->Lista);
        best.list = std::min(best.list, Seconds(t0));
        if (form->Nomes->Items().Count() != 100000) std::exit(1);
    }
    form->OnDestroy = nullptr;
    form.reset();
    SetProgramFolderForTesting("");
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    auto* app = new TApplication;
    app->Initialize(argc, argv);
    char dir[] = "/tmp/outline-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;

    std::printf("%10s %10s %12s %12s %14s %12s\n", "lines", "load s", "read back s", "peak MiB", "peak+ MiB", "bytes/item");
    std::vector<Row> rows;
    for (std::size_t n : {10000u, 100000u, 1000000u}) {
        Row r = Run(n, dir);
        rows.push_back(r);
        std::printf("%10zu %10.3f %12.3f %12.1f %14.1f %12.1f\n", r.lines, r.load, r.readBack, r.peakKb / 1024.0,
                    (r.peakKb - r.startKb) / 1024.0, r.bytesPerItem);
    }
    WindowTimes w = TimeWindow(dir);
    ::rmdir(dir);
    const Row& m = rows[2];
    const Row& k = rows[1];
    bool fast = m.load < 2.0;
    bool linear = m.load <= 12 * k.load;
    bool readLinear = m.readBack <= 12 * k.readBack;
    bool small = m.bytesPerItem < 200;
    std::printf("1M load %.3f s (< 2 s: %s); 1M/100k load %.1fx (<= 12: %s); read back %.1fx (<= 12: %s); "
                "%.1f bytes/item (< 200: %s)\n",
                m.load, fast ? "yes" : "NO", m.load / k.load, linear ? "yes" : "NO", m.readBack / k.readBack,
                readLinear ? "yes" : "NO", m.bytesPerItem, small ? "yes" : "NO");
    bool listFast = w.list < 0.5;
    std::printf("window: catalogue button, 1,000,000-line index %.3f s; category click to 100,000 rows %.3f s "
                "(< 0.5 s: %s)\n",
                w.catalogue, w.list, listFast ? "yes" : "NO");
    delete app;
    return fast && linear && readLinear && small && listFast ? 0 : 2;
}
