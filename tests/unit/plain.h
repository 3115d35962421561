// Test helpers: a screen over plain memory, so the effects run without a
// display, and the mixer opened as the show opens it.
#pragma once

#include "brindlewock.h"
#include "fire.h"
#include "frame.h"
#include "picture.h"
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// a 32-bit surface in the usual layout over the given pixels
inline SDL_Surface *plainsurface(std::vector<uint32_t> &px, int w, int h)
{
	px.resize((size_t)w * h);
	return SDL_CreateRGBSurfaceFrom(px.data(), w, h, 32, w * 4, 0xff0000, 0xff00, 0xff, 0);
}

// points the show's screen at a fresh plain surface, of the screen's size or another
struct plainscreen {
	std::vector<uint32_t> px;
	plainscreen(int w = scrw, int h = scrh) { s = plainsurface(px, w, h); }
	~plainscreen() { SDL_FreeSurface(s); s = nullptr; }
};

// points the heat field at fresh zeroed memory under a screen of w x h, the
// show's by default, with guard cells after it that nothing may write
struct plainfield {
	std::vector<int32_t> cells;
	plainfield(int w = scrw, int h = scrh, int guard = 0)
	{
		firew = w;
		fireh = h + firebelow;
		cells.assign((size_t)firew * fireh + guard, 0);
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


// the pixels of a surface as T, row after row without the rows' padding
template <class T = uint8_t> std::vector<T> pixels(SDL_Surface *p)
{
	std::vector<T> v;
	for (int y = 0; y < p->h; y++) {
		const T *row = (const T *)((const uint8_t *)p->pixels + y * p->pitch);
		v.insert(v.end(), row, row + p->w * p->format->BytesPerPixel / sizeof(T));
	}
	return v;
}

// the mixer opened as the show opens it, for the length of one test
struct mixer {
	bool ok = false;
	mixer()
	{
		setenv("SDL_AUDIODRIVER", "dummy", 0);
		if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0)
			ok = Mix_OpenAudio(audiorate, AUDIO_S16LSB, audiochans, audiochunk) == 0;
	}
	~mixer()
	{
		if (ok)
			Mix_CloseAudio();
		SDL_QuitSubSystem(SDL_INIT_AUDIO);
	}
};

// a file decoded by the mixer in-process: interleaved 16-bit stereo samples
inline std::vector<int16_t> loadmusic(const std::string &path)
{
	std::vector<int16_t> pcm;
	Mix_Chunk *c = Mix_LoadWAV_RW(SDL_RWFromFile(path.c_str(), "rb"), 1);
	if (!c)
		return pcm;
	pcm.assign((int16_t *)c->abuf, (int16_t *)(c->abuf + c->alen));
	Mix_FreeChunk(c);
	return pcm;
}
