/*
 * The show's platform layer for the browser: what SDL does for the native
 * show, done for a WebAssembly module that a page drives. The frame itself is
 * the show's own frame() over the same memory; this file only supplies its
 * screen, its picture, its blit and its random numbers, and hands the page a
 * few calls:
 *
 *   webpicture(w, h)   room for a w x h picture; the page writes its RGBA bytes there
 *   webstart(seed)     a new show: the picture made ready, a cold fire, the seed
 *   webframe(now)      the frame the show draws when its clock reads now ms
 *   webover(elapsed)   whether the frame drawn at that show time is the last
 *   webstill(ms)       the still at show time ms, going on along the still
 *                      schedule from the last still of this show
 *   webpresent()       the screen as RGBA bytes, for the page's canvas
 *   webfact(name)...   the show's facts the page needs (config.h): the
 *                      screen's size, the show's length, step and start
 *                      delay, the box of a picture of one's own, and the
 *                      largest picture side, file and music the native
 *                      decoders take: webscrw() ... webmaxmusic()
 *
 * The module is a WASI reactor whose _initialize the page calls first, and it
 * imports nothing: the clock, the events, the sound and the
 * decoding of the two files are the page's (page/, bundled into brindlewock.js).
 */
#include "config.h"
#include "frame.h"
#include "blit.h"
#include "fire.h"
#include "picture.h"
#include "rnd.h"

#include <cstdlib>
#include <cstring>

#define webexport(name) extern "C" __attribute__((export_name(#name)))


// the screen: 32 bits a pixel, 0x00RRGGBB in a little-endian word, so bytes
// 0, 1 and 2 are blue, green and red, as on the usual native display
static SDL_PixelFormat screenformat = {
	32, 4, 0, 0, 0, 8, 16, 8, 0, 0, 0xff0000, 0xff00, 0xff, 0, 0, SDL_ALPHA_OPAQUE };
static uint32_t screenpx[scrw * scrh];
static SDL_Surface screen = { SDL_SWSURFACE, &screenformat, scrw, scrh, scrw * 4, screenpx, { 0, 0, scrw, scrh } };

// the picture, converted to the screen's format, black transparent
static SDL_PixelFormat picformat = screenformat;
static SDL_Surface picture = { SDL_SWSURFACE, &picformat, 0, 0, 0, nullptr, { 0, 0, 0, 0 } };

static int32_t field[scrw * (scrh + firebelow)];
static uint8_t presented[scrw * scrh * 4]; // the screen as the page's canvas takes it

static bool picready;                 // the picture is in the screen's format
static framestate f;                  // the show's frame state
static int32_t stillnext;             // the time of the still schedule's next frame

// what SDL 1.2's SDL_SetAlpha does to a surface: the flag and the alpha it
// blits with, or opaque without the flag
int SDL_SetAlpha(SDL_Surface *surface, Uint32 flag, Uint8 alpha)
{
	if (flag & SDL_SRCALPHA) {
		surface->flags |= SDL_SRCALPHA;
		surface->format->alpha = alpha;
	} else {
		surface->flags &= ~SDL_SRCALPHA;
		surface->format->alpha = SDL_ALPHA_OPAQUE;
	}
	return 0;
}

int SDL_UpperBlit(SDL_Surface *src, SDL_Rect *srcrect, SDL_Surface *dst, SDL_Rect *dstrect)
{
	return imblit(src, srcrect, dst, dstrect);
}

// the C library's generator, as the native one draws: the fire of a seed is
// the same on both
extern "C" void srand(unsigned seed)
{
	rndseed(seed);
}

extern "C" int rand()
{
	return rnd();
}

// The C++ library's allocation, without its failure handlers, which would
// bring in standard error and with it imports of the host: running out of
// memory traps, as any other failure in the module does.
void *operator new(size_t n)
{
	void *p = malloc(n);
	if (!p)
		__builtin_trap();
	return p;
}

void operator delete(void *p) noexcept
{
	free(p);
}

void operator delete(void *p, size_t) noexcept
{
	free(p);
}

// The same for a broken precondition of the C++ library (a vector grown past
// its largest size): from libc++ 15 on its headers report one through this
// hook, whose own definition prints to standard error through WASI's
// fd_write. Here it traps.
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION >= 15000
#include <__verbose_abort>
_LIBCPP_BEGIN_NAMESPACE_STD
// as the library declares it, noexcept or not by its version
constexpr bool webabortnoexcept = noexcept(__libcpp_verbose_abort(""));
void __libcpp_verbose_abort(const char *, ...) noexcept(webabortnoexcept)
{
	__builtin_trap();
}
_LIBCPP_END_NAMESPACE_STD
#endif

// room for a picture of w x h pixels, whose RGBA bytes the page writes there
// before webstart; null for a size the show can't take
webexport(webpicture) uint8_t *webpicture(int w, int h)
{
	free(picture.pixels);
	picture.pixels = nullptr;
	picture.w = picture.h = picture.pitch = 0;
	picready = false;
	if (w < 1 || h < 1 || w > maxside || h > maxside)
		return nullptr;
	picture.pixels = malloc((size_t)w * h * 4);
	if (!picture.pixels)
		return nullptr;
	picture.w = w;
	picture.h = h;
	picture.pitch = (Uint16)(w * 4);
	picture.clip_rect = { 0, 0, (Uint16)w, (Uint16)h };
	return (uint8_t *)picture.pixels;
}

// the picture's RGBA bytes to the screen's format, in place, and black its
// transparent colour, as start-up's conversion and colour key make it
static void webconvert()
{
	uint8_t *p = (uint8_t *)picture.pixels;
	for (size_t i = 0; i < (size_t)picture.w * picture.h; i++, p += 4) {
		uint32_t px = (uint32_t)p[0] << picformat.Rshift | (uint32_t)p[1] << picformat.Gshift | (uint32_t)p[2] << picformat.Bshift;
		memcpy(p, &px, 4);
	}
	picture.flags = SDL_SWSURFACE | SDL_SRCCOLORKEY;
	picformat.colorkey = 0;
	picformat.alpha = SDL_ALPHA_OPAQUE;
	picready = true;
}

// a new show: the picture written since webpicture made ready, the heat field
// cold, the random numbers seeded; false without a picture
webexport(webstart) bool webstart(unsigned seed)
{
	if (!picture.pixels)
		return false;
	if (!picready)
		webconvert();
	s = &screen;
	ims[0] = &picture;
	firew = scrw;
	fireh = scrh + firebelow;
	firekg = field;
	memset(field, 0, sizeof field);
	srand(seed);
	f = framestart(0);
	stillnext = 0;
	return true;
}

// stages 1 to 6 of the frame drawn when the show's clock reads now ms from
// its start; returns the show time
webexport(webframe) int32_t webframe(uint32_t now)
{
	return frame(now, 0, f);
}

webexport(webover) bool webover(int32_t elapsed)
{
	return showover(elapsed);
}

// the still at show time ms: the frames of the still schedule from where the
// last still of this show left it, or from 0, up to the one at ms, which
// gives the same bytes as a show started for this still alone; stills come
// in order of time
webexport(webstill) void webstill(int32_t ms)
{
	stillnext = still(stillnext, ms, f);
}

// the show's facts, said once in config.h, for the page: the screen, the
// time line, the box of a picture of one's own, and the native decoders'
// limits, which the page holds a viewer's files to
#define webfact(name) \
	webexport(web##name) int32_t web##name() { return (int32_t)name; }
webfact(scrw)
webfact(scrh)
webfact(showlen)
webfact(steplen)
webfact(startdelay)
webfact(fitw)
webfact(fith)
webfact(maxside)
webfact(maxfile)
webfact(maxmusic)

// the screen as 640 x 480 RGBA pixels, opaque, row after row
webexport(webpresent) uint8_t *webpresent()
{
	uint32_t *out = (uint32_t *)presented;
	for (int i = 0; i < scrw * scrh; i++) {
		uint32_t p = screenpx[i];
		out[i] = 0xff000000 | (p & 0xff00) | (p >> 16 & 0xff) | (p & 0xff) << 16;
	}
	return presented;
}
