#include "background.h"
#include "brindlewock.h"

int32_t bkphase(int32_t elapsed)
{
	if (elapsed < bkfast)
		return (int32_t)(elapsed * bkslow);
	// unsigned so that a frame hours late wraps instead of overflowing; the
	// pattern only uses the phase modulo 2^32 anyway
	return (int32_t)(bkrate * (uint32_t)(elapsed - bkfast) + bkfastbase);
}

void bkge(int32_t phase)
{
	uint8_t *p = (uint8_t *)s->pixels;
	uint32_t w = s->w, h = s->h;
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++, p += 4) {
			uint32_t u = x * ((uint32_t)phase + bkxx * x) + bkyy * y;
			uint8_t v = (u >> bkshift) & bkmask;
			p[0] = v;
			p[1] = v >> 1;
			p[2] = v >> 2;
		}
}
