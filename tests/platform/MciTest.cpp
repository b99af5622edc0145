// The wave-audio device plays real wave files into ALSA's file sink; the sink's bytes are
// compared with the frames the files hold.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>

#include "platform/Mmsystem.h"
#include "support/SoundTestSupport.h"

using namespace kapo;
using soundtest::AlsaFileSink;
using soundtest::BytesOf;
using soundtest::TempDir;
using soundtest::Watchdog;

namespace {

std::string ErrorText(MCIERROR code)
{
    char buf[256];
    return mciGetErrorString(code, buf, sizeof buf) ? std::string(buf) : std::string("<no text>");
}

MCIERROR Open(const std::string& path, MCIDEVICEID& id, DWORD_PTR callback = 0, DWORD extra = 0)
{
    MCI_OPEN_PARMS p{};
    p.dwCallback = callback;
    p.lpstrElementName = path.c_str();
    MCIERROR err = mciSendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT | extra, reinterpret_cast<DWORD_PTR>(&p));
    id = p.wDeviceID;
    return err;
}

MCIERROR Close(MCIDEVICEID id) { return mciSendCommand(id, MCI_CLOSE, MCI_WAIT, 0); }

DWORD_PTR Status(MCIDEVICEID id, DWORD item, MCIERROR* err = nullptr)
{
    MCI_STATUS_PARMS p{};
    p.dwItem = item;
    MCIERROR e = mciSendCommand(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&p));
    if (err) *err = e;
    return p.dwReturn;
}

MCIERROR PlayWait(MCIDEVICEID id, DWORD flags = 0, DWORD from = 0, DWORD to = 0)
{
    MCI_PLAY_PARMS p{};
    p.dwFrom = from;
    p.dwTo = to;
    return mciSendCommand(id, MCI_PLAY, MCI_WAIT | flags, reinterpret_cast<DWORD_PTR>(&p));
}

short UlawDecode(unsigned char u)
{
    u = static_cast<unsigned char>(~u);
    int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
    return static_cast<short>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

// One row: a wave format and the device frames its samples must arrive as.
struct FormatRow {
    const char* Name;
    int Subformat;
    int Channels;
    int Rate;
};

// Writes a file of the row's format whose samples convert exactly, and returns the bytes the
// device must receive: 16-bit frames for 8/16-bit and companded files, 32-bit for 24/32-bit,
// float for float.
std::string WriteRowFile(const FormatRow& row, const std::string& path, int frames)
{
    std::mt19937 rng(static_cast<unsigned>(row.Subformat * 31 + row.Channels));
    std::size_t n = static_cast<std::size_t>(frames) * static_cast<std::size_t>(row.Channels);
    switch (row.Subformat) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32: {
        std::vector<int> s(n);
        for (int& v : s) {
            v = static_cast<int>(rng());
            if (row.Subformat == SF_FORMAT_PCM_24) v &= ~0xFF;
        }
        soundtest::WriteWave(path, row.Subformat, row.Channels, row.Rate, s);
        return BytesOf(s);
    }
    case SF_FORMAT_FLOAT: {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        std::vector<float> s(n);
        for (float& v : s) v = d(rng);
        soundtest::WriteWave(path, row.Subformat, row.Channels, row.Rate, s);
        return BytesOf(s);
    }
    default: {
        std::vector<short> s(n);
        for (short& v : s) {
            if (row.Subformat == SF_FORMAT_ULAW)
                v = UlawDecode(static_cast<unsigned char>(rng()));
            else if (row.Subformat == SF_FORMAT_PCM_U8)
                v = static_cast<short>(static_cast<int>(rng() % 256) * 256 - 32768);
            else
                v = static_cast<short>(rng());
        }
        soundtest::WriteWave(path, row.Subformat, row.Channels, row.Rate, s);
        return BytesOf(s);
    }
    }
}

class MciFormatTest : public ::testing::TestWithParam<FormatRow> {};

}  // namespace

TEST_P(MciFormatTest, PlayWithWaitDeliversEveryFrameBeforeItReturns)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    const FormatRow& row = GetParam();
    const int frames = 5000;  // more than one chunk of the device's reads
    std::string path = dir.File("sound.wav");
    std::string expected = WriteRowFile(row, path, frames);

    MCIDEVICEID id = 0;
    ASSERT_EQ(Open(path, id), 0u);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_LENGTH), static_cast<DWORD_PTR>(frames) * 1000 / row.Rate);
    sink.RemoveSink();
    ASSERT_EQ(PlayWait(id), 0u);
    // Checked while the device is still open: every frame was out before the call returned.
    std::string got = sink.ReadSink();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "frames differ from the file's";
    EXPECT_EQ(Status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(Status(id, MCI_STATUS_POSITION), Status(id, MCI_STATUS_LENGTH));
    EXPECT_EQ(Close(id), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MciFormatTest,
    ::testing::Values(FormatRow{"U8Mono8000", SF_FORMAT_PCM_U8, 1, 8000},
                      FormatRow{"S16Stereo44100", SF_FORMAT_PCM_16, 2, 44100},
                      FormatRow{"S16Six32000", SF_FORMAT_PCM_16, 6, 32000},
                      FormatRow{"S24Mono48000", SF_FORMAT_PCM_24, 1, 48000},
                      FormatRow{"S32Stereo22050", SF_FORMAT_PCM_32, 2, 22050},
                      FormatRow{"FloatStereo96000", SF_FORMAT_FLOAT, 2, 96000},
                      FormatRow{"FloatEight48000", SF_FORMAT_FLOAT, 8, 48000},
                      FormatRow{"UlawMono8000", SF_FORMAT_ULAW, 1, 8000},
                      FormatRow{"UlawStereo11025", SF_FORMAT_ULAW, 2, 11025}),
    [](const ::testing::TestParamInfo<FormatRow>& i) { return std::string(i.param.Name); });

TEST(Mci, AdpcmFilesPlayAsTheirDecodedFrames)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    for (int sub : {SF_FORMAT_IMA_ADPCM, SF_FORMAT_MS_ADPCM}) {
        SCOPED_TRACE(sub);
        std::string path = dir.File("adpcm.wav");
        std::vector<short> s(3000 * 2);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 37) % 16000 - 8000);
        soundtest::WriteWave(path, sub, 2, 22050, s);
        // The reference decoding: what libsndfile makes of the file on its own.
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        std::vector<short> ref(static_cast<std::size_t>(info.frames) * 2);
        ASSERT_EQ(sf_readf_short(f, ref.data(), info.frames), info.frames);
        sf_close(f);

        MCIDEVICEID id = 0;
        ASSERT_EQ(Open(path, id), 0u);
        sink.RemoveSink();
        ASSERT_EQ(PlayWait(id), 0u);
        EXPECT_TRUE(sink.ReadSink() == BytesOf(ref));
        EXPECT_EQ(Close(id), 0u);
    }
}

TEST(Mci, ZeroAndOneFrameFilesPlayWhatTheyHold)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string empty = dir.File("empty.wav");
    soundtest::WriteWave(empty, SF_FORMAT_PCM_16, 1, 8000, std::vector<short>{});
    std::string one = dir.File("one.wav");
    soundtest::WriteWave(one, SF_FORMAT_PCM_16, 2, 8000, std::vector<short>{1234, -4321});

    MCIDEVICEID id = 0;
    ASSERT_EQ(Open(empty, id), 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_LENGTH), 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_POSITION), 0u);
    sink.RemoveSink();
    EXPECT_EQ(PlayWait(id), 0u);
    EXPECT_EQ(sink.ReadSink(), "");
    EXPECT_EQ(Close(id), 0u);

    ASSERT_EQ(Open(one, id), 0u);
    sink.RemoveSink();
    EXPECT_EQ(PlayWait(id), 0u);
    EXPECT_EQ(sink.ReadSink(), BytesOf(std::vector<short>{1234, -4321}));
    // At the end a second play has nothing left to play.
    sink.RemoveSink();
    EXPECT_EQ(PlayWait(id), 0u);
    EXPECT_FALSE(sink.SinkExists());
    EXPECT_EQ(Close(id), 0u);
}

TEST(Mci, RefusedElementsGiveAnErrorWithItsText)
{
    AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string page = dir.File("page.wav");
    {
        std::ofstream out(page);
        out << "<html><body>401 Unauthorized</body></html>\n";
    }
    std::string fifo = dir.File("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string aiff = dir.File("sound.aiff");
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(aiff.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        short s[4] = {1, 2, 3, 4};
        sf_writef_short(f, s, 4);
        sf_close(f);
    }
    std::string nine = dir.File("nine.wav");
    soundtest::WriteWave(nine, SF_FORMAT_PCM_16, 9, 8000, std::vector<short>(18, 7));
    std::string folder = dir.File("");

    struct Row {
        std::string Path;
        MCIERROR Expected;
    };
    for (const Row& r : {Row{dir.File("missing.wav"), MCIERR_FILE_NOT_FOUND}, Row{page, MCIERR_INVALID_FILE},
                         Row{fifo, MCIERR_INVALID_FILE}, Row{aiff, MCIERR_INVALID_FILE}, Row{nine, MCIERR_INVALID_FILE},
                         Row{folder, MCIERR_INVALID_FILE}, Row{"", MCIERR_FILENAME_REQUIRED}}) {
        SCOPED_TRACE(r.Path);
        MCIDEVICEID id = 77;
        MCIERROR err = Open(r.Path, id);
        EXPECT_EQ(err, r.Expected) << ErrorText(err);
        EXPECT_EQ(id, 0u);  // the answer field stays as the caller zeroed it
        EXPECT_NE(ErrorText(err), "<no text>");
    }
    // A device type other than the wave device's.
    MCI_OPEN_PARMS p{};
    p.lpstrDeviceType = "cdaudio";
    p.lpstrElementName = nine.c_str();
    EXPECT_EQ(mciSendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&p)),
              MCIERR_INVALID_DEVICE_NAME);
    EXPECT_EQ(mciSendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, 0), MCIERR_NULL_PARAMETER_BLOCK);

    // Texts are cut to the caller's buffer; a code of no one's has none.
    char small[6];
    std::memset(small, 'x', sizeof small);
    EXPECT_TRUE(mciGetErrorString(MCIERR_FILE_NOT_FOUND, small, sizeof small));
    EXPECT_STREQ(small, "O arq");
    // Nor is a letter cut in half: in three bytes "Não" keeps only its "N".
    char three[3];
    EXPECT_TRUE(mciGetErrorString(MCIERR_INVALID_DEVICE_NAME, three, sizeof three));
    EXPECT_STREQ(three, "N");
    EXPECT_FALSE(mciGetErrorString(12345, small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(Mci, CommandsAnswerAsAWaveDevice)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("tone.wav");
    std::vector<short> s(8000 * 2);  // one second of 16-bit stereo at 8000 Hz
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>(i);
    soundtest::WriteWave(path, SF_FORMAT_PCM_16, 2, 8000, s);
    MCIDEVICEID id = 0;
    ASSERT_EQ(Open(path, id), 0u);

    struct Cap {
        DWORD Item;
        DWORD Value;
    };
    for (Cap c : {Cap{MCI_GETDEVCAPS_CAN_PLAY, 1}, Cap{MCI_GETDEVCAPS_CAN_RECORD, 0}, Cap{MCI_GETDEVCAPS_CAN_EJECT, 0},
                  Cap{MCI_GETDEVCAPS_HAS_VIDEO, 0}, Cap{MCI_GETDEVCAPS_DEVICE_TYPE, MCI_DEVTYPE_WAVEFORM_AUDIO}}) {
        MCI_GETDEVCAPS_PARMS p{};
        p.dwItem = c.Item;
        EXPECT_EQ(mciSendCommand(id, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, reinterpret_cast<DWORD_PTR>(&p)), 0u);
        EXPECT_EQ(p.dwReturn, c.Value) << c.Item;
    }
    MCI_WHERE_PARMS where{};
    EXPECT_EQ(mciSendCommand(id, MCI_WHERE, MCI_WAIT | MCI_WHERE_SOURCE, reinterpret_cast<DWORD_PTR>(&where)),
              MCIERR_UNRECOGNIZED_COMMAND);

    EXPECT_EQ(Status(id, MCI_STATUS_LENGTH), 1000u);
    MCI_SET_PARMS set{};
    set.dwTimeFormat = MCI_FORMAT_SAMPLES;
    ASSERT_EQ(mciSendCommand(id, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&set)), 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_LENGTH), 8000u);
    set.dwTimeFormat = 3;  // frames of video: not for a wave
    EXPECT_EQ(mciSendCommand(id, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&set)),
              MCIERR_BAD_TIME_FORMAT);

    MCI_SEEK_PARMS seek{};
    EXPECT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_END, reinterpret_cast<DWORD_PTR>(&seek)), 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_POSITION), 8000u);
    EXPECT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, reinterpret_cast<DWORD_PTR>(&seek)), 0u);
    EXPECT_EQ(Status(id, MCI_STATUS_POSITION), 0u);
    seek.dwTo = 8001;
    EXPECT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_TO, reinterpret_cast<DWORD_PTR>(&seek)), MCIERR_OUTOFRANGE);
    EXPECT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_TO | MCI_SEEK_TO_START, reinterpret_cast<DWORD_PTR>(&seek)),
              MCIERR_FLAGS_NOT_COMPATIBLE);

    // A play between two positions sends exactly those frames and stops at the second.
    sink.RemoveSink();
    ASSERT_EQ(PlayWait(id, MCI_FROM | MCI_TO, 100, 250), 0u);
    EXPECT_EQ(sink.ReadSink(), BytesOf(std::vector<short>(s.begin() + 200, s.begin() + 500)));
    EXPECT_EQ(Status(id, MCI_STATUS_POSITION), 250u);
    EXPECT_EQ(PlayWait(id, MCI_FROM | MCI_TO, 300, 200), MCIERR_OUTOFRANGE);
    EXPECT_EQ(PlayWait(id, MCI_TO, 0, 9000), MCIERR_OUTOFRANGE);

    MCIERROR err = 0;
    Status(id, 99, &err);
    EXPECT_EQ(err, MCIERR_BAD_CONSTANT);
    EXPECT_EQ(mciSendCommand(id, 0x0899, MCI_WAIT, 0), MCIERR_UNRECOGNIZED_COMMAND);
    EXPECT_EQ(Close(id), 0u);
    // The device is gone with its number.
    Status(id, MCI_STATUS_MODE, &err);
    EXPECT_EQ(err, MCIERR_INVALID_DEVICE_ID);
    EXPECT_EQ(Close(id), MCIERR_INVALID_DEVICE_ID);
}

TEST(Mci, NotifyPostsTheCompletionMessageToTheCallback)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("tone.wav");
    soundtest::WriteTone(path, 6000);
    std::vector<TMessage> got;
    HWND target = AllocateHWnd([&got](TMessage& m) { got.push_back(m); });
    MCIDEVICEID id = 0;
    ASSERT_EQ(Open(path, id), 0u);

    // Without wait: the play runs on and notifies when the last frame is out.
    sink.RemoveSink();
    MCI_PLAY_PARMS p{};
    p.dwCallback = target;
    ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&p)), 0u);
    ASSERT_TRUE(soundtest::PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].Msg, MM_MCINOTIFY);
    EXPECT_EQ(got[0].WParam, MCI_NOTIFY_SUCCESSFUL);
    EXPECT_EQ(got[0].LParam, static_cast<LPARAM>(id));
    EXPECT_EQ(sink.ReadSink().size(), 6000u * 4);
    EXPECT_EQ(Status(id, MCI_STATUS_MODE), MCI_MODE_STOP);

    // With wait as well: the message is queued by the time the call returns.
    got.clear();
    MCI_SEEK_PARMS seek{};
    ASSERT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, reinterpret_cast<DWORD_PTR>(&seek)), 0u);
    ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY | MCI_WAIT, reinterpret_cast<DWORD_PTR>(&p)), 0u);
    EXPECT_TRUE(MessageQueue::Current().HasPending());
    MessageQueue::Current().ProcessPending();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].WParam, MCI_NOTIFY_SUCCESSFUL);

    // A play closed before it ends is aborted; one that ended first reports success. Either
    // way exactly one message comes, and the close neither hangs nor crashes.
    got.clear();
    ASSERT_EQ(mciSendCommand(id, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, reinterpret_cast<DWORD_PTR>(&seek)), 0u);
    ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&p)), 0u);
    EXPECT_EQ(Close(id), 0u);
    ASSERT_TRUE(soundtest::PumpUntil([&] { return !got.empty(); }));
    MessageQueue::Current().ProcessPending();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].WParam == MCI_NOTIFY_ABORTED || got[0].WParam == MCI_NOTIFY_SUCCESSFUL) << got[0].WParam;
    DeallocateHWnd(target);
}

using soundtest::kSinkBuffers;
using soundtest::SlowFifoReader;

TEST(Mci, NewCommandsEndARunningPlayWithTheirNotifications)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("long.wav");
    soundtest::WriteTone(path, 1000000);  // 4 MB: half a second at the reader's pace
    std::string fifo = dir.File("sink.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    sink.UseFifo(fifo);
    std::vector<WPARAM> codes;
    HWND target = AllocateHWnd([&codes](TMessage& m) { codes.push_back(m.WParam); });
    {
        SlowFifoReader reader(fifo);
        MCIDEVICEID id = 0;
        ASSERT_EQ(Open(path, id), 0u);
        MCI_PLAY_PARMS p{};
        p.dwCallback = target;
        ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&p)), 0u);
        ASSERT_TRUE(reader.WaitTotal(kSinkBuffers));
        EXPECT_EQ(Status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
        DWORD_PTR pos = Status(id, MCI_STATUS_POSITION);
        EXPECT_GT(pos, 0u);
        EXPECT_LT(pos, Status(id, MCI_STATUS_LENGTH));

        // A play with a notification supersedes the running one's.
        p.dwFrom = 0;
        std::size_t mark = reader.Total();
        ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY | MCI_FROM, reinterpret_cast<DWORD_PTR>(&p)), 0u);
        ASSERT_TRUE(reader.WaitTotal(mark + kSinkBuffers));
        // A stop without one aborts it, and the position stays where the play was.
        ASSERT_EQ(mciSendCommand(id, MCI_STOP, MCI_WAIT, 0), 0u);
        EXPECT_EQ(Status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
        pos = Status(id, MCI_STATUS_POSITION);
        EXPECT_GT(pos, 0u);
        EXPECT_LT(pos, Status(id, MCI_STATUS_LENGTH));
        ASSERT_TRUE(soundtest::PumpUntil([&] { return codes.size() >= 2; }));
        EXPECT_EQ(codes, (std::vector<WPARAM>{MCI_NOTIFY_SUPERSEDED, MCI_NOTIFY_ABORTED}));

        // A close ends a play as well.
        codes.clear();
        mark = reader.Total();
        ASSERT_EQ(mciSendCommand(id, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&p)), 0u);
        ASSERT_TRUE(reader.WaitTotal(mark + kSinkBuffers));
        EXPECT_EQ(Close(id), 0u);
        ASSERT_TRUE(soundtest::PumpUntil([&] { return !codes.empty(); }));
        EXPECT_EQ(codes, std::vector<WPARAM>{MCI_NOTIFY_ABORTED});
    }
    DeallocateHWnd(target);
    sink.UseFileSink();
}

TEST(Mci, NoUsableOutputMakesThePlayFailWithAnError)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    std::string path = dir.File("tone.wav");
    soundtest::WriteTone(path, 100);
    MCIDEVICEID id = 0;
    ASSERT_EQ(Open(path, id), 0u);
    for (const char* config : {"pcm.!default { type hw card 31 }\n", "pcm.!default { type nosuchplugin }\n"}) {
        SCOPED_TRACE(config);
        sink.WriteConfig(config);
        MCIERROR err = PlayWait(id);
        EXPECT_NE(err, 0u);
        EXPECT_NE(ErrorText(err), "<no text>");
        EXPECT_EQ(Status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    }
    sink.UseFileSink();
    EXPECT_EQ(PlayWait(id), 0u);
    EXPECT_EQ(Close(id), 0u);
}
