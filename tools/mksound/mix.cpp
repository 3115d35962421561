// The mix: the echo and the room, the buses summed, compressed, faded and
// scaled to 16-bit samples.
#include "mix.h"

#include <algorithm>
#include <cmath>

constexpr double fadefrom = 73.2; // s: the master fade-out starts
constexpr double fadeto = 75;     // s: silence from here on
constexpr double peak = 0.75;     // the loudest sample, of full scale
constexpr double compthr = 0.2;   // the compressor acts above this level of the raw mix
constexpr double compratio = 2;   // and divides the excess in decibels by this

// a stereo echo, three sixteenths long, with damped feedback
static void delay(buses &bus)
{
	size_t d = at(3 * six);
	double ll = 0, lr = 0;
	for (size_t i = d; i < nsamp; i++) {
		ll += 0.4 * (bus.delr[i - d] - ll);
		lr += 0.4 * (bus.dell[i - d] - lr);
		bus.dell[i] += 0.42 * ll;
		bus.delr[i] += 0.42 * lr;
	}
}

// a room: parallel damped combs into allpasses, one set a channel
static void reverb(const std::vector<double> &rev, std::vector<double> &outl, std::vector<double> &outr)
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
static double level(double t)
{
	double g = t < 10 ? 0.6 : t < 26 ? 0.6 + 0.4 * (t - 10) / 16 : 1;
	if (t > fadefrom)
		g *= t >= fadeto ? 0 : 0.5 + 0.5 * std::cos(pi * (t - fadefrom) / (fadeto - fadefrom));
	return g;
}

std::vector<int16_t> mixdown(buses &bus)
{
	delay(bus);
	std::vector<double> l(nsamp), r(nsamp);
	for (size_t i = 0; i < nsamp; i++) {
		l[i] = bus.synl[i] * bus.duck[i] + bus.drml[i] + bus.dell[i];
		r[i] = bus.synr[i] * bus.duck[i] + bus.drmr[i] + bus.delr[i];
	}
	reverb(bus.rev, l, r);
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
