// Damaged wave files given to the wave device: each is refused with a known error or opens
// and plays what can be read; none crashes or hangs (the suite runs under the sanitizers).
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/Mmsystem.h"
#include "support/SoundTestSupport.h"

using namespace kapo;
using soundtest::AlsaFileSink;
using soundtest::TempDir;
using soundtest::Watchdog;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Opens, asks for the length, plays with wait and closes; every answer must be 0 or a code
// with a text.
void Exercise(const std::string& path, int& opened)
{
    MCI_OPEN_PARMS op{};
    op.lpstrElementName = path.c_str();
    MCIERROR err = mciSendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&op));
    char text[128];
    if (err != 0) {
        EXPECT_TRUE(mciGetErrorString(err, text, sizeof text)) << err;
        return;
    }
    ++opened;
    MCI_STATUS_PARMS st{};
    st.dwItem = MCI_STATUS_LENGTH;
    EXPECT_EQ(mciSendCommand(op.wDeviceID, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&st)), 0u);
    MCI_PLAY_PARMS pp{};
    err = mciSendCommand(op.wDeviceID, MCI_PLAY, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&pp));
    if (err != 0) {
        EXPECT_TRUE(mciGetErrorString(err, text, sizeof text)) << err;
    }
    EXPECT_EQ(mciSendCommand(op.wDeviceID, MCI_CLOSE, MCI_WAIT, 0), 0u);
}

}  // namespace

TEST(MciFuzz, TruncatedAndBitFlippedWavesAreRefusedOrPlayed)
{
    AlsaFileSink::Instance();
    Watchdog dog(240000);
    TempDir dir;
    std::vector<std::string> seeds;
    for (int sub : {SF_FORMAT_PCM_16, SF_FORMAT_IMA_ADPCM, SF_FORMAT_MS_ADPCM, SF_FORMAT_FLOAT, SF_FORMAT_ULAW}) {
        std::string path = dir.File("seed.wav");
        std::vector<short> s(600 * 2);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 2654435761u) >> 16);
        soundtest::WriteWave(path, sub, 2, 11025, s);
        seeds.push_back(ReadFile(path));
    }

    std::mt19937 rng(20240611);
    std::string path = dir.File("damaged.wav");
    int variants = 0, opened = 0;
    for (const std::string& seed : seeds) {
        // Cut inside the header, at its edges, and through the data.
        for (std::size_t cut : {0ul, 3ul, 4ul, 11ul, 12ul, 16ul, 20ul, 35ul, 36ul, 40ul, 43ul, 44ul, 45ul, 47ul, 60ul, 100ul,
                                seed.size() / 2, seed.size() - 1}) {
            WriteFile(path, seed.substr(0, std::min(cut, seed.size())));
            Exercise(path, opened);
            ++variants;
        }
        // Flip bits, mostly in the header where the reader makes its decisions.
        for (int i = 0; i < 50; ++i) {
            std::string bytes = seed;
            int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f) {
                std::size_t at = (rng() % 4 != 0) ? rng() % std::min<std::size_t>(96, bytes.size()) : rng() % bytes.size();
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
            }
            WriteFile(path, bytes);
            Exercise(path, opened);
            ++variants;
        }
    }
    EXPECT_EQ(variants, 340);
    // Some damage leaves a playable file; the test must have played some of those.
    EXPECT_GT(opened, 0);
    EXPECT_LT(opened, variants);
}
