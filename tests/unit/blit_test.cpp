// imblit against the classic SDL 1.2 library's own blit, byte for byte. The
// SDL-2-based runtime blends by SDL 2's rules, and from 1.2.68 on leaves an
// empty blit's destination where it was asked for, so these tests need the
// classic one, and skip where the machine has only the other (Debian 13 on).
#include "blit.h"
#include "brindlewock.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <random>
#include <vector>

constexpr int blitpad = 3;            // pixels of gap at the end of every source row

// a 32-bit surface of one of three colour layouts over its own pixels, rows
// pad pixels longer than the surface is wide
struct blitsurface {
	std::vector<uint32_t> px;
	SDL_Surface *s;
	blitsurface(int w, int h, int layout, int pad = 0) : px((size_t)(w + pad) * h)
	{
		static const uint32_t masks[][3] = {
			{ 0xff0000, 0xff00, 0xff },       // the usual 0x00RRGGBB
			{ 0xff, 0xff00, 0xff0000 },       // 0x00BBGGRR
			{ 0xff000000, 0xff00, 0xff },     // 0xRR00GGBB: the lowest byte's wrap lands in red
		};
		const uint32_t *m = masks[layout];
		s = SDL_CreateRGBSurfaceFrom(px.data(), w, h, 32, (w + pad) * 4, m[0], m[1], m[2], 0);
	}
	~blitsurface() { SDL_FreeSurface(s); }
};
constexpr int blitlayouts = 3;

// random pixels with bytes at the ends of their range often, a few keyed and
// a few black in the colour bytes but not in the others
static void randompixels(blitsurface &b, uint32_t key, std::mt19937 &r)
{
	static const uint8_t ends[] = { 0, 1, 2, 127, 128, 253, 254, 255 };
	uint32_t rgb = b.s->format->Rmask | b.s->format->Gmask | b.s->format->Bmask;
	for (auto &p : b.px) {
		uint32_t u = r(), v = r();
		for (int k = 0; k < 4; k++, v >>= 5)
			if ((v & 3) == 0)
				u = (u & ~(0xffu << 8 * k)) | (uint32_t)ends[v >> 2 & 7] << 8 * k;
		if ((v & 7) == 0)
			u = key;
		else if ((v >> 3 & 15) == 0)
			u = (key & rgb) | (u & ~rgb);
		p = u;
	}
}

// the same blit by SDL into one copy of dst and by imblit into another:
// the same result, the same rectangle and the same bytes everywhere
static testing::AssertionResult sameblit(SDL_Surface *src, SDL_Rect *srcrect, const blitsurface &dst, SDL_Rect *dstrect)
{
	static std::vector<uint32_t> pa, pb; // kept: fresh memory for every blit is slow under the sanitizers
	pa = pb = dst.px;
	auto copy = [&](std::vector<uint32_t> &px) {
		const SDL_PixelFormat *f = dst.s->format;
		SDL_Surface *c = SDL_CreateRGBSurfaceFrom(px.data(), dst.s->w, dst.s->h, 32, dst.s->pitch, f->Rmask, f->Gmask, f->Bmask, 0);
		SDL_SetClipRect(c, &dst.s->clip_rect);
		return c;
	};
	SDL_Surface *a = copy(pa), *b = copy(pb);
	SDL_Rect ra = dstrect ? *dstrect : SDL_Rect{}, rb = ra;
	int ea = SDL_BlitSurface(src, srcrect, a, dstrect ? &ra : nullptr);
	int eb = imblit(src, srcrect, b, dstrect ? &rb : nullptr);
	SDL_FreeSurface(a);
	SDL_FreeSurface(b);
	if (ea != eb)
		return testing::AssertionFailure() << "returned " << eb << ", SDL " << ea;
	if (ra.x != rb.x || ra.y != rb.y || ra.w != rb.w || ra.h != rb.h)
		return testing::AssertionFailure() << "rectangle " << rb.x << "," << rb.y << " " << rb.w << "x" << rb.h
						   << ", SDL " << ra.x << "," << ra.y << " " << ra.w << "x" << ra.h;
	for (size_t i = 0; i < pa.size(); i++)
		if (pa[i] != pb[i])
			return testing::AssertionFailure() << "pixel " << i << std::hex << ": " << pb[i] << ", SDL " << pa[i]
							   << " (was " << dst.px[i] << ")";
	return testing::AssertionSuccess();
}

// the classic runtime calls itself 1.2.15; the SDL-2-based one 1.2.50 and up;
// BRINDLEWOCK_NOSKIP makes a skip a failure
#define NEEDCLASSIC()                                                                              \
	if (sdlcompat()) {                                                                         \
		const char *why = "needs the classic SDL 1.2 runtime, which this machine lacks";     \
		if (getenv("BRINDLEWOCK_NOSKIP"))                                                  \
			FAIL() << why;                                                             \
		GTEST_SKIP() << why;                                                               \
	}

TEST(ImBlit, SdlsBytesForEveryAlpha)
{
	NEEDCLASSIC();
	std::mt19937 r(13);
	for (int layout = 0; layout < blitlayouts; layout++)
		for (uint32_t key : { 0u, 0x123456u }) {
			blitsurface src(96, 64, layout, blitpad), dst(96, 64, layout);
			SDL_SetColorKey(src.s, SDL_SRCCOLORKEY, key);
			// every alpha, then opaque without SDL_SRCALPHA
			for (int alpha = 0; alpha <= 256; alpha++) {
				randompixels(src, key, r);
				randompixels(dst, key, r);
				SDL_SetAlpha(src.s, alpha < 256 ? SDL_SRCALPHA : 0, (Uint8)alpha);
				SDL_Rect at = { 0, 0, 0, 0 };
				ASSERT_TRUE(sameblit(src.s, nullptr, dst, &at)) << "layout " << layout << ", key " << key << ", alpha " << alpha;
			}
		}
}

TEST(ImBlit, SdlsClipping)
{
	NEEDCLASSIC();
	std::mt19937 r(14);
	// a source larger than the destination both ways
	blitsurface src(90, 70, 0, blitpad), dst(64, 48, 0);
	SDL_SetColorKey(src.s, SDL_SRCCOLORKEY, 0);
	randompixels(src, 0, r);
	randompixels(dst, 0, r);
	// where the random rectangles below seldom fall: exactly at the edges, far
	// off, and at the ends of the types
	struct {
		SDL_Rect src, dst, clip;
	} cases[] = {
		{ { 0, 0, 90, 70 }, { 0, 0, 0, 0 }, { 0, 0, 64, 48 } },        // larger than the destination
		{ { 10, 5, 20, 30 }, { -20, 10, 0, 0 }, { 0, 0, 64, 48 } },    // just left of it
		{ { 10, 5, 20, 30 }, { 64, 10, 0, 0 }, { 0, 0, 64, 48 } },     // just right of it
		{ { 10, 5, 20, 30 }, { 10, 48, 0, 0 }, { 0, 0, 64, 48 } },     // just below it
		{ { 10, 5, 20, 30 }, { 300, -300, 0, 0 }, { 0, 0, 64, 48 } },  // far away
		{ { 0, 0, 0, 10 }, { 5, 5, 0, 0 }, { 0, 0, 64, 48 } },         // zero wide
		{ { 0, 0, 10, 0 }, { 5, 5, 0, 0 }, { 0, 0, 64, 48 } },         // zero high
		{ { 0, 0, 10, 10 }, { 5, 5, 0, 0 }, { 10, 12, 0, 0 } },        // an empty clip rectangle
		{ { 0, 0, 10, 10 }, { 5, 50, 77, 99 }, { 0, 0, 64, 48 } },     // w and h of dstrect ignored, and zeroed when nothing is drawn
		{ { -32768, -32768, 65535, 65535 }, { 32767, 32767, 0, 0 }, { 0, 0, 64, 48 } }, // the ends of the types
		{ { 32767, 32767, 65535, 65535 }, { -32768, -32768, 0, 0 }, { 0, 0, 64, 48 } },
		{ { -32768, -10, 65535, 40 }, { -32768, 5, 0, 0 }, { 0, 0, 64, 48 } },
	};
	auto blits = [&](SDL_Rect *sr, SDL_Rect *dr, SDL_Rect clip) {
		SDL_SetClipRect(dst.s, &clip);
		for (int alpha : { 0, 77, 255 }) {
			SDL_SetAlpha(src.s, SDL_SRCALPHA, (Uint8)alpha);
			ASSERT_TRUE(sameblit(src.s, sr, dst, dr)) << "alpha " << alpha;
		}
	};
	for (auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "source " << c.src.x << "," << c.src.y << " " << c.src.w << "x" << c.src.h
						<< " at " << c.dst.x << "," << c.dst.y << ", clip " << c.clip.x << "," << c.clip.y << " "
						<< c.clip.w << "x" << c.clip.h);
		blits(&c.src, &c.dst, c.clip);
		blits(nullptr, &c.dst, c.clip); // all of the source
		blits(&c.src, nullptr, c.clip); // at the destination's corner
	}
	// and at random, around the two surfaces
	auto any = [&](int lo, int hi) { return lo + (int)(r() % (uint32_t)(hi - lo + 1)); };
	for (int i = 0; i < 2000; i++) {
		SDL_Rect sr = { (Sint16)any(-100, 100), (Sint16)any(-100, 100), (Uint16)any(0, 150), (Uint16)any(0, 150) };
		SDL_Rect dr = { (Sint16)any(-100, 100), (Sint16)any(-100, 100), (Uint16)any(0, 150), (Uint16)any(0, 150) };
		SDL_Rect clip = { (Sint16)any(-10, 70), (Sint16)any(-10, 50), (Uint16)any(0, 70), (Uint16)any(0, 50) };
		SCOPED_TRACE(i);
		blits(&sr, &dr, clip);
	}
}
