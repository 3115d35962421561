// The picture's decoder: SDL_image's reading of the file, as the show
// would read it, or for a picture of one's own photo.cpp's, fitted to its
// place; answered in the screen's format. Started as "brindlewock-decode
// picture TYPE RMASK GMASK BMASK [own]" (answer.h).
#include "decoder.h"

#include <SDL_image.h>
#include <pixman.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char *imtype;            // the file's type, as its extension names it; null for none

// Whether file is a PNG with a chunk ahead of the picture's data that runs
// past the end of the file. The PNG library allocates and clears a buffer
// of the length a chunk claims, up to 2 GiB, before it reads the chunk and
// finds it short; the picture's data would then have to come from past the
// end, so such a file can only fail, and it is refused before it is decoded.
static bool pngrunsout(const bytes &file)
{
	static const uint8_t sig[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
	if (file.size() < 8 || memcmp(file.data(), sig, 8) != 0)
		return false;
	for (uint64_t at = 8; at + 8 <= file.size();) {
		const uint8_t *head = file.data() + at;
		if (memcmp(head + 4, "IDAT", 4) == 0)
			return false;
		at += ((uint64_t)head[0] << 24 | head[1] << 16 | head[2] << 8 | head[3]) + 12; // length, type, data and check
		if (at > file.size())
			return true;
	}
	return false;
}

// A picture of one's own, a camera's photo say, is made to fit the place of
// the show's own picture, whose size was chosen to leave the fire its room
// under it: one larger either way is scaled down, keeping its aspect ratio,
// by s = min(fitw / w, fith / h), to round(w s) x round(h s) (at least 1);
// a smaller one keeps its size. The show's black is transparent, so the
// picture is answered as 32-bit pixels without alpha in which black is
// where it is transparent (alpha 0, or its colour key) and nowhere else: a
// photo's own pure black is lifted to (1, 1, 1). The web page fits a
// picture by the same rule and box.
constexpr int fitsub = 4;             // bits of the filter's subpixel positions
static bool fitown;                   // the picture is one's own: fit it

// pixel (x, y) of p as premultiplied 0xAARRGGBB; alpha 0 where p's colour key is
static uint32_t premul(SDL_Surface *p, int x, int y)
{
	int bpp = p->format->BytesPerPixel;
	const uint8_t *at = (const uint8_t *)p->pixels + (size_t)y * p->pitch + (size_t)x * bpp;
	uint32_t v = 0;
	memcpy(&v, at, bpp); // a little-endian machine: the low bytes are the pixel's
	if ((p->flags & SDL_SRCCOLORKEY) && v == p->format->colorkey)
		return 0;
	Uint8 r, g, b, a;
	SDL_GetRGBA(v, p->format, &r, &g, &b, &a);
	auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
	return (uint32_t)a << 24 | mul(r) << 16 | mul(g) << 8 | mul(b);
}

// p, a picture of wholew x wholeh decoded at its size or smaller, fitted as
// above, as a 32-bit surface without alpha; null without memory
static SDL_Surface *fitpicture(SDL_Surface *p, int wholew, int wholeh)
{
	int w = p->w, h = p->h, nw, nh;
	fitsize(wholew, wholeh, fitw, fith, nw, nh);
	std::vector<uint32_t> in((size_t)w * h), out((size_t)nw * nh);
	SDL_LockSurface(p);
	for (int y = 0; y < h; y++)
		for (int x = 0; x < w; x++)
			in[(size_t)y * w + x] = premul(p, x, y);
	SDL_UnlockSurface(p);
	if (nw == w && nh == h) {
		out.swap(in);
	} else {
		// a separable filter as wide as the scale: every pixel of the photo
		// counts, and none aliases
		pixman_image_t *src = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, in.data(), w * 4);
		pixman_image_t *dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, nw, nh, out.data(), nw * 4);
		pixman_fixed_t sx = pixman_double_to_fixed((double)w / nw), sy = pixman_double_to_fixed((double)h / nh);
		int n = 0;
		pixman_fixed_t *filter = pixman_filter_create_separable_convolution(
			&n, sx, sy, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_LINEAR, PIXMAN_KERNEL_LINEAR, fitsub, fitsub);
		pixman_transform_t t;
		pixman_transform_init_scale(&t, sx, sy);
		bool ok = src && dst && filter && pixman_image_set_transform(src, &t) &&
		          pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, filter, n);
		if (ok) {
			pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
			pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, nw, nh);
		}
		free(filter);
		if (src)
			pixman_image_unref(src);
		if (dst)
			pixman_image_unref(dst);
		if (!ok)
			return nullptr;
	}
	SDL_Surface *fit = SDL_CreateRGBSurface(SDL_SWSURFACE, nw, nh, 32, 0xff0000, 0xff00, 0xff, 0);
	if (!fit)
		return nullptr;
	for (int y = 0; y < nh; y++) {
		uint32_t *row = (uint32_t *)((uint8_t *)fit->pixels + (size_t)y * fit->pitch);
		for (int x = 0; x < nw; x++) {
			uint32_t v = out[(size_t)y * nw + x], a = v >> 24;
			auto unmul = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
			uint32_t rgb = a ? unmul(v >> 16 & 0xff) << 16 | unmul(v >> 8 & 0xff) << 8 | unmul(v & 0xff) : 0;
			row[x] = !a ? 0 : rgb ? rgb : 0x010101;
		}
	}
	return fit;
}

static Uint32 screenmasks[3];         // the screen's red, green and blue

// p with a palette of all 256 entries, those it did not set black, so that
// a pixel whose index runs past its colours is black, and so transparent,
// on every runtime, where their own conversions differ (and the classic
// one reads past the palette); p itself where it has no palette to pad
static SDL_Surface *padded(SDL_Surface *p)
{
	SDL_Palette *pal = p->format->palette;
	if (!pal || p->format->BitsPerPixel != 8 || pal->ncolors >= 256)
		return p;
	SDL_Surface *q = SDL_CreateRGBSurface(SDL_SWSURFACE, p->w, p->h, 8, 0, 0, 0, 0);
	if (!q || !q->format->palette || q->format->palette->ncolors < 256)
		failed(saidnomemory);
	SDL_Color colors[256] = {};
	memcpy(colors, pal->colors, (size_t)std::max(pal->ncolors, 0) * sizeof *colors);
	SDL_SetColors(q, colors, 0, 256);
	for (int y = 0; y < p->h; y++)
		memcpy((uint8_t *)q->pixels + (size_t)y * q->pitch, (uint8_t *)p->pixels + (size_t)y * p->pitch, p->w);
	if (p->flags & SDL_SRCCOLORKEY)
		SDL_SetColorKey(q, p->flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), p->format->colorkey);
	if ((p->flags & SDL_SRCALPHA) || p->format->alpha != q->format->alpha)
		SDL_SetAlpha(q, p->flags & (SDL_SRCALPHA | SDL_RLEACCELOK), p->format->alpha);
	SDL_FreeSurface(p);
	return q;
}

// Decodes the picture, fits it where it is one's own, and answers it in
// the screen's format, converted as the show would convert it.
static void imdecode(const bytes &file)
{
	if (pngrunsout(file))
		failed("the file is damaged: a chunk runs past its end");
	// a photo of one's own as photo.cpp reads it, where it knows its kind
	SDL_Surface *p = nullptr;
	int wholew = 0, wholeh = 0;
	std::string why;
	if (fitown && !(p = photo(file, fitw, fith, wholew, wholeh, why)) && !why.empty())
		failed(("can't be read as a picture (" + why + "); kinds read: " + photokinds).c_str());
	if (!p) {
		if (!(p = IMG_LoadTyped_RW(guarded(file), 1, (char *)imtype)))
			failed(fitown ? ("can't be read as a picture (" + std::string(IMG_GetError()) + "); kinds read: " + photokinds).c_str()
			              : IMG_GetError());
		wholew = p->w;
		wholeh = p->h;
	}
	if (wholew > maxside || wholeh > maxside)
		failed(("can't be shown: " + std::to_string(wholew) + " x " + std::to_string(wholeh) + " pixels, larger than " + std::to_string(maxside) + " on a side").c_str());
	p = padded(p);
	if (fitown && !(p = fitpicture(p, wholew, wholeh)))
		failed(saidnomemory);
	SDL_Surface *screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 32, screenmasks[0], screenmasks[1], screenmasks[2], 0);
	SDL_Surface *im = screen ? SDL_ConvertSurface(p, screen->format, 0) : nullptr;
	if (!im)
		failed(saidnomemory);
	SDL_FreeSurface(p);
	if (im->pitch != im->w * 4)
		failed("the picture can't be converted");
	int32_t size[2] = { im->w, im->h };
	sendanswer(saidpicture, { { size, sizeof size }, { im->pixels, (size_t)im->pitch * im->h } });
}


bool kindstart(int argc, char **argv)
{
	if (!(argc == 6 || (argc == 7 && !strcmp(argv[6], "own"))) || strcmp(argv[1], "picture"))
		return false;
	imtype = argv[2][0] ? argv[2] : nullptr;
	for (int i = 0; i < 3; i++)
		screenmasks[i] = (Uint32)strtoul(argv[3 + i], nullptr, 0);
	fitown = argc == 7;
	IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
	photostart();
	return true;
}

void kinddecode(const bytes &file)
{
	imdecode(file);
}
