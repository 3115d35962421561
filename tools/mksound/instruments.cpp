// The instruments: each renders one note or hit into the buses, sample by
// sample, from the parts in synth.cpp.
#include "synth.h"

#include <algorithm>
#include <cmath>

// how far the filters of the synth parts are open over the show, 0 to 1
static double bright(double t)
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

void pad(buses &bus, double t0, double len, int midi, double vel)
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
			bus.synl[i] += f[k].lp * a * gl[k];
			bus.synr[i] += f[k].lp * a * gr[k];
			bus.rev[i] += f[k].lp * a * 0.5;
		}
	}
}

void bass(buses &bus, double t0, double len, int midi, double vel)
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
		put(bus.synl, bus.synr, i, (f.lp + 0.6 * std::sin(2 * pi * sub)) * a, 0);
	}
}

void pluck(buses &bus, double t0, double len, int midi, double vel, double pan)
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
		put(bus.synl, bus.synr, i, f.lp * a, pan);
		put(bus.dell, bus.delr, i, f.lp * a * 0.35, pan);
	}
}

void lead(buses &bus, double t0, double len, int midi, double vel)
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
		put(bus.drml, bus.drmr, i, f.lp * a, 0.1);
		put(bus.dell, bus.delr, i, f.lp * a * 0.5, 0);
		bus.rev[i] += f.lp * a * 0.3;
	}
}

void bell(buses &bus, double t0, int midi, double vel, double pan)
{
	double fc = hz(midi), fm = fc * 3.5;
	for (size_t i = at(t0), e = at(t0 + 3); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		double idx = 2.5 * std::exp(-tt / 0.25);
		double x = std::sin(2 * pi * fc * tt + idx * std::sin(2 * pi * fm * tt));
		double a = std::exp(-tt / 0.9) * std::min(1.0, tt / 0.002) * vel * 0.08;
		put(bus.drml, bus.drmr, i, x * a, pan);
		put(bus.dell, bus.delr, i, x * a * 0.5, pan);
		bus.rev[i] += x * a * 0.8;
	}
}

void kick(buses &bus, double t0, double vel, double ducking)
{
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 0.6); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		ph += (42 + 120 * std::exp(-tt / 0.035)) / rate;
		double x = std::sin(2 * pi * ph) * std::exp(-tt / 0.28) + 0.3 * noise() * std::exp(-tt / 0.004);
		put(bus.drml, bus.drmr, i, x * vel * 0.5, 0);
		bus.duck[i] = std::min(bus.duck[i], 1 - ducking * std::exp(-tt / 0.12));
	}
}

void snare(buses &bus, double t0, double vel)
{
	svf f;
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 0.4); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		filt(f, noise(), 2200, 0.7);
		ph += (185 + 60 * std::exp(-tt / 0.02)) / rate;
		double x = f.bp * std::exp(-tt / 0.1) * 0.9 + std::sin(2 * pi * ph) * std::exp(-tt / 0.06) * 0.5;
		put(bus.drml, bus.drmr, i, x * vel * 0.35, -0.1);
		bus.rev[i] += x * vel * 0.08;
	}
}

void hat(buses &bus, double t0, double vel, double decay, double pan)
{
	svf f, g;
	for (size_t i = at(t0), e = at(t0 + decay * 6); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		filt(f, noise(), 7500, 0.7);
		filt(g, f.hp, 9000, 0.9);
		put(bus.drml, bus.drmr, i, g.hp * std::exp(-tt / decay) * vel * 0.4, pan);
	}
}

void crash(buses &bus, double t0, double vel)
{
	svf f;
	for (size_t i = at(t0), e = at(t0 + 4); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		double nl = noise(), nr = noise();
		filt(f, nl, 5000, 0.6);
		double a = std::exp(-tt / 0.9) * vel * 0.14;
		bus.drml[i] += f.hp * a;
		bus.drmr[i] += (nr - nl) * 0.3 * a + f.hp * a * 0.7;
		bus.rev[i] += f.hp * a * 0.3;
	}
}

void boom(buses &bus, double t0, double vel)
{
	double ph = 0;
	for (size_t i = at(t0), e = at(t0 + 3); i < e && i < nsamp; i++) {
		double tt = (double)(i - at(t0)) / rate;
		ph += (34 + 40 * std::exp(-tt / 0.15)) / rate;
		double x = std::sin(2 * pi * ph) * std::exp(-tt / 0.8) * std::min(1.0, tt / 0.005);
		put(bus.drml, bus.drmr, i, x * vel * 0.35, 0);
		bus.rev[i] += x * vel * 0.1;
	}
}

// noise through a band-pass sweeping up over len seconds, growing louder
void riser(buses &bus, double t0, double len, double vel)
{
	svf f;
	for (size_t i = at(t0), e = at(t0 + len); i < e && i < nsamp; i++) {
		double p = (double)(i - at(t0)) / rate / len;
		filt(f, noise(), 250 * std::pow(30.0, p), 3);
		double a = p * p * vel * 0.35;
		put(bus.drml, bus.drmr, i, f.bp * a, std::sin(p * 12) * 0.5);
		bus.rev[i] += f.bp * a * 0.3;
	}
}
