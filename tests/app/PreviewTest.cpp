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
    void PressTransf() { Press(F->Transf); }
    std::string Sink() const { return soundtest::AlsaFileSink::Instance().ReadSink(); }
    std::string UserFile(const std::string& name) const { return (FFolder / "user" / name).string(); }

    soundtest::Watchdog Guard{120000};
    HttpScriptedServer Server;
    std::string Wave;
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
    EXPECT_EQ(F->Stk->Caption(), "The sound output does not respond or cannot be used.");
    EXPECT_TRUE(test::ShownErrors().empty());
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

    // A refused, a truncated and a stopped transfer: nothing under the sound's name, no part
    // left behind, the failure said.
    Select(1);
    Server.Connection().Send(Denied);
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 90000\r\n\r\n" + Wave);
    for (int i = 0; i < 2; ++i) {
        F->Stk->SetCaption("");
        PressTransf();
        EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
        EXPECT_EQ(Names(FFolder / "user"), (std::vector<std::string>{"latido.wav"}));
    }
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 90000\r\n\r\n" + Wave).Pause(20s);
    auto data = F->HttpCli1->OnDocData;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        QTimer::singleShot(0, [this] { QTest::mouseClick(F->Stop->Widget(), Qt::LeftButton, {}, QPoint(2, 2)); });
    };
    PressTransf();
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    EXPECT_EQ(Names(FFolder / "user"), (std::vector<std::string>{"latido.wav"}));
    EXPECT_TRUE(test::ShownErrors().empty());
}
