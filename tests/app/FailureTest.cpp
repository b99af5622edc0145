// Every failure of the window's fetches, loads and plays, against scripted servers on
// loopback: the status line names what failed, no box opens, no copy or part is left.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"
#include "net/SocketTestSupport.h"
#include "support/SoundTestSupport.h"

#include <sys/mount.h>
#include <unistd.h>

#include <QTest>

#include <filesystem>
#include <functional>

#include "WindowFixture.h"

using namespace kapo;
using namespace httptest;
namespace fs = std::filesystem;

namespace {

enum TAction { Catalogue, Preview, Transfer };

class Failures : public test::WindowFixture {
protected:
    void SetUp() override
    {
        soundtest::AlsaFileSink::Instance().UseFileSink();
        OpenWindow(Base());
        F->Login->SetText("ana");
        F->Senha->SetText("segredo");
    }
    std::string Base() const { return "127.0.0.1:" + Server.PortText() + "/"; }
    void Run(TAction action)
    {
        if (action == Catalogue) {
            Press(F->Sons);
            return;
        }
        QPoint p(40, 7);
        QTest::mouseClick(F->Nomes->Widget(), Qt::LeftButton, {}, p);
        if (action == Preview) QTest::mouseDClick(F->Nomes->Widget(), Qt::LeftButton, {}, p);
        else Press(F->Transf);
    }
    // The folder's files but the hidden part of a cut transfer, which stays to be taken up again.
    std::vector<std::string> UserFiles() const
    {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(F->Dir->Directory())) {
            const std::string name = e.path().filename().string();
            if (name.find(".kapo-part") == std::string::npos) out.push_back(name);
        }
        return out;
    }

    soundtest::Watchdog Guard{180000};
    HttpScriptedServer Server;
};

const std::string Head200 = "HTTP/1.0 200 OK\r\n\r\n";

}  // namespace

TEST_F(Failures, TheStatusLineNamesWhatFailedAndNothingIsLeft)
{
    const std::string refusing = std::to_string(testsupport::RefusingPort());
    const std::string longName(256, 'a');
    const struct Row {
        const char* what;
        TAction action;
        std::function<void(HttpScriptedServer&, TForm1&)> setUp;
        std::string status;
    } rows[] = {
        {"nothing listens", Catalogue, [&](auto&, TForm1& f) { f.Serv->SetText("127.0.0.1:" + refusing + "/"); },
         "Serviço KORA inacessível!"},
        {"reset", Catalogue, [](auto& s, auto&) { s.Connection().Send("HTTP/1.0 200 OK\r\n").Reset(); },
         "A conexão com o serviço KORA caiu!"},
        {"time-out", Catalogue,
         [](auto& s, TForm1& f) {
             f.HttpCli1->SetTimeout(1);
             s.Connection().Pause(1500ms);
         },
         "O serviço KORA não respondeu a tempo!"},
        {"index not found", Catalogue,
         [](auto& s, auto&) { s.Connection().Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"); },
         "Não encontrei arquivo!"},
        {"proxy asks for credentials", Catalogue,
         [&](auto& s, TForm1& f) {
             f.Proxy->SetText("127.0.0.1");
             f.PrPort->SetText(Server.PortText());
             s.Connection().Send("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                                 "realm=\"p\"\r\nContent-Length: 0\r\n\r\n");
         },
         "O proxy pede usuário e senha!"},
        {"proxy refuses a sound", Preview,
         [&](auto& s, TForm1& f) {
             f.Proxy->SetText("127.0.0.1");
             f.PrPort->SetText(Server.PortText());
             s.Connection().Send("HTTP/1.0 403 Forbidden\r\nContent-Length: 6\r\n\r\nNegado");
         },
         "O proxy recusou o pedido!"},
        {"proxy port closed", Transfer,
         [&](auto&, TForm1& f) {
             f.Proxy->SetText("127.0.0.1");
             f.PrPort->SetText(refusing);
         },
         "Não consigo conectar ao proxy!"},
        {"malformed index", Catalogue, [](auto& s, auto&) { s.Connection().Send(test::OkResponse("A\r\n\tb\r\n\t\t\t\tc\r\n")); },
         "Índice malformado na linha 3!"},
        {"endless index", Catalogue, [](auto& s, auto&) { s.Connection().Send(Head200).Endless("A:a.txt\r\n"); },
         "Catálogo grande demais (mais de 64 MiB): não foi lido!"},
        {"index declared too long", Catalogue,
         [](auto& s, auto&) { s.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n").Pattern(9000); },
         "Catálogo grande demais (mais de 64 MiB): não foi lido!"},
        {"endless sound", Preview, [](auto& s, auto&) { s.Connection().Send(Head200).Endless("RIFF"); },
         "Som grande demais: o download foi interrompido!"},
        {"an HTML page", Preview, [](auto& s, auto&) { s.Connection().Send(test::OkResponse("<html>manutenção</html>")); },
         UnplayableSoundText},
        {"MP3 bytes", Preview,
         [](auto& s, auto&) { s.Connection().Send(test::OkResponse("ID3\x03" + std::string(600, '\x11'))); },
         UnplayableSoundText},
        {"FLAC bytes", Preview,
         [](auto& s, auto&) { s.Connection().Send(test::OkResponse(std::string("fLaC\0\0\0\x22", 8) + std::string(600, '\x05'))); },
         UnplayableSoundText},
        {"a name too long", Preview,
         [&](auto&, TForm1& f) {
             f.Nomes->Items().Clear();
             f.Nomes->Items().Add(longName + " :longo");
         },
         "Nome de som inválido!"},
        {"the folder is gone", Transfer,
         [](auto&, TForm1& f) { fs::remove_all(f.Dir->Directory()); }, FolderNotWritableText},
    };
    TFetchFileStream::SetLimitsForTesting(4000, 4000);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        F->Serv->SetText(Base());
        F->Proxy->SetText("");
        F->PrPort->SetText("");
        F->HttpCli1->SetTimeout(60);
        F->Nomes->Items().Clear();
        F->Nomes->Items().Add("latido.wav :Um cão late");
        fs::create_directories(FFolder / "user");
        F->Shp1->SetBrushColor(LampIdle);
        F->Stk->SetCaption("");
        const int accepted = Server.Accepted();
        r.setUp(Server, *F);
        Run(r.action);
        EXPECT_EQ(F->Stk->Caption(), r.status);
        EXPECT_TRUE(test::ShownErrors().empty()) << (test::ShownErrors().empty() ? "" : test::ShownErrors()[0]);
        EXPECT_EQ(F->Lista->Lines().Count(), 0);
        EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
        if (fs::exists(F->Dir->Directory())) {
            EXPECT_TRUE(UserFiles().empty());
        }
        if (r.status == InvalidSoundNameText) {
            EXPECT_EQ(Server.Accepted(), accepted);
        }
        EXPECT_TRUE(Server.WaitDone());
        test::ShownErrors().clear();
    }
    TFetchFileStream::SetLimitsForTesting(CatalogueFileLimit, UndeclaredSoundLimit);
}

// A transfer that fills the disk says so, and leaves nothing under the sound's name. The full disk is a small
// file system mounted for the test, which needs the right to mount.
TEST_F(Failures, AFullDiskEndsATransferWithItsOwnMessage)
{
    const fs::path small = FFolder / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a small file system";
    F->Dir->ApplyPath(small.string());
    F->Nomes->Items().Add("latido.wav :Um cão late");
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n").Pattern(300000);
    Run(Transfer);
    EXPECT_EQ(F->Stk->Caption(), "Disco cheio: o arquivo não foi gravado!");
    EXPECT_TRUE(UserFiles().empty());
    EXPECT_TRUE(test::ShownErrors().empty());
    EXPECT_TRUE(Server.WaitDone());
    F->Dir->ApplyPath((FFolder / "user").string());
    EXPECT_EQ(::umount(small.c_str()), 0);
}
