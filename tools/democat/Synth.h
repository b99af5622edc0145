// A small sound-synthesis kit for the demo catalogue: a seeded generator, a stereo buffer,
// oscillators, filters and envelopes. Everything is computed from the seed alone, so the same
// program writes the same samples on every run.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace democat {

constexpr double Pi = 3.14159265358979323846;

// splitmix64: the standard library's distributions may differ between implementations, this
// does not.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : FState(seed) {}
    std::uint64_t Next();
    double Uniform();                        // [0, 1)
    double Bipolar() { return Uniform() * 2 - 1; }
    double Range(double lo, double hi) { return lo + (hi - lo) * Uniform(); }

private:
    std::uint64_t FState;
};

// Seed derived from a text (FNV-1a), so a sound keeps its samples when others are added.
std::uint64_t SeedOf(const char* text);

// Two channels at one rate; mono output averages them.
class Buffer {
public:
    Buffer(int rate, double seconds);
    int Rate() const { return FRate; }
    std::size_t Frames() const { return FLeft.size(); }
    double Seconds() const { return static_cast<double>(Frames()) / FRate; }
    // pan -1 (left) .. +1 (right), equal power.
    void Add(std::size_t frame, double v, double pan = 0);
    void AddStereo(std::size_t frame, double left, double right);
    // Adds another buffer of the same rate, starting at `at` seconds.
    void Mix(const Buffer& other, double at, double gain = 1);
    const std::vector<double>& Left() const { return FLeft; }
    const std::vector<double>& Right() const { return FRight; }
    // The samples interleaved for 1 or 2 channels (1: the average of both), with short fades
    // against clicks, scaled so that the loudest sample reaches peak.
    std::vector<double> Finish(int channels, double peak) const;

private:
    int FRate;
    std::vector<double> FLeft, FRight;
};

// RBJ biquad; coefficients may be changed per sample for sweeps.
class Biquad {
public:
    enum Kind { LowPass, HighPass, BandPass };
    void Set(Kind kind, double freq, double q, int rate);
    double Process(double x);

private:
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

class OnePole {
public:
    void Set(double freq, int rate) { FA = std::exp(-2 * Pi * freq / rate); }
    double Process(double x) { FY = x + FA * (FY - x); return FY; }

private:
    double FA = 0, FY = 0;
};

// Phase accumulator; frequency may change every sample. Saw and square have their steps
// smoothed (polyBLEP) and the triangle is built from its odd harmonics below the Nyquist
// frequency, so that high notes at the low sample rates do not fold back as false tones.
class Osc {
public:
    explicit Osc(double phase = 0) : FPhase(phase) {}
    // Silent above the Nyquist frequency, where it would sound as a false lower tone.
    double Sine(double freq, int rate) { double p = Step(freq, rate); return freq < rate * 0.48 ? std::sin(2 * Pi * p) : 0; }
    double Saw(double freq, int rate);
    double Square(double freq, int rate, double duty = 0.5);
    double Triangle(double freq, int rate);

private:
    double Step(double freq, int rate);
    double FPhase;
};

// Plucked string (Karplus-Strong) of one pitch.
class Pluck {
public:
    Pluck(double freq, int rate, double damping, Rng& rng);
    double Next();

private:
    std::vector<double> FLine;
    std::size_t FPos = 0;
    double FDamping;
};

// Vowel formants: a source through three band-passes at a vowel's resonances.
class Formants {
public:
    static constexpr int Count = 3;
    void SetVowel(char vowel, int rate, double shift = 1);
    void SetMix(char from, char to, double t, int rate, double shift = 1);
    double Process(double x);

private:
    Biquad FBand[Count];
    double FGain[Count] = {};
};

double Mtof(double midi);                    // MIDI note number to Hz
double Ramp(double t, double t0, double v0, double t1, double v1);  // linear, held outside
double Glide(double t, double t0, double f0, double t1, double f1); // exponential, held outside
// Attack-decay envelope: rises in attack seconds, then falls by e every tau seconds.
double Hit(double t, double attack, double tau);
// Attack, hold at 1, release to 0 by length.
double Swell(double t, double attack, double release, double length);

}  // namespace democat
