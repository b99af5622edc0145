// Closing the program while a sound is being transferred: each way of asking (Ctrl+Q, the close
// button, the desktop's close, a session's signal) ends the loop at once, the fetch stopped,
// its part removed, the settings written. The window runs as the program runs it: the
// application's main form, inside Application->Run().
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"
#include "support/SoundTestSupport.h"

#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "app/Unit1.h"
#include "support/GuiTestMain.h"

using namespace kapo;
using namespace httptest;
namespace fs = std::filesystem;

namespace {

enum TWay { CtrlQ, CloseButton, DesktopClose, Signal };

}  // namespace

TEST(Closing, EveryWayOfClosingEndsARunningTransferAtOnce)
{
    soundtest::Watchdog dog{120000};
    const fs::path folder = fs::temp_directory_path() / ("kapo-closing-" + std::to_string(::getpid()));
    const fs::path saved = fs::current_path();
    fs::remove_all(folder);
    fs::create_directories(folder / "user");
    SetProgramFolderForTesting(folder.string());
    Application->TerminateOnSignals({SIGUSR2});
    HttpScriptedServer server;
    const struct Row {
        const char* what;
        TWay way;
    } rows[] = {{"Ctrl+Q", CtrlQ}, {"close button", CloseButton}, {"desktop's close", DesktopClose}, {"signal", Signal}};
    int row = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ++row;
        fs::remove(folder / "kapo.ini");
        // A 21 MB sound of which 20 kB come, then the service keeps the client waiting.
        server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 21000000\r\n\r\n").Pattern(20000).Await(row);
        Application->ClearTerminated();
        TForm1* main = Application->CreateForm<TForm1>();
        ASSERT_EQ(Application->MainForm(), main);
        main->Dir->ApplyPath((folder / "user").string());
        main->Serv->SetText("127.0.0.1:" + server.PortText() + "/");
        main->Login->SetText("ana");
        main->Senha->SetText("segredo");
        main->Nomes->Items().Add("latido.wav :Um cão late");
        main->Nomes->SetItemIndex(0);

        std::chrono::steady_clock::time_point asked{};
        bool sent = false;
        auto data = main->HttpCli1->OnDocData;
        main->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
            data(s, b, n);
            if (sent) return;
            sent = true;
            QTimer::singleShot(0, [&] {
                asked = std::chrono::steady_clock::now();
                switch (r.way) {
                case CtrlQ: {
                    QWidget* target = QApplication::focusWidget();
                    QTest::keyClick(target ? target : main->Widget(), Qt::Key_Q, Qt::ControlModifier);
                    break;
                }
                case CloseButton: main->Fim->PressAndRelease(); break;
                case DesktopClose: main->Widget()->close(); break;
                case Signal: ::raise(SIGUSR2); break;
                }
            });
        };
        QTimer::singleShot(0, [&] { main->Transf->PressAndRelease(); });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            ADD_FAILURE() << "the loop did not end";
            Application->Terminate();
        });
        watchdog.start(30000);
        Application->Run();
        const auto ended = std::chrono::steady_clock::now();
        watchdog.stop();
        delete main;
        server.Signal();
        ASSERT_TRUE(sent) << "no data came";
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(ended - asked);
        std::printf("[ measured ] %s: %lld ms from the request to the loop's end\n", r.what,
                    static_cast<long long>(took.count()));
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        // Only the hidden part stays, to be taken up by the next transfer.
        for (const auto& e : fs::directory_iterator(folder / "user"))
            EXPECT_NE(e.path().filename().string().find(".kapo-part"), std::string::npos)
                << e.path().filename().string() << " was left";
        EXPECT_TRUE(fs::exists(folder / "kapo.ini")) << "the settings were not written";
    }
    EXPECT_TRUE(server.WaitDone());
    Application->ClearTerminated();
    SetProgramFolderForTesting("");
    fs::current_path(saved);
    fs::remove_all(folder);
}
