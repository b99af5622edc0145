#include "Sounds.h"

#include <algorithm>
#include <cmath>

namespace democat {

namespace {

std::size_t FrameAt(const Buffer& b, double t) { return t <= 0 ? 0 : static_cast<std::size_t>(t * b.Rate()); }

// Frames from t0 for dur seconds, clipped to the buffer.
struct Span {
    std::size_t from, to;
};

Span SpanOf(const Buffer& b, double t0, double dur)
{
    std::size_t from = std::min(FrameAt(b, t0), b.Frames());
    std::size_t to = std::min(FrameAt(b, t0 + dur), b.Frames());
    return {from, std::max(from, to)};
}

// A struck or plucked tone: additive partials, each with its own decay.
void Partials(Buffer& b, double t0, double freq, const double* ratio, const double* amp, const double* tau, int n,
              double gain, double pan)
{
    Span s = SpanOf(b, t0, b.Seconds());
    int R = b.Rate();
    std::vector<Osc> osc(static_cast<std::size_t>(n));
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / R;
        double v = 0;
        for (int k = 0; k < n; ++k) {
            double f = freq * ratio[k];
            if (f >= R * 0.45) continue;
            double e = std::exp(-t / tau[k]);
            if (e < 1e-4) continue;
            v += amp[k] * e * osc[static_cast<std::size_t>(k)].Sine(f, R);
        }
        b.Add(i, gain * v * std::min(1.0, t / 0.002), pan);
    }
}

// Noise through a band-pass, with a per-sample envelope.
template <class Env>
void NoiseBand(Buffer& b, Rng& rng, double t0, double dur, double freq, double q, double gain, double pan, Env env)
{
    Span s = SpanOf(b, t0, dur);
    Biquad f;
    f.Set(Biquad::BandPass, freq, q, b.Rate());
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / b.Rate();
        b.Add(i, gain * env(t) * f.Process(rng.Bipolar()), pan);
    }
}

}  // namespace

void Note(Buffer& b, Rng& rng, Instrument ins, double t0, double dur, double freq, double gain, double pan)
{
    int R = b.Rate();
    switch (ins) {
    case Instrument::Piano: {
        double ratio[10], amp[10], tau[10];
        double len = std::clamp(2.5 * 261.6 / freq, 0.4, 3.0);
        for (int k = 0; k < 10; ++k) {
            int n = k + 1;
            ratio[k] = n * std::sqrt(1 + 0.0004 * n * n);
            amp[k] = 1.0 / std::pow(n, 1.3);
            tau[k] = len / (1 + 0.5 * k);
        }
        Partials(b, t0, freq, ratio, amp, tau, 10, gain * 0.5, pan);
        NoiseBand(b, rng, t0, 0.01, 2500, 1, gain * 0.1, pan, [](double t) { return std::exp(-t / 0.002); });
        return;
    }
    case Instrument::Marimba: {
        const double ratio[] = {1, 3.93, 9.2};
        const double amp[] = {1, 0.3, 0.1};
        double tau[] = {0.35, 0.08, 0.02};
        Partials(b, t0, freq, ratio, amp, tau, 3, gain * 0.7, pan);
        return;
    }
    case Instrument::Guitar:
    case Instrument::Harp: {
        Pluck p(freq, R, ins == Instrument::Harp ? 0.998 : 0.996, rng);
        Span s = SpanOf(b, t0, b.Seconds());
        OnePole body;
        body.Set(ins == Instrument::Harp ? 5000 : 3000, R);
        for (std::size_t i = s.from; i < s.to; ++i) b.Add(i, gain * 0.6 * body.Process(p.Next()), pan);
        return;
    }
    default: break;
    }
    // Sustained instruments: held for dur, with their own attack and release.
    double attack = 0.02, release = 0.06, vibrato = 0;
    switch (ins) {
    case Instrument::Flute: attack = 0.06; release = 0.08; vibrato = 0.006; break;
    case Instrument::Violin: case Instrument::Cello: attack = 0.12; release = 0.15; vibrato = 0.008; break;
    case Instrument::Brass: attack = 0.05; release = 0.08; break;
    case Instrument::Pad: attack = 0.3; release = 0.5; vibrato = 0.002; break;
    case Instrument::Whistle: attack = 0.03; release = 0.05; vibrato = 0.01; break;
    case Instrument::Chip: attack = 0.002; release = 0.01; break;
    default: break;
    }
    double total = dur + release;
    Span s = SpanOf(b, t0, total);
    Osc o1, o2(0.25), o3(0.5), o4(0.75), lfo;
    Biquad lp, breath;
    breath.Set(Biquad::BandPass, std::min(freq * 2, R * 0.4), 2, R);
    lp.Set(Biquad::LowPass, ins == Instrument::Cello ? 1800 : 3500, 0.7, R);
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / R;
        double env = Swell(t, attack, release, total);
        double f = freq * (1 + vibrato * lfo.Sine(5.5, R) * std::min(1.0, t / 0.3));
        double v = 0;
        switch (ins) {
        case Instrument::Organ:
            v = o1.Sine(f, R) + 0.5 * o2.Sine(2 * f, R) + 0.3 * o3.Sine(3 * f, R) + 0.2 * o4.Sine(4 * f, R);
            v *= 0.5 * (1 + 0.1 * std::sin(2 * Pi * 6.5 * t));
            break;
        case Instrument::Flute:
        case Instrument::Whistle:
            v = o1.Sine(f, R) + (ins == Instrument::Flute ? 0.15 * o2.Sine(2 * f, R) : 0) +
                (ins == Instrument::Flute ? 0.25 : 0.08) * breath.Process(rng.Bipolar());
            break;
        case Instrument::Clarinet: v = lp.Process(o1.Square(f, R)) * 0.7; break;
        case Instrument::Brass: {
            lp.Set(Biquad::LowPass, 400 + 4000 * env * std::min(1.0, t / 0.08), 1.2, R);
            v = lp.Process(o1.Saw(f, R));
            break;
        }
        case Instrument::Violin:
        case Instrument::Cello: v = lp.Process(o1.Saw(f, R) + 0.05 * rng.Bipolar()); break;
        case Instrument::Chip: v = 0.5 * o1.Square(f, R, 0.25) * std::exp(-t / std::max(0.05, dur)); break;
        case Instrument::Pad: v = 0.4 * (o1.Saw(f * 1.003, R) + o2.Saw(f * 0.997, R)); v = lp.Process(v); break;
        default: v = o1.Sine(f, R); break;
        }
        b.Add(i, gain * env * v, pan);
    }
}

void Melody(Buffer& b, Rng& rng, Instrument ins, const std::vector<int>& notes, double step, double pan)
{
    double t = 0;
    for (int n : notes) {
        if (n >= 0) Note(b, rng, ins, t, step * 0.92, Mtof(n), 1, pan);
        t += step;
    }
}

void Chord(Buffer& b, Rng& rng, Instrument ins, const std::vector<int>& notes, double strum)
{
    double hold = b.Seconds() * 0.8;
    for (std::size_t k = 0; k < notes.size(); ++k) {
        double pan = notes.size() > 1 ? -0.6 + 1.2 * static_cast<double>(k) / static_cast<double>(notes.size() - 1) : 0;
        double t0 = strum * static_cast<double>(k);
        Note(b, rng, ins, t0, hold - t0, Mtof(notes[k]), 1.0 / std::sqrt(static_cast<double>(notes.size())), pan);
    }
}

void Drum(Buffer& b, Rng& rng, char kind, double t0, double gain, double pan, double pitch)
{
    int R = b.Rate();
    auto tone = [&](double f0, double f1, double drop, double tau, double g) {
        Span s = SpanOf(b, t0, tau * 7);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = f1 + (f0 - f1) * std::exp(-t / drop);
            b.Add(i, gain * g * Hit(t, 0.001, tau) * o.Sine(f * pitch, R), pan);
        }
    };
    auto noise = [&](double freq, double q, double tau, double g) {
        NoiseBand(b, rng, t0, tau * 7, freq * pitch, q, gain * g, pan, [tau](double t) { return Hit(t, 0.001, tau); });
    };
    switch (kind) {
    case 'k': tone(160, 48, 0.03, 0.18, 1.0); noise(3000, 1, 0.004, 0.3); break;
    case 'g': tone(90, 55, 0.05, 0.45, 1.0); noise(600, 1, 0.01, 0.3); break;
    case 's': tone(220, 180, 0.02, 0.06, 0.4); noise(2500, 0.8, 0.08, 1.0); break;
    case 'r': tone(500, 420, 0.01, 0.02, 0.5); noise(3500, 3, 0.015, 0.8); break;
    case 'h': noise(8500, 1.5, 0.025, 0.6); break;
    case 'o': noise(8000, 1.2, 0.18, 0.5); break;
    case 'm': NoiseBand(b, rng, t0, 0.12, 6000 * pitch, 1.5, gain * 0.5, pan, [](double t) { return Swell(t, 0.04, 0.07, 0.12); }); break;
    case 't': tone(260, 150, 0.06, 0.22, 0.9); noise(1200, 1, 0.01, 0.2); break;
    case 'w': tone(1000, 950, 0.01, 0.035, 0.9); break;
    case 'c':
        for (int k = 0; k < 3; ++k)
            NoiseBand(b, rng, t0 + 0.011 * k, 0.2, 1300 * pitch, 1.5, gain * 0.8, pan,
                      [k](double t) { return Hit(t, 0.001, k == 2 ? 0.06 : 0.008); });
        break;
    case 'b': {
        Span s = SpanOf(b, t0, 0.5);
        Osc a, c;
        Biquad bp;
        bp.Set(Biquad::BandPass, 2600 * pitch, 1, R);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            b.Add(i, gain * 0.6 * Hit(t, 0.001, 0.08) * bp.Process(a.Square(540 * pitch, R) + c.Square(800 * pitch, R)), pan);
        }
        break;
    }
    default: break;
    }
}

void Rhythm(Buffer& b, Rng& rng, const std::string& pattern, double step)
{
    std::string p;
    for (char c : pattern)
        if (c != '|') p += c;
    if (p.empty()) return;
    std::size_t steps = static_cast<std::size_t>(b.Seconds() / step);
    for (std::size_t k = 0; k < steps; ++k) {
        char c = p[k % p.size()];
        if (c == '.') continue;
        double accent = (k % 4 == 0) ? 1.0 : 0.75;
        double pan = (c == 'h' || c == 'o' || c == 'm') ? 0.35 : (c == 'b' || c == 'w' || c == 't') ? -0.35 : 0;
        // A little human looseness in time and force.
        Drum(b, rng, c, k * step + rng.Range(0, 0.004), accent * rng.Range(0.85, 1.0), pan);
    }
}

// ---- Animals

void Bark(Buffer& b, Rng& rng, double pitch, int count, double spacing)
{
    int R = b.Rate();
    double len = 0.16 * 300 / pitch + 0.05;
    for (int n = 0; n < count; ++n) {
        double t0 = 0.02 + n * spacing + rng.Range(0, 0.03);
        Span s = SpanOf(b, t0, len);
        Osc o;
        Formants form;
        double p = pitch * rng.Range(0.93, 1.07);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = t < len * 0.25 ? Glide(t, 0, p * 1.5, len * 0.25, p * 1.2) : Glide(t, len * 0.25, p * 1.2, len, p * 0.7);
            form.SetMix('a', 'o', t / len, R, std::clamp(pitch / 320, 0.6, 1.5));
            double src = 0.7 * o.Saw(f, R) + 0.6 * rng.Bipolar();
            b.Add(i, Hit(t, 0.006, len * 0.35) * form.Process(src), 0);
        }
    }
}

void Growl(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    Osc o;
    Formants form;
    form.SetVowel('u', R, 0.7);
    double rough = 0;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        rough = 0.995 * rough + 0.05 * rng.Bipolar();
        double f = pitch * (1 + 0.08 * std::sin(2 * Pi * 1.3 * t)) * (1 + rough);
        double am = 0.6 + 0.4 * std::sin(2 * Pi * 27 * t);
        double v = form.Process(o.Saw(f, R) * am + 0.3 * rng.Bipolar());
        b.Add(i, Swell(t, 0.15, 0.3, b.Seconds()) * v);
    }
}

void Meow(Buffer& b, Rng& rng, double pitch, double length)
{
    int R = b.Rate();
    Span s = SpanOf(b, 0.03, length);
    Osc o, vib;
    Formants form;
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / R;
        double x = t / length;
        double f = x < 0.35 ? Glide(x, 0, pitch * 0.85, 0.35, pitch * 1.3) : Glide(x, 0.35, pitch * 1.3, 1, pitch * 0.75);
        f *= 1 + 0.015 * vib.Sine(6, R);
        if (x < 0.4)
            form.SetMix('i', 'a', x / 0.4, R, 1.5);
        else
            form.SetMix('a', 'u', (x - 0.4) / 0.6, R, 1.5);
        double v = form.Process(o.Saw(f, R) + 0.1 * rng.Bipolar());
        b.Add(i, Swell(t, 0.06, length * 0.35, length) * v);
    }
}

void Purr(Buffer& b, Rng& rng, double rate)
{
    int R = b.Rate();
    Biquad lp;
    lp.Set(Biquad::LowPass, 350, 1, R);
    Osc o;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        // In on the breath in, out on the breath out: two slightly different rates.
        double breath = std::fmod(t, 1.6) < 0.9 ? 1.0 : 0.8;
        double pulse = std::pow(0.5 + 0.5 * o.Sine(rate * breath, R), 4);
        b.Add(i, Swell(t, 0.2, 0.3, b.Seconds()) * lp.Process(pulse * rng.Bipolar()));
    }
}

void Hiss(Buffer& b, Rng& rng)
{
    Biquad hp;
    hp.Set(Biquad::HighPass, 2500, 0.7, b.Rate());
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / b.Rate();
        b.Add(i, Swell(t, 0.05, 0.4, b.Seconds()) * hp.Process(rng.Bipolar()));
    }
}

void Chirps(Buffer& b, Rng& rng, double pitch, int count, double spacing)
{
    int R = b.Rate();
    for (int n = 0; n < count; ++n) {
        double t0 = 0.02 + n * spacing;
        double len = spacing * rng.Range(0.45, 0.65);
        double pan = rng.Range(-0.5, 0.5);
        double p = pitch * rng.Range(0.95, 1.05);
        Span s = SpanOf(b, t0, len);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = Glide(t, 0, p * 1.6, len, p * 0.9);
            b.Add(i, std::sin(Pi * t / len) * o.Sine(f, R), pan);
        }
    }
}

void Trill(Buffer& b, Rng& rng, double pitch, double rate)
{
    int R = b.Rate();
    Osc o, lfo;
    double pan = rng.Range(-0.4, 0.4);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double l = lfo.Sine(rate, R);
        double f = pitch * (1 + 0.12 * l);
        double am = 0.5 + 0.5 * l;
        b.Add(i, Swell(t, 0.05, 0.1, b.Seconds()) * am * o.Sine(f, R), pan);
    }
}

void Birdsong(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    double t0 = 0.05;
    while (t0 < b.Seconds() - 0.15) {
        double len = rng.Range(0.05, 0.14);
        double f0 = pitch * rng.Range(0.8, 1.5), f1 = pitch * rng.Range(0.7, 1.6);
        double pan = rng.Range(-0.3, 0.3);
        Span s = SpanOf(b, t0, len);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = Glide(t, 0, f0, len, f1) * (1 + 0.03 * std::sin(2 * Pi * 60 * t));
            b.Add(i, std::sin(Pi * t / len) * o.Sine(f, R), pan);
        }
        t0 += len + rng.Range(0.02, 0.12);
    }
}

void Hoot(Buffer& b, Rng& rng, double pitch, int count)
{
    int R = b.Rate();
    double gap = b.Seconds() / count;
    for (int n = 0; n < count; ++n) {
        double len = n == count - 1 ? gap * 0.8 : gap * 0.45;
        Span s = SpanOf(b, n * gap + 0.02, len);
        Osc o;
        Biquad bp;
        bp.Set(Biquad::BandPass, pitch, 4, R);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = Glide(t, 0, pitch * 1.05, len, pitch * 0.95);
            b.Add(i, Swell(t, len * 0.3, len * 0.5, len) * (o.Sine(f, R) + 0.3 * bp.Process(rng.Bipolar())));
        }
    }
}

void Moo(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Osc o;
    Formants form;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = t / len;
        double f = x < 0.2 ? Glide(x, 0, pitch * 0.9, 0.2, pitch * 1.15) : Glide(x, 0.2, pitch * 1.15, 1, pitch * 0.85);
        if (x < 0.5)
            form.SetMix('u', 'o', x / 0.5, R, 0.7);
        else
            form.SetMix('o', 'u', (x - 0.5) / 0.5, R, 0.7);
        b.Add(i, Swell(t, 0.15, len * 0.3, len) * form.Process(o.Saw(f, R) + 0.05 * rng.Bipolar()));
    }
}

void Buzz(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    Osc o;
    Biquad bp;
    bp.Set(Biquad::BandPass, std::min(pitch * 3, R * 0.4), 1.5, R);
    double wobble = 0;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        wobble = 0.9995 * wobble + 0.0005 * rng.Bipolar() * 40;
        // Flying past: louder and higher in the middle, from one side to the other.
        double x = t / b.Seconds();
        double near = 0.3 + 0.7 * std::sin(Pi * x);
        double f = pitch * (1 + 0.03 * std::cos(Pi * x) + wobble);
        b.Add(i, near * bp.Process(o.Saw(f, R)), -0.8 + 1.6 * x);
    }
}

void Cricket(Buffer& b, Rng& rng, double pitch, double rate)
{
    int R = b.Rate();
    double period = 1.0 / rate;
    double pan = rng.Range(-0.6, 0.6);
    for (double t0 = 0.02; t0 < b.Seconds() - 0.1; t0 += period) {
        for (int k = 0; k < 3; ++k) {
            Span s = SpanOf(b, t0 + k * 0.03, 0.02);
            Osc o;
            for (std::size_t i = s.from; i < s.to; ++i) {
                double t = static_cast<double>(i - s.from) / R;
                b.Add(i, std::sin(Pi * t / 0.02) * o.Sine(std::min(pitch, R * 0.42), R), pan);
            }
        }
    }
}

void Croak(Buffer& b, Rng& rng, double pitch, int count)
{
    int R = b.Rate();
    double gap = b.Seconds() / count;
    for (int n = 0; n < count; ++n) {
        double len = gap * 0.6;
        Span s = SpanOf(b, n * gap + 0.02, len);
        Biquad bp, bp2;
        bp.Set(Biquad::BandPass, pitch, 10, R);
        bp2.Set(Biquad::BandPass, pitch * 2.6, 8, R);
        double next = 0;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double x = 0;
            if (t >= next) {
                x = 1;
                next += 1.0 / (45 + 15 * t / len);
            }
            x += 0.02 * rng.Bipolar();
            b.Add(i, Swell(t, 0.02, 0.05, len) * (bp.Process(x) + 0.4 * bp2.Process(x)));
        }
    }
}

void Neigh(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Osc o, shake;
    Formants form;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = t / len;
        // Up high, then a shaking fall.
        double f = x < 0.25 ? Glide(x, 0, pitch, 0.25, pitch * 2.2) : Glide(x, 0.25, pitch * 2.2, 1, pitch * 0.8);
        f *= 1 + 0.08 * shake.Sine(11 + 6 * x, R) * x;
        form.SetMix('i', 'e', x, R, 1.1);
        b.Add(i, Swell(t, 0.05, len * 0.3, len) * form.Process(o.Saw(f, R) + 0.25 * rng.Bipolar()));
    }
}

void Baa(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Osc o, shake;
    Formants form;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = t / len;
        double f = pitch * (1 + 0.06 * shake.Sine(7, R)) * (1 - 0.1 * x);
        form.SetMix('e', 'a', std::min(1.0, x * 3), R, 1.2);
        b.Add(i, Swell(t, 0.04, len * 0.3, len) * form.Process(o.Saw(f, R) + 0.1 * rng.Bipolar()));
    }
}

void Cluck(Buffer& b, Rng& rng, double pitch, int count)
{
    int R = b.Rate();
    double gap = b.Seconds() / count;
    for (int n = 0; n < count; ++n) {
        double len = n == count - 1 ? std::min(gap, 0.35) : 0.08;
        Span s = SpanOf(b, n * gap + rng.Range(0, gap * 0.2), len);
        Osc o;
        Formants form;
        form.SetVowel(n == count - 1 ? 'a' : 'o', R, 1.3);
        double p = pitch * (n == count - 1 ? 1.5 : 1) * rng.Range(0.95, 1.05);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double f = Glide(t, 0, p * 1.2, len, p * 0.8);
            b.Add(i, Swell(t, 0.005, len * 0.5, len) * form.Process(o.Saw(f, R) + 0.2 * rng.Bipolar()));
        }
    }
}

// ---- Nature

void Rain(Buffer& b, Rng& rng, double dropsPerSecond, double bed)
{
    int R = b.Rate();
    Biquad hpL, hpR, lpL, lpR;
    hpL.Set(Biquad::HighPass, 500, 0.7, R);
    hpR.Set(Biquad::HighPass, 500, 0.7, R);
    lpL.Set(Biquad::LowPass, 7000, 0.7, R);
    lpR.Set(Biquad::LowPass, 7000, 0.7, R);
    double len = b.Seconds();
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double e = Swell(t, 0.3, 0.4, len) * bed;
        b.AddStereo(i, e * lpL.Process(hpL.Process(rng.Bipolar())), e * lpR.Process(hpR.Process(rng.Bipolar())));
    }
    int drops = static_cast<int>(dropsPerSecond * len);
    for (int n = 0; n < drops; ++n) {
        double t0 = rng.Range(0, len - 0.03);
        double f = rng.Range(1500, 4500);
        double g = rng.Range(0.2, 1.0) * Swell(t0, 0.3, 0.4, len);
        double pan = rng.Bipolar() * 0.9;
        Span s = SpanOf(b, t0, 0.03);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            b.Add(i, g * Hit(t, 0.0005, 0.005) * o.Sine(std::min(f * (1 + 8 * t), R * 0.44), R), pan);
        }
    }
}

void Wind(Buffer& b, Rng& rng, double centre, double gustiness)
{
    int R = b.Rate();
    Biquad bpL, bpR;
    double phase = rng.Range(0, 6.28);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double gust = 0.5 + 0.3 * std::sin(0.9 * t + phase) + 0.2 * std::sin(2.3 * t + 2 * phase);
        double f = centre * (0.6 + gustiness * gust);
        if (i % 32 == 0) {
            bpL.Set(Biquad::BandPass, f, 3 + 4 * gust, R);
            bpR.Set(Biquad::BandPass, f * 1.07, 3 + 4 * gust, R);
        }
        double e = Swell(t, 0.5, 0.6, b.Seconds()) * (0.3 + 0.7 * gust);
        b.AddStereo(i, e * bpL.Process(rng.Bipolar()), e * bpR.Process(rng.Bipolar()));
    }
}

void Sea(Buffer& b, Rng& rng, double period)
{
    int R = b.Rate();
    Biquad lpL, lpR;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double w = 0.5 - 0.5 * std::cos(2 * Pi * t / period);
        double swell = std::pow(w, 2.5);
        if (i % 32 == 0) {
            lpL.Set(Biquad::LowPass, 250 + 3500 * swell, 0.7, R);
            lpR.Set(Biquad::LowPass, 280 + 3300 * swell, 0.7, R);
        }
        double e = Swell(t, 0.2, 0.3, b.Seconds()) * (0.1 + swell);
        b.AddStereo(i, e * lpL.Process(rng.Bipolar()), e * lpR.Process(rng.Bipolar()));
    }
}

void Thunder(Buffer& b, Rng& rng, double distance)
{
    int R = b.Rate();
    double len = b.Seconds();
    // Near: a sharp crack first. Far: only the rumble, and later.
    double start = 0.05 + 0.3 * distance;
    if (distance < 0.5)
        NoiseBand(b, rng, start, 0.4, 2500, 0.5, 1.5 * (1 - distance), 0, [](double t) { return Hit(t, 0.002, 0.06); });
    Biquad lp;
    lp.Set(Biquad::LowPass, 180 - 80 * distance, 0.8, R);
    double brown = 0, bump = 1, next = start;
    for (std::size_t i = FrameAt(b, start); i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        if (t >= next) {
            bump = rng.Range(0.4, 1.0);
            next = t + rng.Range(0.08, 0.3);
        }
        brown = 0.995 * brown + 0.1 * rng.Bipolar();
        double e = Hit(t - start, 0.08, (len - start) * 0.35) * bump * Swell(t, 0, 0.2, len);
        b.Add(i, 4 * e * lp.Process(brown), rng.Range(-0.1, 0.1));
    }
}

void Fire(Buffer& b, Rng& rng, double crackles)
{
    int R = b.Rate();
    Biquad lpL, lpR;
    lpL.Set(Biquad::LowPass, 400, 0.7, R);
    lpR.Set(Biquad::LowPass, 420, 0.7, R);
    double len = b.Seconds();
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double e = 0.6 * Swell(t, 0.3, 0.3, len);
        b.AddStereo(i, e * lpL.Process(rng.Bipolar()), e * lpR.Process(rng.Bipolar()));
    }
    int n = static_cast<int>(crackles * len);
    for (int k = 0; k < n; ++k) {
        double t0 = rng.Range(0.05, len - 0.05);
        double g = std::pow(rng.Uniform(), 2) * 3;
        NoiseBand(b, rng, t0, 0.02, rng.Range(1000, 4000), 2, g, rng.Bipolar() * 0.8, [](double t) { return Hit(t, 0.0003, 0.002); });
    }
}

void Stream(Buffer& b, Rng& rng, double bubbles, double pitch)
{
    int R = b.Rate();
    double len = b.Seconds();
    Biquad bpL, bpR;
    bpL.Set(Biquad::BandPass, 900, 0.8, R);
    bpR.Set(Biquad::BandPass, 1100, 0.8, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double e = 0.25 * Swell(t, 0.3, 0.3, len);
        b.AddStereo(i, e * bpL.Process(rng.Bipolar()), e * bpR.Process(rng.Bipolar()));
    }
    int n = static_cast<int>(bubbles * len);
    for (int k = 0; k < n; ++k) {
        double t0 = rng.Range(0.02, len - 0.06);
        double f = pitch * rng.Range(0.6, 1.8);
        double d = rng.Range(0.015, 0.05);
        double g = rng.Range(0.2, 0.7) * Swell(t0, 0.3, 0.3, len);
        double pan = rng.Bipolar() * 0.8;
        Span s = SpanOf(b, t0, d);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            b.Add(i, g * std::sin(Pi * t / d) * o.Sine(std::min(Glide(t, 0, f, d, f * 1.8), R * 0.44), R), pan);
        }
    }
}

// ---- Town

void Horn(Buffer& b, Rng& rng, double pitch, int count, double length)
{
    int R = b.Rate();
    for (int n = 0; n < count; ++n) {
        double t0 = 0.02 + n * (length + 0.12);
        Span s = SpanOf(b, t0, length);
        Osc a, c;
        Biquad lp;
        lp.Set(Biquad::LowPass, 2500, 1, R);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double v = lp.Process(a.Square(pitch, R) + c.Square(pitch * 1.26, R));
            b.Add(i, Swell(t, 0.01, 0.03, length) * v);
        }
    }
}

void Engine(Buffer& b, Rng& rng, double idle, double rev)
{
    int R = b.Rate();
    double len = b.Seconds();
    Osc o, o2;
    Biquad lp;
    lp.Set(Biquad::LowPass, 600, 1.5, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = t / len;
        double f = x < 0.3 ? idle : x < 0.6 ? Glide(x, 0.3, idle, 0.6, rev) : Glide(x, 0.6, rev, 1, idle * 1.1);
        double v = o.Saw(f, R) + 0.6 * o2.Square(f * 0.5, R) + 0.3 * rng.Bipolar();
        b.Add(i, Swell(t, 0.1, 0.2, len) * lp.Process(v));
    }
}

void PassingCar(Buffer& b, Rng& rng, double speed)
{
    int R = b.Rate();
    double len = b.Seconds();
    Osc o;
    Biquad lp, bp;
    lp.Set(Biquad::LowPass, 500, 1, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = (t / len) * 2 - 1;                // -1 .. +1, nearest at 0
        double near = 1 / (1 + 12 * x * x);
        double doppler = 1 + 0.12 * speed * (-x / std::sqrt(0.05 + x * x));
        if (i % 32 == 0) bp.Set(Biquad::BandPass, 900 * doppler, 1, R);
        double v = lp.Process(o.Saw(55 * doppler, R)) + 0.8 * bp.Process(rng.Bipolar());
        b.Add(i, near * v, std::clamp(x * 1.2, -1.0, 1.0));
    }
}

void Siren(Buffer& b, Rng& rng, double low, double high, double period, bool twoTone)
{
    int R = b.Rate();
    Osc o, o2;
    Biquad lp;
    lp.Set(Biquad::LowPass, 3000, 0.8, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double ph = std::fmod(t / period, 1.0);
        double f = twoTone ? (ph < 0.5 ? low : high) : low * std::pow(high / low, 0.5 - 0.5 * std::cos(2 * Pi * ph));
        b.Add(i, Swell(t, 0.05, 0.1, b.Seconds()) * lp.Process(o.Triangle(f, R) + 0.3 * o2.Sine(2 * f, R)));
    }
}

void Beeps(Buffer& b, Rng& rng, double pitch, int count, double on, double off, bool square)
{
    int R = b.Rate();
    for (int n = 0; n < count; ++n) {
        Span s = SpanOf(b, 0.02 + n * (on + off), on);
        Osc o;
        Biquad lp;
        lp.Set(Biquad::LowPass, 5000, 0.7, R);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double v = square ? lp.Process(o.Square(pitch, R)) * 0.6 : o.Sine(pitch, R);
            b.Add(i, Swell(t, 0.004, 0.006, on) * v);
        }
    }
}

void Bell(Buffer& b, Rng& rng, double pitch, int strikes, double spacing, double decay)
{
    // Inharmonic partials of a struck bell, the low ones ringing longest.
    const double ratio[] = {0.56, 0.563, 0.92, 0.923, 1.19, 1.7, 2.0, 2.74, 3.0, 3.76, 4.07};
    const double amp[] = {1, 0.67, 1, 1.8, 2.67, 1.67, 1.46, 1.33, 1.33, 1, 1.33};
    const double life[] = {1, 0.9, 0.65, 0.55, 0.325, 0.35, 0.25, 0.2, 0.15, 0.1, 0.075};
    double tau[11];
    for (int k = 0; k < 11; ++k) tau[k] = decay * life[k];
    for (int n = 0; n < strikes; ++n)
        Partials(b, 0.01 + n * spacing, pitch, ratio, amp, tau, 11, 0.2 * rng.Range(0.9, 1.0), strikes > 1 ? (n % 2 ? 0.3 : -0.3) : 0);
}

void PhoneRing(Buffer& b, Rng& rng, double pitch)
{
    // An electric bell: a clapper striking twenty times a second, two bursts.
    const double ratio[] = {1, 2.32, 4.25, 6.63};
    const double amp[] = {1, 0.6, 0.35, 0.2};
    const double tau[] = {0.08, 0.05, 0.03, 0.02};
    for (double burst = 0; burst < 2; ++burst)
        for (int k = 0; k < 16; ++k)
            Partials(b, 0.02 + burst * 1.0 + k * 0.05, pitch, ratio, amp, tau, 4, 0.3 * rng.Range(0.8, 1.0), k % 2 ? 0.2 : -0.2);
}

void Dtmf(Buffer& b, Rng& rng, const std::string& digits, double length, double gap)
{
    const char* keys = "123A456B789C*0#D";
    const double rows[] = {697, 770, 852, 941};
    const double cols[] = {1209, 1336, 1477, 1633};
    int R = b.Rate();
    double t0 = 0.02;
    for (char d : digits) {
        const char* p = std::char_traits<char>::find(keys, 16, d);
        if (p) {
            auto k = p - keys;
            Span s = SpanOf(b, t0, length);
            Osc lo, hi;
            for (std::size_t i = s.from; i < s.to; ++i) {
                double t = static_cast<double>(i - s.from) / R;
                b.Add(i, Swell(t, 0.003, 0.003, length) * (lo.Sine(rows[k / 4], R) + hi.Sine(std::min(cols[k % 4], R * 0.45), R)));
            }
        }
        t0 += length + gap;
    }
}

void Knock(Buffer& b, Rng& rng, double pitch, int count, double spacing)
{
    for (int n = 0; n < count; ++n) {
        double t0 = 0.02 + n * spacing + rng.Range(0, 0.015);
        double g = rng.Range(0.8, 1.0) * (n == count - 1 ? 1.1 : 1);
        NoiseBand(b, rng, t0, 0.25, pitch, 5, g * 3, 0, [](double t) { return Hit(t, 0.001, 0.035); });
        NoiseBand(b, rng, t0, 0.12, pitch * 2.7, 7, g * 1.5, 0, [](double t) { return Hit(t, 0.001, 0.02); });
        NoiseBand(b, rng, t0, 0.01, 3000, 1, g * 0.3, 0, [](double t) { return Hit(t, 0.0005, 0.002); });
    }
}

void Creak(Buffer& b, Rng& rng, double pitch, double rate)
{
    // Stick and slip: a train of ticks whose rate rises and falls, ringing the wood.
    int R = b.Rate();
    double len = b.Seconds();
    Biquad r1, r2;
    r1.Set(Biquad::BandPass, pitch, 12, R);
    r2.Set(Biquad::BandPass, pitch * 2.1, 14, R);
    double next = 0.02;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = 0;
        if (t >= next) {
            x = rng.Range(0.6, 1.0);
            double r = rate * (0.6 + 0.8 * std::sin(Pi * t / len));
            next = t + 1 / r;
        }
        b.Add(i, Swell(t, 0.1, 0.2, len) * (r1.Process(x) + 0.6 * r2.Process(x)));
    }
}

void Slam(Buffer& b, Rng& rng, double weight)
{
    int R = b.Rate();
    Span s = SpanOf(b, 0.02, b.Seconds());
    Osc o;
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / R;
        b.Add(i, Hit(t, 0.002, 0.12 * weight) * o.Sine(Glide(t, 0, 90 / weight, 0.1, 50 / weight), R));
    }
    NoiseBand(b, rng, 0.02, 0.4, 700, 0.7, 2.5, 0, [](double t) { return Hit(t, 0.001, 0.05); });
    // The frame rattles a moment later.
    for (int k = 0; k < 4; ++k)
        NoiseBand(b, rng, 0.12 + k * 0.035, 0.05, 1800, 4, 1.2 / (k + 1), 0, [](double t) { return Hit(t, 0.001, 0.01); });
}

void Buzzer(Buffer& b, Rng& rng, double pitch)
{
    int R = b.Rate();
    Osc o;
    Biquad bp;
    bp.Set(Biquad::BandPass, 1200, 0.7, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        b.Add(i, Swell(t, 0.01, 0.02, b.Seconds() - 0.05) * bp.Process(o.Square(pitch, R, 0.2) + 0.1 * rng.Bipolar()));
    }
}

void Click(Buffer& b, Rng& rng, double t0, double pitch, double gain)
{
    NoiseBand(b, rng, t0, 0.03, pitch, 3, gain * 3, 0, [](double t) { return Hit(t, 0.0003, 0.003); });
}

void Footsteps(Buffer& b, Rng& rng, double pace, double hardness)
{
    double t0 = 0.05;
    int n = 0;
    while (t0 < b.Seconds() - 0.15) {
        double pan = n % 2 ? 0.2 : -0.2;
        NoiseBand(b, rng, t0, 0.15, 150, 1.5, 3, pan, [](double t) { return Hit(t, 0.003, 0.03); });
        NoiseBand(b, rng, t0 + 0.02, 0.08, 1500 + 2500 * hardness, 2, 1.5 * hardness, pan,
                  [](double t) { return Hit(t, 0.001, 0.012); });
        t0 += pace * rng.Range(0.95, 1.05);
        ++n;
    }
}

// ---- Voices

namespace {

// A voiced source: a sawtooth softened by a low-pass, with vibrato and breath.
struct Voice {
    Osc o, vib;
    OnePole soft;
    double Next(double f, int R, Rng& rng, double breath)
    {
        double g = o.Saw(f * (1 + 0.012 * vib.Sine(5.3, R)), R);
        return soft.Process(g) + breath * rng.Bipolar();
    }
};

}  // namespace

void Vowel(Buffer& b, Rng& rng, char vowel, double pitch, double shift)
{
    VowelGlide(b, rng, vowel, vowel, pitch, pitch * 0.97, shift);
}

void VowelGlide(Buffer& b, Rng& rng, char from, char to, double pitch0, double pitch1, double shift)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Voice v;
    v.soft.Set(3000, R);
    Formants form;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = std::clamp(t / len, 0.0, 1.0);
        if (i % 16 == 0) form.SetMix(from, to, x, R, shift);
        double f = Glide(t, 0, pitch0, len, pitch1);
        b.Add(i, Swell(t, 0.08, 0.15, len) * form.Process(v.Next(f, R, rng, 0.05)));
    }
}

void Laugh(Buffer& b, Rng& rng, double pitch, int count, double shift)
{
    int R = b.Rate();
    double gap = b.Seconds() / (count + 0.5);
    for (int n = 0; n < count; ++n) {
        double len = gap * 0.6;
        Span s = SpanOf(b, 0.03 + n * gap, len);
        Voice v;
        v.soft.Set(3000, R);
        Formants form;
        form.SetVowel('a', R, shift);
        double p = pitch * (1 - 0.04 * n) * rng.Range(0.97, 1.03);
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            // "h": breath first, then the voice comes in.
            double voiced = std::clamp((t - 0.03) / 0.02, 0.0, 1.0);
            double src = voiced * v.Next(p, R, rng, 0) + (1.2 - voiced) * rng.Bipolar() * 0.6;
            b.Add(i, Swell(t, 0.01, len * 0.4, len) * form.Process(src));
        }
    }
}

void Sigh(Buffer& b, Rng& rng, double shift)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Formants form;
    Voice v;
    v.soft.Set(1500, R);
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double x = std::clamp(t / len, 0.0, 1.0);
        if (i % 16 == 0) form.SetMix('a', 'u', x, R, shift);
        double src = rng.Bipolar() + 0.25 * v.Next(Glide(x, 0, 180 * shift, 1, 120 * shift), R, rng, 0);
        b.Add(i, Swell(t, len * 0.15, len * 0.6, len) * form.Process(src));
    }
}

void Choir(Buffer& b, Rng& rng, char vowel, const std::vector<int>& notes)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    for (std::size_t k = 0; k < notes.size(); ++k) {
        double pan = notes.size() > 1 ? -0.7 + 1.4 * static_cast<double>(k) / static_cast<double>(notes.size() - 1) : 0;
        double f = Mtof(notes[k]);
        double shift = f > 300 ? 1.15 : 1.0;
        for (int singer = 0; singer < 2; ++singer) {
            Voice v;
            v.soft.Set(2500, R);
            v.vib = Osc(rng.Uniform());
            Formants form;
            form.SetVowel(vowel, R, shift);
            double detune = 1 + (singer ? 0.004 : -0.004);
            for (std::size_t i = 0; i < b.Frames(); ++i) {
                double t = static_cast<double>(i) / R;
                b.Add(i, Swell(t, 0.3, 0.4, len) * form.Process(v.Next(f * detune, R, rng, 0.03)) * 0.5, pan);
            }
        }
    }
}

void Hum(Buffer& b, Rng& rng, const std::vector<int>& notes, double step)
{
    int R = b.Rate();
    Voice v;
    v.soft.Set(700, R);
    Biquad nasal;
    nasal.Set(Biquad::BandPass, 250, 2, R);
    double len = std::min(b.Seconds() - 0.05, step * static_cast<double>(notes.size()));
    for (std::size_t i = 0; i < FrameAt(b, len); ++i) {
        double t = static_cast<double>(i) / R;
        std::size_t k = std::min(notes.size() - 1, static_cast<std::size_t>(t / step));
        double f = Mtof(notes[k]);
        double x = v.Next(f, R, rng, 0.01);
        b.Add(i, Swell(t, 0.1, 0.2, len) * (0.6 * x + nasal.Process(x)));
    }
}

// ---- Effects

void Sweep(Buffer& b, Rng& rng, double f0, double f1, double length, bool square)
{
    int R = b.Rate();
    Span s = SpanOf(b, 0.02, length);
    Osc o;
    for (std::size_t i = s.from; i < s.to; ++i) {
        double t = static_cast<double>(i - s.from) / R;
        double f = std::min(Glide(t, 0, f0, length, f1), R * 0.45);
        double v = square ? 0.5 * o.Square(f, R) : o.Sine(f, R);
        b.Add(i, Swell(t, 0.003, length * 0.3, length) * v);
    }
}

void Explosion(Buffer& b, Rng& rng, double size)
{
    int R = b.Rate();
    Biquad lpL, lpR;
    double len = b.Seconds();
    double brownL = 0, brownR = 0;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        if (i % 32 == 0) {
            double c = 200 + 4000 * std::exp(-t / (0.15 * size));
            lpL.Set(Biquad::LowPass, c, 0.7, R);
            lpR.Set(Biquad::LowPass, c * 1.05, 0.7, R);
        }
        brownL = 0.98 * brownL + 0.2 * rng.Bipolar();
        brownR = 0.98 * brownR + 0.2 * rng.Bipolar();
        double e = Hit(t, 0.004, 0.35 * size) * Swell(t, 0, 0.2, len);
        b.AddStereo(i, e * lpL.Process(brownL + 0.5 * rng.Bipolar()), e * lpR.Process(brownR + 0.5 * rng.Bipolar()));
    }
    int debris = static_cast<int>(25 * size);
    for (int k = 0; k < debris; ++k)
        NoiseBand(b, rng, rng.Range(0.1, len * 0.7), 0.03, rng.Range(1500, 5000), 3, rng.Range(0.2, 0.8), rng.Bipolar(),
                  [](double t) { return Hit(t, 0.0005, 0.004); });
}

void Warp(Buffer& b, Rng& rng, double f0, double f1)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Biquad bp;
    Osc o;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double f = Glide(t, 0, f0, len, f1);
        if (i % 8 == 0) bp.Set(Biquad::BandPass, f, 25, R);
        double v = 4 * bp.Process(rng.Bipolar()) + 0.3 * o.Sine(std::min(f / 2, R * 0.45), R);
        b.Add(i, Swell(t, len * 0.2, len * 0.2, len) * v, std::sin(2 * Pi * t / len));
    }
}

void RingMod(Buffer& b, Rng& rng, double carrier, double mod0, double mod1)
{
    int R = b.Rate();
    double len = b.Seconds() - 0.05;
    Osc c, m;
    for (std::size_t i = 0; i < b.Frames(); ++i) {
        double t = static_cast<double>(i) / R;
        double v = c.Sine(carrier, R) * m.Sine(Glide(t, 0, mod0, len, mod1), R);
        b.Add(i, Swell(t, 0.05, 0.2, len) * v, 0.5 * std::sin(2 * Pi * 0.7 * t));
    }
}

void Robot(Buffer& b, Rng& rng, int count)
{
    int R = b.Rate();
    double gap = (b.Seconds() - 0.05) / count;
    for (int n = 0; n < count; ++n) {
        double f = 300 * std::pow(2.0, rng.Range(0, 2));
        double len = gap * rng.Range(0.4, 0.8);
        Span s = SpanOf(b, 0.02 + n * gap, len);
        Osc o;
        for (std::size_t i = s.from; i < s.to; ++i) {
            double t = static_cast<double>(i - s.from) / R;
            double v = 0.5 * o.Square(f * (1 + 0.3 * std::sin(2 * Pi * 30 * t)), R);
            b.Add(i, Swell(t, 0.002, 0.01, len) * v);
        }
    }
}

}  // namespace democat
