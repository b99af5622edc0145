// Preview and transfer of sounds through the real window: a scripted server with Basic
// authentication on loopback, the wave device playing into an ALSA file sink, real folders.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"
#include "support/SoundTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "WindowFixture.h"

using namespace kapo;
using namespace httptest;
namespace fs = std::filesystem;

namespace {

std::string Ok(const std::string& body) { return test::OkResponse(body); }
const std::string Denied = "HTTP/1.0 401 Unauthorized\r\nContent-Length: 12\r\n\r\nAcesso negado";

using test::ReadFile;

std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class Sounds : public test::WindowFixture {
protected:
    void SetUp() override
    {
        soundtest::AlsaFileSink::Instance().RemoveSink();
        OpenWindow("127.0.0.1:" + Server.PortText() + "/");
        F->Login->SetText("ana");
        F->Senha->SetText("segredo");
        // A real tone of 400 frames, 16-bit stereo.
        soundtest::WriteTone((FFolder / "tone.wav").string(), 400);
        Wave = ReadFile((FFolder / "tone.wav").string());
    }

    void Rows(std::initializer_list<const char*> rows)
    {
        F->Nomes->Items().Clear();
        for (const char* r : rows) F->Nomes->Items().Add(r);
    }
    void DoubleClick(int row)
    {
        QPoint p(40, row * 15 + 7);
        QTest::mouseClick(F->Nomes->Widget(), Qt::LeftButton, {}, p);
        QTest::mouseDClick(F->Nomes->Widget(), Qt::LeftButton, {}, p);
    }
    void Select(int row) { ClickName(row); }
    // A key as the user presses it: to the widget that has the focus, or to the window.
    void KeyToWindow(Qt::Key k, Qt::KeyboardModifiers m = {})
    {
        QWidget* w = QApplication::focusWidget();
        QTest::keyClick(w && w->window() == F->Widget() ? w : F->Widget(), k, m);
    }
    void PressTransf() { Press(F->Transf); }
    std::string Sink() const { return soundtest::AlsaFileSink::Instance().ReadSink(); }
    std::string UserFile(const std::string& name) const { return (FFolder / "user" / name).string(); }

    soundtest::Watchdog Guard{120000};
    HttpScriptedServer Server;
    std::string Wave;
    int Signals = 0;
};

}  // namespace

TEST_F(Sounds, DoubleClickFetchesWithTheLoginPlaysToTheEndAndDeletesTheCopy)
{
    Rows({"Cães", "latido.wav :Um cão late"});
    Server.Connection().Send(Ok(Wave));
    DoubleClick(1);
    EXPECT_EQ(Server.Request(0).substr(0, Server.Request(0).find("\r\n")), "GET /club/waves/latido.wav HTTP/1.0");
    EXPECT_NE(Server.Request(0).find("\r\nAuthorization: Basic " + EncodeBase64("ana:segredo") + "\r\n"), std::string::npos);
    // Every frame reached the device: 400 frames of two 16-bit samples.
    EXPECT_EQ(Sink().size(), 400u * 4);
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
    EXPECT_EQ(Lamp(), LampIdle);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Sounds, FailedOrUnplayablePreviewsLeaveNoCopy)
{
    Rows({"latido.wav :Um cão late"});
    // A refused login: the failure text, and no error page left to be "played" next time.
    Server.Connection().Send(Denied);
    DoubleClick(0);
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
    EXPECT_FALSE(soundtest::AlsaFileSink::Instance().SinkExists());

    // A page that is not a wave: the status line says so, no box opens, the copy is removed.
    Server.Connection().Send(Ok("<html>manutenção</html>"));
    DoubleClick(0);
    EXPECT_TRUE(test::ShownErrors().empty());
    EXPECT_EQ(F->Stk->Caption(), UnplayableSoundText);
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
    EXPECT_EQ(Server.Accepted(), 2);

    // No usable output: the sound is fetched, the device's text says why nothing is heard.
    test::ShownErrors().clear();
    soundtest::AlsaFileSink::Instance().WriteConfig("pcm.!default { type hw card 31 }\n");
    Server.Connection().Send(Ok(Wave));
    DoubleClick(0);
    soundtest::AlsaFileSink::Instance().UseFileSink();
    EXPECT_EQ(F->Stk->Caption(), "A saída de som não responde ou não pode ser usada.");
    EXPECT_TRUE(test::ShownErrors().empty()) << test::ShownErrors()[0];
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
}

namespace {

// Paint events anywhere in the application.
struct PaintCounter : QObject {
    int Count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint) ++Count;
        return false;
    }
};

}  // namespace

TEST_F(Sounds, APlayingPreviewKeepsTheWindowAliveAndEndsOnStopAnotherPreviewOrClosing)
{
    // A sound of 12 MB into an output that keeps time: about a second and a half.
    constexpr int kLongFrames = 3000000;
    soundtest::WriteTone((FFolder / "long.wav").string(), kLongFrames);
    const std::string longWave = ReadFile((FFolder / "long.wav").string());
    soundtest::TempDir fifoDir;
    const std::string fifo = fifoDir.File("sink.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    soundtest::AlsaFileSink::Instance().UseFifo(fifo);
    soundtest::SlowFifoReader reader(fifo);
    PaintCounter paints;
    qApp->installEventFilter(&paints);

    enum Action { StopButton, OtherSound, CloseButton };
    const struct Row {
        const char* name;
        Action action;
    } rows[] = {{"stop", StopButton}, {"another sound", OtherSound}, {"close", CloseButton}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Rows({"longo.wav :Longo", "latido.wav :Um cão late"});
        F->SoundCache().Clear();  // each row fetches the long sound anew
        const int accepted = Server.Accepted();
        Server.Connection().Send(Ok(longWave));
        if (r.action == OtherSound) Server.Connection().Send(Ok(Wave));
        const std::size_t start = reader.Total();
        int paintsBefore = -1;
        bool acted = false;
        // Once the sound is under way, the window is asked to repaint; once it has, the action.
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (acted || reader.Total() < start + soundtest::kSinkBuffers) return;
            if (paintsBefore < 0) {
                paintsBefore = paints.Count;
                F->Stk->SetCaption("tocando");
                return;
            }
            if (paints.Count == paintsBefore) return;
            acted = true;
            if (r.action == StopButton) Press(F->Stop);
            else if (r.action == OtherSound) DoubleClick(1);
            else Press(F->Fim);
        });
        tick.start();
        DoubleClick(0);
        tick.stop();
        EXPECT_TRUE(acted) << "the window took no input while the sound played";
        EXPECT_LT(reader.Total() - start, static_cast<std::size_t>(kLongFrames) * 4) << "the sound played to its end";
        EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path())) << "the copy was not deleted";
        EXPECT_EQ(Server.Accepted(), accepted + (r.action == OtherSound ? 2 : 1));
        EXPECT_NE(F->Mp->CurrentMode(), 2) << "the device plays on";
        if (r.action == OtherSound) {
            // The new sound played to its end on a device of its own.
            EXPECT_EQ(fs::path(F->Mp->FileName()).filename(), "latido.wav");
            EXPECT_EQ(F->Mp->Position(), F->Mp->Length());
        }
        EXPECT_EQ(Application->Terminated(), r.action == CloseButton);
        Application->ClearTerminated();
        EXPECT_TRUE(test::ShownErrors().empty());
    }
    qApp->removeEventFilter(&paints);
    soundtest::AlsaFileSink::Instance().UseFileSink();
}

TEST_F(Sounds, SoundNameRuleAndTheChecksBeforeAnyFetch)
{
    struct Row {
        const char* row;
        const char* login;
        const char* password;
        const char* status;      // what the status line says afterwards
        const char* requested;   // the request line's target, or "" when nothing is fetched
    } rows[] = {
        {"boing.wav :Mola", "ana", "segredo", "Falha no acesso ao club KORA!", "/club/waves/boing.wav"},
        {"boing.wav  :Mola", "ana", "segredo", "Falha no acesso ao club KORA!", "/club/waves/boing.wav%20"},
        {"sem dois pontos", "ana", "segredo", "", ""},
        {"boing.wav :Mola", "", "", "Falta login do Club!", ""},
        {"boing.wav :Mola", "ana", "", "Falta senha do Club!", ""},
        {"../../etc/x.wav :Fora", "ana", "segredo", "Nome de som inválido!", ""},
        {".. :Acima", "ana", "segredo", "Nome de som inválido!", ""},
        {"a/b.wav :Pasta", "ana", "segredo", "Nome de som inválido!", ""},
    };
    std::size_t fetched = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.row);
        Rows({r.row});
        F->Login->SetText(r.login);
        F->Senha->SetText(r.password);
        F->Shp1->SetBrushColor(LampIdle);
        if (*r.requested) Server.Connection().Send(Denied);
        DoubleClick(0);
        EXPECT_EQ(F->Stk->Caption(), r.status);
        if (*r.requested) {
            ASSERT_EQ(Server.Accepted(), static_cast<int>(++fetched));
            std::string req = Server.Request(fetched - 1);
            EXPECT_EQ(req.substr(0, req.find("\r\n")), std::string("GET ") + r.requested + " HTTP/1.0");
            EXPECT_EQ(Lamp(), LampIdle);
        } else {
            EXPECT_EQ(Server.Accepted(), static_cast<int>(fetched));
            EXPECT_EQ(Lamp(), LampBusy);  // an early exit leaves the lamp red
        }
        // The transfer button applies the same checks in the same order.
        if (!*r.requested && *r.status) {
            F->Stk->SetCaption("");
            Select(0);
            PressTransf();
            EXPECT_EQ(F->Stk->Caption(), r.status);
        }
    }
    // A colon in first or second place: the name is empty, so no local file can be made.
    for (const char* row : {":Mola", "a:Mola"}) {
        Rows({row});
        DoubleClick(0);
        ASSERT_EQ(test::ShownErrors().size(), 1u) << row;
        EXPECT_EQ(test::ShownErrors()[0].rfind("Cannot create file ", 0), 0u);
        EXPECT_EQ(Lamp(), LampBusy);
        test::ShownErrors().clear();
    }
    EXPECT_TRUE(Names(FFolder / "user").empty());
    EXPECT_FALSE(fs::exists(FFolder / "etc"));
}

TEST_F(Sounds, TransferKeepsOnlyWholeSoundsUnderTheirNames)
{
    Rows({"latido.wav :Um cão late", "uivo.wav :Um cão uiva"});
    Select(0);
    Server.Connection().Send(Ok(Wave));
    PressTransf();
    EXPECT_EQ(ReadFile(UserFile("latido.wav")), Wave);
    EXPECT_NE(Server.Request(0).find("Authorization: Basic "), std::string::npos);
    EXPECT_EQ(Lamp(), LampReceiving);  // the transfer leaves the lamp as the data left it

    // An existing name is never touched.
    PressTransf();
    EXPECT_EQ(F->Stk->Caption(), "Som já existe!!!");
    EXPECT_EQ(Server.Accepted(), 1);

    // A refused, a truncated and a stopped transfer: nothing under the sound's name, the
    // failure said; what came of the sound stays hidden, to be taken up by the next transfer.
    Select(1);
    Server.Connection().Send(Denied);
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 90000\r\n\r\n" + Wave);
    const std::vector<std::string> kept{".uivo.wav.kapo-part", ".uivo.wav.kapo-part-info", "latido.wav"};
    for (int i = 0; i < 2; ++i) {
        F->Stk->SetCaption("");
        PressTransf();
        EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
        EXPECT_EQ(Names(FFolder / "user"), i == 0 ? std::vector<std::string>{"latido.wav"} : kept);
    }
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 90000\r\n\r\n" + Wave).Pause(20s);
    auto data = F->HttpCli1->OnDocData;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        QTimer::singleShot(0, [this] { QTest::mouseClick(F->Stop->Widget(), Qt::LeftButton, {}, QPoint(2, 2)); });
    };
    PressTransf();
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    EXPECT_EQ(Names(FFolder / "user"), kept);
    EXPECT_NE(Server.Request(3).find("\r\nRange: bytes=" + std::to_string(Wave.size()) + "-\r\n"), std::string::npos);
    EXPECT_TRUE(test::ShownErrors().empty());
}

namespace {

// A sound of 2 s, 16-bit stereo at 8000 Hz, and its frames.
struct TwoSeconds {
    TwoSeconds(const fs::path& folder)
    {
        std::vector<short> s(16000 * 2);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 7919) % 60000 - 30000);
        soundtest::WriteWave((folder / "two.wav").string(), SF_FORMAT_PCM_16, 2, 8000, s);
        Wave = ReadFile(folder / "two.wav");
        Frames = soundtest::BytesOf(s);
        Header = Wave.size() - Frames.size();
    }
    std::string Wave, Frames;
    std::size_t Header;
};

}  // namespace

TEST_F(Sounds, APreviewPlaysWhileTheSoundArrivesAndStopsWhereACutDownloadEnds)
{
    const TwoSeconds sound(FFolder);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(sound.Wave.size()) + "\r\n\r\n";
    const std::size_t first = sound.Header + 8000;
    const struct Row {
        const char* name;
        std::size_t sent;   // bytes of the file the server sends before it closes
        const char* status;
    } rows[] = {
        {"slower than the player, whole", sound.Wave.size(), "Status da conexão..."},
        {"cut in the middle", first + 20001, "Falha no acesso ao club KORA!"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        soundtest::AlsaFileSink::Instance().RemoveSink();
        Rows({"dois.wav :Dois segundos"});
        // The rest waits until the first frames were heard: a preview that waited for the
        // whole file would hear nothing and get nothing more.
        Server.Connection().Send(head + sound.Wave.substr(0, first)).Await(Signals + 1);
        for (std::size_t at = first; at < r.sent; at += 8000)
            Server.Send(sound.Wave.substr(at, std::min<std::size_t>(8000, r.sent - at))).Pause(30ms);
        QTimer heard;
        heard.setInterval(2);
        bool signalled = false;
        QObject::connect(&heard, &QTimer::timeout, [&] {
            if (signalled || !soundtest::AlsaFileSink::Instance().SinkExists() || Sink().empty()) return;
            signalled = true;
            ++Signals;
            Server.Signal();
        });
        heard.start();
        DoubleClick(0);
        heard.stop();
        EXPECT_TRUE(signalled) << "nothing was heard before the download ended";
        const std::size_t frames = (r.sent - sound.Header) / 4;
        EXPECT_EQ(Sink().size(), frames * 4);
        EXPECT_TRUE(Sink() == sound.Frames.substr(0, frames * 4)) << "frames differ, or noise filled a gap";
        EXPECT_EQ(F->Stk->Caption(), r.status);
        EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
        EXPECT_EQ(Lamp(), LampIdle);
        EXPECT_TRUE(test::ShownErrors().empty());
        F->SoundCache().Clear();
    }
}

TEST_F(Sounds, SoundsHeardBeforeComeFromMemoryUntilTheServiceOrTheCredentialsChange)
{
    Rows({"latido.wav :Um cão late"});
    Server.Connection().Send(Ok(Wave));
    DoubleClick(0);
    ASSERT_EQ(Server.Accepted(), 1);
    const std::string frames = Wave.substr(44);
    const struct Row {
        const char* name;
        TEdit* TForm1::*changed;  // none: nothing changes
        bool fetched;
    } rows[] = {
        {"heard again", nullptr, false},
        {"the login changed", &TForm1::Login, true},
        {"heard again after that", nullptr, false},
        {"the password changed", &TForm1::Senha, true},
        {"the server changed", &TForm1::Serv, true},
    };
    int accepted = 1;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.changed) {
            TEdit* e = F->*r.changed;
            const std::string text = e->Text();
            e->SetText(text + "x");
            e->SetText(text);
            Server.Connection().Send(Ok(Wave));
        }
        soundtest::AlsaFileSink::Instance().RemoveSink();
        const auto start = std::chrono::steady_clock::now();
        DoubleClick(0);
        if (r.fetched) {
            ++accepted;
        } else {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "kept sounds start at once";
        }
        EXPECT_EQ(Server.Accepted(), accepted);
        EXPECT_TRUE(Sink() == frames);
        EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path())) << "memory only: no copy stays on disk";
    }
    EXPECT_EQ(F->SoundCache().Count(), 1u);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Sounds, AuditionPlaysOnlyTheRowWhereAHeldArrowKeyStops)
{
    F->Nomes->Items().Clear();
    for (int i = 0; i < 60; ++i) F->Nomes->Items().Add("som" + std::to_string(i) + ".wav :Som");
    Select(0);
    auto key = [this](Qt::Key k, Qt::KeyboardModifiers m = {}) { QTest::keyClick(F->Nomes->Widget(), k, m); };
    const struct Row {
        const char* name;
        bool audition;
        const char* status;
        int fetched;  // requests in all afterwards
    } rows[] = {{"on", true, "Audição ligada", 1}, {"off again", false, "Audição desligada", 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        key(Qt::Key_Home);
        KeyToWindow(Qt::Key_F6);
        EXPECT_EQ(F->Stk->Caption(), r.status);
        EXPECT_EQ(F->PreviewSettings().Audition, r.audition);
        if (r.audition) Server.Connection().Send(Ok(Wave));
        // Key repeats come faster than the rest: the rows passed are never fetched.
        const int from = F->Nomes->ItemIndex();
        for (int i = 0; i < 50; ++i) {
            key(Qt::Key_Down);
            QTest::qWait(10);
        }
        EXPECT_EQ(F->Nomes->ItemIndex(), from + 50);
        if (r.audition) {
            EXPECT_TRUE(soundtest::PumpUntil([&] { return Server.Accepted() == r.fetched && Sink().size() == 1600; }));
            const std::string req = Server.Request(0);
            EXPECT_EQ(req.substr(0, req.find("\r\n")), "GET /club/waves/som50.wav HTTP/1.0");
        } else {
            QTest::qWait(TForm1::AuditionRestMs * 2);
        }
        EXPECT_EQ(Server.Accepted(), r.fetched);
    }
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Sounds, VolumeKeysAndTheWheelScaleThePreviewInTenPercentSteps)
{
    Rows({"latido.wav :Um cão late", "uivo.wav :Um cão uiva"});
    Select(0);  // the list has the focus: its arrow keys must not take the volume's
    Server.Connection().Send(Ok(Wave));
    std::vector<short> samples(400 * 2);
    std::memcpy(samples.data(), Wave.data() + 44, samples.size() * 2);
    auto wheel = [this](TControl* c, int notches) {
        QWheelEvent ev(QPointF(2, 2), c->Widget()->mapToGlobal(QPointF(2, 2)), QPoint(), QPoint(0, 120 * notches),
                       Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(c->Widget(), &ev);
    };
    const struct Row {
        const char* name;
        int keys;      // Ctrl+Up (positive) or Ctrl+Down presses
        int notches;   // wheel over the lamp, then over the gauge
        int volume;
    } rows[] = {
        {"full at first", 0, 0, 100},
        {"five steps down", -5, 0, 50},
        {"wheel up over lamp and gauge", 0, 1, 70},
        {"down past silence", -9, 0, 0},
        {"up past full", 12, 0, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        for (int i = 0; i < std::abs(r.keys); ++i)
            KeyToWindow(r.keys > 0 ? Qt::Key_Up : Qt::Key_Down, Qt::ControlModifier);
        if (r.notches) {
            wheel(F->Shp1, r.notches);
            wheel(F->G1, r.notches);
        }
        if (r.keys || r.notches) {
            EXPECT_EQ(F->Stk->Caption(), "Volume " + std::to_string(r.volume) + " %");
        }
        EXPECT_EQ(F->Nomes->ItemIndex(), 0) << "the volume keys do not move the selection";
        soundtest::AlsaFileSink::Instance().RemoveSink();
        DoubleClick(0);
        std::vector<short> expected = samples;
        for (short& s : expected) s = static_cast<short>(s * (r.volume * 10) / 1000);
        EXPECT_TRUE(Sink() == soundtest::BytesOf(expected));
    }
    EXPECT_EQ(Server.Accepted(), 1);
}
