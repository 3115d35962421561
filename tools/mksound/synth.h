// The synthesizer: the file's time base, the buses the instruments play
// into, the oscillators, filter and envelope they are built from, and the
// instruments themselves. Times are in seconds from the start of the show.
#pragma once
#include "config.h"

#include <cstddef>
#include <vector>

constexpr int rate = audiorate;      // Hz: the show's own
constexpr double filelen = 76;       // s of audio in the file
constexpr double bar = 2;            // s per bar: 120 beats a minute in 4/4
constexpr double six = bar / 16;     // s per sixteenth note
constexpr double pi = 3.14159265358979323846;

const size_t nsamp = (size_t)(filelen * rate);

// a track the length of the file, every sample v
inline std::vector<double> track(double v = 0.0)
{
	return std::vector<double>(nsamp, v);
}

// The mix's inputs, a sample for each of the file's nsamp: the instruments
// add into them, the mix reads them.
struct buses {
	std::vector<double> synl = track(), synr = track(); // pad, bass, arpeggio: ducked by the kick
	std::vector<double> drml = track(), drmr = track(); // drums, lead and bells
	std::vector<double> dell = track(), delr = track(); // send to the delay
	std::vector<double> rev = track();                  // send to the reverb
	std::vector<double> duck = track(1.0);              // gain of the ducked bus
};

// synth.cpp: the parts every instrument is made of
double noise();                                   // white noise in -1..1 from a fixed seed
double hz(double midi);                           // a MIDI note's frequency
double saw(double ph, double dt);                 // band-limited saw at phase ph, dt a sample's step
double pulse(double ph, double dt, double width); // band-limited pulse of the given duty

// state-variable filter, trapezoidal: one state per voice
struct svf {
	double ic1 = 0, ic2 = 0, lp = 0, bp = 0, hp = 0;
};
double coef(double cutoff);                           // the filter's coefficient for a cutoff in Hz
void filtg(svf &f, double x, double g, double q);     // filters x with a coefficient from coef
void filt(svf &f, double x, double cutoff, double q); // filters x at a cutoff in Hz

double env(double t, double len, double att, double rel); // attack, hold for len, release; 0 outside
size_t at(double t);                                      // the sample at time t, 0 before the start
// adds x to sample i of a stereo pair of buses, panned from -1 (left) to 1
void put(std::vector<double> &l, std::vector<double> &r, size_t i, double x, double pan);

// instruments.cpp: each adds one note or hit, from time t0, into the buses
void pad(buses &bus, double t0, double len, int midi, double vel);  // three detuned saws, slow
void bass(buses &bus, double t0, double len, int midi, double vel); // saw and sub, filter snapping shut
void lead(buses &bus, double t0, double len, int midi, double vel); // the melody, with vibrato
void pluck(buses &bus, double t0, double len, int midi, double vel, double pan); // the arpeggio's pulse
void bell(buses &bus, double t0, int midi, double vel, double pan);              // an FM bell, 3 s
void kick(buses &bus, double t0, double vel, double ducking); // and ducks the synth bus
void snare(buses &bus, double t0, double vel);
void hat(buses &bus, double t0, double vel, double decay, double pan);
void crash(buses &bus, double t0, double vel);
void boom(buses &bus, double t0, double vel);              // a low hit under the big changes
void riser(buses &bus, double t0, double len, double vel); // noise sweeping up into a change
