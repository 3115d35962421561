// The little of SDL 1.2's interface that the show's frame code uses, for the
// web build, where there is no SDL: the types of surfaces, pixel formats and
// rectangles, with SDL 1.2's field names and types, and the two calls the
// picture's draw makes, which web.cpp supplies. Nothing else of SDL exists
// here; code that needs more does not belong in the frame.
#pragma once

#include <cstdint>

typedef uint8_t Uint8;
typedef uint16_t Uint16;
typedef uint32_t Uint32;
typedef int16_t Sint16;
typedef int32_t Sint32;

constexpr Uint32 SDL_SWSURFACE = 0x00000000;   // a surface in plain memory
constexpr Uint32 SDL_SRCCOLORKEY = 0x00001000; // the surface's colour key is transparent
constexpr Uint32 SDL_SRCALPHA = 0x00010000;    // the surface is blended with its per-surface alpha
constexpr Uint8 SDL_ALPHA_OPAQUE = 255;

typedef struct SDL_Rect {
	Sint16 x, y;
	Uint16 w, h;
} SDL_Rect;

typedef struct SDL_PixelFormat {
	Uint8 BitsPerPixel;
	Uint8 BytesPerPixel;
	Uint8 Rloss, Gloss, Bloss, Aloss;
	Uint8 Rshift, Gshift, Bshift, Ashift;
	Uint32 Rmask, Gmask, Bmask, Amask;
	Uint32 colorkey;                   // the transparent pixel value, with SDL_SRCCOLORKEY
	Uint8 alpha;                       // the per-surface alpha, with SDL_SRCALPHA
} SDL_PixelFormat;

typedef struct SDL_Surface {
	Uint32 flags;
	SDL_PixelFormat *format;
	int w, h;
	Uint16 pitch;                      // bytes per row
	void *pixels;
	SDL_Rect clip_rect;                // blits into the surface stay inside it
} SDL_Surface;

extern "C" {
// sets or clears the surface's per-surface alpha, as SDL 1.2 does
int SDL_SetAlpha(SDL_Surface *surface, Uint32 flag, Uint8 alpha);
// SDL 1.2's blit with clipping; dstrect, if given, is left holding the rectangle drawn
int SDL_UpperBlit(SDL_Surface *src, SDL_Rect *srcrect, SDL_Surface *dst, SDL_Rect *dstrect);
}
#define SDL_BlitSurface SDL_UpperBlit
