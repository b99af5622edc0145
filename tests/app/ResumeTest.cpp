// A cut transfer taken up again: how an answer for the rest is judged, and the real window
// against the demo service on loopback with a 100 MB sound.
#include <gtest/gtest.h>

#include "ServiceThread.h"
#include "support/SoundTestSupport.h"

#include <QTimer>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>

#include "app/PartialTransfer.h"
#include "WindowFixture.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

TEST(PartialTransfer, AnAnswerIsAppendedOnlyWhenItIsTheRestOfTheSameFile)
{
    const std::string lm = "Last-Modified: Wed, 09 Dec 2026 03:00:00 GMT";
    struct Row {
        int Status;
        std::int64_t Asked;
        const char* Range;
        std::string Validator, Stored;
        TResumeVerdict Verdict;
    } rows[] = {
        {206, 600, "bytes 600-999/1000", lm, lm, rvAppend},
        {206, 600, "bytes  600-999/*", lm, lm, rvAppend},
        {206, 600, "bytes 0-999/1000", lm, lm, rvRestart},    // not where the partial file ends
        {206, 600, "bytes 601-999/1000", lm, lm, rvRestart},
        {206, 600, "bytes 600-999/1000", "Last-Modified: Thu, 10 Dec 2026 03:00:00 GMT", lm, rvRestart},
        {206, 600, "bytes 600-999/1000", "Length: 1000", "Length: 1000", rvAppend},
        {206, 600, "bytes 600-1199/1200", "Length: 1200", "Length: 1000", rvRestart},
        {206, 600, "bytes 600-999/1000", "", "", rvRestart},  // nothing tells the file is the same
        {206, 600, "items 600-999/1000", lm, lm, rvRestart},
        {206, 600, "", lm, lm, rvRestart},
        {206, 0, "bytes 0-999/1000", lm, lm, rvRestart},      // a range that was never asked for
        {200, 600, "", lm, lm, rvWhole},
        {200, 0, "", lm, "", rvWhole},
        {416, 600, "bytes */500", "", lm, rvRestart},
        {404, 600, "", "", lm, rvRefused},
        {401, 0, "", "", "", rvRefused},
    };
    for (const Row& r : rows)
        EXPECT_EQ(JudgeResume(r.Status, r.Asked, r.Range, r.Validator, r.Stored), r.Verdict)
            << r.Status << " " << r.Range << " " << r.Validator;

    struct RangeRow {
        const char* Value;
        bool Ok;
        std::int64_t First, Last, Total;
    } ranges[] = {
        {"bytes 0-9/10", true, 0, 9, 10},     {"bytes 5-9/*", true, 5, 9, -1},
        {"bytes 5-9/9", false, 0, 0, 0},      {"bytes 9-5/10", false, 0, 0, 0},
        {"bytes -5/10", false, 0, 0, 0},      {"bytes 1-2/10 x", false, 0, 0, 0},
        {"bytes */10", false, 0, 0, 0},       {"bytes 99999999999999999999-1/2", false, 0, 0, 0},
    };
    for (const RangeRow& r : ranges) {
        std::int64_t first = 0, last = 0, total = 0;
        ASSERT_EQ(ParseContentRange(r.Value, first, last, total), r.Ok) << r.Value;
        if (!r.Ok) continue;
        EXPECT_EQ(first, r.First) << r.Value;
        EXPECT_EQ(last, r.Last) << r.Value;
        EXPECT_EQ(total, r.Total) << r.Value;
    }
    EXPECT_EQ(TransferValidator("Wed, 09 Dec 2026 03:00:00 GMT", 10), lm);
    EXPECT_EQ(TransferValidator("", 10), "Length: 10");
    EXPECT_EQ(TransferValidator("", -1), "");
}

constexpr std::size_t SoundSize = 100u << 20;

void WriteSound(const fs::path& path, unsigned seed)
{
    std::string data(SoundSize, '\0');
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        const std::uint32_t v = rng();
        std::memcpy(&data[i], &v, 4);
    }
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

class Resume : public test::WindowFixture {
protected:
    void SetUp() override
    {
        WriteSound(Root / "club" / "waves" / "trovao.wav", 1);
        OpenWindow(Service.Base());
        F->Login->SetText("demo");
        F->Senha->SetText("demo");
        F->Nomes->Items().Add("trovao.wav :Trovão longo");
        F->Nomes->SetItemIndex(0);
        Data = F->HttpCli1->OnDocData;
        F->HttpCli1->OnDocData = [this](TObject* s, const void* b, int n) {
            Data(s, b, n);
            Fetched += static_cast<std::uint64_t>(n);
            if (StopAt && Fetched >= StopAt && !Stopped) {
                Stopped = true;
                QTimer::singleShot(0, [this] { Press(F->Stop); });
            }
        };
    }
    ~Resume() override { fs::remove_all(Root); }
    // One press of the transfer button; the bytes it fetched.
    std::uint64_t Transfer(std::uint64_t stopAt = 0)
    {
        Fetched = 0;
        StopAt = stopAt;
        Stopped = false;
        Press(F->Transf);
        return Fetched;
    }
    fs::path Sound() const { return FFolder / "user" / "trovao.wav"; }
    fs::path Partial() const { return FFolder / "user" / ".trovao.wav.kapo-part"; }

    soundtest::Watchdog Guard{120000};
    // Made before the service, which serves it.
    fs::path Root = [] {
        fs::path root = fs::temp_directory_path() / ("kapo-resume-" + std::to_string(::getpid()));
        fs::create_directories(root / "club" / "waves");
        return root;
    }();
    // At 200 MB/s, so that Stop lands near where it is pressed.
    test::ServiceThread Service{Root.string(), 200u << 20};
    TDocDataEvent Data;
    std::uint64_t Fetched = 0, StopAt = 0;
    bool Stopped = false;
};

TEST_F(Resume, AStoppedTransferFetchesOnlyTheRestAndAChangedFileComesWhole)
{
    // Stopped at 60 %: only the hidden partial file is there.
    EXPECT_LT(Transfer(SoundSize * 6 / 10), SoundSize);
    EXPECT_FALSE(fs::exists(Sound()));
    ASSERT_TRUE(fs::exists(Partial()));
    const auto cut = fs::file_size(Partial());
    EXPECT_GE(cut, SoundSize * 6 / 10);

    // The next transfer asks for the rest only, and the sound is byte for byte the service's.
    const std::uint64_t rest = Transfer();
    EXPECT_EQ(rest, SoundSize - cut);
    EXPECT_LE(rest, 41u << 20);
    ASSERT_TRUE(fs::exists(Sound()));
    EXPECT_TRUE(test::ReadFile(Sound()) == test::ReadFile(Root / "club" / "waves" / "trovao.wav"));
    EXPECT_FALSE(fs::exists(Partial()));
    EXPECT_EQ(std::distance(fs::directory_iterator(FFolder / "user"), fs::directory_iterator()), 1);

    // Cut again, then the file changes on the service (same length, another time): the rest
    // of the old one must not be joined to it, the new one comes whole.
    fs::remove(Sound());
    const std::uint64_t cutAgain = Transfer(SoundSize * 6 / 10);
    ASSERT_TRUE(fs::exists(Partial())) << cutAgain << " " << F->HttpCli1->StatusCode() << " " << F->HttpCli1->ReasonPhrase();
    WriteSound(Root / "club" / "waves" / "trovao.wav", 2);
    fs::last_write_time(Root / "club" / "waves" / "trovao.wav",
                        fs::last_write_time(Root / "club" / "waves" / "trovao.wav") + std::chrono::hours(1));
    EXPECT_GE(Transfer(), SoundSize);
    ASSERT_TRUE(fs::exists(Sound()));
    EXPECT_TRUE(test::ReadFile(Sound()) == test::ReadFile(Root / "club" / "waves" / "trovao.wav"));
    EXPECT_FALSE(fs::exists(Partial()));
    EXPECT_TRUE(test::ShownErrors().empty());
}

}  // namespace
