// The demo catalogue's synthesis kit: tones at the catalogue's low sample rates must not fold
// their overtones back as false lower tones, and a finished buffer is mixed, faded and scaled
// as the wave files need.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Synth.h"

namespace {

using democat::Osc;

// Amplitude of one frequency in a signal (Goertzel), 1 for a full-scale sine.
double Level(const std::vector<double>& x, double freq, int rate)
{
    double w = 2 * democat::Pi * freq / rate, c = 2 * std::cos(w), s1 = 0, s2 = 0;
    for (double v : x) {
        double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / static_cast<double>(x.size());
}

struct Tone {
    std::string name;
    std::function<double(Osc&, Osc&, double, int)> wave;
    double freq;
    int rate;
    double folded;  // where an overtone above the Nyquist frequency would land
    double limit;   // largest level there, relative to the fundamental
};

void PrintTo(const Tone& t, std::ostream* os) { *os << t.name << " " << t.freq << " Hz at " << t.rate; }

class Oscillator : public testing::TestWithParam<Tone> {};

TEST_P(Oscillator, KeepsOvertonesAboveNyquistFromFoldingBack)
{
    const Tone& t = GetParam();
    Osc o, overtone;
    std::vector<double> x(static_cast<std::size_t>(t.rate));
    for (double& v : x) v = t.wave(o, overtone, t.freq, t.rate);
    double fundamental = Level(x, t.freq, t.rate);
    EXPECT_GT(fundamental, 0.3);
    EXPECT_LT(Level(x, t.folded, t.rate), t.limit * fundamental);
}

// The folded frequencies: saw 3000 Hz, third harmonic 9000 -> 11025 - 9000; square 2000 Hz,
// fifth 10000 -> 1025; triangle 1300 Hz, seventh 9100 -> 1925; a sine with an overtone at
// 6500 Hz, which must stay silent rather than sound at 4525.
INSTANTIATE_TEST_SUITE_P(
    AtLowRates, Oscillator,
    testing::Values(Tone{"saw", [](Osc& o, Osc&, double f, int r) { return o.Saw(f, r); }, 3000, 11025, 2025, 0.1},
                    Tone{"square", [](Osc& o, Osc&, double f, int r) { return o.Square(f, r); }, 2000, 11025, 1025, 0.1},
                    Tone{"triangle", [](Osc& o, Osc&, double f, int r) { return o.Triangle(f, r); }, 1300, 11025, 1925, 0.001},
                    Tone{"sine", [](Osc& o, Osc& v, double f, int r) { return o.Sine(f, r) + v.Sine(f * 5, r); }, 1300, 11025, 4525,
                         0.001}),
    [](const testing::TestParamInfo<Tone>& info) { return info.param.name; });

TEST(Buffer, FinishMixesDownFadesTheEndsAndScalesToThePeak)
{
    democat::Buffer b(8000, 0.5);
    for (std::size_t i = 0; i < b.Frames(); ++i) b.AddStereo(i, 1.0, 0.5);

    std::vector<double> mono = b.Finish(1, 0.8);
    ASSERT_EQ(mono.size(), b.Frames());
    EXPECT_DOUBLE_EQ(mono.front(), 0.0);
    EXPECT_DOUBLE_EQ(mono.back(), 0.0);
    EXPECT_DOUBLE_EQ(mono[mono.size() / 2], 0.8);
    EXPECT_DOUBLE_EQ(*std::max_element(mono.begin(), mono.end()), 0.8);

    std::vector<double> stereo = b.Finish(2, 0.5);
    ASSERT_EQ(stereo.size(), 2 * b.Frames());
    EXPECT_DOUBLE_EQ(stereo[0], 0.0);
    EXPECT_DOUBLE_EQ(stereo[1], 0.0);
    EXPECT_DOUBLE_EQ(stereo[stereo.size() - 2], 0.0);
    EXPECT_DOUBLE_EQ(stereo[stereo.size() - 1], 0.0);
    EXPECT_DOUBLE_EQ(stereo[b.Frames()], 0.5);       // left, mid-way
    EXPECT_DOUBLE_EQ(stereo[b.Frames() + 1], 0.25);  // right, mid-way
}

}  // namespace
