// The sounds of the demo catalogue, each drawn into a buffer that already has its length and
// rate. Times are in seconds, pitches in Hz (or MIDI note numbers where named so).
#pragma once

#include <string>
#include <vector>

#include "Synth.h"

namespace democat {

enum class Instrument { Piano, Organ, Guitar, Harp, Flute, Clarinet, Brass, Violin, Cello, Marimba, Chip, Whistle, Pad };

// One note of an instrument added at t0, lasting dur (decaying instruments ring past it).
void Note(Buffer& b, Rng& rng, Instrument ins, double t0, double dur, double freq, double gain = 1, double pan = 0);
// Notes as MIDI numbers played one after another, each step seconds long; a negative
// number is a rest.
void Melody(Buffer& b, Rng& rng, Instrument ins, const std::vector<int>& notes, double step, double pan = 0);
// Notes started together (spread by strum seconds) and held for the whole buffer.
void Chord(Buffer& b, Rng& rng, Instrument ins, const std::vector<int>& notes, double strum = 0);

// Drum hits: 'k' kick, 's' snare, 'h' closed hi-hat, 'o' open hi-hat, 't' tom, 'c' clap,
// 'b' cowbell, 'w' woodblock, 'm' shaker, 'g' surdo (deep drum), 'r' rim shot.
void Drum(Buffer& b, Rng& rng, char kind, double t0, double gain = 1, double pan = 0, double pitch = 1);
// A pattern of drum letters, one per step ('.' a rest, '|' ignored), looped to the end.
void Rhythm(Buffer& b, Rng& rng, const std::string& pattern, double step);

// Animals.
void Bark(Buffer& b, Rng& rng, double pitch, int count, double spacing);
void Growl(Buffer& b, Rng& rng, double pitch);
void Meow(Buffer& b, Rng& rng, double pitch, double length);
void Purr(Buffer& b, Rng& rng, double rate);
void Hiss(Buffer& b, Rng& rng);
void Chirps(Buffer& b, Rng& rng, double pitch, int count, double spacing);
void Trill(Buffer& b, Rng& rng, double pitch, double rate);
void Birdsong(Buffer& b, Rng& rng, double pitch);
void Hoot(Buffer& b, Rng& rng, double pitch, int count);
void Moo(Buffer& b, Rng& rng, double pitch);
void Buzz(Buffer& b, Rng& rng, double pitch);
void Cricket(Buffer& b, Rng& rng, double pitch, double rate);
void Croak(Buffer& b, Rng& rng, double pitch, int count);
void Neigh(Buffer& b, Rng& rng, double pitch);
void Baa(Buffer& b, Rng& rng, double pitch);
void Cluck(Buffer& b, Rng& rng, double pitch, int count);

// Nature.
void Rain(Buffer& b, Rng& rng, double dropsPerSecond, double bed);
void Wind(Buffer& b, Rng& rng, double centre, double gustiness);
void Sea(Buffer& b, Rng& rng, double period);
void Thunder(Buffer& b, Rng& rng, double distance);
void Fire(Buffer& b, Rng& rng, double crackles);
void Stream(Buffer& b, Rng& rng, double bubbles, double pitch);

// Town.
void Horn(Buffer& b, Rng& rng, double pitch, int count, double length);
void Engine(Buffer& b, Rng& rng, double idle, double rev);
void PassingCar(Buffer& b, Rng& rng, double speed);
void Siren(Buffer& b, Rng& rng, double low, double high, double period, bool twoTone);
void Beeps(Buffer& b, Rng& rng, double pitch, int count, double on, double off, bool square);
void Bell(Buffer& b, Rng& rng, double pitch, int strikes, double spacing, double decay);
void PhoneRing(Buffer& b, Rng& rng, double pitch);
void Dtmf(Buffer& b, Rng& rng, const std::string& digits, double length, double gap);
void Knock(Buffer& b, Rng& rng, double pitch, int count, double spacing);
void Creak(Buffer& b, Rng& rng, double pitch, double rate);
void Slam(Buffer& b, Rng& rng, double weight);
void Buzzer(Buffer& b, Rng& rng, double pitch);
void Click(Buffer& b, Rng& rng, double t0, double pitch, double gain);
void Footsteps(Buffer& b, Rng& rng, double pace, double hardness);

// Voices.
void Vowel(Buffer& b, Rng& rng, char vowel, double pitch, double shift);
void VowelGlide(Buffer& b, Rng& rng, char from, char to, double pitch0, double pitch1, double shift);
void Laugh(Buffer& b, Rng& rng, double pitch, int count, double shift);
void Sigh(Buffer& b, Rng& rng, double shift);
void Choir(Buffer& b, Rng& rng, char vowel, const std::vector<int>& notes);
void Hum(Buffer& b, Rng& rng, const std::vector<int>& notes, double step);

// Effects.
void Sweep(Buffer& b, Rng& rng, double f0, double f1, double length, bool square);
void Explosion(Buffer& b, Rng& rng, double size);
void Warp(Buffer& b, Rng& rng, double f0, double f1);
void RingMod(Buffer& b, Rng& rng, double carrier, double mod0, double mod1);
void Robot(Buffer& b, Rng& rng, int count);

}  // namespace democat
