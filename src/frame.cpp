// One frame of the show, stages 1 to 6, over the screen's memory and the heat
// field. Nothing here calls SDL but the picture's blit, so the show, the
// capture and the web build all draw their frames with this one function and
// only supply the clock, the screen and the blit around it.
#include "frame.h"
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

framestate framestart(uint32_t showstart)
{
	return framestate{ showstart, {}, {} };
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

int32_t frame(uint32_t now, uint32_t showstart, framestate &f)
{
	int32_t elapsed = (int32_t)(now - showstart);
	imgeom(elapsed, ims[0]->w, ims[0]->h, s->w, f.imsrc, f.imdst);
	bkge(bkphase(elapsed));
	imdraw(elapsed, f.imsrc, f.imdst);
	firegk();
	for (uint32_t n = stepsdue(now, f.nexttick); n > 0; n--) {
		firekl();
		firels(elapsed, f.imdst);
	}
	return elapsed;
}

int32_t still(int32_t from, int32_t ms, framestate &f)
{
	int32_t t = from;
	for (; t < ms; t += steplen)
		frame(t, 0, f);
	frame(ms, 0, f);
	return t == ms ? t + steplen : t;
}

void scrcopy(uint8_t *dst)
{
	// the effects write bytes, so read bytes: where each colour's byte lies
	// follows from the screen's format
	const SDL_PixelFormat *f = s->format;
	int rb = f->Rshift / 8, gb = f->Gshift / 8, bb = f->Bshift / 8;
	const uint8_t *src = (const uint8_t *)s->pixels;
	for (int i = 0; i < s->w * s->h; i++, src += 4, dst += 4) {
		dst[0] = src[bb];
		dst[1] = src[gb];
		dst[2] = src[rb];
		dst[3] = 0;
	}
}
