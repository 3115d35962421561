#include "rnd.h"
#include <cstdint>

// glibc's rand() is its additive feedback generator: 31 words of state, each
// new word the sum of the words 31 and 3 places back, modulo 2^32, and the
// number drawn is the new word shifted down by one bit. A seed fills the 31
// words with the multiplicative congruential sequence w' = 16807 w mod
// (2^31 - 1), computed in signed 32-bit arithmetic as glibc does (so a seed
// of 2^31 or above starts out negative), and the first 310 numbers are
// thrown away. Seed 0 is taken as seed 1.

constexpr int rndwords = 31;          // words of state
constexpr int rndtap = 3;             // the new word adds the word this many places after the oldest
constexpr int rnddiscard = 310;       // numbers thrown away after seeding
constexpr int32_t rndmod = 2147483647; // the seeding sequence's modulus, 2^31 - 1 ...
constexpr int32_t rndmul = 16807;     // ... and its multiplier
constexpr int32_t rndq = rndmod / rndmul; // Schrage's method: rndmod = rndmul rndq + rndr, rndr < rndq
constexpr int32_t rndr = rndmod % rndmul;

struct rndstate {
	uint32_t w[rndwords];
	int f, r;                     // the next word written, and the word added to it
};

static constexpr int rndnext(rndstate &g)
{
	uint32_t v = g.w[g.f] += g.w[g.r];
	g.f = (g.f + 1) % rndwords;
	g.r = (g.r + 1) % rndwords;
	return (int)(v >> 1);
}

static constexpr rndstate rndseeded(unsigned seed)
{
	rndstate g{};
	int32_t w = (int32_t)(seed ? seed : 1);
	g.w[0] = (uint32_t)w;
	for (int i = 1; i < rndwords; i++) {
		// w = rndmul w mod rndmod, without overflow
		w = rndmul * (w % rndq) - rndr * (w / rndq);
		if (w < 0)
			w += rndmod;
		g.w[i] = (uint32_t)w;
	}
	g.f = rndtap;
	g.r = 0;
	for (int i = 0; i < rnddiscard; i++)
		rndnext(g);
	return g;
}

constinit static rndstate rndg = rndseeded(1);

void rndseed(unsigned seed)
{
	rndg = rndseeded(seed);
}

int rnd()
{
	return rndnext(rndg);
}
