// Preview and transfer of sounds through the real window: a scripted server with Basic
// authentication on loopback, the wave device playing into an ALSA file sink, real folders.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"
#include "support/SoundTestSupport.h"

#include <unistd.h>

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

    // A page that is not a wave: the device's error is shown and the copy removed.
    Server.Connection().Send(Ok("<html>manutenção</html>"));
    DoubleClick(0);
    ASSERT_EQ(test::ShownErrors().size(), 1u);
    EXPECT_FALSE(test::ShownErrors()[0].empty());
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
    EXPECT_EQ(Server.Accepted(), 2);
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
