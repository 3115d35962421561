#include "capture.h"
#include "brindlewock.h"
#include <cstring>
#include <vector>

int32_t captime(int64_t k, int fps)
{
	return (int32_t)(k * 1000 / fps);
}

int64_t capframes(int fps, int32_t until)
{
	// the last frame is the first k with k * 1000 / fps >= until
	return ((int64_t)until * fps + 999) / 1000 + 1;
}

int32_t capframe(int64_t k, int fps, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst)
{
	return frame(capstart + (uint32_t)captime(k, fps), capstart, nexttick, imsrc, imdst);
}

int32_t capstill(int32_t from, int32_t ms, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst)
{
	int32_t t = from;
	for (; t < ms; t += steplen)
		frame(capstart + t, capstart, nexttick, imsrc, imdst);
	frame(capstart + ms, capstart, nexttick, imsrc, imdst);
	return t == ms ? t + steplen : t;
}

void capcopy(uint8_t *dst)
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

void capplane(const uint8_t *src, int srcpitch, uint8_t *dst, int dstpitch, int dw, int dh, int num, int den)
{
	std::vector<int> col(dw);
	for (int x = 0; x < dw; x++)
		col[x] = x * num / den;
	const uint8_t *done = NULL; // the source row of the last row made
	for (int y = 0; y < dh; y++, dst += dstpitch) {
		const uint8_t *r = src + (size_t)(y * num / den) * srcpitch;
		if (r == done) {
			memcpy(dst, dst - dstpitch, dw);
			continue;
		}
		for (int x = 0; x < dw; x++)
			dst[x] = r[col[x]];
		done = r;
	}
}
