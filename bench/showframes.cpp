/*
 * showframes: the time of a frame's work across the whole show, measured as
 * the web build's page measures it with ?bench, for setting the two side by
 * side: the show's frames on a clock of 60 frames a second from a cold fire
 * and seed 1, stages 1 to 6 of each (all but showing it) timed alone, with
 * the picture "galleri.jpg" of the current directory. Prints the median of
 * the time per frame of runs of ten frames (the browser's clock is too coarse
 * for one) and the mean, in ms.
 *
 *   cd assets && ../build/bench/showframes
 */
#include "brindlewock.h"
#include "load.h"
#include "picture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

constexpr int showfps = 60;           // frames a second of the show's clock
constexpr unsigned showseed = 1;      // the fire's seed
constexpr int showrun = 10;           // frames timed together

int main()
{
	decoder = BRINDLEWOCK_DECODER;
	s = SDL_CreateRGBSurface(SDL_SWSURFACE, scrw, scrh, scrbpp, 0xff0000, 0xff00, 0xff, 0);
	if (!s || !homfire() || !(ims[0] = loadim(imf[0]))) {
		fprintf(stderr, "showframes: no screen, heat field or picture \"%s\"\n", imf[0]);
		return 1;
	}
	srand(showseed);
	framestate f = framestart(0);
	std::vector<double> runs;
	double total = 0;
	int64_t k = 0;
	for (bool over = false; !over;) {
		auto t0 = std::chrono::steady_clock::now();
		int n = 0;
		for (; n < showrun && !over; n++, k++)
			over = showover(frame((uint32_t)(k * 1000 / showfps), 0, f));
		double t = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
		total += t;
		runs.push_back(t / n);
	}
	std::nth_element(runs.begin(), runs.begin() + runs.size() / 2, runs.end());
	printf("a frame's work: median %.3f ms, mean %.3f ms over %lld frames\n", runs[runs.size() / 2], total / k, (long long)k);
	return 0;
}
