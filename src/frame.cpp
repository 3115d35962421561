// One frame of the show, stages 1 to 6, over the screen's memory and the heat
// field. Nothing here calls SDL but the picture's blit, so the show, the
// capture and the web build all draw their frames with this one function and
// only supply the clock, the screen and the blit around it.
#include "brindlewock.h"
#include "background.h"
#include "fire.h"
#include "picture.h"

SDL_Surface *s;

int simdlevel()
{
#if defined(__x86_64__)
	__builtin_cpu_init();
	if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
		return 2;
	return __builtin_cpu_supports("avx2") ? 1 : 0;
#elif defined(__wasm_simd128__)
	return 1; // a module built with SIMD runs only where the browser has it
#else
	return 0;
#endif
}

uint32_t stepsdue(uint32_t now, uint32_t &nexttick)
{
	uint32_t n = 0;
	while (now >= nexttick) {
		nexttick += steplen;
		n++;
	}
	return n;
}

bool showover(int32_t elapsed)
{
	return elapsed >= showlen;
}

int32_t frame(uint32_t now, uint32_t showstart, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst)
{
	int32_t elapsed = (int32_t)(now - showstart);
	imgeom(elapsed, ims[0]->w, ims[0]->h, s->w, imsrc, imdst);
	bkge(bkphase(elapsed));
	imdraw(elapsed, imsrc, imdst);
	firegk();
	for (uint32_t n = stepsdue(now, nexttick); n > 0; n--) {
		firekl();
		firels(elapsed, imdst);
	}
	return elapsed;
}
