/*
 * mkpicture: draws the show's default picture, a wall of framed paintings,
 * and writes it as a JPEG: mkpicture galleri.jpg
 *
 * The show keys out exact black, so the wall between the frames is black
 * and must decode to (0, 0, 0) and nothing else. Every frame therefore
 * covers whole 8 x 8 blocks of the JPEG grid, the file is written without
 * chroma subsampling at quality 100 (an all-black block then decodes to
 * exact black), and inside the frames no pixel is darker than a floor, so
 * the paintings never decode to black and the edges stay clean.
 *
 * The show's flames keep the blue of what lies beneath them, so a pale or
 * strongly blue area burns pink. The paintings keep their blue low where
 * they are large and flat (warm skies, dark mats and mouldings), so that
 * each reads as burning when the fire crosses it.
 *
 * Everything is computed from fixed seeds: the same program writes the
 * same file.
 */
#include "config.h"
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h> // after cstdio: it needs FILE and size_t

constexpr int picw = fitw;     // picture width, the place of one's own; a multiple of the block size
constexpr int pich = fith;     // picture height; leaves room below for the fire
constexpr int block = 8;       // JPEG block size: frames cover whole blocks
constexpr int quality = 100;   // JPEG quality
constexpr float floorlum = 28; // no channel maximum inside a frame stays below this

struct col {
	float r, g, b;
};

std::vector<col> pix(picw * pich); // the picture; black is the transparent wall

col mix(col a, col b, float t)
{
	return { a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t };
}

col scale(col a, float k)
{
	return { a.r * k, a.g * k, a.b * k };
}

float clamp01(float t)
{
	return std::clamp(t, 0.0f, 1.0f);
}

float smooth(float a, float b, float t)
{
	t = clamp01((t - a) / (b - a));
	return t * t * (3 - 2 * t);
}

float hashf(int x, int y, int seed)
{
	uint32_t h = (uint32_t)x * 374761393u + (uint32_t)y * 668265263u + (uint32_t)seed * 2246822519u;
	h = (h ^ (h >> 13)) * 1274126177u;
	h ^= h >> 16;
	return (h & 0xffffff) / 16777216.0f;
}

float vnoise(float x, float y, int seed)
{
	int xi = (int)std::floor(x), yi = (int)std::floor(y);
	float fx = x - xi, fy = y - yi;
	fx = fx * fx * (3 - 2 * fx);
	fy = fy * fy * (3 - 2 * fy);
	float a = hashf(xi, yi, seed), b = hashf(xi + 1, yi, seed);
	float c = hashf(xi, yi + 1, seed), d = hashf(xi + 1, yi + 1, seed);
	return a + (b - a) * fx + (c - a) * fy + (a - b - c + d) * fx * fy;
}

float fbm(float x, float y, int seed, int octaves)
{
	float sum = 0, amp = 0.5f;
	for (int i = 0; i < octaves; i++) {
		sum += amp * vnoise(x, y, seed + i * 101);
		x *= 2.03f;
		y *= 2.03f;
		amp *= 0.5f;
	}
	return sum;
}

col &at(int x, int y)
{
	return pix[(size_t)y * picw + x];
}

// A painting fills the inside of a frame; it gets the pixel's position
// relative to the inside, u and v from 0 to 1, and the inside's size.
using painting = col (*)(float u, float v, int w, int h);

col seascape(float u, float v, int w, int h)
{
	float horizon = 0.58f;
	float sunx = 0.62f, suny = 0.5f;
	float asp = (float)w / h;
	if (v < horizon) {
		float t = v / horizon;
		col sky = mix(col{ 52, 30, 80 }, col{ 190, 84, 84 }, smooth(0.0f, 0.7f, t));
		sky = mix(sky, col{ 250, 170, 80 }, smooth(0.55f, 1.0f, t));
		float d = std::hypot((u - sunx) * asp, v - suny);
		sky = mix(sky, col{ 255, 214, 140 }, 0.6f * std::exp(-d * 7));
		float cl = fbm(u * 5, v * 22, 11, 5);
		float band = smooth(0.45f, 0.7f, cl) * smooth(0.05f, 0.3f, t) * (1 - smooth(0.8f, 0.98f, t));
		col cloud = mix(col{ 120, 60, 84 }, col{ 255, 180, 110 }, clamp01(1.4f - d * 2.2f));
		sky = mix(sky, cloud, band * 0.85f);
		if (d * h < 13)
			sky = mix(col{ 255, 236, 180 }, sky, smooth(10, 13, d * h));
		float isl = horizon - 0.05f * smooth(0.0f, 0.12f, u) * (1 - smooth(0.2f, 0.34f, u)) *
			(0.7f + 0.3f * vnoise(u * 40, 0, 5));
		float isl2 = horizon - 0.025f * smooth(0.78f, 0.84f, u) * (1 - smooth(0.9f, 1.0f, u));
		if (v > std::min(isl, isl2))
			sky = col{ 70, 36, 70 };
		return sky;
	}
	float t = (v - horizon) / (1 - horizon);
	col sea = mix(col{ 150, 70, 100 }, col{ 30, 26, 70 }, smooth(0.0f, 1.0f, t));
	float wave = fbm(u * 8 / (0.2f + t), v * 90, 23, 4);
	sea = scale(sea, 0.8f + 0.4f * wave);
	float glit = std::exp(-std::pow((u - sunx) / (0.05f + 0.12f * t), 2.0f));
	float spark = smooth(0.55f, 0.75f, fbm(u * 30, v * 160, 31, 3));
	sea = mix(sea, col{ 255, 200, 120 }, clamp01(glit * (0.35f + spark)));
	return sea;
}

col nightpines(float u, float v, int w, int h)
{
	col sky = mix(col{ 12, 18, 54 }, col{ 40, 70, 120 }, smooth(0.0f, 0.8f, v));
	float mx = 0.66f, my = 0.2f, r = 0.13f;
	float asp = (float)h / w;
	float dm = std::hypot(u - mx, (v - my) * asp);
	float dc = std::hypot(u - mx - 0.06f, (v - my + 0.03f) * asp);
	sky = mix(sky, col{ 90, 110, 160 }, 0.5f * std::exp(-dm * 9));
	float edge = 1.0f / w; // the crescent's edges are smoothed over a pixel
	float lit = (1 - smooth(r - edge, r + edge, dm)) * smooth(r * 0.95f - edge, r * 0.95f + edge, dc);
	sky = mix(sky, mix(col{ 250, 240, 200 }, col{ 210, 200, 170 }, fbm(u * 20, v * 20, 3, 3)), lit);
	int sx = (int)(u * w), sy = (int)(v * h);
	float st = hashf(sx, sy, 77);
	if (st > 0.985f && v < 0.6f && dm > r * 1.4f)
		sky = mix(sky, col{ 255, 250, 230 }, (st - 0.985f) / 0.015f * 0.6f + 0.4f);
	float hill = 0.72f + 0.06f * std::sin(u * 5.1f + 0.7f) + 0.04f * fbm(u * 6, 0, 9, 3);
	if (v > hill)
		sky = mix(col{ 26, 48, 60 }, col{ 14, 28, 36 }, smooth(hill, 1.0f, v));
	static const float pines[][3] = { { 0.12f, 0.58f, 0.09f }, { 0.25f, 0.66f, 0.07f }, { 0.86f, 0.6f, 0.1f }, { 0.38f, 0.74f, 0.05f } };
	for (auto &p : pines) {
		float top = p[1], half = p[2];
		if (v > top) {
			float depth = (v - top) / (1 - top);
			float saw = std::fmod(depth * 7, 1.0f);
			float wdt = half * (0.25f + 0.75f * depth) * (0.55f + 0.45f * saw);
			if (std::fabs(u - p[0]) < wdt)
				sky = mix(col{ 20, 40, 34 }, col{ 30, 60, 48 }, fbm(u * 40, v * 40, 8, 2));
		}
	}
	return sky;
}

col rings(float u, float v, int w, int h)
{
	static const col pal[4][3] = {
		{ { 230, 70, 50 }, { 250, 200, 60 }, { 40, 90, 110 } },
		{ { 40, 150, 120 }, { 240, 196, 80 }, { 220, 80, 120 } },
		{ { 250, 170, 40 }, { 60, 50, 96 }, { 90, 170, 90 } },
		{ { 130, 40, 90 }, { 240, 120, 60 }, { 70, 180, 90 } },
	};
	int q = (u >= 0.5f) + 2 * (v >= 0.5f);
	float cu = std::fmod(u * 2, 1.0f) - 0.5f, cv = std::fmod(v * 2, 1.0f) - 0.5f;
	float d = std::hypot(cu, cv);
	float px = 1.0f / w; // half a pixel in the quarter's units: the rings' edges are smoothed over it
	col c = mix(pal[q][0], pal[q][1], smooth(0.16f - px, 0.16f + px, d));
	c = mix(c, pal[q][2], smooth(0.32f - px, 0.32f + px, d));
	float grain = 0.92f + 0.12f * fbm(u * w * 0.5f, v * h * 0.5f, 41, 2);
	if (std::fabs(cu) > 0.47f || std::fabs(cv) > 0.47f)
		c = col{ 84, 52, 36 };
	return scale(c, grain);
}

col ridges(float u, float v, int w, int h)
{
	(void)w;
	(void)h;
	col c = mix(col{ 250, 170, 90 }, col{ 170, 100, 90 }, smooth(0.0f, 0.5f, 0.5f - std::fabs(v - 0.15f)));
	c = mix(c, col{ 255, 220, 130 }, 0.7f * std::exp(-std::hypot((u - 0.3f) * 3, v - 0.35f) * 6));
	static const col layer[5] = { { 160, 106, 96 }, { 128, 82, 84 }, { 96, 60, 70 }, { 66, 42, 56 }, { 40, 28, 40 } };
	for (int i = 0; i < 5; i++) {
		float base = 0.35f + i * 0.13f;
		float amp = 0.3f - i * 0.03f;
		float top = base - amp * 2.5f * (fbm(u * (2 + i) + i * 7, 0.5f * i, 60 + i, 5) - 0.3f);
		if (v > top) {
			float mist = smooth(top, top + 0.25f, v);
			c = mix(layer[i], col{ 240, 170, 110 }, 0.35f * mist * (1 - i * 0.15f));
		}
	}
	return c;
}

col poppies(float u, float v, int w, int h)
{
	float horizon = 0.45f;
	if (v < horizon) {
		col c = mix(col{ 40, 72, 112 }, col{ 215, 180, 100 }, v / horizon);
		float cl = fbm(u * 4, v * 9, 71, 5);
		float k = smooth(0.5f, 0.68f, cl + 0.25f * (v / horizon) - 0.1f);
		return mix(c, mix(col{ 250, 226, 170 }, col{ 200, 160, 130 }, smooth(0.3f, 1.0f, v / horizon)), k);
	}
	float t = (v - horizon) / (1 - horizon);
	col c = mix(col{ 150, 170, 90 }, col{ 60, 120, 40 }, t);
	c = scale(c, 0.85f + 0.3f * fbm(u * 30, v * 12, 83, 3));
	// poppies scattered on the ground plane, seen in perspective
	float z = 1 / (t + 0.06f);
	float gx = (u - 0.5f) * z * 14 * w / h, gy = z * 6;
	int ix = (int)std::floor(gx), iy = (int)std::floor(gy);
	float px = ix + 0.25f + 0.5f * hashf(ix, iy, 91), py = iy + 0.25f + 0.5f * hashf(ix, iy, 92);
	float d = std::hypot(gx - px, (gy - py) * 1.6f);
	if (hashf(ix, iy, 93) < 0.75f && d < 0.3f)
		c = mix(col{ 240, 45, 30 }, col{ 140, 20, 24 }, smooth(0.12f, 0.3f, d));
	return c;
}

// the tree in the oval: a trunk that forks into ever smaller branches
bool branch(float x, float y, float x0, float y0, float ang, float len, float wdt, int depth)
{
	float x1 = x0 + len * std::sin(ang), y1 = y0 - len * std::cos(ang);
	float dx = x1 - x0, dy = y1 - y0;
	float t = clamp01(((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy));
	if (std::hypot(x - x0 - t * dx, y - y0 - t * dy) < wdt * (1 - 0.3f * t))
		return true;
	if (depth == 0)
		return false;
	float spread = 0.42f + 0.1f * hashf(depth, (int)(ang * 100), 5);
	return branch(x, y, x1, y1, ang - spread, len * 0.74f, wdt * 0.68f, depth - 1) ||
		branch(x, y, x1, y1, ang + spread * 0.9f, len * 0.7f, wdt * 0.66f, depth - 1);
}

col oaktree(float u, float v, int w, int h)
{
	float x = u * w, y = v * h;
	col c = mix(col{ 200, 110, 50 }, col{ 245, 190, 90 }, smooth(0.0f, 0.6f, v));
	float ground = 0.8f + 0.03f * std::sin(u * 6);
	if (v > ground)
		c = mix(col{ 120, 150, 60 }, col{ 80, 110, 40 }, smooth(ground, 1.0f, v));
	float cx = w * 0.5f, cy = h * 0.4f;
	float crown = std::hypot((x - cx) / (w * 0.42f), (y - cy) / (h * 0.3f)) + 0.35f * (fbm(x * 0.15f, y * 0.15f, 121, 4) - 0.5f);
	if (crown < 1 && y < h * 0.66f) {
		float lit = clamp01(0.5f + (cx - x) / w + (cy - y) / h);
		c = mix(col{ 50, 90, 40 }, col{ 150, 180, 70 }, lit * fbm(x * 0.3f, y * 0.3f, 131, 3) * 1.4f);
	}
	if (branch(x, y, cx, h * 0.82f, 0.0f, h * 0.22f, w * 0.045f, 5))
		c = col{ 80, 55, 40 };
	return c;
}

// A frame: outer rectangle in pixels (whole blocks), moulding width, the
// moulding's base colour, an optional oval mat, and the painting inside.
struct frame {
	int x, y, w, h, mw;
	col base;
	bool oval;
	painting paint;
};

// the moulding's brightness across its width, outer edge at 0, inner at 1
float profile(float t)
{
	float bead = std::exp(-std::pow((t - 0.28f) / 0.12f, 2.0f));
	float lip = std::exp(-std::pow((t - 0.82f) / 0.08f, 2.0f));
	float cove = 0.55f + 0.25f * t;
	return std::min(1.6f, cove + 0.8f * bead + 0.6f * lip) * (t < 0.08f ? 0.55f : 1.0f) * (t > 0.94f ? 0.6f : 1.0f);
}

void drawframe(const frame &f, int seed)
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
				at(x, y) = scale(f.base, profile((d + 0.5f) / f.mw) * side * grain);
				continue;
			}
			float u = (x - f.x - f.mw + 0.5f) / iw, v = (y - f.y - f.mw + 0.5f) / ih;
			if (f.oval) {
				float r = std::hypot((u - 0.5f) / 0.44f, (v - 0.5f) / 0.46f);
				if (r > 1) {
					col mat = scale(col{ 110, 36, 44 }, 0.9f + 0.1f * hashf(x, y, seed));
					at(x, y) = r < 1.06f ? scale(mat, 0.82f + 0.18f * (v < 0.5f ? 1 - v : v)) : mat;
					continue;
				}
			}
			at(x, y) = f.paint(u, v, iw, ih);
		}
}

// 5 x 7 letters for the name plate, one row per byte, bit 4 leftmost
const uint8_t *glyph(char ch)
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
void drawplate(int x0, int y0, int w, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++) {
			int d = std::min({ x - x0, x0 + w - 1 - x, y - y0, y0 + h - 1 - y });
			float shade = 0.85f + 0.3f * (1 - (float)(y - y0) / h) + 0.05f * fbm(x * 0.2f, y * 2.0f, 501, 2);
			if (d < 2)
				shade *= d == 0 ? 0.6f : (x - x0 < 2 || y - y0 < 2) ? 1.3f : 0.8f;
			at(x, y) = scale(col{ 190, 150, 80 }, shade);
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
						at(x, y) = col{ 70, 48, 22 };
						col &hi = at(x + 1, y + 1);
						if (hi.r > 120)
							hi = col{ 235, 205, 140 };
					}
	}
}

// Lifts every pixel inside a frame to at least the floor, so that no part
// of a painting decodes to the transparent black.
void floorpixels(int x0, int y0, int w, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++) {
			col &c = at(x, y);
			c = { std::clamp(c.r, 0.0f, 255.0f), std::clamp(c.g, 0.0f, 255.0f), std::clamp(c.b, 0.0f, 255.0f) };
			float m = std::max({ c.r, c.g, c.b });
			if (m < floorlum)
				c = { c.r + floorlum - m, c.g + floorlum - m, c.b + floorlum - m };
		}
}

bool writejpeg(const char *path)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	jpeg_compress_struct ci;
	jpeg_error_mgr err;
	ci.err = jpeg_std_error(&err);
	jpeg_create_compress(&ci);
	jpeg_stdio_dest(&ci, f);
	ci.image_width = picw;
	ci.image_height = pich;
	ci.input_components = 3;
	ci.in_color_space = JCS_RGB;
	jpeg_set_defaults(&ci);
	jpeg_set_quality(&ci, quality, TRUE);
	for (int i = 0; i < ci.num_components; i++)
		ci.comp_info[i].h_samp_factor = ci.comp_info[i].v_samp_factor = 1;
	ci.dct_method = JDCT_ISLOW;
	ci.optimize_coding = TRUE;
	jpeg_start_compress(&ci, TRUE);
	std::vector<uint8_t> row(picw * 3);
	while (ci.next_scanline < ci.image_height) {
		for (int x = 0; x < picw; x++) {
			col c = at(x, ci.next_scanline);
			row[x * 3] = (uint8_t)std::lround(c.r);
			row[x * 3 + 1] = (uint8_t)std::lround(c.g);
			row[x * 3 + 2] = (uint8_t)std::lround(c.b);
		}
		JSAMPROW r = row.data();
		jpeg_write_scanlines(&ci, &r, 1);
	}
	jpeg_finish_compress(&ci);
	jpeg_destroy_compress(&ci);
	return fclose(f) == 0;
}

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: mkpicture galleri.jpg\n");
		return 2;
	}
	const col gold{ 200, 150, 60 }, walnut{ 120, 78, 48 }, ebony{ 80, 62, 56 };
	const frame frames[] = {
		{ 0, 16, 120, 168, 12, gold, false, nightpines },
		{ 16, 200, 88, 88, 8, walnut, false, rings },
		{ 160, 0, 224, 160, 14, gold, false, seascape },
		{ 144, 216, 256, 88, 10, ebony, false, ridges },
		{ 424, 8, 120, 104, 10, walnut, false, poppies },
		{ 432, 128, 104, 144, 10, gold, true, oaktree },
	};
	const int plate[4] = { 200, 176, 144, 24 };
	int seed = 1000;
	for (const frame &f : frames) {
		drawframe(f, seed++);
		floorpixels(f.x, f.y, f.w, f.h);
	}
	drawplate(plate[0], plate[1], plate[2], plate[3]);
	floorpixels(plate[0], plate[1], plate[2], plate[3]);
	for (const frame &f : frames)
		if (f.x % block || f.y % block || f.w % block || f.h % block)
			return fprintf(stderr, "mkpicture: a frame leaves the block grid\n"), 1;
	if (!writejpeg(argv[1]))
		return perror(argv[1]), 1;
	return 0;
}
