// The wall of frames: the picture's pixels, its frames, the name plate and
// the floor that keeps what is inside them off the transparent black.
#pragma once
#include "config.h"
#include "paint.h"

#include <cstddef>
#include <vector>

constexpr int picw = fitw; // picture width, the place of one's own; a multiple of the block size
constexpr int pich = fith; // picture height; leaves room below for the fire

// the picture's pixel at x, y; pix holds picw x pich, row by row
inline col &at(std::vector<col> &pix, int x, int y)
{
	return pix[(size_t)y * picw + x];
}

inline const col &at(const std::vector<col> &pix, int x, int y)
{
	return pix[(size_t)y * picw + x];
}

// A frame: outer rectangle in pixels (whole blocks), moulding width, the
// moulding's base colour, an optional oval mat, and the painting inside.
struct frame {
	int x, y, w, h, mw;
	col base;
	bool oval;
	painting paint;
};

// draws frame f and its painting; seed varies the moulding's grain
void drawframe(std::vector<col> &pix, const frame &f, int seed);
// draws the name plate in the rectangle
void drawplate(std::vector<col> &pix, int x0, int y0, int w, int h);
// lifts every pixel in the rectangle to at least the floor
void floorpixels(std::vector<col> &pix, int x0, int y0, int w, int h);
