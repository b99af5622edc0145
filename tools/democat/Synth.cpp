#include "Synth.h"

#include <algorithm>

namespace democat {

std::uint64_t Rng::Next()
{
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

std::uint64_t SeedOf(const char* text)
{
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (const char* p = text; *p; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 0x100000001B3ull;
    }
    return h;
}

Buffer::Buffer(int rate, double seconds)
    : FRate(rate), FLeft(static_cast<std::size_t>(seconds * rate)), FRight(FLeft.size())
{
}

void Buffer::Add(std::size_t frame, double v, double pan)
{
    if (frame >= FLeft.size()) return;
    double a = (pan + 1) * Pi / 4;
    FLeft[frame] += v * std::cos(a) * std::sqrt(2.0);
    FRight[frame] += v * std::sin(a) * std::sqrt(2.0);
}

void Buffer::AddStereo(std::size_t frame, double left, double right)
{
    if (frame >= FLeft.size()) return;
    FLeft[frame] += left;
    FRight[frame] += right;
}

void Buffer::Mix(const Buffer& other, double at, double gain)
{
    std::size_t from = static_cast<std::size_t>(at * FRate);
    for (std::size_t i = 0; i < other.Frames() && from + i < Frames(); ++i) {
        FLeft[from + i] += gain * other.FLeft[i];
        FRight[from + i] += gain * other.FRight[i];
    }
}

std::vector<double> Buffer::Finish(int channels, double peak) const
{
    std::size_t n = FLeft.size();
    std::vector<double> out(n * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < n; ++i) {
        if (channels == 1) {
            out[i] = (FLeft[i] + FRight[i]) / 2;
        } else {
            out[2 * i] = FLeft[i];
            out[2 * i + 1] = FRight[i];
        }
    }
    std::size_t fade = std::min<std::size_t>(n / 4, static_cast<std::size_t>(FRate * 0.004)) * static_cast<std::size_t>(channels);
    std::size_t m = out.size();
    for (std::size_t i = 0; i < fade; ++i) {
        double g = static_cast<double>(i / static_cast<std::size_t>(channels)) / static_cast<double>(fade / static_cast<std::size_t>(channels));
        out[i] *= g;
        out[m - 1 - i] *= g;
    }
    double top = 0;
    for (double v : out) top = std::max(top, std::fabs(v));
    if (top > 0)
        for (double& v : out) v *= peak / top;
    return out;
}

void Biquad::Set(Kind kind, double freq, double q, int rate)
{
    freq = std::clamp(freq, 10.0, rate * 0.45);
    double w = 2 * Pi * freq / rate;
    double alpha = std::sin(w) / (2 * q);
    double c = std::cos(w);
    double a0 = 1 + alpha;
    double nb0, nb1, nb2;
    switch (kind) {
    case LowPass: nb0 = (1 - c) / 2; nb1 = 1 - c; nb2 = (1 - c) / 2; break;
    case HighPass: nb0 = (1 + c) / 2; nb1 = -(1 + c); nb2 = (1 + c) / 2; break;
    default: nb0 = alpha; nb1 = 0; nb2 = -alpha; break;
    }
    b0 = nb0 / a0; b1 = nb1 / a0; b2 = nb2 / a0;
    a1 = -2 * c / a0; a2 = (1 - alpha) / a0;
}

double Biquad::Process(double x)
{
    double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1; x1 = x;
    y2 = y1; y1 = y;
    return y;
}

double Osc::Step(double freq, int rate)
{
    double p = FPhase;
    FPhase += freq / rate;
    FPhase -= std::floor(FPhase);
    return p;
}

namespace {

// Correction of a unit step at phase 0 for an oscillator advancing dt per sample.
double Blep(double p, double dt)
{
    if (p < dt) {
        p /= dt;
        return p + p - p * p - 1;
    }
    if (p > 1 - dt) {
        p = (p - 1) / dt;
        return p * p + p + p + 1;
    }
    return 0;
}

}  // namespace

double Osc::Saw(double freq, int rate)
{
    double dt = std::min(0.5, freq / rate);
    double p = Step(freq, rate);
    return 2 * p - 1 - Blep(p, dt);
}

double Osc::Square(double freq, int rate, double duty)
{
    double dt = std::min(0.5, freq / rate);
    double p = Step(freq, rate);
    double q = p + 1 - duty;
    q -= std::floor(q);
    return (p < duty ? 1 : -1) + Blep(p, dt) - Blep(q, dt);
}

double Osc::Triangle(double freq, int rate)
{
    double p = Step(freq, rate);
    double v = 0;
    for (int k = 1, sign = 1; k <= 9 && k * freq < rate * 0.45; k += 2, sign = -sign)
        v += sign * std::sin(2 * Pi * k * p) / (k * k);
    return v * 8 / (Pi * Pi);
}

Pluck::Pluck(double freq, int rate, double damping, Rng& rng)
    : FLine(std::max<std::size_t>(2, static_cast<std::size_t>(rate / freq))), FDamping(damping)
{
    for (double& v : FLine) v = rng.Bipolar();
}

double Pluck::Next()
{
    std::size_t next = (FPos + 1) % FLine.size();
    double out = FLine[FPos];
    FLine[FPos] = FDamping * 0.5 * (FLine[FPos] + FLine[next]);
    FPos = next;
    return out;
}

namespace {

struct Vowel {
    char name;
    double f[Formants::Count];
    double gain[Formants::Count];
};

// Rough adult formant frequencies (Hz) and relative levels.
constexpr Vowel Vowels[] = {
    {'a', {800, 1200, 2500}, {1.0, 0.5, 0.2}},
    {'e', {480, 2000, 2700}, {1.0, 0.35, 0.2}},
    {'i', {300, 2300, 3000}, {1.0, 0.25, 0.2}},
    {'o', {500, 850, 2500}, {1.0, 0.45, 0.1}},
    {'u', {330, 750, 2400}, {1.0, 0.3, 0.08}},
};

const Vowel& Find(char v)
{
    for (const Vowel& w : Vowels)
        if (w.name == v) return w;
    return Vowels[0];
}

}  // namespace

void Formants::SetVowel(char vowel, int rate, double shift) { SetMix(vowel, vowel, 0, rate, shift); }

void Formants::SetMix(char from, char to, double t, int rate, double shift)
{
    const Vowel& a = Find(from);
    const Vowel& b = Find(to);
    for (int i = 0; i < Count; ++i) {
        double f = (a.f[i] + (b.f[i] - a.f[i]) * t) * shift;
        FBand[i].Set(Biquad::BandPass, f, 6 + 2 * i, rate);
        FGain[i] = a.gain[i] + (b.gain[i] - a.gain[i]) * t;
    }
}

double Formants::Process(double x)
{
    double y = 0;
    for (int i = 0; i < Count; ++i) y += FGain[i] * FBand[i].Process(x);
    return y;
}

double Mtof(double midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12); }

double Ramp(double t, double t0, double v0, double t1, double v1)
{
    if (t <= t0) return v0;
    if (t >= t1) return v1;
    return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
}

double Glide(double t, double t0, double f0, double t1, double f1)
{
    if (t <= t0) return f0;
    if (t >= t1) return f1;
    return f0 * std::pow(f1 / f0, (t - t0) / (t1 - t0));
}

double Hit(double t, double attack, double tau)
{
    if (t < 0) return 0;
    if (t < attack) return t / attack;
    return std::exp(-(t - attack) / tau);
}

double Swell(double t, double attack, double release, double length)
{
    if (t < 0 || t > length) return 0;
    double a = attack > 0 ? std::min(1.0, t / attack) : 1;
    double r = release > 0 ? std::min(1.0, (length - t) / release) : 1;
    return std::min(a, r);
}

}  // namespace democat
