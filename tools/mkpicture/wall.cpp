// The wall: frames with their mouldings and mats, the name plate, and the
// floor that keeps every pixel inside them off black.
#include "wall.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

constexpr float floorlum = 28; // no channel maximum inside a frame stays below this

// the moulding's brightness across its width, outer edge at 0, inner at 1
static float profile(float t)
{
	float bead = std::exp(-std::pow((t - 0.28f) / 0.12f, 2.0f));
	float lip = std::exp(-std::pow((t - 0.82f) / 0.08f, 2.0f));
	float cove = 0.55f + 0.25f * t;
	return std::min(1.6f, cove + 0.8f * bead + 0.6f * lip) * (t < 0.08f ? 0.55f : 1.0f) * (t > 0.94f ? 0.6f : 1.0f);
}

void drawframe(std::vector<col> &pix, const frame &f, int seed)
{
	int iw = f.w - 2 * f.mw, ih = f.h - 2 * f.mw;
	for (int y = f.y; y < f.y + f.h; y++)
		for (int x = f.x; x < f.x + f.w; x++) {
			int dl = x - f.x, dr = f.x + f.w - 1 - x, dt = y - f.y, db = f.y + f.h - 1 - y;
			int d = std::min({ dl, dr, dt, db });
			if (d < f.mw) {
				// mitred corners: the nearest side lights the pixel
				float side = d == dt ? 1.2f : d == dl ? 1.05f : d == dr ? 0.8f : 0.7f;
				float grain = 0.9f + 0.2f * fbm(x * 0.7f, y * 0.7f, seed, 2);
				at(pix, x, y) = scale(f.base, profile((d + 0.5f) / f.mw) * side * grain);
				continue;
			}
			float u = (x - f.x - f.mw + 0.5f) / iw, v = (y - f.y - f.mw + 0.5f) / ih;
			if (f.oval) {
				float r = std::hypot((u - 0.5f) / 0.44f, (v - 0.5f) / 0.46f);
				if (r > 1) {
					col mat = scale(col{ 110, 36, 44 }, 0.9f + 0.1f * hashf(x, y, seed));
					at(pix, x, y) = r < 1.06f ? scale(mat, 0.82f + 0.18f * (v < 0.5f ? 1 - v : v)) : mat;
					continue;
				}
			}
			at(pix, x, y) = f.paint(u, v, iw, ih);
		}
}

// 5 x 7 letters for the name plate, one row per byte, bit 4 leftmost
static const uint8_t *glyph(char ch)
{
	static const uint8_t g[][7] = {
		{ 0x1e, 0x11, 0x11, 0x1e, 0x11, 0x11, 0x1e }, // B
		{ 0x1e, 0x11, 0x11, 0x1e, 0x14, 0x12, 0x11 }, // R
		{ 0x0e, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0e }, // I
		{ 0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11 }, // N
		{ 0x1c, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1c }, // D
		{ 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1f }, // L
		{ 0x1f, 0x10, 0x10, 0x1e, 0x10, 0x10, 0x1f }, // E
		{ 0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0a }, // W
		{ 0x0e, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0e }, // O
		{ 0x0e, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0e }, // C
		{ 0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11 }, // K
	};
	static const char names[] = "BRINDLEWOCK";
	for (int i = 0; names[i]; i++)
		if (names[i] == ch)
			return g[i];
	return g[0];
}

// a brass plate with the show's name engraved, letters 2 pixels a dot
void drawplate(std::vector<col> &pix, int x0, int y0, int w, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++) {
			int d = std::min({ x - x0, x0 + w - 1 - x, y - y0, y0 + h - 1 - y });
			float shade = 0.85f + 0.3f * (1 - (float)(y - y0) / h) + 0.05f * fbm(x * 0.2f, y * 2.0f, 501, 2);
			if (d < 2)
				shade *= d == 0 ? 0.6f : (x - x0 < 2 || y - y0 < 2) ? 1.3f : 0.8f;
			at(pix, x, y) = scale(col{ 190, 150, 80 }, shade);
		}
	const char *name = "BRINDLEWOCK";
	int n = 11, tw = n * 12 - 2, tx = x0 + (w - tw) / 2, ty = y0 + (h - 14) / 2;
	for (int i = 0; i < n; i++) {
		const uint8_t *g = glyph(name[i]);
		for (int r = 0; r < 7; r++)
			for (int c = 0; c < 5; c++)
				if (g[r] & (0x10 >> c))
					for (int k = 0; k < 4; k++) {
						int x = tx + i * 12 + c * 2 + (k & 1), y = ty + r * 2 + (k >> 1);
						at(pix, x, y) = col{ 70, 48, 22 };
						col &hi = at(pix, x + 1, y + 1);
						if (hi.r > 120)
							hi = col{ 235, 205, 140 };
					}
	}
}

// Lifts every pixel inside a frame to at least the floor, so that no part
// of a painting decodes to the transparent black.
void floorpixels(std::vector<col> &pix, int x0, int y0, int w, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++) {
			col &c = at(pix, x, y);
			c = { std::clamp(c.r, 0.0f, 255.0f), std::clamp(c.g, 0.0f, 255.0f), std::clamp(c.b, 0.0f, 255.0f) };
			float m = std::max({ c.r, c.g, c.b });
			if (m < floorlum)
				c = { c.r + floorlum - m, c.g + floorlum - m, c.b + floorlum - m };
		}
}
