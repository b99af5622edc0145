// The wave device on a file that is still being written, and its own volume: real files, a
// writer thread as slow as a download, the ALSA file sink.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "platform/GrowingFile.h"
#include "platform/Mmsystem.h"
#include "support/SoundTestSupport.h"

using namespace kapo;
using soundtest::AlsaFileSink;
using soundtest::BytesOf;
using soundtest::TempDir;
using soundtest::Watchdog;

namespace {

MCIERROR OpenWave(const std::string& path, MCIDEVICEID& id)
{
    MCI_OPEN_PARMS p{};
    p.lpstrElementName = path.c_str();
    MCIERROR err = mciSendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&p));
    id = p.wDeviceID;
    return err;
}

MCIERROR SetVolume(MCIDEVICEID id, DWORD v)
{
    MCI_DGV_SETAUDIO_PARMS p{};
    p.dwItem = MCI_DGV_SETAUDIO_VOLUME;
    p.dwValue = v;
    return mciSendCommand(id, MCI_SETAUDIO, MCI_WAIT | MCI_DGV_SETAUDIO_ITEM | MCI_DGV_SETAUDIO_VALUE,
                          reinterpret_cast<DWORD_PTR>(&p));
}

MCIERROR PlayWait(MCIDEVICEID id)
{
    MCI_PLAY_PARMS p{};
    return mciSendCommand(id, MCI_PLAY, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&p));
}

std::vector<short> Samples(std::size_t n)
{
    std::vector<short> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<short>((i * 7919) % 60000 - 30000);
    return s;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(MciGrowingFile, PlaysTheFramesAsTheyArriveAndStopsWhereACutFileEnds)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    const int frames = 12000;  // stereo 16-bit: three of the device's reads
    const std::vector<short> samples = Samples(frames * 2);
    soundtest::WriteWave(dir.File("whole.wav"), SF_FORMAT_PCM_16, 2, 8000, samples);
    const std::string wave = ReadAll(dir.File("whole.wav"));
    const std::size_t header = wave.size() - samples.size() * 2;

    const struct Row {
        const char* name;
        std::size_t upTo;  // bytes the writer gets to write
        bool whole;
        std::size_t frames;  // frames that must reach the sink, in order
    } rows[] = {
        {"whole, slower than the player", wave.size(), true, frames},
        {"cut in the middle of a frame", header + 20001, false, 5000},
        {"cut right after the first bytes of frames", header + 400, false, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = dir.File("growing.wav");
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::shared_ptr<TGrowingFile> growth = TGrowingFile::Begin(path);
        auto write = [&](std::size_t from, std::size_t to) {
            ASSERT_EQ(::write(fd, wave.data() + from, to - from), static_cast<ssize_t>(to - from));
            growth->Grew(to);
        };
        // The header and a few frames are there when the device opens the file.
        const std::size_t first = header + 256;
        write(0, first);
        MCIDEVICEID id = 0;
        ASSERT_EQ(OpenWave(path, id), 0u);
        MCI_STATUS_PARMS length{};
        length.dwItem = MCI_STATUS_LENGTH;
        ASSERT_EQ(mciSendCommand(id, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&length)), 0u);
        EXPECT_EQ(length.dwReturn, static_cast<DWORD_PTR>(frames) * 1000 / 8000) << "the length the header declares";
        // The rest comes in pieces with pauses: the player, which keeps no time into the
        // sink, catches up after every piece and has to wait.
        std::thread writer([&] {
            for (std::size_t at = first; at < r.upTo;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
                std::size_t next = std::min(r.upTo, at + 3001);
                write(at, next);
                at = next;
            }
            growth->End(r.whole);
        });
        sink.RemoveSink();
        EXPECT_EQ(PlayWait(id), 0u);
        writer.join();
        const std::string got = sink.ReadSink();
        EXPECT_EQ(got.size(), r.frames * 4);
        EXPECT_TRUE(got == BytesOf(samples).substr(0, r.frames * 4)) << "frames differ or are out of order";
        EXPECT_EQ(mciSendCommand(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
        ::close(fd);
        growth.reset();
        EXPECT_EQ(TGrowingFile::Find(path), nullptr);
    }
}

TEST(MciGrowingFile, AStopEndsAPlayThatWaitsForBytes)
{
    AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    const std::vector<short> samples = Samples(8000 * 2);
    soundtest::WriteWave(dir.File("whole.wav"), SF_FORMAT_PCM_16, 2, 8000, samples);
    const std::string wave = ReadAll(dir.File("whole.wav"));
    const std::string path = dir.File("growing.wav");
    std::shared_ptr<TGrowingFile> growth = TGrowingFile::Begin(path);
    {
        std::ofstream(path, std::ios::binary) << wave.substr(0, 1000);
    }
    growth->Grew(1000);
    for (UINT command : {MCI_STOP, MCI_CLOSE}) {
        SCOPED_TRACE(command);
        MCIDEVICEID id = 0;
        ASSERT_EQ(OpenWave(path, id), 0u);
        MCI_PLAY_PARMS p{};
        ASSERT_EQ(mciSendCommand(id, MCI_PLAY, 0, reinterpret_cast<DWORD_PTR>(&p)), 0u);
        // The writer never comes back; the command must not wait for it.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(mciSendCommand(id, command, MCI_WAIT, 0), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        if (command == MCI_STOP) {
            EXPECT_EQ(mciSendCommand(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
        }
    }
}

TEST(MciVolume, TheDeviceScalesItsSamplesAndLeavesThemAloneAtFull)
{
    AlsaFileSink& sink = AlsaFileSink::Instance();
    Watchdog dog;
    TempDir dir;
    const std::vector<short> samples = Samples(3000 * 2);
    soundtest::WriteWave(dir.File("tone.wav"), SF_FORMAT_PCM_16, 2, 8000, samples);
    const struct Row {
        DWORD volume;
        MCIERROR answer;
        DWORD heard;  // the level the samples reach the sink at
    } rows[] = {{1000, 0, 1000}, {500, 0, 500}, {0, 0, 0}, {1001, MCIERR_OUTOFRANGE, 1000}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.volume);
        MCIDEVICEID id = 0;
        ASSERT_EQ(OpenWave(dir.File("tone.wav"), id), 0u);
        EXPECT_EQ(SetVolume(id, r.volume), r.answer);
        sink.RemoveSink();
        ASSERT_EQ(PlayWait(id), 0u);
        std::vector<short> expected = samples;
        for (short& s : expected) s = static_cast<short>(s * static_cast<int>(r.heard) / 1000);
        EXPECT_TRUE(sink.ReadSink() == BytesOf(expected));
        EXPECT_EQ(mciSendCommand(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
    }
}

TEST(WaveLayout, TellsWhereTheFramesLieAndWhetherTheyCanBeReadAsTheyArrive)
{
    TempDir dir;
    soundtest::WriteWave(dir.File("s16.wav"), SF_FORMAT_PCM_16, 2, 44100, Samples(200));
    soundtest::WriteWave(dir.File("adpcm.wav"), SF_FORMAT_IMA_ADPCM, 1, 8000, Samples(2000));
    const std::string s16 = ReadAll(dir.File("s16.wav"));
    const std::string adpcm = ReadAll(dir.File("adpcm.wav"));
    std::string zeroSize = s16;
    zeroSize.replace(40, 4, std::string(4, '\0'));  // a writer that did not know the length
    const struct Row {
        const char* name;
        std::string bytes;
        bool complete, streamable;
        std::uint64_t dataSize;
    } rows[] = {
        {"nothing yet", "", false, false, 0},
        {"half the RIFF mark", "RI", false, false, 0},
        {"an error page", "<html>", true, false, 0},
        {"RIFF but not WAVE", std::string("RIFF\x10\0\0\0AVI LIST", 16), true, false, 0},
        {"header cut in the format chunk", s16.substr(0, 30), false, false, 0},
        {"header up to the frames", s16.substr(0, 44), true, true, 400},
        {"whole file", s16, true, true, 400},
        {"data size unknown", zeroSize, true, false, 0},
        {"compressed frames", adpcm, true, false, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TWaveLayout w = ReadWaveLayout(r.bytes.data(), r.bytes.size());
        EXPECT_EQ(w.Complete, r.complete);
        EXPECT_EQ(w.Streamable, r.streamable);
        if (r.streamable) {
            EXPECT_EQ(w.DataOffset, 44u);
            EXPECT_EQ(w.DataSize, r.dataSize);
            EXPECT_EQ(w.Channels, 2u);
            EXPECT_EQ(w.SampleRate, 44100u);
            EXPECT_EQ(w.BlockAlign, 4u);
        }
    }
}
