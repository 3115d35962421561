// The synthesizer's parts: noise, band-limited oscillators, the filter, the
// envelope and the panner the instruments are built from.
#include "synth.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// the noise generator's state: one sequence for the whole file, so the
// drums sound the same on every run
static uint32_t rngstate = 0x2545f491;

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

// the correction that takes the step out of a saw where it wraps
static double blep(double t, double dt)
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
