// Transferring several selected sounds at once, in the real window against the demo service.
#include <gtest/gtest.h>

#include "ServiceThread.h"
#include "support/SoundTestSupport.h"

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "WindowFixture.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

TEST(BatchSummary, CountsEachOutcome)
{
    struct Row {
        int Done, Existing, Failed;
        bool Stopped;
        const char* Text;
    } rows[] = {
        {3, 1, 1, false, "3 sons transferidos, 1 já existia, 1 falhou"},
        {1, 0, 0, false, "1 som transferido"},
        {0, 2, 3, false, "0 sons transferidos, 2 já existiam, 3 falharam"},
        {2, 0, 0, true, "Interrompido: 2 sons transferidos"},
    };
    for (const Row& r : rows) EXPECT_EQ(BatchSummary(r.Done, r.Existing, r.Failed, r.Stopped), r.Text);
}

void Write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class Batch : public test::WindowFixture {
protected:
    void SetUp() override
    {
        for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"})
            Write(Root / "club" / "waves" / name, std::string(300000, name[0]));
        OpenWindow(Service.Base());
        F->Login->SetText("demo");
        F->Senha->SetText("demo");
        for (const char* row : {"a.wav :A", "b.wav :B", "ja.wav :Já está", "falta.wav :Não há", "c.wav :C", "d.wav :D"})
            F->Nomes->Items().Add(row);
        Write(FFolder / "user" / "ja.wav", "minha");
        F->Widget()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(F->Widget()));
    }
    ~Batch() override { fs::remove_all(Root); }
    void ClickName(int row, Qt::KeyboardModifiers mods = {})
    {
        QTest::mouseClick(F->Nomes->Widget(), Qt::LeftButton, mods, QPoint(40, row * 15 + 7));
    }

    soundtest::Watchdog Guard{60000};
    // Made before the service, which serves it.
    fs::path Root = [] {
        fs::path root = fs::temp_directory_path() / ("kapo-batch-" + std::to_string(::getpid()));
        fs::create_directories(root / "club" / "waves");
        return root;
    }();
    test::ServiceThread Service{Root.string(), 2000000};
};

TEST_F(Batch, EverySelectedSoundInTurnSkippingWhatIsThere)
{
    // Rows 0 to 4 by a click and Shift with the arrows; row 5 left out, row 1 put back by Ctrl.
    ClickName(0);
    for (int i = 0; i < 4; ++i) QTest::keyClick(F->Nomes->Widget(), Qt::Key_Down, Qt::ShiftModifier);
    ClickName(1, Qt::ControlModifier);
    ClickName(1, Qt::ControlModifier);
    ASSERT_EQ(F->Nomes->SelCount(), 5);
    std::vector<int> progress;
    auto data = F->HttpCli1->OnDocData;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        progress.push_back(F->G1->Progress() * 100 / std::max(1, F->G1->MaxValue()));
    };
    QTest::keyClick(F->Nomes->Widget(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(F->Stk->Caption(), "3 sons transferidos, 1 já existia, 1 falhou");
    EXPECT_EQ(Names(FFolder / "user"), (std::vector<std::string>{"a.wav", "b.wav", "c.wav", "ja.wav"}));
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        EXPECT_EQ(test::ReadFile(FFolder / "user" / name), std::string(300000, name[0])) << name;
    EXPECT_EQ(test::ReadFile(FFolder / "user" / "ja.wav"), "minha");
    // The gauge counts the batch: it only grows, and the last sound starts past three fifths.
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GE(progress.back(), 80);
    EXPECT_EQ(F->G1->Progress(), 0);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Batch, StopEndsTheBatchLeavingWhatIsDoneAndOnlyAHiddenPart)
{
    ClickName(4);
    ClickName(5, Qt::ShiftModifier);
    ClickName(0, Qt::ControlModifier);
    ASSERT_EQ(F->Nomes->SelCount(), 3);
    // Stop once the second sound (c.wav) is under way.
    int begun = 0;
    auto begin = F->HttpCli1->OnDocBegin;
    auto data = F->HttpCli1->OnDocData;
    F->HttpCli1->OnDocBegin = [&](TObject* s) {
        begin(s);
        ++begun;
    };
    bool stopped = false;
    F->HttpCli1->OnDocData = [&](TObject* s, const void* b, int n) {
        data(s, b, n);
        if (begun == 2 && !stopped) {
            stopped = true;
            QTimer::singleShot(0, [this] { Press(F->Stop); });
        }
    };
    Press(F->Transf);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(F->Stk->Caption(), "Interrompido: 1 som transferido");
    EXPECT_EQ(Names(FFolder / "user"),
              (std::vector<std::string>{".c.wav.kapo-part", ".c.wav.kapo-part-info", "a.wav", "ja.wav"}));
    EXPECT_TRUE(test::ShownErrors().empty());

    // A single selection transfers as it always did: the one sound, no sum in the status line.
    ClickName(5);
    Press(F->Transf);
    EXPECT_EQ(test::ReadFile(FFolder / "user" / "d.wav"), std::string(300000, 'd'));
    EXPECT_EQ(F->Stk->Caption(), IdleStatusText);
}

}  // namespace
