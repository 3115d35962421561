// Test helpers: a screen over plain memory, so the effects run without a
// display.
#pragma once

#include "brindlewock.h"
#include <cstdint>
#include <vector>

// a 32-bit surface in the usual layout over the given pixels
inline SDL_Surface *plainsurface(std::vector<uint32_t> &px, int w, int h)
{
	px.resize((size_t)w * h);
	return SDL_CreateRGBSurfaceFrom(px.data(), w, h, 32, w * 4, 0xff0000, 0xff00, 0xff, 0);
}

// points the show's screen at a fresh plain surface of the screen's size
struct plainscreen {
	std::vector<uint32_t> px;
	plainscreen() { s = plainsurface(px, scrw, scrh); }
	~plainscreen() { SDL_FreeSurface(s); s = nullptr; }
	uint8_t *byte(int x, int y) { return (uint8_t *)&px[(size_t)y * scrw + x]; }
};
