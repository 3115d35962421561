// Test helpers: a screen over plain memory, so the effects run without a
// display.
#pragma once

#include "frame.h"
#include "picture.h"
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

// points the heat field at fresh zeroed memory of the show's size
#include "fire.h"
struct plainfield {
	std::vector<int32_t> cells;
	plainfield()
	{
		firew = scrw;
		fireh = scrh + firebelow;
		cells.assign((size_t)firew * fireh, 0);
		firekg = cells.data();
	}
	~plainfield() { firekg = nullptr; }
	int32_t &at(int x, int y) { return cells[(size_t)y * firew + x]; }
};

// a picture loaded the way start-up loads it: converted to the screen's
// format, black transparent
struct plainpicture {
	std::vector<uint32_t> px;
	plainpicture(int w, int h, uint32_t colour)
	{
		SDL_Surface *raw = plainsurface(px, w, h);
		for (auto &p : px)
			p = colour;
		ims[0] = SDL_ConvertSurface(raw, s->format, 0);
		SDL_FreeSurface(raw);
		SDL_SetColorKey(ims[0], SDL_SRCCOLORKEY, SDL_MapRGB(ims[0]->format, 0, 0, 0));
	}
	~plainpicture() { SDL_FreeSurface(ims[0]); ims[0] = nullptr; }
	void set(int x, int y, uint32_t c)
	{
		((uint32_t *)ims[0]->pixels)[y * ims[0]->pitch / 4 + x] = c;
	}
};

