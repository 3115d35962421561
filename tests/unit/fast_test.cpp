// The fast background, propagation and overlay against the plain versions of
// reference.h, byte for byte, on every vector path this processor runs, over
// random screens and fields and over sizes that leave odd remainders to the
// vector loops' tails.
#include "background.h"
#include "fire.h"
#include "plain.h"
#include "reference.h"
#include <gtest/gtest.h>
#include <climits>
#include <functional>
#include <random>
#include <string>

// the vector paths this processor can run: 0 the plain loops, 1 AVX2 and
// 2 AVX-512 with BW and VBMI where it has them
static std::vector<int> paths()
{
	std::vector<int> v { 0 };
#if defined(__x86_64__)
	if (__builtin_cpu_supports("avx2"))
		v.push_back(1);
	if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
		v.push_back(2);
#endif
	return v;
}

// puts the effects on one path for a scope
struct onpath {
	int bk = bksimd, fire = firesimd;
	explicit onpath(int path) { bksimd = firesimd = path; }
	~onpath() { bksimd = bk; firesimd = fire; }
};

// a screen of w x h pixels and a heat field under it, over plain memory
struct fastfield : plainscreen, plainfield {
	fastfield(int w, int h) : plainscreen(w, h), plainfield(w, h) {}
};

// heat from every range of the overlay: around its thresholds, as seeding
// makes it, small, and anywhere in 32 bits
static int32_t anyheat(std::mt19937 &r)
{
	static const int32_t edges[] = { -8, -7, -6, -5, -1, 0, 1, 499, 500, 501, 502, 511, 512,
		599, 600, 601, 602, 4991, 4992, 8793, INT32_MIN, INT32_MAX };
	switch (r() % 5) {
	case 0: return edges[r() % (sizeof edges / sizeof *edges)];
	case 1: return (int32_t)(r() & firemask) - firebias;
	case 2: return (int32_t)(r() % 1400) - 700;
	case 3: return (int32_t)r();
	default: return 0;
	}
}

// heat that propagation can sum without overflow: as seeding makes it, long
// runs of -1 (which propagation keeps at -1), and up to 2^24 either way
static int32_t sumheat(std::mt19937 &r)
{
	switch (r() % 4) {
	case 0: return (int32_t)(r() & firemask) - firebias;
	case 1: return -1;
	case 2: return (int32_t)r() >> 8;
	default: return 0;
	}
}

// "" when the two agree, else where and how they first differ
template <class T> static std::string differ(const std::vector<T> &got, const std::vector<T> &want)
{
	for (size_t i = 0; i < got.size() && i < want.size(); i++)
		if (got[i] != want[i])
			return "at " + std::to_string(i) + ": " + std::to_string(got[i]) + " instead of " + std::to_string(want[i]);
	return got.size() == want.size() ? "" : "sizes differ";
}

// the effect's plain version run on copies of the screen and the field, then
// its fast version on them: "" when both leave the same bytes in each, else
// where they first differ
static std::string againstplain(fastfield &pf, const std::function<void()> &plain, const std::function<void()> &fast)
{
	std::vector<uint32_t> px = pf.px;
	std::vector<int32_t> cells = pf.cells;
	s->pixels = px.data();
	firekg = cells.data();
	plain();
	s->pixels = pf.px.data();
	firekg = pf.cells.data();
	fast();
	std::string d = differ(pf.px, px);
	return d.empty() ? differ(pf.cells, cells) : "screen " + d;
}

static void randomscreen(std::vector<uint32_t> &px, std::mt19937 &r)
{
	for (auto &p : px)
		p = r();
}

// sizes with every remainder modulo 8 and 16, the screen's among them;
// every one changes the width the background last drew, the widest last
static const int sizes[][2] = { { 640, 480 }, { 1, 1 }, { 3, 2 }, { 7, 5 }, { 17, 9 }, { 31, 4 }, { 129, 3 }, { 700, 2 } };

TEST(FastBackground, MatchesPlainOverPhasesThatWrapWhateverWidthCameBefore)
{
	std::mt19937 r(11);
	std::vector<int32_t> phases = { 0, 1, 59998, 60000, 160000, 3560000, INT32_MAX, INT32_MIN, -1, -52000 };
	for (int i = 0; i < 6; i++)
		phases.push_back((int32_t)r());
	for (int path : paths()) {
		onpath on(path);
		for (auto &wh : sizes) {
			fastfield pf(wh[0], wh[1]);
			for (int32_t ph : phases) {
				randomscreen(pf.px, r);
				ASSERT_EQ(againstplain(pf, [&] { refbkge(ph); }, [&] { bkge(ph); }), "")
					<< "path " << path << " size " << wh[0] << "x" << wh[1] << " phase " << ph;
			}
		}
	}
}

TEST(FastOverlay, MatchesPlainOverEveryHeatRangeAndEveryByteZero)
{
	std::mt19937 r(13);
	for (int path : paths()) {
		onpath on(path);
		for (auto &wh : sizes)
			for (int round = 0; round < 3; round++) {
				fastfield pf(wh[0], wh[1]);
				randomscreen(pf.px, r);
				for (auto &a : pf.cells)
					a = anyheat(r);
				ASSERT_EQ(againstplain(pf, reffiregk, firegk), "") << "path " << path << " size " << wh[0] << "x" << wh[1];
			}
		// each heat from -1000 to 1000 and around the wraps of the flame's
		// green, over every value of byte 0 with random bytes 1 to 3
		fastfield pf(256, 16);
		for (int32_t b : { -1000, -500, 0, 500, 4500, 8300 }) {
			for (size_t i = 0; i < pf.px.size(); i++) {
				pf.px[i] = (r() & 0xffffff00) | (i & 0xff);
				pf.cells[i] = b + (int32_t)(i / 2);
			}
			ASSERT_EQ(againstplain(pf, reffiregk, firegk), "") << "path " << path << " from heat " << b;
		}
	}
}

// the plain sweep writes cells 1 to firew (fireh - 5) only: the fast one must
// leave cell 0 and the last rows alone too
TEST(FastPropagation, MatchesPlainStepAfterStep)
{
	std::mt19937 r(15);
	for (int path : paths()) {
		onpath on(path);
		for (auto &wh : sizes) {
			fastfield pf(wh[0], wh[1]);
			for (auto &a : pf.cells)
				a = sumheat(r);
			for (int step = 0; step < 4; step++)
				ASSERT_EQ(againstplain(pf, reffirekl, firekl), "")
					<< "path " << path << " size " << wh[0] << "x" << wh[1] << " step " << step;
		}
	}
}

TEST(FastPropagation, BurningShowMatchesPlain)
{
	// a fire as the show feeds it: a seeded row under a picture, propagated
	// and painted over the background, fast and plain side by side
	for (int path : paths()) {
		onpath on(path);
		fastfield pf(scrw, scrh);
		std::mt19937 r(17);
		randomscreen(pf.px, r);
		for (int step = 0; step < 40; step++) {
			SDL_Rect imdst = { 120, 18, 400, (Uint16)(300 - 7 * step) };
			int32_t ph = bkphase(33000 + 40 * step);
			auto seed = [&] {
				srand(step);
				firels(33000, imdst);
			};
			ASSERT_EQ(againstplain(pf, [&] { refbkge(ph); reffiregk(); reffirekl(); seed(); },
					       [&] { bkge(ph); firegk(); firekl(); seed(); }), "")
				<< "path " << path << " step " << step;
		}
	}
}
