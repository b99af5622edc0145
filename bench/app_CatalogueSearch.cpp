// The search over the whole catalogue in the real window: a catalogue of 100,000 sounds in 500
// lists served on loopback, every list fetched by the search, then the time from each key typed
// into the find field to the sound list repainted with the results (and the index's own share).
// Run from a Release build; prints the times per key and whether the 30 ms target is met.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/CatalogueSearch.h"
#include "app/Unit1.h"
#include "bench/BenchSupport.h"
#include "platform/MessageQueue.h"
#include "ui/Forms.h"

using namespace kapo;

namespace {

constexpr int Lists = 500;
constexpr int RowsPerList = 200;

const char* const kWords[] = {"chuva", "forte", "fraca", "trovão", "vento", "porta", "rangendo", "batendo", "cão",
                              "latindo", "gato", "miando", "pássaro", "cantando", "água", "correndo", "mar",
                              "ondas", "carro", "buzina", "motor", "passos", "madeira", "vidro", "quebrando",
                              "sino", "igreja", "relógio", "telefone", "tocando", "criança", "rindo", "multidão",
                              "aplausos", "fogo", "crepitando", "explosão", "distante", "perto", "açúcar",
                              "panela", "pressão", "cozinha", "talheres", "máquina", "fábrica", "trem", "apito"};

std::string List(int n)
{
    std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 1);
    std::string text;
    for (int r = 0; r < RowsPerList; ++r) {
        text += "som" + std::to_string(n) + "_" + std::to_string(r) + ".wav :";
        const int words = 3 + static_cast<int>(rng() % 4);
        for (int w = 0; w < words; ++w) {
            if (w) text += ' ';
            text += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
        }
        text += "\r\n";
    }
    return text;
}

std::string Index()
{
    std::string text;
    for (int h = 0; h < Lists / 50; ++h) {
        text += "Grupo " + std::to_string(h) + "\r\n";
        for (int c = 0; c < 50; ++c) {
            const int n = h * 50 + c;
            text += "\tCategoria " + std::to_string(n) + ":lista" + std::to_string(n) + ".txt\r\n";
        }
    }
    return text;
}

// The index for "indice.txt", list N for "listaN.txt", one connection at a time.
struct CatalogueServer : bench::LoopbackServer {
    CatalogueServer()
        : LoopbackServer([index = Index()](int c) {
              const std::string head = bench::ReadHead(c);
              std::string body;
              const std::size_t at = head.find("/waves/lista");
              if (head.find("indice.txt") != std::string::npos) body = index;
              else if (at != std::string::npos) body = List(std::atoi(head.c_str() + at + 12));
              std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
              bench::SendAll(c, reply.data(), reply.size());
          })
    {
    }
};

double Ms(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// One key into the field as the keyboard gives it: from the key press to the list repainted.
double Key(QLineEdit* edit, QChar c)
{
    const auto t0 = std::chrono::steady_clock::now();
    const int key = c == ' ' ? Qt::Key_Space : c == QChar(8) ? Qt::Key_Backspace : Qt::Key_A;
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, c == QChar(8) ? QString() : QString(c));
    QApplication::sendEvent(edit, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, c == QChar(8) ? QString() : QString(c));
    QApplication::sendEvent(edit, &release);
    return Ms(t0);
}

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    auto* app = new TApplication;
    app->Initialize(argc, argv);
    char dir[] = "/tmp/search-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    CatalogueServer server;
    SetProgramFolderForTesting(dir);
    auto form = std::make_unique<TForm1>(nullptr);
    form->DoCreate();
    form->Serv->SetText("127.0.0.1:" + std::to_string(server.Port()) + "/");
    form->Widget()->show();
    form->SonsMouseDown(form->Sons, mbLeft, 0, 2, 2);
    TCatalogueSearch& search = form->Search();
    auto t0 = std::chrono::steady_clock::now();
    search.Open();
    while (search.Fetching()) {
        Application->ProcessMessages();
        if (search.Fetching()) WaitMessage(100);
    }
    const double fetch = Ms(t0);
    std::printf("%u lists, %zu sounds fetched in %.0f ms\n", search.Index().ListCount(), search.Index().RowCount(), fetch);
    if (search.Index().RowCount() != static_cast<std::size_t>(Lists) * RowsPerList) return 1;

    QLineEdit* edit = search.Field()->LineEdit();
    std::vector<double> times;
    double worst = 0;
    std::printf("%-22s %8s %10s %10s\n", "query", "rows", "key ms", "index ms");
    for (const char* query : {"a", "chuva forte", "cao latindo", "acucar", "trovao distante", "zzz"}) {
        edit->clear();
        search.Open();
        const QString q = QString::fromUtf8(query);
        for (QChar c : q) {
            const double ms = Key(edit, c);
            times.push_back(ms);
            worst = std::max(worst, ms);
        }
        std::vector<TSoundRef> found;
        auto s0 = std::chrono::steady_clock::now();
        search.Index().Search(query, found);
        const double index = Ms(s0);
        std::printf("%-22s %8zu %10.2f %10.2f\n", query, found.size(), times.back(), index);
        // The way back: each backspace is a key too, down to one letter.
        for (int i = 0; i + 1 < q.size(); ++i) {
            const double ms = Key(edit, QChar(8));
            times.push_back(ms);
            worst = std::max(worst, ms);
        }
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const bool fast = worst <= 30.0;
    std::printf("%zu keys: median %.2f ms, worst %.2f ms (<= 30 ms: %s)\n", times.size(), median, worst,
                fast ? "yes" : "NO");
    form->OnDestroy = nullptr;
    form.reset();
    SetProgramFolderForTesting("");
    ::rmdir(dir);
    delete app;
    return fast ? 0 : 2;
}
