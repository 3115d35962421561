// The six paintings on the wall.
#include "paint.h"

#include <algorithm>
#include <cmath>

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
static bool branch(float x, float y, float x0, float y0, float ang, float len, float wdt, int depth)
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
