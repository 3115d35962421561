// The effects as plain per-pixel loops, written straight from their formulas
// and kept slow on purpose: the fast versions in src/ are checked against
// these byte for byte, and the benchmark measures how much faster they are.
// They work on the same globals as the show: the screen s and the field firekg.
#pragma once

#include "frame.h"
#include "fire.h"
#include <cstdint>

// the background: bytes 0 to 2 of every pixel from u = x (phase + 52000 x) + 25000 y
inline void refbkge(int32_t phase)
{
	uint8_t *p = (uint8_t *)s->pixels;
	uint32_t w = s->w, h = s->h;
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++, p += 4) {
			uint32_t u = x * ((uint32_t)phase + 52000 * x) + 25000 * y;
			uint8_t v = (u >> 17) & 0x7f;
			p[0] = v;
			p[1] = v >> 1;
			p[2] = v >> 2;
		}
}

// one propagation step: an in-place forward sweep over cells 1 to firew (fireh - 5)
inline void reffirekl()
{
	int32_t *f = firekg;
	int w = firew;
	int n = w * (fireh - 5);
	for (int i = 1; i <= n; i++)
		f[i] = (8 * f[i + w] + 10 * f[i + 2 * w - 1] + 10 * f[i + 1] + 3 * f[i + 3 * w]) >> 5;
}

// the overlay: flame above 600, its fringe above 500, smoke below -6
inline void reffiregk()
{
	uint8_t *p = (uint8_t *)s->pixels;
	const int32_t *f = firekg;
	int n = s->w * s->h;
	for (int i = 0; i < n; i++, p += 4) {
		int32_t a = f[i];
		if (a > 600) {
			p[1] = (a >> 5) + 100;
			p[2] = 240;
		} else if (a > 500) {
			p[1] = a;
			p[2] = 10 * (int64_t)a; // the low byte of 10 a, for any a
		} else if (a < -6) {
			int t = (p[0] + 60) >> 1;
			p[0] = t;
			p[1] = (t + 90) >> 1;
			p[2] = (t + 60) >> 1;
		}
	}
}
