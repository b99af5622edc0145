// The window against scripted HTTP servers on loopback: the catalogue button, the tree, the
// sound list, the transfer status (lamp, gauge, status line), Stop, and fetches that overlap.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"

#include <dirent.h>
#include <unistd.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>

#include "WindowFixture.h"

using namespace kapo;
using namespace httptest;
namespace fs = std::filesystem;

namespace {

std::string Ok(const std::string& body) { return test::OkResponse(body); }
const std::string NotFound = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";

std::string RequestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

// Whether any descriptor of the process is open on the file.
bool OpenInProcess(const std::string& path)
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec))
        if (fs::read_symlink(e.path(), ec).string().rfind(path, 0) == 0) return true;
    return false;
}

class Browsing : public test::WindowFixture {
protected:
    void SetUp() override { OpenWindow("127.0.0.1:" + Server.PortText() + "/"); }

    void PressSons() { Press(F->Sons); }
    void ClickRow(int row) { QTest::mouseClick(F->Lista->Widget(), Qt::LeftButton, {}, QPoint(40, row * 15 + 7)); }
    std::vector<std::string> Rows(TStrings& s)
    {
        std::vector<std::string> out;
        for (int i = 0; i < s.Count(); ++i) out.push_back(s[i]);
        return out;
    }
    // Runs action once the window's first body bytes have arrived (inside the running Get).
    void OnFirstData(std::function<void()> action)
    {
        auto previous = F->HttpCli1->OnDocData;
        auto pending = std::make_shared<std::function<void()>>(std::move(action));
        F->HttpCli1->OnDocData = [this, previous, pending](TObject* s, const void* b, int n) {
            if (previous) previous(s, b, n);
            if (*pending) {
                auto run = std::move(*pending);
                *pending = nullptr;
                QTimer::singleShot(0, run);
            }
        };
    }
    void LoadCatalogue(const std::string& index)
    {
        Server.Connection().Send(Ok(index));
        PressSons();
        ASSERT_EQ(Lamp(), LampIdle);
    }

    // The scripted servers play one connection at a time: an overlapping fetch needs another.
    HttpScriptedServer Server, Other;
    std::string OtherBase() const { return "127.0.0.1:" + Other.PortText() + "/"; }
};

}  // namespace

TEST_F(Browsing, CatalogueTreeAndSoundListFollowTheService)
{
    const std::string index = "Animais\r\nCães:caes.txt\r\nGatos: gatos.txt\r\nLongo:" + std::string(150, 'x') +
                              "\r\nVento:vento.txt\r\n";
    LoadCatalogue(index);
    EXPECT_EQ(Rows(F->Lista->Lines()), (std::vector<std::string>{"Animais", "Cães:caes.txt", "Gatos: gatos.txt",
                                                                 "Longo:" + std::string(150, 'x'), "Vento:vento.txt"}));
    EXPECT_EQ(RequestLine(Server.Request(0)), "GET /waves/indice.txt HTTP/1.0");

    // A heading without a colon empties the list and leaves the lamp red; nothing is fetched.
    F->Nomes->Items().Add("old row");
    ClickRow(0);
    EXPECT_EQ(F->Nomes->Items().Count(), 0);
    EXPECT_EQ(Lamp(), LampBusy);
    EXPECT_EQ(Server.Accepted(), 1);

    // A category's list: its rows as they are, the lamp back to idle.
    const std::string rows = "boing.wav :Mola\r\nlatido.wav :Cão \xE0 noite\r\n";
    Server.Connection().Send(Ok(rows));
    ClickRow(1);
    EXPECT_EQ(Rows(F->Nomes->Items()), (std::vector<std::string>{"boing.wav :Mola", "latido.wav :Cão \xE0 noite"}));
    EXPECT_EQ(Lamp(), LampIdle);
    EXPECT_EQ(RequestLine(Server.Request(1)), "GET /waves/caes.txt HTTP/1.0");

    // The name after the colon is used as it stands: a leading space (sent encoded), at most 100 characters;
    // moving with the keys fetches every category passed.
    Server.Connection().Send(Ok("a\r\n")).Connection().Send(Ok("b\r\n")).Connection().Send(NotFound);
    QTest::keyClick(F->Lista->Widget(), Qt::Key_Down);
    QTest::keyClick(F->Lista->Widget(), Qt::Key_Down);
    QTest::keyClick(F->Lista->Widget(), Qt::Key_Down);
    EXPECT_EQ(RequestLine(Server.Request(2)), "GET /waves/%20gatos.txt HTTP/1.0");
    EXPECT_EQ(RequestLine(Server.Request(3)), "GET /waves/" + std::string(100, 'x') + " HTTP/1.0");
    EXPECT_EQ(RequestLine(Server.Request(4)), "GET /waves/vento.txt HTTP/1.0");
    // The last list was not found: the list stays empty.
    EXPECT_EQ(F->Nomes->Items().Count(), 0);
    EXPECT_EQ(Lamp(), LampIdle);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Browsing, BrowsingNeverTouchesTheUsersFolder)
{
    // A file the user keeps under a list's name, in the folder the user selected.
    const fs::path kept = FFolder / "user" / "caes.txt";
    std::ofstream(kept, std::ios::binary) << "meu arquivo\n";
    const fs::path keptIndex = FFolder / "indice.txt";
    std::ofstream(keptIndex, std::ios::binary) << "do usuário\n";
    LoadCatalogue("Cães:caes.txt\r\n");
    Server.Connection().Send(Ok("latido.wav :Cão\r\n"));
    ClickRow(0);
    ASSERT_EQ(F->Nomes->Items().Count(), 1);
    std::ifstream in(kept, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "meu arquivo\n");
    EXPECT_EQ(fs::file_size(keptIndex), 12u);
    EXPECT_EQ(std::distance(fs::directory_iterator(FFolder / "user"), {}), 1);

    // The copies live in a private folder that only the owner can enter, empty between fetches
    // and gone with the window.
    const std::string priv = F->PrivateFolder().Path();
    EXPECT_EQ(fs::status(priv).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(priv));
    delete F;
    F = nullptr;
    EXPECT_FALSE(fs::exists(priv));
}

TEST_F(Browsing, FailedOrMalformedCataloguesLeaveNothingBehind)
{
    // The index is not found: the tree stays empty and the lamp goes back to idle.
    Server.Connection().Send(NotFound);
    PressSons();
    EXPECT_EQ(F->Lista->Lines().Count(), 0);
    EXPECT_EQ(Lamp(), LampIdle);

    // A malformed index: the status line names the line, no box opens, the tree stays empty,
    // the lamp goes back to idle and no copy is left behind.
    Server.Connection().Send(Ok("A\r\n\t\t\tdeep\r\n"));
    PressSons();
    EXPECT_TRUE(test::ShownErrors().empty());
    EXPECT_EQ(F->Stk->Caption(), "Índice malformado na linha 2!");
    EXPECT_EQ(F->Lista->Lines().Count(), 0);
    EXPECT_EQ(Lamp(), LampIdle);
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));
}

TEST_F(Browsing, LampFollowsEveryActionOfTheWindow)
{
    struct Row {
        const char* action;
        std::function<void()> run;
        TColor expected;
    };
    std::vector<TColor> seenAtDocBegin;
    auto begin = F->HttpCli1->OnDocBegin;
    F->HttpCli1->OnDocBegin = [&](TObject* s) {
        begin(s);
        seenAtDocBegin.push_back(Lamp());
    };
    std::vector<Row> rows = {
        {"program start", [] {}, LampIdle},
        {"catalogue button", [&] { Server.Connection().Send(Ok("Cães:caes.txt\r\nTítulo\r\n")); PressSons(); }, LampIdle},
        {"tree click on a category", [&] { Server.Connection().Send(Ok("x :y\r\n")); ClickRow(0); }, LampIdle},
        {"tree click on a heading", [&] { ClickRow(1); }, LampBusy},
        {"catalogue button while red", [&] { PressSons(); }, LampBusy},
        {"document begins", [&] { F->HttpCli1DocBegin(F->HttpCli1); }, LampBusy},
        {"document ends", [&] { F->HttpCli1DocEnd(F->HttpCli1); }, LampBusy},
        {"stop", [&] { QTest::mouseClick(F->Stop->Widget(), Qt::RightButton, {}, QPoint(2, 2)); }, LampIdle},
        {"document data", [&] { Server.Connection().Send(Ok("a")); F->FetchFile(F->PrivateFolder().Path(), F->Serv->Text(), "x", "", ""); }, LampReceiving},
        {"document ends after data", [&] { F->HttpCli1DocEnd(F->HttpCli1); }, LampReceiving},
    };
    for (const Row& r : rows) {
        r.run();
        EXPECT_EQ(Lamp(), r.expected) << r.action;
    }
    EXPECT_EQ(seenAtDocBegin, (std::vector<TColor>{LampBusy, LampBusy, LampBusy}));
    EXPECT_EQ(Server.Accepted(), 3);  // the refused catalogue button fetched nothing
    EXPECT_EQ(F->Stk->Caption(), "Status da conexão...");
}

TEST_F(Browsing, StopEndsARunningTransferWithItsResult)
{
    std::string body(200000, 'k');
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 400000\r\n\r\n" + body).Pause(20s);
    OnFirstData([this] {
        QTest::mousePress(F->Stop->Widget(), Qt::LeftButton, {}, QPoint(2, 2));
        QTest::mouseRelease(F->Stop->Widget(), Qt::LeftButton, {}, QPoint(2, 2));
    });
    HttpWatchdog wd(*F->HttpCli1);
    const std::string folder = F->PrivateFolder().Path();
    EXPECT_EQ(F->FetchFile(folder, F->Serv->Text(), "longo.wav", "", ""), "Erro no download!");
    EXPECT_EQ(Lamp(), LampIdle);
    EXPECT_GT(fs::file_size(folder + "longo.wav"), 0u);
    EXPECT_LT(fs::file_size(folder + "longo.wav"), 400000u);
    EXPECT_EQ(F->Stop->Picture().Image(), F->Fim1->Picture().Image());
    EXPECT_FALSE(OpenInProcess(folder + "longo.wav"));

    // Stop before anything arrived: nothing written, so the file was not found.
    Other.Connection().Pause(20s);
    QTimer::singleShot(50, [this] { QTest::mouseClick(F->Stop->Widget(), Qt::LeftButton, {}, QPoint(2, 2)); });
    EXPECT_EQ(F->FetchFile(folder, OtherBase(), "nada.wav", "", ""), "Não encontrei arquivo!");
    EXPECT_FALSE(wd.Fired());
}

TEST_F(Browsing, ASecondFetchCancelsTheFirstCleanly)
{
    Server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, '1')).Pause(20s);
    Other.Connection().Send(Ok(std::string(5000, '2')));
    const std::string folder = F->PrivateFolder().Path();
    std::string second;
    OnFirstData([&] { second = F->FetchFile(folder, OtherBase(), "b", "", ""); });
    HttpWatchdog wd(*F->HttpCli1);
    std::string first = F->FetchFile(folder, F->Serv->Text(), "a", "", "");
    EXPECT_EQ(first, "Erro no download!");
    EXPECT_EQ(second, "Ok!");
    EXPECT_EQ(fs::file_size(folder + "a"), 1000u);
    EXPECT_EQ(fs::file_size(folder + "b"), 5000u);
    EXPECT_EQ(F->HttpCli1->RcvdStream(), nullptr);
    EXPECT_FALSE(OpenInProcess(folder + "a"));
    EXPECT_FALSE(OpenInProcess(folder + "b"));
    EXPECT_FALSE(wd.Fired());
}

TEST_F(Browsing, LargeListsAndIndexesAppearWhole)
{
    std::string index, rows;
    for (int i = 0; i < 1000000; ++i) index += "C" + std::to_string(i) + ":l.txt\r\n";
    for (int i = 0; i < 100000; ++i) rows += "som" + std::to_string(i) + ".wav :descrição\r\n";
    LoadCatalogue(index);
    EXPECT_EQ(F->Lista->Lines().Count(), 1000000);
    Server.Connection().Send(Ok(rows));
    ClickRow(0);
    EXPECT_EQ(F->Nomes->Items().Count(), 100000);
    EXPECT_EQ(F->Nomes->Items()[99999], "som99999.wav :descrição");
}
