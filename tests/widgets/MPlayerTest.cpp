// The media player on the real wave device, with ALSA's output sent to a file sink: the
// window's play sequence, the wait and notify rules, modes, errors and the button bar.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "support/GuiTestMain.h"
#include "support/SoundTestSupport.h"
#include "widgets/MPlayer.h"

namespace kapo {
namespace {

using soundtest::AlsaFileSink;
using soundtest::PumpUntil;
using soundtest::TempDir;
using soundtest::Watchdog;

std::string TextOf(MCIERROR code)
{
    char buf[256];
    mciGetErrorString(code, buf, sizeof buf);
    return buf;
}

// The window's instance.
void PlaceLikeMp(TMediaPlayer& mp)
{
    mp.SetBounds(5, 397, 29, 30);
    mp.SetVisibleButtons(ButtonBit(btPlay));
    mp.SetTabOrder(5);
}

TColor At(const QImage& img, int x, int y) { return FromQRgb(img.pixel(x, y)); }

TEST(MediaPlayer, WindowSequencePlaysToTheEndThenTheCompletionMessageArrives)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("boing.wav");
    soundtest::WriteTone(path, 8000);  // one second
    TMediaPlayer mp(nullptr);
    PlaceLikeMp(mp);
    int notified = 0;
    mp.OnNotify = [&](TObject* sender) {
        EXPECT_EQ(sender, &mp);
        ++notified;
    };

    EXPECT_NE(mp.CurrentMode(), 2) << "nothing open is not playing";
    mp.SetFileName(path);
    mp.OpenDevice();
    EXPECT_TRUE(mp.Opened());
    EXPECT_NE(mp.DeviceId(), 0);
    EXPECT_EQ(mp.CommandFlags(), MCI_WAIT | MCI_OPEN_ELEMENT);
    EXPECT_EQ(mp.CurrentMode(), 1);
    EXPECT_EQ(mp.Length(), 1000u);
    EXPECT_EQ(mp.Frames(), 100u);
    EXPECT_TRUE(mp.CanPlay());
    EXPECT_FALSE(mp.CanRecord() || mp.CanEject() || mp.HasVideo() || mp.CanStep());
    EXPECT_EQ(mp.AutoButtons(), ButtonBit(btPlay) | ButtonBit(btNext) | ButtonBit(btPrev));

    sink.RemoveSink();
    mp.WaitNextCommand(true);
    mp.StartPlay();
    EXPECT_EQ(mp.CommandFlags(), MCI_NOTIFY | MCI_WAIT);
    EXPECT_EQ(mp.LastError(), 0u);
    EXPECT_EQ(sink.ReadSink().size(), 8000u * 4) << "the call returned before the sound ended";
    EXPECT_EQ(mp.CurrentMode(), 1);
    EXPECT_EQ(mp.Position(), mp.Length());
    EXPECT_EQ(notified, 0) << "the message waits for the loop";
    ASSERT_TRUE(PumpUntil([&] { return notified == 1; }));
    EXPECT_EQ(mp.NotifyValue(), nvSuccessful);

    // At the end, the next play rewinds first; without a wait request it runs on and notifies.
    sink.RemoveSink();
    mp.StartPlay();
    EXPECT_EQ(mp.CommandFlags(), MCI_NOTIFY);
    ASSERT_TRUE(PumpUntil([&] { return notified == 2; }));
    EXPECT_EQ(sink.ReadSink().size(), 8000u * 4);
    EXPECT_EQ(mp.AutoButtons() & (ButtonBit(btPause) | ButtonBit(btStop)), 0u) << "stopped again";
    EXPECT_NE(mp.AutoButtons() & ButtonBit(btPlay), 0u);

    // A second open closes the first device.
    std::uint16_t first = mp.DeviceId();
    mp.OpenDevice();
    EXPECT_NE(mp.DeviceId(), first);
    MCI_STATUS_PARMS st{};
    st.dwItem = MCI_STATUS_MODE;
    EXPECT_EQ(mciSendCommand(first, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&st)),
              MCIERR_INVALID_DEVICE_ID);

    mp.CloseDevice();
    EXPECT_EQ(mp.LastError(), 0u);
    EXPECT_FALSE(mp.Opened());
    EXPECT_EQ(mp.DeviceId(), 0);
    EXPECT_EQ(mp.AutoButtons(), 0u);
    try {
        mp.StartPlay();
        ADD_FAILURE() << "played with nothing open";
    } catch (const EMCIDeviceError& e) {
        EXPECT_EQ(e.Message(), "No MCI device open");
    }
}

TEST(MediaPlayer, WaitAndNotifyRequestsHoldForExactlyOneCommand)
{
    AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("tone.wav");
    soundtest::WriteTone(path, 200);
    TMediaPlayer mp(nullptr);
    int notified = 0;
    mp.OnNotify = [&](TObject*) { ++notified; };
    mp.SetFileName(path);

    // A close with nothing open sends nothing, so it does not use up the request.
    mp.WaitNextCommand(false);
    mp.CloseDevice();
    EXPECT_EQ(mp.CommandFlags(), 0u);
    mp.OpenDevice();
    EXPECT_EQ(mp.CommandFlags(), MCI_OPEN_ELEMENT);
    mp.NotifyNextCommand(true);
    mp.CloseDevice();
    EXPECT_EQ(mp.CommandFlags(), MCI_WAIT | MCI_NOTIFY);
    mp.OpenDevice();
    EXPECT_EQ(mp.CommandFlags(), MCI_WAIT | MCI_OPEN_ELEMENT);

    mp.NotifyNextCommand(false);
    mp.WaitNextCommand(true);
    mp.StartPlay();
    EXPECT_EQ(mp.CommandFlags(), MCI_WAIT);
    EXPECT_EQ(mp.LastError(), 0u);
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(notified, 1) << "only the notified close answered";

    mp.WaitNextCommand(false);
    mp.StartPlay();
    EXPECT_EQ(mp.CommandFlags(), MCI_NOTIFY);
    ASSERT_TRUE(PumpUntil([&] { return notified == 2; }));
    mp.CloseDevice();
    EXPECT_EQ(mp.CommandFlags(), MCI_WAIT);
}

TEST(MediaPlayer, RefusedOpenRaisesTheDevicesTextAndLeavesThePlayerClosed)
{
    AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string good = dir.File("good.wav");
    soundtest::WriteTone(good, 100);
    std::string page = dir.File("page.wav");
    {
        std::ofstream out(page);
        out << "<html><body>Not Found</body></html>";
    }
    struct Row {
        std::string Path;
        MCIERROR Code;
    };
    for (const Row& r : {Row{dir.File("missing.wav"), MCIERR_FILE_NOT_FOUND}, Row{page, MCIERR_INVALID_FILE}}) {
        SCOPED_TRACE(r.Path);
        TMediaPlayer mp(nullptr);
        mp.SetFileName(good);
        mp.OpenDevice();
        std::uint16_t before = mp.DeviceId();
        mp.SetFileName(r.Path);
        try {
            mp.OpenDevice();
            ADD_FAILURE() << "opened";
        } catch (const EMCIDeviceError& e) {
            EXPECT_EQ(e.Message(), TextOf(r.Code));
        }
        EXPECT_EQ(mp.LastError(), r.Code);
        EXPECT_EQ(mp.LastErrorText(), TextOf(r.Code));
        EXPECT_FALSE(mp.Opened()) << "the open device was closed before the new open";
        EXPECT_EQ(mp.DeviceId(), 0);
        MCI_STATUS_PARMS st{};
        st.dwItem = MCI_STATUS_MODE;
        EXPECT_EQ(mciSendCommand(before, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&st)),
                  MCIERR_INVALID_DEVICE_ID);
    }
}

TEST(MediaPlayer, ZeroLengthSoundRewindsAndPlaysNothing)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("empty.wav");
    soundtest::WriteWave(path, SF_FORMAT_PCM_16, 1, 8000, std::vector<short>{});
    TMediaPlayer mp(nullptr);
    mp.SetFileName(path);
    mp.OpenDevice();
    EXPECT_EQ(mp.Length(), 0u);
    sink.RemoveSink();
    mp.WaitNextCommand(true);
    mp.StartPlay();
    EXPECT_EQ(mp.LastError(), 0u);
    EXPECT_EQ(mp.CurrentMode(), 1);
    EXPECT_EQ(sink.ReadSink(), "");
}

TEST(MediaPlayer, DestroyedWhilePlayingClosesTheDeviceAndDropsItsMessage)
{
    AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("tone.wav");
    soundtest::WriteTone(path, 40000);
    auto mp = std::make_unique<TMediaPlayer>(nullptr);
    int notified = 0;
    mp->OnNotify = [&](TObject*) { ++notified; };
    mp->SetFileName(path);
    mp->OpenDevice();
    std::uint16_t id = mp->DeviceId();
    mp->StartPlay();
    mp.reset();
    MessageQueue::Current().ProcessPending();
    EXPECT_EQ(notified, 0);
    MCI_STATUS_PARMS st{};
    st.dwItem = MCI_STATUS_MODE;
    EXPECT_EQ(mciSendCommand(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&st)),
              MCIERR_INVALID_DEVICE_ID);
}

TEST(MediaPlayer, APlayBegunNowAndAwaitedLaterPlaysAtItsVolumeAndNotifiesOnce)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("boing.wav");
    soundtest::WriteTone(path, 4000);
    std::vector<short> tone(4000 * 2);
    {
        std::ifstream in(path, std::ios::binary);
        in.seekg(44);
        in.read(reinterpret_cast<char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 2));
    }
    const struct Row {
        const char* name;
        DWORD before, after;  // the volume set before the open and after it
    } rows[] = {{"full", 1000, 1000}, {"half, set before the open", 500, 500}, {"half, set on the open device", 1000, 500}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TMediaPlayer mp(nullptr);
        int notified = 0;
        mp.OnNotify = [&](TObject*) { ++notified; };
        mp.SetVolume(r.before);
        mp.SetFileName(path);
        mp.OpenDevice();
        mp.SetVolume(r.after);
        EXPECT_EQ(mp.Volume(), r.after);
        sink.RemoveSink();
        TMediaPlayer::TPlayTicket ticket = mp.BeginPlay();
        ASSERT_NE(ticket, nullptr);
        mp.AwaitPlay(ticket);
        mp.AwaitPlay(ticket);  // once only: the second returns at once
        std::vector<short> expected = tone;
        for (short& v : expected) v = static_cast<short>(v * static_cast<int>(r.after) / 1000);
        EXPECT_TRUE(sink.ReadSink() == soundtest::BytesOf(expected));
        EXPECT_EQ(mp.LastError(), 0u);
        EXPECT_TRUE(PumpUntil([&] { return notified > 0; }));
        MessageQueue::Current().ProcessPending();
        EXPECT_EQ(notified, 1);
        EXPECT_EQ(mp.NotifyValue(), nvSuccessful);
    }
}

TEST(MediaPlayer, ButtonBarShowsWhatTheDeviceAllows)
{
    AlsaFileSink::Instance();
    TempDir dir;
    std::string path = dir.File("tone.wav");
    soundtest::WriteTone(path, 100);
    TMediaPlayer mp(nullptr);
    PlaceLikeMp(mp);
    // A point inside the play triangle of the window's one-button bar.
    const int gx = 12, gy = 15;
    EXPECT_EQ(At(mp.PaintTo(), gx, gy), clGray) << "nothing open: disabled";
    mp.SetFileName(path);
    mp.OpenDevice();
    QImage img = mp.PaintTo();
    EXPECT_EQ(At(img, gx, gy), clGreen);
    EXPECT_EQ(At(img, 0, 0), clBlack) << "outline";
    EXPECT_EQ(At(img, 1, 1), clWhite) << "raised edge";
    mp.SetColoredButtons(0);
    EXPECT_EQ(At(mp.PaintTo(), gx, gy), clBlack);
    mp.SetAutoEnable(false);
    mp.SetEnabledButtons(ButtonBit(btStop));
    EXPECT_EQ(At(mp.PaintTo(), gx, gy), clGray);
}

}  // namespace
}  // namespace kapo
