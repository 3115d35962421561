#include "blit.h"
#include <cstdint>

// What SDL 1.2's software blit does here, found by experiment against the
// library, for 8-bit colour channels in whole bytes and no alpha channel:
//
// - a source pixel equal to the colour key, compared in all 32 bits, leaves
//   the destination pixel as it is;
// - opaque (no SDL_SRCALPHA, or alpha 255) copies the colour bytes and
//   clears the rest;
// - alpha 0 writes nothing at all;
// - alpha 1 to 254 blends each colour byte as d + (((s - d) a + 255) >> 8)
//   in unsigned 32-bit arithmetic and clears the other bytes, except that a
//   negative step in the lowest byte wraps around into bit 24, which the
//   colour bytes are then ORed over.
//
// The blend is computed here as (s a + d (256 - a) + 255) >> 8, the same
// value with no negative step, which fits a 16-bit field; two fields share a
// 32-bit word without carrying into each other. The wrap shows as a result
// below the destination's byte.

// the destination pixels of one row, keyed, opaque
static void keyrow(const uint32_t *__restrict sp, uint32_t *__restrict dp, int w, uint32_t key, uint32_t rgb)
{
	for (int i = 0; i < w; i++) {
		uint32_t a = sp[i], b = dp[i];
		dp[i] = a == key ? b : a & rgb;
	}
}

// the destination pixels of one row, keyed, blended with alpha k of 1 to
// 254; wrap is bit 24 when the lowest byte is a colour, else 0
static void blendrow(const uint32_t *__restrict sp, uint32_t *__restrict dp, int w, uint32_t key, uint32_t rgb,
	uint32_t k, uint32_t wrap)
{
	uint32_t l = 256 - k;
	for (int i = 0; i < w; i++) {
		uint32_t a = sp[i], b = dp[i];
		uint32_t even = ((a & 0xff00ff) * k + (b & 0xff00ff) * l + 0xff00ff) >> 8 & 0xff00ff;
		uint32_t odd = ((a >> 8 & 0xff00ff) * k + (b >> 8 & 0xff00ff) * l + 0xff00ff) & 0xff00ff00;
		uint32_t v = (even | odd) & rgb;
		v |= (v & 0xff) < (b & 0xff) ? wrap : 0;
		dp[i] = a == key ? b : v;
	}
}

// whether a mask is one whole byte of a pixel
static bool bytemask(uint32_t m)
{
	return m == 0xff || m == 0xff00 || m == 0xff0000 || m == 0xff000000;
}

// the surfaces whose blit this computes: a colour-keyed src, both of 32 bits
// in one format with three colour bytes and no alpha channel
static bool blittable(const SDL_Surface *src, const SDL_Surface *dst)
{
	const SDL_PixelFormat *f = src->format, *g = dst->format;
	uint32_t rgb = f->Rmask | f->Gmask | f->Bmask;
	return (src->flags & SDL_SRCCOLORKEY) && f->BytesPerPixel == 4 && g->BytesPerPixel == 4 &&
		f->Rmask == g->Rmask && f->Gmask == g->Gmask && f->Bmask == g->Bmask && !f->Amask && !g->Amask &&
		bytemask(f->Rmask) && bytemask(f->Gmask) && bytemask(f->Bmask) && __builtin_popcount(rgb) == 24;
}

// SDL_UpperBlit's clipping along one axis: the source span of n from p to
// the source's size, moving the destination's position d with its start,
// then the destination to the clip span of cn from c; returns the length
// left, and leaves the start in p and d
static int blitspan(int &p, int n, int size, Sint16 &d, int c, int cn)
{
	if (p < 0) {
		n += p;
		d = (Sint16)(d - p);
		p = 0;
	}
	if (n > size - p)
		n = size - p;
	int k = c - d;
	if (k > 0) {
		n -= k;
		d = (Sint16)(d + k);
		p += k;
	}
	k = d + n - c - cn;
	return k > 0 ? n - k : n;
}

// SDL_UpperBlit's clipping: leaves the part of src to draw in sr and the
// rectangle drawn in *dstrect, w = h = 0 when nothing is; false then
static bool blitclip(const SDL_Surface *src, const SDL_Rect *srcrect, const SDL_Surface *dst, SDL_Rect *dstrect, SDL_Rect &sr)
{
	int sx = srcrect ? srcrect->x : 0, sy = srcrect ? srcrect->y : 0;
	int w = blitspan(sx, srcrect ? srcrect->w : src->w, src->w, dstrect->x, dst->clip_rect.x, dst->clip_rect.w);
	int h = blitspan(sy, srcrect ? srcrect->h : src->h, src->h, dstrect->y, dst->clip_rect.y, dst->clip_rect.h);
	if (w <= 0 || h <= 0) {
		dstrect->w = dstrect->h = 0;
		return false;
	}
	sr = { (Sint16)sx, (Sint16)sy, (Uint16)w, (Uint16)h };
	dstrect->w = (Uint16)w;
	dstrect->h = (Uint16)h;
	return true;
}

// draws the clipped part sr of src at dr's corner, row by row
static void blitrows(const SDL_Surface *src, const SDL_Rect &sr, SDL_Surface *dst, const SDL_Rect &dr)
{
	const SDL_PixelFormat *f = src->format;
	bool blend = (src->flags & SDL_SRCALPHA) && f->alpha != SDL_ALPHA_OPAQUE;
	if (blend && f->alpha == 0)
		return;
	uint32_t rgb = f->Rmask | f->Gmask | f->Bmask;
	uint32_t wrap = rgb & 0xff ? 1u << 24 : 0;
	const uint8_t *sp = (const uint8_t *)src->pixels + sr.y * src->pitch + sr.x * 4;
	uint8_t *dp = (uint8_t *)dst->pixels + dr.y * dst->pitch + dr.x * 4;
	for (int y = 0; y < sr.h; y++, sp += src->pitch, dp += dst->pitch) {
		if (blend)
			blendrow((const uint32_t *)sp, (uint32_t *)dp, sr.w, f->colorkey, rgb, f->alpha, wrap);
		else
			keyrow((const uint32_t *)sp, (uint32_t *)dp, sr.w, f->colorkey, rgb);
	}
}

int imblit(SDL_Surface *src, SDL_Rect *srcrect, SDL_Surface *dst, SDL_Rect *dstrect)
{
	if (!src || !dst || !blittable(src, dst))
		return -1;
	SDL_Rect whole = { 0, 0, 0, 0 }, sr;
	if (!dstrect)
		dstrect = &whole;
	if (blitclip(src, srcrect, dst, dstrect, sr))
		blitrows(src, sr, dst, *dstrect);
	return 0;
}
