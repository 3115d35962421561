/*
 * mksound: composes and renders the show's default music and writes it as
 * Ogg Vorbis, 48000 Hz stereo: mksound musa.ogg [musa.wav]
 *
 * A small synthesizer: band-limited saw and pulse oscillators, an FM bell,
 * noise drums, state-variable filters, envelopes, a stereo delay and a
 * reverb. The score follows the show's time line at 120 beats a minute,
 * one bar every 2 seconds:
 *
 *   0-10 s   calm: a slow pad and a few bell notes while the background drifts
 *   10-26 s  the picture fades in: bass, arpeggio and drums enter, the filter
 *            opens and everything grows louder
 *   26-28 s  a held dominant, a snare roll and a riser
 *   28 s     the fire starts: a hit, a half-time beat and the melody
 *   40 s     the background races: four-to-the-floor, driving bass
 *   64 s     the picture is gone: the drums fall away
 *   72 s     the last chord, faded out by 75 s
 *
 * The optional second argument also writes the rendered PCM as WAV. All
 * noise comes from a fixed-seed generator and the stream has a fixed
 * serial number, so the same program writes the same file.
 */
#include "config.h"
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

constexpr int rate = audiorate;      // Hz: the show's own
constexpr double filelen = 76;       // s of audio in the file
constexpr double fadefrom = 73.2;    // s: the master fade-out starts
constexpr double fadeto = 75;        // s: silence from here on
constexpr double bar = 2;            // s per bar: 120 beats a minute in 4/4
constexpr double six = bar / 16;     // s per sixteenth note
constexpr double peak = 0.75;        // the loudest sample, of full scale
constexpr double compthr = 0.2;      // the compressor acts above this level of the raw mix
constexpr double compratio = 2;      // and divides the excess in decibels by this
constexpr float vorbisq = 0.3f;      // Vorbis quality, about 110 kbit/s
constexpr int serial = 0x6272696e;   // Ogg stream serial number
constexpr double pi = 3.14159265358979323846;

const size_t nsamp = (size_t)(filelen * rate);
std::vector<double> synl(nsamp), synr(nsamp); // pad, bass, arpeggio: ducked by the kick
std::vector<double> drml(nsamp), drmr(nsamp); // drums, lead and bells
std::vector<double> dell(nsamp), delr(nsamp); // send to the delay
std::vector<double> rev(nsamp);               // send to the reverb
std::vector<double> duck(nsamp, 1.0);         // gain of the ducked bus

uint32_t rngstate = 0x2545f491;

double noise()
{
	rngstate ^= rngstate << 13;
	rngstate ^= rngstate >> 17;
	rngstate ^= rngstate << 5;
	return rngstate / 2147483648.0 - 1;
}

double hz(double midi)
{
	return 440 * std::pow(2.0, (midi - 69) / 12);
}

double blep(double t, double dt)
{
	if (t < dt) {
		t /= dt;
		return t + t - t * t - 1;
	}
	if (t > 1 - dt) {
		t = (t - 1) / dt;
		return t * t + t + t + 1;
	}
	return 0;
}

double saw(double ph, double dt)
{
	return 2 * ph - 1 - blep(ph, dt);
}

double pulse(double ph, double dt, double width)
{
	double q = ph + width;
	q -= std::floor(q);
	return saw(ph, dt) - saw(q, dt);
}

// state-variable filter, trapezoidal: one state per voice
struct svf {
	double ic1 = 0, ic2 = 0, lp = 0, bp = 0, hp = 0;
};

// the filter's coefficient for a cutoff in Hz
double coef(double cutoff)
{
	return std::tan(pi * std::min(cutoff, rate * 0.45) / rate);
}

void filtg(svf &f, double x, double g, double q)
{
	double k = 1 / q;
	double a1 = 1 / (1 + g * (g + k)), a2 = g * a1, a3 = g * a2;
	double v3 = x - f.ic2;
	double v1 = a1 * f.ic1 + a2 * v3;
	double v2 = f.ic2 + a2 * f.ic1 + a3 * v3;
	f.ic1 = 2 * v1 - f.ic1;
	f.ic2 = 2 * v2 - f.ic2;
	f.lp = v2;
	f.bp = v1;
	f.hp = x - k * v1 - v2;
}

void filt(svf &f, double x, double cutoff, double q)
{
	filtg(f, x, coef(cutoff), q);
}

// attack, hold for len, release; 0 outside
double env(double t, double len, double att, double rel)
{
	if (t < 0 || t > len + rel)
		return 0;
	double a = t < att ? t / att : 1;
	if (t > len)
		a *= 1 - (t - len) / rel;
	return a;
}

size_t at(double t)
{
	return (size_t)std::max(0.0, std::round(t * rate));
}

// how far the filters of the synth parts are open over the show, 0 to 1
double bright(double t)
{
	if (t < 10)
		return 0.25;
	if (t < 26)
		return 0.25 + 0.55 * (t - 10) / 16;
	if (t < 28)
		return 0.85;
	if (t < 40)
		return 0.7;
	if (t < 64)
		return 0.9 + 0.1 * (t - 40) / 24;
	return std::max(0.3, 1 - (t - 64) / 8);
}

void put(std::vector<double> &l, std::vector<double> &r, size_t i, double x, double pan)
{
	static double lastpan = 2, gl, gr; // notes keep their pan: compute the gains once
	if (i >= nsamp)
		return;
	if (pan != lastpan) {
		lastpan = pan;
		gl = std::cos((pan + 1) * pi / 4);
		gr = std::sin((pan + 1) * pi / 4);
	}
	l[i] += x * gl;
	r[i] += x * gr;
}

void pad(double t0, double len, int midi, double vel)
{
	const double det[3] = { -0.09, 0.0, 0.08 }, pans[3] = { -0.7, 0, 0.7 };
	double ph[3] = { 0.13, 0.51, 0.77 }, dt[3], gl[3], gr[3];
	for (int k = 0; k < 3; k++) {
		dt[k] = hz(midi + det[k]) / rate;
		gl[k] = std::cos((pans[k] + 1) * pi / 4);
		gr[k] = std::sin((pans[k] + 1) * pi / 4);
	}
	svf f[3];
	double att = 1.2, rel = 1.5;
	for (size_t i = at(t0), e = at(t0 + len + rel); i < e && i < nsamp; i++) {
		double t = (double)i / rate, a = env(t - t0, len, att, rel) * vel * 0.06;
		double g = coef(300 + 2500 * bright(t) * bright(t));
		for (int k = 0; k < 3; k++) {
			ph[k] += dt[k];
			ph[k] -= std::floor(ph[k]);
			filtg(f[k], saw(ph[k], dt[k]), g, 0.8);
			synl[i] += f[k].lp * a * gl[k];
			synr[i] += f[k].lp * a * gr[k];
			rev[i] += f[k].lp * a * 0.5;
		}
	}
}

void bass(double t0, double len, int midi, double vel)
{
	double ph = 0, sub = 0, dt = hz(midi) / rate;
	svf f;
	for (size_t i = at(t0), e = at(t0 + len + 0.05); i < e && i < nsamp; i++) {
		double t = (double)i / rate, tt = t - t0;
		ph += dt;
		ph -= std::floor(ph);
		sub += dt / 2;
		sub -= std::floor(sub);
		double cut = 120 + (400 + 1800 * bright(t)) * std::exp(-tt / 0.12);
		filt(f, saw(ph, dt), cut, 1.2);
		double a = env(tt, len, 0.004, 0.05) * (0.75 + 0.25 * std::exp(-tt / 0.2)) * vel * 0.3;
		put(synl, synr, i, (f.lp + 0.6 * std::sin(2 * pi * sub)) * a, 0);
	}
}

void pluck(double t0, double len, int midi, double vel, double pan)
{
	double ph = 0, dt = hz(midi) / rate;
	svf f;
	for (size_t i = at(t0), e = at(t0 + len + 0.3); i < e && i < nsamp; i++) {
		double t = (double)i / rate, tt = t - t0;
		ph += dt;
		ph -= std::floor(ph);
		double cut = 300 + 5000 * bright(t) * std::exp(-tt / 0.09);
		filt(f, pulse(ph, dt, 0.3), cut, 2.0);
		double a = std::exp(-tt / 0.16) * env(tt, len, 0.002, 0.3) * vel * 0.09;
		put(synl, synr, i, f.lp * a, pan);
		put(dell, delr, i, f.lp * a * 0.35, pan);
	}
}

void lead(double t0, double len, int midi, double vel)
{
	double ph = 0, ph2 = 0.5;
	svf f;
	for (size_t i = at(t0), e = at(t0 + len + 0.15); i < e && i < nsamp; i++) {
		double t = (double)i / rate, tt = t - t0;
		double vib = 0.18 * std::min(1.0, std::max(0.0, tt - 0.25) / 0.4) * std::sin(2 * pi * 5.2 * tt);
		double dt = hz(midi + vib) / rate, dt2 = hz(midi + vib + 0.1) / rate;
		ph += dt;
		ph -= std::floor(ph);
		ph2 += dt2;
		ph2 -= std::floor(ph2);
		filt(f, 0.6 * saw(ph, dt) + 0.5 * pulse(ph2, dt2, 0.5), 1400 + 2200 * std::exp(-tt / 0.3), 1.4);
		double a = env(tt, len, 0.02, 0.15) * vel * 0.11;
		put(drml, drmr, i, f.lp * a, 0.1);
		put(dell, delr, i, f.lp * a * 0.5, 0);
		rev[i] += f.lp * a * 0.3;
	}
}

void bell(double t0, int midi, double vel, double pan)
{
	double fc = hz(midi), fm = fc * 3.5;
	for (size_t i = at(t0), e = at(t0 + 3); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		double idx = 2.5 * std::exp(-tt / 0.25);
		double x = std::sin(2 * pi * fc * tt + idx * std::sin(2 * pi * fm * tt));
		double a = std::exp(-tt / 0.9) * std::min(1.0, tt / 0.002) * vel * 0.08;
		put(drml, drmr, i, x * a, pan);
		put(dell, delr, i, x * a * 0.5, pan);
		rev[i] += x * a * 0.8;
	}
}

void kick(double t0, double vel, double ducking)
{
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 0.6); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		ph += (42 + 120 * std::exp(-tt / 0.035)) / rate;
		double x = std::sin(2 * pi * ph) * std::exp(-tt / 0.28) + 0.3 * noise() * std::exp(-tt / 0.004);
		put(drml, drmr, i, x * vel * 0.5, 0);
		duck[i] = std::min(duck[i], 1 - ducking * std::exp(-tt / 0.12));
	}
}

void snare(double t0, double vel)
{
	svf f;
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 0.4); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		filt(f, noise(), 2200, 0.7);
		ph += (185 + 60 * std::exp(-tt / 0.02)) / rate;
		double x = f.bp * std::exp(-tt / 0.1) * 0.9 + std::sin(2 * pi * ph) * std::exp(-tt / 0.06) * 0.5;
		put(drml, drmr, i, x * vel * 0.35, -0.1);
		rev[i] += x * vel * 0.08;
	}
}

void hat(double t0, double vel, double decay, double pan)
{
	svf f, g;
	for (size_t i = at(t0), e = at(t0 + decay * 6); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		filt(f, noise(), 7500, 0.7);
		filt(g, f.hp, 9000, 0.9);
		put(drml, drmr, i, g.hp * std::exp(-tt / decay) * vel * 0.4, pan);
	}
}

void crash(double t0, double vel)
{
	svf f;
	for (size_t i = at(t0), e = at(t0 + 4); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		double nl = noise(), nr = noise();
		filt(f, nl, 5000, 0.6);
		double a = std::exp(-tt / 0.9) * vel * 0.14;
		drml[i] += f.hp * a;
		drmr[i] += (nr - nl) * 0.3 * a + f.hp * a * 0.7;
		rev[i] += f.hp * a * 0.3;
	}
}

void boom(double t0, double vel)
{
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 3); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		ph += (34 + 40 * std::exp(-tt / 0.15)) / rate;
		double x = std::sin(2 * pi * ph) * std::exp(-tt / 0.8) * std::min(1.0, tt / 0.005);
		put(drml, drmr, i, x * vel * 0.35, 0);
		rev[i] += x * vel * 0.1;
	}
}

// noise through a band-pass sweeping up over len seconds, growing louder
void riser(double t0, double len, double vel)
{
	svf f;
	for (size_t i = at(t0), e = at(t0 + len); i < e && i < nsamp; i++) {
		double p = (double)(i - at(t0)) / rate / len;
		filt(f, noise(), 250 * std::pow(30.0, p), 3);
		double a = p * p * vel * 0.35;
		put(drml, drmr, i, f.bp * a, std::sin(p * 12) * 0.5);
		rev[i] += f.bp * a * 0.3;
	}
}

// the chords, one a bar: three pad notes, the bass root
struct chord {
	int pad[3], root;
};
const chord am{ { 57, 60, 64 }, 45 }, ff{ { 57, 60, 65 }, 41 }, cc{ { 55, 60, 64 }, 48 },
	gg{ { 55, 59, 62 }, 43 }, dm{ { 57, 62, 65 }, 38 }, ee{ { 56, 59, 64 }, 40 };
const chord *const bars[38] = {
	&am, &am, &ff, &ff, &gg,                     // 0-10 s: calm
	&am, &ff, &cc, &gg, &am, &ff, &cc, &gg,      // 10-26 s: rising
	&ee,                                         // 26-28 s: held dominant
	&am, &ff, &dm, &ee, &ff, &ee,                // 28-40 s: the fire
	&am, &ff, &cc, &gg, &am, &ff, &cc, &gg,      // 40-56 s: driving
	&ff, &gg, &ee, &ee,                          // 56-64 s: build
	&am, &ff, &dm, &ee,                          // 64-72 s: the picture is gone
	&am, &am,                                    // 72 s: the end
};

// melody notes: start and length in sixteenths from the bar, MIDI note
struct mnote {
	int start, len, midi;
};
const std::vector<std::vector<mnote>> tune = {
	{ { 0, 4, 69 }, { 4, 2, 72 }, { 6, 2, 76 }, { 8, 6, 74 }, { 14, 2, 72 } },
	{ { 0, 6, 72 }, { 6, 2, 69 }, { 8, 4, 77 }, { 12, 4, 76 } },
	{ { 0, 4, 79 }, { 4, 4, 76 }, { 8, 6, 72 }, { 14, 2, 74 } },
	{ { 0, 6, 74 }, { 6, 2, 71 }, { 8, 4, 71 }, { 12, 4, 74 } },
	{ { 0, 4, 81 }, { 4, 2, 79 }, { 6, 2, 76 }, { 8, 4, 74 }, { 12, 2, 76 }, { 14, 2, 72 } },
	{ { 0, 6, 72 }, { 6, 2, 74 }, { 8, 4, 77 }, { 12, 4, 81 } },
	{ { 0, 4, 79 }, { 4, 4, 84 }, { 8, 6, 79 }, { 14, 2, 76 } },
	{ { 0, 8, 74 }, { 8, 4, 79 }, { 12, 4, 76 } },
};
const std::vector<std::vector<mnote>> firetune = {
	{ { 0, 8, 76 }, { 8, 4, 72 }, { 12, 4, 69 } },
	{ { 0, 12, 72 }, { 12, 4, 77 } },
	{ { 0, 8, 77 }, { 8, 4, 74 }, { 12, 4, 69 } },
	{ { 0, 8, 71 }, { 8, 8, 68 } },
	{ { 0, 8, 69 }, { 8, 8, 72 } },
	{ { 0, 16, 71 } },
};

void playtune(double t0, const std::vector<std::vector<mnote>> &t, int shift, double vel)
{
	for (size_t b = 0; b < t.size(); b++)
		for (const mnote &n : t[b])
			lead(t0 + b * bar + n.start * six, n.len * six * 0.92, n.midi + shift, vel);
}

void arpeggio(int b, int step, double vel, int from = 0, int to = 16)
{
	static const int order[8] = { 0, 1, 2, 3, 2, 1, 3, 2 };
	const chord &c = *bars[b];
	for (int k = from; k < to; k += step) {
		int i = order[(k / step) % 8], m = i == 3 ? c.pad[0] + 24 : c.pad[i] + 12;
		pluck(b * bar + k * six, six * step * 0.8, m, vel * (k % 4 == 0 ? 1 : 0.75), (k / step) % 2 ? 0.4 : -0.4);
	}
}

void compose()
{
	// calm: pad swells and a few bell notes
	for (int b = 0; b < 5; b++)
		for (int m : bars[b]->pad)
			pad(b * bar, bar, m, 0.5 + 0.05 * b);
	const int bells[][2] = { { 0, 69 }, { 2, 76 }, { 6, 72 }, { 9, 79 }, { 13, 76 }, { 16, 81 }, { 18, 79 }, { 19, 74 } };
	for (auto &n : bells)
		bell(n[0] * 0.5, n[1], 0.8, (n[1] % 5 - 2) * 0.3);

	// rising, 10 to 26 s
	for (int b = 5; b < 13; b++) {
		double g = (b - 5) / 8.0;
		for (int m : bars[b]->pad)
			pad(b * bar, bar, m, 0.6 + 0.4 * g);
		int root = bars[b]->root;
		for (int q = 0; q < 4; q++)
			if (b < 9)
				bass(b * bar + q * 4 * six, 3.5 * six, root, 0.6 + 0.3 * g);
			else
				for (int h = 0; h < 2; h++)
					bass(b * bar + (q * 4 + h * 2) * six, 1.7 * six, root, 0.8 + 0.2 * g);
		arpeggio(b, b < 9 ? 2 : 1, 0.5 + 0.5 * g);
		if (b >= 9) {
			kick(b * bar, 0.7, 0.2);
			kick(b * bar + 8 * six, 0.6, 0.2);
		}
		if (b >= 11)
			for (int k = 2; k < 16; k += 4)
				hat(b * bar + k * six, 0.5, 0.03, 0.3);
	}
	bell(10, 81, 0.6, 0.4);
	bell(18, 84, 0.6, -0.4);

	// 26 to 28 s: the held dominant, a snare roll and a riser
	for (int m : ee.pad)
		pad(26, 1.8, m, 1.0);
	bass(26, 1.8, ee.root, 0.9);
	for (int k = 0; k < 16; k++)
		snare(26 + k * six, 0.2 + 0.6 * k / 16.0);
	for (int k = 0; k < 8; k++)
		snare(26 + 1 + k * six / 2, 0.5 + 0.4 * k / 8.0);
	riser(24, 4, 1.0);

	// 28 s: the fire starts
	kick(28, 1.0, 0.3);
	boom(28, 1.0);
	crash(28, 1.0);
	for (int b = 14; b < 20; b++) {
		for (int m : bars[b]->pad)
			pad(b * bar, bar, m, 0.7);
		int root = bars[b]->root;
		for (int k = 0; k < 16; k += 2)
			bass(b * bar + k * six, 1.6 * six, root + (k == 6 || k == 14 ? 12 : 0), k % 8 == 0 ? 1.0 : 0.7);
		arpeggio(b, 1, 0.35);
		kick(b * bar, 0.9, 0.3);
		kick(b * bar + 6 * six, 0.6, 0.2);
		snare(b * bar + 8 * six, 0.9);
		for (int k = 0; k < 16; k += 2)
			hat(b * bar + k * six, k % 4 == 2 ? 0.7 : 0.4, 0.03, 0.3);
	}
	for (int k = 12; k < 16; k++)
		snare(19 * bar + k * six, 0.5 + 0.1 * (k - 12));
	playtune(28, firetune, 0, 0.9);
	riser(37, 3, 0.9);

	// 40 s: driving
	for (int b = 20; b < 32; b++) {
		for (int m : bars[b]->pad)
			pad(b * bar, bar, m, 0.9);
		int root = bars[b]->root;
		for (int k = 0; k < 16; k += 2)
			bass(b * bar + k * six, 1.5 * six, root + (k % 4 == 2 ? 12 : 0), k % 4 == 0 ? 1.0 : 0.8);
		arpeggio(b, 1, 0.7);
		for (int q = 0; q < 4; q++)
			kick(b * bar + q * 4 * six, 1.0, 0.45);
		snare(b * bar + 4 * six, 1.0);
		snare(b * bar + 12 * six, 1.0);
		for (int k = 0; k < 16; k++)
			if (k % 4 != 2)
				hat(b * bar + k * six, k % 2 ? 0.35 : 0.55, 0.025, 0.35);
		for (int k = 2; k < 16; k += 4)
			hat(b * bar + k * six, 0.5, 0.12, -0.3);
	}
	for (int c = 0; c < 3; c++)
		crash(40 + c * 4 * bar, 0.8);
	playtune(40, tune, 0, 1.0);
	playtune(56, { tune[4], tune[5], { { 0, 8, 79 }, { 8, 8, 80 } }, { { 0, 16, 83 } } }, 0, 1.0);
	for (int k = 8; k < 16; k++)
		snare(31 * bar + k * six, 0.4 + 0.08 * (k - 8));
	riser(60, 4, 1.0);

	// 64 s: the picture is gone; the drums fall away and the tune comes home
	kick(64, 1.0, 0.3);
	boom(64, 0.9);
	crash(64, 0.9);
	for (int b = 32; b < 36; b++) {
		for (int m : bars[b]->pad)
			pad(b * bar, bar, m, 0.9 - 0.1 * (b - 32));
		bass(b * bar, bar * 0.95, bars[b]->root, 0.8);
		arpeggio(b, 2, 0.6 - 0.08 * (b - 32));
	}
	playtune(64, { { { 0, 8, 76 }, { 8, 8, 72 } }, { { 0, 8, 77 }, { 8, 8, 72 } }, { { 0, 8, 74 }, { 8, 8, 77 } }, { { 0, 8, 76 }, { 8, 8, 71 } } }, 0, 0.8);
	for (int k = 0; k < 8; k++)
		snare(70 + k * six * 2, 0.2 + 0.08 * k);

	// 72 s: the last chord
	kick(72, 1.0, 0.0);
	boom(72, 1.0);
	crash(72, 1.0);
	for (int m : { 45, 57, 60, 64, 69 })
		pad(72, 1.0, m, 1.0);
	bass(72, 1.6, 33, 1.0);
	bell(72, 81, 1.0, -0.3);
	bell(72.02, 76, 0.8, 0.3);
}

// a stereo echo, three sixteenths long, with damped feedback
void delay()
{
	size_t d = at(3 * six);
	double ll = 0, lr = 0;
	for (size_t i = d; i < nsamp; i++) {
		ll += 0.4 * (delr[i - d] - ll);
		lr += 0.4 * (dell[i - d] - lr);
		dell[i] += 0.42 * ll;
		delr[i] += 0.42 * lr;
	}
}

// a room: parallel damped combs into allpasses, one set a channel
void reverb(std::vector<double> &outl, std::vector<double> &outr)
{
	const int combs[4] = { 1557, 1617, 1491, 1422 }, alls[2] = { 556, 441 };
	for (int ch = 0; ch < 2; ch++) {
		std::vector<double> wet(nsamp, 0.0);
		int spread = ch * 23;
		for (int c : combs) {
			size_t n = (size_t)((c + spread) * rate / 44100);
			std::vector<double> buf(n, 0.0);
			double lp = 0;
			for (size_t i = 0; i < nsamp; i++) {
				double y = buf[i % n];
				lp += 0.7 * (y - lp);
				buf[i % n] = rev[i] + 0.8 * lp;
				wet[i] += y;
			}
		}
		for (int a : alls) {
			size_t n = (size_t)((a + spread) * rate / 44100);
			std::vector<double> buf(n, 0.0);
			for (size_t i = 0; i < nsamp; i++) {
				double b = buf[i % n], x = wet[i];
				buf[i % n] = x + 0.5 * b;
				wet[i] = b - x;
			}
		}
		std::vector<double> &out = ch ? outr : outl;
		for (size_t i = 0; i < nsamp; i++)
			out[i] += wet[i] * 0.09;
	}
}

// the master's level over the show: quiet at first, full from 26 s
double level(double t)
{
	double g = t < 10 ? 0.6 : t < 26 ? 0.6 + 0.4 * (t - 10) / 16 : 1;
	if (t > fadefrom)
		g *= t >= fadeto ? 0 : 0.5 + 0.5 * std::cos(pi * (t - fadefrom) / (fadeto - fadefrom));
	return g;
}

std::vector<int16_t> mixdown()
{
	delay();
	std::vector<double> l(nsamp), r(nsamp);
	for (size_t i = 0; i < nsamp; i++) {
		l[i] = synl[i] * duck[i] + drml[i] + dell[i];
		r[i] = synr[i] * duck[i] + drmr[i] + delr[i];
	}
	reverb(l, r);
	// a compressor that follows the louder channel and evens out the hits
	double follow = 0, top = 0;
	const double att = 1 - std::exp(-1 / (0.002 * rate)), rel = 1 - std::exp(-1 / (0.2 * rate));
	for (size_t i = 0; i < nsamp; i++) {
		double x = std::max(std::fabs(l[i]), std::fabs(r[i]));
		follow += (x > follow ? att : rel) * (x - follow);
		double g = level((double)i / rate);
		if (follow > compthr)
			g *= std::pow(follow / compthr, 1 / compratio - 1);
		l[i] *= g;
		r[i] *= g;
		top = std::max({ top, std::fabs(l[i]), std::fabs(r[i]) });
	}
	std::vector<int16_t> pcm(nsamp * 2);
	double k = peak * 32767 / top;
	for (size_t i = 0; i < nsamp; i++) {
		pcm[i * 2] = (int16_t)std::lround(l[i] * k);
		pcm[i * 2 + 1] = (int16_t)std::lround(r[i] * k);
	}
	return pcm;
}

bool writewav(const char *path, const std::vector<int16_t> &pcm)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	uint32_t data = (uint32_t)(pcm.size() * 2);
	uint8_t h[44] = { 'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0 };
	auto le32 = [&](int o, uint32_t v) { for (int i = 0; i < 4; i++) h[o + i] = (uint8_t)(v >> (8 * i)); };
	le32(4, 36 + data);
	le32(24, rate);
	le32(28, rate * 4);
	h[32] = 4;
	h[34] = 16;
	memcpy(h + 36, "data", 4);
	le32(40, data);
	fwrite(h, 1, 44, f);
	for (int16_t v : pcm) {
		uint8_t b[2] = { (uint8_t)(v & 0xff), (uint8_t)((uint16_t)v >> 8) };
		fwrite(b, 1, 2, f);
	}
	return fclose(f) == 0;
}

bool writeogg(const char *path, const std::vector<int16_t> &pcm)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	vorbis_info vi;
	vorbis_info_init(&vi);
	if (vorbis_encode_init_vbr(&vi, 2, rate, vorbisq))
		return fclose(f), false;
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	vorbis_comment_add_tag(&vc, "TITLE", "musa");
	vorbis_comment_add_tag(&vc, "ARTIST", "brindlewock");
	vorbis_dsp_state vd;
	vorbis_block vb;
	vorbis_analysis_init(&vd, &vi);
	vorbis_block_init(&vd, &vb);
	ogg_stream_state os;
	ogg_stream_init(&os, serial);
	ogg_packet hd, hc, hb;
	vorbis_analysis_headerout(&vd, &vc, &hd, &hc, &hb);
	ogg_stream_packetin(&os, &hd);
	ogg_stream_packetin(&os, &hc);
	ogg_stream_packetin(&os, &hb);
	ogg_page og;
	while (ogg_stream_flush(&os, &og)) {
		fwrite(og.header, 1, og.header_len, f);
		fwrite(og.body, 1, og.body_len, f);
	}
	size_t frames = pcm.size() / 2, pos = 0;
	bool eos = false;
	while (!eos) {
		size_t n = std::min<size_t>(4096, frames - pos);
		if (n == 0) {
			vorbis_analysis_wrote(&vd, 0);
		} else {
			float **buf = vorbis_analysis_buffer(&vd, (int)n);
			for (size_t i = 0; i < n; i++) {
				buf[0][i] = pcm[(pos + i) * 2] / 32768.0f;
				buf[1][i] = pcm[(pos + i) * 2 + 1] / 32768.0f;
			}
			vorbis_analysis_wrote(&vd, (int)n);
			pos += n;
		}
		while (vorbis_analysis_blockout(&vd, &vb) == 1) {
			vorbis_analysis(&vb, nullptr);
			vorbis_bitrate_addblock(&vb);
			ogg_packet op;
			while (vorbis_bitrate_flushpacket(&vd, &op)) {
				ogg_stream_packetin(&os, &op);
				while (!eos && ogg_stream_pageout(&os, &og)) {
					fwrite(og.header, 1, og.header_len, f);
					fwrite(og.body, 1, og.body_len, f);
					eos = ogg_page_eos(&og);
				}
			}
		}
	}
	ogg_stream_clear(&os);
	vorbis_block_clear(&vb);
	vorbis_dsp_clear(&vd);
	vorbis_comment_clear(&vc);
	vorbis_info_clear(&vi);
	return fclose(f) == 0;
}

int main(int argc, char **argv)
{
	if (argc < 2 || argc > 3) {
		fprintf(stderr, "usage: mksound musa.ogg [musa.wav]\n");
		return 2;
	}
	compose();
	std::vector<int16_t> pcm = mixdown();
	if (argc == 3 && !writewav(argv[2], pcm))
		return perror(argv[2]), 1;
	if (!writeogg(argv[1], pcm))
		return perror(argv[1]), 1;
	return 0;
}
