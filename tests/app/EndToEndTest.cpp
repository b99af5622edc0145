// The main job end to end: the real window offscreen against the demo service on loopback,
// serving the catalogue the build generates, with the wave device playing into a file sink.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with parameter names there.
#include "ServiceThread.h"
#include "net/HttpScriptedServer.h"
#include "support/SoundTestSupport.h"

#include <unistd.h>

#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <future>

#include "core/Classes.h"
#include "WindowFixture.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

const fs::path Catalogue = KAPO_DEMO_CATALOGUE;

using test::ReadFile;

std::vector<std::string> Lines(const fs::path& path)
{
    TStringList l;
    l.LoadFromFile(path.string());
    std::vector<std::string> out;
    for (int i = 0; i < l.Count(); ++i) out.push_back(l[i]);
    return out;
}

using ServiceThread = test::ServiceThread;

class EndToEnd : public test::WindowFixture {
protected:
    void SetUp() override
    {
        soundtest::AlsaFileSink::Instance().RemoveSink();
        OpenWindow(Service.Base());
        F->Login->SetText("demo");
        F->Senha->SetText("demo");
    }
    // Opens the first category: a click on the first heading, Enter opens it, Right goes to its
    // first category, which fetches that category's list.
    void OpenFirstCategory()
    {
        QTest::mouseClick(F->Lista->Widget(), Qt::LeftButton, {}, QPoint(40, 7));
        QTest::keyClick(F->Lista->Widget(), Qt::Key_Return);
        QTest::keyClick(F->Lista->Widget(), Qt::Key_Right);
    }
    // The first sound of the first category's list.
    std::string FirstSound() const
    {
        std::string line = Lines(Catalogue / "waves" / "indice.txt")[1];
        std::string list = line.substr(line.find(':') + 1);
        std::string row = Lines(Catalogue / "waves" / list)[0];
        return row.substr(0, row.find(':') - 1);
    }

    soundtest::Watchdog Guard{120000};
    ServiceThread Service{Catalogue.string()};
};

// Bytes the device is handed for a wave: 16-bit samples for 8/16-bit, µ-law and A-law, 32-bit
// ones for 24/32-bit, floats for float.
std::uint64_t SinkBytes(const fs::path& wave)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(wave.c_str(), SFM_READ, &info);
    sf_close(f);
    int sub = info.format & SF_FORMAT_SUBMASK;
    int width = sub == SF_FORMAT_PCM_24 || sub == SF_FORMAT_PCM_32 || sub == SF_FORMAT_FLOAT ? 4 : 2;
    return static_cast<std::uint64_t>(info.frames) * static_cast<std::uint64_t>(info.channels) * width;
}

}  // namespace

TEST_F(EndToEnd, CatalogueListPreviewAndTransfer)
{
    Press(F->Sons);
    EXPECT_EQ(F->Lista->Lines().Count(), static_cast<int>(Lines(Catalogue / "waves" / "indice.txt").size()));
    EXPECT_EQ(F->Shp1->Brush().Color, LampIdle);

    OpenFirstCategory();
    std::string line = Lines(Catalogue / "waves" / "indice.txt")[1];
    std::vector<std::string> rows = Lines(Catalogue / "waves" / line.substr(line.find(':') + 1));
    ASSERT_EQ(F->Nomes->Items().Count(), static_cast<int>(rows.size()));
    EXPECT_EQ(F->Nomes->Items()[0], rows[0]);

    // A double click plays the sound to its end and leaves no copy.
    const std::string sound = FirstSound();
    ClickName(0);
    QTest::mouseDClick(F->Nomes->Widget(), Qt::LeftButton, {}, QPoint(40, 7));
    EXPECT_EQ(soundtest::AlsaFileSink::Instance().ReadSink().size(), SinkBytes(Catalogue / "club" / "waves" / sound));
    EXPECT_TRUE(fs::is_empty(F->PrivateFolder().Path()));

    // The transfer button saves it into the chosen folder, byte for byte.
    Press(F->Transf);
    EXPECT_EQ(ReadFile(FFolder / "user" / sound), ReadFile(Catalogue / "club" / "waves" / sound));
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(EndToEnd, RefusedLoginStopAndOverlappingFetches)
{
    F->Nomes->Items().Add(FirstSound() + " :som");
    ClickName(0);
    F->Senha->SetText("errada");
    QTest::mouseDClick(F->Nomes->Widget(), Qt::LeftButton, {}, QPoint(40, 7));
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    Press(F->Transf);
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    EXPECT_TRUE(fs::is_empty(FFolder / "user"));
    F->Senha->SetText("demo");

    // A slow service: Stop ends the transfer, nothing is left under the name (only the hidden
    // partial file, to be taken up later).
    ServiceThread slow(Catalogue.string(), 20000);
    F->Serv->SetText(slow.Base());
    auto data = F->HttpCli1->OnDocData;
    bool stopped = false;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        if (!stopped) QTimer::singleShot(0, [this] { Press(F->Stop); });
        stopped = true;
    };
    Press(F->Transf);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(F->Stk->Caption(), "Falha no acesso ao club KORA!");
    for (const auto& e : fs::directory_iterator(FFolder / "user")) EXPECT_EQ(e.path().filename().string()[0], '.');

    // A second fetch while the slow one runs: each ends with its own result.
    std::string second;
    bool launched = false;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        if (launched) return;
        launched = true;
        QTimer::singleShot(0, [&] {
            second = F->FetchFile(F->PrivateFolder().Path(), Service.Base() + "waves/", "indice.txt", "", "");
        });
    };
    const std::string first = F->FetchFile(F->PrivateFolder().Path(), slow.Base() + "club/waves/", FirstSound(), "demo", "demo");
    EXPECT_EQ(first, "Erro no download!");
    EXPECT_EQ(second, "Ok!");
    EXPECT_EQ(ReadFile(F->PrivateFolder().Path() + "indice.txt"), ReadFile(Catalogue / "waves" / "indice.txt"));
    EXPECT_TRUE(test::ShownErrors().empty());
}
